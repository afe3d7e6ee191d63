/* RTSP: HTTP-like requests and responses whose version is "RTSP/1.0" (at the
 * end of a request line, at the start of a status line), or RTSP tunnelled
 * through HTTP, which names the content type application/x-rtsp-tunnelled.
 * Over HTTP the flow keeps HTTP below RTSP; the client's User-Agent is kept. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

#include <ctype.h>

namespace {

/* Over TCP, asks the stream for one byte more than the view holds (the
 * text goes on until its end shows). true while waiting. */
bool wait_for_more(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    return pkt.l4 == OXLO_L4_TCP && oxlo_dissector_need(m, f, pkt.payload.length + 1) == 0;
}

const char version[] = "RTSP/1.0";
const char tunnelled[] = "application/x-rtsp-tunnelled";

bool ends_with(const oxlo_payload_line &l, const char *text)
{
    const oxlo_reader r = oxlo_reader_make(l.ptr, l.ptr ? l.len : 0);
    return oxlo_rd_ends(&r, text);
}

/* The rule, on the message's lines. */
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

/* The most bytes of a message's header block waited for over TCP; a
 * longer one is read as it stands. */
constexpr size_t HEAD_MAX = 4096;

/* Text a request or status line can start with so far: printable bytes
 * from a letter on (binary flows are not waited for). */
bool text_line_start(const oxlo_reader &p, size_t n)
{
    if (n == 0 || !isalpha(oxlo_rd_peek8(&p, 0)))
        return false;
    for (size_t i = 1; i < n; i++) {
        const uint8_t c = oxlo_rd_peek8(&p, i);
        if ((c < 0x20 && c != '\t' && c != '\r') || c >= 0x7F)
            return false;
    }
    return true;
}

/* Over TCP a message is read as its receiver reads it: the first line
 * whole, and when that line is a request or status line, the header block
 * up to its blank line, however the sender's writes were cut. True while
 * the rest is asked for. */
bool wait_for_head(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    if (pkt.l4 != OXLO_L4_TCP || p.length >= HEAD_MAX)
        return false;
    const ptrdiff_t nl = oxlo_rd_find_byte(&p, 0, '\n');
    if (nl < 0)
        return text_line_start(p, p.length) && wait_for_more(m, f, pkt);
    if (!text_line_start(p, size_t(nl)))
        return false;
    size_t end = size_t(nl);
    if (end && oxlo_rd_peek8(&p, end - 1) == '\r')
        end--;
    const oxlo_reader first = oxlo_rd_upto(&p, end);
    const bool message = oxlo_rd_match(&first, 0, version, 0) || oxlo_rd_match(&first, 0, "HTTP/1.", 0) ||
                         oxlo_rd_ends(&first, version) ||
                         (end >= 8 && oxlo_rd_match(&first, end - 8, "HTTP/1.", 0));
    if (!message || oxlo_rd_find(&p, 0, "\r\n\r\n", 0) >= 0 || oxlo_rd_find(&p, 0, "\n\n", 0) >= 0)
        return false;
    return wait_for_more(m, f, pkt);
}

void search_rtsp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (wait_for_head(m, f, pkt))
        return;
    /* The lines of the message as the stream put it together (kept as the
     * packet's table for the readers after this one); a view of the
     * packet's own bytes uses the packet's table. */
    const bool joined = pkt.payload.data != pkt.segment.data && pkt.payload.length <= UINT16_MAX;
    const bool borrowed = joined && oxlo_parse_lines_kept(m, f, pkt.payload.data, uint16_t(pkt.payload.length)) != 0;
    if (!joined)
        oxlo_parse_payload_lines(m, f);
    decide(m, f);
    if (borrowed)
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
