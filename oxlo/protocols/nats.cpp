/* NATS: text commands (the server's INFO, the client's CONNECT, PUB, SUB,
 * PING ...) ending in CR LF. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

#include <cstring>

namespace {

const char *const verbs[] = {"INFO {", "CONNECT {", "PUB ", "SUB ", "UNSUB ", "MSG ", "PING", "PONG"};

/* Longest command line waited for (the server's INFO carries JSON). */
constexpr size_t LINE_MAX = 4096;

/* The bytes may start one of the commands. */
bool plausible(const oxlo_reader &p)
{
    for (const char *v : verbs) {
        const size_t n = strlen(v) < p.length ? strlen(v) : p.length;
        if (oxlo_rd_match_n(&p, 0, v, n, 0))
            return true;
    }
    return false;
}

void search_nats(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.l4 != OXLO_L4_TCP)
        return;
    /* A command is read whole, up to its line end, however the peer cut
     * its write. */
    oxlo_reader p;
    if (oxlo_framing::lines(m, f, pkt, LINE_MAX, plausible(pkt.payload), &p))
        return;
    if (p.length < 5) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    for (const char *v : verbs) {
        const size_t n = strlen(v) < p.length ? strlen(v) : p.length;
        if (oxlo_rd_match_n(&p, 0, v, n, 0) && oxlo_rd_contains(&p, "\r\n", 0)) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NATS, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NATS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_nats = {
    "Nats", search_nats, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
