/* IEC 60870-5-104 over TCP: a segment is a chain of APDUs, each 0x68 and a
 * non-zero length byte, that ends exactly at the segment's end. */
#include "oxlo_dissector.h"

namespace {

/* Walks the APDU chain; the walk never reads past the payload. */
bool apdu_chain(const oxlo_reader &p)
{
    size_t off = 0;
    while (off < p.length) {
        uint8_t start = 0, length = 0;
        if (!oxlo_rd_u8_at(&p, off, &start) || start != 0x68 || !oxlo_rd_u8_at(&p, off + 1, &length) || length == 0)
            return false;
        off += size_t(length) + 2;
    }
    return off == p.length;
}

void search_iec60870_5_104(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length > 1 && apdu_chain(p))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IEC60870, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IEC60870};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_iec60870_5_104 = {
    "IEC60870", search_iec60870_5_104, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
