/* The calls a dissector makes from its search routine: its own state, the
 * packet as it sees it, and the ways a routine ends. Per-flow state lives
 * in small blocks hung off the flow, one per dissector that asked for one,
 * so a flow pays only for the dissectors that looked at it. */
#include "oxlo_dissector_kit.h"
#include "oxlo_log.h"
#include "oxlo_private.h"
#include "oxlo_risks.h"
#include "oxlo_stream.h"

#include "oxlo_slab.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

/* The block's header is rounded up so the state after it is aligned for
 * any member type. */
constexpr size_t header_size = (sizeof(oxlo_dstate) + 15) & ~size_t(15);

void *block_data(oxlo_dstate *b) { return reinterpret_cast<uint8_t *>(b) + header_size; }

const oxlo_dissector_kit *current_kit(const oxlo_module *module)
{
    const oxlo_detection_part *det = &module->det;
    if (!det->kits || det->current_dissector >= det->dissector_count)
        return nullptr;
    return &det->kits[det->current_dissector];
}

/* The detection part whose scratch block is given to the dissector in its
 * call on this thread (a module is used by one thread at a time), so that
 * lookups by slot, which name no module, find it. */
/* Initial-exec: the library is loaded with the program, so the pointer sits
 * at a fixed offset from the thread pointer and is reached without a call
 * into the dynamic linker (it is set and cleared around every call of a
 * dissector that keeps state). */
thread_local oxlo_detection_part *armed_part __attribute__((tls_model("initial-exec"))) = nullptr;

/* Size classes of the state slabs: 64 << class bytes, header included. */
int size_class(size_t bytes)
{
    for (int c = 0; c < OXLO_DSTATE_CLASSES; c++)
        if (bytes <= (size_t(64) << c))
            return c;
    return -1;
}

/* Slots per slab chunk of state blocks. */
constexpr uint32_t kStateChunkSlots = 256;

void *make_block(oxlo_module *module, oxlo_flow_state *flow, uint32_t slot, uint32_t size,
                 void (*release)(void *))
{
    const size_t bytes = header_size + size;
    const int c = module ? size_class(bytes) : -1;
    if (c < 0)
        return oxlo_flow_slot_state_make(flow, slot, size, release);
    oxlo_slab *&slab = module->det.dstate_slabs[c];
    if (!slab) {
        slab = oxlo_slab_new(size_t(64) << c, kStateChunkSlots);
        /* A flow's states go when it is classified, often before the next
         * flow takes one: without a kept chunk every such flow would
         * allocate and free a whole chunk of its size class (the TLS
         * state's is larger than the allocator's mapping threshold, so
         * fresh pages each time). One per class, freed with the module. */
        oxlo_slab_set_spare_floor(slab, 1);
    }
    auto *b = static_cast<oxlo_dstate *>(oxlo_slab_take(slab));
    if (!b)
        return nullptr;
    std::memset(b, 0, bytes);
    b->slot = slot;
    b->size = size;
    b->release = release;
    b->from_slab = 1;
    b->next = flow->dstates;
    flow->dstates = b;
    return block_data(b);
}

void free_block(oxlo_dstate *b)
{
    if (b->release)
        b->release(block_data(b));
    if (b->from_slab)
        oxlo_slab_give(b);
    else
        oxlo_heap_free(b);
}

void *state_for(oxlo_module *module, oxlo_flow_state *flow, const oxlo_dissector_kit *k, int create)
{
    if (!k || k->state_size == 0 || k->slot == 0xFFFF)
        return nullptr;
    void *found = oxlo_flow_slot_state(flow, k->slot);
    if (found)
        return found;
    oxlo_detection_part *det = &module->det;
    if (det->dstate_owner && det->dstate_flow == flow && &det->kits[det->dstate_owner - 1] == k) {
        if (!create && !det->dstate_claimed)
            return nullptr;
        det->dstate_claimed = 1;
        return det->dstate_scratch;
    }
    if (!create)
        return nullptr;
    return make_block(module, flow, k->slot, k->state_size, k->release);
}

/* Word by word without an early exit, so the compiler makes it a few
 * vector instructions: it runs after every dissector call that asked for
 * its state. */
bool all_zero(const uint8_t *p, size_t n)
{
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        any |= w;
    }
    for (; i < n; i++)
        any |= p[i];
    return any == 0;
}

uint16_t port_of(const uint8_t *l4, size_t offset) { return l4 ? oxlo_be16(l4 + offset) : 0; }

} // namespace

extern "C" {

void *oxlo_flow_slot_state(const oxlo_flow_state *flow, uint32_t slot)
{
    for (oxlo_dstate *b = flow ? flow->dstates : nullptr; b; b = b->next)
        if (b->slot == slot)
            return block_data(b);
    /* A dissector that reads its state by slot in its call sees the
     * scratch block it was given. */
    const oxlo_detection_part *det = armed_part;
    if (det && det->dstate_claimed && det->dstate_flow == flow && det->kits[det->dstate_owner - 1].slot == slot)
        return det->dstate_scratch;
    return nullptr;
}

void *oxlo_flow_slot_state_make(oxlo_flow_state *flow, uint32_t slot, uint32_t size, void (*release)(void *))
{
    if (!flow || size == 0)
        return nullptr;
    void *found = oxlo_flow_slot_state(flow, slot);
    if (found)
        return found;
    oxlo_dstate *b = static_cast<oxlo_dstate *>(oxlo_heap_calloc(1, header_size + size));
    if (!b)
        return nullptr;
    b->slot = slot;
    b->size = size;
    b->release = release;
    b->next = flow->dstates;
    flow->dstates = b;
    return block_data(b);
}

void oxlo_flow_slot_state_free(oxlo_flow_state *flow, uint32_t slot)
{
    oxlo_detection_part *det = armed_part;
    if (det && det->dstate_claimed && det->dstate_flow == flow && det->kits[det->dstate_owner - 1].slot == slot) {
        const oxlo_dissector_kit *k = &det->kits[det->dstate_owner - 1];
        if (k->release)
            k->release(det->dstate_scratch);
        std::memset(det->dstate_scratch, 0, k->state_size);
        det->dstate_claimed = 0;
        return;
    }
    for (oxlo_dstate **link = &flow->dstates; *link; link = &(*link)->next) {
        oxlo_dstate *b = *link;
        if (b->slot != slot)
            continue;
        *link = b->next;
        free_block(b);
        return;
    }
}

void oxlo_flow_states_free(oxlo_flow_state *flow)
{
    while (flow && flow->dstates) {
        oxlo_dstate *b = flow->dstates;
        flow->dstates = b->next;
        free_block(b);
    }
}

int oxlo_dstate_arm(oxlo_module *module, oxlo_flow_state *flow, uint32_t index)
{
    oxlo_detection_part *det = &module->det;
    if (det->dstate_owner || !det->kits || index >= det->dissector_count ||
        det->kits[index].state_size == 0)
        return 0;
    if (!det->dstate_scratch) {
        uint32_t largest = 0;
        for (uint32_t i = 0; i < det->dissector_count; i++)
            if (det->kits[i].state_size > largest)
                largest = det->kits[i].state_size;
        det->dstate_scratch = static_cast<uint8_t *>(oxlo_heap_calloc(1, largest ? largest : 1));
        if (!det->dstate_scratch)
            return 0;
        det->dstate_scratch_size = largest;
    }
    if (det->kits[index].state_size > det->dstate_scratch_size)
        return 0; /* registered after the scratch was sized */
    det->dstate_owner = index + 1;
    det->dstate_flow = flow;
    det->dstate_claimed = 0;
    armed_part = det;
    return 1;
}

void oxlo_dstate_commit(oxlo_module *module, oxlo_flow_state *flow, uint32_t index, int settled)
{
    oxlo_detection_part *det = &module->det;
    if (det->dstate_owner != index + 1)
        return;
    det->dstate_owner = 0;
    det->dstate_flow = nullptr;
    armed_part = nullptr;
    if (!det->dstate_claimed)
        return;
    det->dstate_claimed = 0;
    const oxlo_dissector_kit *k = &det->kits[index];
    uint8_t *scratch = det->dstate_scratch;
    /* A state asked for by a call that classified the flow or set a
     * follow-up reader is kept even when still zero: what runs later may
     * look for it. */
    if (!settled && all_zero(scratch, k->state_size))
        return;
    /* A dissector that excluded itself is done with the flow: its state
     * goes now, as a block of its would. What a kept state owns moves with
     * its bytes into the block (states hold no pointers into themselves);
     * without a block it is released like the block's would be. */
    void *block = oxlo_flow_dissector_excluded(flow, index)
                      ? nullptr
                      : make_block(module, flow, k->slot, k->state_size, k->release);
    if (block)
        std::memcpy(block, scratch, k->state_size);
    else if (k->release)
        k->release(scratch);
    std::memset(scratch, 0, k->state_size);
}

void oxlo_dstate_free(oxlo_module *module)
{
    oxlo_detection_part *det = &module->det;
    oxlo_heap_free(det->dstate_scratch);
    det->dstate_scratch = nullptr;
    det->dstate_scratch_size = 0;
    for (oxlo_slab *&slab : det->dstate_slabs) {
        oxlo_slab_release(slab);
        slab = nullptr;
    }
    oxlo_slab_release(det->texts_slab);
    det->texts_slab = nullptr;
    oxlo_slab_release(det->tcp_slab);
    det->tcp_slab = nullptr;
    oxlo_slab_release(det->track_slab);
    det->track_slab = nullptr;
}

oxlo_json_block_fn oxlo_dissector_json_block(const oxlo_module *module, uint16_t protocol_id)
{
    if (!module || !module->det.kits)
        return nullptr;
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(const_cast<oxlo_module *>(module), protocol_id);
    if (!p || p->dissector_index >= module->det.dissector_count)
        return nullptr;
    return module->det.kits[p->dissector_index].json_block;
}

uint16_t oxlo_dissector_self(const oxlo_module *module)
{
    return module ? (uint16_t)module->det.current_dissector : 0;
}

void *oxlo_dissector_state(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow)
        return nullptr;
    return state_for(module, flow, current_kit(module), 1);
}

void *oxlo_dissector_state_of(oxlo_module *module, oxlo_flow_state *flow, uint16_t protocol_id, int create)
{
    if (!module || !flow || !module->det.kits)
        return nullptr;
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, protocol_id);
    if (!p || p->dissector_index >= module->det.dissector_count)
        return nullptr;
    return state_for(module, flow, &module->det.kits[p->dissector_index], create);
}

void oxlo_dissector_classify(oxlo_module *module, oxlo_flow_state *flow, uint16_t upper, uint16_t lower)
{
    oxlo_flow_set_protocol(module, flow, upper, lower, OXLO_CONFIDENCE_DPI);
}

/* Out of line, so that an exclusion without the trace (most calls of a
 * new flow's first packet end in one) saves no registers for it. */
static __attribute__((noinline, cold)) void trace_exclusion(const oxlo_module *module, uint32_t index,
                                                            const char *file, int line)
{
    const char *base = file ? strrchr(file, '/') : nullptr;
    oxlo_log(module, OXLO_LOG_DEBUG, "[OXLO] %s excluded [%s:%d]\n", module->det.dissectors[index].name, base ? base + 1 : (file ? file : ""),
           line);
}

void oxlo_dissector_exclude(oxlo_module *module, oxlo_flow_state *flow, const char *file, int line)
{
    if (!module || !flow)
        return;
    const uint32_t index = module->det.current_dissector;
    if (module->cfg.log_level >= 3 && index < module->det.dissector_count)
        trace_exclusion(module, index, file, line);
    oxlo_flow_mark_excluded(flow, index);
}

void oxlo_dissector_risk(oxlo_module *module, oxlo_flow_state *flow, int risk, const char *format, ...)
{
    if (!format) {
        oxlo_flow_risk_raise(module, flow, risk, nullptr);
        return;
    }
    char text[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    oxlo_flow_risk_raise(module, flow, risk, text);
}

void oxlo_dissector_risk_text(oxlo_module *module, oxlo_flow_state *flow, int risk, const char *text)
{
    oxlo_flow_risk_raise(module, flow, risk, text);
}

void oxlo_dissector_extra_continue(oxlo_flow_state *flow, oxlo_dissector_extra_fn routine, uint8_t packets)
{
    if (!flow)
        return;
    flow->extra_dissection = routine;
    flow->extra_budget = packets;
    /* The installer's need / consume keep working in the follow-up reader. */
    if (flow->calling_dissector)
        flow->extra_installer = flow->calling_dissector;
}

void oxlo_dissector_extra(oxlo_flow_state *flow, oxlo_dissector_extra_fn routine, uint8_t packets)
{
    if (!flow)
        return;
    flow->extra_packets = 0;
    flow->extra_midway = 0;
    oxlo_dissector_extra_continue(flow, routine, packets);
}

int oxlo_dissector_extra_active(const oxlo_flow_state *flow, oxlo_dissector_extra_fn routine)
{
    if (!flow || !flow->extra_dissection)
        return 0;
    return !routine || flow->extra_dissection == routine;
}

int oxlo_dissector_extra_last(const oxlo_flow_state *flow)
{
    return flow && flow->state != OXLO_STATE_MONITORING && flow->extra_packets + 1u >= flow->extra_budget;
}

void oxlo_dissector_extra_grow(oxlo_flow_state *flow, int delta)
{
    if (!flow)
        return;
    const int budget = int(flow->extra_budget) + delta;
    flow->extra_budget = uint8_t(budget < 0 ? 0 : budget > 255 ? 255 : budget);
}

void oxlo_dissector_extra_uncharged(oxlo_module *module)
{
    if (module)
        module->det.extra_uncharged = 1;
}

void oxlo_dissector_extra_end(oxlo_flow_state *flow)
{
    if (flow)
        flow->extra_dissection = nullptr;
}

int oxlo_dissector_need(oxlo_module *module, oxlo_flow_state *flow, size_t total)
{
    return oxlo_stream_need(module, flow, total);
}

void oxlo_dissector_consume(oxlo_module *module, oxlo_flow_state *flow, size_t count)
{
    oxlo_stream_consume(module, flow, count);
}

void oxlo_dissector_claim(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow)
        return;
    module->det.packet_claimed = 1;
}

void oxlo_dissector_unread(oxlo_module *module, oxlo_flow_state *flow)
{
    if (module && flow)
        oxlo_stream_unread(module, flow);
}

void oxlo_dissector_pending(oxlo_module *module, oxlo_flow_state *flow, int pending)
{
    if (!module || !flow)
        return;
    if (pending)
        flow->stream_state |= OXLO_STREAM_PENDING;
    else
        flow->stream_state &= uint8_t(~OXLO_STREAM_PENDING);
}

int oxlo_flow_detection_pending(const oxlo_module *module, const oxlo_flow_state *flow)
{
    if (!module || !flow)
        return 0;
    if (flow->state == OXLO_STATE_FINISHED || (flow->flags_a & OXLO_FLOW_BY_GIVEUP))
        return 0;
    if (oxlo_stream_waiting(flow) || oxlo_stream_holding(flow))
        return 1;
    return (flow->stream_state & OXLO_STREAM_PENDING) && !(flow->stream_state & OXLO_STREAM_BOUND_HIT) ? 1 : 0;
}

int oxlo_flow_stream_incomplete(const oxlo_flow_state *flow)
{
    return flow && (flow->stream_state & OXLO_STREAM_BOUND_HIT) ? 1 : 0;
}

int oxlo_flow_out_of_memory(const oxlo_flow_state *flow)
{
    return flow && (flow->flags_b & OXLO_FLOW_NO_MEMORY) ? 1 : 0;
}

static uint16_t minus(uint16_t count, uint16_t discount) { return count > discount ? uint16_t(count - discount) : 0; }

oxlo_reader oxlo_dissector_ip(const oxlo_module *module, int version)
{
    const uint8_t *h = !module ? nullptr : version == 4 ? module->det.packet.iph
                                         : version == 6 ? module->det.packet.iph6 : nullptr;
    return oxlo_reader_make(h, h ? (version == 4 ? 20 : 40) : 0);
}

uint16_t oxlo_dissector_l4_length(const oxlo_module *module)
{
    return module ? module->det.packet.l4_length : 0;
}

uint16_t oxlo_dissector_tcp_own_length(const oxlo_module *module)
{
    if (!module || !module->det.packet.tcp)
        return 0;
    const oxlo_packet_state &p = module->det.packet;
    const uint16_t header = uint16_t((p.tcp[12] >> 4) * 4);
    return p.l4_length > header ? uint16_t(p.l4_length - header) : 0;
}

int oxlo_dissector_tcp_pushed(const oxlo_module *module)
{
    return module && module->det.packet.tcp && module->det.stream_pushed ? 1 : 0;
}

oxlo_reader oxlo_dissector_swap_payload(oxlo_module *module, oxlo_reader payload)
{
    oxlo_reader was = oxlo_reader_make(nullptr, 0);
    if (!module)
        return was;
    oxlo_packet_state &pk = module->det.packet;
    was.data = pk.payload;
    was.length = pk.payload_length;
    module->det.view_flow = nullptr;
    pk.payload = payload.data;
    pk.payload_length = uint16_t(payload.length);
    return was;
}

void oxlo_dissector_lines_forget(oxlo_module *module)
{
    if (module)
        module->det.packet.flags &= uint8_t(~OXLO_PACKET_LINES_PARSED);
}

void oxlo_dissector_exclude_other(oxlo_module *module, oxlo_flow_state *flow, uint16_t protocol_id, const char *file,
                                  int line)
{
    const oxlo_proto_defaults *p = module ? oxlo_proto_defaults_get(module, protocol_id) : nullptr;
    if (!p || p->dissector_index == OXLO_NO_DISSECTOR)
        return;
    const uint32_t current = module->det.current_dissector;
    module->det.current_dissector = p->dissector_index;
    oxlo_dissector_exclude(module, flow, file, line);
    module->det.current_dissector = current;
}

const oxlo_line_table *oxlo_dissector_lines(const oxlo_module *module, uint16_t *count)
{
    if (count)
        *count = module ? module->det.packet.line_count : 0;
    return module ? &module->det.packet.lines : nullptr;
}

oxlo_packet_view oxlo_dissector_packet(const oxlo_module *module, const oxlo_flow_state *flow)
{
    /* Every field is set one by one: every dissector asks for the view,
     * and the string instruction a memset of this size compiles to takes
     * long to start, and the stores after it wait on it. */
    oxlo_packet_view v;
    const oxlo_packet_state *pkt = module ? &module->det.packet : nullptr;
    /* A datagram's view depends on nothing a dissector changes but the
     * payload (which a swap forgets): within a pass it is made once. */
    if (flow && pkt && module->det.view_flow == flow)
        return module->det.view; /* kept only for a datagram's pass */
    const bool keep = pkt && !pkt->tcp && flow && module->det.view_pass;
    /* The two readers field by field too: a reader built aside and copied
     * in is read back before its stores have landed. */
    const uint8_t *data = pkt ? pkt->payload : nullptr;
    v.payload.data = v.segment.data = data;
    v.payload.length = v.segment.length = data ? pkt->payload_length : 0;
    v.payload.pos = v.segment.pos = 0;
    v.payload.error = v.segment.error = 0;
    v.stream_offset = 0;
    v.payload_packets = 0;
    v.payload_packets_dir[0] = v.payload_packets_dir[1] = 0;
    v.packets = 0;
    if (!pkt) {
        v.src_port = v.dst_port = 0;
        v.l4 = v.ipv6 = v.direction = v.from_client = v.tcp_flags = v.retransmission = 0;
        v.tcp_seq = 0;
        v.time_ms = 0;
        return v;
    }
    const uint8_t *l4 = pkt->tcp ? pkt->tcp : pkt->udp;
    v.src_port = port_of(l4, 0);
    v.dst_port = port_of(l4, 2);
    v.l4 = pkt->tcp ? OXLO_L4_TCP : pkt->udp ? OXLO_L4_UDP : pkt->l4_protocol;
    v.ipv6 = pkt->iph6 != nullptr;
    v.direction = pkt->direction;
    v.from_client = (uint8_t)oxlo_packet_from_client(module, flow);
    v.tcp_flags = pkt->tcp ? pkt->tcp[13] : 0;
    /* The sequence number of the segment's first byte: a segment that
     * repeats bytes already delivered starts after them. */
    v.tcp_seq = pkt->tcp ? module->det.stream_seq : 0;
    v.retransmission = (pkt->flags & OXLO_PACKET_RETRANSMISSION) ? 1 : 0;
    v.time_ms = pkt->time_ms;
    if (!flow)
        return v;
    v.payload_packets = flow->payload_packets;
    v.payload_packets_dir[0] = flow->payload_packets_dir[0];
    v.payload_packets_dir[1] = flow->payload_packets_dir[1];
    v.packets = flow->packets;
    if (!pkt->tcp) {
        if (keep) {
            /* The kept view is a cache: keeping it changes nothing a
             * caller of this const query can see. */
            oxlo_detection_part *det = const_cast<oxlo_detection_part *>(&module->det);
            det->view = v;
            det->view_flow = flow;
        }
        return v;
    }
    v.stream_offset = module->det.stream_offset;
    if (!oxlo_flow_stream(flow))
        return v; /* nothing kept: the view is the new bytes */
    const uint8_t *stream = nullptr;
    size_t length = 0;
    oxlo_stream_view(module, flow, &stream, &length, &v.stream_offset);
    v.payload = oxlo_reader_make(stream, stream ? length : 0);
    uint16_t payload = 0, dir[2] = {0, 0}, packets = 0;
    oxlo_stream_discount(flow, uint16_t(module->det.current_dissector), &payload, dir, &packets);
    v.payload_packets = minus(v.payload_packets, payload);
    v.payload_packets_dir[0] = minus(v.payload_packets_dir[0], dir[0]);
    v.payload_packets_dir[1] = minus(v.payload_packets_dir[1], dir[1]);
    v.packets = minus(v.packets, packets);
    return v;
}

} // extern "C"
