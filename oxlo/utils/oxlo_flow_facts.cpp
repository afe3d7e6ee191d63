/* Read-only views of engine-level flow facts that the flow export needs and
 * that no dissector owns: stream content and payload entropy. */
#include "oxlo_private.h"

extern "C" {

uint8_t oxlo_flow_stream_content(const oxlo_flow_state *flow) { return flow ? flow->media_types : 0; }

float oxlo_flow_entropy(const oxlo_flow_state *flow) { return flow ? flow->entropy : 0.0f; }

} // extern "C"
