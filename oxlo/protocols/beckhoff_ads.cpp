/* Beckhoff ADS over TCP: the AMS/TCP header's length and the AMS header's
 * data length agree with the segment, with a known command and flags. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search_beckhoff_ads(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* AMS/TCP packets (two zero bytes and a 32-bit length covering what
     * follows the 6-byte header) are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint16_t zero = 0;
        uint32_t n = 0;
        if (oxlo_rd_le16_at(&r, 0, &zero) && zero)
            return 0;
        if (!oxlo_rd_le32_at(&r, 2, &n))
            return -1;
        return n >= 32 && n <= 65536 ? int64_t(n) + 6 : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, 6, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (!(p.length > 37 && oxlo_rd_peekle16(&p, 0) == 0 && uint64_t(oxlo_rd_peekle32(&p, 2)) == p.length - 6 && uint64_t(oxlo_rd_peekle32(&p, 26)) == p.length - 38 && (oxlo_rd_peekle16(&p, 24) == 4 || oxlo_rd_peekle16(&p, 24) == 5) && oxlo_rd_peekle16(&p, 22) <= 9 && oxlo_rd_peekle32(&p, 30) <= 30)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BECKHOFFADS, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BECKHOFFADS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_beckhoff_ads = {
    "BeckhoffADS", search_beckhoff_ads, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
