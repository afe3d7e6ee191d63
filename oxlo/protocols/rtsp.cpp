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

/* Longest first line waited for. */
constexpr size_t LINE_MAX = 2048;

/* Text so far, which may start a request or status line. */
bool text(const oxlo_reader &p)
{
    for (size_t i = 0; i < p.length; i++) {
        const uint8_t c = oxlo_rd_peek8(&p, i);
        if ((c < 0x20 || c > 0x7E) && c != '\r' && c != '\t')
            return false;
    }
    return true;
}

void decide(oxlo_module *m, oxlo_flow_state *f)
{
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

/* The first line is read whole from the stream however the peer cut its
 * write: a view of text without a line end waits for more. */
void search_rtsp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (pkt.l4 == OXLO_L4_TCP && p.length < LINE_MAX && oxlo_rd_find_byte(&p, 0, '\n') < 0 && text(p) &&
        oxlo_dissector_need(m, f, p.length + 1) == 0)
        return;
    if (pkt.l4 != OXLO_L4_TCP || p.data == pkt.segment.data) {
        oxlo_parse_payload_lines(m, f);
        decide(m, f);
        return;
    }
    /* The bytes put back together: their own parse, given back after. */
    oxlo_parse_lines_of(m, f, p.data, uint16_t(p.length < 0xFFFF ? p.length : 0xFFFF));
    decide(m, f);
    oxlo_dissector_lines_forget(m);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RTSP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_rtsp = {
    "RTSP", search_rtsp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
