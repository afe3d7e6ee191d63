/* Flow metadata as the block "oxlo" of a record buffer: the risks, the
 * confidence, the protocol members, the host name and one block of the
 * facts the flow's protocol dissector kept. Everything is read through the
 * engine's public accessors, so the writer does not depend on where a
 * dissector keeps its per-flow state. */
#include "oxlo_flow_json.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "oxlo_discovery.h"
#include "oxlo_dissector_kit.h"
#include "oxlo_fingerprints.h"
#include "oxlo_hosts.h"
#include "oxlo_names.h"
#include "oxlo_tls_dns.h"
#include "oxlo_utils.h"

namespace {

// Room for a protocol pair's names ("%s.%s" of two 31-character names).
constexpr size_t kNameRoom = 2 * OXLO_PROTOCOL_NAME_SIZE + 8;
// Longest text of one "tls_blocks" item, and most ids of one hello list.
constexpr size_t kBlockItemMax = 255;
constexpr uint16_t kHelloListMax = 128;

int status(int rc) { return rc == 0 ? 0 : -1; }

// Writes a text member only when the text is not empty.
int put_known(oxlo_recbuf *s, const char *key, const char *value)
{
    return value && value[0] ? oxlo_recbuf_put_text(s, key, value) : 0;
}

int knob_int(oxlo_module *m, const char *proto, const char *param)
{
    char text[32] = "";
    if (!oxlo_get_config_text(m, proto, param, text, sizeof(text)))
        return 0;
    if (strcmp(text, "enable") == 0)
        return 1;
    return atoi(text);
}

int put_utc_time(oxlo_recbuf *s, const char *key, uint32_t seconds)
{
    struct tm t;
    char text[32];
    if (oxlo_time_to_utc((time_t)seconds, &t) != 0 || strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &t) == 0)
        return 0;
    return oxlo_recbuf_put_text(s, key, text);
}

// The address text inet_ntop gives, as is: its own shortening of zero runs
// is the standard one, and nothing shortens it further.
const char *address_text(const uint8_t *address, bool ipv6, char *buffer, size_t size)
{
    if (!inet_ntop(ipv6 ? AF_INET6 : AF_INET, address, buffer, (socklen_t)size))
        buffer[0] = '\0';
    return buffer;
}

// Texts for the EC point formats of RFC 8422 (the name tables have none).
const char *point_format_name(uint16_t format, char *buffer, size_t size)
{
    switch (format) {
    case 0: return "uncompressed";
    case 1: return "ansiX962_compressed_prime";
    case 2: return "ansiX962_compressed_char2";
    default: snprintf(buffer, size, "%u", format); return buffer;
    }
}

typedef const char *(*id_namer)(uint16_t id, char *buffer, size_t size);

// One hello list as a list of names, at most kHelloListMax of them; nothing
// for an empty list.
int put_hello_list(oxlo_recbuf *s, const oxlo_flow_state *flow, int server, oxlo_tls_hello_list which,
                   const char *name, id_namer namer)
{
    const uint16_t *ids = nullptr;
    uint16_t count = oxlo_flow_tls_hello_list(flow, server, which, &ids);
    if (count == 0 || !ids)
        return 0;
    if (count > kHelloListMax)
        count = kHelloListMax;
    int rc = oxlo_recbuf_open_list(s, name);
    for (uint16_t i = 0; i < count && rc == 0; i++) {
        char buffer[OXLO_NAME_BUFFER_MIN + 16];
        const char *text = namer(ids[i], buffer, sizeof(buffer));
        rc |= oxlo_recbuf_put_text(s, "", text ? text : "");
    }
    return status(rc | oxlo_recbuf_close_list(s));
}

// "tls_blocks": a new item whenever the direction changes (bit 0 of the
// flags marks the responder's blocks). The signed length carries the
// direction too, so an item that would pass kBlockItemMax goes on in a new
// item without losing what the reader needs.
int put_tls_blocks(oxlo_recbuf *s, const tls_block *blocks, uint16_t count, bool timing)
{
    int rc = oxlo_recbuf_open_list(s, "tls_blocks");
    char item[kBlockItemMax + 1] = "";
    size_t used = 0;
    int direction = -1;
    for (uint16_t i = 0; i < count && rc == 0; i++) {
        const tls_block &b = blocks[i];
        const int dir = b.flags & 0x01;
        if (used > 0 && dir != direction) {
            rc |= oxlo_recbuf_put_text(s, "", item);
            used = 0;
        }
        direction = dir;
        const char *kind = oxlo_tls_block_kind_name(b.kind, 1);
        char piece[64];
        for (int attempt = 0; attempt < 2; attempt++) {
            const char *separator = used ? "," : "";
            if (timing)
                snprintf(piece, sizeof(piece), "%s%s=%d@%u", separator, kind ? kind : "", b.length,
                         (unsigned)b.time_offset);
            else
                snprintf(piece, sizeof(piece), "%s%s=%d", separator, kind ? kind : "", b.length);
            if (used + strlen(piece) <= kBlockItemMax)
                break;
            rc |= oxlo_recbuf_put_text(s, "", item);
            used = 0;
        }
        memcpy(item + used, piece, strlen(piece) + 1);
        used += strlen(piece);
    }
    if (used > 0)
        rc |= oxlo_recbuf_put_text(s, "", item);
    return status(rc | oxlo_recbuf_close_list(s));
}

const char *cipher_name(uint16_t id, char *b, size_t n) { return oxlo_tls_cipher_name(id, b, n); }
const char *extension_name(uint16_t id, char *b, size_t n) { return oxlo_tls_extension_name(id, b, n); }
const char *group_name(uint16_t id, char *b, size_t n) { return oxlo_tls_group_name(id, b, n); }
const char *signature_name(uint16_t id, char *b, size_t n) { return oxlo_tls_signature_name(id, b, n); }
const char *key_share_name(uint16_t id, char *b, size_t n) { return oxlo_tls_key_share_group_name(id, b, n); }
const char *version_name(uint16_t id, char *b, size_t n) { return oxlo_tls_supported_version_name(id, b, n); }

} // namespace

extern "C" {

/* ---- generic members ----------------------------------------------------- */

int oxlo_recbuf_put_risk_score(oxlo_recbuf *s, oxlo_risk_mask risks)
{
    if (!s)
        return -2;
    if (risks == 0)
        return 0;
    uint16_t client = 0, server = 0;
    const uint16_t total = oxlo_risk_mask_score(risks, &client, &server);
    int rc = oxlo_recbuf_open_block(s, "risk_score");
    rc |= oxlo_recbuf_put_u32(s, "total", total);
    rc |= oxlo_recbuf_put_u32(s, "client", client);
    rc |= oxlo_recbuf_put_u32(s, "server", server);
    return status(rc | oxlo_recbuf_close_block(s));
}

int oxlo_recbuf_put_risks(oxlo_recbuf *s, oxlo_risk_mask risks)
{
    if (!s)
        return -2;
    if (risks == 0)
        return 0;
    int rc = oxlo_recbuf_open_block(s, "flow_risk");
    for (uint32_t i = 0; i < OXLO_MAX_RISK && rc == 0; i++) {
        const oxlo_risk_mask bit = (oxlo_risk_mask)1 << i;
        if (!(risks & bit))
            continue;
        rc |= oxlo_recbuf_open_block_id(s, i);
        rc |= oxlo_recbuf_put_text(s, "risk", oxlo_flow_risk_description((int)i));
        rc |= oxlo_recbuf_put_text(s, "severity", oxlo_severity_name((int)oxlo_risk_table_lookup(i)->severity));
        rc |= oxlo_recbuf_put_risk_score(s, bit);
        rc |= oxlo_recbuf_close_block(s);
    }
    return status(rc | oxlo_recbuf_close_block(s));
}

int oxlo_recbuf_put_confidence(oxlo_recbuf *s, oxlo_confidence_level confidence)
{
    if (!s)
        return -2;
    if (confidence == OXLO_CONFIDENCE_UNKNOWN)
        return 0;
    char key[12];
    snprintf(key, sizeof(key), "%u", (unsigned)confidence);
    int rc = oxlo_recbuf_open_block(s, "confidence");
    rc |= oxlo_recbuf_put_text(s, key, oxlo_confidence_name((int)confidence));
    return status(rc | oxlo_recbuf_close_block(s));
}

int oxlo_recbuf_put_algorithm_list(oxlo_recbuf *s, const char *text, const char *list_name)
{
    if (!s || !list_name)
        return -2;
    int rc = oxlo_recbuf_open_list(s, list_name);
    for (const char *p = text ? text : ""; *p && rc == 0;) {
        const char *comma = strchr(p, ',');
        const size_t n = comma ? (size_t)(comma - p) : strlen(p);
        if (n > 0 && strncmp(p, "ext-info-", 9) != 0)
            rc |= oxlo_recbuf_put_text_value_len(s, "", p, n);
        p += n + (comma ? 1 : 0);
    }
    return status(rc | oxlo_recbuf_close_list(s));
}

int oxlo_protocol_is_encrypted(const oxlo_module *module, uint32_t packed_id)
{
    const uint16_t master = (uint16_t)(packed_id & 0xFFFFu), app = (uint16_t)(packed_id >> 16);
    auto clear_text = [module](uint16_t id) {
        const oxlo_proto_defaults *d = oxlo_proto_defaults_get(const_cast<oxlo_module *>(module), id);
        return !d || (d->flags & OXLO_PROTO_FLAG_CLEAR_TEXT);
    };
    if (master == 0)
        return oxlo_protocol_id_is_valid(module, app) && !clear_text(app) ? 1 : 0;
    return oxlo_protocol_id_is_valid(module, master) && oxlo_protocol_id_is_valid(module, app) &&
                   !clear_text(master)
               ? 1
               : 0;
}

int oxlo_flow_protocol_fields_serialize(oxlo_module *module, oxlo_recbuf *s, oxlo_risk_mask risks,
                                        oxlo_confidence_level confidence, oxlo_classification c)
{
    if (!s)
        return -2;
    const uint32_t pair = ((uint32_t)c.app << 16) | c.master;
    char text[kNameRoom];
    int rc = oxlo_recbuf_put_risks(s, risks);
    rc |= oxlo_recbuf_put_confidence(s, confidence);
    rc |= oxlo_recbuf_put_text(s, "proto", oxlo_format_protocol_names(module, pair, text, sizeof(text)));
    rc |= oxlo_recbuf_put_text(s, "proto_id", oxlo_format_protocol_ids(pair, text, sizeof(text)));
    rc |= oxlo_recbuf_put_text(s, "proto_by_ip", oxlo_protocol_name(module, c.guessed_by_address));
    if (c.guessed_by_address)
        rc |= oxlo_recbuf_put_u32(s, "proto_by_ip_id", c.guessed_by_address);
    rc |= oxlo_recbuf_put_u32(s, "encrypted", (uint32_t)oxlo_protocol_is_encrypted(module, pair));
    rc |= oxlo_recbuf_put_text(s, "breed", oxlo_breed_name(c.breed));
    rc |= oxlo_recbuf_put_u32(s, "category_id", c.category);
    rc |= oxlo_recbuf_put_text(s, "category", oxlo_category_name(module, (int)c.category));
    return status(rc);
}

char *oxlo_endpoint_to_text(const oxlo_endpoint *e, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    buffer[0] = '\0';
    if (!e)
        return buffer;
    char address[INET6_ADDRSTRLEN];
    const bool ipv6 = (e->flags & OXLO_ENDPOINT_IPV6) != 0;
    address_text(e->address, ipv6, address, sizeof(address));
    const int n = ipv6 ? snprintf(buffer, size, "[%s]:%u", address, (unsigned)e->port)
                       : snprintf(buffer, size, "%s:%u", address, (unsigned)e->port);
    if (n < 0 || (size_t)n >= size)
        buffer[0] = '\0'; // a cut text would name another endpoint
    return buffer;
}

int oxlo_flow_error_code(const oxlo_flow_state *flow)
{
    if (!flow)
        return 0;
    const uint16_t ids[2] = {oxlo_flow_master_protocol(flow), oxlo_flow_app_protocol(flow)};
    for (uint16_t id : ids) {
        switch (id) {
        case OXLO_PROTOCOL_DNS: {
            const int code = oxlo_flow_dns_response_code(flow);
            return code > 0 ? code : 0;
        }
        case OXLO_PROTOCOL_HTTP: return oxlo_flow_http_response_code(flow);
        case OXLO_PROTOCOL_SNMP: return oxlo_flow_snmp_error_status(flow);
        default: break;
        }
    }
    return 0;
}

int oxlo_flow_fingerprint_serialize(oxlo_module *module, const oxlo_flow_state *flow, oxlo_recbuf *s)
{
    if (!s)
        return -2;
    if (!flow)
        return -1;
    const uint16_t master = oxlo_flow_master_protocol(flow), app = oxlo_flow_app_protocol(flow);
    auto either = [&](uint16_t id) { return master == id || app == id; };
    int rc = 0, written = 0;
    if (either(OXLO_PROTOCOL_SSH)) {
        const char *hassh = oxlo_flow_ssh_hassh(flow, 1);
        if (!hassh[0])
            return 0;
        rc |= oxlo_recbuf_put_text(s, "hassh_client", hassh);
        rc |= oxlo_recbuf_put_text(s, "client_signature", oxlo_flow_ssh_banner(flow, 1));
        rc |= oxlo_recbuf_put_text(s, "hassh_server", oxlo_flow_ssh_hassh(flow, 0));
        rc |= oxlo_recbuf_put_text(s, "server_signature", oxlo_flow_ssh_banner(flow, 0));
        return rc ? -1 : 1;
    }
    if (either(OXLO_PROTOCOL_DHCP)) {
        const char *fingerprint = oxlo_flow_dhcp_fingerprint(flow);
        if (!fingerprint[0])
            return 0;
        rc |= oxlo_recbuf_put_text(s, "options", oxlo_flow_dhcp_options(flow));
        rc |= oxlo_recbuf_put_text(s, "fingerprint", fingerprint);
        rc |= put_known(s, "class_identifier", oxlo_flow_dhcp_class_ident(flow));
        return rc ? -1 : 1;
    }
    if (!either(OXLO_PROTOCOL_TLS) && !either(OXLO_PROTOCOL_QUIC))
        return 0;
    const char *raw = oxlo_flow_tls_ja4_raw(flow);
    if (raw[0]) {
        rc |= oxlo_recbuf_put_text(s, "JA4r", raw);
        written = 1;
    }
    const char *ja4 = oxlo_flow_tls_ja4(flow);
    if (ja4[0] || written) {
        rc |= oxlo_recbuf_put_text(s, "JA4", ja4);
        written = 1;
    }
    const char *host = oxlo_flow_host_name(flow);
    if (host[0]) {
        const char *domain = oxlo_host_registered_domain(module, host);
        rc |= oxlo_recbuf_put_text(s, "sni", host);
        rc |= oxlo_recbuf_put_text(s, "sni_domain", domain ? domain : "");
        written = 1;
    }
    return rc ? -1 : written;
}

/* ---- TLS ------------------------------------------------------------------ */

int oxlo_flow_tls_details_serialize(oxlo_module *module, oxlo_recbuf *s, const oxlo_flow_state *flow)
{
    if (!s)
        return -2;
    if (!flow)
        return -1;
    int rc = 0;
    const tls_block *blocks = nullptr;
    const uint16_t count = oxlo_flow_tls_blocks(flow, &blocks);
    if (count > 0 && blocks && oxlo_flow_tls_master_protocol(module, flow) == OXLO_PROTOCOL_TLS &&
        knob_int(module, "tls", "max_num_blocks_to_analyze") > 0)
        rc |= put_tls_blocks(s, blocks, count, knob_int(module, "tls", "tls_blocks_show_timing") != 0);
    if (oxlo_flow_tls_hello_kept(flow, 0)) {
        rc |= oxlo_recbuf_open_block(s, "client_data");
        rc |= put_hello_list(s, flow, 0, OXLO_TLS_HELLO_CIPHERS, "ciphers", cipher_name);
        rc |= put_hello_list(s, flow, 0, OXLO_TLS_HELLO_EXTENSIONS, "tls_extensions", extension_name);
        rc |= put_hello_list(s, flow, 0, OXLO_TLS_HELLO_GROUPS, "elliptic_curve_groups", group_name);
        rc |= put_hello_list(s, flow, 0, OXLO_TLS_HELLO_POINT_FORMATS, "elliptic_curve_point_format",
                             point_format_name);
        rc |= put_hello_list(s, flow, 0, OXLO_TLS_HELLO_SIGNATURE_ALGORITHMS, "signature_algorithms",
                             signature_name);
        rc |= put_hello_list(s, flow, 0, OXLO_TLS_HELLO_KEY_SHARE_GROUPS, "key_share_groups", key_share_name);
        rc |= put_hello_list(s, flow, 0, OXLO_TLS_HELLO_SUPPORTED_VERSIONS, "supported_versions", version_name);
        rc |= oxlo_recbuf_close_block(s);
    }
    if (oxlo_flow_tls_hello_kept(flow, 1)) {
        rc |= oxlo_recbuf_open_block(s, "server_data");
        rc |= put_hello_list(s, flow, 1, OXLO_TLS_HELLO_CIPHERS, "ciphers", cipher_name);
        rc |= put_hello_list(s, flow, 1, OXLO_TLS_HELLO_EXTENSIONS, "tls_extensions", extension_name);
        rc |= put_hello_list(s, flow, 1, OXLO_TLS_HELLO_POINT_FORMATS, "elliptic_curve_point_format",
                             point_format_name);
        rc |= oxlo_recbuf_close_block(s);
    }
    return status(rc);
}

int oxlo_flow_tls_serialize(oxlo_module *module, oxlo_recbuf *s, const oxlo_flow_state *flow)
{
    if (!s)
        return -2;
    if (!flow)
        return -1;
    const uint16_t version = oxlo_flow_tls_version(flow);
    char buffer[OXLO_NAME_BUFFER_MIN + 16];
    uint8_t unknown = 1;
    const char *version_text = version ? oxlo_tls_version_name(version, buffer, sizeof(buffer), &unknown) : nullptr;
    if (!version_text || unknown)
        return 0;
    int rc = oxlo_recbuf_open_block(s, "tls");
    rc |= oxlo_recbuf_put_text(s, "version", version_text);
    rc |= put_known(s, "server_names", oxlo_flow_tls_cert_server_names(flow));
    uint32_t not_before = 0, not_after = 0;
    oxlo_flow_tls_cert_validity(flow, &not_before, &not_after);
    if (not_before)
        rc |= put_utc_time(s, "notbefore", not_before);
    if (not_after)
        rc |= put_utc_time(s, "notafter", not_after);
    rc |= oxlo_recbuf_put_text(s, "ja3s", oxlo_flow_tls_ja3s(flow));
    rc |= oxlo_recbuf_put_text(s, "ja4", oxlo_flow_tls_ja4(flow));
    const uint16_t cipher = oxlo_flow_tls_cipher(flow);
    rc |= oxlo_recbuf_put_u32(s, "unsafe_cipher", (uint32_t)oxlo_tls_cipher_safety(cipher));
    if (cipher)
        rc |= oxlo_recbuf_put_text(s, "cipher", oxlo_tls_cipher_name(cipher, buffer, sizeof(buffer)));
    rc |= put_known(s, "issuerDN", oxlo_flow_tls_cert_issuer(flow));
    rc |= put_known(s, "subjectDN", oxlo_flow_tls_cert_subject(flow));
    rc |= put_known(s, "advertised_alpns", oxlo_flow_tls_alpn_offered(flow));
    rc |= put_known(s, "negotiated_alpn", oxlo_flow_tls_alpn_negotiated(flow));
    rc |= put_known(s, "tls_supported_versions", oxlo_flow_tls_versions_offered(flow));
    // The certificate's SHA-1 has a presence flag of its own: a digest may
    // well begin with a 0 byte.
    uint8_t sha1[20];
    if (oxlo_flow_tls_cert_sha1(flow, sha1) == 1) {
        size_t used = 0;
        char text[20 * 3];
        for (int i = 0; i < 20; i++)
            used += (size_t)snprintf(text + used, sizeof(text) - used, "%s%02X", i ? ":" : "", sha1[i]);
        rc |= oxlo_recbuf_put_text(s, "fingerprint", text);
    }
    rc |= oxlo_flow_tls_details_serialize(module, s, flow);
    return status(rc | oxlo_recbuf_close_block(s));
}

/* ---- per-protocol blocks -------------------------------------------------- */

int oxlo_tls_json_block(oxlo_module *module, const oxlo_flow_state *flow, oxlo_recbuf *s)
{
    return oxlo_flow_tls_serialize(module, s, flow);
}

int oxlo_http_json_block(oxlo_module *module, const oxlo_flow_state *flow, oxlo_recbuf *s)
{
    (void)module;
    if (!s)
        return -2;
    if (!flow)
        return -1;
    int rc = oxlo_recbuf_open_block(s, "http");
    const char *url = oxlo_flow_http_url(flow);
    if (url[0]) {
        rc |= oxlo_recbuf_put_text(s, "url", url);
        rc |= oxlo_recbuf_put_u32(s, "code", oxlo_flow_http_response_code(flow));
        rc |= oxlo_recbuf_put_text(s, "content_type", oxlo_flow_http_response_content_type(flow));
        rc |= oxlo_recbuf_put_text(s, "user_agent", oxlo_flow_user_agent(flow));
    }
    rc |= put_known(s, "request_content_type", oxlo_flow_http_request_content_type(flow));
    rc |= put_known(s, "detected_os", oxlo_flow_http_detected_os(flow));
    rc |= put_known(s, "nat_ip", oxlo_flow_http_forwarded(flow));
    return status(rc | oxlo_recbuf_close_block(s));
}

int oxlo_dns_json_block(oxlo_module *module, const oxlo_flow_state *flow, oxlo_recbuf *s)
{
    (void)module;
    if (!s)
        return -2;
    if (!flow)
        return -1;
    const int reply = oxlo_flow_dns_response_code(flow);
    int rc = oxlo_recbuf_open_block(s, "dns");
    rc |= oxlo_recbuf_put_u32(s, "num_queries", oxlo_flow_dns_question_count(flow));
    rc |= oxlo_recbuf_put_u32(s, "num_answers", oxlo_flow_dns_record_count(flow));
    rc |= oxlo_recbuf_put_u32(s, "reply_code", reply > 0 ? (uint32_t)reply : 0);
    rc |= oxlo_recbuf_put_u32(s, "query_type", oxlo_flow_dns_query_type(flow));
    rc |= oxlo_recbuf_put_u32(s, "rsp_type", oxlo_flow_dns_answer_type(flow));
    const uint8_t count = oxlo_flow_dns_address_count(flow);
    if (count > 0) {
        rc |= oxlo_recbuf_open_list(s, "rsp_addr");
        for (uint8_t i = 0; i < count; i++) {
            uint8_t address[16];
            int ipv6 = 0;
            uint32_t ttl = 0;
            if (oxlo_flow_dns_address(flow, i, address, &ipv6, &ttl) != 0)
                continue;
            char text[INET6_ADDRSTRLEN], item[INET6_ADDRSTRLEN + 16];
            snprintf(item, sizeof(item), "%s,ttl=%u", address_text(address, ipv6 != 0, text, sizeof(text)), ttl);
            rc |= oxlo_recbuf_put_text(s, "", item);
        }
        rc |= oxlo_recbuf_close_list(s);
    }
    return status(rc | oxlo_recbuf_close_block(s));
}

int oxlo_mdns_json_block(oxlo_module *module, const oxlo_flow_state *flow, oxlo_recbuf *s)
{
    (void)module;
    (void)flow;
    if (!s)
        return -2;
    return status(oxlo_recbuf_open_block(s, "mdns") | oxlo_recbuf_close_block(s));
}

int oxlo_icmp_json_block(oxlo_module *module, const oxlo_flow_state *flow, oxlo_recbuf *s)
{
    (void)module;
    if (!s)
        return -2;
    const float entropy = oxlo_flow_entropy(flow);
    return entropy > 0.0f ? status(oxlo_recbuf_put_float(s, "entropy", entropy, "%.6f")) : 0;
}

// Protocols whose block no dissector declares with its registration: ids
// that a dissector reaches without registering them (HTTP's proxy and
// CONNECT forms, MDNS from the DNS dissector) and engine facts (ICMP).
oxlo_flow_json_block_fn oxlo_flow_json_block_for(uint16_t protocol_id)
{
    switch (protocol_id) {
    case OXLO_PROTOCOL_HTTP_CONNECT:
    case OXLO_PROTOCOL_HTTP_PROXY: return oxlo_http_json_block;
    case OXLO_PROTOCOL_MDNS: return oxlo_mdns_json_block;
    case OXLO_PROTOCOL_ICMP: return oxlo_icmp_json_block;
    default: return nullptr;
    }
}

/* ---- the block "oxlo" ------------------------------------------------------ */

int oxlo_flow_info_serialize(oxlo_module *module, const oxlo_flow_state *flow, oxlo_recbuf *s,
                             oxlo_classification c)
{
    if (!s)
        return -2;
    if (!flow)
        return -1;
    int rc = oxlo_recbuf_open_block(s, "oxlo");
    rc |= oxlo_flow_protocol_fields_serialize(module, s, oxlo_flow_risk_bits(flow), oxlo_flow_confidence(flow), c);
    // An empty host-name buffer names nothing: no "hostname":"".
    const char *host = oxlo_flow_host_name_by_protocol(flow, c);
    if (host && host[0]) {
        const char *domain = oxlo_host_registered_domain(module, host);
        rc |= oxlo_recbuf_put_text(s, "hostname", host);
        rc |= oxlo_recbuf_put_text(s, "domainame", domain ? domain : "");
    }
    const uint8_t content = oxlo_flow_stream_content(flow);
    if (content) {
        char text[64];
        rc |= put_known(s, "stream_content", oxlo_stream_content_text(content, text, sizeof(text)));
    }
    // The block of the protocol's own dissector, as it registered it.
    const uint16_t id = c.master ? c.master : c.app;
    oxlo_flow_json_block_fn block = oxlo_dissector_json_block(module, oxlo_internal_protocol_id(module, id));
    if (!block)
        block = oxlo_flow_json_block_for(id);
    if (block)
        rc |= block(module, flow, s);
    return status(rc | oxlo_recbuf_close_block(s));
}

int oxlo_flow_header_serialize(oxlo_module *module, const oxlo_flow_state *flow, uint8_t ip_version,
                               uint8_t ip_protocol, uint16_t vlan_id, uint32_t src_ipv4, uint32_t dst_ipv4,
                               const uint8_t *src_ipv6, const uint8_t *dst_ipv6, uint16_t src_port,
                               uint16_t dst_port, oxlo_classification c, oxlo_recbuf *s)
{
    if (!s)
        return -2;
    if (!flow || (ip_version != 4 && ip_version != 6) || (ip_version == 6 && (!src_ipv6 || !dst_ipv6)))
        return -1;
    int rc = 0;
    if (vlan_id)
        rc |= oxlo_recbuf_put_u32(s, "vlan_id", vlan_id);
    char text[INET6_ADDRSTRLEN];
    const bool ipv6 = ip_version == 6;
    rc |= oxlo_recbuf_put_text(s, "src_ip", address_text(ipv6 ? src_ipv6 : reinterpret_cast<const uint8_t *>(&src_ipv4),
                                                         ipv6, text, sizeof(text)));
    rc |= oxlo_recbuf_put_text(s, "dest_ip", address_text(ipv6 ? dst_ipv6 : reinterpret_cast<const uint8_t *>(&dst_ipv4),
                                                          ipv6, text, sizeof(text)));
    if (src_port)
        rc |= oxlo_recbuf_put_u32(s, "src_port", ntohs(src_port));
    if (dst_port)
        rc |= oxlo_recbuf_put_u32(s, "dst_port", ntohs(dst_port));
    rc |= oxlo_recbuf_put_u32(s, "ip", ip_version);
    rc |= put_known(s, "tcp_fingerprint", oxlo_flow_tcp_fingerprint(flow));
    rc |= put_known(s, "tcp_fingerprint_raw", oxlo_flow_tcp_fingerprint_raw(flow));
    // The engine's own fingerprints of the two ends: the flow fingerprint of
    // the client, the server's from its hello.
    const char *client_fp = oxlo_flow_fingerprint(flow), *server_fp = oxlo_flow_tls_server_fingerprint(flow);
    if (client_fp[0] || server_fp[0]) {
        rc |= oxlo_recbuf_open_block(s, "oxlo_fingerprint");
        rc |= oxlo_recbuf_put_text(s, "client", client_fp);
        rc |= oxlo_recbuf_put_text(s, "server", server_fp);
        rc |= oxlo_recbuf_close_block(s);
    }
    char name[OXLO_NAME_BUFFER_MIN + 16];
    rc |= oxlo_recbuf_put_text(s, "proto", oxlo_ip_protocol_name(ip_protocol, name, sizeof(name)));
    rc |= oxlo_flow_info_serialize(module, flow, s, c);
    return status(rc);
}

} // extern "C"
