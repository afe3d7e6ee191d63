/* Configuration knobs: one static table names every tunable of the engine,
 * with its default, range and type; values are set from text before the
 * module is finalized, one at a time or from a knob file. */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_risk_ids.h"
#include "oxlo_risks.h"

#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

/* A knob file being read; the chain lets a file that names itself (directly
 * or through others) be refused instead of recursing forever. */
struct oxlo_config_file_frame {
    bool known; /* false for a stream without a file behind it */
    dev_t dev;
    ino_t ino;
    const oxlo_config_file_frame *up;
};

namespace {

constexpr const char *PER_PROTOCOL = "$PROTO_NAME_OR_ID";
constexpr const char *PER_RISK = "$FLOWRISK_NAME_OR_ID";
constexpr const char *RISK_PREFIX = "flow_risk.";
constexpr size_t RISK_PREFIX_LEN = 10;
constexpr int MAX_CONFIG_FILE_DEPTH = 16;
constexpr size_t CONFIG_LINE_MAX = 511;

enum knob_type { KNOB_BOOL, KNOB_INT, KNOB_PROTO_BITMAP, KNOB_FILENAME, KNOB_RISK_BITMAP };

struct knob;
using knob_check = int (*)(oxlo_module *m, module_config *cfg, const knob &k);

struct knob {
    const char *proto; /* protocol name, PER_PROTOCOL, or nullptr for global */
    const char *param;
    const char *def;
    const char *min;
    const char *max;
    knob_type type;
    size_t offset;
    knob_check check;
};

int check_lru_scope(oxlo_module *m, module_config *cfg, const knob &k);

#define F(field) offsetof(module_config, field)
#define BOOL(p, n, d, f) {p, n, d, nullptr, nullptr, KNOB_BOOL, F(f), nullptr}
#define INT(p, n, d, lo, hi, f) {p, n, d, lo, hi, KNOB_INT, F(f), nullptr}
#define LRU(name, i, def_size, def_ttl)                                                          \
    {nullptr, "lru." name ".size", def_size, "0", "16777215", KNOB_INT, F(lru[i].size), nullptr}, \
    {nullptr, "lru." name ".ttl", def_ttl, "0", "16777215", KNOB_INT, F(lru[i].ttl), nullptr},    \
    {nullptr, "lru." name ".scope", "0", "0", "1", KNOB_INT, F(lru[i].scope), check_lru_scope}

/* Order matters: lookups take the first match. */
const knob knobs[] = {
    BOOL("http", "metadata.req.content_type", "enable", http_req_content_type),
    BOOL("http", "metadata.req.referer", "enable", http_req_referer),
    BOOL("http", "metadata.req.host", "enable", http_req_host),
    BOOL("http", "metadata.req.username", "enable", http_req_username),
    BOOL("http", "metadata.req.password", "enable", http_req_password),
    BOOL("http", "metadata.resp.content_type", "enable", http_resp_content_type),
    BOOL("http", "metadata.resp.server", "enable", http_resp_server),

    INT("tls", "certificate_expiration_threshold", "30", "0", "365", tls_certificate_expiration_threshold),
    /* Accepted, kept and reported, but it changes nothing: the TLS records
     * after the handshake (application data included) are tracked as blocks
     * whenever "tls.max_num_blocks_to_analyze" is above 0, and no other
     * behaviour is defined for this switch. */
    BOOL("tls", "application_blocks_tracking", "disable", tls_application_blocks_tracking),
    INT("tls", "dpi.heuristics", "0x00", "0", "0x07", tls_heuristics),
    INT("tls", "dpi.heuristics.max_packets_extra_dissection", "25", "0", "255", tls_heuristics_max_packets),
    BOOL("tls", "metadata.sha1_fingerprint", "enable", tls_sha1_fingerprint),
    BOOL("tls", "metadata.versions_supported", "enable", tls_versions_supported),
    BOOL("tls", "metadata.alpn_negotiated", "enable", tls_alpn_negotiated),
    BOOL("tls", "metadata.cipher", "enable", tls_cipher),
    BOOL("tls", "metadata.cert_server_names", "enable", tls_cert_server_names),
    BOOL("tls", "metadata.cert_validity", "enable", tls_cert_validity),
    BOOL("tls", "metadata.cert_issuer", "enable", tls_cert_issuer),
    BOOL("tls", "metadata.cert_subject", "enable", tls_cert_subject),
    BOOL("tls", "metadata.browser", "enable", tls_browser),
    BOOL("tls", "metadata.ja3s_fingerprint", "enable", tls_ja3s_fingerprint),
    BOOL("tls", "metadata.ja4c_fingerprint", "enable", tls_ja4c_fingerprint),
    BOOL("tls", "metadata.ja4r_fingerprint", "disable", tls_ja4r_fingerprint),
    BOOL("tls", "metadata.ja_data", "disable", tls_ja_data),
    BOOL("tls", "metadata.ja_ignore_ephemeral_tls_extn", "disable", tls_ja_ignore_ephemeral_tls_extn),
    BOOL("tls", "metadata.oxlofp_ignore_sni_tls_extn", "disable", tls_oxlofp_ignore_sni_tls_extn),
    BOOL("tls", "subclassification", "enable", tls_subclassification),
    INT("tls", "max_num_blocks_to_analyze", "0", "0", "256", tls_max_num_blocks_to_analyze),
    BOOL("tls", "tls_blocks_show_timing", "disable", tls_blocks_show_timing),

    BOOL("quic", "subclassification", "enable", quic_subclassification),
    BOOL("smtp", "tls_dissection", "enable", smtp_tls_dissection),
    BOOL("imap", "tls_dissection", "enable", imap_tls_dissection),
    BOOL("pop", "tls_dissection", "enable", pop_tls_dissection),
    BOOL("ftp", "tls_dissection", "enable", ftp_tls_dissection),

    BOOL("sip", "metadata.attribute.from", "enable", sip_attribute_from),
    BOOL("sip", "metadata.attribute.from_imsi", "enable", sip_attribute_from_imsi),
    BOOL("sip", "metadata.attribute.to", "enable", sip_attribute_to),
    BOOL("sip", "metadata.attribute.to_imsi", "enable", sip_attribute_to_imsi),

    BOOL("ssh", "metadata.hassh_fingerprint", "enable", ssh_hassh_fingerprint),
    BOOL("ssh", "metadata.ssh_data", "disable", ssh_data),

    BOOL("stun", "tls_dissection", "enable", stun_tls_dissection),
    INT("stun", "max_packets_extra_dissection", "6", "0", "255", stun_max_packets_extra_dissection),
    BOOL("stun", "metadata.attribute.mapped_address", "enable", stun_mapped_address),
    BOOL("stun", "metadata.attribute.response_origin", "enable", stun_response_origin),
    BOOL("stun", "metadata.attribute.other_address", "enable", stun_other_address),
    BOOL("stun", "metadata.attribute.relayed_address", "enable", stun_relayed_address),
    BOOL("stun", "metadata.attribute.peer_address", "enable", stun_peer_address),

    BOOL("bittorrent", "metadata.hash", "enable", bittorrent_hash),
    BOOL("ssdp", "metadata", "enable", ssdp_metadata),
    BOOL("ntp", "metadata", "enable", ntp_metadata),
    BOOL("dns", "subclassification", "disable", dns_subclassification),
    BOOL("dns", "process_response", "enable", dns_process_response),
    BOOL("http", "process_response", "enable", http_process_response),
    BOOL("http", "subclassification", "enable", http_subclassification),
    INT("ookla", "dpi.aggressiveness", "0x01", "0", "1", ookla_aggressiveness),
    INT("zoom", "max_packets_extra_dissection", "4", "0", "255", zoom_max_packets_extra_dissection),
    BOOL("rtp", "search_for_stun", "disable", rtp_search_for_stun),
    INT("rtp", "max_packets_extra_dissection", "32", "0", "255", rtp_max_packets_extra_dissection),
    INT("openvpn", "dpi.heuristics", "0x00", "0", "0x01", openvpn_heuristics),
    INT("openvpn", "dpi.heuristics.num_messages", "10", "0", "255", openvpn_heuristics_num_msgs),
    BOOL("openvpn", "subclassification_by_ip", "enable", openvpn_subclassification_by_ip),
    BOOL("wireguard", "subclassification_by_ip", "enable", wireguard_subclassification_by_ip),

    {PER_PROTOCOL, "log", "disable", nullptr, nullptr, KNOB_PROTO_BITMAP, F(log_bitmap), nullptr},
    {PER_PROTOCOL, "ip_list.load", "1", nullptr, nullptr, KNOB_PROTO_BITMAP, F(ip_list_bitmap), nullptr},
    {PER_PROTOCOL, "monitoring", "disable", nullptr, nullptr, KNOB_PROTO_BITMAP, F(monitoring), nullptr},
    {PER_PROTOCOL, "enable", "1", nullptr, nullptr, KNOB_PROTO_BITMAP, F(enabled_protocols), nullptr},

    INT(nullptr, "packets_limit_per_flow", "32", "0", "255", max_packets_to_process),
    BOOL(nullptr, "flow.track_payload", "disable", track_payload),
    BOOL(nullptr, "flow.use_client_ip_in_guess", "enable", use_client_ip_in_guess),
    BOOL(nullptr, "flow.use_client_port_in_guess", "enable", use_client_port_in_guess),
    BOOL(nullptr, "tcp_ack_payload_heuristic", "disable", tcp_ack_payload_heuristic),
    BOOL(nullptr, "fully_encrypted_heuristic", "disable", fully_encrypted_heuristic),
    BOOL(nullptr, "libgcrypt.init", "1", libgcrypt_init),
    INT(nullptr, "dpi.guess_on_giveup", "0x3", "0", "3", guess_on_giveup),
    BOOL(nullptr, "dpi.guess_ip_before_port", "disable", guess_ip_before_port),
    BOOL(nullptr, "dpi.compute_entropy", "1", compute_entropy),
    INT(nullptr, "dpi.address_cache_size", "0", "0", "16777215", address_cache_size),
    BOOL(nullptr, "fpc", "1", fpc_enabled),
    BOOL(nullptr, "hostname_dns_check", "0", hostname_dns_check),
    BOOL(nullptr, "metadata.tcp_fingerprint", "enable", tcp_fingerprint_enabled),
    BOOL(nullptr, "metadata.tcp_fingerprint_raw", "disable", tcp_fingerprint_raw),
    INT(nullptr, "metadata.tcp_fingerprint_format", "0", "0", "1", tcp_fingerprint_format),
    BOOL(nullptr, "metadata.oxlo_server_fingerprint", "enable", oxlo_server_fingerprint),
    BOOL(nullptr, "metadata.oxlo_fingerprint", "enable", oxlo_fingerprint),
    INT(nullptr, "metadata.oxlo_fingerprint_format", "0", "0", "1", oxlo_fingerprint_format),
    BOOL(nullptr, "metadata.oxlo_fingerprint_ignore_tcp_fp", "disable", oxlo_fingerprint_ignore_tcp_fp),
    BOOL(nullptr, "flow_risk_lists.load", "1", flow_risk_lists_load),
    {nullptr, "flow_risk.$FLOWRISK_NAME_OR_ID", "enable", nullptr, nullptr, KNOB_RISK_BITMAP, F(flowrisk_bitmap), nullptr},
    {nullptr, "flow_risk.$FLOWRISK_NAME_OR_ID.info", "enable", nullptr, nullptr, KNOB_RISK_BITMAP, F(flowrisk_info_bitmap), nullptr},
    BOOL(nullptr, "flow_risk.anonymous_subscriber.list.icloudprivaterelay.load", "1",
         risk_anonymous_subscriber_list_icloudprivaterelay),
    BOOL(nullptr, "flow_risk.anonymous_subscriber.list.tor.load", "1", risk_anonymous_subscriber_list_tor),
    BOOL(nullptr, "flow_risk.crawler_bot.list.load", "1", risk_crawler_bot_list),
    {nullptr, "filename.config", nullptr, nullptr, nullptr, KNOB_FILENAME, F(filename_config), nullptr},
    INT(nullptr, "log.level", "0", "0", "3", log_level),

    LRU("ookla", OXLO_LRU_OOKLA, "1024", "120"),
    LRU("bittorrent", OXLO_LRU_BITTORRENT, "32768", "300"),
    LRU("stun", OXLO_LRU_STUN, "1024", "300"),
    LRU("tls_cert", OXLO_LRU_TLS_CERT, "1024", "300"),
    LRU("mining", OXLO_LRU_MINING, "1024", "300"),
    LRU("msteams", OXLO_LRU_MSTEAMS, "1024", "60"),
    LRU("fpc_dns", OXLO_LRU_FPC_DNS, "1024", "60"),
    LRU("signal", OXLO_LRU_SIGNAL, "32768", "300"),
};

#undef F
#undef BOOL
#undef INT
#undef LRU

template <typename T> T *field(module_config *cfg, const knob &k)
{
    return reinterpret_cast<T *>(reinterpret_cast<char *>(cfg) + k.offset);
}

/* ---- bit sets ---- */

void bits_assign(oxlo_id_bitset *b, uint32_t bit, bool on)
{
    if (on)
        oxlo_id_bitset_set(b, bit);
    else
        oxlo_id_bitset_clear(b, bit);
}

void bits_assign_all(oxlo_id_bitset *b, bool on)
{
    for (uint32_t i = 0; i < b->num_bits; i++)
        bits_assign(b, i, on);
}

uint32_t bits_count(const oxlo_id_bitset *b)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < b->num_bits; i++)
        n += oxlo_id_bitset_test(b, i) == 1;
    return n;
}

/* ---- value parsing ---- */

/* 1 / 0 for the accepted boolean texts, -1 for anything else. */
int parse_bool(const char *v)
{
    if (!v)
        return -1;
    if (strcmp(v, "1") == 0 || strcmp(v, "enable") == 0)
        return 1;
    if (strcmp(v, "0") == 0 || strcmp(v, "disable") == 0)
        return 0;
    return -1;
}

/* Decimal, 0x hexadecimal or 0 octal; trailing characters are ignored. */
bool parse_int(const char *v, int64_t *out)
{
    if (!v)
        return false;
    char *end = nullptr;
    errno = 0;
    long long n = strtoll(v, &end, 0);
    if (end == v || errno == ERANGE)
        return false;
    *out = n;
    return true;
}

bool is_decimal(const char *s)
{
    if (!*s)
        return false;
    for (; *s; s++)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

bool is_all_name(const char *s, const char *placeholder)
{
    return strcmp(s, "any") == 0 || strcmp(s, "all") == 0 || strcmp(s, placeholder) == 0;
}

/* The protocol a per-protocol knob names: its id, -1 for all, -2 unknown. */
int bitmap_protocol(oxlo_module *m, const oxlo_id_bitset *b, const char *proto)
{
    if (is_all_name(proto, PER_PROTOCOL))
        return -1;
    long id;
    if (is_decimal(proto)) {
        id = strtol(proto, nullptr, 10);
        if (id >= (long)b->num_bits)
            return -2;
    } else {
        id = oxlo_protocol_id_by_name(m, proto);
    }
    return id > 0 ? (int)id : -2;
}

/* The risk a per-risk knob names: its id, -1 for all, -2 unknown. */
int bitmap_risk(const char *param)
{
    if (strncmp(param, RISK_PREFIX, RISK_PREFIX_LEN) != 0)
        return -2;
    char rest[128];
    snprintf(rest, sizeof(rest), "%s", param + RISK_PREFIX_LEN);
    size_t n = strlen(rest);
    if (n >= 6 && strcmp(rest + n - 5, ".info") == 0)
        rest[n - 5] = '\0';
    if (is_all_name(rest, PER_RISK))
        return -1;
    int id = -2;
    if (is_decimal(rest)) {
        long v = strtol(rest, nullptr, 10);
        if (v < OXLO_MAX_RISK)
            id = (int)v;
    } else {
        for (int i = 0; i < OXLO_MAX_RISK; i++)
            if (strcmp(rest, oxlo_flow_risk_short_name(i)) == 0)
                id = i;
    }
    return id > 0 ? id : -2;
}

int set_bitmap(oxlo_id_bitset *b, int which, const char *value)
{
    int on = parse_bool(value);
    if (which == -2 || on < 0)
        return -3;
    if (which == -1)
        bits_assign_all(b, on);
    else
        bits_assign(b, (uint32_t)which, on);
    return 0;
}

/* ---- knob files ---- */

int load_config_path(oxlo_module *m, const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -3;
    int depth = 0;
    for (const oxlo_config_file_frame *f = m->config_files; f; f = f->up, depth++)
        if ((f->known && f->dev == st.st_dev && f->ino == st.st_ino) || depth >= MAX_CONFIG_FILE_DEPTH) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Configuration file [%s] includes itself or nests too deeply\n", path);
            return -3;
        }
    FILE *fd = fopen(path, "r");
    if (!fd)
        return -3;
    int rc = oxlo_load_config_file(m, fd);
    fclose(fd);
    return rc < 0 ? rc : 0;
}

int set_value(oxlo_module *m, module_config *cfg, const knob &k, const char *value,
              const char *proto, const char *param)
{
    switch (k.type) {
    case KNOB_BOOL: {
        int v = parse_bool(value);
        if (v < 0)
            return -3;
        *field<int32_t>(cfg, k) = v;
        return 0;
    }
    case KNOB_INT: {
        int64_t v, lo, hi;
        if (!parse_int(value, &v))
            return -3;
        if (k.min && k.max && parse_int(k.min, &lo) && parse_int(k.max, &hi) && (v < lo || v > hi))
            return -3;
        *field<int32_t>(cfg, k) = (int32_t)v;
        return 0;
    }
    case KNOB_PROTO_BITMAP: {
        oxlo_id_bitset *b = field<oxlo_id_bitset>(cfg, k);
        return set_bitmap(b, bitmap_protocol(m, b, proto), value);
    }
    case KNOB_RISK_BITMAP:
        return set_bitmap(field<oxlo_id_bitset>(cfg, k), bitmap_risk(param), value);
    case KNOB_FILENAME: {
        char *dst = field<char>(cfg, k);
        if (!value) {
            dst[0] = '\0';
            return 0;
        }
        struct stat st;
        if (stat(value, &st) != 0)
            return -3;
        snprintf(dst, 256, "%s", value);
        return m ? load_config_path(m, value) : 0;
    }
    }
    return -3;
}

bool ends_with(const char *s, const char *suffix)
{
    size_t n = strlen(s), k = strlen(suffix);
    return n >= k && strcmp(s + n - k, suffix) == 0;
}

bool global_matches(const knob &k, const char *param)
{
    if (strcmp(k.param, param) == 0)
        return true;
    if (k.type != KNOB_RISK_BITMAP || strncmp(param, RISK_PREFIX, RISK_PREFIX_LEN) != 0)
        return false;
    if (ends_with(param, ".load"))
        return false;
    bool info_knob = ends_with(k.param, ".info");
    return ends_with(param, ".info") == info_knob;
}

bool is_global(const char *proto)
{
    return !proto || strcmp(proto, "NULL") == 0;
}

const knob *find_knob(const char *proto, const char *param)
{
    for (const knob &k : knobs) {
        if (is_global(proto)) {
            if (!k.proto && global_matches(k, param))
                return &k;
        } else if (k.proto && (strcmp(k.proto, proto) == 0 || strcmp(k.proto, PER_PROTOCOL) == 0) &&
                   strcmp(k.param, param) == 0) {
            return &k;
        }
    }
    return nullptr;
}

int check_lru_scope(oxlo_module *m, module_config *cfg, const knob &k)
{
    int32_t *v = field<int32_t>(cfg, k);
    if (*v == 1 && (!m || !m->shared)) {
        *v = 0;
        return -1;
    }
    return 0;
}

void format_value(oxlo_module *m, const knob &k, const char *proto, const char *param, char *buf,
                  size_t size)
{
    module_config *cfg = &m->cfg;
    switch (k.type) {
    case KNOB_BOOL:
    case KNOB_INT:
        snprintf(buf, size, "%d", *field<int32_t>(cfg, k));
        return;
    case KNOB_FILENAME:
        snprintf(buf, size, "%s", field<char>(cfg, k));
        return;
    case KNOB_PROTO_BITMAP:
    case KNOB_RISK_BITMAP: {
        oxlo_id_bitset *b = field<oxlo_id_bitset>(cfg, k);
        int which = k.type == KNOB_PROTO_BITMAP ? bitmap_protocol(m, b, proto) : bitmap_risk(param);
        if (which >= 0) {
            snprintf(buf, size, "%d", oxlo_knob_bit_test(b, (uint32_t)which) == 1);
        } else {
            /* No single bit named: report whether every bit but 0 is set. */
            uint32_t set = bits_count(b) - (oxlo_knob_bit_test(b, 0) == 1);
            snprintf(buf, size, "%d", b->num_bits > 1 && set + 1 == b->num_bits);
        }
        return;
    }
    }
}

} // namespace

extern "C" {

int oxlo_knob_bit_test(const oxlo_id_bitset *b, uint32_t bit)
{
    return oxlo_id_bitset_test(b, bit);
}

int set_default_config(module_config *cfg, uint32_t builtin_protocols)
{
    if (builtin_protocols > UINT16_MAX)
        return -1;
    uint16_t n = (uint16_t)builtin_protocols;
    if (oxlo_id_bitset_init(&cfg->log_bitmap, n) || oxlo_id_bitset_init(&cfg->ip_list_bitmap, n) ||
        oxlo_id_bitset_init(&cfg->monitoring, n) || oxlo_id_bitset_init(&cfg->enabled_protocols, n) ||
        oxlo_id_bitset_init(&cfg->flowrisk_bitmap, OXLO_MAX_RISK) ||
        oxlo_id_bitset_init(&cfg->flowrisk_info_bitmap, OXLO_MAX_RISK))
        return -1;
    for (const knob &k : knobs)
        set_value(nullptr, cfg, k, k.def, k.proto, k.param);
    return 0;
}

void free_config(module_config *cfg)
{
    oxlo_id_bitset_free(&cfg->log_bitmap);
    oxlo_id_bitset_free(&cfg->ip_list_bitmap);
    oxlo_id_bitset_free(&cfg->monitoring);
    oxlo_id_bitset_free(&cfg->enabled_protocols);
    oxlo_id_bitset_free(&cfg->flowrisk_bitmap);
    oxlo_id_bitset_free(&cfg->flowrisk_info_bitmap);
}

int oxlo_set_config(oxlo_module *m, const char *proto, const char *param, const char *value)
{
    if (!m || !param || !value)
        return -1;
    if (m->flags & OXLO_MODULE_FINALIZED)
        return -4;
    const knob *k = find_knob(proto, param);
    if (!k)
        return -2;
    int rc = set_value(m, &m->cfg, *k, value, proto, param);
    if (rc != 0)
        return rc;
    if (k->check) {
        int c = k->check(m, &m->cfg, *k);
        if (c < 0)
            return -5;
        return c;
    }
    return 0;
}

int oxlo_set_config_u64(oxlo_module *m, const char *proto, const char *param, uint64_t value)
{
    char text[21];
    int n = snprintf(text, sizeof(text), "%" PRIu64, value);
    if (n < 0 || n > 20)
        return -3;
    return oxlo_set_config(m, proto, param, text);
}

char *oxlo_get_config_text(oxlo_module *m, const char *proto, const char *param, char *buf, int size)
{
    if (!m || !param || !buf || size <= 0)
        return nullptr;
    const knob *k = find_knob(proto, param);
    if (!k)
        return nullptr;
    format_value(m, *k, proto, param, buf, (size_t)size);
    return buf;
}

int oxlo_dump_config(oxlo_module *m, FILE *out)
{
    if (!m || !out)
        return 0;
    fprintf(out, " Protocol (empty/NULL for global knobs), parameter, value, [default value], [min value, max_value]\n");
    for (const knob &k : knobs) {
        char value[64];
        const char *proto = k.proto ? k.proto : "NULL";
        const char *def = k.def ? k.def : "";
        if (k.type == KNOB_PROTO_BITMAP || k.type == KNOB_RISK_BITMAP) {
            /* A bitmap has no single value: show how many of its bits are set. */
            const oxlo_id_bitset *b = field<oxlo_id_bitset>(&m->cfg, k);
            snprintf(value, sizeof(value), "%u/%u set", bits_count(b), b->num_bits);
            fprintf(out, " *) %s %s: %s [all %s]\n", proto, k.param, value, def);
            continue;
        }
        format_value(m, k, k.proto, k.param, value, sizeof(value));
        fprintf(out, " *) %s %s: %s [%s]", proto, k.param, value, def);
        if (k.type == KNOB_INT && k.min && k.max)
            fprintf(out, " [%s-%s]", k.min, k.max);
        fprintf(out, "\n");
    }
    return 0;
}

int oxlo_protocol_monitoring_enabled(oxlo_module *m, uint16_t protocol_id)
{
    return m && oxlo_knob_bit_test(&m->cfg.monitoring, protocol_id) == 1;
}

int oxlo_load_config_file(oxlo_module *m, FILE *in)
{
    if (!m || !in)
        return -1;
    oxlo_config_file_frame frame{};
    struct stat st;
    int fd = fileno(in);
    if (fd >= 0 && fstat(fd, &st) == 0) {
        frame.known = true;
        frame.dev = st.st_dev;
        frame.ino = st.st_ino;
    }
    frame.up = m->config_files;
    m->config_files = &frame;

    int rc = 0;
    char line[CONFIG_LINE_MAX + 1];
    while (rc == 0 && fgets(line, sizeof(line), in)) {
        size_t len = strlen(line);
        if (len == CONFIG_LINE_MAX && line[len - 1] != '\n') {
            /* A full buffer without newline: the line is longer than we take
             * unless the newline (or the end of file) follows right away.
             * Its tail is never read as a line of its own. */
            int c = fgetc(in);
            if (c != '\n' && c != EOF) {
                while (c != '\n' && c != EOF)
                    c = fgetc(in);
                oxlo_log(m, OXLO_LOG_WARNING, "Error parsing [%s]\n", line);
                rc = -2;
                break;
            }
        }
        if (len < 2 || line[0] == '#')
            continue;
        if (line[len - 1] == '\n')
            line[--len] = '\0';

        int commas = 0;
        for (size_t i = 0; i < len; i++)
            commas += line[i] == ',';
        if (commas != 1 && commas != 2) {
            oxlo_log(m, OXLO_LOG_WARNING, "Error parsing [%s]\n", line);
            continue;
        }
        char copy[CONFIG_LINE_MAX + 1];
        memcpy(copy, line, len + 1);
        char *parts[3] = {nullptr, nullptr, nullptr};
        char *save = nullptr;
        int want = commas + 1;
        for (int i = 0; i < want; i++)
            parts[i] = strtok_r(i == 0 ? copy : nullptr, ",", &save);
        if (!parts[want - 1]) {
            oxlo_log(m, OXLO_LOG_WARNING, "Error parsing [%s]\n", line);
            rc = -2;
            break;
        }
        const char *proto = commas == 2 ? parts[0] : nullptr;
        const char *param = commas == 2 ? parts[1] : parts[0];
        const char *value = commas == 2 ? parts[2] : parts[1];
        int r = oxlo_set_config(m, proto, param, value);
        if (r != 0) {
            oxlo_log(m, OXLO_LOG_WARNING, "Error oxlo_set_config [%s/%s/%s]: %d\n", proto ? proto : "NULL", param, value, r);
            rc = r;
        }
    }
    m->config_files = frame.up;
    return rc;
}

} // extern "C"
