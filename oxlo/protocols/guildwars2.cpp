/* Guild Wars 2's login service speaks an HTTP-like STS/1.0 protocol. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    ok = p.length > 50 && (oxlo_rd_match(&p, 0, "P /Sts/Connect STS/1.0", 0) || oxlo_rd_match(&p, 0, "P /Auth/StartTls STS/1.0", 0) ||
                           oxlo_rd_match(&p, 0, "STS/1.0 400 Success", 0));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GUILDWARS2, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_GUILDWARS2};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_guildwars2 = {
    "GuildWars2", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
