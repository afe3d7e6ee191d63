/* The antivirus service's TCP messages: NOSA and a 16-bit total length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_AVAST, OXLO_PROTOCOL_UNKNOWN);
}

void search_avast(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    oxlo_reader p = v.payload;
    /* Messages ("NOSA", a 16-bit length of the whole) are read whole from
     * the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        if (!oxlo_rd_match_n(&r, 0, "NOSA", r.length < 4 ? r.length : 4, 0))
            return 0;
        if (r.length < 6)
            return -1;
        return oxlo_rd_peek16(&r, 4) >= 6 ? int64_t(oxlo_rd_peek16(&r, 4)) : 0;
    };
    if (oxlo_framing::whole(m, f, v, 6, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (p.length >= 6 && oxlo_rd_match(&p, 0, "NOSA", 0) && oxlo_rd_peek16(&p, 4) == p.length)
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
