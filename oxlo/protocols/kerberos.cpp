/* Kerberos 5 on port 88, over UDP (one message per datagram) and TCP (each
 * message behind a 4-byte big-endian record length, read whole from the
 * stream when it spans segments). Every message is an application-tagged DER SEQUENCE
 * whose first fields are the protocol version 5 and the message type, both
 * small INTEGERs (03 02 01 x after their context tags). The dissector
 * classifies requests, ticket-granting replies, AP-REQ and KRB-ERROR, and
 * takes the client's realm and name from AS-REQ, TGS-REQ and TGS-REP:
 * a name ending in '$' is a machine account and goes to the host name. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "oxlo_serializer.h"
#include "oxlo_utils.h"
#include "protocols/framing.h"

#include <cstring>

namespace {

constexpr uint16_t PORT = 88;
constexpr uint32_t RECORD_MAX = 11999; /* longer records (and datagrams) are no Kerberos of ours */
constexpr size_t MIN_MESSAGE = 65;
constexpr uint8_t EXTRA_PACKETS = 5;
constexpr size_t NAME_SIZE = 48;

constexpr uint8_t AS_REQ = 10, TGS_REQ = 12, TGS_REP = 13, AP_REQ = 14, KRB_ERROR = 30;
constexpr uint8_t GENERAL_STRING = 0x1B;

struct krb_state {
    char host_name[NAME_SIZE], realm[NAME_SIZE], user_name[NAME_SIZE];
};

krb_state *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<krb_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_KERBEROS, 1));
}

const krb_state *find_state(const oxlo_flow_state *f)
{
    static const krb_state empty = {};
    const void *s = f ? oxlo_flow_slot_state(f, OXLO_DISSECTOR_kerberos) : nullptr;
    return s ? static_cast<const krb_state *>(s) : &empty;
}

/* Lower-cased, bytes outside 0x20..0x7E as '?', at most 47 characters. */
void copy_name(char *out, const oxlo_reader &name)
{
    size_t n = 0;
    for (; n < name.length && n < NAME_SIZE - 1; n++) {
        const uint8_t c = oxlo_rd_peek8(&name, n);
        out[n] = c < 0x20 || c > 0x7E ? '?' : char(oxlo_rd_lower(c));
    }
    out[n] = '\0';
}

/* A client name: "x$" of at most 47 characters (a machine account) is
 * host x, anything else a user. Each is kept once. */
void store_client_name(krb_state *s, const oxlo_reader &name)
{
    if (name.length == 0)
        return;
    if (oxlo_rd_peek8(&name, name.length - 1) == '$' && name.length < NAME_SIZE) {
        if (!s->host_name[0])
            copy_name(s->host_name, oxlo_rd_upto(&name, name.length - 1));
    } else if (!s->user_name[0]) {
        copy_name(s->user_name, name);
    }
}

/* ---- BER over the message, with a running offset ------------------------ */

/* A tag and its length at *pos: the content length, *pos moved to the
 * content; -1 when the tag is not `tag` or the content passes the end. */
int64_t read_tag(const oxlo_reader &r, size_t *pos, uint8_t tag)
{
    uint8_t t = 0;
    if (!oxlo_rd_u8_at(&r, *pos, &t) || t != tag)
        return -1;
    size_t used = 0;
    const int64_t n = oxlo_decode_ber_length(r.data + *pos + 1, r.length - *pos - 1, &used);
    if (n < 0 || !oxlo_rd_has(&r, *pos + 1 + used, size_t(n)))
        return -1;
    *pos += 1 + used;
    return n;
}

/* A context tag [0]..[2] (0xA0..0xA2). */
int64_t krb_read_tagged_length(const oxlo_reader &r, size_t *pos, uint8_t tag)
{
    return tag >= 0xA0 && tag <= 0xA2 ? read_tag(r, pos, tag) : -1;
}

/* A SEQUENCE or one of the context tags [3], [4] that hold one. */
int64_t krb_read_sequence(const oxlo_reader &r, size_t *pos, uint8_t tag)
{
    return tag == 0x30 || tag == 0xA3 || tag == 0xA4 ? read_tag(r, pos, tag) : -1;
}

/* An INTEGER of 1 to 4 bytes, big-endian; -1 otherwise. */
int64_t krb_read_integer(const oxlo_reader &r, size_t *pos)
{
    size_t p = *pos;
    const int64_t n = read_tag(r, &p, 0x02);
    if (n < 1 || n > 4)
        return -1;
    int64_t v = 0;
    for (int64_t i = 0; i < n; i++)
        v = v << 8 | oxlo_rd_peek8(&r, p + size_t(i));
    *pos = p + size_t(n);
    return v;
}

/* The text of a GeneralString at *pos (tag, length, bytes); *pos moves past
 * it. Empty (with ok false) when it is none or passes the end. */
oxlo_reader read_string(const oxlo_reader &r, size_t *pos, bool *ok)
{
    const int64_t n = read_tag(r, pos, GENERAL_STRING);
    *ok = n >= 0;
    if (n < 0)
        return oxlo_reader_make(nullptr, 0);
    const oxlo_reader s = oxlo_rd_sub_at(&r, *pos, size_t(n));
    *pos += size_t(n);
    return s;
}

/* The first GeneralString tag in [from, from + window), or -1. */
ptrdiff_t scan_string(const oxlo_reader &r, size_t from, size_t window)
{
    for (size_t i = 0; i < window && oxlo_rd_has(&r, from + i, 1); i++)
        if (oxlo_rd_peek8(&r, from + i) == GENERAL_STRING)
            return ptrdiff_t(from + i);
    return -1;
}

/* ---- messages ----------------------------------------------------------- */

/* The message type: the first "03 02 01 x" (an INTEGER of one byte behind a
 * context tag) with x other than the version 5, at 8..15 from the start;
 * without one, the byte where a message of the usual layout has it (19).
 * -1 when the message is too short for that. */
int message_type(const oxlo_reader &msg, size_t *after)
{
    size_t at = 16;
    for (size_t i = 8; i <= 15; i++) {
        uint8_t x = 0;
        if (oxlo_rd_match_n(&msg, i, "\x03\x02\x01", 3, 0) && oxlo_rd_u8_at(&msg, i + 3, &x) && x != 5) {
            at = i;
            break;
        }
    }
    uint8_t type = 0;
    if (!oxlo_rd_u8_at(&msg, at + 3, &type))
        return -1;
    *after = at + 4;
    return type;
}

/* AS-REQ and TGS-REQ: past the pre-authentication data comes the request
 * body; its KDC options (a 5-byte BIT STRING, "03 05 ...") lead to the
 * client's name (AS-REQ) and the realm. Every step stays inside the message. */
void read_request(krb_state *s, const oxlo_reader &msg, size_t pos, int type)
{
    uint8_t b = 0;
    if (oxlo_rd_u8_at(&msg, pos, &b) && b == 0xA3) { /* padata, skipped whole */
        const int64_t n = read_tag(msg, &pos, 0xA3);
        if (n < 0)
            return;
        pos += size_t(n);
    }
    size_t skipped = 0;
    while (skipped < 10 && oxlo_rd_u8_at(&msg, pos, &b) && b != 0x05) {
        pos++;
        skipped++;
    }
    if (!oxlo_rd_u8_at(&msg, pos, &b) || b != 0x05)
        return;
    bool ok = false;
    if (type == TGS_REQ) {
        const ptrdiff_t at = scan_string(msg, pos + 4, 14);
        size_t p = size_t(at);
        if (at >= 0) {
            const oxlo_reader realm = read_string(msg, &p, &ok);
            if (ok && !s->realm[0])
                copy_name(s->realm, realm);
        }
        return;
    }
    const ptrdiff_t at = scan_string(msg, pos + 13, 20);
    if (at < 0)
        return;
    size_t p = size_t(at);
    oxlo_reader name = read_string(msg, &p, &ok);
    if (!ok)
        return;
    /* A service-style name (host/ws01$) stands for its second part. */
    if ((oxlo_rd_equals(&name, "host", 0) || oxlo_rd_equals(&name, "ldap", 0)) &&
        oxlo_rd_u8_at(&msg, p, &b) && b == GENERAL_STRING) {
        const oxlo_reader second = read_string(msg, &p, &ok);
        if (!ok)
            return;
        name = second;
    }
    store_client_name(s, name);
    const ptrdiff_t r = scan_string(msg, p, 14);
    if (r < 0)
        return;
    p = size_t(r);
    const oxlo_reader realm = read_string(msg, &p, &ok);
    if (ok && !s->realm[0])
        copy_name(s->realm, realm);
}

/* TGS-REP: [APPLICATION 13] SEQUENCE { [0] pvno 5, [1] msg-type 13,
 * [2] padata OPTIONAL, [3] crealm, [4] cname SEQUENCE { [0] name-type,
 * [1] SEQUENCE OF GeneralString }, ... }. */
void read_tgs_rep(krb_state *s, const oxlo_reader &msg)
{
    size_t pos = 0;
    if (read_tag(msg, &pos, 0x6D) < 0 || krb_read_sequence(msg, &pos, 0x30) < 0)
        return;
    if (krb_read_tagged_length(msg, &pos, 0xA0) < 0 || krb_read_integer(msg, &pos) != 5)
        return;
    if (krb_read_tagged_length(msg, &pos, 0xA1) < 0 || krb_read_integer(msg, &pos) != TGS_REP)
        return;
    size_t p = pos;
    const int64_t padata = krb_read_tagged_length(msg, &p, 0xA2);
    if (padata >= 0)
        pos = p + size_t(padata);
    bool ok = false;
    if (krb_read_sequence(msg, &pos, 0xA3) < 0)
        return;
    const oxlo_reader realm = read_string(msg, &pos, &ok);
    if (!ok || realm.length < 3)
        return;
    if (!s->realm[0])
        copy_name(s->realm, realm);
    if (krb_read_sequence(msg, &pos, 0xA4) < 0 || krb_read_sequence(msg, &pos, 0x30) < 0)
        return;
    if (krb_read_tagged_length(msg, &pos, 0xA0) < 0 || krb_read_integer(msg, &pos) < 0)
        return;
    if (read_tag(msg, &pos, 0xA1) < 0 || krb_read_sequence(msg, &pos, 0x30) < 0)
        return;
    const oxlo_reader name = read_string(msg, &pos, &ok);
    if (ok)
        store_client_name(s, name);
}

int kerberos_extra_dissection(oxlo_module *m, oxlo_flow_state *f);

/* The message of the datagram, or of the record the stream view starts;
 * false when there is nothing to read now (a record is still cut: its rest
 * is asked for). *excluded tells a payload that is no Kerberos record. */
bool take_message(oxlo_module *m, oxlo_flow_state *f, krb_state *s, const oxlo_packet_view &pkt, oxlo_reader *msg,
                  bool *excluded)
{
    const oxlo_reader &p = pkt.payload;
    *excluded = false;
    if (pkt.l4 != OXLO_L4_TCP) {
        *excluded = p.length > RECORD_MAX;
        *msg = p;
        return !*excluded;
    }
    uint32_t n = 0;
    if (!oxlo_rd_u32_at(&p, 0, &n)) {
        oxlo_framing::wait_for(m, f, pkt, 4);
        return false;
    }
    if (n > RECORD_MAX) {
        *excluded = !s->realm[0];
        return false;
    }
    if (n > p.length - 4) {
        oxlo_framing::wait_for(m, f, pkt, uint64_t(n) + 4);
        return false; /* the stream keeps no more: nothing to read */
    }
    if (n != p.length - 4) {
        *excluded = true;
        return false;
    }
    *msg = oxlo_rd_from(&p, 4);
    return true;
}

/* One packet. in_extra: called from the follow-up routine, where giving up
 * ends the reading instead of excluding. */
void search(oxlo_module *m, oxlo_flow_state *f, krb_state *s, bool in_extra)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.src_port != PORT && pkt.dst_port != PORT) {
        if (!in_extra)
            OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_reader msg;
    bool excluded = false;
    if (!take_message(m, f, s, pkt, &msg, &excluded)) {
        if (excluded) {
            if (in_extra)
                oxlo_dissector_extra_end(f);
            else
                OXLO_EXCLUDE(m, f);
        }
        return;
    }
    /* The record length of TCP is not part of the message: the offsets
     * below count from the message's own start, the minimum size counts
     * the record length too. */
    size_t after = 0;
    const size_t record_header = pkt.l4 == OXLO_L4_TCP ? 4 : 0;
    const int type = msg.length + record_header >= MIN_MESSAGE ? message_type(msg, &after) : -1;
    const bool known = type == AS_REQ || type == TGS_REQ || type == TGS_REP || type == AP_REQ || type == KRB_ERROR;
    if (known && !f->app)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_KERBEROS, OXLO_PROTOCOL_UNKNOWN);
    if (type == AS_REQ) {
        read_request(s, msg, after, type);
        oxlo_dissector_extra(f, kerberos_extra_dissection, EXTRA_PACKETS);
    } else if (type == TGS_REQ) {
        read_request(s, msg, after, type);
        /* The reply names the client; over UDP too, where a flow not read
         * past its request would also count as one-sided. */
        oxlo_dissector_extra(f, kerberos_extra_dissection, EXTRA_PACKETS);
    } else {
        if (type == TGS_REP)
            read_tgs_rep(s, msg);
        if (known || in_extra)
            oxlo_dissector_extra_end(f);
    }
}

/* Reads the answers of a classified request. */
int kerberos_extra_dissection(oxlo_module *m, oxlo_flow_state *f)
{
    krb_state *s = state_of(m, f);
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!s)
        return 0;
    if (pkt.payload.length == 0 || pkt.retransmission)
        return 1;
    search(m, f, s, true);
    return oxlo_dissector_extra_active(f, kerberos_extra_dissection);
}

void oxlo_search_kerberos(oxlo_module *m, oxlo_flow_state *f)
{
    krb_state *s = state_of(m, f);
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    search(m, f, s, false);
}

int kerberos_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const krb_state *s = find_state(f);
    int rc = oxlo_recbuf_open_block(out, "kerberos");
    rc |= oxlo_recbuf_put_text(out, "hostname", s->host_name);
    rc |= oxlo_recbuf_put_text(out, "domain", s->realm);
    rc |= oxlo_recbuf_put_text(out, "username", s->user_name);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t kerberos_protocols[] = {OXLO_PROTOCOL_KERBEROS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_kerberos = {
    "Kerberos",
    oxlo_search_kerberos,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    kerberos_protocols,
    1,
    sizeof(krb_state),
    nullptr,
    kerberos_json,
};

} // extern "C"
