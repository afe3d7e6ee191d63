/* UltraSurf: its client's first bytes are a fixed eight-byte magic. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_ultrasurf(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length >= 8 && oxlo_rd_match_n(&p, 0, "\xCC\x1C\x30\x41\x5B\xA4\x38\x66", 8, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ULTRASURF, OXLO_PROTOCOL_UNKNOWN);
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ULTRASURF};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_ultrasurf = {
    "UltraSurf", search_ultrasurf, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
