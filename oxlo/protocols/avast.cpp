/* The antivirus service's TCP messages: NOSA and a 16-bit total length. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_kit.h"
#include "peek.h"

namespace {

using namespace oxlo_peek;

void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_AVAST, OXLO_PROTOCOL_UNKNOWN);
}

void search_avast(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length >= 6 && oxlo_rd_match(&p, 0, "NOSA", 0) && be16(p, 4) == p.length)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_AVAST};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_avast = {
    "AVAST", search_avast, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
