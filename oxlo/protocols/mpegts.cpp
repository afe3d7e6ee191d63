/* MPEG transport stream over UDP: each datagram carries whole 188-byte
 * packets, every one opening with the sync byte 0x47. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

constexpr size_t TS_PACKET = 188;
constexpr uint8_t SYNC = 0x47;

bool whole_ts_packets(const oxlo_reader &p)
{
    if (p.length == 0 || p.length % TS_PACKET)
        return false;
    for (size_t at = 0; at < p.length; at += TS_PACKET) {
        uint8_t sync = 0;
        if (!oxlo_rd_u8_at(&p, at, &sync) || sync != SYNC)
            return false;
    }
    return true;
}

void search_mpegts(oxlo_module *m, oxlo_flow_state *f)
{
    if (whole_ts_packets(oxlo_dissector_packet(m, f).payload))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MPEG_TS, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MPEG_TS};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_mpegts = {
    "MPEG_TS", search_mpegts, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_mpegts starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_mpegts = TS_PACKET;
} // extern "C"
