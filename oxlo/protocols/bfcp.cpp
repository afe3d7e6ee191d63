/* Binary floor control: a 12-byte common header (version, primitive, payload
 * length in 32-bit words, conference id, transaction id, user id). Version 2
 * runs only over UDP. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* (The transaction id lies at 8.) */
constexpr size_t BFCP_VERSION = 0, BFCP_PRIMITIVE = 1, BFCP_PAYLOAD_LENGTH = 2, BFCP_CONFERENCE_ID = 4,
                 BFCP_USER_ID = 10, BFCP_HEADER = 12;
constexpr uint8_t BFCP_PRIMITIVE_LAST = 18;

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
        if ((oxlo_rd_u8_at(&r, BFCP_VERSION, &first) && ((first >> 5) != 1 || (first & 3))) ||
            (oxlo_rd_u8_at(&r, BFCP_PRIMITIVE, &primitive) && (primitive < 1 || primitive > BFCP_PRIMITIVE_LAST)))
            return 0;
        if (!oxlo_rd_u16_at(&r, BFCP_PAYLOAD_LENGTH, &words) || r.length < BFCP_HEADER)
            return -1;
        return 4 * int64_t(words) + BFCP_HEADER;
    };
    if (v.l4 == OXLO_L4_TCP && oxlo_framing::whole(m, f, v, BFCP_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    const unsigned version = oxlo_rd_peek8(&p, BFCP_VERSION) >> 5;
    if (p.length >= BFCP_HEADER && (version == 1 || (version == 2 && v.l4 == OXLO_L4_UDP)) &&
        (oxlo_rd_peek8(&p, BFCP_VERSION) & 3) == 0 && oxlo_rd_peek8(&p, BFCP_PRIMITIVE) >= 1 &&
        oxlo_rd_peek8(&p, BFCP_PRIMITIVE) <= BFCP_PRIMITIVE_LAST &&
        4 * size_t(oxlo_rd_peek16(&p, BFCP_PAYLOAD_LENGTH)) + BFCP_HEADER == p.length) {
        bfcp_state *s = static_cast<bfcp_state *>(oxlo_dissector_state(m, f));
        if (s) {
            s->conference_id = uint32_t(oxlo_rd_peek32(&p, BFCP_CONFERENCE_ID));
            s->user_id = uint16_t(oxlo_rd_peek16(&p, BFCP_USER_ID));
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
