/* NFS and its helpers (mount, portmapper) are ONC RPC calls: message type 0
 * (call), RPC version 2 and the program number. Over TCP each call follows
 * a record mark with the last-fragment bit and the record's length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr uint32_t LAST_FRAGMENT = 0x80000000u;
/* The record mark before a call over TCP, and the shortest call. */
constexpr size_t RECORD_MARK = 4;
constexpr uint32_t CALL_MIN = 40;

void search_nfs(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    size_t call = 0;
    if (pkt.l4 == OXLO_L4_TCP) {
        /* The record read whole from the stream: its mark must equal its
         * length, however the sender cut it. */
        auto size = [](const oxlo_reader &r) -> int64_t {
            uint32_t mark = 0;
            if (!oxlo_rd_u32_at(&r, 0, &mark))
                return -1;
            const uint32_t n = mark & ~LAST_FRAGMENT;
            return (mark & LAST_FRAGMENT) && n >= CALL_MIN ? int64_t(n) + RECORD_MARK : 0;
        };
        const oxlo_framing::first_end end = oxlo_framing::whole(m, f, pkt, RECORD_MARK, 4, size, &p);
        if (end == oxlo_framing::FIRST_WAITING)
            return;
        if (end != oxlo_framing::FIRST_WHOLE) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        call = RECORD_MARK;
    } else if (p.length < 40) {
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
