/* The antivirus service's TCP messages: NOSA and a 16-bit total length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A message: "NOSA", the length of the whole message. */
constexpr size_t NOSA_MARKER = 0, NOSA_LENGTH = 4, NOSA_HEADER = 6;


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
        if (!oxlo_rd_match_n(&r, NOSA_MARKER, "NOSA", r.length < 4 ? r.length : 4, 0))
            return 0;
        if (r.length < NOSA_HEADER)
            return -1;
        const uint32_t n = oxlo_rd_peek16(&r, NOSA_LENGTH);
        return n >= NOSA_HEADER ? int64_t(n) : 0;
    };
    if (oxlo_framing::whole(m, f, v, NOSA_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (p.length >= NOSA_HEADER && oxlo_rd_match(&p, NOSA_MARKER, "NOSA", 0) &&
        oxlo_rd_peek16(&p, NOSA_LENGTH) == p.length)
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
