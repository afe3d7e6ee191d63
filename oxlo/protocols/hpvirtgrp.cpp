/* HP virtual machine group management: the first message is 0x16, its own
 * 16-bit length and a zero byte. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The first message: its type (0x16), its own length, a zero byte. */
constexpr size_t HPVG_TYPE = 0, HPVG_LENGTH = 1, HPVG_ZERO = 3, HPVG_MIN = 4;
constexpr uint8_t HPVG_FIRST_TYPE = 0x16;

void search_hpvirtgrp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t b0 = 0, b3 = 1;
    uint16_t length = 0;
    if (pkt.payload_packets == 1 && p.length >= HPVG_MIN && oxlo_rd_u8_at(&p, HPVG_TYPE, &b0) &&
        b0 == HPVG_FIRST_TYPE && oxlo_rd_u16_at(&p, HPVG_LENGTH, &length) && length == p.length &&
        oxlo_rd_u8_at(&p, HPVG_ZERO, &b3) && b3 == 0)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HP_VIRTGRP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_HP_VIRTGRP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_hpvirtgrp = {
    "HP_VIRTGRP", search_hpvirtgrp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
