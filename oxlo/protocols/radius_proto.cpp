/* RADIUS over UDP 1812/1813 (and 18013): a code, an identifier, a length
 * equal to the datagram's and a 16-byte authenticator. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A packet: code, identifier, the packet's length, the authenticator. */
constexpr size_t RADIUS_CODE = 0, RADIUS_LENGTH = 2, RADIUS_HEADER = 20, RADIUS_MAX = 4096;
constexpr uint8_t RADIUS_CODE_LAST = 13;

bool radius_port(uint16_t p) { return p == 1812 || p == 1813 || p == 18013; }

void search_radius(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (radius_port(pkt.dst_port) || radius_port(pkt.src_port)) {
        if (p.length < RADIUS_HEADER || p.length > RADIUS_MAX) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        uint8_t code = 0;
        uint16_t length = 0;
        if (oxlo_rd_u8_at(&p, RADIUS_CODE, &code) && code >= 1 && code <= RADIUS_CODE_LAST &&
            oxlo_rd_u16_at(&p, RADIUS_LENGTH, &length) &&
            length == p.length) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RADIUS, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
    }
    if (pkt.payload_packets > 3)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RADIUS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_radius_proto = {
    "Radius", search_radius, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
