/* OpenWire: the broker's first command is WireFormatInfo (type 1) whose
 * magic reads "ActiveMQ". */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A command: its length (of what follows it), the data type, then for the
 * WireFormatInfo the magic "ActiveMQ". */
constexpr size_t OW_LENGTH = 0, OW_TYPE = 4, OW_MAGIC = 5, OW_MAGIC_END = 13, OW_LENGTH_SIZE = 4;
constexpr uint8_t OW_WIREFORMAT_INFO = 1;
constexpr size_t OW_INFO_MIN = 23;

void search_openwire(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* The WireFormatInfo (a length, type 1, "ActiveMQ") is read whole from
     * the stream; the commands a client writes behind it in the same
     * segment are sized by their length alone. */
    const uint8_t *start = p.data;
    auto size = [start](const oxlo_reader &r) -> int64_t {
        if (r.data != start) {
            uint32_t n = 0;
            if (!oxlo_rd_u32_at(&r, OW_LENGTH, &n))
                return -1;
            return n >= 1 && n <= 65536 ? int64_t(n) + OW_LENGTH_SIZE : 0;
        }
        uint8_t kind = 1;
        const size_t magic =
            r.length < OW_MAGIC_END ? (r.length > OW_MAGIC ? r.length - OW_MAGIC : 0) : OW_MAGIC_END - OW_MAGIC;
        if ((oxlo_rd_u8_at(&r, OW_TYPE, &kind) && kind != OW_WIREFORMAT_INFO) ||
            (magic && !oxlo_rd_match_n(&r, OW_MAGIC, "ActiveMQ", magic, 0)))
            return 0;
        uint32_t n = 0;
        if (!oxlo_rd_u32_at(&r, OW_LENGTH, &n))
            return -1;
        return n >= OW_MAGIC_END - OW_LENGTH_SIZE && n <= 65536 ? int64_t(n) + OW_LENGTH_SIZE : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, OW_LENGTH_SIZE, 4, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint32_t length = 0;
    uint8_t type = 0;
    if (p.length >= OW_INFO_MIN && oxlo_rd_u32_at(&p, OW_LENGTH, &length) &&
        uint64_t(length) + OW_LENGTH_SIZE == p.length && oxlo_rd_u8_at(&p, OW_TYPE, &type) &&
        type == OW_WIREFORMAT_INFO && oxlo_rd_match(&p, OW_MAGIC, "ActiveMQ", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_OPENWIRE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_OPENWIRE};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_openwire = {
    "OpenWire", search_openwire, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
