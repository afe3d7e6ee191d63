/* Oracle TNS on port 1521: a CONNECT packet (type 1) with its 16-bit length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A TNS packet: its length, the packet checksum, the type, a reserved
 * byte and the header checksum. */
constexpr size_t TNS_LENGTH = 0, TNS_CHECKSUM = 2, TNS_TYPE = 4, TNS_RESERVED = 5, TNS_HEADER = 8;
constexpr uint8_t TNS_CONNECT = 1;
constexpr uint16_t TNS_PORT = 1521;

void search_oracle(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* A TNS packet (a 16-bit length, a zero checksum, its type) is read whole
     * from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint16_t n = 0, sum = 0;
        if (oxlo_rd_u16_at(&r, TNS_CHECKSUM, &sum) && sum)
            return 0;
        if (!oxlo_rd_u16_at(&r, TNS_LENGTH, &n))
            return -1;
        return n >= TNS_HEADER ? int64_t(n) : 0;
    };
    const bool port = pkt.src_port == TNS_PORT || pkt.dst_port == TNS_PORT;
    if (port && oxlo_framing::whole(m, f, pkt, TNS_TYPE, 4, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint16_t length = 0, checksum = 1;
    uint8_t type = 0;
    /* The reserved byte and the header checksum. */
    const uint8_t *zeros = oxlo_rd_bytes_at(&p, TNS_RESERVED, TNS_HEADER - TNS_RESERVED);
    if (port && p.length >= TNS_HEADER && oxlo_rd_u16_at(&p, TNS_LENGTH, &length) && length == p.length &&
        oxlo_rd_u16_at(&p, TNS_CHECKSUM, &checksum) && checksum == 0 && oxlo_rd_u8_at(&p, TNS_TYPE, &type) &&
        type == TNS_CONNECT && zeros && !zeros[0] && !zeros[1] && !zeros[2])
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ORACLE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ORACLE};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_oracle = {
    "Oracle", search_oracle, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
