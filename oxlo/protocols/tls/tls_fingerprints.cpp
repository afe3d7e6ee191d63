/* TLS fingerprints: the JA4 client fingerprint (and its raw form and the
 * application variant), JA3S and the short server fingerprint, the browser
 * heuristics, and the look-up of the client fingerprint in the custom rules
 * and in the list of malicious fingerprints. The hello parser hands over the
 * lists it collected; nothing here reads packet bytes except the two browser
 * steps, which get a range that the parser has bounded. */
#include "tls_private.h"
#include "oxlo_dissector.h"
#include "oxlo_risk_ids.h"
#include "oxlo_digest.h"
#include "oxlo_hosts.h"
#include "oxlo_risks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool is_grease(uint16_t v) { return (v >> 8) == (v & 0xFF) && (v & 0x0F) == 0x0A; }

/* DTLS numbers its versions downwards (0xFEFF 1.0, 0xFEFD 1.2, 0xFEFC 1.3),
 * so "newest" is the smallest DTLS number; TLS counts upwards. */
uint32_t version_rank(uint16_t v)
{
    if ((v >> 8) == 0xFE)
        return 0x10000u + (0xFFu - (v & 0xFF));
    return v;
}

char transport_letter(const oxlo_module *m, const oxlo_flow_state *f, int is_quic)
{
    if (is_quic)
        return 'q';
    return tls_flow_is_dtls(m, f) ? 'd' : 't';
}

/* Appends "%04x" ids joined by `sep` (none when 0) to out, bounded. */
void append_ids(std::string &out, const uint16_t *ids, size_t count, char sep)
{
    char hex[8];
    for (size_t i = 0; i < count; i++) {
        if (i && sep)
            out += sep;
        snprintf(hex, sizeof(hex), "%04x", ids[i]);
        out += hex;
    }
}

/* The first 6 bytes of the SHA-256 of the text as 12 hex digits. */
std::string sha256_12(const std::string &text)
{
    uint8_t digest[32];
    oxlo_sha256_digest(reinterpret_cast<const uint8_t *>(text.data()), text.size(), digest);
    char hex[13];
    for (int i = 0; i < 6; i++)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return std::string(hex, 12);
}

struct ja4_parts {
    std::string prefix;     /* 11 characters with the trailing '_' */
    std::string ciphers;    /* sorted, joined by ',' */
    std::string extensions; /* sorted without SNI/ALPN, '_' and signature algorithms */
    size_t extension_ids;   /* ids in the extension text */
};

ja4_parts ja4_build(const oxlo_module *m, const oxlo_flow_state *f, const tls_hello_lists *l, int is_quic,
                    bool leave_out_ignored)
{
    ja4_parts p;
    uint16_t best = l->legacy_version;
    for (uint16_t i = 0; i < l->version_count; i++)
        if (!is_grease(l->versions[i]) && version_rank(l->versions[i]) > version_rank(best))
            best = l->versions[i];
    char version[2];
    tls_version_chars(version, best);
    const bool sni = f->host_name[0] && !oxlo_flow_risk_is_set(f, OXLO_NUMERIC_IP_HOST);
    char prefix[32];
    snprintf(prefix, sizeof(prefix), "%c%c%c%c%02u%02u%c%c_", transport_letter(m, f, is_quic), version[0],
             version[1], sni ? 'd' : 'i', (unsigned)std::min<uint16_t>(l->cipher_count, 99),
             (unsigned)std::min<uint16_t>(l->extension_count, 99), l->alpn_first, l->alpn_last);
    p.prefix = prefix;

    uint16_t sorted[OXLO_TLS_LIST_MAX];
    std::copy(l->ciphers, l->ciphers + l->cipher_count, sorted);
    std::sort(sorted, sorted + l->cipher_count);
    append_ids(p.ciphers, sorted, l->cipher_count, ',');

    size_t kept = 0;
    for (uint16_t i = 0; i < l->extension_count; i++) {
        const uint16_t id = l->extensions[i];
        if (id == 0x0000 || id == 0x0010 || (leave_out_ignored && tls_fingerprint_ignores_extension(m, id)))
            continue;
        sorted[kept++] = id;
    }
    std::sort(sorted, sorted + kept);
    append_ids(p.extensions, sorted, kept, ',');
    p.extension_ids = kept;
    if (l->signature_algorithm_count) {
        p.extensions += '_';
        append_ids(p.extensions, l->signature_algorithms, l->signature_algorithm_count, ',');
    }
    return p;
}

std::string ja4_hashed(const ja4_parts &p)
{
    std::string out = p.prefix;
    out += p.ciphers.empty() ? "000000000000" : sha256_12(p.ciphers);
    out += '_';
    out += p.extension_ids == 0 ? "000000000000" : sha256_12(p.extensions);
    return out;
}

void store_fixed(char *out, size_t size, const std::string &text)
{
    snprintf(out, size, "%s", text.c_str());
}

/* Custom rules may ask for a sequence of TLS blocks besides the JA4: a rule
 * with blocks applies when the flow's first blocks have the same kinds and
 * lengths. */
uint16_t custom_rule_protocol(const oxlo_flow_state *f, uint64_t value, const string_map_value_node *values)
{
    bool any_blocks = false;
    for (const string_map_value_node *n = values; n; n = n->next) {
        const auto *rule = static_cast<const oxlo_fingerprint_rule *>(n->item);
        if (!rule || rule->block_count == 0)
            continue;
        any_blocks = true;
        if (tls_of(f).block_count < rule->block_count)
            continue;
        bool same = true;
        for (uint16_t i = 0; i < rule->block_count && same; i++)
            same = rule->blocks[i].kind == tls_of(f).blocks[i].kind && rule->blocks[i].length == tls_of(f).blocks[i].length;
        if (same)
            return rule->protocol_id;
    }
    return any_blocks ? 0 : (uint16_t)(value & 0xFFFF);
}

} // namespace

extern "C" {

void tls_version_chars(char out[2], uint16_t version)
{
    const char *text = "00";
    switch (version) {
    case 0x0002: text = "s2"; break;
    case 0x0300: text = "s3"; break;
    case 0x0301: text = "10"; break;
    case 0x0302: text = "11"; break;
    case 0x0303: text = "12"; break;
    case 0x0304: text = "13"; break;
    case 0xFEFF: text = "d1"; break;
    case 0xFEFD: text = "d2"; break;
    case 0xFEFC: text = "d3"; break;
    default: break;
    }
    out[0] = text[0];
    out[1] = text[1];
}

int tls_fingerprint_ignores_extension(const oxlo_module *module, uint16_t id)
{
    if (id == 0)
        return module->cfg.tls_oxlofp_ignore_sni_tls_extn ? 1 : 0;
    if (!module->cfg.tls_ja_ignore_ephemeral_tls_extn)
        return 0;
    return id == 10 || id == 21 || id == 35 || id == 41 || id == 43;
}

void tls_client_fingerprints(oxlo_module *module, oxlo_flow_state *flow, const tls_hello_lists *lists,
                             int is_quic)
{
    oxlo_tls_flow *t = &tls_of(flow);
    if (!module->cfg.tls_ja4c_fingerprint || (t->fingerprints_done & 0x01))
        return;
    t->fingerprints_done |= 0x01;
    const ja4_parts parts = ja4_build(module, flow, lists, is_quic, false);
    store_fixed(t->ja4_client, sizeof(t->ja4_client), ja4_hashed(parts));

    ja4_parts app = ja4_build(module, flow, lists, is_quic, true);
    char count[3];
    snprintf(count, sizeof(count), "%02u", (unsigned)std::min<size_t>(app.extension_ids, 99));
    app.prefix[6] = count[0];
    app.prefix[7] = count[1];
    store_fixed(t->client_app_fingerprint, sizeof(t->client_app_fingerprint), ja4_hashed(app));

    if (module->cfg.tls_ja4r_fingerprint && !t->ja4_client_raw) {
        std::string raw = parts.prefix + parts.ciphers + "_" + parts.extensions;
        if (raw.size() > 1023)
            raw.resize(1023);
        t->ja4_client_raw = oxlo_heap_strdup(raw.c_str());
    }
    tls_check_client_fingerprint(module, flow);
}

void tls_server_fingerprints(oxlo_module *module, oxlo_flow_state *flow, const tls_hello_lists *lists,
                             int is_quic)
{
    oxlo_tls_flow *t = &tls_of(flow);
    if (module->cfg.oxlo_server_fingerprint && !t->server_fingerprint) {
        char version[2];
        tls_version_chars(version, lists->legacy_version);
        std::string alpn = t->alpn_negotiated ? t->alpn_negotiated : "00";
        std::replace(alpn.begin(), alpn.end(), ',', '-');
        char head[160];
        snprintf(head, sizeof(head), "%c%c%c%02u_%s_%04x_", transport_letter(module, flow, is_quic), version[0],
                 version[1], (unsigned)std::min<uint16_t>(lists->extension_count, 99), alpn.c_str(), lists->cipher);
        std::string text = head;
        append_ids(text, lists->extensions, lists->extension_count, 0);
        text += '_';
        if (lists->point_format_count)
            append_ids(text, lists->point_formats, lists->point_format_count, 0);
        else
            text += "0000";
        if (text.size() > 127)
            text.resize(127);
        t->server_fingerprint = oxlo_heap_strdup(sha256_12(text).c_str());
    }
    if (module->cfg.tls_ja3s_fingerprint && !(t->fingerprints_done & 0x04)) {
        t->fingerprints_done |= 0x04;
        std::string text = std::to_string(lists->legacy_version) + "," + std::to_string(lists->cipher) + ",";
        for (uint16_t i = 0; i < lists->extension_count; i++) {
            if (i)
                text += '-';
            text += std::to_string(lists->extensions[i]);
        }
        if (text.size() > 1023)
            text.resize(1023);
        md5_context ctx;
        uint8_t digest[16];
        oxlo_md5_init(&ctx);
        oxlo_md5_update(&ctx, reinterpret_cast<const uint8_t *>(text.data()), (uint32_t)text.size());
        oxlo_md5_final(digest, &ctx);
        for (int i = 0; i < 16; i++)
            snprintf(t->ja3_server + 2 * i, 3, "%02x", digest[i]);
    }
}

void tls_check_client_fingerprint(oxlo_module *module, oxlo_flow_state *flow)
{
    const char *ja4 = tls_of(flow).ja4_client;
    if (strlen(ja4) != 36)
        return;
    oxlo_string_map *rules = oxlo_custom_ja4_map(module);
    uint64_t value = 0;
    const string_map_value_node *values = nullptr;
    if (rules && oxlo_string_map_lookup(rules, ja4, 36, &value, &values) == 0) {
        const uint16_t id = custom_rule_protocol(flow, value, values);
        if (id)
            oxlo_flow_set_protocol(module, flow, id, oxlo_flow_tls_master_protocol(module, flow),
                                   OXLO_CONFIDENCE_CUSTOM_RULE);
    }
    if (module->malicious_ja4 && oxlo_string_map_find(module->malicious_ja4, ja4, 36, &value) == 0)
        oxlo_flow_risk_raise(module, flow, OXLO_MALICIOUS_FINGERPRINT, ja4);
}

void tls_copy_ja_data(oxlo_module *module, oxlo_flow_state *flow, const tls_hello_lists *lists, int client)
{
    (void)module;
    oxlo_tls_flow *t = &tls_of(flow);
    uint8_t **slot = client ? &t->ja_data_client : &t->ja_data_server;
    uint32_t *length = client ? &t->ja_data_client_length : &t->ja_data_server_length;
    if (*slot)
        return;
    *slot = static_cast<uint8_t *>(oxlo_heap_alloc(sizeof(*lists)));
    if (!*slot)
        return;
    memcpy(*slot, lists, sizeof(*lists));
    *length = sizeof(*lists);
}

void tls_browser_cipher_step(oxlo_flow_state *flow, const uint8_t *list, size_t length, int overran)
{
    static const uint16_t set_a[] = {0x002F, 0x0035, 0x009C, 0x009D, 0xC013, 0xC014,
                                     0xC02B, 0xC02C, 0xC02F, 0xC030, 0xCCA8, 0xCCA9};
    static const uint16_t set_b[] = {0x002F, 0x0035, 0x009C, 0x009D, 0xC013, 0xC014, 0xC02F,
                                     0xC030, 0xCCA8, 0xCCA9, 0x1301, 0x1302, 0x1303};
    unsigned a = 0, b = 0;
    for (size_t i = 0; i + 1 < length; i += 2) {
        const uint16_t c = (uint16_t)((list[i] << 8) | list[i + 1]);
        a += std::count(std::begin(set_a), std::end(set_a), c) ? 1 : 0;
        b += std::count(std::begin(set_b), std::end(set_b), c) ? 1 : 0;
    }
    uint8_t &flags = tls_of(flow).browser_flags;
    if (overran)
        flags &= (uint8_t)~0x01;
    else if (a == 12)
        flags |= 0x01;
    if (b == 13)
        flags |= 0x04;
}

void tls_browser_signature_step(oxlo_flow_state *flow, const uint8_t *list, size_t length)
{
    static const uint16_t counted[] = {0x0401, 0x0403, 0x0501, 0x0503, 0x0601, 0x0804, 0x0805, 0x0806};
    uint8_t &flags = tls_of(flow).browser_flags;
    bool duplicate = false;
    unsigned s = 0;
    uint16_t previous = 0;
    for (size_t i = 0; i + 1 < length; i += 2) {
        const uint16_t v = (uint16_t)((list[i] << 8) | list[i + 1]);
        if (i > 0 && v == previous)
            duplicate = true;
        for (size_t j = i + 2; j + 1 < length && !duplicate; j += 2)
            duplicate = (uint16_t)((list[j] << 8) | list[j + 1]) == v;
        if (v == 0x0603) {
            flags |= 0x02;
            previous = v;
        }
        s += std::count(std::begin(counted), std::end(counted), v) ? 1 : 0;
    }
    if (flags & 0x02)
        flags &= (uint8_t)~0x05;
    if (s == 8 && !duplicate) {
        if (flags & 0x01)
            flags &= (uint8_t)~0x04;
        return;
    }
    if (s != 8)
        flags &= (uint8_t)~0x01;
    flags &= (uint8_t)~0x04;
    if (duplicate)
        flags |= 0x01;
}

} // extern "C"
