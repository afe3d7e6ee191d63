/* DNSCrypt: a client query starts with the 8-byte client magic
 * "r6fnvWj8"; the certificate request is a plain DNS TXT query for
 * "2.dnscrypt-cert.<provider>", whose first label shows at offset 13. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_dnscrypt(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if ((p.length >= 64 && oxlo_rd_match(&p, 0, "r6fnvWj8", 0)) ||
        (p.length >= 24 && oxlo_rd_match(&p, 13, "2\rdnscrypt", 1))) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DNSCRYPT, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if ((pkt.payload_packets_dir[0] && pkt.payload_packets_dir[1]) || pkt.packets > 7)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DNSCRYPT};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_dnscrypt = {
    "DNScrypt", search_dnscrypt,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
