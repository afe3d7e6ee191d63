/* OpenFlow messages: version byte 6, a type, and a length equal to the
 * segment's. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* Version, message type, length of the whole message, transaction id. */
constexpr size_t OF_VERSION = 0, OF_TYPE = 1, OF_LENGTH = 2, OF_HEADER = 8;
constexpr uint8_t OF_VERSION_1_5 = 6, OF_TYPE_LAST = 35;

void search_openflow(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Messages (version 6, a type, a 16-bit length) are read whole from the
     * stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t v = 0, kind = 0;
        uint16_t n = 0;
        if ((oxlo_rd_u8_at(&r, OF_VERSION, &v) && v != OF_VERSION_1_5) || (oxlo_rd_u8_at(&r, OF_TYPE, &kind) && kind > OF_TYPE_LAST))
            return 0;
        if (!oxlo_rd_u16_at(&r, OF_LENGTH, &n))
            return -1;
        return n >= OF_HEADER ? int64_t(n) : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, OF_LENGTH + 2, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint8_t version = 0, type = 0xFF;
    uint16_t length = 0;
    if (p.length >= OF_HEADER && oxlo_rd_u8_at(&p, OF_VERSION, &version) && version == OF_VERSION_1_5 &&
        oxlo_rd_u8_at(&p, OF_TYPE, &type) && type <= OF_TYPE_LAST && oxlo_rd_u16_at(&p, OF_LENGTH, &length) &&
        length == p.length)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_OPENFLOW, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_OPENFLOW};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_openflow = {
    "OpenFlow", search_openflow, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
