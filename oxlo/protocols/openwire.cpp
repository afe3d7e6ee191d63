/* OpenWire: the broker's first command is WireFormatInfo (type 1) whose
 * magic reads "ActiveMQ". */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search_openwire(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* The WireFormatInfo (a length, type 1, "ActiveMQ") is read whole from
     * the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t kind = 1;
        const size_t magic = r.length < 13 ? (r.length > 5 ? r.length - 5 : 0) : 8;
        if ((oxlo_rd_u8_at(&r, 4, &kind) && kind != 1) || !oxlo_rd_match_n(&r, 5, "ActiveMQ", magic, 0))
            return 0;
        uint32_t n = 0;
        if (!oxlo_rd_u32_at(&r, 0, &n))
            return -1;
        return n >= 9 && n <= 65536 ? int64_t(n) + 4 : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, 4, 4, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint32_t length = 0;
    uint8_t type = 0;
    if (p.length > 22 && oxlo_rd_u32_at(&p, 0, &length) && uint64_t(length) + 4 == p.length &&
        oxlo_rd_u8_at(&p, 4, &type) && type == 1 && oxlo_rd_match(&p, 5, "ActiveMQ", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_OPENWIRE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_OPENWIRE};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_openwire = {
    "OpenWire", search_openwire, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
