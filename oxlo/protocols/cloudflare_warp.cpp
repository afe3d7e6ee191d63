/* The CDN's VPN client over UDP: named by the server's address block and
 * the ports it answers on. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

#include <arpa/inet.h>
#include <initializer_list>

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CLOUDFLAREWARP, OXLO_PROTOCOL_UNKNOWN);
}

void search_cloudflare_warp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    bool port = ntohs(f->server_port) == 2408;
    for (uint16_t known : {500, 2408, 1701, 4500, 443, 4443, 8443, 8095})
        port = port || v.src_port == known || v.dst_port == known;
    if (f->guess_by_address == OXLO_PROTOCOL_CLOUDFLAREWARP && port)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CLOUDFLAREWARP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_cloudflare_warp = {
    "CloudflareWarp", search_cloudflare_warp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
