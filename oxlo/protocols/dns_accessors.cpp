/* Read-only views of what the DNS dissector kept about a flow, for the
 * flow-to-JSON writer and other readers outside the dissector. */
#include "oxlo_private.h"
#include "oxlo_tls_dns.h"

extern "C" {

uint8_t oxlo_flow_dns_question_count(const oxlo_flow_state *flow) { return flow ? flow->dns.question_count : 0; }

uint8_t oxlo_flow_dns_record_count(const oxlo_flow_state *flow) { return flow ? flow->dns.record_count : 0; }

uint16_t oxlo_flow_dns_answer_type(const oxlo_flow_state *flow) { return flow ? flow->dns.answer_type : 0; }

} // extern "C"
