/* TCP fingerprints to operating systems, and the flow fingerprint of
 * encrypted flows with its "oxlofp:" rules. */
#include "oxlo_fingerprints.h"
#include "oxlo_log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "oxlo_digest.h"
#include "oxlo_hosts.h"
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "tls/tls_private.h"

namespace {

struct os_pair {
    const char *text;
    uint8_t os;
};

/* Known SYN fingerprints; a text listed twice keeps its first id. */
const os_pair builtin_pairs[] = {
    {"2_64_65535_8bf9e292397e", OXLO_OS_FREEBSD},

    {"2_64_64800_83b2f9a5576c", OXLO_OS_LINUX},
    {"2_64_64240_2e3cee914fc1", OXLO_OS_LINUX},
    {"2_64_29200_2e3cee914fc1", OXLO_OS_LINUX},
    {"2_64_29200_d853e95bd80f", OXLO_OS_LINUX},
    {"2_64_14600_8c07a80cc645", OXLO_OS_LINUX},
    {"2_64_64240_2e3cee914fc1", OXLO_OS_LINUX},
    {"2_64_32120_2e3cee914fc1", OXLO_OS_LINUX},
    {"2_64_29200_90541420d839", OXLO_OS_LINUX},
    {"2_64_64240_41a9d5af7dd3", OXLO_OS_LINUX},

    {"2_64_65535_d876f498b09e", OXLO_OS_ANDROID},
    {"2_64_65535_685ad951a756", OXLO_OS_ANDROID},
    {"2_64_65535_41a9d5af7dd3", OXLO_OS_ANDROID},
    {"2_64_65535_148107a0d970", OXLO_OS_ANDROID},
    {"2_64_65535_f518bfb025b0", OXLO_OS_ANDROID},
    {"2_64_65535_2e3cee914fc1", OXLO_OS_ANDROID},

    {"2_128_64240_6bb88f5575fd", OXLO_OS_WINDOWS},
    {"2_128_8192_4697958db063", OXLO_OS_WINDOWS},
    {"194_128_64240_0c6c715fcb8e", OXLO_OS_WINDOWS},
    {"194_128_64240_29659b8d8574", OXLO_OS_WINDOWS},
    {"194_128_32768_e75eea53a4fd", OXLO_OS_WINDOWS},
    {"194_128_32768_84fee6d35dde", OXLO_OS_WINDOWS},
    {"194_128_64240_6bb88f5575fd", OXLO_OS_WINDOWS},
    {"2_128_32768_5a9ef1c58d0b", OXLO_OS_WINDOWS},
    {"194_128_32768_5a9ef1c58d0b", OXLO_OS_WINDOWS},
    {"2_128_65535_6bb88f5575fd", OXLO_OS_WINDOWS},
    {"194_128_32_5a9ef1c58d0b", OXLO_OS_WINDOWS},
    {"194_128_64954_5df61ba47d16", OXLO_OS_WINDOWS},
    {"194_128_65160_720287bf387b", OXLO_OS_WINDOWS},
    {"194_128_65160_f7c19d625909", OXLO_OS_WINDOWS},
    {"194_128_65340_5df61ba47d16", OXLO_OS_WINDOWS},
    {"194_128_65535_35ea98532c26", OXLO_OS_WINDOWS},
    {"194_128_65535_6bb88f5575fd", OXLO_OS_WINDOWS},
    {"194_128_65535_9f39700b863a", OXLO_OS_WINDOWS},
    {"194_128_8192_5a9ef1c58d0b", OXLO_OS_WINDOWS},
    {"2_128_62636_f7c19d625909", OXLO_OS_WINDOWS},
    {"2_128_62720_6bb88f5575fd", OXLO_OS_WINDOWS},
    {"2_128_64390_186255600578", OXLO_OS_WINDOWS},
    {"2_128_64512_d978a30274f9", OXLO_OS_WINDOWS},
    {"2_128_64668_ba856ac24bae", OXLO_OS_WINDOWS},
    {"2_128_64872_7ec39e7a0c60", OXLO_OS_WINDOWS},
    {"2_128_65010_d7f34a3d4a0e", OXLO_OS_WINDOWS},
    {"2_128_65088_e6db4d959510", OXLO_OS_WINDOWS},
    {"2_128_65160_f7c19d625909", OXLO_OS_WINDOWS},
    {"2_128_65312_6e130c7ac874", OXLO_OS_WINDOWS},
    {"2_128_65424_d408bed9ba71", OXLO_OS_WINDOWS},
    {"2_128_65520_91f9ecb5d85c", OXLO_OS_WINDOWS},
    {"2_128_65535_46c195dc1606", OXLO_OS_WINDOWS},
    {"2_128_65535_8739305ee1fa", OXLO_OS_WINDOWS},
    {"2_128_65535_91f9ecb5d85c", OXLO_OS_WINDOWS},
    {"2_128_65535_d408bed9ba71", OXLO_OS_WINDOWS},
    {"2_128_65535_d7f34a3d4a0e", OXLO_OS_WINDOWS},
    {"2_128_65535_e83222749ab9", OXLO_OS_WINDOWS},
    {"2_128_65535_f7c19d625909", OXLO_OS_WINDOWS},

    {"194_64_65535_15db81ff8b0d", OXLO_OS_IOS},
    {"194_64_65535_dd5737e4fedb", OXLO_OS_IOS},

    {"194_64_65535_d29295416479", OXLO_OS_MACOS},
    {"194_64_65535_78dd6871cb6d", OXLO_OS_MACOS},
    {"2_64_65535_d29295416479", OXLO_OS_MACOS},
    {"2_64_0_d29295416479", OXLO_OS_MACOS},
    {"2_64_65535_d29295416479", OXLO_OS_MACOS},
    {"2_64_65535_dd5737e4fedb", OXLO_OS_MACOS},
    {"2_64_65535_99a660d3e328", OXLO_OS_MACOS},
    {"2_64_65535_78dd6871cb6d", OXLO_OS_MACOS},
    {"2_64_65535_09b18f059744", OXLO_OS_MACOS},
};

/* A fingerprint-file line: 126 characters, its line end and the NUL. */
constexpr size_t file_line_size = 128;
constexpr size_t flow_text_size = 128;
constexpr size_t blocks_text_size = 256;
constexpr double best_distance_start = 9999999.0;
constexpr double winning_distance = 4.0;
constexpr uint16_t max_refined_blocks = 8;

bool ensure_map(oxlo_module *m)
{
    return m->os_fingerprints || oxlo_string_map_init(&m->os_fingerprints) == 0;
}

/* Reads "text,id"; false when the line is not that with an id of 0 to 6. */
bool parse_pair(char *line, const char **text, int *os_id)
{
    char *comma = strchr(line, ',');
    if (!comma || comma == line)
        return false;
    *comma = '\0';
    const char *digits = comma + 1;
    if (!digits[0] || strlen(digits) > 2)
        return false;
    for (const char *p = digits; *p; p++)
        if (*p < '0' || *p > '9')
            return false;
    const int id = atoi(digits);
    if (id > OXLO_OS_FREEBSD)
        return false;
    *text = line;
    *os_id = id;
    return true;
}

int load_lines(oxlo_module *m, FILE *in, const char *name)
{
    char line[file_line_size];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), name, 2);
    int added = 0;
    while (oxlo_list_reader_next(&reader) != OXLO_LINE_EOF) {
        const char *text = nullptr;
        int os_id = 0;
        if (!parse_pair(line, &text, &os_id)) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] %s: line #%u is not a fingerprint,OS pair, skipped\n", name, reader.number);
            continue;
        }
        if (oxlo_os_fingerprint_add(m, text, os_id) == 0)
            added++;
    }
    return added;
}

bool encrypted_transport(const oxlo_flow_state *f)
{
    for (uint16_t i = 0; i < f->stack.count && i < OXLO_PROTOCOL_STACK_SIZE; i++)
        switch (f->stack.ids[i]) {
        case OXLO_PROTOCOL_POPS:
        case OXLO_PROTOCOL_SMTPS:
        case OXLO_PROTOCOL_DTLS:
        case OXLO_PROTOCOL_IMAPS:
        case OXLO_PROTOCOL_TLS:
        case OXLO_PROTOCOL_QUIC:
        case OXLO_PROTOCOL_FTPS:
            return true;
        default:
            break;
        }
    return false;
}

void hex16(const uint8_t *bytes, char out[33])
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; i++) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    out[32] = '\0';
}

/* The digest of the flow's TLS blocks ("kind=length,..."), or "". */
void blocks_digest(const oxlo_module *m, const oxlo_flow_state *f, const oxlo_tls_flow *t, char out[33])
{
    out[0] = '\0';
    if (m->cfg.tls_max_num_blocks_to_analyze <= 0 || f->l4_protocol != 6 || !t || !t->blocks ||
        t->block_count == 0)
        return;
    char text[blocks_text_size];
    size_t length = 0;
    for (uint16_t i = 0; i < t->block_count; i++) {
        char item[24];
        const int n = snprintf(item, sizeof(item), "%s%u=%d", i ? "," : "", t->blocks[i].kind, t->blocks[i].length);
        if (n <= 0 || length + size_t(n) > blocks_text_size - 2)
            break;
        memcpy(text + length, item, size_t(n));
        length += size_t(n);
    }
    uint8_t digest[32];
    oxlo_sha256_digest(reinterpret_cast<const uint8_t *>(text), length, digest);
    hex16(digest, out);
}

const char *server_app_fingerprint(const oxlo_tls_flow *t)
{
    if (!t)
        return nullptr;
    if (t->server_fingerprint && t->server_fingerprint[0])
        return t->server_fingerprint;
    return t->ja3_server[0] ? t->ja3_server : nullptr;
}

void classify_by_rule(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_string_map *rules = oxlo_custom_oxlofp_map(m);
    if (!rules)
        return;
    uint64_t value = 0;
    const string_map_value_node *candidates = nullptr;
    if (oxlo_string_map_lookup(rules, f->texts->oxlo_fingerprint, 32, &value, &candidates) != 0)
        return;
    const uint16_t id = oxlo_fingerprint_match_tls_blocks(m, f, candidates, uint16_t(value & 0xFFFF));
    if (!id)
        return;
    oxlo_flow_set_protocol(m, f, id, oxlo_flow_tls_master_protocol(m, f), OXLO_CONFIDENCE_CUSTOM_RULE);
    oxlo_flow_fill_category(m, f);
}

} // namespace

extern "C" {

void oxlo_os_fingerprints_load_builtin(oxlo_module *module)
{
    if (!module || !ensure_map(module))
        return;
    for (const os_pair &p : builtin_pairs)
        oxlo_os_fingerprint_add(module, p.text, p.os);
}

int oxlo_os_fingerprint_add(oxlo_module *module, const char *text, int os_id)
{
    if (!module || !text || !text[0] || !ensure_map(module))
        return -2;
    const size_t length = strlen(text);
    uint64_t stored = 0;
    if (oxlo_string_map_find(module->os_fingerprints, text, length, &stored) == 0)
        return -1;
    return oxlo_string_map_add(&module->os_fingerprints, text, length, uint64_t(os_id), nullptr) ==
                   OXLO_STRING_MAP_ADDED
               ? 0
               : -2;
}

int oxlo_os_fingerprint_lookup(oxlo_module *module, const char *text)
{
    if (!module || !text || !text[0] || !module->os_fingerprints)
        return 0;
    uint64_t value = 0;
    if (oxlo_string_map_find(module->os_fingerprints, text, strlen(text), &value) != 0)
        return 0;
    return int(value);
}

int oxlo_os_fingerprints_load_stream(oxlo_module *module, FILE *in)
{
    if (!module || !in || !ensure_map(module))
        return -1;
    return load_lines(module, in, "fingerprint stream");
}

int oxlo_os_fingerprints_load_file(oxlo_module *module, const char *path)
{
    if (!module || !path)
        return -1;
    FILE *in = fopen(path, "r");
    if (!in) {
        oxlo_log(module, OXLO_LOG_ERROR, "Unable to open file %s [%s]\n", path, strerror(errno));
        return -1;
    }
    int rc = -1;
    if (ensure_map(module))
        rc = load_lines(module, in, path);
    fclose(in);
    return rc;
}

size_t oxlo_flow_fingerprint_text(oxlo_module *module, const oxlo_flow_state *flow, char *buffer,
                                  size_t size)
{
    if (!module || !flow || !buffer || size == 0)
        return 0;
    buffer[0] = '\0';
    /* With the TCP fingerprint ignored, the flow counts as having none. */
    const char *tcp = module->cfg.oxlo_fingerprint_ignore_tcp_fp ? nullptr : oxlo_flow_tcp_fingerprint_text(flow->tcp);
    if (tcp && !tcp[0])
        tcp = nullptr;
    const oxlo_tls_flow *t = oxlo_tls_state_find(flow);
    const char *client = t && t->client_app_fingerprint[0] ? t->client_app_fingerprint : nullptr;
    if (!tcp && !client)
        return 0;
    char digest[33];
    blocks_digest(module, flow, t, digest);
    const char *server = module->cfg.oxlo_fingerprint_format == 1 ? server_app_fingerprint(t) : nullptr;
    const size_t cap = size < flow_text_size ? size : flow_text_size;
    int n = snprintf(buffer, cap, "%s-%s%s-%s", tcp ? tcp : "no_l4_fp", client ? client : "no_app_fp_cli",
                     digest, server ? server : "no_app_fp_srv");
    if (n < 0)
        return 0;
    size_t length = strlen(buffer);
    if (module->cfg.tls_oxlofp_ignore_sni_tls_extn) {
        const size_t at = strlen(tcp ? tcp : "no_l4_fp") + 4;
        if (at < length)
            buffer[at] = '_';
    }
    return length;
}

const char *oxlo_flow_fingerprint_compute(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow)
        return nullptr;
    if (flow->texts && flow->texts->oxlo_fingerprint[0])
        return flow->texts->oxlo_fingerprint;
    if (!module->cfg.oxlo_fingerprint || !encrypted_transport(flow))
        return nullptr;
    char text[flow_text_size];
    const size_t length = oxlo_flow_fingerprint_text(module, flow, text, sizeof(text));
    if (length == 0)
        return nullptr;
    /* Without memory for it the flow has no fingerprint, as one that
     * never got far enough. */
    oxlo_flow_texts *t = oxlo_flow_texts_make(module, flow, 0);
    if (!t)
        return nullptr;
    uint8_t digest[32];
    oxlo_sha256_digest(reinterpret_cast<const uint8_t *>(text), length, digest);
    hex16(digest, t->oxlo_fingerprint);
    classify_by_rule(module, flow);
    return t->oxlo_fingerprint;
}

uint16_t oxlo_fingerprint_match_tls_blocks(oxlo_module *module, const oxlo_flow_state *flow,
                                           const string_map_value_node *candidates, uint16_t protocol_id)
{
    if (!module || !flow)
        return protocol_id;
    const int32_t wanted = module->cfg.tls_max_num_blocks_to_analyze;
    const oxlo_tls_flow *t = oxlo_tls_state_find(flow);
    if (flow->l4_protocol != 6 || !t || !t->blocks || wanted <= 0 || t->block_count != wanted ||
        t->block_count > max_refined_blocks)
        return protocol_id;
    const uint16_t count = t->block_count;
    double best = best_distance_start;
    uint16_t winner = protocol_id;
    for (const string_map_value_node *n = candidates; n; n = n->next) {
        const auto *rule = static_cast<const oxlo_fingerprint_rule *>(n->item);
        if (!rule || rule->block_count < count)
            continue;
        const double d = oxlo_tls_blocks_distance(rule->blocks, t->blocks, count);
        if (d < winning_distance && d < best) {
            best = d;
            winner = rule->protocol_id;
            if (d == 0.0)
                break;
        }
    }
    return winner;
}

const char *oxlo_flow_tcp_fingerprint(const oxlo_flow_state *flow)
{
    const char *text = flow ? oxlo_flow_tcp_fingerprint_text(flow->tcp) : nullptr;
    return text ? text : "";
}

const char *oxlo_flow_tcp_fingerprint_raw(const oxlo_flow_state *flow)
{
    return flow && flow->tcp && flow->tcp->tcp_raw_options ? flow->tcp->tcp_raw_options : "";
}

int oxlo_flow_os_guess(const oxlo_flow_state *flow)
{
    return flow && flow->tcp ? int(flow->tcp->os_guess) : 0;
}

const char *oxlo_flow_fingerprint(const oxlo_flow_state *flow)
{
    return flow && flow->texts ? flow->texts->oxlo_fingerprint : "";
}

} // extern "C"
