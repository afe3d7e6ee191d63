/* TLS certificates: the server's Certificate handshake message. The first
 * certificate is read without a full X.509 decoder: its SHA-1, the X.520
 * attributes of the issuer and subject names, the subjectAltName entries and
 * the validity period are picked from the DER bytes by their patterns, and
 * every read stays inside that certificate. A small per-server cache keeps
 * the protocol a certificate revealed, for later flows to the same server. */
#include "tls_private.h"
#include "oxlo_digest.h"
#include "oxlo_hash.h"
#include "oxlo_risks.h"
#include "oxlo_dissector.h"
#include "oxlo_hosts.h"
#include "oxlo_risk_ids.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t DN_MAX = 2048;
constexpr uint8_t HELLO_BY_NAME = 0x04, HELLO_CERT_SHA1 = 0x10, HELLO_DTLS_SRTP = 0x20;
constexpr uint32_t NEW_CERT_RULES_START = 1598918400; /* 2020-09-01 00:00:00 UTC */
constexpr uint32_t MAX_VALIDITY = 34387200;           /* 398 days */

const char *attribute_name(uint8_t x)
{
    switch (x) {
    case 3: return "CN";
    case 6: return "C";
    case 7: return "L";
    case 8: return "ST";
    case 10: return "O";
    case 11: return "OU";
    default: return nullptr;
    }
}

bool printable(const uint8_t *text, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if (text[i] < 0x20 || text[i] > 0x7E)
            return false;
    return true;
}

/* The server side of the flow, as this packet sees it. */
uint64_t cert_cache_key(const oxlo_module *m, bool server_is_destination)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, nullptr);
    const uint16_t port = server_is_destination ? pkt.dst_port : pkt.src_port;
    if (const oxlo_reader ip = oxlo_dissector_ip(m, 4); ip.length) {
        const uint64_t address = oxlo_rd_peek32(&ip, server_is_destination ? 16 : 12);
        return (address << 32) | port;
    }
    if (const oxlo_reader ip6 = oxlo_dissector_ip(m, 6); ip6.length) {
        const uint32_t h = (uint32_t)address_fold_hash(oxlo_rd_bytes_at(&ip6, server_is_destination ? 24 : 8, 16), 16);
        return ((uint64_t)h << 16) | port;
    }
    return 0;
}

uint32_t now_seconds(const oxlo_module *m) { return (uint32_t)(oxlo_dissector_packet(m, nullptr).time_ms / 1000); }

/* Two-digit years follow the platform parser's rule: 69-99 are 19xx, 00-68
 * are 20xx. */
bool parse_time(const uint8_t *text, size_t length, bool generalized, uint32_t *out)
{
    const size_t digits = generalized ? 14 : 12;
    if (length < digits + 1 || text[digits] != 'Z')
        return false;
    for (size_t i = 0; i < digits; i++)
        if (!isdigit(text[i]))
            return false;
    auto two = [&](size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    size_t at = 0;
    if (generalized) {
        tm.tm_year = two(0) * 100 + two(2) - 1900;
        at = 4;
    } else {
        const int yy = two(0);
        tm.tm_year = yy < 69 ? yy + 100 : yy;
        at = 2;
    }
    tm.tm_mon = two(at) - 1;
    tm.tm_mday = two(at + 2);
    tm.tm_hour = two(at + 4);
    tm.tm_min = two(at + 6);
    tm.tm_sec = two(at + 8);
    const time_t t = timegm(&tm);
    if (t < 0 || (uint64_t)t > 0xFFFFFFFFull)
        return false;
    *out = (uint32_t)t;
    return true;
}

struct cert_scan {
    oxlo_module *m;
    oxlo_flow_state *f;
    oxlo_reader w;            /* the certificate */
    char dn[DN_MAX];
    size_t dn_length;
    bool issuer_done;
    bool validity_done;
    bool sni_matched;
};

void dn_append(cert_scan *s, const char *name, const uint8_t *value, size_t length)
{
    char piece[96];
    const int n = snprintf(piece, sizeof(piece), "%s%s=%.*s", s->dn_length ? ", " : "", name, (int)length,
                           (const char *)value);
    if (n <= 0 || s->dn_length + (size_t)n >= DN_MAX)
        return;
    memcpy(s->dn + s->dn_length, piece, (size_t)n + 1);
    s->dn_length += (size_t)n;
}

/* An X.520 attribute at p; returns the position to go on from, or 0 to end
 * the scan. */
size_t scan_attribute(cert_scan *s, size_t p)
{
    const char *name = attribute_name(oxlo_rd_peek8(&s->w, p + 2));
    if (!name)
        return p + 1;
    uint8_t length = 0;
    if (!oxlo_rd_u8_at(&s->w, p + 4, &length))
        return 0;
    const uint8_t *value = oxlo_rd_bytes_at(&s->w, p + 5, length);
    if (!value)
        return 0;
    const size_t take = length > 63 ? 63 : length;
    if (printable(value, take))
        dn_append(s, name, value, take);
    return p + 5 + length;
}

void san_value(cert_scan *s, uint8_t tag, const uint8_t *value, uint8_t length)
{
    oxlo_module *m = s->m;
    oxlo_flow_state *f = s->f;
    oxlo_tls_flow *t = &tls_of(f);
    char text[256];
    if (tag == 0x87) {
        if (length == 4)
            snprintf(text, sizeof(text), "%u.%u.%u.%u", value[0], value[1], value[2], value[3]);
        else if (length == 16)
            oxlo_ipv6_to_text(value, text, sizeof(text));
        else
            text[0] = '\0';
    } else {
        memcpy(text, value, length);
        text[length] = '\0';
    }
    for (char *c = text; *c; c++)
        *c = (char)tolower((unsigned char)*c);
    if (!printable(reinterpret_cast<const uint8_t *>(text), strlen(text))) {
        oxlo_dissector_risk_text(m, f, OXLO_INVALID_CHARACTERS, text);
        oxlo_dissector_risk(m, f, OXLO_POSSIBLE_EXPLOIT, "Invalid dNSName name");
    }
    if (!s->sni_matched && oxlo_flow_host(f)[0] && tls_cert_name_matches(text, oxlo_flow_host(f)))
        s->sni_matched = true;
    if (m->cfg.tls_cert_server_names) {
        size_t old = t->cert_server_names ? t->cert_server_names_length : 0;
        const size_t add = strlen(text);
        if (old + add + 2 <= 0xFFFF) {
            void *grown = oxlo_heap_realloc(t->cert_server_names, old + add + 2);
            if (grown) {
                char *names = static_cast<char *>(grown);
                if (old)
                    names[old++] = ',';
                memcpy(names + old, text, add + 1);
                t->cert_server_names = names;
                t->cert_server_names_length = (uint16_t)(old + add);
            }
        }
    }
    if (m->cfg.tls_subclassification && !(t->hello_flags & HELLO_BY_NAME) &&
        oxlo_host_name_classify(m, f, oxlo_flow_tls_master_protocol(m, f), text, strlen(text))) {
        t->hello_flags |= HELLO_BY_NAME;
        oxlo_flow_risk_clear(m, f, OXLO_NUMERIC_IP_HOST);
    }
}

/* Steps over a DER length at off; false when it does not fit. */
bool skip_der_length(const oxlo_reader *w, size_t *off, size_t *length)
{
    uint8_t first = 0;
    if (!oxlo_rd_u8_at(w, *off, &first))
        return false;
    if (!(first & 0x80)) {
        *length = first;
        *off += 1;
        return true;
    }
    const uint8_t bytes = first & 0x7F;
    if (bytes == 0 || bytes > 3 || !oxlo_rd_has(w, *off + 1, bytes))
        return false;
    size_t v = 0;
    for (uint8_t i = 0; i < bytes; i++)
        v = (v << 8) | w->data[*off + 1 + i];
    *length = v;
    *off += 1 + (size_t)bytes;
    return true;
}

size_t scan_san(cert_scan *s, size_t p)
{
    size_t off = p + (oxlo_rd_peek8(&s->w, p + 3) == 0x04 ? 4 : 7);
    size_t length = 0;
    uint8_t tag = 0;
    if (!skip_der_length(&s->w, &off, &length) || !oxlo_rd_u8_at(&s->w, off, &tag))
        return p + 1;
    off += 1;
    if (!skip_der_length(&s->w, &off, &length))
        return p + 1;
    const size_t end = off + length <= s->w.length ? off + length : s->w.length;
    while (off < end) {
        uint8_t name_tag = 0, name_length = 0;
        oxlo_rd_u8_at(&s->w, off, &name_tag);
        const bool known = name_tag == 0x81 || name_tag == 0x82 || name_tag == 0x87;
        const uint8_t *value = nullptr;
        if (known && oxlo_rd_u8_at(&s->w, off + 1, &name_length) && name_length < 0x80 &&
            off + 2 + name_length <= end)
            value = oxlo_rd_bytes_at(&s->w, off + 2, name_length);
        if (!value) {
            char text[32];
            snprintf(text, sizeof(text), "Unknown extension %02X", name_tag);
            oxlo_dissector_risk_text(s->m, s->f, OXLO_TLS_SUSPICIOUS_EXTENSION, text);
            break;
        }
        san_value(s, name_tag, value, name_length);
        off += 2 + (size_t)name_length;
    }
    const oxlo_flow_state *f = s->f;
    if (oxlo_flow_host(f)[0] && !s->sni_matched) {
        char text[512];
        snprintf(text, sizeof(text), "%s vs %s", oxlo_flow_host(f),
                 tls_of(f).cert_server_names ? tls_of(f).cert_server_names : "");
        oxlo_dissector_risk_text(s->m, s->f, OXLO_TLS_CERTIFICATE_MISMATCH, text);
    }
    return off > p ? off : p + 1;
}

void validity_risks(cert_scan *s, uint32_t not_before, uint32_t not_after)
{
    oxlo_module *m = s->m;
    oxlo_flow_state *f = s->f;
    const uint32_t now = now_seconds(m);
    if (not_before > NEW_CERT_RULES_START && not_after > not_before && not_after - not_before > MAX_VALIDITY) {
        char text[48];
        snprintf(text, sizeof(text), "TLS Cert lasts %u days", (not_after - not_before) / 86400);
        oxlo_dissector_risk_text(m, f, OXLO_TLS_CERT_VALIDITY_TOO_LONG, text);
    }
    char from[32], until[32], text[80];
    struct tm tm;
    time_t t = not_before;
    gmtime_r(&t, &tm);
    strftime(from, sizeof(from), "%d/%b/%Y %H:%M:%S", &tm);
    t = not_after;
    gmtime_r(&t, &tm);
    strftime(until, sizeof(until), "%d/%b/%Y %H:%M:%S", &tm);
    snprintf(text, sizeof(text), "%s - %s", from, until);
    const uint64_t threshold = (uint64_t)(m->cfg.tls_certificate_expiration_threshold > 0
                                              ? m->cfg.tls_certificate_expiration_threshold
                                              : 0) * 86400u;
    if (now < not_before || now > not_after)
        oxlo_dissector_risk_text(m, f, OXLO_TLS_CERTIFICATE_EXPIRED, text);
    else if (now > not_before && (uint64_t)now + threshold > not_after)
        oxlo_dissector_risk_text(m, f, OXLO_TLS_CERTIFICATE_ABOUT_TO_EXPIRE, text);
}

/* A validity SEQUENCE at p: 0x30, its length, then two times, each a
 * UTCTime (0x17) or GeneralizedTime (0x18) whose lengths add up to it.
 * Returns the position to go on from (p + 1 when it is no validity). */
size_t scan_validity(cert_scan *s, size_t p)
{
    uint8_t seq_length = 0, tag1 = 0, len1 = 0, tag2 = 0, len2 = 0;
    if (!oxlo_rd_u8_at(&s->w, p + 1, &seq_length) || !oxlo_rd_u8_at(&s->w, p + 2, &tag1) ||
        !oxlo_rd_u8_at(&s->w, p + 3, &len1) || (tag1 != 0x17 && tag1 != 0x18) || len1 >= 31 ||
        !oxlo_rd_u8_at(&s->w, p + 4 + len1, &tag2) || !oxlo_rd_u8_at(&s->w, p + 5 + len1, &len2) ||
        (tag2 != 0x17 && tag2 != 0x18) || len2 >= 31 || seq_length != 4 + len1 + len2)
        return p + 1;
    const uint8_t *first = oxlo_rd_bytes_at(&s->w, p + 4, len1);
    const uint8_t *second = oxlo_rd_bytes_at(&s->w, p + 6 + len1, len2);
    if (!first || !second)
        return p + 1;
    oxlo_module *m = s->m;
    oxlo_tls_flow *t = &tls_of(s->f);
    if (!s->issuer_done) {
        s->issuer_done = true;
        if (s->dn_length && m->cfg.tls_cert_issuer && !t->cert_issuer_dn) {
            t->cert_issuer_dn = oxlo_heap_strdup(s->dn);
            if (!printable(reinterpret_cast<const uint8_t *>(s->dn), s->dn_length)) {
                char text[DN_MAX + 32];
                snprintf(text, sizeof(text), "Invalid issuerDN %s", s->dn);
                oxlo_dissector_risk_text(m, s->f, OXLO_INVALID_CHARACTERS, text);
            }
        }
        s->dn_length = 0;
        s->dn[0] = '\0';
    }
    if (m->cfg.tls_cert_validity && !s->validity_done) {
        uint32_t not_before = 0, not_after = 0;
        if (parse_time(first, len1, tag1 == 0x18, &not_before) && parse_time(second, len2, tag2 == 0x18, &not_after)) {
            s->validity_done = true;
            t->cert_not_before = not_before;
            t->cert_not_after = not_after;
            validity_risks(s, not_before, not_after);
        }
    }
    return p + 6 + len1 + len2;
}

void subject_classify(cert_scan *s)
{
    oxlo_module *m = s->m;
    oxlo_flow_state *f = s->f;
    if (!m->cfg.tls_subclassification || f->master || !m->tls_cert_automaton)
        return;
    automaton_match match;
    uint16_t protocol = 0, category = 0;
    memset(&match, 0, sizeof(match));
    if (automaton_match_core(m->tls_cert_automaton, s->dn, (uint16_t)s->dn_length, &match, &protocol, &category) <= 0 ||
        protocol == 0)
        return;
    oxlo_flow_set_protocol(m, f, protocol, oxlo_flow_tls_master_protocol(m, f), OXLO_CONFIDENCE_DPI);
    oxlo_flow_fill_category(m, f);
    oxlo_anydesk_risk_check(m, f, protocol);
    oxlo_flow_risk_clear(m, f, OXLO_NUMERIC_IP_HOST);
    if (m->lru[OXLO_LRU_TLS_CERT])
        oxlo_lru_table_add(m->lru[OXLO_LRU_TLS_CERT], cert_cache_key(m, false), protocol, now_seconds(m));
}

} // namespace

extern "C" {

int tls_cert_name_matches(const char *name, const char *server)
{
    if (!name || !server || !*name || !*server)
        return 0;
    if (name[0] != '*')
        return strcmp(name, server) == 0;
    /* "*.rest" stands for exactly one label in front of "rest". */
    const char *rest = name[1] == '.' ? name + 2 : name + 1;
    const char *dot = strchr(server, '.');
    if (!dot)
        return *rest && strstr(server, rest) != nullptr;
    return dot != server && strcmp(dot + 1, rest) == 0;
}

void tls_process_certificate(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *start, size_t length)
{
    if (!oxlo_tls_state(module, flow, 1))
        return;
    cert_scan s;
    memset(&s, 0, sizeof(s));
    s.m = module;
    s.f = flow;
    s.w = oxlo_reader_make(start, length);
    size_t p = 0;
    while (p + 2 < length) {
        const uint8_t *b = start + p;
        if (b[0] == 0x55 && b[1] == 0x04)
            p = scan_attribute(&s, p);
        else if (b[0] == 0x55 && b[1] == 0x1D && b[2] == 0x11 && p + 3 < length)
            p = scan_san(&s, p);
        else if (b[0] == 0x30 && (b[2] == 0x17 || b[2] == 0x18))
            p = scan_validity(&s, p);
        else
            p++;
        if (p == 0)
            break;
    }
    oxlo_tls_flow *t = &tls_of(flow);
    if (s.dn_length && !t->cert_subject_dn) {
        if (module->cfg.tls_cert_subject)
            t->cert_subject_dn = oxlo_heap_strdup(s.dn);
        subject_classify(&s);
    }
    if (t->cert_issuer_dn && t->cert_subject_dn && strcmp(t->cert_issuer_dn, t->cert_subject_dn) == 0 &&
        !oxlo_issuer_dn_is_trusted(module, t->cert_issuer_dn) && !(t->hello_flags & HELLO_DTLS_SRTP))
        oxlo_dissector_risk_text(module, flow, OXLO_TLS_SELFSIGNED_CERTIFICATE, t->cert_subject_dn);
}

int tls_process_certificate_message(oxlo_module *module, oxlo_flow_state *flow, const oxlo_reader *msg)
{
    const bool dtls = tls_flow_is_dtls(module, flow);
    const oxlo_reader w = *msg;
    const size_t header = dtls ? 15 : 7;
    uint32_t message = 0, list = 0;
    if (!oxlo_rd_u24_at(&w, 1, &message) || oxlo_rd_peek8(&w, 1) != 0 || header >= w.length ||
        w.length != (size_t)message + 4 + (dtls ? 8 : 0)) {
        oxlo_dissector_risk(module, flow, OXLO_MALFORMED_PACKET, "Unvalid lenght");
        return -1;
    }
    if (!oxlo_rd_u24_at(&w, header - 3, &list) || oxlo_rd_peek8(&w, header - 3) != 0 || message < 3 || list != message - 3) {
        oxlo_dissector_risk(module, flow, OXLO_MALFORMED_PACKET, "Invalid certificate offset");
        return -2;
    }
    uint32_t length = 0;
    if (!oxlo_rd_u24_at(&w, header, &length) || oxlo_rd_peek8(&w, header) != 0 || length == 0)
        return 1;
    const uint8_t *certificate = oxlo_rd_bytes_at(&w, header + 3, length);
    if (!certificate)
        return 1;
    oxlo_tls_flow *t = &tls_of(flow);
    if (module->cfg.tls_sha1_fingerprint) {
        sha1_context ctx;
        oxlo_sha1_init(&ctx);
        oxlo_sha1_update(&ctx, certificate, length);
        oxlo_sha1_final(t->cert_sha1, &ctx);
        t->hello_flags |= HELLO_CERT_SHA1;
        char hex[41];
        for (int i = 0; i < 20; i++)
            snprintf(hex + 2 * i, 3, "%02X", t->cert_sha1[i]);
        uint64_t value = 0;
        if (module->malicious_sha1_certs &&
            oxlo_string_map_find(module->malicious_sha1_certs, hex, 40, &value) == 0)
            oxlo_dissector_risk_text(module, flow, OXLO_MALICIOUS_SHA1_CERTIFICATE, hex);
    }
    tls_process_certificate(module, flow, certificate, length);
    return 1;
}

void tls_cert_cache_lookup(oxlo_module *module, oxlo_flow_state *flow, int is_client_hello)
{
    oxlo_lru_table *cache = module->lru[OXLO_LRU_TLS_CERT];
    if (!module->cfg.tls_subclassification || flow->master || !cache)
        return;
    uint16_t protocol = 0;
    if (!oxlo_lru_table_find(cache, cert_cache_key(module, is_client_hello != 0), &protocol, 0,
                             (uint32_t)oxlo_flow_last_seen_sec(flow)) ||
        protocol == 0)
        return;
    oxlo_flow_set_protocol(module, flow, protocol, oxlo_flow_tls_master_protocol(module, flow),
                           OXLO_CONFIDENCE_DPI_CACHE);
    oxlo_flow_fill_category(module, flow);
    oxlo_flow_risk_clear(module, flow, OXLO_NUMERIC_IP_HOST);
}

} // extern "C"
