/* IEC 60870-5-104 over TCP: the stream is a chain of APDUs, each 0x68 and
 * a non-zero length byte; the APDUs are read whole, and a view of several
 * must end with a whole one. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr unsigned MAX_APDUS = 32;
/* An APDU: the start byte 0x68 and the length of what follows it. */
constexpr size_t APCI_START = 0, APCI_LENGTH = 1, APCI_LENGTH_BASE = 2;
constexpr uint8_t APCI_START_BYTE = 0x68;

/* The size of the APDU at the start of r: 0 when it is none, -1 when only
 * its start byte is at hand. */
int64_t apdu_size(const oxlo_reader &r)
{
    uint8_t start = 0, length = 0;
    if (!oxlo_rd_u8_at(&r, APCI_START, &start) || start != APCI_START_BYTE)
        return 0;
    if (!oxlo_rd_u8_at(&r, APCI_LENGTH, &length))
        return -1;
    return length ? int64_t(length) + APCI_LENGTH_BASE : 0;
}

void search_iec60870_5_104(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    unsigned apdus = 0;
    uint64_t total = 0;
    const oxlo_framing::walk_end end = oxlo_framing::walk(pkt.payload, APCI_LENGTH_BASE, MAX_APDUS, apdu_size, &apdus, &total);
    if (end == oxlo_framing::WALK_SHORT && oxlo_framing::wait_for(m, f, pkt, total))
        return;
    if (end == oxlo_framing::WALK_WHOLE)
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
