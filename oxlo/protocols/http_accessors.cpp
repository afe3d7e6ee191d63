/* Read-only views of what the HTTP dissector kept about a flow, for the
 * flow-to-JSON writer and other readers outside the dissector. */
#include "http_private.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_private.h"

extern "C" {

static const http_state *http_state_of(const oxlo_flow_state *flow)
{
    static const http_state empty = {};
    const void *h = flow ? oxlo_flow_slot_state(flow, OXLO_DISSECTOR_http) : nullptr;
    return h ? static_cast<const http_state *>(h) : &empty;
}

static const char *text_or_empty(const char *text) { return text ? text : ""; }

uint16_t oxlo_flow_http_response_code(const oxlo_flow_state *flow) { return http_state_of(flow)->response_code; }

const char *oxlo_flow_http_request_content_type(const oxlo_flow_state *flow)
{
    return text_or_empty(http_state_of(flow)->request_content_type);
}

const char *oxlo_flow_http_response_content_type(const oxlo_flow_state *flow)
{
    return text_or_empty(http_state_of(flow)->response_content_type);
}

const char *oxlo_flow_http_detected_os(const oxlo_flow_state *flow) { return text_or_empty(http_state_of(flow)->os); }

const char *oxlo_flow_http_forwarded(const oxlo_flow_state *flow)
{
    return text_or_empty(http_state_of(flow)->forwarded);
}

const char *oxlo_flow_user_agent(const oxlo_flow_state *flow) {
    return flow ? text_or_empty(oxlo_flow_stored_user_agent(flow)) : "";
}

} // extern "C"
