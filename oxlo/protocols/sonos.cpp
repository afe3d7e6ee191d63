/* Sonos speakers talking to the vendor's servers over UDP: 48-byte
 * messages with port 12301 on one side, and datagrams to port 7080 of
 * below 200 or 1001..1099 bytes. Only traffic to a public IPv4 address
 * counts; one packet decides. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_hosts.h"
#include "oxlo_private.h"

namespace {

bool public_destination(const oxlo_module *m)
{
    const oxlo_reader ip = oxlo_dissector_ip(m, 4);
    uint32_t dst = 0;
    return oxlo_rd_u32_at(&ip, 16, &dst) && oxlo_ipv4_is_public(dst);
}

bool matches(const oxlo_packet_view &pkt)
{
    const size_t n = pkt.payload.length;
    if (n == 48 && (pkt.src_port == 12301 || pkt.dst_port == 12301))
        return true;
    return pkt.dst_port == 7080 && ((n >= 1001 && n <= 1099) || n < 200);
}

void search_sonos(oxlo_module *m, oxlo_flow_state *f)
{
    if (public_destination(m) && matches(oxlo_dissector_packet(m, f)))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SONOS, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SONOS};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_sonos = {
    "Sonos", search_sonos, OXLO_SEL_IPV4 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
