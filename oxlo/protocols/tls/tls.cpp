/* TLS over TCP and DTLS over UDP.
 *
 * A TLS record starts with a content type (20 ChangeCipherSpec, 21 alert,
 * 22 handshake, 23 application data, up to 26), the version's major byte 3
 * and a 16-bit length; records are put back together from the TCP segments
 * of each direction. A DTLS record adds an epoch and sequence number (13-byte
 * header, version bytes 0xFE 0xFF/0xFD/0xFC) and its handshake messages may
 * come in fragments. The ClientHello and ServerHello give the server name,
 * ALPN, versions, cipher and the fingerprints; the server's Certificate gives
 * the certificate facts. */
#include "oxlo_flow_json.h"
#include "tls_private.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_hash_filter.h"
#include "oxlo_names.h"
#include "oxlo_tls_dns.h"
#include "oxlo_risks.h"
#include "oxlo_dissector.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t P_TLS = OXLO_PROTOCOL_TLS;
constexpr uint16_t P_DTLS = OXLO_PROTOCOL_DTLS;
constexpr uint16_t P_RDP = OXLO_PROTOCOL_RDP;
constexpr uint16_t P_TOR = OXLO_PROTOCOL_TOR;
constexpr uint16_t P_QUIC = OXLO_PROTOCOL_QUIC;
constexpr uint16_t P_ANYDESK = OXLO_PROTOCOL_ANYDESK;
constexpr uint16_t P_LIBP2P = OXLO_PROTOCOL_LIBP2P;

constexpr uint8_t HELLO_CLIENT_SEEN = 0x01, HELLO_CLIENT_DIR = 0x02, HELLO_BY_NAME = 0x04,
                  HELLO_SERVER_SEEN = 0x08, HELLO_DTLS_SRTP = 0x20, HELLO_TLS13_OFFERED = 0x40;
constexpr uint8_t STATE_BOTH_CCS = 0x01, STATE_CCS_INITIATOR = 0x02, STATE_CCS_RESPONDER = 0x04,
                  STATE_STARTTLS = 0x08, STATE_ALERT = 0x20;
constexpr uint32_t REASSEMBLY_FIRST = 2048;
/* The longest record TLS puts on the wire: 2^14 bytes of plaintext and at
 * most 2,048 of expansion. A header claiming more is not TLS. */
constexpr uint32_t RECORD_MAX = 16384 + 2048;
constexpr size_t ALPN_TEXT_MAX = 253;
/* The longest handshake message put back together from several records
 * (a hello's own length says how much of it is to come). */
constexpr uint32_t HANDSHAKE_MESSAGE_MAX = 65536;
/* A record: content type, version (major, minor), length; DTLS adds the
 * epoch and a 48-bit sequence number before the length (13 bytes). */
constexpr size_t RECORD_TYPE = 0, RECORD_VERSION = 1, RECORD_LENGTH = 3, RECORD_HEADER = 5, DTLS_RECORD_HEADER = 13;
enum : uint8_t { CHANGE_CIPHER_SPEC = 20, ALERT = 21, HANDSHAKE = 22, APPLICATION_DATA = 23 };
/* A handshake message: its type and 24-bit length (whose high byte the
 * parsers want zero); DTLS adds message sequence, fragment offset and
 * fragment length (8 bytes) before the body. */
constexpr size_t HANDSHAKE_TYPE = 0, HANDSHAKE_LENGTH = 1, HANDSHAKE_BODY = 4, DTLS_HANDSHAKE_FIELDS = 8;
enum : uint8_t { CLIENT_HELLO = 1, SERVER_HELLO = 2, CERTIFICATE = 11 };
/* The HelloRetryRequest is a ServerHello whose random is SHA-256 of
 * "HelloRetryRequest" (RFC 8446, 4.1.3); it follows the 4-byte handshake
 * header and the legacy version. */
const uint8_t RETRY_RANDOM[32] = {0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C,
                                  0x02, 0x1E, 0x65, 0xB8, 0x91, 0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB,
                                  0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};
constexpr size_t HELLO_RANDOM = HANDSHAKE_BODY + 2;
/* The wait for the server's answer to a TLS 1.3 hello, and after a retry
 * request for the second hello: a real server answers within a round
 * trip; one that stays silent this long has the flow decided on the hello
 * it has. Packets that come meanwhile do not end the wait (a burst of
 * them could be sent before the server's answer). */
enum : uint8_t { RETRY_NONE = 0, RETRY_SERVER = 1, RETRY_SECOND = 2, RETRY_DONE = 3 };
constexpr uint64_t RETRY_WAIT_MS = 10000;
/* An alert: its level (2, fatal) and description. */
constexpr size_t ALERT_LEVEL = 0, ALERT_SIZE = 2;
constexpr uint8_t ALERT_FATAL = 2;

bool is_grease(uint16_t v) { return (v >> 8) == (v & 0xFF) && (v & 0x0F) == 0x0A; }

uint32_t max_blocks(const oxlo_module *m)
{
    const int32_t n = m->cfg.tls_max_num_blocks_to_analyze;
    return n < 0 ? 0 : n > 256 ? 256 : (uint32_t)n;
}

/* Appends bytes to a reassembly buffer when their offset is the expected
 * one (or none is expected yet). -1 on allocation failure or when the
 * buffer would pass `limit`, 0 when taken or left out. */
int reassembly_append(tls_reassembly_buffer *b, const uint8_t *data, uint32_t length, uint32_t seq,
                      uint32_t limit)
{
    if (b->next_seq != 0 && seq != b->next_seq)
        return 0;
    if (length > limit || b->used > limit - length)
        return -1;
    if (!b->buffer) {
        const uint32_t want = length + 1 > REASSEMBLY_FIRST ? length + 1 : REASSEMBLY_FIRST;
        b->buffer = static_cast<uint8_t *>(oxlo_heap_alloc(want));
        if (!b->buffer)
            return -1;
        b->capacity = want;
        b->used = 0;
    } else if (b->capacity - b->used < length) {
        const uint32_t want = b->used + length + 1;
        void *grown = oxlo_heap_realloc(b->buffer, want);
        if (!grown)
            return -1;
        b->buffer = static_cast<uint8_t *>(grown);
        b->capacity = want;
    }
    memcpy(b->buffer + b->used, data, length);
    b->used += length;
    b->next_seq = seq + length;
    return 0;
}

void reassembly_free(tls_reassembly_buffer *b)
{
    oxlo_heap_free(b->buffer);
    memset(b, 0, sizeof(*b));
}

int16_t block_length(int64_t size, uint8_t direction)
{
    if (size > 32767)
        size = 32767;
    return (int16_t)(direction ? -size : size);
}

/* Records one TLS block (TCP flows with block tracking only). */
void block_record(oxlo_module *m, oxlo_flow_state *f, uint8_t content_type, uint8_t hs_type,
                  int64_t size)
{
    const uint32_t n = max_blocks(m);
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_tls_flow *t = &tls_of(f);
    if (n == 0 || pkt.l4 != OXLO_L4_TCP)
        return;
    if (!t->blocks) {
        t->blocks = static_cast<tls_block *>(oxlo_heap_calloc(n, sizeof(tls_block)));
        if (!t->blocks)
            return;
    }
    if (t->block_count >= n)
        return;
    tls_block *b = &t->blocks[t->block_count];
    b->kind = (uint8_t)oxlo_tls_block_kind_of(content_type, hs_type);
    /* Positive from the client, negative from the server, whatever the
     * ports (the direction bit only orders them); bit 0 marks the server. */
    const uint8_t from_server = oxlo_packet_from_client(m, f) ? 0 : 1;
    b->length = block_length(size, from_server);
    b->flags = from_server;
    if (t->block_count == 0) {
        b->time_offset = 0;
    } else {
        const uint64_t gap = pkt.time_ms - t->last_block_ms;
        b->time_offset = gap >= 65536 ? 0xFFFF : (uint16_t)gap;
    }
    t->last_block_ms = pkt.time_ms;
    t->block_count++;
}

/* Takes `amount` bytes off the ClientHello block just recorded, so that its
 * length does not depend on the server name or on ephemeral extensions. */
void block_shrink_hello(oxlo_module *m, oxlo_flow_state *f, uint32_t amount)
{
    oxlo_tls_flow *t = &tls_of(f);
    if (oxlo_dissector_packet(m, f).l4 != OXLO_L4_TCP || !t->blocks || t->block_count == 0)
        return;
    tls_block *b = &t->blocks[t->block_count - 1];
    if (b->kind != TLS_BLOCK_HS_CLIENT_HELLO)
        return;
    const int32_t magnitude = b->length < 0 ? -b->length : b->length;
    const int32_t rest = magnitude > (int32_t)amount ? magnitude - (int32_t)amount : 0;
    b->length = (int16_t)(b->length < 0 ? -rest : rest);
}

char *dup_text(const char *text)
{
    return text ? oxlo_heap_strdup(text) : nullptr;
}

bool subclassification_on(const oxlo_module *m, int is_quic)
{
    return is_quic ? m->cfg.quic_subclassification : m->cfg.tls_subclassification;
}

uint16_t tls_master(const oxlo_module *m, const oxlo_flow_state *f, int is_quic)
{
    return is_quic ? P_QUIC : oxlo_flow_tls_master_protocol(m, f);
}

int search_tcp(oxlo_module *m, oxlo_flow_state *f);
int search_dtls(oxlo_module *m, oxlo_flow_state *f);

void start_extra_dissection(oxlo_module *m, oxlo_flow_state *f)
{
    const bool udp = oxlo_dissector_packet(m, f).l4 == OXLO_L4_UDP;
    if (f->app == P_RDP) {
        oxlo_flow_set_protocol(m, f, P_RDP, P_TLS, OXLO_CONFIDENCE_DPI);
    } else if (!f->app && !f->master) {
        const uint16_t id = oxlo_flow_tls_master_protocol(m, f);
        oxlo_flow_set_protocol(m, f, id, id, OXLO_CONFIDENCE_DPI);
    }
    if (oxlo_dissector_extra_active(f, nullptr))
        return;
    /* The follow-up budget is an 8-bit packet count in the flow. */
    const uint32_t budget = max_blocks(m) * 4 + (udp ? 20 : 12);
    oxlo_dissector_extra(f, udp ? search_dtls : search_tcp, (uint8_t)(budget > 255 ? 255 : budget));
}

/* The ALPN names of a list (each a length byte and text) joined by ",".
 * Returns false when the list itself claims more than the range. */
bool join_alpn(const oxlo_reader *w, size_t off, size_t list_length, size_t limit, char *out,
               size_t size, bool *cut)
{
    size_t n = 0;
    out[0] = '\0';
    *cut = false;
    if (!oxlo_rd_has(w, off, list_length))
        return false;
    const size_t end = off + list_length;
    while (off < end) {
        uint8_t len = 0;
        oxlo_rd_u8_at(w, off, &len);
        const uint8_t *name = oxlo_rd_bytes_at(w, off + 1, len);
        if (!name || off + 1 + len > end || len > ALPN_TEXT_MAX || n + (n ? 1 : 0) + len > limit) {
            *cut = true;
            break;
        }
        if (n)
            out[n++] = ',';
        if (n + len >= size) {
            *cut = true;
            break;
        }
        memcpy(out + n, name, len);
        n += len;
        out[n] = '\0';
        off += 1 + (size_t)len;
    }
    return true;
}

void check_alpn_list(oxlo_module *m, oxlo_flow_state *f, const char *text)
{
    const char *p = text;
    while (p && *p) {
        const char *comma = strchr(p, ',');
        const size_t len = comma ? (size_t)(comma - p) : strlen(p);
        if (len && !oxlo_alpn_is_known(m, p, len)) {
            char name[64];
            oxlo_copy_bounded(name, sizeof(name), p, len);
            oxlo_dissector_risk_text(m, f, OXLO_TLS_UNCOMMON_ALPN, name);
            return;
        }
        p = comma ? comma + 1 : nullptr;
    }
}

bool extension_accepted(uint16_t id, bool dtls)
{
    if (id <= 59)
        return (id != 53 && id != 54) || dtls;
    if (id == 0xFF01 || id == 0xFE0D || is_grease(id))
        return true;
    static const uint16_t known[] = {0x3374, 0x7550, 0xFFA5, 0x040B, 0x4138, 0x0066, 0x0081,
                                     0xCC13, 0xCC14, 0xE013, 0xFEFF, 0xFF85, 0x4469, 0x44CD};
    for (uint16_t k : known)
        if (k == id)
            return true;
    return false;
}

void check_extension(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader *w, size_t data_off,
                     uint16_t id, uint16_t length, bool dtls)
{
    if (data_off + length > w->length) {
        oxlo_dissector_risk(m, f, OXLO_TLS_SUSPICIOUS_EXTENSION, "Invalid extension len");
        return;
    }
    if (!extension_accepted(id, dtls)) {
        char text[32];
        snprintf(text, sizeof(text), "Extn id %u", id);
        oxlo_dissector_risk_text(m, f, OXLO_TLS_SUSPICIOUS_EXTENSION, text);
    }
}

struct hello {
    oxlo_module *m;
    oxlo_flow_state *f;
    oxlo_reader w;
    int is_quic;
    bool dtls;         /* DTLS handshake header (8 more bytes) */
    size_t d;          /* 8 for DTLS, else 0 */
    tls_hello_lists lists;
    bool sni_seen;
};

void add_u16(uint16_t *list, uint16_t *count, size_t max, uint16_t v, uint8_t *overflow)
{
    if (*count < max)
        list[(*count)++] = v;
    else if (overflow)
        *overflow = 1;
}

/* ---- ServerHello ---- */

void server_alpn(hello *h, size_t data, uint16_t length)
{
    uint16_t list_length = 0;
    if (!oxlo_rd_u16_at(&h->w, data, &list_length))
        return;
    char text[ALPN_TEXT_MAX + 2];
    bool cut = false;
    if (!join_alpn(&h->w, data + 2, list_length, ALPN_TEXT_MAX, text, sizeof(text), &cut))
        return;
    (void)length;
    oxlo_tls_flow *t = &tls_of(h->f);
    if (cut)
        oxlo_dissector_risk_text(h->m, h->f, OXLO_TLS_UNCOMMON_ALPN, text);
    if (!oxlo_make_printable(text, strlen(text)))
        oxlo_dissector_risk_text(h->m, h->f, OXLO_INVALID_CHARACTERS, text);
    if (h->m->cfg.tls_alpn_negotiated && !t->alpn_negotiated)
        t->alpn_negotiated = dup_text(text);
    if (!t->alpn_offered)
        check_alpn_list(h->m, h->f, text);
}

bool server_hello(hello *h, uint16_t legacy)
{
    oxlo_module *m = h->m;
    oxlo_flow_state *f = h->f;
    oxlo_tls_flow *t = &tls_of(f);
    uint8_t sid = 0;
    if (!oxlo_rd_u8_at(&h->w, 38 + h->d, &sid))
        return false;
    size_t off = 39 + h->d;
    if (oxlo_dissector_packet(m, f).l4 == OXLO_L4_UDP || legacy <= 0x7F14)
        off += sid;
    uint16_t cipher = 0;
    if (!oxlo_rd_u16_at(&h->w, off, &cipher))
        return false;
    h->lists.cipher = cipher;
    if (m->cfg.tls_cipher) {
        t->server_cipher = cipher;
        t->cipher_safety = oxlo_tls_cipher_safety(cipher);
        if (t->cipher_safety != OXLO_CIPHER_SAFE) {
            char name[96], text[112];
            snprintf(text, sizeof(text), "Cipher %s", oxlo_tls_cipher_name(cipher, name, sizeof(name)));
            oxlo_dissector_risk_text(m, f, OXLO_TLS_WEAK_CIPHER, text);
        }
    }
    off += 3; /* cipher and compression method */
    bool selected = false;
    uint16_t total = 0;
    if (oxlo_rd_u16_at(&h->w, off, &total)) {
        off += 2;
        size_t walked = 0;
        uint16_t id = 0, length = 0;
        while (walked < total && oxlo_rd_u16_at(&h->w, off, &id) && oxlo_rd_u16_at(&h->w, off + 2, &length)) {
            const size_t data = off + 4;
            if (data + length > h->w.length)
                break;
            add_u16(h->lists.extensions, &h->lists.extension_count, OXLO_TLS_LIST_MAX, id, nullptr);
            check_extension(m, f, &h->w, data, id, length, h->dtls);
            uint16_t v = 0;
            if (id == 0x002B && length != 1 && oxlo_rd_u16_at(&h->w, data, &v)) {
                t->version = v;
                selected = true;
            } else if (id == 0x0010) {
                uint16_t list_length = 0;
                if (oxlo_rd_u16_at(&h->w, data, &list_length) && !oxlo_rd_has(&h->w, data + 2, list_length))
                    return false;
                server_alpn(h, data, length);
            } else if (id == 0x000B) {
                uint8_t count = 0;
                oxlo_rd_u8_at(&h->w, data, &count);
                for (uint8_t i = 0; i < count && 1u + i < length; i++)
                    add_u16(h->lists.point_formats, &h->lists.point_format_count, OXLO_TLS_LIST_MAX,
                            oxlo_rd_peek8(&h->w, data + 1 + i), nullptr);
            }
            off = data + length;
            walked += 4 + (size_t)length;
        }
    }
    if (!selected)
        t->version = legacy;
    tls_server_fingerprints(m, f, &h->lists, h->is_quic);
    return true;
}

/* ---- ClientHello extensions ---- */

void client_sni(hello *h, size_t data, uint16_t length)
{
    oxlo_module *m = h->m;
    oxlo_flow_state *f = h->f;
    uint16_t name_length = 0;
    if (!oxlo_rd_u16_at(&h->w, data + 3, &name_length))
        return;
    const uint8_t *name = oxlo_rd_bytes_at(&h->w, data + 5, name_length);
    if (!name)
        return;
    h->sni_seen = true;
    const char *stored = oxlo_flow_store_host_name(
        f, (const char *)name, name_length, OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
    block_shrink_hello(m, f, m->cfg.tls_oxlofp_ignore_sni_tls_extn ? (uint32_t)length + 4 : name_length);
    if (!oxlo_is_valid_dns_name((const char *)name, name_length)) {
        oxlo_dissector_risk_text(m, f, OXLO_INVALID_CHARACTERS, stored);
        oxlo_dissector_risk(m, f, OXLO_POSSIBLE_EXPLOIT, "Invalid chars found in SNI: exploit or misconfiguration?");
    }
    oxlo_tls_flow *t = &tls_of(f);
    const size_t stored_length = strlen(stored);
    if (subclassification_on(m, h->is_quic) && !(t->hello_flags & HELLO_BY_NAME) &&
        oxlo_host_name_classify(m, f, tls_master(m, f, h->is_quic), stored, stored_length))
        t->hello_flags |= HELLO_BY_NAME;
    if (!(t->hello_flags & HELLO_BY_NAME) && oxlo_is_ip_literal(stored))
        oxlo_dissector_risk_text(m, f, OXLO_NUMERIC_IP_HOST, stored);
    /* The hello goes to the server, so its address is the one the name
     * should have resolved to. */
    if (m->cfg.hostname_dns_check && stored[0] && !oxlo_is_ip_literal(stored) &&
        !oxlo_dns_resolution_found(m, f->server_address, stored))
        oxlo_dissector_risk_text(m, f, OXLO_UNRESOLVED_HOSTNAME, stored);
}

void client_alpn(hello *h, size_t data)
{
    oxlo_module *m = h->m;
    oxlo_flow_state *f = h->f;
    oxlo_tls_flow *t = &tls_of(f);
    uint16_t list_length = 0;
    if (!oxlo_rd_u16_at(&h->w, data, &list_length))
        return;
    const size_t fit = oxlo_rd_has(&h->w, data + 2, list_length) ? list_length : h->w.length - (data + 2);
    char text[ALPN_TEXT_MAX + 3];
    bool cut = false;
    join_alpn(&h->w, data + 2, fit, 254, text, sizeof(text), &cut);
    if (text[0] == '\0')
        return;
    if (!t->alpn_offered)
        t->alpn_offered = dup_text(text);
    check_alpn_list(m, f, text);
    if (subclassification_on(m, h->is_quic) && !(t->hello_flags & HELLO_BY_NAME)) {
        const size_t len = strlen(text);
        uint16_t app = 0;
        if (len > 8 && strncmp(text, "anydesk/", 8) == 0)
            app = P_ANYDESK;
        else if ((len >= 8 && strncmp(text, "/yamux/", 7) == 0) || (len >= 6 && strncmp(text, "libp2p", 6) == 0))
            app = P_LIBP2P;
        if (app) {
            oxlo_flow_set_protocol(m, f, app, tls_master(m, f, h->is_quic), OXLO_CONFIDENCE_DPI);
            t->hello_flags |= HELLO_BY_NAME;
        }
    }
    size_t first = strcspn(text, ",;");
    if (first > 0) {
        h->lists.alpn_first = text[0];
        h->lists.alpn_last = text[first - 1];
    }
}

void client_versions(hello *h, size_t data, uint16_t length)
{
    oxlo_tls_flow *t = &tls_of(h->f);
    uint8_t list_length = 0;
    if (!oxlo_rd_u8_at(&h->w, data, &list_length))
        return;
    char text[256];
    size_t n = 0;
    text[0] = '\0';
    for (size_t i = 0; i + 1 < list_length && 1 + i + 1 < (size_t)length + 1; i += 2) {
        uint16_t v = 0;
        if (!oxlo_rd_u16_at(&h->w, data + 1 + i, &v))
            break;
        add_u16(h->lists.versions, &h->lists.version_count, OXLO_TLS_LIST_MAX, v, nullptr);
        if (v == 0x0304)
            t->hello_flags |= HELLO_TLS13_OFFERED;
        char buffer[OXLO_NAME_BUFFER_MIN * 2];
        const char *name = oxlo_tls_supported_version_name(v, buffer, sizeof(buffer));
        const size_t len = name ? strlen(name) : 0;
        if (name && n + (n ? 1 : 0) + len < sizeof(text)) {
            if (n)
                text[n++] = ',';
            memcpy(text + n, name, len);
            n += len;
            text[n] = '\0';
        }
    }
    if (h->m->cfg.tls_versions_supported && !t->versions_offered && n)
        t->versions_offered = dup_text(text);
}

void client_groups(hello *h, size_t data, uint16_t length)
{
    uint16_t list_length = 0;
    if (length == 2 || !oxlo_rd_u16_at(&h->w, data, &list_length))
        return;
    if (!oxlo_rd_has(&h->w, data + 2, list_length)) {
        h->lists.overflow = 1;
        return;
    }
    oxlo_tls_flow *t = &tls_of(h->f);
    t->groups_offered_count = 0;
    for (size_t i = 0; i + 1 < list_length; i += 2) {
        const uint16_t g = oxlo_be16(h->w.data + data + 2 + i);
        if (is_grease(g))
            continue;
        add_u16(h->lists.groups, &h->lists.group_count, OXLO_TLS_LIST_MAX, g, nullptr);
        if (t->groups_offered_count < OXLO_TLS_GROUPS_KEPT)
            t->groups_offered[t->groups_offered_count++] = g;
    }
}

void client_signature_algorithms(hello *h, size_t data)
{
    uint16_t list_length = 0;
    if (!oxlo_rd_u16_at(&h->w, data, &list_length))
        return;
    if (list_length > 127)
        list_length = 127;
    size_t usable = list_length;
    if (!oxlo_rd_has(&h->w, data + 2, usable))
        usable = h->w.length > data + 2 ? h->w.length - (data + 2) : 0;
    for (size_t i = 0; i + 1 < usable; i += 2)
        add_u16(h->lists.signature_algorithms, &h->lists.signature_algorithm_count, 63,
                oxlo_be16(h->w.data + data + 2 + i), nullptr);
    if (h->m->cfg.tls_browser)
        tls_browser_signature_step(h->f, h->w.data + data + 2, usable);
}

void client_key_share(hello *h, size_t data)
{
    uint16_t list_length = 0;
    if (!oxlo_rd_u16_at(&h->w, data, &list_length))
        return;
    size_t off = data + 2;
    const size_t end = off + list_length;
    uint16_t group = 0, key_length = 0;
    while (off + 4 <= end && oxlo_rd_u16_at(&h->w, off, &group) && oxlo_rd_u16_at(&h->w, off + 2, &key_length)) {
        if (group != 0x2A2A)
            add_u16(h->lists.key_share_groups, &h->lists.key_share_count, OXLO_TLS_LIST_MAX, group, nullptr);
        off += 4 + (size_t)key_length;
    }
}

/* "www.<label with a digit>.com" with an empty encrypt_then_mac and no ALPN
 * is how the onion router's clients dress their hellos. */
void client_encrypt_then_mac(hello *h, uint16_t length)
{
    oxlo_flow_state *f = h->f;
    const char *sni = oxlo_flow_host(f);
    const size_t n = strlen(sni);
    if (length != 0 || tls_of(f).alpn_offered || n < 9 || strncmp(sni, "www.", 4) != 0 ||
        !(oxlo_has_suffix(sni, ".com") || oxlo_has_suffix(sni, ".net")))
        return;
    for (const char *p = sni + 4; *p && *p != '.'; p++)
        if (*p >= '0' && *p <= '9') {
            oxlo_flow_set_protocol(h->m, f, P_TOR, tls_master(h->m, f, h->is_quic), OXLO_CONFIDENCE_DPI);
            return;
        }
}

void client_extension(hello *h, uint16_t id, size_t data, uint16_t length)
{
    oxlo_module *m = h->m;
    oxlo_flow_state *f = h->f;
    switch (id) {
    case 0x0000:
        client_sni(h, data, length);
        break;
    case 0x000A:
        client_groups(h, data, length);
        break;
    case 0x000B: {
        uint8_t count = 0;
        oxlo_rd_u8_at(&h->w, data, &count);
        for (uint8_t i = 0; i < count && oxlo_rd_has(&h->w, data + 1 + i, 1); i++)
            add_u16(h->lists.point_formats, &h->lists.point_format_count, OXLO_TLS_LIST_MAX,
                    oxlo_rd_peek8(&h->w, data + 1 + i), nullptr);
        break;
    }
    case 0x000D:
        client_signature_algorithms(h, data);
        break;
    case 0xFE0D:
        tls_of(f).ech_extension = id;
        break;
    case 0x000E:
        if (h->dtls || f->app == P_DTLS)
            tls_of(f).hello_flags |= HELLO_DTLS_SRTP;
        break;
    case 0x0010:
        client_alpn(h, data);
        break;
    case 0x0015:
        if (length > 500)
            oxlo_dissector_risk(m, f, OXLO_OBFUSCATED_TRAFFIC, "Abnormal Client Hello/Padding length");
        break;
    case 0x0016:
        client_encrypt_then_mac(h, length);
        break;
    case 0x002B:
        client_versions(h, data, length);
        break;
    case 0x0033:
        client_key_share(h, data);
        break;
    default:
        break;
    }
}

bool client_hello(hello *h, uint16_t legacy)
{
    oxlo_module *m = h->m;
    oxlo_flow_state *f = h->f;
    oxlo_tls_flow *t = &tls_of(f);
    t->version = legacy;
    if (legacy < 0x0303) {
        char buffer[OXLO_NAME_BUFFER_MIN * 2];
        oxlo_dissector_risk_text(m, f, OXLO_TLS_OBSOLETE_VERSION, oxlo_tls_version_name(legacy, buffer, sizeof(buffer), nullptr));
    }
    uint8_t sid = 0;
    if (!oxlo_rd_u8_at(&h->w, 38 + h->d, &sid))
        return false;
    size_t off = 39 + h->d + sid;
    if (h->dtls) {
        uint8_t cookie = 0;
        if (!oxlo_rd_u8_at(&h->w, off, &cookie) || !oxlo_rd_has(&h->w, off + 1, cookie))
            return false;
        off += 1 + (size_t)cookie;
    }
    uint16_t cipher_length = 0;
    if (!oxlo_rd_u16_at(&h->w, off, &cipher_length))
        return false;
    off += 2;
    const bool overran = !oxlo_rd_has(&h->w, off, cipher_length);
    const size_t usable = overran ? h->w.length - off : cipher_length;
    bool grease = false;
    for (size_t i = 0; i + 1 < usable; i += 2) {
        const uint16_t c = oxlo_be16(h->w.data + off + i);
        if (is_grease(c)) {
            grease = true;
            continue;
        }
        add_u16(h->lists.ciphers, &h->lists.cipher_count, OXLO_TLS_LIST_MAX, c, &h->lists.overflow);
    }
    if (m->cfg.tls_browser)
        tls_browser_cipher_step(f, h->w.data + off, usable, overran || grease);
    off += cipher_length;
    uint8_t compression = 0;
    if (!oxlo_rd_u8_at(&h->w, off, &compression))
        return false;
    off += 1 + (size_t)compression;
    uint16_t total = 0;
    if (off < h->w.length) {
        if (!oxlo_rd_u16_at(&h->w, off, &total) || !oxlo_rd_has(&h->w, off + 2, total))
            return false;
        off += 2;
    }
    const size_t end = off + total;
    uint16_t id = 0, length = 0;
    while (off + 4 <= end && oxlo_rd_u16_at(&h->w, off, &id) && oxlo_rd_u16_at(&h->w, off + 2, &length)) {
        const size_t data = off + 4;
        check_extension(m, f, &h->w, data, id, length, h->dtls);
        if (!is_grease(id))
            add_u16(h->lists.extensions, &h->lists.extension_count, OXLO_TLS_LIST_MAX, id, &h->lists.overflow);
        if (id != 0 && (tls_fingerprint_ignores_extension(m, id) || id == 0xFE0D))
            block_shrink_hello(m, f, (uint32_t)length + 4);
        if (data + length <= h->w.length)
            client_extension(h, id, data, length);
        off = data + length;
    }
    if (!h->lists.overflow)
        tls_client_fingerprints(m, f, &h->lists, h->is_quic);
    if (t->hello_flags & HELLO_DTLS_SRTP)
        return true;
    if (t->version > 0x0302 && !t->alpn_offered)
        oxlo_dissector_risk(m, f, OXLO_TLS_NOT_CARRYING_HTTPS, "No ALPN");
    if (t->version >= 0x0302 && !h->sni_seen) {
        oxlo_dissector_risk(m, f, OXLO_TLS_MISSING_SNI, "SNI should always be present");
        for (const char *p = t->alpn_offered; p && *p;) {
            const char *comma = strchr(p, ',');
            const size_t len = comma ? (size_t)(comma - p) : strlen(p);
            if (p[0] == 'h') {
                char name[64];
                oxlo_copy_bounded(name, sizeof(name), p, len);
                oxlo_dissector_risk_text(m, f, OXLO_TLS_ALPN_SNI_MISMATCH, name);
                break;
            }
            p = comma ? comma + 1 : nullptr;
        }
    }
    return true;
}

/* ---- handshake messages ---- */

/* One handshake message (its 4-byte header first, DTLS: 12) of the packet
 * in process, or put back together from several. */
void process_handshake(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader *msg)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_tls_flow *t = &tls_of(f);
    uint8_t type = 0;
    if (!oxlo_rd_u8_at(msg, HANDSHAKE_TYPE, &type))
        return;
    const bool dtls = tls_flow_is_dtls(m, f);
    if (type == SERVER_HELLO && !dtls && t->retry != RETRY_NONE) {
        const uint8_t *random = oxlo_rd_bytes_at(msg, HELLO_RANDOM, sizeof(RETRY_RANDOM));
        const bool retry = random && memcmp(random, RETRY_RANDOM, sizeof(RETRY_RANDOM)) == 0;
        if (retry && t->retry == RETRY_SERVER) {
            /* Not the server's hello: the client's second hello is to
             * come, and it may name another server. */
            t->retry = RETRY_SECOND;
            t->retry_since_ms = pkt.time_ms;
            return;
        }
        t->retry = RETRY_DONE;
        if (retry)
            return; /* a second retry request ends the handshake */
    }
    if (type == SERVER_HELLO) {
        t->hello_flags |= HELLO_SERVER_SEEN;
        if (pkt.direction)
            t->hello_flags &= (uint8_t)~HELLO_CLIENT_DIR;
        else
            t->hello_flags |= HELLO_CLIENT_DIR;
        tls_process_hello(m, f, msg, 0);
        start_extra_dissection(m, f);
        if ((!dtls && t->version > 0x0303) || (dtls && t->version == 0xFEFC))
            t->done = 1;
        tls_cert_cache_lookup(m, f, 0);
    } else if (type == CERTIFICATE) {
        if (!(t->hello_flags & (HELLO_CLIENT_SEEN | HELLO_SERVER_SEEN)))
            return;
        const uint8_t client_dir = (t->hello_flags & HELLO_CLIENT_DIR) ? 1 : 0;
        if (pkt.direction != client_dir)
            tls_process_certificate_message(m, f, msg);
        t->done = 1;
    } else if (type == CLIENT_HELLO) {
        const oxlo_flow_tcp *tcp = f->tcp;
        if (tcp && tcp->syn_ms && tcp->first_ack_ms && pkt.time_ms > tcp->first_ack_ms + 3000 &&
            !oxlo_flow_risk_is_set(f, OXLO_SLOW_DOS)) {
            char text[48];
            snprintf(text, sizeof(text), "Slow TLS Request: %.1f sec",
                     (double)(pkt.time_ms - tcp->first_ack_ms) / 1000.0);
            oxlo_dissector_risk_text(m, f, OXLO_SLOW_DOS, text);
        }
        t->hello_flags |= HELLO_CLIENT_SEEN;
        if (pkt.direction)
            t->hello_flags |= HELLO_CLIENT_DIR;
        else
            t->hello_flags &= (uint8_t)~HELLO_CLIENT_DIR;
        tls_process_hello(m, f, msg, 0);
        t = &tls_of(f);
        if (t->retry == RETRY_SECOND) {
            t->retry = RETRY_DONE;
        } else if (t->retry == RETRY_NONE && !dtls && pkt.l4 == OXLO_L4_TCP && (t->hello_flags & HELLO_TLS13_OFFERED)) {
            t->retry = RETRY_SERVER;
            t->retry_since_ms = pkt.time_ms;
        }
        start_extra_dissection(m, f);
        tls_cert_cache_lookup(m, f, 1);
    }
}

/* ---- TLS over TCP ---- */

/* The side sent its change cipher spec: its handshake records are
 * encrypted. Not so the client's while its second hello is awaited: a
 * TLS 1.3 client sends a change cipher spec for middleboxes' sake before
 * the hello it sends after a retry request, which stays in the clear. */
bool ccs_from_this_side(const oxlo_flow_state *f, uint8_t direction)
{
    const oxlo_tls_flow &t = tls_of(f);
    if (t.retry == RETRY_SECOND && direction == ((t.hello_flags & HELLO_CLIENT_DIR) ? 1 : 0))
        return false;
    return direction == 0 ? (t.state_flags & STATE_CCS_INITIATOR) : (t.state_flags & STATE_CCS_RESPONDER);
}

bool retry_waits(const oxlo_tls_flow &t) { return t.retry == RETRY_SERVER || t.retry == RETRY_SECOND; }

/* The wait for a retry request or the second hello, packet by packet: the
 * reading's packet budget is not spent meanwhile (nor the engine's packet
 * limit, as the flow is pending); a server that answers
 * with no hello (an alert, no TLS) or stays silent past the bound ends it. */
void retry_step(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &v, bool from_server, uint8_t first_type)
{
    oxlo_tls_flow &t = tls_of(f);
    if (!retry_waits(t))
        return;
    if (from_server && v.payload.length > 0 &&
        ((t.retry == RETRY_SERVER && first_type != HANDSHAKE) || first_type == ALERT)) {
        t.retry = RETRY_DONE;
        return;
    }
    if (v.time_ms > t.retry_since_ms + RETRY_WAIT_MS) {
        t.retry = RETRY_DONE;
        return;
    }
    if (oxlo_dissector_extra_active(f, search_tcp))
    {
        const uint32_t budget = max_blocks(m) * 4 + 12; /* the reading's own, its count started over */
        oxlo_dissector_extra(f, search_tcp, (uint8_t)(budget > 255 ? 255 : budget));
    }
}

/* Handles the complete handshake messages at the start of data; returns
 * the bytes they took, or -1 when the data cannot be handshake messages. */
ptrdiff_t walk_messages(oxlo_module *m, oxlo_flow_state *f, const uint8_t *data, size_t length)
{
    const oxlo_reader w = oxlo_reader_make(data, length);
    size_t off = 0;
    while (off + HANDSHAKE_BODY <= length) {
        uint8_t type = 0, high = 0;
        uint32_t message = 0;
        if (!oxlo_rd_u8_at(&w, off + HANDSHAKE_TYPE, &type) || !oxlo_rd_u8_at(&w, off + HANDSHAKE_LENGTH, &high) ||
            !oxlo_rd_u24_at(&w, off + HANDSHAKE_LENGTH, &message))
            break;
        if (high != 0 || message > HANDSHAKE_MESSAGE_MAX) {
            if (type == CLIENT_HELLO)
                oxlo_dissector_unread(m, f); /* a hello too long to read: its names are lost */
            return -1;
        }
        if (off + HANDSHAKE_BODY + message > length)
            break; /* the rest of the message comes in a later record */
        const oxlo_reader msg = oxlo_reader_make(data + off, HANDSHAKE_BODY + (size_t)message);
        block_record(m, f, HANDSHAKE, type, message);
        process_handshake(m, f, &msg);
        if (!f->partial_guess)
            f->partial_guess = oxlo_flow_tls_master_protocol(m, f);
        off += HANDSHAKE_BODY + (size_t)message;
    }
    return (ptrdiff_t)off;
}

/* Declared length of the message whose start the buffer holds (its 4-byte
 * header complete). */
uint32_t buffered_message_length(const tls_reassembly_buffer *h)
{
    const oxlo_reader r = oxlo_reader_make(h->buffer, h->used);
    uint32_t length = 0;
    oxlo_rd_u24_at(&r, HANDSHAKE_LENGTH, &length);
    return length;
}

/* Bytes still missing from the message the buffer holds the start of (at
 * least its header); 0 when it holds none. */
size_t message_missing(const tls_reassembly_buffer *h)
{
    if (h->used == 0)
        return 0;
    if (h->used < HANDSHAKE_BODY)
        return HANDSHAKE_BODY - h->used;
    return HANDSHAKE_BODY + (size_t)buffered_message_length(h) - h->used;
}

/* The handshake messages of one record. A message may span records (a
 * client hello cut into many, down to one byte each, over as many
 * segments): its start waits in the direction's message buffer, which takes
 * no more than the message's own length asks for (and so at most
 * HANDSHAKE_MESSAGE_MAX), however many records carry it; the complete
 * messages of a record are walked where they lie. Records of a side that
 * sent its change cipher spec are encrypted and not walked. */
void walk_handshake_record(oxlo_module *m, oxlo_flow_state *f, const uint8_t *body, size_t length)
{
    const uint8_t dir = oxlo_dissector_packet(m, f).direction ? 1 : 0;
    size_t left = length;
    while (left > 0) {
        if (tls_of(f).handshake[dir].used == 0) {
            const ptrdiff_t took = walk_messages(m, f, body, left);
            if (took < 0)
                return;
            body += took;
            left -= (size_t)took;
            if (left == 0)
                return;
        }
        tls_reassembly_buffer *h = &tls_of(f).handshake[dir];
        const size_t take = message_missing(h) ? (message_missing(h) < left ? message_missing(h) : left)
                                               : (left < HANDSHAKE_BODY ? left : HANDSHAKE_BODY);
        h->next_seq = 0; /* joined by record, not by offset */
        if (reassembly_append(h, body, (uint32_t)take, 0, HANDSHAKE_MESSAGE_MAX + HANDSHAKE_BODY) < 0) {
            reassembly_free(h);
            return;
        }
        body += take;
        left -= take;
        if (h->used < HANDSHAKE_BODY)
            return; /* the header ends in a later record */
        uint8_t high = 0;
        const oxlo_reader header = oxlo_reader_make(h->buffer, h->used);
        if (!oxlo_rd_u8_at(&header, HANDSHAKE_LENGTH, &high) || high != 0 || buffered_message_length(h) > HANDSHAKE_MESSAGE_MAX) {
            /* No handshake message; or a hello too long to read, whose
             * names are lost. */
            if (h->buffer[HANDSHAKE_TYPE] == CLIENT_HELLO)
                oxlo_dissector_unread(m, f);
            reassembly_free(h);
            return;
        }
        if (message_missing(h) > 0)
            continue; /* more of it in this record, or the rest comes later */
        /* Whole: the buffer is handed to the walk and taken back after it,
         * unless the messages' handling replaced the state's buffers. */
        uint8_t *joined = h->buffer;
        const uint32_t used = h->used, capacity = h->capacity;
        memset(h, 0, sizeof(*h));
        walk_messages(m, f, joined, used);
        tls_reassembly_buffer *after = &tls_of(f).handshake[dir];
        if (!after->buffer) {
            after->buffer = joined;
            after->capacity = capacity;
            after->used = 0;
        } else {
            oxlo_heap_free(joined);
        }
    }
}

/* An alert record (level byte first). */
void alert_record(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader *body, bool whole)
{
    oxlo_tls_flow *t = &tls_of(f);
    t->state_flags |= STATE_ALERT;
    uint8_t level = 0;
    if (body->length == 2 && oxlo_rd_u8_at(body, 0, &level)) {
        if (level == 2)
            oxlo_dissector_risk(m, f, OXLO_TLS_FATAL_ALERT, "Found fatal TLS alert");
        else if (level == 1)
            t->state_flags &= (uint8_t)~STATE_ALERT;
    }
    if (whole)
        start_extra_dissection(m, f);
}

void mark_ccs(oxlo_flow_state *f, uint8_t direction, bool application_data)
{
    oxlo_tls_flow *t = &tls_of(f);
    t->ccs_seen[direction] = 1;
    if (application_data && t->ccs_seen[0] && t->ccs_seen[1])
        t->state_flags |= STATE_BOTH_CCS;
}

enum class record_result { next, wait, finish, decide };

/* The header of the record at `off` of the view: next when it is a TLS
 * record header, wait when it is cut short (so far a valid start), finish
 * when the bytes are no TLS record. */
record_result record_header(const oxlo_reader *w, size_t off, uint8_t *type, uint16_t *length)
{
    uint8_t version = 0;
    if (!oxlo_rd_u8_at(w, off + RECORD_TYPE, type))
        return record_result::wait;
    if (*type < CHANGE_CIPHER_SPEC || *type > 26)
        return record_result::finish;
    if (!oxlo_rd_u8_at(w, off + RECORD_VERSION, &version))
        return record_result::wait;
    if (version != 3)
        return record_result::finish;
    if (!oxlo_rd_u16_at(w, off + RECORD_LENGTH, length))
        return record_result::wait;
    return *length > RECORD_MAX ? record_result::finish : record_result::next;
}

/* 1 when the record's body is read (not only its header): change cipher
 * spec, alerts and handshake records in the clear. */
bool record_body_read(const oxlo_flow_state *f, uint8_t type, uint8_t direction)
{
    return type == CHANGE_CIPHER_SPEC || type == ALERT || (type == HANDSHAKE && !ccs_from_this_side(f, direction));
}

/* One record. `body` holds its body when it is read, else what the view
 * holds of it; whole: the record ends where the view ends. */
record_result tcp_record(oxlo_module *m, oxlo_flow_state *f, uint8_t type, uint16_t length, const oxlo_reader *body,
                         bool whole)
{
    const uint8_t direction = oxlo_dissector_packet(m, f).direction;
    record_result result = record_result::next;
    oxlo_tls_flow *t = &tls_of(f);
    /* Any non-empty handshake record, not only those that can hold a
     * message header: a hello cut into 1-byte records is joined too. */
    if (type == HANDSHAKE && length > 0) {
        if (ccs_from_this_side(f, direction))
            block_record(m, f, HANDSHAKE, 0, length);
        else
            walk_handshake_record(m, f, body->data, length);
    } else {
        block_record(m, f, type, 0, length);
        if (type == CHANGE_CIPHER_SPEC) {
            uint8_t value = 0;
            if (length == 1 && oxlo_rd_u8_at(body, 0, &value) && value == 0x01) {
                t->state_flags |= direction == 0 ? STATE_CCS_INITIATOR : STATE_CCS_RESPONDER;
                start_extra_dissection(m, f);
                mark_ccs(f, direction, false);
                if (max_blocks(m) == 0 && !retry_waits(*t))
                    result = record_result::decide;
            }
        } else if (type == ALERT) {
            alert_record(m, f, body, whole);
        } else if (type == APPLICATION_DATA) {
            if (length <= 0x3FFF && !f->partial_guess)
                f->partial_guess = oxlo_flow_tls_master_protocol(m, f);
            if (whole)
                start_extra_dissection(m, f);
            mark_ccs(f, direction, true);
        }
    }
    return result;
}

/* Tells the engine (once per change) whether the flow, classified, still
 * waits for a server name: a rule on it must not be judged before. */
void name_pending(oxlo_module *m, oxlo_flow_state *f, bool on)
{
    oxlo_tls_flow *t = oxlo_tls_state(m, f, 0);
    if (!t || t->name_pending == (on ? 1 : 0))
        return;
    t->name_pending = on ? 1 : 0;
    oxlo_dissector_pending(m, f, on ? 1 : 0);
}

int finish(oxlo_module *m, oxlo_flow_state *f)
{
    tls_check_client_fingerprint(m, f);
    oxlo_dissector_extra_end(f);
    name_pending(m, f, false);
    return 0;
}

/* The obfuscated-TLS heuristic takes over the follow-up reading; without
 * memory for it the search finishes. */
int start_heuristic(oxlo_module *m, oxlo_flow_state *f)
{
    tls_check_client_fingerprint(m, f);
    return tls_obfuscated_heur_start(m, f) ? 1 : finish(m, f);
}

struct decision {
    oxlo_module *m;
    oxlo_flow_state *f;
    bool k;          /* Ookla aggressiveness bit 0 */
    bool allowed;    /* the obfuscation heuristic may run */
    bool both_hellos;
    bool both_data;  /* state bit 0 */
};

/* The heuristic for a flow that exchanged data after both hellos.
 * A TLS 1.3 server sends its change-cipher-spec with its hello, before the
 * client's: when the heuristic may run, the search waits for the client's
 * side instead of finishing there (the follow-up budget still bounds it). */
int decide_heuristic(const decision &d)
{
    if (d.allowed && d.both_hellos && !d.both_data)
        return 1;
    return (d.allowed && d.both_data && d.both_hellos) ? start_heuristic(d.m, d.f) : finish(d.m, d.f);
}

/* The speed-test service on port 8080, or the heuristic. */
int decide_ookla(const decision &d)
{
    const oxlo_flow_state *f = d.f;
    if (d.both_hellos) {
        /* A client known to the speed-test cache that talks TLS on the
         * service's port is running its encrypted test. */
        if (f->app == P_TLS && oxlo_swap16(f->server_port) == 8080) {
            if (!oxlo_ookla_cache_contains(d.m, f, (f->flags_a & OXLO_FLOW_IPV6) != 0))
                return decide_heuristic(d);
            oxlo_flow_set_protocol(d.m, d.f, OXLO_PROTOCOL_OOKLA, P_TLS, OXLO_CONFIDENCE_DPI_AGGRESSIVE);
            return finish(d.m, d.f);
        }
        if (d.allowed)
            return start_heuristic(d.m, d.f);
    }
    return finish(d.m, d.f);
}

/* Once enough blocks were seen, or the handshake is over: without the
 * speed-test check straight to the heuristic; with it, only a flow whose
 * both sides sent data goes on to that check. */
int decide_after_blocks(const decision &d)
{
    if (!d.k)
        return decide_heuristic(d);
    if (!d.both_data)
        return finish(d.m, d.f);
    return decide_ookla(d);
}

int decide(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_tls_flow *t = &tls_of(f);
    const module_config *c = &m->cfg;
    const uint32_t n = max_blocks(m);
    const int32_t heur = c->tls_heuristics;
    const bool service = oxlo_flow_ip_guess_is_service(f) != 0;
    decision d = {m, f, (c->ookla_aggressiveness & 1) != 0,
                  (heur & 0x02) && !(t->state_flags & STATE_STARTTLS) && !service,
                  (t->hello_flags & HELLO_CLIENT_SEEN) && (t->hello_flags & HELLO_SERVER_SEEN),
                  (t->state_flags & STATE_BOTH_CCS) != 0};
    const bool client_hello = t->hello_flags & HELLO_CLIENT_SEEN;
    const bool both_ccs = t->ccs_seen[0] && t->ccs_seen[1];
    const uint8_t client_dir = (t->hello_flags & HELLO_CLIENT_DIR) ? 1 : 0;

    if (retry_waits(*t))
        return 1;
    if (n > 0)
        return t->block_count >= n ? decide_after_blocks(d) : 1;
    if (d.both_data && client_hello) {
        if (d.k)
            return decide_ookla(d);
        return (d.allowed && d.both_hellos) ? start_heuristic(m, f) : finish(m, f);
    }
    if (d.both_data && both_ccs)
        return d.k ? decide_ookla(d) : decide_heuristic(d);
    if (!d.both_data && (both_ccs || (client_hello && t->ccs_seen[1])))
        return d.k && !(d.allowed && d.both_hellos) ? finish(m, f) : decide_heuristic(d);
    const bool server_and_client_ccs = (t->hello_flags & HELLO_SERVER_SEEN) && t->ccs_seen[client_dir];
    if (!server_and_client_ccs && !(t->state_flags & STATE_ALERT)) {
        const bool awaiting = c->tls_alpn_negotiated || c->tls_cipher || c->tls_sha1_fingerprint ||
                              c->tls_cert_server_names || c->tls_cert_validity || c->tls_cert_issuer ||
                              c->tls_cert_subject || c->tls_browser || c->tls_ja3s_fingerprint;
        if (!f->master || awaiting)
            return 1;
        if (heur == 0)
            return (d.k && d.both_data) ? decide_ookla(d) : finish(m, f);
        if (!service)
            return 1;
    }
    return decide_after_blocks(d);
}

/* What the next call needs of this direction's view: the rest of a record
 * cut short (`want` bytes from the first one not consumed), or, between
 * records, enough for the rest of a handshake message spanning them (the
 * engine then skips the segments before, and they cost no packet budget). 0
 * when the record cannot be had: the caller decides on what it has. */
int keep_reading(oxlo_module *m, oxlo_flow_state *f, uint8_t dir, size_t consumed, size_t want)
{
    oxlo_dissector_consume(m, f, consumed);
    if (want)
        return oxlo_dissector_need(m, f, want) == 0;
    const size_t missing = message_missing(&tls_of(f).handshake[dir]);
    if (missing && oxlo_dissector_need(m, f, RECORD_HEADER + missing) < 0)
        oxlo_dissector_need(m, f, RECORD_HEADER); /* record by record then, as they come */
    return 1;
}

/* A flow classified from a record other than a hello (a lone change cipher
 * spec, alert or application data) or handed over after STARTTLS may still
 * see the client's hello: its server name is pending until a hello, both
 * sides' encrypted records or the end of the reading. */
bool name_may_come(const oxlo_flow_state *f)
{
    const oxlo_tls_flow *t = &tls_of(f);
    if (!f->app && !f->master)
        return false;
    /* The engine ends a follow-up reading whose budget this packet spends. */
    if (oxlo_dissector_extra_active(f, search_tcp) && oxlo_dissector_extra_last(f))
        return false;
    /* The server may still ask for another hello, or that hello is to come. */
    if (retry_waits(*t))
        return true;
    if (t->hello_flags & (HELLO_CLIENT_SEEN | HELLO_SERVER_SEEN))
        return false;
    return !(t->ccs_seen[0] && t->ccs_seen[1]);
}

/* TLS over TCP: the records of this direction's stream view, read in
 * order; a record cut short waits in the view for its rest, except one
 * whose body is not read, which is passed over as its bytes come. */
int search_tcp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    if (v.l4 != OXLO_L4_TCP)
        return 0;
    if (v.payload.length == 0 || v.retransmission) {
        const bool waited = retry_waits(tls_of(f));
        retry_step(m, f, v, false, 0);
        if (waited && !retry_waits(tls_of(f)))
            name_pending(m, f, false);
        return 1;
    }
    const oxlo_reader *w = &v.payload;
    const uint8_t dir = v.direction ? 1 : 0;
    size_t off = 0, want = 0;
    oxlo_tls_flow *t = &tls_of(f);
    if (t->record_skip[dir]) {
        off = t->record_skip[dir] < w->length ? t->record_skip[dir] : w->length;
        t->record_skip[dir] -= (uint32_t)off;
        if (t->record_skip[dir] == 0 && off == w->length && t->record_skip_type[dir] == APPLICATION_DATA)
            start_extra_dissection(m, f);
    }
    uint8_t first_type = 0;
    const bool record_starts = oxlo_rd_u8_at(w, off, &first_type);
    const uint8_t client_dir = (t->hello_flags & HELLO_CLIENT_DIR) ? 1 : 0;
    retry_step(m, f, v, record_starts && (t->hello_flags & HELLO_CLIENT_SEEN) && dir != client_dir, first_type);
    /* Records are handled where they lie (a view of thousands of small
     * records is walked once). */
    record_result r = record_result::next;
    while (off < w->length) {
        uint8_t type = 0;
        uint16_t length = 0;
        r = record_header(w, off, &type, &length);
        if (r == record_result::finish)
            break;
        const size_t size = (size_t)length + RECORD_HEADER, held = w->length - off;
        if (r == record_result::next && held < size && !record_body_read(f, type, v.direction)) {
            /* Nothing but the header is read: handled now, the rest of
             * its bytes passed over. */
            const oxlo_reader part = oxlo_rd_from(w, off + RECORD_HEADER);
            r = tcp_record(m, f, type, length, &part, false);
            t = &tls_of(f);
            t->record_skip[dir] = (uint32_t)(size - held);
            t->record_skip_type[dir] = type;
            off = w->length;
            break;
        }
        if (r == record_result::wait || held < size) {
            r = record_result::wait;
            want = held < RECORD_HEADER ? RECORD_HEADER : size;
            break;
        }
        const oxlo_reader body = oxlo_rd_sub_at(w, off + RECORD_HEADER, length);
        r = tcp_record(m, f, type, length, &body, size == held);
        off += size;
        if (r != record_result::next)
            break;
    }
    if (r == record_result::finish)
        return finish(m, f);
    int more = decide(m, f);
    if (more && !oxlo_dissector_extra_active(f, tls_obfuscated_heur_search_again) &&
        !keep_reading(m, f, dir, off, want))
        more = finish(m, f); /* the stream bounds refuse the rest of a record */
    if (more)
        name_pending(m, f, !oxlo_dissector_extra_active(f, tls_obfuscated_heur_search_again) && name_may_come(f));
    return more;
}

/* ---- DTLS ---- */

bool dtls_header(const uint8_t *record, size_t length, uint16_t *record_length)
{
    if (length <= 13 || record[0] < 20 || record[0] > 23)
        return false;
    const bool version = (record[1] == 0xFE && (record[2] == 0xFC || record[2] == 0xFD || record[2] == 0xFF)) ||
                         (record[1] == 0x01 && record[2] == 0x00);
    if (!version)
        return false;
    const uint16_t l = oxlo_be16(record + 11);
    if (l == 0 || (size_t)l + 12 >= length)
        return false;
    *record_length = l;
    return true;
}

/* One DTLS handshake record at `off` (record length f, inside the payload).
 * Returns false when the walk stops. `pending` is set while a fragmented
 * message is being rebuilt. */
bool dtls_handshake_record(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader *w, size_t off, uint16_t rl,
                           bool *pending)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint32_t body = 0, fragment_offset = 0, fragment_length = 0;
    if (!oxlo_rd_u24_at(w, off + 14, &body) || !oxlo_rd_u24_at(w, off + 19, &fragment_offset) ||
        !oxlo_rd_u24_at(w, off + 22, &fragment_length))
        return false;
    const uint32_t message = body + 12;
    if (rl == message) {
        const oxlo_reader msg = oxlo_reader_make(w->data + off + 13, rl);
        process_handshake(m, f, &msg);
        return true;
    }
    if (rl > message || fragment_length + 12 > rl)
        return false;
    /* A fragment: rebuilt up to a fixed size, in order only. */
    if (message > OXLO_DTLS_REASSEMBLY_MAX)
        return false;
    tls_reassembly_buffer *b = &tls_of(f).dtls_reassembly[pkt.direction ? 1 : 0];
    if (b->buffer && b->total != message)
        reassembly_free(b);
    b->total = message;
    int appended;
    if (fragment_offset == 0)
        appended = reassembly_append(b, w->data + off + 13, fragment_length + 12, 0, OXLO_DTLS_REASSEMBLY_MAX);
    else
        appended = reassembly_append(b, w->data + off + 25, fragment_length, fragment_offset + 12,
                                     OXLO_DTLS_REASSEMBLY_MAX);
    if (appended < 0) {
        reassembly_free(b);
        return false;
    }
    *pending = true;
    if (b->used == message) {
        const oxlo_reader msg = oxlo_reader_make(b->buffer, b->used);
        process_handshake(m, f, &msg);
        reassembly_free(b);
        *pending = false;
    }
    return true;
}

int search_dtls(oxlo_module *m, oxlo_flow_state *f)
{
    /* The datagram as it came (or the message another dissector pointed
     * the packet at). */
    const oxlo_reader w = oxlo_dissector_packet(m, f).segment;
    oxlo_tls_flow *t = &tls_of(f);
    if (w.length <= DTLS_RECORD_HEADER)
        return (w.length == 0 && !t->done) ? 1 : 0;
    size_t off = 0;
    bool pending = false;
    uint16_t rl = 0;
    while (off + DTLS_RECORD_HEADER < w.length && dtls_header(w.data + off, w.length - off, &rl)) {
        const uint8_t type = oxlo_rd_peek8(&w, off + RECORD_TYPE);
        if (type == HANDSHAKE && rl > 24) {
            if (!dtls_handshake_record(m, f, &w, off, rl, &pending))
                break;
        } else if (type == CHANGE_CIPHER_SPEC) {
            t->done = 1;
            return 0;
        } else if (type == ALERT && rl == ALERT_SIZE &&
                   oxlo_rd_peek8(&w, off + DTLS_RECORD_HEADER + ALERT_LEVEL) == ALERT_FATAL) {
            oxlo_dissector_risk(m, f, OXLO_TLS_FATAL_ALERT, "Found fatal TLS alert");
        } else if (type == APPLICATION_DATA) {
            oxlo_flow_set_protocol(m, f, P_DTLS, 0, OXLO_CONFIDENCE_DPI);
            oxlo_flow_fill_category(m, f);
            t->done = 1;
            return 0;
        }
        off += (size_t)rl + DTLS_RECORD_HEADER;
    }
    if (off >= w.length || pending)
        return t->done ? 0 : 1;
    return 0;
}

} // namespace

extern "C" {

int tls_flow_is_dtls(const oxlo_module *module, const oxlo_flow_state *flow)
{
    return oxlo_dissector_packet(module, flow).l4 == OXLO_L4_UDP || flow->app == P_DTLS || flow->master == P_DTLS;
}

void tls_process_hello(oxlo_module *module, oxlo_flow_state *flow, const oxlo_reader *message, int is_quic)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(module, flow);
    if (!message || !oxlo_tls_state(module, flow, 1))
        return;
    hello h;
    memset(&h, 0, sizeof(h));
    h.m = module;
    h.f = flow;
    h.w = oxlo_reader_make(message->data, message->length);
    h.is_quic = is_quic;
    h.dtls = !is_quic && pkt.l4 == OXLO_L4_UDP;
    h.d = h.dtls ? DTLS_HANDSHAKE_FIELDS : 0;
    h.lists.alpn_first = h.lists.alpn_last = '0';
    uint8_t high = 0;
    uint16_t declared = 0, legacy = 0;
    /* The 24-bit length: its high byte, then the two others. */
    if (h.w.length <= HANDSHAKE_BODY || !oxlo_rd_u8_at(&h.w, HANDSHAKE_LENGTH, &high) || high != 0 ||
        !oxlo_rd_u16_at(&h.w, HANDSHAKE_LENGTH + 1, &declared) || h.w.length < declared ||
        !oxlo_rd_u16_at(&h.w, HANDSHAKE_BODY + h.d, &legacy))
        return;
    h.lists.legacy_version = legacy;
    const uint8_t type = oxlo_rd_peek8(&h.w, HANDSHAKE_TYPE);
    if (type == CLIENT_HELLO && (tls_of(flow).hello_flags & HELLO_CLIENT_SEEN)) {
        /* A later hello (after a retry request, or a QUIC client's after
         * a Retry) stores its own name: the earlier one still reaches the
         * rules, which judge every name the server may have taken. */
        const char *earlier = oxlo_flow_host_name(flow);
        if (earlier[0])
            oxlo_flow_add_host_candidate(flow, earlier, strlen(earlier));
    }
    bool parsed = false;
    if (type == SERVER_HELLO)
        parsed = server_hello(&h, legacy);
    else if (type == CLIENT_HELLO)
        parsed = client_hello(&h, legacy);
    if (parsed && module->cfg.tls_ja_data)
        tls_copy_ja_data(module, flow, &h.lists, type == CLIENT_HELLO);
}

void oxlo_search_tls_wrapper(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!oxlo_tls_state(module, flow, 1)) {
        OXLO_EXCLUDE(module, flow);
        return;
    }
    const bool udp = oxlo_dissector_packet(module, flow).l4 == OXLO_L4_UDP;
    const int more = (udp || flow->app == P_DTLS || flow->master == P_DTLS) ? search_dtls(module, flow)
                                                                                : search_tcp(module, flow);
    /* A flow that turned out not to be TLS drops the dissector, unless the
     * heuristic may look for a handshake hidden in it. */
    if (more == 0 && !flow->app && !flow->master) {
        if (!(module->cfg.tls_heuristics & 0x01) || !tls_obfuscated_heur_start(module, flow))
            OXLO_EXCLUDE(module, flow);
        else if (!tls_obfuscated_heur_search_again(module, flow)) /* this packet opens the first burst */
            oxlo_dissector_extra_end(flow);
    }
}

int tls_search_tcp(oxlo_module *module, oxlo_flow_state *flow) { return search_tcp(module, flow); }
int tls_search_dtls(oxlo_module *module, oxlo_flow_state *flow) { return search_dtls(module, flow); }
void tls_start_extra_dissection(oxlo_module *module, oxlo_flow_state *flow) { start_extra_dissection(module, flow); }

int dtls_record_header_check(const uint8_t *record, size_t length, uint16_t *record_length)
{
    return record && record_length && dtls_header(record, length, record_length) ? 1 : 0;
}

void tls_take_over_extra_dissection(oxlo_module *module, oxlo_flow_state *flow)
{
    oxlo_tls_flow *t = oxlo_tls_state(module, flow, 1);
    if (!t)
        return;
    /* TLS starts here: nothing read of the plain-text protocol before is
     * a record or a message. The engine's stream view keeps no bytes for
     * this routine unless asked to. */
    for (int d = 0; d < 2; d++) {
        reassembly_free(&t->handshake[d]);
        t->record_skip[d] = 0;
    }
    t->state_flags |= STATE_STARTTLS;
    const bool udp = oxlo_dissector_packet(module, flow).l4 == OXLO_L4_UDP;
    const uint32_t budget = max_blocks(module) * 4 + (udp ? 20 : 12);
    oxlo_dissector_extra(flow, udp ? search_dtls : search_tcp, (uint8_t)(budget > 255 ? 255 : budget));
    /* The client's hello, and the server name in it, are still to come. */
    if (!udp)
        name_pending(module, flow, true);
}

void tls_reset_and_search(oxlo_module *module, oxlo_flow_state *flow, int reset)
{
    oxlo_tls_flow *t = oxlo_tls_state(module, flow, 1);
    if (!t)
        return;
    if (reset) {
        for (int d = 0; d < 2; d++) {
            reassembly_free(&t->dtls_reassembly[d]);
            reassembly_free(&t->handshake[d]);
            t->record_skip[d] = 0;
        }
        tls_heuristic_free(t);
    }
    oxlo_search_tls_wrapper(module, flow);
}

/* Frees what the TLS state owns; the engine frees the block. */
static void tls_state_release(void *state)
{
    oxlo_tls_flow *t = static_cast<oxlo_tls_flow *>(state);
    if (!t)
        return;
    for (int d = 0; d < 2; d++) {
        oxlo_heap_free(t->dtls_reassembly[d].buffer);
        oxlo_heap_free(t->handshake[d].buffer);
    }
    oxlo_heap_free(t->alpn_offered);
    oxlo_heap_free(t->alpn_negotiated);
    oxlo_heap_free(t->versions_offered);
    oxlo_heap_free(t->blocks);
    oxlo_heap_free(t->ja4_client_raw);
    oxlo_heap_free(t->server_fingerprint);
    oxlo_heap_free(t->ja_data_client);
    oxlo_heap_free(t->ja_data_server);
    oxlo_heap_free(t->cert_issuer_dn);
    oxlo_heap_free(t->cert_subject_dn);
    oxlo_heap_free(t->cert_server_names);
    tls_heuristic_free(t);
    memset(t, 0, sizeof(*t));
}

oxlo_tls_flow *oxlo_tls_state(oxlo_module *module, oxlo_flow_state *flow, int create)
{
    void *t = oxlo_dissector_state_of(module, flow, P_TLS, create);
    if (!t) /* TLS itself may be disabled while DTLS is not */
        t = oxlo_dissector_state_of(module, flow, P_DTLS, create);
    return static_cast<oxlo_tls_flow *>(t);
}

const oxlo_tls_flow *oxlo_tls_state_find(const oxlo_flow_state *flow)
{
    return static_cast<const oxlo_tls_flow *>(oxlo_flow_slot_state(flow, OXLO_DISSECTOR_tls));
}

static const oxlo_tls_flow *tls_or_empty(const oxlo_flow_state *flow)
{
    static const oxlo_tls_flow empty = {};
    const oxlo_tls_flow *t = flow ? oxlo_tls_state_find(flow) : nullptr;
    return t ? t : &empty;
}

static const char *text_or_empty(const char *t) { return t ? t : ""; }

uint16_t oxlo_flow_tls_version(const oxlo_flow_state *flow) { return tls_or_empty(flow)->version; }
uint16_t oxlo_flow_tls_cipher(const oxlo_flow_state *flow) { return tls_or_empty(flow)->server_cipher; }
const char *oxlo_flow_tls_alpn_offered(const oxlo_flow_state *flow) { return text_or_empty(tls_or_empty(flow)->alpn_offered); }
const char *oxlo_flow_tls_alpn_negotiated(const oxlo_flow_state *flow) { return text_or_empty(tls_or_empty(flow)->alpn_negotiated); }
const char *oxlo_flow_tls_versions_offered(const oxlo_flow_state *flow) { return text_or_empty(tls_or_empty(flow)->versions_offered); }
const char *oxlo_flow_tls_ja4(const oxlo_flow_state *flow) { return tls_or_empty(flow)->ja4_client; }
const char *oxlo_flow_tls_ja4_raw(const oxlo_flow_state *flow) { return text_or_empty(tls_or_empty(flow)->ja4_client_raw); }
const char *oxlo_flow_tls_ja3s(const oxlo_flow_state *flow) { return tls_or_empty(flow)->ja3_server; }
const char *oxlo_flow_tls_server_fingerprint(const oxlo_flow_state *flow) { return text_or_empty(tls_or_empty(flow)->server_fingerprint); }
const char *oxlo_flow_tls_cert_issuer(const oxlo_flow_state *flow) { return text_or_empty(tls_or_empty(flow)->cert_issuer_dn); }
const char *oxlo_flow_tls_cert_subject(const oxlo_flow_state *flow) { return text_or_empty(tls_or_empty(flow)->cert_subject_dn); }
const char *oxlo_flow_tls_cert_server_names(const oxlo_flow_state *flow) { return text_or_empty(tls_or_empty(flow)->cert_server_names); }
int oxlo_flow_tls_client_hello_seen(const oxlo_flow_state *flow) { return (tls_or_empty(flow)->hello_flags & HELLO_CLIENT_SEEN) != 0; }

size_t oxlo_flow_tls_groups_offered(const oxlo_flow_state *flow, uint16_t *groups, size_t max)
{
    const oxlo_tls_flow *t = tls_or_empty(flow);
    size_t n = 0;
    for (; groups && n < t->groups_offered_count && n < max; n++)
        groups[n] = t->groups_offered[n];
    return n;
}

int oxlo_flow_tls_cert_validity(const oxlo_flow_state *flow, uint32_t *not_before, uint32_t *not_after)
{
    if (!flow || !not_before || !not_after)
        return -2;
    *not_before = tls_or_empty(flow)->cert_not_before;
    *not_after = tls_or_empty(flow)->cert_not_after;
    return 0;
}

int oxlo_flow_tls_cert_sha1(const oxlo_flow_state *flow, uint8_t sha1[20])
{
    const oxlo_tls_flow *t = tls_or_empty(flow);
    if (!sha1 || !(t->hello_flags & 0x10))
        return 0;
    memcpy(sha1, t->cert_sha1, 20);
    return 1;
}

static const uint16_t tls_protocols[] = {P_TLS, P_DTLS};

extern const oxlo_dissector_def oxlo_dissector_def_tls = {
    "(D)TLS",
    oxlo_search_tls_wrapper,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    tls_protocols,
    2,
    sizeof(oxlo_tls_flow),
    tls_state_release,
    oxlo_tls_json_block,
};

} // extern "C"

oxlo_tls_flow &tls_of(oxlo_flow_state *flow)
{
    oxlo_tls_flow *t = static_cast<oxlo_tls_flow *>(oxlo_flow_slot_state(flow, OXLO_DISSECTOR_tls));
    if (t)
        return *t;
    static thread_local oxlo_tls_flow scratch;
    scratch = oxlo_tls_flow{};
    return scratch;
}

const oxlo_tls_flow &tls_of(const oxlo_flow_state *flow) { return *tls_or_empty(flow); }
