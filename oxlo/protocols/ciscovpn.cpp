/* The VPN client's UDP encapsulation between two 10000 ports: a 4-byte
 * magic. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CISCOVPN, OXLO_PROTOCOL_UNKNOWN);
}

void search_ciscovpn(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (v.src_port != 10000 || v.dst_port != 10000)
        OXLO_EXCLUDE(m, f);
    else if (p.length > 3 && oxlo_rd_match_n(&p, 0, "\xFE\x57\x7E\x2B", 4, 0))
        found(m, f);
    else if (f->packets_processed > 5)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CISCOVPN};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_ciscovpn = {
    "CiscoVPN", search_ciscovpn, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
