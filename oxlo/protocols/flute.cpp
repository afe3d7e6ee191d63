/* FLUTE file delivery over multicast UDP: an ALC/LCT packet (version 1 in
 * the first byte) whose header, H 32-bit words after the fixed part, is
 * followed by the XML File Delivery Table ("<?xml ... <FDT"). One packet
 * decides. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The LCT header: version and flags, more flags, its length in 32-bit
 * words, the codepoint; an FDT instance's XML follows the 4-byte FEC
 * payload id behind it: "<?xml" and, 43 bytes in, "<FDT". */
constexpr size_t LCT_VERSION = 0, LCT_HEADER_LENGTH = 2, FEC_PAYLOAD_ID = 4, XML_END = 8, FDT_TAG = 43,
                 FDT_TAG_END = 47, FLUTE_MIN = 251;
constexpr uint8_t LCT_VERSION_1 = 0x10;


void search_flute(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader &p = oxlo_dissector_packet(m, f).payload;
    const size_t header = 4 * size_t(oxlo_rd_peek8(&p, LCT_HEADER_LENGTH)); /* at most 1020: no sum below can wrap */
    const bool ok = p.length >= FLUTE_MIN && oxlo_rd_peek8(&p, LCT_VERSION) == LCT_VERSION_1 &&
                    header + FDT_TAG_END < p.length && oxlo_rd_match_n(&p, FEC_PAYLOAD_ID + header, "<?xm", 4, 0) &&
                    oxlo_rd_peek8(&p, XML_END + header) == 'l' && oxlo_rd_match_n(&p, FDT_TAG + header, "<FDT", 4, 0);
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_FLUTE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_FLUTE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_flute = {
    "FLUTE", search_flute, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_flute starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_flute = FLUTE_MIN;
} // extern "C"
