/* Read-only views of what the DNS dissector kept about a flow, for the
 * flow-to-JSON writer and other readers outside the dissector. */
#include "dns_private.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_tls_dns.h"

extern "C" {

static const oxlo_dns_flow *dns_state(const oxlo_flow_state *flow)
{
    static const oxlo_dns_flow empty = {};
    const void *d = flow ? oxlo_flow_slot_state(flow, OXLO_DISSECTOR_dns) : nullptr;
    return d ? static_cast<const oxlo_dns_flow *>(d) : &empty;
}

uint8_t oxlo_flow_dns_question_count(const oxlo_flow_state *flow) { return dns_state(flow)->question_count; }

uint8_t oxlo_flow_dns_record_count(const oxlo_flow_state *flow) { return dns_state(flow)->record_count; }

uint16_t oxlo_flow_dns_answer_type(const oxlo_flow_state *flow) { return dns_state(flow)->answer_type; }

} // extern "C"
