/* RTSP: HTTP-like requests and responses whose version is "RTSP/1.0" (at the
 * end of a request line, at the start of a status line), or RTSP tunnelled
 * through HTTP, which names the content type application/x-rtsp-tunnelled.
 * Over HTTP the flow keeps HTTP below RTSP; the client's User-Agent is kept. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

const char version[] = "RTSP/1.0";
const char tunnelled[] = "application/x-rtsp-tunnelled";

bool ends_with(const oxlo_payload_line &l, const char *text)
{
    const oxlo_reader r = oxlo_reader_make(l.ptr, l.ptr ? l.len : 0);
    return oxlo_rd_ends(&r, text);
}

void search_rtsp(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_parse_payload_lines(m, f);
    uint16_t line_count = 0;
    const oxlo_line_table &t = *oxlo_dissector_lines(m, &line_count);
    if (line_count == 0) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_reader first = oxlo_reader_make(t.line[0].ptr, t.line[0].ptr ? t.line[0].len : 0);
    const bool rtsp = oxlo_rd_ends(&first, version) || oxlo_rd_match(&first, 0, version, 0) ||
                      ends_with(t.accept, tunnelled) || ends_with(t.content_type, tunnelled);
    if (!rtsp) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_RTSP, OXLO_CONFIDENCE_DPI);
    if (t.user_agent.ptr && t.user_agent.len)
        oxlo_flow_store_user_agent(f, reinterpret_cast<const char *>(t.user_agent.ptr), t.user_agent.len);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RTSP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_rtsp = {
    "RTSP", search_rtsp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
