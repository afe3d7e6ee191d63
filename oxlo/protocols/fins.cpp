/* FINS: over TCP a "FINS" frame header; over UDP the command header
 * (ICF, reserved, gateway count 2, network and node addresses). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The command header: information control field, reserved, gateway count,
 * then network, node and unit of the destination and of the source, and
 * the service id. */
constexpr size_t FINS_ICF = 0, FINS_RESERVED = 1, FINS_GATEWAY_COUNT = 2, FINS_DEST_NETWORK = 3, FINS_DEST_UNIT = 5,
                 FINS_SOURCE_NETWORK = 6, FINS_SOURCE_UNIT = 8;
constexpr size_t FINS_TCP_HEADER_MIN = 20, FINS_UDP_HEADER_MIN = 11;

bool node(uint8_t v) { return v == 0 || v == 0xFE || v == 0xE1 || (v >= 0x10 && v <= 0x1F); }

void search_fins(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    bool ok;
    if (pkt.l4 == OXLO_L4_TCP)
        ok = p.length >= FINS_TCP_HEADER_MIN && oxlo_rd_match_n(&p, 0, "FINS", 4, 0);
    else
        ok = p.length >= FINS_UDP_HEADER_MIN &&
             (oxlo_rd_peek8(&p, FINS_ICF) == 0x80 || oxlo_rd_peek8(&p, FINS_ICF) == 0xC0 ||
              oxlo_rd_peek8(&p, FINS_ICF) == 0xC1) &&
             oxlo_rd_peek8(&p, FINS_RESERVED) == 0 && oxlo_rd_peek8(&p, FINS_GATEWAY_COUNT) == 0x02 &&
             oxlo_rd_peek8(&p, FINS_DEST_NETWORK) < 0x80 && oxlo_rd_peek8(&p, FINS_SOURCE_NETWORK) < 0x80 &&
             node(oxlo_rd_peek8(&p, FINS_DEST_UNIT)) && node(oxlo_rd_peek8(&p, FINS_SOURCE_UNIT));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_FINS, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_FINS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_fins = {
    "FINS", search_fins, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_fins starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_fins = FINS_UDP_HEADER_MIN;
} // extern "C"
