/* CIP implicit (class 1) I/O on UDP 2222: an item count and common packet
 * format items whose lengths cover the datagram exactly. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* Common packet format: the item count (16 bits, little-endian), then
 * items of a type id, a length and the data. */
constexpr size_t CPF_ITEM_COUNT = 0, CPF_ITEM_COUNT_HIGH = 1, CPF_ITEMS = 2, ITEM_LENGTH = 2, ITEM_HEADER = 4;
constexpr size_t CIP_IO_MIN = 12, CIP_IO_MAX = 63;
constexpr uint16_t CIP_IO_PORT = 2222;

bool items_cover(const oxlo_reader &p, uint8_t count)
{
    size_t off = CPF_ITEMS;
    for (unsigned i = 0; i < count && off + ITEM_HEADER <= p.length; i++) {
        uint8_t length = 0;
        oxlo_rd_u8_at(&p, off + ITEM_LENGTH, &length);
        off += size_t(length) + ITEM_HEADER;
    }
    return off == p.length;
}

void search_cip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    uint8_t count = 0, zero = 1;
    if (pkt.src_port == CIP_IO_PORT && pkt.dst_port == CIP_IO_PORT && p.length >= CIP_IO_MIN && p.length <= CIP_IO_MAX &&
        oxlo_rd_u8_at(&p, CPF_ITEM_COUNT, &count) && count != 0 && oxlo_rd_u8_at(&p, CPF_ITEM_COUNT_HIGH, &zero) &&
        zero == 0 && items_cover(p, count))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CIP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CIP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_cip = {
    "CIP", search_cip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_cip starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_cip = CIP_IO_MIN;
} // extern "C"
