/* IEC 62056 (DLMS) in HDLC frames: 7E A0 ... 7E with a CRC-16/X-25 frame
 * check (little-endian) before the closing flag. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_crc.h"

namespace {

void search_iec62056(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 8 && oxlo_rd_peek8(&p, 0) == 0x7E && oxlo_rd_peek8(&p, 1) == 0xA0 && oxlo_rd_peek8(&p, p.length - 1) == 0x7E && crc16_x25(oxlo_rd_bytes_at(&p, 1, p.length - 4), p.length - 4) == oxlo_rd_peekle16(&p, p.length - 3))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IEC62056, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IEC62056};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_iec62056 = {
    "IEC62056", search_iec62056, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
