/* CNP/IP (LonWorks over IP): a length covering the datagram, version and
 * packet type in the low bits of bytes 3 and 5. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* Reads within the payload; callers check its length first. */
uint8_t at(const oxlo_reader &p, size_t o)
{
    uint8_t v = 0;
    oxlo_rd_u8_at(&p, o, &v);
    return v;
}
uint16_t be16(const oxlo_reader &p, size_t o)
{
    uint16_t v = 0;
    oxlo_rd_u16_at(&p, o, &v);
    return v;
}

void search_cnp_ip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 20 && be16(p, 0) == p.length && (at(p, 3) & 0x1F) == 1 && at(p, 4) == 0 && (at(p, 5) & 0x1F) < 3)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CNP_IP, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CNP_IP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_cnp_ip = {
    "CNP-IP", search_cnp_ip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
