/* FLUTE file delivery over multicast UDP: an ALC/LCT packet (version 1 in
 * the first byte) whose header, H 32-bit words after the fixed part, is
 * followed by the XML File Delivery Table ("<?xml ... <FDT"). One packet
 * decides. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void search_flute(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader &p = oxlo_dissector_packet(m, f).payload;
    const size_t header = 4 * size_t(oxlo_rd_peek8(&p, 2)); /* at most 1020: no sum below can wrap */
    const bool ok = p.length > 250 && oxlo_rd_peek8(&p, 0) == 0x10 && header + 47 < p.length &&
                    oxlo_rd_match_n(&p, 4 + header, "<?xm", 4, 0) && oxlo_rd_peek8(&p, 8 + header) == 'l' &&
                    oxlo_rd_match_n(&p, 43 + header, "<FDT", 4, 0);
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
} // extern "C"
