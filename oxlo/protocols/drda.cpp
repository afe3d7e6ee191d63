/* The distributed database protocol: chained DSS blocks, each with its
 * length, the 0xD0 magic and an inner DDM length six bytes shorter. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DRDA, OXLO_PROTOCOL_UNKNOWN);
}

/* The bytes of a DSS block's header the rule reads (its length, the magic
 * and the inner length), and the most blocks walked. */
constexpr size_t DSS_READ = 10;
constexpr unsigned max_blocks = 64;

/* A block's size, 0 when its header is no DSS header, -1 before it is whole. */
int64_t block_size(const oxlo_reader &r)
{
    uint8_t magic = 0;
    if (oxlo_rd_u8_at(&r, 2, &magic) && magic != 0xD0)
        return 0;
    if (r.length < 8)
        return -1;
    const uint16_t length = oxlo_rd_peek16(&r, 0);
    return length == oxlo_rd_peek16(&r, 6) + 6 && length >= DSS_READ ? int64_t(length) : 0;
}

/* The blocks cut by the segments are read whole: the first one's header,
 * and the last of a chain. True while waiting. */
bool wait_for_blocks(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &v)
{
    const oxlo_reader &p = v.payload;
    if (p.length <= 9) {
        /* Before the magic, a length a block can have (15 bits, 10 at least). */
        const bool plausible = p.length >= 3 ? oxlo_rd_peek8(&p, 2) == 0xD0
                                             : oxlo_rd_peek8(&p, 0) < 0x80 && (p.length < 2 || oxlo_rd_peek16(&p, 0) >= DSS_READ);
        return plausible && oxlo_framing::wait_for(m, f, v, DSS_READ);
    }
    if (oxlo_rd_peek16(&p, 0) >= p.length)
        return false;
    unsigned count = 0;
    uint64_t total = 0;
    return oxlo_framing::walk(p, DSS_READ, max_blocks, block_size, &count, &total) == oxlo_framing::WALK_SHORT &&
           oxlo_framing::wait_for(m, f, v, total);
}

void search_drda(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (wait_for_blocks(m, f, v))
        return;
    auto block = [&](size_t at) { return oxlo_rd_peek8(&p, at + 2) == 0xD0 && oxlo_rd_peek16(&p, at) == oxlo_rd_peek16(&p, at + 6) + 6; };
    if (p.length <= 9 || !block(0)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    size_t at = oxlo_rd_peek16(&p, 0);
    if (at >= p.length) {
        found(m, f);
        return;
    }
    while (at + 10 < p.length) {
        if (!block(at)) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        at += oxlo_rd_peek16(&p, at);
    }
    if (at == p.length)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DRDA};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_drda = {
    "DRDA", search_drda, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
