/* What a dissector needs from the engine, and nothing more: the payload of
 * the packet in process as a bounded reader, the packet's facts (ports,
 * direction, transport), the dissector's own per-flow state, and the three
 * ways a search routine ends (classify, exclude, wait). Built-in dissectors
 * and plug-ins write against this header, and include the id headers of what
 * they name: oxlo_protocol_ids.h for OXLO_PROTOCOL_*, oxlo_risk_ids.h for
 * the risks. Those change with every new protocol or risk, so only their
 * users are rebuilt then.
 *
 * A dissector is one file under oxlo/protocols/ that defines one
 * `oxlo_dissector_def` named `oxlo_dissector_def_<file>` and one row in
 * oxlo/protocols/oxlo_dissector_list.def. */
#ifndef OXLO_DISSECTOR_H
#define OXLO_DISSECTOR_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- the bounded reader ------------------------------------------------- */
/* A cursor over a byte range. Cursor reads advance `pos`; a read that would
 * pass the end returns 0 (or an empty result), leaves `pos` alone and sets
 * the sticky `error`, so a parser can read a whole header and test `error`
 * once. Reads at an offset (`_at`) leave the cursor alone and report a miss
 * by their result. Numbers come out in host order. Packet bytes are never
 * indexed by hand. */
typedef struct oxlo_reader {
    const uint8_t *data;
    size_t length;
    size_t pos;
    uint8_t error;
} oxlo_reader;

static inline oxlo_reader oxlo_reader_make(const void *data, size_t length)
{
    oxlo_reader r;
    r.data = (const uint8_t *)data;
    r.length = data ? length : 0;
    r.pos = 0;
    r.error = 0;
    return r;
}

/* 1 when [offset, offset + count) lies inside the range. */
static inline int oxlo_rd_has(const oxlo_reader *r, size_t offset, size_t count)
{
    return offset <= r->length && count <= r->length - offset;
}
static inline size_t oxlo_rd_left(const oxlo_reader *r) { return r->pos <= r->length ? r->length - r->pos : 0; }

/* -- reads at an offset: 1 when every byte was inside, output untouched otherwise -- */
static inline int oxlo_rd_u8_at(const oxlo_reader *r, size_t offset, uint8_t *out)
{
    if (!oxlo_rd_has(r, offset, 1))
        return 0;
    *out = r->data[offset];
    return 1;
}
static inline int oxlo_rd_u16_at(const oxlo_reader *r, size_t offset, uint16_t *out)
{
    if (!oxlo_rd_has(r, offset, 2))
        return 0;
    *out = (uint16_t)((r->data[offset] << 8) | r->data[offset + 1]);
    return 1;
}
static inline int oxlo_rd_u24_at(const oxlo_reader *r, size_t offset, uint32_t *out)
{
    if (!oxlo_rd_has(r, offset, 3))
        return 0;
    *out = ((uint32_t)r->data[offset] << 16) | ((uint32_t)r->data[offset + 1] << 8) | r->data[offset + 2];
    return 1;
}
static inline int oxlo_rd_u32_at(const oxlo_reader *r, size_t offset, uint32_t *out)
{
    if (!oxlo_rd_has(r, offset, 4))
        return 0;
    *out = ((uint32_t)r->data[offset] << 24) | ((uint32_t)r->data[offset + 1] << 16) |
           ((uint32_t)r->data[offset + 2] << 8) | r->data[offset + 3];
    return 1;
}
static inline int oxlo_rd_le16_at(const oxlo_reader *r, size_t offset, uint16_t *out)
{
    if (!oxlo_rd_has(r, offset, 2))
        return 0;
    *out = (uint16_t)(r->data[offset] | (r->data[offset + 1] << 8));
    return 1;
}
static inline int oxlo_rd_le24_at(const oxlo_reader *r, size_t offset, uint32_t *out)
{
    if (!oxlo_rd_has(r, offset, 3))
        return 0;
    *out = (uint32_t)r->data[offset] | ((uint32_t)r->data[offset + 1] << 8) | ((uint32_t)r->data[offset + 2] << 16);
    return 1;
}
static inline int oxlo_rd_le32_at(const oxlo_reader *r, size_t offset, uint32_t *out)
{
    if (!oxlo_rd_has(r, offset, 4))
        return 0;
    *out = (uint32_t)r->data[offset] | ((uint32_t)r->data[offset + 1] << 8) |
           ((uint32_t)r->data[offset + 2] << 16) | ((uint32_t)r->data[offset + 3] << 24);
    return 1;
}
/* -- peeks: the field's value at offset, or 0 when it is not all inside --
 * For parsers that test many fields of one message: a test on a missing
 * field simply fails. 16- and 24-bit fields come back as uint32_t and 32-bit
 * ones as uint64_t, so a sum such as "length + 16" cannot wrap. */
static inline uint8_t oxlo_rd_peek8(const oxlo_reader *r, size_t offset)
{
    uint8_t v = 0;
    oxlo_rd_u8_at(r, offset, &v);
    return v;
}
static inline uint32_t oxlo_rd_peek16(const oxlo_reader *r, size_t offset)
{
    uint16_t v = 0;
    oxlo_rd_u16_at(r, offset, &v);
    return v;
}
static inline uint32_t oxlo_rd_peek24(const oxlo_reader *r, size_t offset)
{
    uint32_t v = 0;
    oxlo_rd_u24_at(r, offset, &v);
    return v;
}
static inline uint64_t oxlo_rd_peek32(const oxlo_reader *r, size_t offset)
{
    uint32_t v = 0;
    oxlo_rd_u32_at(r, offset, &v);
    return v;
}
static inline uint32_t oxlo_rd_peekle16(const oxlo_reader *r, size_t offset)
{
    uint16_t v = 0;
    oxlo_rd_le16_at(r, offset, &v);
    return v;
}
static inline uint64_t oxlo_rd_peekle32(const oxlo_reader *r, size_t offset)
{
    uint32_t v = 0;
    oxlo_rd_le32_at(r, offset, &v);
    return v;
}
/* Pointer to count bytes at offset, or NULL when they do not all fit. */
static inline const uint8_t *oxlo_rd_bytes_at(const oxlo_reader *r, size_t offset, size_t count)
{
    return oxlo_rd_has(r, offset, count) ? r->data + offset : NULL;
}
/* The sub-range [offset, offset + count) as a reader of its own; empty (and
 * with its error set) when it does not fit. */
static inline oxlo_reader oxlo_rd_sub_at(const oxlo_reader *r, size_t offset, size_t count)
{
    if (oxlo_rd_has(r, offset, count))
        return oxlo_reader_make(r->data + offset, count);
    oxlo_reader empty = oxlo_reader_make(NULL, 0);
    empty.error = 1;
    return empty;
}

/* -- cursor reads: sticky error, 0 on a miss -- */
static inline int oxlo_rd_take(oxlo_reader *r, size_t count)
{
    if (r->error || !oxlo_rd_has(r, r->pos, count)) {
        r->error = 1;
        return 0;
    }
    return 1;
}
static inline uint8_t oxlo_rd_u8(oxlo_reader *r)
{
    if (!oxlo_rd_take(r, 1))
        return 0;
    return r->data[r->pos++];
}
static inline uint16_t oxlo_rd_be16(oxlo_reader *r)
{
    uint16_t v = 0;
    if (oxlo_rd_take(r, 2) && oxlo_rd_u16_at(r, r->pos, &v))
        r->pos += 2;
    return v;
}
static inline uint32_t oxlo_rd_be24(oxlo_reader *r)
{
    uint32_t v = 0;
    if (oxlo_rd_take(r, 3) && oxlo_rd_u24_at(r, r->pos, &v))
        r->pos += 3;
    return v;
}
static inline uint32_t oxlo_rd_be32(oxlo_reader *r)
{
    uint32_t v = 0;
    if (oxlo_rd_take(r, 4) && oxlo_rd_u32_at(r, r->pos, &v))
        r->pos += 4;
    return v;
}
static inline uint16_t oxlo_rd_le16(oxlo_reader *r)
{
    uint16_t v = 0;
    if (oxlo_rd_take(r, 2) && oxlo_rd_le16_at(r, r->pos, &v))
        r->pos += 2;
    return v;
}
static inline uint32_t oxlo_rd_le32(oxlo_reader *r)
{
    uint32_t v = 0;
    if (oxlo_rd_take(r, 4) && oxlo_rd_le32_at(r, r->pos, &v))
        r->pos += 4;
    return v;
}
static inline int oxlo_rd_skip(oxlo_reader *r, size_t count)
{
    if (!oxlo_rd_take(r, count))
        return 0;
    r->pos += count;
    return 1;
}
/* count bytes at the cursor (advanced past them), or NULL. */
static inline const uint8_t *oxlo_rd_bytes(oxlo_reader *r, size_t count)
{
    if (!oxlo_rd_take(r, count))
        return NULL;
    const uint8_t *p = r->data + r->pos;
    r->pos += count;
    return p;
}
/* The next count bytes as a reader of their own (the cursor moves past). */
static inline oxlo_reader oxlo_rd_field(oxlo_reader *r, size_t count)
{
    const uint8_t *p = oxlo_rd_bytes(r, count);
    if (p)
        return oxlo_reader_make(p, count);
    oxlo_reader empty = oxlo_reader_make(NULL, 0);
    empty.error = 1;
    return empty;
}
/* A field preceded by its length in one byte or two (big-endian). */
static inline oxlo_reader oxlo_rd_lp8(oxlo_reader *r)
{
    const uint8_t n = oxlo_rd_u8(r);
    return oxlo_rd_field(r, r->error ? 0 : n);
}
static inline oxlo_reader oxlo_rd_lp16(oxlo_reader *r)
{
    const uint16_t n = oxlo_rd_be16(r);
    return oxlo_rd_field(r, r->error ? 0 : n);
}

/* -- text helpers -- */
static inline uint8_t oxlo_rd_lower(uint8_t c) { return (uint8_t)(c >= 'A' && c <= 'Z' ? c + 32 : c); }
/* 1 when the `n` bytes of text lie at offset (case folded to ASCII lower case
 * on both sides when nocase). */
static inline int oxlo_rd_match_n(const oxlo_reader *r, size_t offset, const char *text, size_t n, int nocase)
{
    const uint8_t *b = oxlo_rd_bytes_at(r, offset, n);
    if (!b)
        return 0;
    for (size_t i = 0; i < n; i++)
        if (nocase ? oxlo_rd_lower(b[i]) != oxlo_rd_lower((uint8_t)text[i]) : b[i] != (uint8_t)text[i])
            return 0;
    return 1;
}
static inline int oxlo_rd_match(const oxlo_reader *r, size_t offset, const char *text, int nocase)
{
    return oxlo_rd_match_n(r, offset, text, strlen(text), nocase);
}
/* Offset of the first occurrence of text at or after `from`, or -1. */
static inline ptrdiff_t oxlo_rd_find(const oxlo_reader *r, size_t from, const char *text, int nocase)
{
    const size_t n = strlen(text);
    if (n == 0 || !oxlo_rd_has(r, from, n))
        return -1;
    if (!nocase) {
        /* The C library's search: dissectors look for several words in
         * every payload of a flow's first packets. */
        const void *p = memmem(r->data + from, r->length - from, text, n);
        return p ? (ptrdiff_t)((const uint8_t *)p - r->data) : -1;
    }
    for (size_t i = from; oxlo_rd_has(r, i, n); i++)
        if (oxlo_rd_match_n(r, i, text, n, nocase))
            return (ptrdiff_t)i;
    return -1;
}
/* Offset of the first byte c at or after `from`, or -1. */
static inline ptrdiff_t oxlo_rd_find_byte(const oxlo_reader *r, size_t from, uint8_t c)
{
    if (from >= r->length)
        return -1;
    const void *p = memchr(r->data + from, c, r->length - from);
    return p ? (ptrdiff_t)((const uint8_t *)p - r->data) : -1;
}
/* The next line at the cursor without its end ("\n" or "\r\n"); the cursor
 * moves past the end. 0 when no complete line is left (cursor unchanged,
 * no error: a line may end in the next packet). */
static inline int oxlo_rd_line(oxlo_reader *r, oxlo_reader *line)
{
    const ptrdiff_t nl = oxlo_rd_find_byte(r, r->pos, '\n');
    if (nl < 0)
        return 0;
    size_t end = (size_t)nl;
    if (end > r->pos && r->data[end - 1] == '\r')
        end--;
    *line = oxlo_reader_make(r->data + r->pos, end - r->pos);
    r->pos = (size_t)nl + 1;
    return 1;
}
/* A decimal number of 1 to max_digits digits at the cursor; 0 (error set)
 * without a digit. Stops at the first non-digit. */
static inline int oxlo_rd_number(oxlo_reader *r, unsigned max_digits, uint64_t *value)
{
    uint64_t v = 0;
    unsigned digits = 0;
    while (digits < max_digits && r->pos < r->length && r->data[r->pos] >= '0' && r->data[r->pos] <= '9') {
        v = v * 10 + (uint64_t)(r->data[r->pos] - '0');
        r->pos++;
        digits++;
    }
    if (!digits) {
        r->error = 1;
        return 0;
    }
    *value = v;
    return 1;
}
static inline int oxlo_rd_contains(const oxlo_reader *r, const char *text, int nocase)
{
    return oxlo_rd_find(r, 0, text, nocase) >= 0;
}
static inline int oxlo_rd_ends(const oxlo_reader *r, const char *text)
{
    const size_t n = strlen(text);
    return n <= r->length && oxlo_rd_match_n(r, r->length - n, text, n, 0);
}
/* The range from offset to its end, and its first count bytes (both empty
 * or cut, never past the end). */
static inline oxlo_reader oxlo_rd_from(const oxlo_reader *r, size_t offset)
{
    return offset <= r->length ? oxlo_reader_make(r->data + offset, r->length - offset) : oxlo_reader_make(NULL, 0);
}
static inline oxlo_reader oxlo_rd_upto(const oxlo_reader *r, size_t count)
{
    return oxlo_reader_make(r->data, count < r->length ? count : r->length);
}
/* Leading and trailing blanks (space and tab) left out. */
static inline oxlo_reader oxlo_rd_trim(const oxlo_reader *r)
{
    size_t a = 0, b = r->length;
    while (a < b && (r->data[a] == ' ' || r->data[a] == '\t'))
        a++;
    while (b > a && (r->data[b - 1] == ' ' || r->data[b - 1] == '\t'))
        b--;
    return oxlo_reader_make(r->data ? r->data + a : NULL, b - a);
}
/* 1 when the range equals text exactly (case folded when nocase). */
static inline int oxlo_rd_equals(const oxlo_reader *r, const char *text, int nocase)
{
    return strlen(text) == r->length && oxlo_rd_match_n(r, 0, text, r->length, nocase);
}
/* Copies the range as a NUL-terminated text into buf (cut to size - 1);
 * returns buf. */
static inline char *oxlo_rd_text(const oxlo_reader *r, char *buf, size_t size)
{
    if (!size)
        return buf;
    size_t n = r->length < size - 1 ? r->length : size - 1;
    if (n)
        memcpy(buf, r->data, n);
    buf[n] = '\0';
    return buf;
}

/* ---- the packet in process, as a dissector sees it ---------------------- */
#define OXLO_L4_TCP 6
#define OXLO_L4_UDP 17

typedef struct oxlo_packet_view {
    /* UDP and other transports: the datagram's payload. TCP: the calling
     * dissector's view of this direction's stream: the bytes it kept from
     * earlier packets (oxlo_dissector_need / oxlo_dissector_consume)
     * followed by the bytes this packet added in sequence order. */
    oxlo_reader payload;
    /* TCP: only the bytes this packet added in order (a segment that filled
     * a gap brings the held ones after it); the datagram otherwise. */
    oxlo_reader segment;
    uint32_t stream_offset;       /* TCP: offset of payload's first byte in the direction's stream */
    uint16_t src_port, dst_port;  /* host order; 0 for other IP protocols */
    uint8_t l4;                   /* OXLO_L4_TCP, OXLO_L4_UDP or the IP protocol number */
    uint8_t ipv6;
    uint8_t direction;            /* the packet's direction bit (0/1) */
    uint8_t from_client;          /* 1 when the packet goes from client to server */
    uint8_t tcp_flags;            /* 0 for UDP */
    uint8_t retransmission;
    uint32_t tcp_seq;             /* host order, 0 for UDP */
    uint16_t payload_packets;     /* packets of the flow that carried payload, this one included */
    uint16_t payload_packets_dir[2];
    uint16_t packets;             /* every packet of the flow so far */
    uint64_t time_ms;
} oxlo_packet_view;

/* Facts of the packet in process for the flow it belongs to. */
oxlo_packet_view oxlo_dissector_packet(const oxlo_module *module, const oxlo_flow_state *flow);

/* The packet's fixed IP header (version 4: its 20 bytes, 6: its 40), empty
 * when the packet has no header of that version. */
oxlo_reader oxlo_dissector_ip(const oxlo_module *module, int version);
/* Bytes after the transport header as the packet gave them (the IP
 * protocol's payload for transports other than TCP and UDP). */
uint16_t oxlo_dissector_l4_length(const oxlo_module *module);
/* TCP: the payload bytes the packet itself carries (its segment view may
 * hold more: held segments a gap-filler brought); 0 otherwise. */
uint16_t oxlo_dissector_tcp_own_length(const oxlo_module *module);
/* TCP: 1 when the last byte this packet added to its direction's stream
 * ended a segment with PSH set (the sender's write ended there; for held
 * segments a gap-filler brought, the last of them tells); 0 otherwise. */
int oxlo_dissector_tcp_pushed(const oxlo_module *module);
/* Points the packet in process at other bytes (a message carried inside
 * this one, for a call into another dissector's reader) and returns what it
 * pointed at; put that back the same way before returning. */
oxlo_reader oxlo_dissector_swap_payload(oxlo_module *module, oxlo_reader payload);
/* The packet's table of text lines (request line, headers) and their count,
 * as the payload line parser left them. */
struct oxlo_line_table;
const struct oxlo_line_table *oxlo_dissector_lines(const oxlo_module *module, uint16_t *count);
/* The table no longer describes the packet's payload (the routine parsed
 * other bytes into it): the next payload line parse reads the packet again. */
void oxlo_dissector_lines_forget(oxlo_module *module);

/* ---- registration ------------------------------------------------------- */
struct oxlo_recbuf;
/* Writes the dissector's block of flow to JSON; 0, or -1 on a serializer error. */
typedef int (*oxlo_json_block_fn)(oxlo_module *module, const oxlo_flow_state *flow, struct oxlo_recbuf *s);

typedef struct oxlo_dissector_def {
    const char *name;               /* display name, at most 15 characters */
    oxlo_dissector_callback search; /* the search routine */
    dissector_flow_mask selection;
    const uint16_t *protocols;      /* protocol ids it classifies, the first names it */
    uint8_t protocol_count;
    uint32_t state_size;            /* bytes of per-flow state (0: none) */
    void (*release)(void *state);   /* frees what the state owns, not the block; optional */
    oxlo_json_block_fn json_block;  /* its flow-to-JSON block; optional */
} oxlo_dissector_def;

/* Registers a dissector (plug-ins call this from their init; built-in ones
 * are registered from the list). 0 when registered or when its callback
 * replaced an earlier one, -1 otherwise, -2 on a bad argument. */
int oxlo_dissector_register(oxlo_module *module, const oxlo_dissector_def *def);

/* ---- inside a search routine -------------------------------------------- */
/* The calling dissector's index (its bit in the flow's excluded set). */
uint16_t oxlo_dissector_self(const oxlo_module *module);
/* The calling dissector's per-flow state, zeroed and allocated on first use;
 * NULL when it has none or memory ran out (the routine then excludes itself). */
void *oxlo_dissector_state(oxlo_module *module, oxlo_flow_state *flow);
/* The state of the dissector that registered protocol id, if the flow has
 * one (create: allocate it when missing). Lets a dissector hand a flow over
 * to another (STARTTLS to TLS, QUIC's decrypted hello to TLS). */
void *oxlo_dissector_state_of(oxlo_module *module, oxlo_flow_state *flow, uint16_t protocol_id, int create);
/* Classify: store the protocol pair found by inspection (confidence DPI). */
void oxlo_dissector_classify(oxlo_module *module, oxlo_flow_state *flow, uint16_t upper, uint16_t lower);
/* Give up on the flow for good; its state is freed once the routine returns.
 * Use OXLO_EXCLUDE so the debug trace names the place. */
void oxlo_dissector_exclude(oxlo_module *module, oxlo_flow_state *flow, const char *file, int line);
#define OXLO_EXCLUDE(module, flow) oxlo_dissector_exclude((module), (flow), __FILE__, __LINE__)
/* The same for the dissector that registered protocol_id (a routine that
 * also runs as another dissector's follow-up gives up in its own name);
 * nothing when no dissector registered it. Use OXLO_EXCLUDE_OTHER. */
void oxlo_dissector_exclude_other(oxlo_module *module, oxlo_flow_state *flow, uint16_t protocol_id, const char *file,
                                  int line);
#define OXLO_EXCLUDE_OTHER(module, flow, protocol_id) \
    oxlo_dissector_exclude_other((module), (flow), (protocol_id), __FILE__, __LINE__)
/* Wait: return without either call. */

/* Raise a risk with a message (printf format; cut to 255 characters), or
 * without one when format is NULL. Text read from the packet goes as an
 * argument ("%s", text), never as the format. */
void oxlo_dissector_risk(oxlo_module *module, oxlo_flow_state *flow, int risk, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
/* The same with a text made already (a user agent, a host name, a
 * certificate's names) as the message, whole and uncut, or none when text
 * is NULL. */
void oxlo_dissector_risk_text(oxlo_module *module, oxlo_flow_state *flow, int risk, const char *text);

/* ---- the TCP stream ------------------------------------------------------ */
/* Over TCP the engine reassembles each direction in sequence order before
 * dissection: a segment ahead of a gap is held (no dissector sees it) until
 * the gap is filled, bytes already delivered are never delivered again, and
 * overlapping bytes are resolved the way the receiving host resolves them.
 * A routine that has started a PDU it cannot finish yet asks for more: */

/* Keep this direction's view from its first byte not consumed in this call
 * and call the routine again for this direction only once the view holds at
 * least `total` bytes; the packets in between are not counted in the packet
 * counts it sees. 0 when kept; -1 when the stream bounds refuse (too large,
 * no memory, not TCP): nothing is kept and the routine decides now on what
 * it has. */
int oxlo_dissector_need(oxlo_module *module, oxlo_flow_state *flow, size_t total);
/* The first `count` bytes of this call's view are done with; the rest of the
 * view is kept and comes first in the next view of this direction (call
 * oxlo_dissector_need after it to wait for a given size). */
void oxlo_dissector_consume(oxlo_module *module, oxlo_flow_state *flow, size_t count);
/* The routine has started a message that may carry what a rule matches (a
 * host name) and cannot read it whole: too long for the stream to keep, or
 * for the routine's own buffer. The flow is then one whose stream could
 * not all be read (oxlo_flow_stream_incomplete): its callers judge it
 * without the name. */
void oxlo_dissector_unread(oxlo_module *module, oxlo_flow_state *flow);
/* On (1) or off (0): the flow, classified or not, still waits for facts a
 * rule can match (a host name, a server name); callers that ask
 * oxlo_flow_detection_pending keep feeding it packets. */
void oxlo_dissector_pending(oxlo_module *module, oxlo_flow_state *flow, int pending);

/* The packet is the calling dissector's: it has proof of its protocol in
 * it (an authenticated decryption, not a guess) and waits for more, so no
 * other dissector is offered this packet. */
void oxlo_dissector_claim(oxlo_module *module, oxlo_flow_state *flow);

/* Read the rest of a classified flow: the routine is called for up to
 * `packets` more packets until it returns 0. With routine NULL nothing is
 * called, but the budget is armed as for a fresh reading (a routine that
 * asks oxlo_dissector_extra_last before deciding to start one). */
typedef int (*oxlo_dissector_extra_fn)(oxlo_module *, oxlo_flow_state *);
void oxlo_dissector_extra(oxlo_flow_state *flow, oxlo_dissector_extra_fn routine, uint8_t packets);
/* The same, but the packets the follow-up has read so far keep counting
 * against the new budget (a message read inside the follow-up that sets it
 * again does not restart its count). */
void oxlo_dissector_extra_continue(oxlo_flow_state *flow, oxlo_dissector_extra_fn routine, uint8_t packets);
/* 1 when the flow reads in follow-up with that routine (NULL: with any). */
int oxlo_dissector_extra_active(const oxlo_flow_state *flow, oxlo_dissector_extra_fn routine);
/* 1 when the packet in process spends the follow-up's budget (the engine
 * ends the reading after it unless the flow is being monitored). */
int oxlo_dissector_extra_last(const oxlo_flow_state *flow);
/* Widens (delta > 0) or narrows the follow-up's budget, kept within 0..255. */
void oxlo_dissector_extra_grow(oxlo_flow_state *flow, int delta);
/* The follow-up's call read no new message: it only waited for the rest of
 * one the packet cut short (a line without its end), or read on in one it
 * had begun. The packet is not charged to the budget, which counts the
 * messages read, not the segments a sender cut them into. */
void oxlo_dissector_extra_uncharged(oxlo_module *module);
/* Ends the follow-up: its routine is not called again. */
void oxlo_dissector_extra_end(oxlo_flow_state *flow);

#ifdef __cplusplus
}
#endif

#endif
