/* Read-only views of what the HTTP dissector kept about a flow, for the
 * flow-to-JSON writer and other readers outside the dissector. */
#include "oxlo_private.h"

extern "C" {

static const char *text_or_empty(const char *text) { return text ? text : ""; }

uint16_t oxlo_flow_http_response_code(const oxlo_flow_state *flow)
{
    return flow ? flow->proto.http.response_code : 0;
}

const char *oxlo_flow_http_request_content_type(const oxlo_flow_state *flow)
{
    return flow ? text_or_empty(flow->proto.http.request_content_type) : "";
}

const char *oxlo_flow_http_response_content_type(const oxlo_flow_state *flow)
{
    return flow ? text_or_empty(flow->proto.http.response_content_type) : "";
}

const char *oxlo_flow_http_detected_os(const oxlo_flow_state *flow)
{
    return flow ? text_or_empty(flow->proto.http.os) : "";
}

const char *oxlo_flow_http_forwarded(const oxlo_flow_state *flow)
{
    return flow ? text_or_empty(flow->proto.http.forwarded) : "";
}

const char *oxlo_flow_user_agent(const oxlo_flow_state *flow) { return flow ? text_or_empty(flow->user_agent) : ""; }

} // extern "C"
