/* Lustre's network layer (LNet over TCP, IPv4 only): its hello and message
 * headers carry the destination's IPv4 address (the address as a number,
 * written little-endian) at a fixed place, which makes a strong test
 * together with the magic numbers. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

uint32_t destination_ipv4(const oxlo_module *m)
{
    const oxlo_reader ip = oxlo_dissector_ip(m, 4);
    return uint32_t(oxlo_rd_peek32(&ip, 16));
}

void search_lustre(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    const uint32_t dst = destination_ipv4(m);
    uint32_t v = 0, length = 0;
    const bool hello = p.length > 15 &&
                       (oxlo_rd_match_n(&p, 0, "\x63\x69\x72\x45", 4, 0) ||
                        oxlo_rd_match_n(&p, 0, "\x00\x71\xCE\xAC", 4, 0)) &&
                       oxlo_rd_le32_at(&p, 8, &v) && v == dst;
    const bool message = p.length > 95 && oxlo_rd_match_n(&p, 0, "\xC1\x00\x00\x00", 4, 0) &&
                         oxlo_rd_le32_at(&p, 24, &v) && v == dst && oxlo_rd_le32_at(&p, 52, &length) &&
                         uint64_t(length) + 96 == p.length;
    if (hello || message)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_LUSTRE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_LUSTRE};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_lustre = {
    "Lustre", search_lustre, OXLO_SEL_IPV4 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
