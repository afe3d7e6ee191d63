/* Tailscale's disco messages on its UDP port 41641 open with "TS" and a
 * fixed emoji. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_tailscale(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if ((pkt.src_port == 41641 || pkt.dst_port == 41641) && pkt.payload.length > 6 &&
        oxlo_rd_match_n(&pkt.payload, 0, "\x54\x53\xF0\x9F\x92\xAC", 6, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TAILSCALE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TAILSCALE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_tailscale = {
    "Tailscale", search_tailscale, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
