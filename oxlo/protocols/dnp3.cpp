/* DNP3 over TCP: link-layer frames start 05 64 and a 10-byte header; one
 * cut by the segments is read from the stream. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The link header: start bytes 05 64, length, control, destination,
 * source, its CRC (10 bytes). */
constexpr size_t LINK_START = 0, HEADER = 10;

void search_dnp3(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (p.length < HEADER && oxlo_rd_match_n(&p, LINK_START, "\x05\x64", p.length < 2 ? p.length : 2, 0) &&
        oxlo_framing::wait_for(m, f, pkt, HEADER))
        return;
    if (!(p.length >= HEADER && oxlo_rd_match_n(&p, LINK_START, "\x05\x64", 2, 0))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DNP3, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DNP3};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_dnp3 = {
    "DNP3", search_dnp3, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
