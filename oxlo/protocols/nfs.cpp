/* NFS and its helpers (mount, portmapper) are ONC RPC calls: message type 0
 * (call), RPC version 2 and the program number. Over TCP each call follows
 * a record mark with the last-fragment bit and the record's length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr uint32_t LAST_FRAGMENT = 0x80000000u;
/* The record mark, the shortest call after it, the longest record waited
 * for and the most records walked in a view. */
constexpr size_t MARK = 4, CALL_MIN = 40;
constexpr uint32_t RECORD_MAX = 1u << 20;
constexpr unsigned max_records = 16;

/* The size of the record at the start of r (its mark included): 0 when the
 * mark is no last fragment of a call's length, -1 before it is whole. */
int64_t record_size(const oxlo_reader &r)
{
    uint8_t first = 0;
    if (oxlo_rd_u8_at(&r, 0, &first) && !(first & 0x80))
        return 0;
    uint32_t mark = 0;
    if (!oxlo_rd_u32_at(&r, 0, &mark))
        return -1;
    const uint32_t length = mark & ~LAST_FRAGMENT;
    return length >= CALL_MIN && length <= RECORD_MAX ? int64_t(MARK + length) : 0;
}

void search_nfs(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    size_t call = 0;
    if (pkt.l4 == OXLO_L4_TCP) {
        /* The records are read from the stream: one the segments cut waits
         * for its bytes, and the records must end where the view ends. The
         * call's own fields are proof enough that a view asked for a
         * record's exact size holds one. */
        unsigned count = 0;
        uint64_t total = 0;
        const oxlo_framing::walk_end end = oxlo_framing::walk(p, MARK, max_records, record_size, &count, &total);
        if (end == oxlo_framing::WALK_SHORT && oxlo_framing::wait_for(m, f, pkt, total))
            return;
        if (end != oxlo_framing::WALK_WHOLE) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        call = MARK;
    } else if (p.length < CALL_MIN) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    uint32_t type = 1, rpc = 0, program = 0, version = 99;
    oxlo_rd_u32_at(&p, call + 4, &type);
    oxlo_rd_u32_at(&p, call + 8, &rpc);
    oxlo_rd_u32_at(&p, call + 12, &program);
    oxlo_rd_u32_at(&p, call + 16, &version);
    if (type == 0 && rpc == 2 && (program == 100003 || program == 100005 || program == 100000) && version <= 4)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NFS, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NFS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_nfs = {
    "NFS", search_nfs, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_nfs starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_nfs = 40;
} // extern "C"
