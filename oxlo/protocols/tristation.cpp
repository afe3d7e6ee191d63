/* TriStation: a little-endian length at 2 covering the rest after the
 * six-byte header, and a direction byte of 0 or 1. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_tristation(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= 6 && oxlo_rd_peek8(&p, 4) <= 1 && size_t(oxlo_rd_peekle16(&p, 2)) + 6 == p.length)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TRISTATION, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TRISTATION};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_tristation = {
    "TriStation", search_tristation, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
