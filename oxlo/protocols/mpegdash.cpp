/* MPEG-DASH: adaptive streaming over HTTP, seen in the request of an HTTP
 * flow: a fragmented MP4 segment (".m4s") or movie (".mp4") requested, an
 * MP4 content type, or one of the DASH-specific headers. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

constexpr uint16_t max_wait_packets = 2;

bool is_http(const oxlo_flow_state *f)
{
    return oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_HTTP || oxlo_flow_master_protocol(f) == OXLO_PROTOCOL_HTTP;
}

bool dash_request(const oxlo_line_table &t, uint16_t count)
{
    const oxlo_reader first = oxlo_reader_make(t.line[0].ptr, t.line[0].ptr ? t.line[0].len : 0);
    if (oxlo_rd_ends(&first, "RTSP/1.0") || oxlo_rd_ends(&first, ".mp4 HTTP/1.1") ||
        oxlo_rd_ends(&first, ".m4s HTTP/1.1"))
        return true;
    for (uint16_t i = 1; i < count && i < OXLO_MAX_PAYLOAD_LINES; i++) {
        const oxlo_reader line = oxlo_reader_make(t.line[i].ptr, t.line[i].ptr ? t.line[i].len : 0);
        if (oxlo_rd_match(&line, 0, "Content-Type:", 0) && oxlo_rd_ends(&line, "video/mp4"))
            return true;
        if (oxlo_rd_match(&line, 0, "DASH", 0))
            return true;
    }
    return false;
}

void search_mpegdash(oxlo_module *m, oxlo_flow_state *f)
{
    if (!is_http(f)) {
        /* A request HTTP still reads may yet make the flow HTTP. */
        if (!oxlo_http_request_waiting(f) && oxlo_dissector_packet(m, f).payload_packets > max_wait_packets)
            OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_parse_payload_lines(m, f);
    uint16_t line_count = 0;
    const oxlo_line_table &lines = *oxlo_dissector_lines(m, &line_count);
    if (dash_request(lines, line_count))
        oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_MPEGDASH, OXLO_CONFIDENCE_DPI);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MPEGDASH};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_mpegdash = {
    "MpegDash", search_mpegdash, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
