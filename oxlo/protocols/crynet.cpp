/* CryNetwork (CryEngine games) over UDP: runs of short all-digit packets to
 * its port 61088, or one of three long message layouts. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

bool long_message(const oxlo_reader &p)
{
    uint8_t b0 = 0, b4 = 0, b16 = 0, b20 = 0, b24 = 0;
    if (!oxlo_rd_u8_at(&p, 0, &b0) || !oxlo_rd_u8_at(&p, 4, &b4) || !oxlo_rd_u8_at(&p, 16, &b16) || !oxlo_rd_u8_at(&p, 20, &b20) ||
        !oxlo_rd_u8_at(&p, 24, &b24))
        return false;
    const bool body = b0 == 0x60 && b16 == 0x01 && b20 == 0x07 && oxlo_rd_match_n(&p, 24, "\x03\x07", 2, 0);
    if (body && (p.length == size_t(b0) + 10 || p.length == size_t(b4) + 6))
        return true;
    return p.length == size_t(b4) + 6 && b0 == 0x05 && b4 == 0x44 && b24 == 0x07 && oxlo_rd_match_n(&p, 28, "\x03\x07", 2, 0);
}

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (p.length <= 4) {
        bool ok = pkt.payload_packets > 1 || pkt.dst_port == 61088;
        for (size_t i = 0; ok && i < p.length; i++) {
            uint8_t c = 0;
            ok = oxlo_rd_u8_at(&p, i, &c) && c >= '0' && c <= '9';
        }
        if (!ok)
            OXLO_EXCLUDE(m, f);
        else if (pkt.payload_packets > 9)
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CRYNETWORK, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if (p.length >= 30 && long_message(p))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CRYNETWORK, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CRYNETWORK};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_crynet = {
    "CryNetwork", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
