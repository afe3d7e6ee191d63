/* Beckhoff ADS over TCP: the AMS/TCP header's length and the AMS header's
 * data length agree with the segment, with a known command and flags. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* AMS/TCP: two reserved bytes and the length of what follows; the AMS
 * header then names target and source (net id and port), the command, the
 * state flags, the data length, an error code and the invoke id. */
constexpr size_t AMS_TCP_RESERVED = 0, AMS_TCP_LENGTH = 2, AMS_TCP_HEADER = 6;
constexpr size_t AMS_COMMAND_ID = 22, AMS_STATE_FLAGS = 24, AMS_DATA_LENGTH = 26, AMS_ERROR_CODE = 30,
                 AMS_HEADER_END = 38;
constexpr uint32_t AMS_HEADER = AMS_HEADER_END - AMS_TCP_HEADER;
constexpr uint16_t AMS_STATE_REQUEST = 4, AMS_STATE_RESPONSE = 5, AMS_COMMAND_LAST = 9;
constexpr uint32_t AMS_ERROR_LAST = 30;

void search_beckhoff_ads(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* AMS/TCP packets (two zero bytes and a 32-bit length covering what
     * follows the 6-byte header) are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint16_t zero = 0;
        uint32_t n = 0;
        if (oxlo_rd_le16_at(&r, AMS_TCP_RESERVED, &zero) && zero)
            return 0;
        if (!oxlo_rd_le32_at(&r, AMS_TCP_LENGTH, &n))
            return -1;
        return n >= AMS_HEADER && n <= 65536 ? int64_t(n) + AMS_TCP_HEADER : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, AMS_TCP_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    const uint32_t state = oxlo_rd_peekle16(&p, AMS_STATE_FLAGS);
    if (!(p.length >= AMS_HEADER_END && oxlo_rd_peekle16(&p, AMS_TCP_RESERVED) == 0 &&
          uint64_t(oxlo_rd_peekle32(&p, AMS_TCP_LENGTH)) == p.length - AMS_TCP_HEADER &&
          uint64_t(oxlo_rd_peekle32(&p, AMS_DATA_LENGTH)) == p.length - AMS_HEADER_END &&
          (state == AMS_STATE_REQUEST || state == AMS_STATE_RESPONSE) &&
          oxlo_rd_peekle16(&p, AMS_COMMAND_ID) <= AMS_COMMAND_LAST &&
          oxlo_rd_peekle32(&p, AMS_ERROR_CODE) <= AMS_ERROR_LAST)) {
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
