/* Length-framed PDUs over TCP. A peer may write a PDU's length in a segment
 * of its own, spread the PDU over several segments or put several PDUs in
 * one; the stream view (oxlo_dissector_packet's payload) joins the bytes of
 * a direction in order, and these helpers ask the engine for the rest of a
 * PDU that the view starts but does not hold yet. Over UDP (and whenever the
 * stream bounds refuse) a routine decides on the bytes at hand, as before. */
#ifndef OXLO_PROTOCOLS_FRAMING_H
#define OXLO_PROTOCOLS_FRAMING_H

#include "oxlo_dissector.h"

namespace oxlo_framing {

/* The view starts a PDU of `total` bytes (header included) but holds fewer:
 * asks for the rest. true while waiting (the routine returns without a
 * verdict); false when the bytes are all here, over UDP, or when the engine
 * cannot keep that many, so the routine decides now. */
[[maybe_unused]] inline bool wait_for(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt,
                                      uint64_t total)
{
    return pkt.l4 == OXLO_L4_TCP && total > pkt.payload.length && total <= SIZE_MAX &&
           oxlo_dissector_need(m, f, size_t(total)) == 0;
}

constexpr uint8_t TCP_PSH = 0x08;

/* The view's PDUs end exactly where it ends. That proves no more than
 * that when the sender's write goes on (no PSH on the segment that ended
 * it; for held segments a gap-filler brought, the last of them): a view
 * asked for a PDU's exact size ends on it however the bytes behind it
 * read. Asks for the next PDU's `header` bytes too, so that they are
 * checked; true while waiting. (`lone`, one PDU in the view, no longer
 * changes the answer: the held segments' flags are known.) */
[[maybe_unused]] inline bool wait_behind(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt,
                                         size_t header, bool lone)
{
    (void)lone;
    if (pkt.l4 != OXLO_L4_TCP || oxlo_dissector_tcp_pushed(m))
        return false;
    return wait_for(m, f, pkt, uint64_t(pkt.payload.length) + header);
}

/* The view is shorter than `enough` bytes and so far the start of `magic`
 * (or holds it whole): asks for `enough` bytes from the view's start, so
 * that an opening a sender cut is judged whole. true while waiting. */
[[maybe_unused]] inline bool wait_magic(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt,
                                        const char *magic, size_t magic_length, uint64_t enough)
{
    const oxlo_reader &p = pkt.payload;
    if (!p.length || p.length >= enough)
        return false;
    const size_t n = p.length < magic_length ? p.length : magic_length;
    return oxlo_rd_match_n(&p, 0, magic, n, 0) && wait_for(m, f, pkt, enough);
}

/* The view is a strict prefix of the n bytes of `text` (a signature or a
 * preface a rule reads whole): asks for n bytes. true while waiting. */
[[maybe_unused]] inline bool wait_for_prefix(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt,
                                             const void *text, size_t n)
{
    const oxlo_reader &p = pkt.payload;
    return p.length > 0 && p.length < n && memcmp(p.data, text, p.length) == 0 && wait_for(m, f, pkt, n);
}

/* What a walk over the PDUs of a view found. */
enum walk_end : uint8_t {
    WALK_WHOLE, /* one or more PDUs ending exactly at the view's end */
    WALK_SHORT, /* every PDU so far was good, the last is cut: *total says how many bytes would finish it */
    WALK_BAD,   /* a PDU that is no PDU of the protocol */
    WALK_CAPPED, /* max_pdus good PDUs, but bytes follow the last: they prove nothing about the rest */
};

/* Walks the PDUs of p from offset 0. size(pdu) is called with the bytes from
 * a PDU's start to the view's end and returns the PDU's full size, 0 when
 * they are not a PDU's start, or -1 when they are a plausible start too
 * short to tell the size (fewer than `header` bytes): the walk then asks for
 * `header` bytes. *count gets the number of whole PDUs, *total the bytes a
 * cut PDU needs (from the view's start). At most `max_pdus` are walked; a
 * walk stopped there ends as whole only when the last of them ends the view
 * (any byte string is a chain of some protocols' PDUs for a while: a chain
 * cut off by the cap is no proof that the view is the protocol's). */
template <typename Size>
walk_end walk(const oxlo_reader &p, size_t header, unsigned max_pdus, Size size, unsigned *count, uint64_t *total)
{
    size_t off = 0;
    *count = 0;
    *total = 0;
    while (off < p.length && *count < max_pdus) {
        const oxlo_reader rest = oxlo_rd_from(&p, off);
        const int64_t n = size(rest);
        if (n == 0)
            return WALK_BAD;
        if (n < 0 || uint64_t(n) > rest.length) {
            *total = uint64_t(off) + (n < 0 ? header : uint64_t(n));
            return WALK_SHORT;
        }
        off += size_t(n);
        ++*count;
    }
    if (off < p.length)
        return WALK_CAPPED;
    return *count ? WALK_WHOLE : WALK_SHORT;
}

/* What the start of a view holds. */
enum first_end : uint8_t {
    FIRST_WHOLE,   /* a whole PDU (perhaps with more behind it) */
    FIRST_WAITING, /* a PDU's start, the rest asked for: the routine returns */
    FIRST_NONE,    /* no PDU's start, or one cut that the engine does not keep */
};

/* The first PDU of the view, sized as by walk(): whole in *pdu (cut from
 * what follows it), or its rest asked for. */
template <typename Size>
first_end first(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, size_t header, Size size,
                oxlo_reader *pdu)
{
    const oxlo_reader &p = pkt.payload;
    const int64_t n = size(p);
    if (n == 0)
        return FIRST_NONE;
    if (n < 0 || uint64_t(n) > p.length)
        return wait_for(m, f, pkt, n < 0 ? header : uint64_t(n)) ? FIRST_WAITING : FIRST_NONE;
    *pdu = oxlo_rd_upto(&p, size_t(n));
    return FIRST_WHOLE;
}

/* For a rule that tests one PDU against its length: the view's PDUs are
 * walked and must end at its end (as the rule's "length equals the payload"
 * asks of one), the first goes to *pdu; a cut last one is asked for while
 * the view is a strict prefix of it and the stream bounds hold. A walk that
 * meets a non-PDU, stops at its cap short of the view's end or cannot wait
 * gives FIRST_NONE: test the rule on the view as it is (its length is then
 * not the PDU's, and the rule excludes). size() should return 0 for a
 * header the rule refuses whatever follows (a type, flags or a length it
 * never accepts), so that text is not waited for. */
template <typename Size>
first_end whole(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, size_t header, unsigned max_pdus,
                Size size, oxlo_reader *pdu)
{
    unsigned count = 0;
    uint64_t total = 0;
    const walk_end end = walk(pkt.payload, header, max_pdus, size, &count, &total);
    if (end == WALK_SHORT && wait_for(m, f, pkt, total))
        return FIRST_WAITING;
    if (end == WALK_WHOLE && count < max_pdus && wait_behind(m, f, pkt, header, count == 1))
        return FIRST_WAITING;
    if (end != WALK_WHOLE)
        return FIRST_NONE;
    *pdu = oxlo_rd_upto(&pkt.payload, size_t(size(pkt.payload)));
    return FIRST_WHOLE;
}

/* Text lines over TCP. A line cut anywhere waits for its LF, bounded by
 * bytes (`max_line`), never by the number of segments: *lines gets the
 * view's whole lines (through its last LF) and the routine reads those.
 * A cut line behind them is kept for the next view; a view without any LF
 * waits when `plausible` says its bytes may start one of the protocol's
 * lines. true while waiting (the routine returns without a verdict). Over
 * UDP, past the bound or when the engine cannot keep the bytes, *lines is
 * the view as it is and the routine decides on it now. */
[[maybe_unused]] inline bool lines(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, size_t max_line,
                                   bool plausible, oxlo_reader *lines)
{
    const oxlo_reader &p = pkt.payload;
    *lines = p;
    if (pkt.l4 != OXLO_L4_TCP || !p.length)
        return false;
    size_t end = p.length;
    while (end > 0 && oxlo_rd_peek8(&p, end - 1) != '\n')
        end--;
    const size_t tail = p.length - end;
    if (!tail || tail >= max_line)
        return false;
    if (!end) {
        if (!plausible || oxlo_dissector_need(m, f, p.length + 1) != 0)
            return false;
        /* In a follow-up, the wait costs no packet of its budget. */
        oxlo_dissector_extra_uncharged(m);
        return true;
    }
    oxlo_dissector_consume(m, f, end);
    if (oxlo_dissector_need(m, f, tail + 1) == 0)
        *lines = oxlo_rd_upto(&p, end);
    return false;
}

/* The next line of r from *at (its LF included; the rest of r when no LF
 * ends it); false at r's end. */
[[maybe_unused]] inline bool next_line(const oxlo_reader &r, size_t *at, oxlo_reader *line)
{
    if (*at >= r.length)
        return false;
    const ptrdiff_t lf = oxlo_rd_find_byte(&r, *at, '\n');
    const size_t end = lf < 0 ? r.length : size_t(lf) + 1;
    *line = oxlo_rd_sub_at(&r, *at, end - *at);
    *at = end;
    return true;
}

/* Printable text, tabs and carriage returns: bytes that may start a line
 * of a text protocol worth waiting for. */
[[maybe_unused]] inline bool line_text(const oxlo_reader &p)
{
    for (size_t i = 0; i < p.length; i++) {
        const uint8_t c = oxlo_rd_peek8(&p, i);
        if ((c < 0x20 || c > 0x7E) && c != '\r' && c != '\t')
            return false;
    }
    return true;
}

/* Request and answer protocols read line by line: the lines one side
 * writes before the other side answers form one message, however many
 * segments carried them. true when lines of this view's direction start a
 * new message (the other side wrote last, or nobody did). */
struct turns {
    uint8_t last;   /* 0 none yet, else the direction + 1 of the last lines */
    uint16_t count; /* messages so far */
};
[[maybe_unused]] inline bool new_turn(turns *t, const oxlo_packet_view &pkt)
{
    if (t->last == pkt.direction + 1)
        return false;
    t->last = uint8_t(pkt.direction + 1);
    if (t->count < UINT16_MAX)
        t->count++;
    return true;
}

/* ISO transport over TCP: a TPKT is version 3, a reserved zero and a
 * 16-bit length covering its 4-byte header and the COTP TPDU. */
constexpr size_t TPKT_HEADER = 4;
[[maybe_unused]] inline int64_t tpkt_size(const oxlo_reader &r)
{
    uint8_t version = 0, reserved = 0;
    uint16_t length = 0;
    if ((oxlo_rd_u8_at(&r, 0, &version) && version != 3) || (oxlo_rd_u8_at(&r, 1, &reserved) && reserved != 0))
        return 0;
    if (!oxlo_rd_u16_at(&r, 2, &length))
        return -1;
    return length > TPKT_HEADER ? int64_t(length) : 0;
}

} // namespace oxlo_framing

#endif
