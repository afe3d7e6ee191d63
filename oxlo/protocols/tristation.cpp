/* TriStation: a little-endian length at 2 covering the rest after the
 * six-byte header, and a direction byte of 0 or 1. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The header: a message type byte, ..., the little-endian length at 2 of
 * what follows the 6-byte header, and a direction byte at 4. */
constexpr size_t TS_LENGTH = 2, TS_DIRECTION = 4, TS_HEADER = 6;

void search_tristation(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= TS_HEADER && oxlo_rd_peek8(&p, TS_DIRECTION) <= 1 &&
          size_t(oxlo_rd_peekle16(&p, TS_LENGTH)) + TS_HEADER == p.length)) {
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
