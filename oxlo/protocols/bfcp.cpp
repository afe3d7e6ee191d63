/* Binary floor control: a 12-byte common header (version, primitive, payload
 * length in 32-bit words, conference id, transaction id, user id). Version 2
 * runs only over UDP. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

struct bfcp_state {
    uint32_t conference_id;
    uint16_t user_id;
};


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BFCP, OXLO_PROTOCOL_UNKNOWN);
}

void search_bfcp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    oxlo_reader p = v.payload;
    /* Over TCP messages (version 1, a primitive, a length in words of what
     * follows the 12-byte header) are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t first = 0x20, primitive = 1;
        uint16_t words = 0;
        if ((oxlo_rd_u8_at(&r, 0, &first) && ((first >> 5) != 1 || (first & 3))) ||
            (oxlo_rd_u8_at(&r, 1, &primitive) && (primitive < 1 || primitive > 18)))
            return 0;
        if (!oxlo_rd_u16_at(&r, 2, &words) || r.length < 12)
            return -1;
        return 4 * int64_t(words) + 12;
    };
    if (v.l4 == OXLO_L4_TCP && oxlo_framing::whole(m, f, v, 12, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    const unsigned version = oxlo_rd_peek8(&p, 0) >> 5;
    if (p.length > 11 && (version == 1 || (version == 2 && v.l4 == OXLO_L4_UDP)) && (oxlo_rd_peek8(&p, 0) & 3) == 0 &&
        oxlo_rd_peek8(&p, 1) >= 1 && oxlo_rd_peek8(&p, 1) <= 18 && 4 * size_t(oxlo_rd_peek16(&p, 2)) + 12 == p.length) {
        bfcp_state *s = static_cast<bfcp_state *>(oxlo_dissector_state(m, f));
        if (s) {
            s->conference_id = uint32_t(oxlo_rd_peek32(&p, 4));
            s->user_id = uint16_t(oxlo_rd_peek16(&p, 10));
        }
        found(m, f);
    } else {
        OXLO_EXCLUDE(m, f);
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BFCP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_bfcp = {
    "BFCP", search_bfcp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(bfcp_state), nullptr, nullptr,
};
} // extern "C"
