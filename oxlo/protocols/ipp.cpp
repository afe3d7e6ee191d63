/* IPP, printing over HTTP: a POST whose body is an IPP message. It runs on
 * flows the HTTP dissector already named. The media type application/ipp
 * names it whatever the path: the print system's own tools post to
 * /printers/<queue>, /jobs/..., /admin/ and /, not to /ipp/. A POST to a
 * path under /ipp/ is IPP too. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_kit.h"
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_utils.h"

#include <cstring>

namespace {

constexpr uint32_t METHOD_POST = 5;

/* "application/ipp", alone or followed by parameters. */
bool ipp_media_type(oxlo_reader type)
{
    static const char name[] = "application/ipp";
    const size_t n = sizeof(name) - 1;
    size_t start = 0;
    uint8_t next = 0;
    while (oxlo_rd_u8_at(&type, start, &next) && next == ' ')
        start++;
    if (!oxlo_rd_match_n(&type, start, name, n, 1))
        return false;
    return !oxlo_rd_u8_at(&type, start + n, &next) || next == ';' || next == ' ' || next == '\t';
}

bool ipp_body(oxlo_module *m, oxlo_flow_state *f)
{
    const char *stored = oxlo_flow_http_request_content_type(f);
    if (*stored && ipp_media_type(oxlo_reader_make(stored, strlen(stored))))
        return true;
    oxlo_parse_payload_lines(m, f);
    const oxlo_payload_line &ct = (*oxlo_dissector_lines(m, nullptr)).content_type;
    return ct.ptr && ipp_media_type(oxlo_reader_make(ct.ptr, ct.len));
}

void search_ipp(oxlo_module *m, oxlo_flow_state *f)
{
    /* On IPP's own port this runs before HTTP has read the request: wait
     * for HTTP to name the flow rather than give up on it (while HTTP reads
     * a request still arriving, however many segments it takes). */
    if (!oxlo_flow_app_protocol(f) &&
        (oxlo_http_request_waiting(f) || oxlo_dissector_packet(m, f).payload_packets <= 8))
        return;
    const char *url = oxlo_flow_http_url(f);
    const char *path = strchr(url, '/');
    const bool post = oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_HTTP && oxlo_flow_http_method(f) == METHOD_POST;
    if (post && ((path && strlen(path) > 4 && oxlo_compare_nocase(path, "/ipp/", 5) == 0) || ipp_body(m, f)))
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
