/* Dissector registration and dispatch.
 *
 * Every dissector registers once per module while the module is finalized.
 * The registration order below fixes the dissector indexes and so the order
 * in which the call lists try them. The engine sorts the registered
 * dissectors into four call lists by the packet conditions they need and,
 * for each packet of an unclassified flow, walks the matching list until a
 * dissector stores a protocol. */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_stream.h"
#include "oxlo_protocol_ids.h"
#include "protocols/quic_private.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

/* Every built-in dissector defines one descriptor; the list names them in
 * registration order. */
extern "C" {
#define OXLO_DISSECTOR(file) extern const oxlo_dissector_def oxlo_dissector_def_##file;
#define OXLO_DISSECTOR_SHORTEST(file) \
    OXLO_DISSECTOR(file)              \
    extern const uint16_t oxlo_dissector_shortest_##file;
#define OXLO_DISSECTOR_TODO(file)
#include "protocols/oxlo_dissector_list.def"
#undef OXLO_DISSECTOR
#undef OXLO_DISSECTOR_SHORTEST
#undef OXLO_DISSECTOR_TODO
}

namespace {

struct builtin_dissector {
    const char *file;               /* protocols/<file>.cpp */
    const oxlo_dissector_def *def;  /* nullptr until the file exists */
    const uint16_t *shortest;       /* its shortest first datagram, nullptr when not declared */
};

const builtin_dissector builtin_order[] = {
#define OXLO_DISSECTOR(file) {#file, &oxlo_dissector_def_##file, nullptr},
#define OXLO_DISSECTOR_SHORTEST(file) {#file, &oxlo_dissector_def_##file, &oxlo_dissector_shortest_##file},
#define OXLO_DISSECTOR_TODO(file) {#file, nullptr, nullptr},
#include "protocols/oxlo_dissector_list.def"
#undef OXLO_DISSECTOR
#undef OXLO_DISSECTOR_SHORTEST
#undef OXLO_DISSECTOR_TODO
};

static_assert(sizeof(builtin_order) / sizeof(builtin_order[0]) == OXLO_DISSECTOR_BUILTIN_SLOTS,
              "every built-in dissector has its slot");

constexpr uint32_t list_tcp_payload = 0;
constexpr uint32_t list_tcp_no_payload = 1;
constexpr uint32_t list_udp = 2;

bool in_list(uint32_t list, dissector_flow_mask sel)
{
    const bool any = sel & OXLO_SEL_ANY;
    const bool tcp = sel & (OXLO_SEL_TCP | OXLO_SEL_TCP_OR_UDP);
    const bool udp = sel & (OXLO_SEL_UDP | OXLO_SEL_TCP_OR_UDP);
    switch (list) {
    case list_tcp_payload:
        return tcp || any;
    case list_tcp_no_payload:
        return (tcp || any) && !(sel & OXLO_SEL_PAYLOAD);
    case list_udp:
        return udp || any;
    default: /* other IP */
        return !(sel & (OXLO_SEL_TCP | OXLO_SEL_UDP | OXLO_SEL_TCP_OR_UDP)) || any;
    }
}

bool eligible(const oxlo_dissector_entry *e, dissector_flow_mask packet_set)
{
    return (e->selection & packet_set) == e->selection;
}

const oxlo_dissector_entry *dissector_of(const oxlo_module *module, uint16_t id)
{
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(const_cast<oxlo_module *>(module), id);
    if (!p || p->dissector_index >= module->det.dissector_count)
        return nullptr;
    return &module->det.dissectors[p->dissector_index];
}

const oxlo_dissector_kit *kit_of(const oxlo_module *module, uint32_t index)
{
    return module->det.kits && index < module->det.dissector_count ? &module->det.kits[index] : nullptr;
}

/* Calls a dissector unless it waits for more bytes of this packet's
 * direction (false then: the packet goes to its discount). A dissector
 * that excluded itself is done with the flow: its state goes now, once the
 * routine has returned and can no longer touch it. */
/* Inlined into the dispatch loop: a new flow's datagram is offered to most
 * of the list, and the call's own set-up was a good part of each offer. */
inline __attribute__((always_inline)) bool call_dissector(oxlo_module *module, oxlo_flow_state *flow,
                                                          const oxlo_dissector_entry *e)
{
    if (oxlo_flow_stream(flow) && oxlo_stream_skip(module, flow, e->index))
        return false;
    module->det.current_dissector = e->index;
    flow->calling_dissector = uint16_t(e->index + 1);
    const uint16_t app_before = flow->app;
    const oxlo_extra_dissection_callback extra_before = flow->extra_dissection;
    const bool host_before = oxlo_flow_host(flow)[0] != '\0';
    /* Most first guesses keep no state: those skip the scratch block's
     * arming and its commit. */
    const oxlo_dissector_kit *kit = kit_of(module, e->index);
    const int scratch = kit && kit->state_size ? oxlo_dstate_arm(module, flow, e->index) : 0;
    e->callback(module, flow);
    if (scratch)
        oxlo_dstate_commit(module, flow, e->index,
                           flow->app != app_before || flow->extra_dissection != extra_before);
    flow->calling_dissector = 0;
    if (!host_before && oxlo_flow_host(flow)[0])
        flow->host_name_setter = uint16_t(e->index + 1);
    /* The follow-up reader belongs to the dissector that set it (also when
     * it was set without the kit): that one may keep bytes in it. */
    if (flow->extra_dissection != extra_before && flow->extra_dissection)
        flow->extra_installer = uint16_t(e->index + 1);
    if (module->det.stream_call || oxlo_flow_stream(flow))
        oxlo_stream_after_call(module, flow, e->index, app_before);
    /* A dissector that gives up on the flow takes back the host name it
     * read from bytes that turned out not to be its protocol (a mail
     * greeting parser reading "welcome" from an FTP banner). */
    if (oxlo_flow_dissector_excluded(flow, e->index) && flow->host_name_setter == e->index + 1 &&
        flow->app == app_before) {
        if (flow->texts) {
            flow->texts->host_name[0] = '\0';
            flow->texts->last_classified_host[0] = '\0';
        }
        flow->host_name_setter = 0;
    }
    if (flow->dstates && oxlo_flow_dissector_excluded(flow, e->index)) {
        const oxlo_dissector_kit *k = kit_of(module, e->index);
        if (k)
            oxlo_flow_slot_state_free(flow, k->slot);
    }
    return true;
}

uint16_t shortest_of(uint32_t slot) { return builtin_order[slot].shortest ? *builtin_order[slot].shortest : 0; }

/* Registers name/callback for the given protocol ids; the index the entry
 * took, OXLO_NO_DISSECTOR when an earlier dissector's callback was replaced,
 * -1 when nothing was registered. */
int add_entry(const char *name, oxlo_module *module, oxlo_dissector_callback callback,
              dissector_flow_mask selection, const int *ids, int count)
{
    oxlo_detection_part *det = &module->det;
    if (det->dissector_count > OXLO_MAX_DISSECTORS - 1) {
        oxlo_log(module, OXLO_LOG_ERROR, "[OXLO] Internal Error. Too many dissectors!!\n");
        return -1;
    }
    const uint32_t index = det->dissector_count;
    int first = -1;
    for (int i = 0; i < count; i++) {
        const int id = ids[i];
        if (id < 0 || id > 0xFFFF || !oxlo_protocol_enabled(module, id))
            continue;
        oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, (uint16_t)id);
        if (!p)
            continue;
        if (p->dissector_index != OXLO_NO_DISSECTOR) {
            /* The protocol has a dissector already: the newcomer only takes
             * over its routine. */
            if (p->dissector_index < det->dissector_count) {
                det->dissectors[p->dissector_index].callback = callback;
                /* What the replaced routine declared says nothing of this one. */
                if (det->kits)
                    det->kits[p->dissector_index].shortest_first = 0;
            }
            return OXLO_NO_DISSECTOR;
        }
        p->dissector_index = (uint16_t)index;
        if (first < 0)
            first = id;
    }
    if (first < 0)
        return -1;
    oxlo_dissector_entry *e = &det->dissectors[index];
    memset(e, 0, sizeof(*e));
    snprintf(e->name, sizeof(e->name), "%s", name ? name : "");
    e->index = (uint16_t)index;
    e->callback = callback;
    e->first_protocol = (uint16_t)first;
    e->selection = selection;
    if (det->kits) {
        memset(&det->kits[index], 0, sizeof(det->kits[index]));
        det->kits[index].slot = 0xFFFF;
    }
    det->dissector_count++;
    return (int)index;
}

int register_def(oxlo_module *module, const oxlo_dissector_def *def, uint32_t slot, uint16_t shortest)
{
    if (!def->search || !def->protocols || def->protocol_count == 0)
        return -2;
    int ids[256];
    for (uint8_t i = 0; i < def->protocol_count; i++)
        ids[i] = def->protocols[i];
    const int index = add_entry(def->name, module, def->search, def->selection, ids, def->protocol_count);
    if (index < 0)
        return -1;
    if (index == OXLO_NO_DISSECTOR)
        return 0;
    oxlo_dissector_kit *k = &module->det.kits[index];
    k->slot = (uint16_t)slot;
    k->state_size = def->state_size;
    k->release = def->release;
    k->json_block = def->json_block;
    k->shortest_first = shortest;
    return 0;
}

/* Runs the dissectors of P's sub-protocols; returns how many were called. */
uint32_t subprotocol_pass(oxlo_module *module, oxlo_flow_state *flow, uint16_t proto,
                          dissector_flow_mask packet_set)
{
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, proto);
    if (!p || !p->subprotocols)
        return 0;
    /* The message the flow was just named on, put together from several
     * segments, is what they read (not the segment that ended it). */
    oxlo_reader was = oxlo_reader_make(nullptr, 0);
    const bool offered = module->det.offered != nullptr;
    if (offered) {
        was = oxlo_dissector_swap_payload(module, oxlo_reader_make(module->det.offered, module->det.offered_length));
        module->det.offering = 1;
    }
    uint32_t calls = 0;
    for (uint32_t i = 0; i < p->subprotocol_count; i++) {
        const uint16_t sub = p->subprotocols[i];
        if (sub == 0xFFFE || sub == flow->app || sub == flow->master)
            continue;
        const oxlo_proto_defaults *sp = oxlo_proto_defaults_get(module, sub);
        if (!sp || sp->dissector_index >= module->det.dissector_count)
            continue;
        const oxlo_dissector_entry *e = &module->det.dissectors[sp->dissector_index];
        if (!e->callback || !eligible(e, packet_set) ||
            oxlo_flow_dissector_excluded(flow, e->index))
            continue;
        if (call_dissector(module, flow, e))
            calls++;
    }
    if (offered) {
        oxlo_dissector_swap_payload(module, was);
        module->det.offering = 0;
        module->det.offered = nullptr;
        oxlo_dissector_lines_forget(module);
    }
    return calls;
}

} // namespace

extern "C" {

int oxlo_dissector_add(const char *name, oxlo_module *module, oxlo_dissector_callback callback,
                       dissector_flow_mask selection, int count, ...)
{
    if (!module || !callback || !module->det.dissectors)
        return -2;
    if (count < 0 || count > 256)
        return -1;
    int ids[256];
    va_list ap;
    va_start(ap, count);
    for (int i = 0; i < count; i++)
        ids[i] = va_arg(ap, int);
    va_end(ap);
    return add_entry(name, module, callback, selection, ids, count) < 0 ? -1 : 0;
}

int oxlo_dissector_register(oxlo_module *module, const oxlo_dissector_def *def)
{
    if (!module || !def || !module->det.dissectors)
        return -2;
    const uint32_t slot = OXLO_DISSECTOR_BUILTIN_SLOTS + module->det.plugin_slots;
    const int rc = register_def(module, def, slot, 0);
    if (rc == 0)
        module->det.plugin_slots++;
    return rc;
}

int oxlo_dissector_register_builtin(oxlo_module *module, const char *file)
{
    if (!module || !file || !module->det.dissectors)
        return -2;
    for (uint32_t slot = 0; slot < OXLO_DISSECTOR_BUILTIN_SLOTS; slot++)
        if (strcmp(builtin_order[slot].file, file) == 0)
            return builtin_order[slot].def ? register_def(module, builtin_order[slot].def, slot, shortest_of(slot)) : -1;
    return -1;
}

int oxlo_dissectors_init(oxlo_module *module)
{
    if (!module)
        return -1;
    oxlo_dissectors_free(module);
    /* A protocol's dissector index is only meaningful for this table. */
    for (uint32_t id = 0;; id++) {
        oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, (uint16_t)id);
        if (!p || id >= 0xFFFF)
            break;
        p->dissector_index = OXLO_NO_DISSECTOR;
    }
    module->det.dissectors = static_cast<oxlo_dissector_entry *>(
        oxlo_heap_calloc(OXLO_MAX_DISSECTORS, sizeof(oxlo_dissector_entry)));
    module->det.kits = static_cast<oxlo_dissector_kit *>(
        oxlo_heap_calloc(OXLO_MAX_DISSECTORS, sizeof(oxlo_dissector_kit)));
    if (!module->det.dissectors || !module->det.kits) {
        oxlo_log(module, OXLO_LOG_ERROR, "Error dissectors_init\n");
        oxlo_dissectors_free(module);
        return -1;
    }
    module->det.dissector_count = 0;
    module->det.plugin_slots = 0;
    for (uint32_t slot = 0; slot < OXLO_DISSECTOR_BUILTIN_SLOTS; slot++)
        if (builtin_order[slot].def)
            register_def(module, builtin_order[slot].def, slot, shortest_of(slot));
    return 0;
}

int oxlo_dissectors_finish(oxlo_module *module)
{
    if (!module || !module->det.dissectors)
        return -1;
    oxlo_detection_part *det = &module->det;
    oxlo_detection_settings_load(module);
    void *smaller = oxlo_heap_realloc(det->dissectors,
                                      (det->dissector_count + 1) * sizeof(oxlo_dissector_entry));
    if (smaller)
        det->dissectors = static_cast<oxlo_dissector_entry *>(smaller);

    uint32_t counts[4] = {0, 0, 0, 0};
    for (uint32_t l = 0; l < 4; l++)
        for (uint32_t i = 0; i < det->dissector_count; i++)
            if (in_list(l, det->dissectors[i].selection))
                counts[l]++;
    const uint32_t total = counts[0] + counts[1] + counts[2] + counts[3];
    oxlo_heap_free(det->call_lists);
    det->call_lists = static_cast<oxlo_dissector_entry **>(
        oxlo_heap_calloc(total + 1, sizeof(oxlo_dissector_entry *)));
    if (!det->call_lists) {
        oxlo_log(module, OXLO_LOG_ERROR, "Error dissectors_init\n");
        return -1;
    }
    uint32_t pos = 0;
    for (uint32_t l = 0; l < 4; l++)
        for (uint32_t i = 0; i < det->dissector_count; i++)
            if (in_list(l, det->dissectors[i].selection))
                det->call_lists[pos++] = &det->dissectors[i];
    det->tcp_payload_count = counts[0];
    det->tcp_no_payload_count = counts[1];
    det->udp_count = counts[2];
    det->other_count = counts[3];
    return 0;
}

void oxlo_dissectors_free(oxlo_module *module)
{
    if (!module)
        return;
    oxlo_dstate_free(module);
    oxlo_heap_free(module->det.call_lists);
    oxlo_heap_free(module->det.dissectors);
    oxlo_heap_free(module->det.kits);
    oxlo_heap_free(module->det.message_copy);
    module->det.message_copy = nullptr;
    module->det.message_capacity = 0;
    module->det.call_lists = nullptr;
    module->det.dissectors = nullptr;
    module->det.kits = nullptr;
    module->det.dissector_count = 0;
    module->det.tcp_payload_count = module->det.tcp_no_payload_count = 0;
    module->det.udp_count = module->det.other_count = 0;
}

oxlo_dissector_entry **oxlo_dissector_list(oxlo_module *module, uint32_t which, uint32_t *count)
{
    oxlo_detection_part *det = &module->det;
    const uint32_t counts[4] = {det->tcp_payload_count, det->tcp_no_payload_count, det->udp_count,
                                det->other_count};
    *count = 0;
    if (!det->call_lists || which > 3)
        return nullptr;
    uint32_t offset = 0;
    for (uint32_t l = 0; l < which; l++)
        offset += counts[l];
    *count = counts[which];
    return det->call_lists + offset;
}

int oxlo_flow_dissector_excluded(const oxlo_flow_state *flow, uint32_t index)
{
    if (index >= OXLO_MAX_DISSECTORS)
        return 1;
    return (flow->excluded[index / 64] >> (index % 64)) & 1u;
}

void oxlo_flow_skip_dissector(oxlo_module *module, oxlo_flow_state *flow, uint16_t index,
                              const char *file, const char *function, int line)
{
    (void)module;
    (void)file;
    (void)function;
    (void)line;
    if (flow)
        oxlo_flow_mark_excluded(flow, index);
}

/* A UDP datagram shaped like a QUIC client Initial goes to QUIC before the
 * call list (after the guess by port): an Initial that decrypts and holds a
 * whole ClientHello is QUIC whatever else its bytes might resemble, and the
 * other UDP dissectors' tests on it are not paid. When QUIC neither
 * decides the flow on it nor claims it (a decrypted Initial that holds only
 * a part of the hello), the list runs as usual without QUIC. */
static const oxlo_dissector_entry *quic_first(oxlo_module *module, const oxlo_flow_state *flow,
                                              dissector_flow_mask packet_set)
{
    const oxlo_packet_state *pkt = &module->det.packet;
    if (!pkt->udp || !quic_initial_shape(pkt->payload, pkt->payload_length))
        return nullptr;
    const oxlo_dissector_entry *q = dissector_of(module, OXLO_PROTOCOL_QUIC);
    if (!q || !q->callback || !eligible(q, packet_set) || oxlo_flow_dissector_excluded(flow, q->index))
        return nullptr;
    return q;
}

/* On a flow's first datagram: the dissector declared that a datagram this
 * short only makes it exclude itself. Only while the flow holds no
 * dissector state, which is all the declaration speaks of. */
static bool too_short(const oxlo_module *module, const oxlo_flow_state *flow, const oxlo_dissector_entry *e)
{
    const oxlo_dissector_kit *k = kit_of(module, e->index);
    return k && module->det.packet.payload_length < k->shortest_first && !flow->dstates;
}

/* The dissectors of the messages that carry the host name rules match. */
static bool carries_host_name(const oxlo_dissector_entry *e)
{
    return e->first_protocol == OXLO_PROTOCOL_HTTP || e->first_protocol == OXLO_PROTOCOL_TLS;
}

uint32_t oxlo_dissect_flow(oxlo_module *module, oxlo_flow_state *flow, dissector_flow_mask packet_set,
                           oxlo_dissector_entry **list, uint32_t count)
{
    uint32_t calls = 0;
    oxlo_dissector_callback guessed_cb = nullptr;

    bool continues_pdu = false; /* this segment continues HTTP's or TLS's message: see below */

    module->det.packet_claimed = 0;
    module->det.view_pass = 1;
    module->det.view_flow = nullptr;
    module->det.offered = nullptr;
    const uint16_t guess = flow->partial_guess ? flow->partial_guess : flow->guess_by_port;
    const oxlo_dissector_entry *g = guess ? dissector_of(module, guess) : nullptr;
    if (g && g->callback && !oxlo_flow_dissector_excluded(flow, g->index) &&
        eligible(g, packet_set)) {
        if (call_dissector(module, flow, g))
            calls++;
        else
            continues_pdu = carries_host_name(g);
        guessed_cb = g->callback;
    }

    if (flow->app) {
        calls += subprotocol_pass(module, flow, flow->app, packet_set);
    } else if (!module->det.packet_claimed) {
        /* A segment that continues a request or hello that HTTP or TLS
         * waits for belongs to that message: read alone, its bytes are
         * whatever the sender put at that point of it (a session id, a
         * header value), and a looser matcher later in the order could take
         * them for another protocol's opening and decide the flow before
         * the host name is read. Such a segment is offered only to
         * dissectors that keep bytes of their own. (Other dissectors'
         * waits do not hold the rest back: many wait on any two bytes that
         * read as a length.) */
        oxlo_dissector_callback first_cb = nullptr;
        const bool first_datagram = module->det.packet.udp && flow->packets == 1 && !module->det.call_every_dissector;
        const oxlo_dissector_entry *q = continues_pdu ? nullptr : quic_first(module, flow, packet_set);
        if (q && q->callback != guessed_cb) {
            if (call_dissector(module, flow, q))
                calls++;
            first_cb = q->callback;
            if (flow->app)
                calls += subprotocol_pass(module, flow, flow->app, packet_set);
            if (flow->app || module->det.packet_claimed)
                count = 0;
        }
        for (uint32_t i = 0; i < count; i++) {
            const oxlo_dissector_entry *e = list[i];
            if (e->callback == guessed_cb || e->callback == first_cb || !eligible(e, packet_set) ||
                oxlo_flow_dissector_excluded(flow, e->index))
                continue;
            if (continues_pdu && !oxlo_stream_keeping(module, flow, uint16_t(e->index)))
                continue;
            if (first_datagram && too_short(module, flow, e)) {
                /* What its call would have done: it excluded itself. */
                module->det.current_dissector = e->index;
                oxlo_flow_skip_dissector(module, flow, e->index, __FILE__, __func__, __LINE__);
                calls++;
                continue;
            }
            if (!call_dissector(module, flow, e)) {
                continues_pdu = continues_pdu || carries_host_name(e);
                continue;
            }
            calls++;
            if (flow->app) {
                calls += subprotocol_pass(module, flow, flow->app, packet_set);
                break;
            }
            if (module->det.packet_claimed)
                break;
        }
    }
    if (flow->master)
        calls += subprotocol_pass(module, flow, flow->master, packet_set);
    module->det.view_pass = 0;
    module->det.view_flow = nullptr;
    module->det.offered = nullptr;
    return calls;
}

const char *oxlo_transport_name(int transport)
{
    switch (transport) {
    case 1:
        return "TCP";
    case 2:
        return "UDP";
    case 3:
        return "TCP/UDP";
    default:
        return "";
    }
}

int oxlo_protocol_dissector_transport(oxlo_module *module, uint16_t id)
{
    if (!module || !module->det.dissectors)
        return 0;
    const oxlo_dissector_entry *e = dissector_of(module, id);
    if (!e || !e->callback)
        return 0;
    if (e->selection & OXLO_SEL_TCP)
        return 1;
    if (e->selection & OXLO_SEL_UDP)
        return 2;
    if (e->selection & OXLO_SEL_TCP_OR_UDP)
        return 3;
    return 0;
}

} // extern "C"
