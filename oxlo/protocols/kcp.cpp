/* KCP, a reliable transport over UDP (or TCP): a command byte 81 to 84 and
 * a length that fits the payload after its 24-byte header. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A segment (little-endian): conversation id, command, fragment, window,
 * timestamp, sequence and una numbers, then the data length of what
 * follows the 24-byte header. */
constexpr size_t KCP_COMMAND = 4, KCP_LENGTH = 20, KCP_HEADER = 24;
constexpr uint8_t KCP_PUSH = 81, KCP_TELL = 84;

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint8_t command = 0;
    uint32_t length = 0;
    ok = p.length >= KCP_HEADER && oxlo_rd_u8_at(&p, KCP_COMMAND, &command) && command >= KCP_PUSH &&
         command <= KCP_TELL && oxlo_rd_le32_at(&p, KCP_LENGTH, &length) && uint64_t(length) + KCP_HEADER == p.length;
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_KCP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_KCP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_kcp = {
    "KCP", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_kcp = KCP_HEADER;
} // extern "C"
