/* QUIC over UDP: the IETF versions (1, 2, the drafts, mvfst) and the older
 * Google versions (Q024 to Q050, T050, T051).
 *
 * A client's first datagram is an Initial padded to at least 1200 bytes.
 * Its keys come from the Destination Connection ID and a salt every
 * implementation of the version knows, so the dissector removes the header
 * protection, decrypts the payload, puts the CRYPTO stream back together
 * (a large ClientHello spans several Initials, its pieces in any order) and
 * hands the ClientHello to the TLS family, which reads host name, ALPN and
 * fingerprints. The flow is left pending until the server answers that
 * hello: a Retry or a Version Negotiation turns it down, and the hello of
 * the client's next Initials is read as well. Google versions without TLS
 * carry a CHLO message, in the clear up to Q046, which is read here.
 * Flows whose Initial was missed are still told apart by 0-RTT packets,
 * repeated short headers on port 443, a server's REJ, or a Version
 * Negotiation after a reserved version. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_flow_json.h"
#include "oxlo_cipher.h"
#include "oxlo_memory.h"
#include "oxlo_serializer.h"
#include "oxlo_tls_dns.h"
#include "oxlo_utils.h"
#include "protocols/quic_private.h"
#include "protocols/tls/tls_private.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t P_QUIC = OXLO_PROTOCOL_QUIC;

constexpr uint32_t V1 = 0x00000001, V2 = 0x6b3343cf;
constexpr uint32_t MVFST_22 = 0xfaceb001, MVFST_27 = 0xfaceb002, MVFST_EXP = 0xfaceb00e;
constexpr uint32_t Q046 = 0x51303436, Q050 = 0x51303530, T050 = 0x54303530, T051 = 0x54303531;

constexpr size_t INITIAL_MIN = 1200;
constexpr size_t CID_MAX = 20;
/* The client's CRYPTO stream is put together in a buffer that grows with
 * the ClientHello up to HELLO_MAX bytes; a hello that declares more, more
 * than CRYPTO_FRAMES_MAX CRYPTO frames, or a first flight that has not
 * completed its hello within COLLECT_PACKETS packets of the flow ends the
 * wait: the flow is QUIC without a host name. */
constexpr uint32_t REASSEMBLY_FIRST = 4096;
constexpr uint32_t HELLO_MAX = 65536;
constexpr uint16_t CRYPTO_FRAMES_MAX = 256;
constexpr uint16_t COLLECT_PACKETS = 20;
/* Long-header packets read from one datagram (RFC 9000 section 12.2). */
constexpr unsigned COALESCED_MAX = 8;
constexpr uint8_t EXTRA_PACKETS = 24;
/* Packets a flow may send before an Initial the dissector can read while
 * it still waits for one: leading 0-RTT datagrams, or an Initial of a
 * version it cannot read with the server's Version Negotiation and the
 * client's resends after it. Past the bound the flow is decided on what it
 * showed. */
constexpr uint8_t SKIP_MAX = 8;
/* After a whole hello the flow waits for the server's answer: a Retry or a
 * Version Negotiation means that hello was not taken, and the client's
 * next Initials carry the one the server reads. A server that answers
 * nothing within these packets or this time leaves the flow decided on the
 * hellos seen. */
constexpr uint8_t ANSWER_PACKETS = 32;
constexpr uint64_t ANSWER_WAIT_MS = 10000;
/* Snapchat's media service domain: calls over QUIC to it are sub-classified
 * by the first byte of later packets. */
constexpr const char SNAPCHAT_SERVICE_DOMAIN[] = ".sc-cdn.net";

struct quic_flow {
    uint32_t version;
    /* The connection whose ClientHello is collected: the Destination
     * Connection ID of its first Initial that decrypted. */
    uint8_t dcid[CID_MAX];
    uint8_t dcid_length;
    uint8_t collecting;       /* the ClientHello is awaited */
    uint8_t decrypted;        /* an Initial of the datagram in process decrypted */
    uint8_t pending;          /* the flow is pending for the engine's callers */
    uint16_t collect_since;   /* the flow's packet count at the first Initial */
    uint8_t *crypto;          /* reassembly buffer, crypto_capacity bytes, owned */
    uint8_t *crypto_bitmap;   /* one bit per buffer byte, owned */
    uint32_t crypto_capacity;
    uint32_t crypto_end;      /* highest end offset kept */
    uint32_t crypto_prefix;   /* bytes from offset 0 all present */
    uint16_t crypto_frames;
    uint8_t zero_rtt_seen;
    uint8_t vn_expected;
    uint8_t vn_seen;
    uint8_t vn_packets;
    uint8_t skipped;          /* packets skipped before a readable Initial */
    uint8_t awaiting;         /* a hello is whole, the server's answer is awaited */
    uint8_t restarted;        /* the server sent a Retry or Version Negotiation meanwhile */
    uint64_t answer_since_ms;
    /* After a Retry the client's Initials that count are those to the
     * Retry's Source Connection ID; after a Version Negotiation, those of
     * another version than the one turned down. */
    uint8_t retry_scid[CID_MAX];
    uint8_t retry_scid_length;
    uint32_t refused_version;
    uint8_t short_count;
    uint8_t short_stored;
    uint8_t short_bytes[8];
    uint8_t short_last;
    uint32_t idle_lifetime; /* gQUIC "ICSL" */
    /* The client's Initial protection, derived once per Destination
     * Connection ID and version and kept for the flow's later Initials: the
     * keys and the two cipher handles keyed with them. */
    quic_initial_keys keys;
    uint32_t keys_version;
    uint8_t keys_dcid[CID_MAX];
    uint8_t keys_dcid_length;
    uint8_t keys_ready;
    crypto_cipher_handle *hp;   /* AES-128-ECB with the header-protection key, owned */
    crypto_cipher_handle *aead; /* AES-128-GCM with the packet key, owned */
};

/* ---- versions ---- */

bool is_draft(uint32_t v) { return (v & 0xffffff00) == 0xff000000; }
bool is_reserved(uint32_t v) { return (v & 0x0f0f0f0f) == 0x0a0a0a0a; }
bool is_mvfst_known(uint32_t v) { return v == MVFST_22 || v == MVFST_27 || v == MVFST_EXP; }
bool is_t05(uint32_t v) { return (v & 0xffffff00) == 0x54303500; }

/* The decimal value of the last two characters of Q0xy or T05y, else 0. */
unsigned google_number(uint32_t v)
{
    const uint8_t a = uint8_t(v >> 24), b = uint8_t(v >> 16), c = uint8_t(v >> 8), d = uint8_t(v);
    if ((a != 'Q' && a != 'T') || b != '0' || c < '0' || c > '9' || d < '0' || d > '9')
        return 0;
    if (a == 'T' && c != '5')
        return 0;
    return unsigned(c - '0') * 10 + unsigned(d - '0');
}

bool is_q(uint32_t v) { return (v >> 24) == 'Q' && google_number(v) != 0; }

/* Google versions the dissector knows. */
bool google_supported(uint32_t v)
{
    static const uint32_t known[] = {0x51303234, 0x51303235, 0x51303330, 0x51303333, 0x51303334, 0x51303335, 0x51303337,
                                     0x51303339, 0x51303433, Q046,       Q050,       T050,       T051};
    for (uint32_t k : known)
        if (v == k)
            return true;
    return false;
}

unsigned draft_equivalent(uint32_t v)
{
    if (v == V1)
        return 34;
    if (v == MVFST_22)
        return 22;
    if (v == MVFST_27 || v == MVFST_EXP)
        return 27;
    if (is_draft(v))
        return v & 0xff;
    if (is_reserved(v))
        return 34;
    if (v == V2)
        return 100;
    return 0;
}

bool ietf_style(uint32_t v)
{
    return v == V1 || is_draft(v) || (v & 0xfffff000) == 0xfaceb000 || is_reserved(v) || v == V2 || is_t05(v);
}

bool supported(uint32_t v)
{
    return google_supported(v) || is_mvfst_known(v) || v == V1 || v == V2 || (is_draft(v) && (v & 0xff) >= 23) ||
           is_reserved(v);
}

bool v2_labels(uint32_t v) { return v == V2 || (is_draft(v) && (v & 0xff) > 34); }

/* Initial salts: RFC 9001 (version 1), RFC 9369 (version 2), the drafts of
 * the QUIC-TLS document that introduced a new one (29, 23, 22), and the
 * values the implementation that defined Q050, T050 and T051 publishes for
 * them. */
const uint8_t SALT_V1[20] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                             0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
const uint8_t SALT_V2[20] = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93,
                             0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};
const uint8_t SALT_D29[20] = {0xaf, 0xbf, 0xec, 0x28, 0x99, 0x93, 0xd2, 0x4c, 0x9e, 0x97,
                              0x86, 0xf1, 0x9c, 0x61, 0x11, 0xe0, 0x43, 0x90, 0xa8, 0x99};
const uint8_t SALT_D23[20] = {0xc3, 0xee, 0xf7, 0x12, 0xc7, 0x2e, 0xbb, 0x5a, 0x11, 0xa7,
                              0xd2, 0x43, 0x2b, 0xb4, 0x63, 0x65, 0xbe, 0xf9, 0xf5, 0x02};
const uint8_t SALT_D22[20] = {0x7f, 0xbc, 0xdb, 0x0e, 0x7c, 0x66, 0xbb, 0xe9, 0x19, 0x3a,
                              0x96, 0xcd, 0x21, 0x51, 0x9e, 0xbd, 0x7a, 0x02, 0x64, 0x4a};
const uint8_t SALT_Q050[20] = {0x50, 0x45, 0x74, 0xef, 0xd0, 0x66, 0xfe, 0x2f, 0x9d, 0x94,
                               0x5c, 0xfc, 0xdb, 0xd3, 0xa7, 0xf0, 0xd3, 0xb5, 0x6b, 0x45};
const uint8_t SALT_T050[20] = {0x7f, 0xf5, 0x79, 0xe5, 0xac, 0xd0, 0x72, 0x91, 0x55, 0x80,
                               0x30, 0x4c, 0x43, 0xa2, 0x36, 0x7c, 0x60, 0x48, 0x83, 0x10};
const uint8_t SALT_T051[20] = {0x7a, 0x4e, 0xde, 0xf4, 0xe7, 0xcc, 0xee, 0x5f, 0xa4, 0x50,
                               0x6c, 0x19, 0x12, 0x4f, 0xc8, 0xcc, 0xda, 0x6e, 0x03, 0x3d};

const uint8_t *salt_of(uint32_t v)
{
    if (v == Q050)
        return SALT_Q050;
    if (v == T050)
        return SALT_T050;
    if (v == T051)
        return SALT_T051;
    if (v == V1)
        return SALT_V1;
    if (is_draft(v)) {
        const unsigned d = v & 0xff;
        if (d == 33 || d == 34)
            return SALT_V1;
        if (d > 34 || d == 0)
            return SALT_V2;
        if (d >= 29)
            return SALT_D29;
        if (d >= 23)
            return SALT_D23;
        return SALT_D22;
    }
    if (v == MVFST_27 || v == MVFST_EXP)
        return SALT_D23;
    if (v == MVFST_22)
        return SALT_D22;
    return SALT_V2;
}

/* ---- HKDF over the digest handle ---- */

/* The Extract step is keyed with one of a few public salts: a handle keyed
 * with each is kept per thread (its HMAC states computed once), so a new
 * connection pays only for its own Destination Connection ID. Closed at the
 * thread's end. */
struct salt_handles {
    const uint8_t *salt[8] = {};
    crypto_md_handle *md[8] = {};
    salt_handles() = default;
    salt_handles(const salt_handles &) = delete;
    salt_handles &operator=(const salt_handles &) = delete;
    ~salt_handles()
    {
        for (crypto_md_handle *h : md)
            crypto_md_close(h);
    }
};

crypto_md_handle *salt_handle(const uint8_t *salt)
{
    static thread_local salt_handles keyed;
    for (size_t i = 0; i < 8; i++) {
        if (keyed.salt[i] == salt)
            return keyed.md[i];
        if (keyed.salt[i])
            continue;
        crypto_md_handle *h = nullptr;
        if (crypto_md_open(&h, CRYPTO_MD_SHA256, CRYPTO_MD_FLAG_HMAC) != 0)
            return nullptr;
        if (crypto_md_setkey(h, salt, 20) != 0) {
            crypto_md_close(h);
            return nullptr;
        }
        keyed.salt[i] = salt;
        keyed.md[i] = h;
        return h;
    }
    return nullptr;
}

bool set_key(crypto_md_handle *md, const uint8_t *key, size_t key_length)
{
    crypto_md_reset(md);
    return crypto_md_setkey(md, key, key_length) == 0;
}

/* HMAC under the handle's key; the key (and the states HMAC keeps for it)
 * stays for the next one. */
bool mac(crypto_md_handle *md, const uint8_t *message, size_t length, uint8_t out[32])
{
    crypto_md_restart(md);
    if (crypto_md_write(md, message, length) != 0)
        return false;
    const uint8_t *d = crypto_md_read(md);
    if (!d)
        return false;
    memcpy(out, d, 32);
    return true;
}

/* HKDF-Expand-Label under the handle's key (the secret), with the "tls13 "
 * prefix and an empty context (whose length byte is still there). */
bool expand_label(crypto_md_handle *md, const char *label, uint8_t *out, size_t length)
{
    const size_t label_length = strlen(label);
    if (6 + label_length > 255 || length > 255 * 32)
        return false;
    uint8_t info[1024];
    size_t n = 0;
    info[n++] = uint8_t(length >> 8);
    info[n++] = uint8_t(length);
    info[n++] = uint8_t(6 + label_length);
    memcpy(info + n, "tls13 ", 6);
    n += 6;
    memcpy(info + n, label, label_length);
    n += label_length;
    info[n++] = 0;
    uint8_t t[32 + 1024 + 1];
    size_t t_length = 0, done = 0;
    for (uint8_t i = 1; done < length; i++) {
        memcpy(t + t_length, info, n);
        t[t_length + n] = i;
        uint8_t block[32];
        if (!mac(md, t, t_length + n + 1, block))
            return false;
        const size_t take = length - done < 32 ? length - done : 32;
        memcpy(out + done, block, take);
        done += take;
        memcpy(t, block, 32);
        t_length = 32;
    }
    return true;
}

/* ---- variable-length integers through the reader ---- */

bool varint(oxlo_reader *r, uint64_t *out)
{
    uint8_t first = 0;
    if (!oxlo_rd_u8_at(r, r->pos, &first))
        return false;
    const size_t n = size_t(1) + quic_varint_extra_length(first);
    const uint8_t *b = oxlo_rd_bytes(r, n);
    if (!b)
        return false;
    quic_varint_decode(b, out);
    return true;
}

/* ---- the end of the dissector for a flow ---- */

/* Before classification the dissector excludes itself; a classified flow
 * keeps its state (its version is reported with the flow) and is simply
 * read no further. */
void end(oxlo_module *m, oxlo_flow_state *f)
{
    if (!oxlo_flow_app_protocol(f) && !oxlo_flow_master_protocol(f))
        OXLO_EXCLUDE(m, f);
}

void classify(oxlo_module *m, oxlo_flow_state *f, quic_flow *st, uint32_t version)
{
    st->version = version;
    if (oxlo_flow_app_protocol(f) == P_QUIC || oxlo_flow_master_protocol(f) == P_QUIC)
        return; /* already QUIC, maybe sub-classified by the host name */
    oxlo_dissector_classify(m, f, P_QUIC, OXLO_PROTOCOL_UNKNOWN);
}

quic_flow *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<quic_flow *>(oxlo_dissector_state_of(m, f, P_QUIC, 0));
}

void reassembly_free(quic_flow *st)
{
    oxlo_heap_free(st->crypto);
    oxlo_heap_free(st->crypto_bitmap);
    st->crypto = st->crypto_bitmap = nullptr;
    st->crypto_capacity = st->crypto_end = st->crypto_prefix = 0;
    st->crypto_frames = 0;
}

/* While a ClientHello that can still name the host is awaited (after an
 * Initial of a version not read here, the Initial that follows the Version
 * Negotiation; after leading 0-RTT packets, the Initial; after a whole
 * hello, the server's answer that shows it was taken), the flow is
 * pending: whoever decides on host names keeps feeding it. */
void set_pending(oxlo_module *m, oxlo_flow_state *f, quic_flow *st, bool on)
{
    if (st->pending != uint8_t(on)) {
        st->pending = uint8_t(on);
        oxlo_dissector_pending(m, f, on ? 1 : 0);
    }
}

/* The Initial protection of the flow, closed (its handles kept for reuse
 * by the cipher layer). */
void protection_drop(quic_flow *st)
{
    st->keys_ready = 0;
    crypto_cipher_close(st->hp);
    crypto_cipher_close(st->aead);
    st->hp = st->aead = nullptr;
}

/* The ClientHello is no longer awaited: whole, or a bound was hit. No
 * Initial of the flow is decrypted after this unless a new wait starts,
 * which derives its keys again: the handles are given back now rather than
 * held for the flow's life. */
void collect_stop(oxlo_module *m, oxlo_flow_state *f, quic_flow *st)
{
    reassembly_free(st);
    protection_drop(st);
    st->collecting = 0;
    set_pending(m, f, st, st->awaiting || st->vn_expected);
}

void collect_start(oxlo_module *m, oxlo_flow_state *f, quic_flow *st, uint32_t version, uint16_t packets)
{
    if (st->collecting)
        return;
    st->version = version;
    st->collecting = 1;
    st->collect_since = packets;
    set_pending(m, f, st, true);
}

/* ---- Initial decryption ---- */

/* The handles keyed for the client's Initials of a Destination Connection
 * ID and version: built on the first Initial, reused for the later ones. */
bool protection_for(quic_flow *st, uint32_t version, const uint8_t *dcid, uint8_t dcid_length)
{
    if (st->keys_ready && st->keys_version == version && st->keys_dcid_length == dcid_length &&
        memcmp(st->keys_dcid, dcid, dcid_length) == 0)
        return true;
    protection_drop(st);
    if (quic_initial_keys_derive(version, dcid, dcid_length, &st->keys) != 0)
        return false;
    if (crypto_cipher_open(&st->hp, CRYPTO_CIPHER_AES128, CRYPTO_CIPHER_MODE_ECB, 0) != 0 ||
        crypto_cipher_setkey(st->hp, st->keys.hp, 16) != 0 ||
        crypto_cipher_open(&st->aead, CRYPTO_CIPHER_AES128, CRYPTO_CIPHER_MODE_GCM, 0) != 0 ||
        crypto_cipher_setkey(st->aead, st->keys.key, 16) != 0) {
        crypto_cipher_close(st->hp);
        crypto_cipher_close(st->aead);
        st->hp = st->aead = nullptr;
        return false;
    }
    memcpy(st->keys_dcid, dcid, dcid_length);
    st->keys_dcid_length = dcid_length;
    st->keys_version = version;
    st->keys_ready = 1;
    return true;
}

/* One long-header packet of a datagram. */
struct long_header {
    uint8_t first;
    uint8_t type; /* 0 Initial, 1 0-RTT, 2 Handshake, 3 Retry, whatever the version's numbering */
    uint32_t version;
    size_t start;  /* offset of the packet in the datagram */
    const uint8_t *dcid;
    uint8_t dcid_length;
    size_t pn_at;  /* packet number, from the packet's start */
    size_t length; /* the Length field: packet number and payload */
    size_t end;    /* offset of the byte after the packet in the datagram */
};

/* Reads the long header at `at`; false when it is none or does not fit the
 * datagram. A Retry has no Length: its end is the datagram's. */
bool read_long_header(const oxlo_reader *datagram, size_t at, long_header *h)
{
    oxlo_reader r = oxlo_rd_from(datagram, at);
    if (r.error || !oxlo_rd_left(&r))
        return false;
    h->first = oxlo_rd_u8(&r);
    if (!(h->first & 0x80) || !oxlo_rd_u32_at(&r, 1, &h->version))
        return false;
    const uint8_t raw = (h->first >> 4) & 3;
    h->type = h->version == V2 ? uint8_t((raw + 3) & 3) : raw;
    h->start = at;
    r.pos = 5;
    uint8_t scid_length = 0;
    if (!oxlo_rd_u8_at(&r, 5, &h->dcid_length) || h->dcid_length > CID_MAX)
        return false;
    h->dcid = oxlo_rd_bytes_at(&r, 6, h->dcid_length);
    if (!h->dcid || !oxlo_rd_u8_at(&r, 6 + size_t(h->dcid_length), &scid_length) || scid_length > CID_MAX ||
        !oxlo_rd_has(&r, 7 + size_t(h->dcid_length), scid_length))
        return false;
    r.pos = 7 + size_t(h->dcid_length) + scid_length;
    if (h->type == 3) {
        h->pn_at = r.pos;
        h->length = 0;
        h->end = datagram->length;
        return true;
    }
    uint64_t token_length = 0, length = 0;
    if (h->type == 0 &&
        (!varint(&r, &token_length) || token_length > oxlo_rd_left(&r) || !oxlo_rd_skip(&r, size_t(token_length))))
        return false;
    if (!varint(&r, &length) || length > oxlo_rd_left(&r))
        return false;
    h->pn_at = r.pos;
    h->length = size_t(length);
    h->end = at + r.pos + h->length;
    return true;
}

/* Whether a client Initial is one the server reads after the Retry or the
 * Version Negotiation it sent, if any: a decoy to another connection ID
 * must not start the stream over between the pieces of the real hello. */
bool initial_counts(const quic_flow *st, const long_header &h)
{
    if (!st->restarted)
        return true;
    if (st->retry_scid_length)
        return h.dcid_length == st->retry_scid_length && memcmp(h.dcid, st->retry_scid, h.dcid_length) == 0;
    return h.version != st->refused_version;
}

struct plaintext {
    uint8_t small[1536];
    uint8_t *data = nullptr; /* small, or owned */
    size_t length = 0;
    bool reserve(size_t n)
    {
        data = n <= sizeof(small) ? small : static_cast<uint8_t *>(oxlo_heap_alloc(n ? n : 1));
        return data != nullptr;
    }
    ~plaintext()
    {
        if (data != small)
            oxlo_heap_free(data);
    }
};

/* Removes the header protection of a client Initial and decrypts it with
 * the keys of its own Destination Connection ID. */
bool decrypt_initial(quic_flow *st, const oxlo_reader *datagram, const long_header &h, plaintext *out)
{
    if (h.dcid_length == 0 || !protection_for(st, h.version, h.dcid, h.dcid_length))
        return false;
    const oxlo_reader pkt = oxlo_rd_sub_at(datagram, h.start, h.end - h.start);
    /* Header protection: the mask comes from the 16 bytes 4 after the start
     * of the packet number, whatever its length, inside the packet. */
    uint8_t mask[16];
    const uint8_t *sample = oxlo_rd_bytes_at(&pkt, h.pn_at + 4, 16);
    if (pkt.error || !sample || crypto_cipher_reset(st->hp) != 0 ||
        crypto_cipher_encrypt(st->hp, mask, 16, sample, 16) != 0)
        return false;
    const uint8_t first = uint8_t(h.first ^ (mask[0] & 0x0f));
    const size_t pn_length = size_t(first & 3) + 1;
    if (h.length < pn_length + 16)
        return false;
    /* The additional data is the header with its first byte and packet
     * number unprotected: a copy, of whatever length the token gives it. */
    const size_t header = h.pn_at + pn_length;
    const uint8_t *head = oxlo_rd_bytes_at(&pkt, 0, header);
    const size_t cipher_length = h.length - pn_length - 16;
    const uint8_t *cipher = oxlo_rd_bytes_at(&pkt, header, cipher_length + 16);
    if (!head || !cipher || !out->reserve(header + cipher_length))
        return false;
    uint8_t *aad = out->data + cipher_length;
    memcpy(aad, head, header);
    aad[0] = first;
    uint64_t pn = 0;
    for (size_t i = 0; i < pn_length; i++) {
        aad[h.pn_at + i] = uint8_t(aad[h.pn_at + i] ^ mask[1 + i]);
        pn = (pn << 8) | aad[h.pn_at + i];
    }
    uint8_t nonce[12];
    memcpy(nonce, st->keys.iv, 12);
    for (int i = 0; i < 8; i++)
        nonce[4 + i] = uint8_t(nonce[4 + i] ^ uint8_t(pn >> (56 - 8 * i)));
    out->length = cipher_length;
    return crypto_cipher_reset(st->aead) == 0 && crypto_cipher_setiv(st->aead, nonce, 12) == 0 &&
           crypto_cipher_decrypt_verify(st->aead, aad, header, out->data, cipher, cipher_length, cipher + cipher_length,
                                        16) == 0;
}

/* ---- the CRYPTO stream ---- */

enum class hello { incomplete, whole, bound };

bool has_byte(const quic_flow *st, uint32_t i) { return st->crypto_bitmap[i / 8] & (1u << (i % 8)); }

/* Room for the stream's first `needed` bytes. */
bool reserve_stream(quic_flow *st, uint32_t needed)
{
    if (needed <= st->crypto_capacity)
        return true;
    uint32_t capacity = st->crypto_capacity ? st->crypto_capacity : REASSEMBLY_FIRST;
    while (capacity < needed)
        capacity *= 2;
    auto *buffer = static_cast<uint8_t *>(oxlo_heap_realloc(st->crypto, capacity));
    if (!buffer)
        return false;
    st->crypto = buffer;
    auto *bitmap = static_cast<uint8_t *>(oxlo_heap_realloc(st->crypto_bitmap, capacity / 8));
    if (!bitmap)
        return false;
    memset(bitmap + st->crypto_capacity / 8, 0, (capacity - st->crypto_capacity) / 8);
    st->crypto_bitmap = bitmap;
    st->crypto_capacity = capacity;
    return true;
}

/* The length of the handshake message at the start of the stream, once its
 * four header bytes are there (0 before). */
uint32_t message_length(const quic_flow *st)
{
    if (st->crypto_prefix < 4)
        return 0;
    return ((uint32_t(st->crypto[1]) << 16) | (uint32_t(st->crypto[2]) << 8) | st->crypto[3]) + 4;
}

/* A piece of the CRYPTO stream at offset. Pieces come in any order, again
 * and overlapping: the first copy of each byte is the one kept (later
 * copies, the same bytes or others, are dropped), as the server's TLS stack
 * reads the stream. The ClientHello is whole when its bytes from 0 to its
 * declared length are all there; *message then covers it. */
hello crypto_frame(quic_flow *st, uint64_t offset, const uint8_t *data, size_t length, oxlo_reader *message)
{
    if (++st->crypto_frames > CRYPTO_FRAMES_MAX)
        return hello::bound;
    uint32_t declared = 0;
    oxlo_reader piece = oxlo_reader_make(data, length);
    /* The usual case: the whole hello in one frame, nothing kept before. */
    if (offset == 0 && !st->crypto_end && oxlo_rd_u24_at(&piece, 1, &declared) && size_t(declared) + 4 == length) {
        *message = piece;
        return hello::whole;
    }
    /* Bytes no hello within the bound can have are not kept. */
    if (offset >= HELLO_MAX || !length)
        return hello::incomplete;
    uint32_t end = uint32_t(offset + (length < HELLO_MAX - offset ? length : HELLO_MAX - offset));
    const uint32_t known = message_length(st);
    if (known && end > known)
        end = known;
    if (end <= offset)
        return hello::incomplete;
    if (!reserve_stream(st, end))
        return hello::bound; /* no memory: decided on what is known */
    for (uint32_t i = uint32_t(offset); i < end;) {
        /* Eight bytes of which none is kept yet go in at once. */
        if (i % 8 == 0 && end - i >= 8 && st->crypto_bitmap[i / 8] == 0) {
            memcpy(st->crypto + i, data + (i - offset), 8);
            st->crypto_bitmap[i / 8] = 0xff;
            i += 8;
            continue;
        }
        if (!has_byte(st, i)) {
            st->crypto[i] = data[i - offset];
            st->crypto_bitmap[i / 8] = uint8_t(st->crypto_bitmap[i / 8] | (1u << (i % 8)));
        }
        i++;
    }
    if (end > st->crypto_end)
        st->crypto_end = end;
    while (st->crypto_prefix < st->crypto_end) {
        if (st->crypto_prefix % 8 == 0 && st->crypto_end - st->crypto_prefix >= 8 &&
            st->crypto_bitmap[st->crypto_prefix / 8] == 0xff) {
            st->crypto_prefix += 8;
            continue;
        }
        if (!has_byte(st, st->crypto_prefix))
            break;
        st->crypto_prefix++;
    }
    const uint32_t total = message_length(st);
    if (!total)
        return hello::incomplete;
    if (total > HELLO_MAX)
        return hello::bound;
    if (st->crypto_prefix < total)
        return hello::incomplete;
    *message = oxlo_reader_make(st->crypto, total);
    return hello::whole;
}

/* IETF frames of an Initial: PADDING, PING, ACK and CRYPTO; any other frame
 * ends the scan of the packet. */
hello ietf_crypto(quic_flow *st, oxlo_reader r, oxlo_reader *message)
{
    while (oxlo_rd_left(&r)) {
        const uint8_t type = oxlo_rd_u8(&r);
        if (type == 0x00 || type == 0x01)
            continue;
        if (type == 0x02 || type == 0x03) {
            uint64_t largest = 0, delay = 0, ranges = 0, first = 0, v = 0;
            if (!varint(&r, &largest) || !varint(&r, &delay) || !varint(&r, &ranges) || !varint(&r, &first) ||
                ranges > oxlo_rd_left(&r))
                return hello::incomplete;
            for (uint64_t i = 0; i < 2 * ranges; i++)
                if (!varint(&r, &v))
                    return hello::incomplete;
            for (int i = 0; type == 0x03 && i < 3; i++)
                if (!varint(&r, &v))
                    return hello::incomplete;
            continue;
        }
        if (type != 0x06)
            return hello::incomplete;
        uint64_t offset = 0, length = 0;
        if (!varint(&r, &offset) || !varint(&r, &length) || length > oxlo_rd_left(&r))
            return hello::incomplete;
        const uint8_t *data = oxlo_rd_bytes(&r, size_t(length));
        const hello got = crypto_frame(st, offset, data, size_t(length), message);
        if (got != hello::incomplete)
            return got;
    }
    return hello::incomplete;
}

void skip_zeros(oxlo_reader *r)
{
    uint8_t b = 0;
    while (oxlo_rd_u8_at(r, r->pos, &b) && b == 0)
        r->pos++;
}

/* Q050, T050, T051: a CRYPTO frame of type 0x08 after zero padding. */
bool google_crypto_frame(oxlo_reader r, oxlo_reader *message)
{
    skip_zeros(&r);
    if (oxlo_rd_u8(&r) != 0x08 || oxlo_rd_left(&r) < 17)
        return false;
    uint64_t offset = 0, length = 0;
    if (!varint(&r, &offset) || !varint(&r, &length) || length > oxlo_rd_left(&r))
        return false;
    *message = oxlo_rd_field(&r, size_t(length));
    return !message->error;
}

/* Q024 to Q046 in the clear: a STREAM frame on stream 1 after padding and
 * an optional ACK or STOP_WAITING header. */
bool google_stream_frame(oxlo_reader r, unsigned number, oxlo_reader *message)
{
    skip_zeros(&r);
    uint8_t lead = 0;
    if (oxlo_rd_u8_at(&r, r.pos, &lead) && (lead == 0x40 || lead == 0x60)) {
        if (!oxlo_rd_skip(&r, lead == 0x40 ? 6 : 9) || !oxlo_rd_left(&r))
            return false;
    }
    uint8_t type = 0, stream = 0;
    if (!oxlo_rd_u8_at(&r, r.pos, &type) || (type != 0xa0 && type != 0xa4) ||
        !oxlo_rd_u8_at(&r, r.pos + 1, &stream) || stream != 1)
        return false;
    const size_t at = r.pos + (type == 0xa0 ? 2 : 4);
    uint16_t length = 0;
    if (!(number < 39 ? oxlo_rd_le16_at(&r, at, &length) : oxlo_rd_u16_at(&r, at, &length)))
        return false;
    *message = oxlo_rd_sub_at(&r, at + 2, length);
    return !message->error;
}

/* ---- CHLO (Google versions without TLS) ---- */

uint32_t tag(const char *t)
{
    return uint32_t(uint8_t(t[0])) | uint32_t(uint8_t(t[1])) << 8 | uint32_t(uint8_t(t[2])) << 16 |
           uint32_t(uint8_t(t[3])) << 24;
}

void chlo(oxlo_module *m, oxlo_flow_state *f, quic_flow *st, const oxlo_reader *msg)
{
    if (msg->length <= 5 || !oxlo_rd_match_n(msg, 0, "CHLO", 4, 0))
        return;
    uint16_t count = 0;
    oxlo_rd_le16_at(msg, 4, &count);
    bool host = false, lifetime = false;
    const size_t values = 8 + 8 * size_t(count);
    if (msg->length > 16 && oxlo_rd_has(msg, 8, 8 * size_t(count))) {
        uint32_t previous = 0;
        for (uint16_t i = 0; i < count && !(host && lifetime); i++) {
            uint32_t t = 0, end_offset = 0;
            oxlo_rd_le32_at(msg, 8 + 8 * size_t(i), &t);
            oxlo_rd_le32_at(msg, 12 + 8 * size_t(i), &end_offset);
            if (end_offset < previous)
                break;
            const oxlo_reader value = oxlo_rd_sub_at(msg, values + previous, end_offset - previous);
            if (value.error)
                break;
            previous = end_offset;
            if (t == tag("SNI") && !host && value.length) {
                host = true;
                const char *name = reinterpret_cast<const char *>(value.data);
                const char *stored = oxlo_flow_store_host_name(f, name, value.length, OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE);
                if (!oxlo_is_valid_dns_name(name, value.length)) {
                    oxlo_dissector_risk(m, f, OXLO_INVALID_CHARACTERS, "Invalid host %s", stored);
                    oxlo_dissector_risk(m, f, OXLO_POSSIBLE_EXPLOIT, "Suspicious hostname: attack ?");
                }
                if (m->cfg.quic_subclassification)
                    oxlo_host_name_classify(m, f, P_QUIC, stored, strlen(stored));
                oxlo_host_name_dga_test(m, f, stored, 1, 1, 0);
            } else if (t == tag("ICSL") && value.length >= 4) {
                lifetime = true;
                oxlo_rd_le32_at(&value, 0, &st->idle_lifetime);
            }
        }
    }
    if (!host)
        oxlo_dissector_risk(m, f, OXLO_TLS_MISSING_SNI, "SNI should be present all time: attack ?");
}

/* ---- hand-over to TLS ---- */

void hand_over(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader *message)
{
    oxlo_tls_flow *t = oxlo_tls_state(m, f, 1);
    if (!t)
        return;
    tls_process_hello(m, f, message, 1);
    t = oxlo_tls_state(m, f, 0);
    if (!t)
        return;
    t->hello_flags |= 0x01; /* client hello processed */
    t->version = 0x0304;
    if (t->alpn_offered && strncmp(t->alpn_offered, "doq", 3) == 0)
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_DOH_DOT, P_QUIC, OXLO_CONFIDENCE_DPI);
}

/* ---- the packet walk ---- */

enum class step { wait, end, done };

bool snapchat_call_rule(const oxlo_flow_state *f, const quic_flow *st)
{
    if (st->version != V1 || oxlo_flow_app_protocol(f) != OXLO_PROTOCOL_SNAPCHAT)
        return false;
    const char *host = oxlo_flow_host_name(f);
    const size_t n = strlen(host), k = sizeof(SNAPCHAT_SERVICE_DOMAIN) - 1;
    return n > k && strcmp(host + n - k, SNAPCHAT_SERVICE_DOMAIN) == 0;
}

int extra_read(oxlo_module *m, oxlo_flow_state *f);
int version_negotiation(oxlo_module *m, oxlo_flow_state *f);
int answer_wait(oxlo_module *m, oxlo_flow_state *f);

/* Versions whose server may answer a hello with a Retry (RFC 9000 section
 * 17.2.5) or a Version Negotiation, after which the client sends another. */
bool restartable(uint32_t v) { return v == V1 || v == V2 || is_draft(v) || is_mvfst_known(v); }

/* A server packet that turns the client's hello down for another: a
 * Version Negotiation, or a Retry of the flow's version. */
bool server_restart(const oxlo_reader *r, uint32_t version);

/* The first Retry or Version Negotiation is the one the client follows (it
 * ignores later ones): what it says of the Initials that come next. */
void note_restart(quic_flow *st, const oxlo_reader *r)
{
    if (st->restarted)
        return;
    st->restarted = 1;
    uint32_t v = 0;
    uint8_t dcid_length = 0;
    oxlo_rd_u32_at(r, 1, &v);
    if (v == 0) {
        st->refused_version = st->version;
        return;
    }
    oxlo_rd_u8_at(r, 5, &dcid_length);
    const size_t at = 6 + size_t(dcid_length);
    uint8_t n = 0;
    const uint8_t *scid = oxlo_rd_u8_at(r, at, &n) && n <= CID_MAX ? oxlo_rd_bytes_at(r, at + 1, n) : nullptr;
    if (scid) {
        memcpy(st->retry_scid, scid, n);
        st->retry_scid_length = n;
    }
}

/* The version of a packet that passes the Initial test, or false. */
bool initial_version(const oxlo_reader *r, uint8_t first, uint32_t *version)
{
    uint32_t v = 0;
    if (first & 0x80) {
        if (!oxlo_rd_u32_at(r, 1, &v))
            return false;
    } else if ((first & 0x08) && !(first & 0x40) && (first & 0x01)) {
        if (!oxlo_rd_u32_at(r, 9, &v))
            return false;
    } else {
        return false;
    }
    const unsigned g = is_q(v) ? google_number(v) : 0;
    const uint8_t type = first & 0x30;
    bool ok;
    if (g && g <= 43)
        ok = type == 0 && (first & 0x08);
    else if (v == Q046)
        ok = (first & 0x03) == 0x03 && type == 0;
    else if (v == Q050 || v == V1 || is_draft(v) || (v & 0xfffff000) == 0xfaceb000)
        ok = type == 0;
    else if (is_reserved(v))
        ok = type == 0 && (first & 0x40);
    else if (v == V2)
        ok = type == 0x10;
    else
        /* A version we do not know: every QUIC version sets the fixed bit,
         * RTP's first byte (version 2) never has it, so media of Initial size
         * is not taken for QUIC. */
        ok = (first & 0x40) != 0;
    if (!ok)
        return false;
    if (ietf_style(v)) {
        uint8_t dcid = 0, scid = 0;
        if (!oxlo_rd_u8_at(r, 5, &dcid) || dcid > CID_MAX || !oxlo_rd_u8_at(r, 6 + size_t(dcid), &scid) ||
            scid > CID_MAX)
            return false;
    }
    *version = v;
    return true;
}

/* The first flight is over without a whole ClientHello within the bounds:
 * QUIC, decided on what is known (no host name). */
step hello_bound(oxlo_module *m, oxlo_flow_state *f, quic_flow *st)
{
    classify(m, f, st, st->version);
    collect_stop(m, f, st);
    return step::done;
}

step collect_check(oxlo_module *m, oxlo_flow_state *f, quic_flow *st, const oxlo_packet_view &pkt)
{
    if (uint16_t(pkt.packets - st->collect_since) >= COLLECT_PACKETS)
        return hello_bound(m, f, st);
    return step::wait;
}

/* The hello is whole: the flow is QUIC and the TLS family (or the CHLO
 * reader) names the host. */
step hello_whole(oxlo_module *m, oxlo_flow_state *f, quic_flow *st, uint32_t v, const oxlo_reader *message)
{
    classify(m, f, st, v);
    if (ietf_style(v))
        hand_over(m, f, message);
    else
        chlo(m, f, st, message);
    collect_stop(m, f, st);
    if (st->awaiting)
        return step::done; /* a later hello: the server's answer is still awaited */
    if (restartable(v)) {
        const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
        st->awaiting = 1;
        st->answer_since_ms = pkt.time_ms;
        set_pending(m, f, st, true);
        oxlo_dissector_extra(f, answer_wait, ANSWER_PACKETS);
        return step::done;
    }
    if (snapchat_call_rule(f, st))
        oxlo_dissector_extra(f, extra_read, EXTRA_PACKETS);
    return step::done;
}

/* Google versions with a clear payload: one packet holds the CHLO. */
step clear_initial(oxlo_module *m, oxlo_flow_state *f, quic_flow *st, const oxlo_reader *r, uint32_t v, unsigned g)
{
    classify(m, f, st, v);
    oxlo_reader frames;
    if (v == Q046) {
        uint8_t b5 = 0;
        if (!oxlo_rd_u8_at(r, 5, &b5) || b5 != 'P')
            return step::end;
        frames = oxlo_rd_from(r, 30);
    } else {
        frames = oxlo_rd_from(r, g <= 33 ? 27 : 26);
    }
    oxlo_reader message = oxlo_reader_make(nullptr, 0);
    const bool found = google_stream_frame(frames, g, &message);
    if (found)
        chlo(m, f, st, &message);
    if (v == Q046 && !oxlo_flow_host_name(f)[0]) {
        oxlo_dissector_extra(f, extra_read, EXTRA_PACKETS);
        return step::done;
    }
    return found ? step::done : step::end;
}

/* A client datagram that starts with an Initial. Encrypted versions: every
 * long-header packet of the datagram is walked (each one's Length says
 * where the next begins; a short header, another version or bytes that are
 * no header end the walk), each Initial decrypted with the keys of its own
 * Destination Connection ID, and its CRYPTO frames added to the stream.
 * The flow is classified once the ClientHello is whole, or when a bound
 * ends the wait: before, a rule on the host name could not be applied. An
 * Initial that does not decrypt is skipped, as the server skips it. */
step initial(oxlo_module *m, oxlo_flow_state *f, quic_flow *st, const oxlo_packet_view &pkt, uint32_t v)
{
    const oxlo_reader *r = &pkt.payload;
    /* A version this dissector cannot read, like a reserved one, is QUIC,
     * but the server answers it with a Version Negotiation if it cannot
     * read it either, and the client's Initial of a version both speak
     * names the host: the flow waits for it a few packets. A server that
     * answers in that version ends the wait, with no name. While a hello
     * of a version read here is put together, such an Initial is only one
     * more packet of its first flight. */
    if (!supported(v) || is_reserved(v)) {
        if (st->collecting)
            return collect_check(m, f, st, pkt);
        classify(m, f, st, v);
        st->vn_expected = 1;
        st->vn_packets = 0;
        set_pending(m, f, st, true);
        oxlo_dissector_extra(f, version_negotiation, SKIP_MAX);
        return step::done;
    }
    const unsigned g = is_q(v) ? google_number(v) : 0;
    if ((g && g <= 43) || v == Q046)
        return clear_initial(m, f, st, r, v, g);

    collect_start(m, f, st, v, pkt.packets);
    size_t at = 0;
    for (unsigned n = 0; n < COALESCED_MAX && at < r->length; n++) {
        long_header h;
        if (!read_long_header(r, at, &h) || (n && (h.version != v || !(h.first & 0x40))))
            break;
        plaintext clear;
        if (h.type == 0 && initial_counts(st, h) && decrypt_initial(st, r, h, &clear)) {
            st->decrypted = 1;
            if (st->dcid_length != h.dcid_length || memcmp(st->dcid, h.dcid, h.dcid_length) != 0) {
                /* Another connection (the client's after a Retry) starts
                 * its CRYPTO stream over. */
                reassembly_free(st);
                memcpy(st->dcid, h.dcid, h.dcid_length);
                st->dcid_length = h.dcid_length;
            }
            const oxlo_reader frames = oxlo_reader_make(clear.data, clear.length);
            oxlo_reader message = oxlo_reader_make(nullptr, 0);
            hello got;
            if (v == Q050 || v == T050 || v == T051)
                got = google_crypto_frame(frames, &message) ? hello::whole : hello::incomplete;
            else
                got = ietf_crypto(st, frames, &message);
            if (got == hello::whole)
                return hello_whole(m, f, st, v, &message);
            if (got == hello::bound)
                return hello_bound(m, f, st);
        }
        if (h.type == 3)
            break;
        at = h.end;
    }
    return collect_check(m, f, st, pkt);
}

bool cids_inside(const oxlo_reader *r)
{
    uint8_t dcid = 0, scid = 0;
    return oxlo_rd_u8_at(r, 5, &dcid) && dcid <= CID_MAX && oxlo_rd_u8_at(r, 6 + size_t(dcid), &scid) &&
           scid <= CID_MAX && oxlo_rd_has(r, 7 + size_t(dcid), scid);
}

/* A packet before the first Initial the dissector can read, after 0-RTT
 * packets: a client may send those first (RFC 9000 section 12.2 lets it
 * coalesce them, the network may reorder datagrams, and a server may keep
 * them for the Initial that follows), so the flow waits for the Initial's
 * hello, up to SKIP_MAX packets; then it is QUIC of the 0-RTT's version. */
step skip(oxlo_module *m, oxlo_flow_state *f, quic_flow *st)
{
    if (++st->skipped <= SKIP_MAX) {
        set_pending(m, f, st, true);
        return step::wait;
    }
    classify(m, f, st, st->version);
    set_pending(m, f, st, st->collecting || st->awaiting);
    return step::done;
}

/* Packets that are no client Initial. */
step other(oxlo_module *m, oxlo_flow_state *f, quic_flow *st, const oxlo_packet_view &pkt)
{
    const oxlo_reader *r = &pkt.payload;
    const size_t length = r->length;
    uint8_t first = 0;
    oxlo_rd_u8_at(r, 0, &first);
    if (length >= 6) {
        uint32_t v = 0;
        oxlo_rd_u32_at(r, 1, &v);
        const bool long_fixed = (first & 0xc0) == 0xc0;
        const uint8_t type = first & 0x30;
        const bool zero_rtt = long_fixed && cids_inside(r) &&
                              (((v == V1 || is_draft(v) || (v & 0xfffff000) == 0xfaceb000 || is_reserved(v)) &&
                                type == 0x10) ||
                               (v == V2 && type == 0x20));
        if (zero_rtt) {
            if (!st->zero_rtt_seen)
                st->version = v;
            st->zero_rtt_seen = 1;
            return skip(m, f, st);
        }
    }
    if (st->zero_rtt_seen)
        return skip(m, f, st);
    if ((first & 0x40) && (pkt.dst_port == 443 || pkt.src_port == 443)) {
        if (pkt.dst_port == 443) {
            if (length <= 8)
                return step::end;
            uint8_t last = 0;
            const uint8_t *head = oxlo_rd_bytes_at(r, 1, 8);
            if (!head || !oxlo_rd_u8_at(r, length - 1, &last))
                return step::end;
            if (!st->short_stored) {
                memcpy(st->short_bytes, head, 8);
                st->short_last = last;
                st->short_stored = 1;
            } else if (memcmp(st->short_bytes, head, 8) != 0 || last == st->short_last) {
                return step::end;
            } else {
                st->short_last = last;
                if (++st->short_count >= 2) {
                    classify(m, f, st, 0);
                    return step::done;
                }
            }
        }
        return pkt.packets < 11 ? step::wait : step::end;
    }
    if (!(first & 0x40) && pkt.src_port == 443 && first == 0x08 && length >= 38) {
        const oxlo_reader head = oxlo_rd_upto(r, 35);
        const ptrdiff_t at = oxlo_rd_find_byte(&head, 22, 'R');
        if (at >= 0 && oxlo_rd_match(r, size_t(at), "REJ", 0)) {
            classify(m, f, st, 0);
            return step::done;
        }
    }
    return step::end;
}

step search(oxlo_module *m, oxlo_flow_state *f, quic_flow *st)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader *r = &pkt.payload;
    /* Servers pad their Initials too, but those are protected with the
     * server's keys: only the client's packets are read as Initials. While
     * the hello is awaited, other packets (the server's, the client's 0-RTT
     * or short headers) only count against the wait. */
    uint32_t version = 0;
    uint8_t first = 0;
    if (pkt.from_client && r->length >= INITIAL_MIN && oxlo_rd_u8_at(r, 0, &first) &&
        initial_version(r, first, &version))
        return initial(m, f, st, pkt, version);
    if (st->collecting) {
        /* Turned down before it was whole: the client's next Initials
         * carry the hello the server will read. */
        if (!pkt.from_client && server_restart(r, st->version))
            note_restart(st, r);
        return collect_check(m, f, st, pkt);
    }
    return other(m, f, st, pkt);
}

/* Up to 24 packets after classification: the rest of a hello that began
 * after a Version Negotiation, the CHLO of Q046, or the packet that marks a
 * Snapchat call. */
int extra_read(oxlo_module *m, oxlo_flow_state *f)
{
    quic_flow *st = state_of(m, f);
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!st)
        return 0;
    if (st->collecting) {
        search(m, f, st);
        /* A whole hello hands over to the wait for the server's answer. */
        return st->collecting || st->awaiting ? 1 : 0;
    }
    if (!pkt.payload.length)
        return 1;
    uint8_t first = 0;
    oxlo_rd_u8_at(&pkt.payload, 0, &first);
    if (first & 0x40)
        return 1;
    uint8_t second = 0;
    if (first >= 0x80 && first <= 0xbf && oxlo_rd_u8_at(&pkt.payload, 1, &second) &&
        (second == 200 || second == 201 || (second & 0x7f) <= 34 || (second & 0x7f) >= 96))
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_SNAPCHATCALL, P_QUIC, OXLO_CONFIDENCE_DPI);
    return 0;
}

bool server_restart(const oxlo_reader *r, uint32_t version)
{
    uint8_t first = 0;
    uint32_t v = 1;
    if (!oxlo_rd_u8_at(r, 0, &first) || !(first & 0x80) || !oxlo_rd_u32_at(r, 1, &v))
        return false;
    if (v == 0)
        return r->length > 10 && cids_inside(r);
    long_header h;
    return v == version && restartable(v) && read_long_header(r, 0, &h) && h.type == 3;
}

/* The Version Negotiation wait is over: the flow is decided on what it
 * showed, unless a hello is still being read. */
int vn_end(oxlo_module *m, oxlo_flow_state *f, quic_flow *st)
{
    st->vn_expected = 0;
    set_pending(m, f, st, st->collecting || st->awaiting);
    return 0;
}

/* Up to SKIP_MAX packets after an Initial of a reserved version or of one
 * this dissector cannot read: the server's Version Negotiation, the
 * client's resends of that Initial, then the client's Initial of a version
 * read here. */
int version_negotiation(oxlo_module *m, oxlo_flow_state *f)
{
    quic_flow *st = state_of(m, f);
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!st)
        return 0;
    const oxlo_reader *r = &pkt.payload;
    const bool last = ++st->vn_packets >= SKIP_MAX;
    if (!r->length)
        return last ? vn_end(m, f, st) : 1;
    if (!pkt.from_client) {
        uint32_t v = 1;
        uint8_t first = 0;
        if (r->length > 10 && oxlo_rd_u8_at(r, 0, &first) && (first & 0x80) && oxlo_rd_u32_at(r, 1, &v) && v == 0 &&
            cids_inside(r)) {
            st->vn_seen = 1;
            return last ? vn_end(m, f, st) : 1;
        }
        /* The server took the client's version: nothing more to read. */
        return vn_end(m, f, st);
    }
    uint32_t version = 0;
    uint8_t first = 0;
    if (r->length >= INITIAL_MIN && oxlo_rd_u8_at(r, 0, &first) && initial_version(r, first, &version) &&
        supported(version) && !is_reserved(version)) {
        st->vn_expected = 0;
        search(m, f, st);
        if (st->awaiting)
            return 1; /* the hello is whole: its answer is awaited */
        if (st->collecting) {
            /* The rest of a split hello follows. */
            oxlo_dissector_extra(f, extra_read, EXTRA_PACKETS);
            return 1;
        }
        set_pending(m, f, st, false);
        return 0;
    }
    /* Anything else of the client's (a resend of its first Initial, 0-RTT)
     * is skipped. */
    return last ? vn_end(m, f, st) : 1;
}

/* The server answered the hello (or stayed silent too long): the flow is
 * decided on every hello seen. */
int answer_end(oxlo_module *m, oxlo_flow_state *f, quic_flow *st)
{
    st->awaiting = 0;
    collect_stop(m, f, st);
    if (snapchat_call_rule(f, st)) {
        oxlo_dissector_extra(f, extra_read, EXTRA_PACKETS);
        return 1;
    }
    return 0;
}

/* After a whole hello, up to ANSWER_PACKETS packets: the server's answer.
 * A Retry or a Version Negotiation turns the hello down; the client's
 * Initials that follow (a Retry's with its Source Connection ID as their
 * Destination, whose keys they are protected with) are read for the hello
 * the server takes, each name of each hello kept for the rules. Any other
 * server packet is the answer. */
int answer_wait(oxlo_module *m, oxlo_flow_state *f)
{
    quic_flow *st = state_of(m, f);
    if (!st)
        return 0;
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader *r = &pkt.payload;
    if (pkt.time_ms > st->answer_since_ms + ANSWER_WAIT_MS)
        return answer_end(m, f, st);
    if (!r->length)
        return 1;
    if (!pkt.from_client) {
        if (server_restart(r, st->version)) {
            note_restart(st, r);
            return 1;
        }
        return answer_end(m, f, st);
    }
    uint32_t version = 0;
    uint8_t first = 0;
    if (st->restarted && r->length >= INITIAL_MIN && oxlo_rd_u8_at(r, 0, &first) &&
        initial_version(r, first, &version) && restartable(version))
        initial(m, f, st, pkt, version);
    return 1;
}

void quic_release(void *state)
{
    auto *st = static_cast<quic_flow *>(state);
    reassembly_free(st);
    protection_drop(st);
}

int quic_json(oxlo_module *m, const oxlo_flow_state *f, struct oxlo_recbuf *s)
{
    const quic_flow *st = static_cast<const quic_flow *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_quic));
    char label[32];
    quic_version_label(label, sizeof(label), st ? st->version : 0);
    if (oxlo_recbuf_open_block(s, "quic") != 0 || oxlo_recbuf_put_text(s, "quic_version", label) != 0 ||
        oxlo_flow_tls_serialize(m, s, f) != 0)
        return -1;
    return oxlo_recbuf_close_block(s) != 0 ? -1 : 0;
}

const uint16_t quic_protocols[] = {P_QUIC};

} // namespace

extern "C" {

void oxlo_search_quic(oxlo_module *module, oxlo_flow_state *flow)
{
    quic_flow *st = static_cast<quic_flow *>(oxlo_dissector_state(module, flow));
    if (!st) {
        OXLO_EXCLUDE(module, flow);
        return;
    }
    st->decrypted = 0;
    const step s = search(module, flow, st);
    if (s == step::end) {
        collect_stop(module, flow, st);
        end(module, flow);
    } else if (s == step::wait && st->collecting && st->decrypted) {
        /* The datagram is proof of QUIC (it decrypted) and holds a part of
         * the hello: no other dissector needs to look at it. Datagrams
         * without such proof (the server's, anything else the client
         * sends meanwhile) are still offered to every dissector. */
        oxlo_dissector_claim(module, flow);
    }
}

int quic_initial_shape(const uint8_t *payload, size_t length)
{
    if (!payload || length < INITIAL_MIN)
        return 0;
    const oxlo_reader r = oxlo_reader_make(payload, length);
    uint8_t first = 0, dcid_length = 0;
    uint32_t v = 0;
    if (!oxlo_rd_u8_at(&r, 0, &first) || !(first & 0x80) || !initial_version(&r, first, &v) || !supported(v) ||
        is_reserved(v) || v == Q046 || (is_q(v) && google_number(v) <= 43))
        return 0;
    return oxlo_rd_u8_at(&r, 5, &dcid_length) && dcid_length > 0 && dcid_length <= CID_MAX ? 1 : 0;
}

char *quic_version_label(char *buffer, size_t size, uint32_t version)
{
    if (!buffer || size < 2)
        return nullptr;
    const unsigned g = google_number(version);
    if (version == V1)
        snprintf(buffer, size, "V-1");
    else if (version == V2)
        snprintf(buffer, size, "V-2");
    else if (is_draft(version))
        snprintf(buffer, size, "Draft-%d", int(version & 0xff));
    else if (version == MVFST_22)
        snprintf(buffer, size, "MVFST-22");
    else if (version == MVFST_27)
        snprintf(buffer, size, "MVFST-27");
    else if (version == MVFST_EXP)
        snprintf(buffer, size, "MVFST-EXP");
    else if (g && google_supported(version))
        snprintf(buffer, size, "%c%c%c%c", char(version >> 24), char(version >> 16), char(version >> 8), char(version));
    else if (is_reserved(version))
        snprintf(buffer, size, "Ver-Negotiation");
    else
        snprintf(buffer, size, "Unknown (%04X)", version);
    return buffer;
}

unsigned quic_varint_extra_length(uint8_t first)
{
    static const unsigned extra[4] = {0, 1, 3, 7};
    return extra[first >> 6];
}

unsigned quic_varint_decode(const uint8_t *bytes, uint64_t *out)
{
    const unsigned n = 1 + quic_varint_extra_length(bytes[0]);
    uint64_t v = bytes[0] & 0x3f;
    for (unsigned i = 1; i < n; i++)
        v = (v << 8) | bytes[i];
    if (out)
        *out = v;
    return n;
}

int quic_version_has_varint_params(uint32_t version)
{
    if (version == T051)
        return 1;
    const bool family = version == V1 || is_draft(version) || (version & 0xfffff000) == 0xfaceb000 ||
                        is_reserved(version) || version == V2;
    return family && draft_equivalent(version) >= 27 ? 1 : 0;
}

int quic_initial_keys_derive(uint32_t version, const uint8_t *dcid, size_t dcid_length, quic_initial_keys *out)
{
    if (!out || (!dcid && dcid_length) || dcid_length > CID_MAX)
        return -1;
    crypto_md_handle *salted = salt_handle(salt_of(version));
    uint8_t initial_secret[32];
    const bool extracted = salted && mac(salted, dcid, dcid_length, initial_secret);
    if (salted)
        crypto_md_restart(salted); /* the salt stays, the message and result go */
    crypto_md_handle *md = nullptr;
    if (!extracted || crypto_md_open(&md, CRYPTO_MD_SHA256, CRYPTO_MD_FLAG_HMAC) != 0)
        return -1;
    const bool v2 = v2_labels(version);
    /* "client in" under the initial secret, and the three protection
     * values under the client secret, each key set once. */
    const bool ok = set_key(md, initial_secret, 32) && expand_label(md, "client in", out->secret, 32) &&
                    set_key(md, out->secret, 32) && expand_label(md, v2 ? "quicv2 hp" : "quic hp", out->hp, 16) &&
                    expand_label(md, v2 ? "quicv2 key" : "quic key", out->key, 16) &&
                    expand_label(md, v2 ? "quicv2 iv" : "quic iv", out->iv, 12);
    crypto_md_close(md);
    return ok ? 0 : -1;
}

const char *oxlo_flow_quic_version(const oxlo_flow_state *flow, char *buffer, size_t size)
{
    const quic_flow *st = flow ? static_cast<const quic_flow *>(oxlo_flow_slot_state(flow, OXLO_DISSECTOR_quic)) : nullptr;
    return st ? quic_version_label(buffer, size, st->version) : nullptr;
}

extern const oxlo_dissector_def oxlo_dissector_def_quic = {
    "QUIC",
    oxlo_search_quic,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    quic_protocols,
    1,
    sizeof(quic_flow),
    quic_release,
    quic_json,
};

} // extern "C"
