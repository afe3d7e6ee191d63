/* RTPS (DDS interoperability wire protocol): "RTPS" or "RTPX", major
 * version 2 and a known minor version. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The header: the protocol id, version (major, minor), vendor id, then the
 * GUID prefix (16 bytes in all before it). */
constexpr size_t RTPS_PROTOCOL = 0, RTPS_VERSION_MAJOR = 4, RTPS_VERSION_MINOR = 5, RTPS_HEADER_MIN = 16;
constexpr uint8_t RTPS_MAJOR = 2, RTPS_MINOR_LAST = 5;

void search_rtps(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= RTPS_HEADER_MIN &&
          (oxlo_rd_match_n(&p, RTPS_PROTOCOL, "RTPS", 4, 0) || oxlo_rd_match_n(&p, RTPS_PROTOCOL, "RTPX", 4, 0)) &&
          oxlo_rd_peek8(&p, RTPS_VERSION_MAJOR) == RTPS_MAJOR && oxlo_rd_peek8(&p, RTPS_VERSION_MINOR) <= RTPS_MINOR_LAST)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RTPS, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RTPS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_rtps = {
    "RTPS", search_rtps, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_rtps starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_rtps = RTPS_HEADER_MIN;
} // extern "C"
