/* Usenet news (NNTP). The server greets first with "200 " (posting
 * allowed) or "201 "; a reader then logs in or switches to reader mode. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct usenet_state {
    uint8_t greeting; /* 0 none, else the greeting's direction + 1 */
};

void search_usenet(oxlo_module *m, oxlo_flow_state *f)
{
    usenet_state *s = static_cast<usenet_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (!s->greeting) {
        if (p.length > 10 && (oxlo_rd_match(&p, 0, "200 ", 0) || oxlo_rd_match(&p, 0, "201 ", 0))) {
            s->greeting = uint8_t(pkt.direction + 1);
            return;
        }
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.direction + 1 == s->greeting)
        return; /* more of the server's own lines */
    const bool reader = (p.length >= 21 && oxlo_rd_match(&p, 0, "AUTHINFO USER ", 0)) ||
                        (p.length == 13 && oxlo_rd_match(&p, 0, "MODE READER\r\n", 0)) ||
                        (p.length == 6 && oxlo_rd_match(&p, 0, "HELP\r\n", 0));
    if (reader)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_USENET, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t usenet_protocols[] = {OXLO_PROTOCOL_USENET};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_usenet = {
    "Usenet",
    search_usenet,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    usenet_protocols,
    1,
    sizeof(usenet_state),
    nullptr,
    nullptr,
};

} // extern "C"
