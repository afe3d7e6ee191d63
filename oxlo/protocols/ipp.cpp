/* IPP, printing over HTTP: a POST to a path under /ipp/. It runs on flows
 * the HTTP dissector already named. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_utils.h"

#include <cstring>

namespace {

constexpr uint32_t METHOD_POST = 5;

void search_ipp(oxlo_module *m, oxlo_flow_state *f)
{
    /* On IPP's own port this runs before HTTP has read the request: wait
     * for HTTP to name the flow rather than give up on it. */
    if (!oxlo_flow_app_protocol(f) && oxlo_dissector_packet(m, f).payload_packets <= 8)
        return;
    const char *url = oxlo_flow_http_url(f);
    const char *path = strchr(url, '/');
    if (oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_HTTP && oxlo_flow_http_method(f) == METHOD_POST && path &&
        strlen(path) > 4 && oxlo_compare_nocase(path, "/ipp/", 5) == 0)
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_IPP, OXLO_PROTOCOL_HTTP, OXLO_CONFIDENCE_DPI);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IPP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ipp = {
    "IPP", search_ipp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
