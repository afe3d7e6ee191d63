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

/* The fingerprint texts are written by hand into buffers sized for the
 * longest lists a hello can fill: they are built for every ClientHello, TLS
 * and QUIC, and the formatted-output family costs more than the hashing. */
constexpr char HEX[] = "0123456789abcdef";

char *put_hex4(char *out, uint16_t v)
{
    out[0] = HEX[v >> 12];
    out[1] = HEX[(v >> 8) & 0xF];
    out[2] = HEX[(v >> 4) & 0xF];
    out[3] = HEX[v & 0xF];
    return out + 4;
}

/* Writes "%04x" ids joined by `sep` (none when 0); returns the end. */
char *put_ids(char *out, const uint16_t *ids, size_t count, char sep)
{
    for (size_t i = 0; i < count; i++) {
        if (i && sep)
            *out++ = sep;
        out = put_hex4(out, ids[i]);
    }
    return out;
}

/* Two decimal digits of a value capped at 99. */
void put_two_digits(char *out, size_t v)
{
    if (v > 99)
        v = 99;
    out[0] = char('0' + v / 10);
    out[1] = char('0' + v % 10);
}

void append_ids(std::string &out, const uint16_t *ids, size_t count, char sep)
{
    char hex[5];
    for (size_t i = 0; i < count; i++) {
        if (i && sep)
            out += sep;
        out.append(hex, size_t(put_hex4(hex, ids[i]) - hex));
    }
}

/* The first 6 bytes of the SHA-256 of the text as 12 hex digits (no NUL). */
void sha256_12(const char *text, size_t length, char out[12])
{
    uint8_t digest[32];
    oxlo_sha256_digest(reinterpret_cast<const uint8_t *>(text), length, digest);
    for (int i = 0; i < 6; i++) {
        out[2 * i] = HEX[digest[i] >> 4];
        out[2 * i + 1] = HEX[digest[i] & 0xF];
    }
}

constexpr size_t CIPHERS_TEXT = OXLO_TLS_LIST_MAX * 5;
constexpr size_t SIGNATURES_MAX = sizeof(tls_hello_lists::signature_algorithms) / sizeof(uint16_t);
constexpr size_t EXTENSIONS_TEXT = OXLO_TLS_LIST_MAX * 5 + 1 + SIGNATURES_MAX * 5;

struct ja4_parts {
    char prefix[11]; /* with the trailing '_' */
    char ciphers[CIPHERS_TEXT];
    size_t ciphers_length; /* sorted, joined by ',' */
    char extensions[EXTENSIONS_TEXT];
    size_t extensions_length; /* sorted without SNI/ALPN, '_' and signature algorithms */
    size_t extension_ids;     /* ids in the extension text */
};

size_t capped(uint16_t count, size_t max) { return count < max ? count : max; }

/* The prefix and the cipher list; the extensions are left to ja4_extensions. */
void ja4_start(const oxlo_module *m, const oxlo_flow_state *f, const tls_hello_lists *l, int is_quic,
               ja4_parts *p)
{
    uint16_t best = l->legacy_version;
    for (size_t i = 0; i < capped(l->version_count, OXLO_TLS_LIST_MAX); i++)
        if (!is_grease(l->versions[i]) && version_rank(l->versions[i]) > version_rank(best))
            best = l->versions[i];
    char version[2];
    tls_version_chars(version, best);
    const bool sni = oxlo_flow_host(f)[0] && !oxlo_flow_risk_is_set(f, OXLO_NUMERIC_IP_HOST);
    p->prefix[0] = transport_letter(m, f, is_quic);
    p->prefix[1] = version[0];
    p->prefix[2] = version[1];
    p->prefix[3] = sni ? 'd' : 'i';
    put_two_digits(p->prefix + 4, l->cipher_count);
    put_two_digits(p->prefix + 6, l->extension_count);
    p->prefix[8] = l->alpn_first;
    p->prefix[9] = l->alpn_last;
    p->prefix[10] = '_';

    uint16_t sorted[OXLO_TLS_LIST_MAX];
    const size_t count = capped(l->cipher_count, OXLO_TLS_LIST_MAX);
    std::copy(l->ciphers, l->ciphers + count, sorted);
    std::sort(sorted, sorted + count);
    p->ciphers_length = size_t(put_ids(p->ciphers, sorted, count, ',') - p->ciphers);
}

void ja4_extensions(const oxlo_module *m, const tls_hello_lists *l, bool leave_out_ignored, ja4_parts *p)
{
    uint16_t sorted[OXLO_TLS_LIST_MAX];
    size_t kept = 0;
    for (size_t i = 0; i < capped(l->extension_count, OXLO_TLS_LIST_MAX); i++) {
        const uint16_t id = l->extensions[i];
        if (id == 0x0000 || id == 0x0010 || (leave_out_ignored && tls_fingerprint_ignores_extension(m, id)))
            continue;
        sorted[kept++] = id;
    }
    std::sort(sorted, sorted + kept);
    char *out = put_ids(p->extensions, sorted, kept, ',');
    p->extension_ids = kept;
    if (l->signature_algorithm_count) {
        *out++ = '_';
        out = put_ids(out, l->signature_algorithms, capped(l->signature_algorithm_count, SIGNATURES_MAX), ',');
    }
    p->extensions_length = size_t(out - p->extensions);
}

/* The hashed form, 36 characters and a NUL, into out[37]. */
void ja4_hashed(const ja4_parts &p, char out[37])
{
    memcpy(out, p.prefix, 11);
    if (p.ciphers_length)
        sha256_12(p.ciphers, p.ciphers_length, out + 11);
    else
        memcpy(out + 11, "000000000000", 12);
    out[23] = '_';
    if (p.extension_ids)
        sha256_12(p.extensions, p.extensions_length, out + 24);
    else
        memcpy(out + 24, "000000000000", 12);
    out[36] = '\0';
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
    ja4_parts parts;
    ja4_start(module, flow, lists, is_quic, &parts);
    ja4_extensions(module, lists, false, &parts);
    char hashed[37];
    ja4_hashed(parts, hashed);
    static_assert(sizeof(t->ja4_client) == sizeof(hashed) && sizeof(t->client_app_fingerprint) == sizeof(hashed));
    memcpy(t->ja4_client, hashed, sizeof(hashed));

    /* The application variant leaves out the ignored extensions too: the
     * same prefix and ciphers, and its extension list is the one above less
     * those, so where none is left out its hash is the one above. */
    ja4_parts app;
    memcpy(app.prefix, parts.prefix, sizeof(app.prefix));
    app.ciphers_length = parts.ciphers_length;
    ja4_extensions(module, lists, true, &app);
    put_two_digits(hashed + 6, app.extension_ids);
    if (app.extension_ids != parts.extension_ids) {
        if (app.extension_ids)
            sha256_12(app.extensions, app.extensions_length, hashed + 24);
        else
            memcpy(hashed + 24, "000000000000", 12);
    }
    memcpy(t->client_app_fingerprint, hashed, sizeof(hashed));

    if (module->cfg.tls_ja4r_fingerprint && !t->ja4_client_raw) {
        /* prefix, ciphers, '_', extensions; at most 1023 characters */
        char raw[sizeof(parts.prefix) + CIPHERS_TEXT + 1 + EXTENSIONS_TEXT + 1];
        size_t n = 0;
        memcpy(raw + n, parts.prefix, sizeof(parts.prefix));
        n += sizeof(parts.prefix);
        memcpy(raw + n, parts.ciphers, parts.ciphers_length);
        n += parts.ciphers_length;
        raw[n++] = '_';
        memcpy(raw + n, parts.extensions, parts.extensions_length);
        n += parts.extensions_length;
        raw[n < 1023 ? n : 1023] = '\0';
        t->ja4_client_raw = oxlo_heap_strdup(raw);
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
        char hashed[13];
        sha256_12(text.data(), text.size(), hashed);
        hashed[12] = '\0';
        t->server_fingerprint = oxlo_heap_strdup(hashed);
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
        for (int i = 0; i < 16; i++) {
            t->ja3_server[2 * i] = HEX[digest[i] >> 4];
            t->ja3_server[2 * i + 1] = HEX[digest[i] & 0xF];
        }
        t->ja3_server[32] = '\0';
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
        oxlo_dissector_risk_text(module, flow, OXLO_MALICIOUS_FINGERPRINT, ja4);
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
