/* IEC 62056 (DLMS) in HDLC frames: 7E A0 ... 7E with a CRC-16/X-25 frame
 * check (little-endian) before the closing flag. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_crc.h"

namespace {

/* An HDLC frame: the flag 0x7E, the frame format (type 3, 0xA0 with no
 * segmentation and the top length bits zero), ..., the frame check
 * sequence (little-endian) before the closing flag. The check covers all
 * between the flags but itself. */
constexpr size_t HDLC_FLAG = 0, HDLC_FORMAT = 1, HDLC_MIN = 9, HDLC_FCS_AND_FLAG = 3;
constexpr uint8_t HDLC_FLAG_BYTE = 0x7E, HDLC_FORMAT_TYPE3 = 0xA0;

void search_iec62056(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= HDLC_MIN && oxlo_rd_peek8(&p, HDLC_FLAG) == HDLC_FLAG_BYTE &&
          oxlo_rd_peek8(&p, HDLC_FORMAT) == HDLC_FORMAT_TYPE3 && oxlo_rd_peek8(&p, p.length - 1) == HDLC_FLAG_BYTE &&
          crc16_x25(oxlo_rd_bytes_at(&p, HDLC_FORMAT, p.length - 1 - HDLC_FCS_AND_FLAG), p.length - 1 - HDLC_FCS_AND_FLAG) ==
              oxlo_rd_peekle16(&p, p.length - HDLC_FCS_AND_FLAG))) {
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

/* Shorter first datagrams fail the length test search_iec62056 starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_iec62056 = HDLC_MIN;
} // extern "C"
