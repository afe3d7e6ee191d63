/* STOMP: text frames; the client opens with a STOMP (or CONNECT) frame and
 * the broker answers CONNECTED with its headers. 1.0 clients open with
 * CONNECT; its line end is required, so an HTTP CONNECT request is not one. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

#include <cstring>

namespace {

/* The shortest openings taken: a client frame over 26 bytes, the broker's
 * CONNECTED frame over 100. */
constexpr size_t CLIENT_OPENING_MIN = 27, SERVER_OPENING_MIN = 101;

bool client_opening(const oxlo_reader &p)
{
    return oxlo_rd_match(&p, 0, "STOMP", 0) || oxlo_rd_match(&p, 0, "CONNECT\n", 0) ||
           oxlo_rd_match(&p, 0, "CONNECT\r\n", 0);
}

/* The view, shorter than the frame is to be, is its start so far: the
 * opening's command cut, or the command whole and the frame still short. */
bool opening_start(const oxlo_reader &p, bool from_client)
{
    const char *const commands[] = {"STOMP", "CONNECT\n", "CONNECT\r\n", "CONNECTED"};
    for (size_t i = from_client ? 0 : 3; i < (from_client ? 3u : 4u); i++) {
        const size_t n = strlen(commands[i]);
        if (oxlo_rd_match_n(&p, 0, commands[i], p.length < n ? p.length : n, 0))
            return true;
    }
    return false;
}

void search_stomp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* The opening frame is read from the stream, however it was cut. */
    const size_t enough = pkt.from_client ? CLIENT_OPENING_MIN : SERVER_OPENING_MIN;
    if (p.length && p.length < enough && opening_start(p, pkt.from_client) && oxlo_dissector_need(m, f, enough) == 0)
        return;
    if ((pkt.from_client && p.length > 26 && client_opening(p)) ||
        (!pkt.from_client && p.length > 100 && oxlo_rd_match(&p, 0, "CONNECTED", 0)))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_STOMP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_STOMP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_stomp = {
    "STOMP", search_stomp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
