/* The TCP stream view: per flow and direction, the next byte expected, the
 * segments held until a gap is filled, and the bytes dissectors keep to read
 * a PDU that spans segments. The overlap policy and the bounds are stated in
 * oxlo_stream.h.
 *
 * Sequence numbers are compared modulo 2^32 (a signed difference), so a
 * stream that wraps past 0xFFFFFFFF reads on. Stream offsets are 32-bit too:
 * offset 0 is the first byte after the SYN (or the first byte seen when the
 * handshake was missed). */
#include "oxlo_stream.h"
#include "oxlo_log.h"
#include "oxlo_private.h"
#include "oxlo_risks.h"

#include <atomic>
#include <cstdio>
#include <cstring>

/* The module's byte count, shared with the flows that hold bytes: a flow
 * may be freed after its module. */
struct oxlo_stream_account {
    std::atomic<uint64_t> bytes;
    std::atomic<uint32_t> refs;
};

/* A held stretch of bytes ahead of the next expected one. Pieces of a
 * direction are disjoint and sorted; `orig`/`orig_end` are the bounds of
 * the segment the piece came from (the overlap policy decides by them). */
struct oxlo_stream_piece {
    oxlo_stream_piece *next;
    uint32_t seq;
    uint32_t len;
    uint32_t orig;
    uint32_t orig_end;
    uint8_t *data() { return reinterpret_cast<uint8_t *>(this + 1); }
};

struct oxlo_stream_dir {
    oxlo_stream_piece *held;
    uint32_t held_count;
    uint32_t held_bytes;
    uint64_t gap_since_ms;  /* when the current gap opened (or last shrank) */
    /* Kept bytes: stream offsets [start, start + length) at buf + head; they
     * reach up to the direction's end whenever a dissector keeps bytes. */
    uint8_t *buf;
    uint32_t head;
    uint32_t length;
    uint32_t capacity;
    uint32_t start;
    uint16_t keepers;       /* dissectors with an active keep in this direction */
};

/* One dissector's keep per direction, and its discount: the packets it was
 * not called for because it waited. */
struct oxlo_stream_keep {
    uint16_t dissector;
    uint8_t active[2];
    uint32_t start[2];      /* stream offset of its view's first byte */
    uint32_t need_end[2];   /* it is called again once the stream reaches this */
    uint16_t disc_payload;
    uint16_t disc_dir[2];
    uint16_t disc_packets;
};

struct oxlo_stream {
    oxlo_stream_account *account;
    oxlo_stream_dir dir[2];
    oxlo_stream_keep *keeps;
    uint16_t keep_count;
    uint16_t keep_capacity;
};

namespace {

constexpr uint8_t TH_SYN = 0x02, TH_ACK = 0x10, TH_URG = 0x20;
constexpr int RISK_TCP_ISSUES = 50;
constexpr uint8_t OVERLAP_RAISED = 0x04; /* flow->stream_state: risk raised once */

enum bound_kind { BOUND_BYTES, BOUND_SEGMENTS, BOUND_GAP, BOUND_MODULE, BOUND_IDLE, BOUND_MEMORY };

const char *bound_name(bound_kind k)
{
    switch (k) {
    case BOUND_BYTES:
        return "held and kept bytes";
    case BOUND_SEGMENTS:
        return "held segments";
    case BOUND_GAP:
        return "gap timeout";
    case BOUND_MODULE:
        return "module bytes";
    case BOUND_IDLE:
        return "segments bringing nothing";
    default:
        return "memory";
    }
}

bool before(uint32_t a, uint32_t b) { return int32_t(a - b) < 0; }
bool after(uint32_t a, uint32_t b) { return int32_t(a - b) > 0; }

/* The direction's end: stream offset of the next byte expected. */
uint32_t dir_end(const oxlo_flow_state *flow, uint8_t d) { return flow->tcp->next_seq[d] - flow->tcp->stream_base[d]; }

void account_add(oxlo_stream *s, uint32_t n)
{
    if (s->account)
        s->account->bytes.fetch_add(n, std::memory_order_relaxed);
}
void account_sub(oxlo_stream *s, uint32_t n)
{
    if (s->account)
        s->account->bytes.fetch_sub(n, std::memory_order_relaxed);
}
bool module_cap_allows(const oxlo_stream *s, uint32_t more)
{
    return !s->account || s->account->bytes.load(std::memory_order_relaxed) + more <= OXLO_STREAM_MODULE_BYTES;
}

void account_unref(oxlo_stream_account *a)
{
    if (a && a->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        a->~oxlo_stream_account();
        oxlo_heap_free(a);
    }
}

oxlo_stream *stream_of(oxlo_module *module, oxlo_flow_state *flow)
{
    /* The stream hangs off the flow's TCP block, next to the sequence
     * state its readers use. */
    if (!flow->tcp)
        return nullptr;
    if (flow->tcp->stream)
        return flow->tcp->stream;
    if (!module->det.stream_account && oxlo_stream_module_init(module) != 0)
        return nullptr;
    oxlo_stream *s = static_cast<oxlo_stream *>(oxlo_heap_calloc(1, sizeof(oxlo_stream)));
    if (!s)
        return nullptr;
    s->account = module->det.stream_account;
    s->account->refs.fetch_add(1, std::memory_order_relaxed);
    flow->tcp->stream = s;
    return s;
}

void free_piece(oxlo_stream *s, oxlo_stream_dir *dir, oxlo_stream_piece *p)
{
    dir->held_count--;
    dir->held_bytes -= p->len;
    account_sub(s, p->len);
    oxlo_heap_free(p);
}

void drop_held(oxlo_stream *s, oxlo_stream_dir *dir)
{
    while (oxlo_stream_piece *p = dir->held) {
        dir->held = p->next;
        free_piece(s, dir, p);
    }
    dir->gap_since_ms = 0;
}

void drop_buffer(oxlo_stream *s, oxlo_stream_dir *dir)
{
    account_sub(s, dir->length);
    oxlo_heap_free(dir->buf);
    dir->buf = nullptr;
    dir->head = dir->length = dir->capacity = 0;
}

oxlo_stream_keep *find_keep(const oxlo_stream *s, uint16_t dissector)
{
    for (uint16_t i = 0; s && i < s->keep_count; i++)
        if (s->keeps[i].dissector == dissector)
            return &s->keeps[i];
    return nullptr;
}

oxlo_stream_keep *make_keep(oxlo_module *module, oxlo_flow_state *flow, uint16_t dissector)
{
    oxlo_stream *s = stream_of(module, flow);
    if (!s)
        return nullptr;
    if (oxlo_stream_keep *k = find_keep(s, dissector))
        return k;
    if (s->keep_count == s->keep_capacity) {
        const uint16_t cap = uint16_t(s->keep_capacity ? s->keep_capacity * 2 : 4);
        void *grown = oxlo_heap_realloc(s->keeps, cap * sizeof(oxlo_stream_keep));
        if (!grown)
            return nullptr;
        s->keeps = static_cast<oxlo_stream_keep *>(grown);
        s->keep_capacity = cap;
    }
    oxlo_stream_keep *k = &s->keeps[s->keep_count++];
    memset(k, 0, sizeof(*k));
    k->dissector = dissector;
    return k;
}

/* Drops the kept bytes nobody needs any more: those before the earliest
 * active keep, or all of them. */
void trim_buffer(oxlo_stream *s, uint8_t d)
{
    oxlo_stream_dir *dir = &s->dir[d];
    if (!dir->keepers) {
        drop_buffer(s, dir);
        return;
    }
    bool any = false;
    uint32_t first = 0;
    for (uint16_t i = 0; i < s->keep_count; i++) {
        const oxlo_stream_keep *k = &s->keeps[i];
        if (k->active[d] && (!any || before(k->start[d], first))) {
            first = k->start[d];
            any = true;
        }
    }
    if (!any || !after(first, dir->start))
        return;
    uint32_t drop = first - dir->start;
    if (drop > dir->length)
        drop = dir->length;
    dir->head += drop;
    dir->length -= drop;
    dir->start = first;
    account_sub(s, drop);
    if (dir->length == 0)
        dir->head = 0;
}

void deactivate(oxlo_stream *s, oxlo_stream_keep *k, uint8_t d)
{
    if (!k->active[d])
        return;
    k->active[d] = 0;
    s->dir[d].keepers--;
    trim_buffer(s, d);
}

void log_bound(const oxlo_module *module, const oxlo_flow_state *flow, uint8_t d, bound_kind kind)
{
    if (module->cfg.log_level < 3)
        return;
    oxlo_log(module, OXLO_LOG_DEBUG, "[OXLO] TCP stream bound hit (%s): direction %u of %u <-> %u degrades\n", bound_name(kind), d,
           oxlo_swap16(flow->client_port), oxlo_swap16(flow->server_port));
}

void count_bound(oxlo_module *module, bound_kind kind)
{
    oxlo_stream_stats *st = &module->det.stream_stats;
    switch (kind) {
    case BOUND_BYTES:
        st->byte_cap_hits++;
        break;
    case BOUND_SEGMENTS:
        st->segment_cap_hits++;
        break;
    case BOUND_GAP:
        st->gap_timeouts++;
        break;
    case BOUND_MODULE:
        st->module_cap_hits++;
        break;
    case BOUND_IDLE:
        st->idle_packet_cap_hits++;
        break;
    case BOUND_MEMORY:
        st->memory_failures++;
        break;
    }
}

/* A bound was hit in direction d: what it holds and keeps goes, it delivers
 * segments as they come from now on, and no dissector waits in it. */
void degrade(oxlo_module *module, oxlo_flow_state *flow, uint8_t d, bound_kind kind, bool count = true)
{
    if (count) {
        count_bound(module, kind);
        log_bound(module, flow, d, kind);
    }
    flow->tcp->stream_flags[d] |= OXLO_STREAM_DEGRADED;
    flow->stream_state |= OXLO_STREAM_BOUND_HIT;
    oxlo_stream *s = oxlo_flow_stream(flow);
    if (!s)
        return;
    drop_held(s, &s->dir[d]);
    for (uint16_t i = 0; i < s->keep_count; i++)
        if (s->keeps[i].active[d]) {
            s->keeps[i].active[d] = 0;
            s->dir[d].keepers--;
        }
    drop_buffer(s, &s->dir[d]);
}

/* Room for n more kept bytes at the end of the direction's buffer. */
bool buffer_room(oxlo_stream *s, oxlo_stream_dir *dir, uint32_t n)
{
    if (dir->head + dir->length + n <= dir->capacity)
        return true;
    if (dir->length + n <= dir->capacity) {
        memmove(dir->buf, dir->buf + dir->head, dir->length);
        dir->head = 0;
        return true;
    }
    uint32_t cap = dir->capacity ? dir->capacity * 2 : 512;
    while (cap < dir->length + n)
        cap *= 2;
    uint8_t *grown = static_cast<uint8_t *>(oxlo_heap_alloc(cap));
    if (!grown)
        return false;
    if (dir->length)
        memcpy(grown, dir->buf + dir->head, dir->length);
    oxlo_heap_free(dir->buf);
    dir->buf = grown;
    dir->head = 0;
    dir->capacity = cap;
    (void)s;
    return true;
}

/* Checks the byte bounds for n more bytes of direction d; degrades and
 * returns false when one would be passed. */
bool bytes_allowed(oxlo_module *module, oxlo_flow_state *flow, uint8_t d, uint32_t n)
{
    oxlo_stream *s = oxlo_flow_stream(flow);
    const oxlo_stream_dir *dir = &s->dir[d];
    if (uint64_t(dir->held_bytes) + dir->length + n > OXLO_STREAM_DIR_BYTES) {
        degrade(module, flow, d, BOUND_BYTES);
        return false;
    }
    if (!module_cap_allows(s, n)) {
        degrade(module, flow, d, BOUND_MODULE);
        return false;
    }
    return true;
}

/* Appends n delivered bytes (stream offset `offset`) to the kept bytes. */
bool buffer_append(oxlo_module *module, oxlo_flow_state *flow, uint8_t d, const uint8_t *p, uint32_t n,
                   uint32_t offset)
{
    oxlo_stream *s = oxlo_flow_stream(flow);
    oxlo_stream_dir *dir = &s->dir[d];
    if (dir->length == 0)
        dir->start = offset;
    if (n == 0)
        return true;
    if (!bytes_allowed(module, flow, d, n))
        return false;
    if (!buffer_room(s, dir, n)) {
        degrade(module, flow, d, BOUND_MEMORY);
        return false;
    }
    memcpy(dir->buf + dir->head + dir->length, p, n);
    dir->length += n;
    account_add(s, n);
    return true;
}

/* Puts n bytes before the kept ones (a dissector keeps from further back
 * in this packet's bytes than the one that kept first). */
bool buffer_prepend(oxlo_module *module, oxlo_flow_state *flow, uint8_t d, const uint8_t *p, uint32_t n)
{
    oxlo_stream *s = oxlo_flow_stream(flow);
    oxlo_stream_dir *dir = &s->dir[d];
    if (!bytes_allowed(module, flow, d, n))
        return false;
    if (dir->head >= n) {
        dir->head -= n;
    } else {
        const uint32_t cap = dir->capacity >= dir->length + n ? dir->capacity : (dir->length + n) * 2;
        uint8_t *fresh = static_cast<uint8_t *>(oxlo_heap_alloc(cap));
        if (!fresh) {
            degrade(module, flow, d, BOUND_MEMORY);
            return false;
        }
        memcpy(fresh + n, dir->buf + dir->head, dir->length);
        oxlo_heap_free(dir->buf);
        dir->buf = fresh;
        dir->head = 0;
        dir->capacity = cap;
    }
    memcpy(dir->buf + dir->head, p, n);
    dir->length += n;
    dir->start -= n;
    account_add(s, n);
    return true;
}

void raise_overlap(oxlo_module *module, oxlo_flow_state *flow)
{
    module->det.stream_stats.overlaps_differing++;
    if (flow->stream_state & OVERLAP_RAISED)
        return;
    flow->stream_state |= OVERLAP_RAISED;
    oxlo_flow_risk_raise(module, flow, RISK_TCP_ISSUES, "TCP segments overlap with different data");
}

bool waiting_or_pending(const oxlo_flow_state *flow)
{
    return (flow->stream_state & OXLO_STREAM_PENDING) || oxlo_stream_waiting(flow);
}

/* A segment with payload that brought nothing new. */
void idle_segment(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!waiting_or_pending(flow))
        return;
    if (flow->tcp->stream_idle_packets < 0xFFFF)
        flow->tcp->stream_idle_packets++;
    const uint8_t *fl = flow->tcp->stream_flags;
    if (flow->tcp->stream_idle_packets > OXLO_STREAM_IDLE_PACKETS && !(fl[0] & fl[1] & OXLO_STREAM_DEGRADED)) {
        count_bound(module, BOUND_IDLE);
        log_bound(module, flow, module->det.packet.direction, BOUND_IDLE);
        degrade(module, flow, 0, BOUND_IDLE, false);
        degrade(module, flow, 1, BOUND_IDLE, false);
    }
}

/* A SYN-ACK from d^1 acknowledges direction o's SYN: the receiver keeps
 * that ISN, whatever other SYN the engine saw since. Bytes a SYN carried are
 * not delivered (a receiver without a Fast Open cookie discards them); when
 * the peer acknowledged them anyway they were taken and never read, so the
 * direction degrades rather than being decided on what follows them. */
void syn_acknowledged(oxlo_module *module, oxlo_flow_state *flow, uint8_t o, uint32_t ack)
{
    oxlo_flow_tcp *t = flow->tcp;
    uint8_t *fo = &t->stream_flags[o];
    if (!(*fo & OXLO_STREAM_KNOWN)) {
        t->stream_base[o] = t->next_seq[o] = ack;
        *fo |= OXLO_STREAM_KNOWN;
    } else if (!(*fo & OXLO_STREAM_ISN_ACKED) && t->next_seq[o] == t->stream_base[o] && ack != t->stream_base[o]) {
        const uint32_t taken = ack - t->stream_base[o];
        if ((*fo & OXLO_STREAM_SYN_DATA) && after(ack, t->stream_base[o]) && taken <= 0xFFFFu) {
            t->next_seq[o] = ack;
            degrade(module, flow, o, BOUND_BYTES, false);
            oxlo_flow_risk_raise(module, flow, RISK_TCP_ISSUES, "SYN data acknowledged but not read");
        } else {
            /* The peer answers another SYN than the last one seen. */
            t->stream_base[o] = t->next_seq[o] = ack;
            oxlo_flow_risk_raise(module, flow, RISK_TCP_ISSUES, "SYN-ACK for another ISN than the SYN's");
        }
    }
    *fo |= OXLO_STREAM_ISN_ACKED;
}

/* The window-scale shift of a SYN's options (none: no option). */
void syn_options(const oxlo_packet_state *pkt, oxlo_flow_state *flow, uint8_t d)
{
    const uint8_t *tcp = pkt->tcp;
    const uint32_t hl = uint32_t(tcp[12] >> 4) * 4;
    flow->tcp->stream_flags[d] &= uint8_t(~OXLO_STREAM_WSCALE);
    for (uint32_t i = 20; i < hl;) {
        const uint8_t kind = tcp[i];
        if (kind == 0)
            break;
        if (kind == 1) {
            i++;
            continue;
        }
        if (i + 1 >= hl)
            break;
        const uint8_t len = tcp[i + 1];
        if (len < 2 || i + len > hl)
            break;
        if (kind == 3 && len == 3) {
            flow->tcp->stream_flags[d] |= OXLO_STREAM_WSCALE;
            flow->tcp->stream_wscale[d] = tcp[i + 2] > 14 ? 14 : tcp[i + 2];
        }
        i += len;
    }
}

/* This packet's ACK and window set the right edge of the window its sender
 * offers for direction o's bytes; only once both SYNs were seen, when the
 * scaling is known. The edge never moves back, as a receiver never shrinks
 * its window. */
void window_edge(oxlo_flow_state *flow, uint8_t sender, uint32_t ack, uint16_t raw, bool syn)
{
    uint8_t *fl = flow->tcp->stream_flags;
    if (!(fl[0] & OXLO_STREAM_SYN_SEEN) || !(fl[1] & OXLO_STREAM_SYN_SEEN))
        return;
    uint32_t window = raw;
    if (!syn && (fl[0] & OXLO_STREAM_WSCALE) && (fl[1] & OXLO_STREAM_WSCALE))
        window <<= flow->tcp->stream_wscale[sender];
    const uint8_t o = uint8_t(1 - sender);
    const uint32_t edge = ack + window;
    if (!(fl[o] & OXLO_STREAM_EDGE) || after(edge, flow->tcp->stream_edge[o])) {
        flow->tcp->stream_edge[o] = edge;
        fl[o] |= OXLO_STREAM_EDGE;
    }
}

/* Held bytes of direction d start at or before its next expected byte. */
bool ready_held(const oxlo_flow_state *flow, uint8_t d)
{
    const oxlo_stream *s = oxlo_flow_stream(flow);
    return s && s->dir[d].held && !after(s->dir[d].held->seq, flow->tcp->next_seq[d]);
}

void gap_timeouts(oxlo_module *module, oxlo_flow_state *flow)
{
    const uint64_t now = module->det.packet.time_ms;
    for (uint8_t d = 0; d < 2; d++) {
        const oxlo_stream_dir *dir = &flow->tcp->stream->dir[d];
        if (dir->held && now > dir->gap_since_ms && now - dir->gap_since_ms > OXLO_STREAM_GAP_TIMEOUT_MS)
            degrade(module, flow, d, BOUND_GAP);
    }
}

/* Appends to the delivered bytes the held pieces the stream now reaches, in
 * the module's scratch buffer; the delivered bytes win where a piece
 * overlaps them. */
void join_held(oxlo_module *module, oxlo_flow_state *flow, uint8_t d)
{
    oxlo_packet_state *pkt = &module->det.packet;
    oxlo_stream *s = oxlo_flow_stream(flow);
    oxlo_stream_dir *dir = &s->dir[d];
    if (!dir->held || after(dir->held->seq, flow->tcp->next_seq[d]))
        return;
    if (!module->det.stream_scratch) {
        module->det.stream_scratch = static_cast<uint8_t *>(oxlo_heap_alloc(OXLO_STREAM_JOIN_MAX));
        if (!module->det.stream_scratch) {
            degrade(module, flow, d, BOUND_MEMORY);
            return;
        }
    }
    uint8_t *out = module->det.stream_scratch;
    uint32_t total = pkt->payload_length;
    if (total)
        memmove(out, pkt->payload, total);
    const uint32_t first_seq = module->det.stream_seq;
    while (oxlo_stream_piece *h = dir->held) {
        if (after(h->seq, flow->tcp->next_seq[d]))
            break;
        const uint32_t over = flow->tcp->next_seq[d] - h->seq;
        /* Bytes of the piece the delivered ones already cover: compare. */
        const uint32_t from = h->seq - first_seq;
        if (!before(h->seq, first_seq) && from < total) {
            const uint32_t n = over < h->len ? over : h->len;
            if (n && memcmp(out + from, h->data(), n) != 0)
                raise_overlap(module, flow);
        }
        if (over >= h->len) {
            dir->held = h->next;
            free_piece(s, dir, h);
            continue;
        }
        uint32_t take = h->len - over;
        if (total + take > OXLO_STREAM_JOIN_MAX) {
            take = OXLO_STREAM_JOIN_MAX - total;
            if (take) {
                memcpy(out + total, h->data() + over, take);
                total += take;
                flow->tcp->next_seq[d] += take;
            }
            const uint32_t cut = over + take;
            memmove(h->data(), h->data() + cut, h->len - cut);
            h->seq += cut;
            h->len -= cut;
            dir->held_bytes -= cut;
            account_sub(s, cut);
            break;
        }
        memcpy(out + total, h->data() + over, take);
        total += take;
        flow->tcp->next_seq[d] += take;
        dir->held = h->next;
        free_piece(s, dir, h);
    }
    dir->gap_since_ms = dir->held ? pkt->time_ms : 0;
    pkt->payload = out;
    pkt->payload_length = uint16_t(total);
}

/* Delivers n bytes at the next expected sequence number (n may be 0 when
 * only held pieces are ready), then what they make ready, and appends the
 * lot to the kept bytes when a dissector keeps bytes in the direction. */
void deliver(oxlo_module *module, oxlo_flow_state *flow, uint8_t d, const uint8_t *p, uint32_t n)
{
    oxlo_packet_state *pkt = &module->det.packet;
    module->det.stream_seq = flow->tcp->next_seq[d];
    module->det.stream_offset = dir_end(flow, d);
    flow->tcp->next_seq[d] += n;
    pkt->payload = p;
    pkt->payload_length = uint16_t(n);
    oxlo_stream *s = oxlo_flow_stream(flow);
    if (!s)
        return;
    if (s->dir[d].held)
        join_held(module, flow, d);
    if (s->dir[d].keepers && !(flow->tcp->stream_flags[d] & OXLO_STREAM_DEGRADED))
        buffer_append(module, flow, d, pkt->payload, pkt->payload_length, module->det.stream_offset);
}

/* Holds a segment [start, start + len) ahead of the next expected byte.
 * 1 when something new was held, 0 when every byte of it was held already,
 * -1 when a bound was hit (the direction has degraded). */
int hold(oxlo_module *module, oxlo_flow_state *flow, uint8_t d, uint32_t start, const uint8_t *data, uint32_t len)
{
    oxlo_stream *s = stream_of(module, flow);
    if (!s) {
        degrade(module, flow, d, BOUND_MEMORY);
        return -1;
    }
    oxlo_stream_dir *dir = &s->dir[d];
    const uint32_t end = start + len;

    /* The held pieces this one overlaps: compare the shared bytes, then let
     * the newcomer take those it wins (it starts earlier, or as early and
     * ends later). A piece it wins starts at or after its start, so it loses
     * its front or goes whole. */
    for (oxlo_stream_piece **link = &dir->held; *link;) {
        oxlo_stream_piece *h = *link;
        const uint32_t h_end = h->seq + h->len;
        if (!after(h_end, start)) {
            link = &h->next;
            continue;
        }
        if (!before(h->seq, end))
            break;
        const uint32_t a = after(h->seq, start) ? h->seq : start;
        const uint32_t b = before(h_end, end) ? h_end : end;
        if (memcmp(data + (a - start), h->data() + (a - h->seq), b - a) != 0)
            raise_overlap(module, flow);
        const bool newcomer_wins =
            before(start, h->orig) || (start == h->orig && after(end, h->orig_end));
        if (!newcomer_wins) {
            link = &h->next;
            continue;
        }
        if (!after(h_end, end)) {
            *link = h->next;
            free_piece(s, dir, h);
            continue;
        }
        const uint32_t cut = end - h->seq;
        memmove(h->data(), h->data() + cut, h->len - cut);
        h->seq = end;
        h->len -= cut;
        dir->held_bytes -= cut;
        account_sub(s, cut);
        break;
    }

    /* What is left of the newcomer: the stretches no held piece covers. */
    uint32_t pieces = 0, bytes = 0;
    {
        uint32_t c = start;
        const oxlo_stream_piece *h = dir->held;
        while (before(c, end)) {
            while (h && !after(h->seq + h->len, c))
                h = h->next;
            const uint32_t gap_end = h && before(h->seq, end) ? h->seq : end;
            if (before(c, gap_end)) {
                pieces++;
                bytes += gap_end - c;
            }
            if (!h || !before(h->seq, end))
                break;
            c = h->seq + h->len;
            h = h->next;
        }
    }
    if (pieces == 0)
        return 0;
    if (dir->held_count + pieces > OXLO_STREAM_DIR_SEGMENTS) {
        degrade(module, flow, d, BOUND_SEGMENTS);
        return -1;
    }
    if (!bytes_allowed(module, flow, d, bytes))
        return -1;

    const bool was_empty = dir->held == nullptr;
    uint32_t c = start;
    oxlo_stream_piece **link = &dir->held;
    while (before(c, end)) {
        while (*link && !after((*link)->seq + (*link)->len, c))
            link = &(*link)->next;
        oxlo_stream_piece *h = *link;
        const uint32_t gap_end = h && before(h->seq, end) ? h->seq : end;
        if (before(c, gap_end)) {
            const uint32_t n = gap_end - c;
            auto *p = static_cast<oxlo_stream_piece *>(oxlo_heap_alloc(sizeof(oxlo_stream_piece) + n));
            if (!p) {
                degrade(module, flow, d, BOUND_MEMORY);
                return -1;
            }
            p->seq = c;
            p->len = n;
            p->orig = start;
            p->orig_end = end;
            memcpy(p->data(), data + (c - start), n);
            p->next = h;
            *link = p;
            link = &p->next;
            dir->held_count++;
            dir->held_bytes += n;
            account_add(s, n);
        }
        if (!h || !before(h->seq, end))
            break;
        c = h->seq + h->len;
        link = &h->next;
    }
    if (was_empty)
        dir->gap_since_ms = module->det.packet.time_ms;
    module->det.stream_stats.segments_held++;
    return 1;
}

/* The whole view the calling dissector had of direction d in this call. */
void view_of(const oxlo_module *module, const oxlo_flow_state *flow, uint16_t dissector, const uint8_t **data,
             uint32_t *length, uint32_t *offset)
{
    const oxlo_packet_state *pkt = &module->det.packet;
    const uint8_t d = pkt->direction;
    *data = pkt->payload;
    *length = pkt->payload_length;
    *offset = module->det.stream_offset;
    const oxlo_stream *s = oxlo_flow_stream(flow);
    if (!s || !s->dir[d].keepers)
        return;
    const oxlo_stream_keep *k = find_keep(s, dissector);
    if (!k || !k->active[d])
        return;
    const oxlo_stream_dir *dir = &s->dir[d];
    const uint32_t end = dir_end(flow, d);
    *offset = k->start[d];
    *length = end - k->start[d];
    *data = dir->buf ? dir->buf + dir->head + (k->start[d] - dir->start) : nullptr;
    if (!*data)
        *length = 0;
}

} // namespace

extern "C" {

int oxlo_stream_module_init(oxlo_module *module)
{
    if (!module)
        return -2;
    if (module->det.stream_account)
        return 0;
    void *mem = oxlo_heap_alloc(sizeof(oxlo_stream_account));
    if (!mem)
        return -1;
    auto *a = new (mem) oxlo_stream_account;
    a->bytes.store(0);
    a->refs.store(1);
    module->det.stream_account = a;
    return 0;
}

void oxlo_stream_module_free(oxlo_module *module)
{
    if (!module)
        return;
    account_unref(module->det.stream_account);
    module->det.stream_account = nullptr;
    oxlo_heap_free(module->det.stream_scratch);
    module->det.stream_scratch = nullptr;
}

int oxlo_stream_statistics(const oxlo_module *module, oxlo_stream_stats *out)
{
    if (!module || !out)
        return -2;
    *out = module->det.stream_stats;
    out->bytes_now = module->det.stream_account ? module->det.stream_account->bytes.load() : 0;
    return 0;
}

void oxlo_stream_release(oxlo_flow_state *flow)
{
    oxlo_stream *s = flow ? oxlo_flow_stream(flow) : nullptr;
    if (!s)
        return;
    for (uint8_t d = 0; d < 2; d++) {
        drop_held(s, &s->dir[d]);
        drop_buffer(s, &s->dir[d]);
    }
    oxlo_heap_free(s->keeps);
    account_unref(s->account);
    oxlo_heap_free(s);
    flow->tcp->stream = nullptr;
}

void oxlo_stream_unread(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!(flow->stream_state & OXLO_STREAM_BOUND_HIT)) {
        count_bound(module, BOUND_BYTES);
        log_bound(module, flow, module->det.packet.direction, BOUND_BYTES);
    }
    flow->stream_state |= OXLO_STREAM_BOUND_HIT;
}

int oxlo_stream_holding(const oxlo_flow_state *flow)
{
    const oxlo_stream *s = flow ? oxlo_flow_stream(flow) : nullptr;
    if (!s)
        return 0;
    for (uint8_t d = 0; d < 2; d++)
        if (s->dir[d].held && !(flow->tcp->stream_flags[d] & OXLO_STREAM_DEGRADED))
            return 1;
    return 0;
}

int oxlo_stream_waiting(const oxlo_flow_state *flow)
{
    const oxlo_stream *s = flow ? oxlo_flow_stream(flow) : nullptr;
    if (!s || (!s->dir[0].keepers && !s->dir[1].keepers))
        return 0;
    /* A dissector that another one excluded is never called again. */
    for (uint16_t i = 0; i < s->keep_count; i++) {
        const oxlo_stream_keep *k = &s->keeps[i];
        if ((k->active[0] || k->active[1]) && !oxlo_flow_dissector_excluded(flow, k->dissector))
            return 1;
    }
    return 0;
}

void oxlo_stream_packet(oxlo_module *module, oxlo_flow_state *flow)
{
    oxlo_packet_state *pkt = &module->det.packet;
    const uint8_t *tcp = pkt->tcp;
    if (!flow->tcp)
        return;
    const uint8_t flags = tcp[13];
    const uint32_t seq = oxlo_be32(tcp + 4);
    const uint8_t d = pkt->direction;
    uint8_t *fl = flow->tcp->stream_flags;
    pkt->segment = pkt->payload;
    pkt->segment_length = pkt->payload_length;
    module->det.stream_seq = seq;
    module->det.stream_offset = (fl[d] & OXLO_STREAM_KNOWN) ? dir_end(flow, d) : 0;

    if ((flags & (TH_SYN | TH_ACK)) == (TH_SYN | TH_ACK))
        syn_acknowledged(module, flow, uint8_t(d ^ 1), oxlo_be32(tcp + 8));
    if (flags & TH_SYN) {
        syn_options(pkt, flow, d);
        fl[d] |= OXLO_STREAM_SYN_SEEN;
        /* The SYN sets where the stream starts until the peer acknowledged
         * an ISN or bytes were delivered; after that a SYN with another
         * number is ignored by the receiver, and so by the stream. */
        if (!(fl[d] & OXLO_STREAM_KNOWN) ||
            (!(fl[d] & OXLO_STREAM_ISN_ACKED) && flow->tcp->next_seq[d] == flow->tcp->stream_base[d])) {
            flow->tcp->stream_base[d] = flow->tcp->next_seq[d] = seq + 1;
            fl[d] |= OXLO_STREAM_KNOWN;
            module->det.stream_offset = 0;
            fl[d] = uint8_t(pkt->payload_length && !(flags & TH_ACK) ? fl[d] | OXLO_STREAM_SYN_DATA
                                                                      : fl[d] & ~OXLO_STREAM_SYN_DATA);
        } else if (seq + 1 != flow->tcp->stream_base[d]) {
            oxlo_flow_risk_raise(module, flow, RISK_TCP_ISSUES, "SYN with another ISN after the handshake");
        }
    }
    if (flags & TH_ACK)
        window_edge(flow, d, oxlo_be32(tcp + 8), oxlo_be16(tcp + 14), (flags & TH_SYN) != 0);
    const oxlo_stream *st = oxlo_flow_stream(flow);
    if (st && (st->dir[0].held || st->dir[1].held))
        gap_timeouts(module, flow);

    /* Urgent data: a receiver without SO_OOBINLINE takes the byte at the
     * urgent pointer out of the stream, and when depends on what the
     * application read so far. Rather than guess, the direction is read no
     * further, the urgent segment included (delivered, it would name what
     * the server never reads): the flow is decided as one whose bytes
     * could not all be read. The flag counts whatever the pointer says (a
     * pointer of 0 names the segment's first byte) and on a segment without
     * bytes too (its pointer marks a byte still to come). */
    if ((flags & TH_URG) && !(fl[d] & OXLO_STREAM_URGENT)) {
        fl[d] |= OXLO_STREAM_URGENT;
        degrade(module, flow, d, BOUND_BYTES, false);
        oxlo_flow_risk_raise(module, flow, RISK_TCP_ISSUES, "urgent data in the stream");
    }
    const uint8_t *data = pkt->payload;
    uint32_t len = pkt->payload_length;
    pkt->payload_length = 0;
    /* A SYN's bytes are not the stream's until the peer acknowledges them
     * (and then they were taken unread, see syn_acknowledged). */
    if ((flags & (TH_SYN | TH_ACK)) == TH_SYN || (fl[d] & OXLO_STREAM_URGENT))
        len = 0;
    if (len == 0) {
        /* Held bytes that a long join left ready go now. */
        if (ready_held(flow, d))
            deliver(module, flow, d, nullptr, 0);
        return;
    }
    const uint32_t start = (flags & TH_SYN) ? seq + 1 : seq;
    if (!(fl[d] & OXLO_STREAM_KNOWN)) {
        flow->tcp->stream_base[d] = flow->tcp->next_seq[d] = start;
        fl[d] |= OXLO_STREAM_KNOWN;
        module->det.stream_offset = 0;
    }
    const int32_t off = int32_t(start - flow->tcp->next_seq[d]);
    if (int64_t(off) + int64_t(len) <= 0) {
        /* Every byte of it was delivered before: a retransmission. */
        pkt->flags |= OXLO_PACKET_RETRANSMISSION;
        module->det.stream_stats.segments_stale++;
        idle_segment(module, flow);
        if (ready_held(flow, d))
            deliver(module, flow, d, nullptr, 0);
        return;
    }
    if (off <= 0) {
        /* In order, or a retransmission that brings new bytes after the
         * ones delivered: the first copy of those stays. */
        const uint32_t trim = uint32_t(-int64_t(off));
        deliver(module, flow, d, data + trim, len - trim);
        return;
    }
    /* Ahead of the next expected byte. */
    int64_t limit = module->det.sequence_window;
    if (fl[d] & OXLO_STREAM_EDGE) {
        const int32_t room = int32_t(flow->tcp->stream_edge[d] - flow->tcp->next_seq[d]);
        limit = room > 0 ? room : 0;
    }
    if (int64_t(off) >= limit) {
        module->det.stream_stats.segments_out_of_window++;
        idle_segment(module, flow);
        return;
    }
    if (!(fl[d] & OXLO_STREAM_DEGRADED)) {
        const int held = hold(module, flow, d, start, data, len);
        if (held == 0)
            idle_segment(module, flow);
        if (held >= 0)
            return;
    }
    /* Degraded: the gap is skipped and the segment delivered as it is. */
    flow->tcp->next_seq[d] = start;
    deliver(module, flow, d, data, len);
}

int oxlo_stream_skip(oxlo_module *module, oxlo_flow_state *flow, uint16_t dissector)
{
    const oxlo_packet_state *pkt = &module->det.packet;
    const uint8_t d = pkt->direction;
    oxlo_stream *s = oxlo_flow_stream(flow);
    if (!s || !s->dir[d].keepers || !pkt->tcp)
        return 0;
    oxlo_stream_keep *k = find_keep(s, dissector);
    if (!k || !k->active[d])
        return 0;
    if (!before(dir_end(flow, d), k->need_end[d]))
        return 0;
    if (k->disc_packets < 0xFFFF)
        k->disc_packets++;
    if (pkt->payload_length) {
        if (k->disc_payload < 0xFFFF)
            k->disc_payload++;
        if (k->disc_dir[d] < 0xFFFF)
            k->disc_dir[d]++;
    }
    return 1;
}

int oxlo_stream_keeping(const oxlo_module *module, const oxlo_flow_state *flow, uint16_t dissector)
{
    const oxlo_stream_keep *k = find_keep(flow ? oxlo_flow_stream(flow) : nullptr, dissector);
    return k && k->active[module->det.packet.direction] ? 1 : 0;
}

void oxlo_stream_drop_keep(oxlo_module *module, oxlo_flow_state *flow, uint16_t dissector)
{
    (void)module;
    oxlo_stream *s = flow ? oxlo_flow_stream(flow) : nullptr;
    oxlo_stream_keep *k = find_keep(s, dissector);
    if (!k)
        return;
    deactivate(s, k, 0);
    deactivate(s, k, 1);
}

void oxlo_stream_after_call(oxlo_module *module, oxlo_flow_state *flow, uint16_t dissector, uint16_t app_before)
{
    const uint8_t call = module->det.stream_call;
    uint32_t consumed = module->det.stream_call_consumed;
    const uint32_t total = module->det.stream_call_total;
    module->det.stream_call = 0;
    module->det.stream_call_consumed = 0;
    module->det.stream_call_total = 0;
    oxlo_stream *s = oxlo_flow_stream(flow);
    if (!s && (call == 0 || call == 3))
        return;
    if (oxlo_flow_dissector_excluded(flow, dissector)) {
        oxlo_stream_drop_keep(module, flow, dissector);
        return;
    }
    if (flow->app && flow->app != app_before) {
        /* Classified: nobody is called for a PDU of this flow any more but
         * the follow-up reader, which may keep reading. */
        const bool follows = flow->extra_dissection && flow->extra_installer == dissector + 1;
        for (uint16_t i = 0; s && i < s->keep_count; i++)
            if (!follows || s->keeps[i].dissector != dissector) {
                deactivate(s, &s->keeps[i], 0);
                deactivate(s, &s->keeps[i], 1);
            }
        if (!follows)
            return;
    }
    const oxlo_packet_state *pkt = &module->det.packet;
    if (!pkt->tcp || !flow->tcp)
        return;
    const uint8_t d = pkt->direction;
    oxlo_stream_keep *k = find_keep(s, dissector);
    if (call == 0 || call == 3) {
        /* The whole view was read, or keeping it was refused. */
        if (k)
            deactivate(s, k, d);
        return;
    }
    const uint8_t *data;
    uint32_t length, offset;
    view_of(module, flow, dissector, &data, &length, &offset);
    if (consumed > length)
        consumed = length;
    if ((call == 1 && consumed >= length) || (flow->tcp->stream_flags[d] & OXLO_STREAM_DEGRADED)) {
        if (k)
            deactivate(s, k, d);
        return;
    }
    if (!k && !(k = make_keep(module, flow, dissector))) {
        count_bound(module, BOUND_MEMORY);
        return;
    }
    s = oxlo_flow_stream(flow);
    const uint32_t keep_start = offset + consumed;
    oxlo_stream_dir *dir = &s->dir[d];
    /* The kept bytes must reach back to keep_start; they reach the end. */
    const uint32_t n = length - consumed;
    if (!dir->keepers || dir->length == 0) {
        drop_buffer(s, dir);
        if (!buffer_append(module, flow, d, data + consumed, n, keep_start))
            return;
    } else if (before(keep_start, dir->start)) {
        if (!buffer_prepend(module, flow, d, data + consumed, dir->start - keep_start))
            return;
    }
    if (!k->active[d]) {
        k->active[d] = 1;
        dir->keepers++;
    }
    k->start[d] = keep_start;
    k->need_end[d] = call == 2 ? keep_start + total : offset + length + 1;
    trim_buffer(s, d);
}

void oxlo_stream_view(const oxlo_module *module, const oxlo_flow_state *flow, const uint8_t **data, size_t *length,
                      uint32_t *offset)
{
    const uint8_t *p;
    uint32_t n, off;
    view_of(module, flow, uint16_t(module->det.current_dissector), &p, &n, &off);
    *data = p;
    *length = n;
    *offset = module->det.packet.tcp ? off : 0;
}

void oxlo_stream_discount(const oxlo_flow_state *flow, uint16_t dissector, uint16_t *payload, uint16_t payload_dir[2],
                          uint16_t *packets)
{
    *payload = payload_dir[0] = payload_dir[1] = *packets = 0;
    const oxlo_stream_keep *k = find_keep(flow ? oxlo_flow_stream(flow) : nullptr, dissector);
    if (!k)
        return;
    *payload = k->disc_payload;
    payload_dir[0] = k->disc_dir[0];
    payload_dir[1] = k->disc_dir[1];
    *packets = k->disc_packets;
}

int oxlo_stream_need(oxlo_module *module, oxlo_flow_state *flow, size_t total)
{
    if (!module || !flow)
        return -1;
    const oxlo_packet_state *pkt = &module->det.packet;
    if (!pkt->tcp || !flow->tcp || flow->l4_protocol != 6 || flow->state == OXLO_STATE_FINISHED)
        return -1;
    const uint8_t d = pkt->direction;
    const uint32_t dissector = module->det.current_dissector;
    if (dissector >= module->det.dissector_count || flow->calling_dissector != dissector + 1)
        return -1;
    /* A message another dissector put together is read, not the stream. */
    if (module->det.offering) {
        module->det.stream_call = 3;
        return -1;
    }
    if (flow->tcp->stream_flags[d] & OXLO_STREAM_DEGRADED) {
        module->det.stream_call = 3;
        return -1;
    }
    /* Refused: nothing of this call's view is kept, whatever consume said. */
    const oxlo_stream *s = oxlo_flow_stream(flow);
    const uint32_t held = s ? s->dir[d].held_bytes : 0;
    if (total > OXLO_STREAM_DIR_BYTES || total + held > OXLO_STREAM_DIR_BYTES) {
        module->det.stream_call = 3;
        return -1;
    }
    if (!make_keep(module, flow, uint16_t(dissector))) {
        count_bound(module, BOUND_MEMORY);
        module->det.stream_call = 3;
        return -1;
    }
    module->det.stream_call = 2;
    module->det.stream_call_total = uint32_t(total);
    return 0;
}

void oxlo_stream_consume(oxlo_module *module, oxlo_flow_state *flow, size_t count)
{
    if (!module || !flow || !module->det.packet.tcp)
        return;
    const uint32_t dissector = module->det.current_dissector;
    if (dissector >= module->det.dissector_count || flow->calling_dissector != dissector + 1)
        return;
    if (module->det.stream_call == 3 || module->det.offering)
        return;
    module->det.stream_call_consumed = count > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(count);
    if (module->det.stream_call != 2)
        module->det.stream_call = 1;
}

} // extern "C"
