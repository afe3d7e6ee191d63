/* PPTP's control connection opens with Start-Control-Connection-Request:
 * length, message type 1 (control), the magic cookie 0x1A2B3C4D, type 1. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A control message: its length, the message type (1, control), the magic
 * cookie and the control message type. */
constexpr size_t PPTP_LENGTH = 0, PPTP_MESSAGE_TYPE = 2, PPTP_MAGIC = 4, PPTP_CONTROL_TYPE = 8, PPTP_HEADER = 10;
constexpr size_t PPTP_MAGIC_END = 8, PPTP_MESSAGE_MIN = 16;

void search_pptp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Control messages (a length, type 1, the magic cookie) are read whole
     * from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        const size_t n = r.length < PPTP_MAGIC_END ? r.length : PPTP_MAGIC_END;
        uint16_t length = 0;
        /* The message type and the cookie, as far as they came. */
        if (n > PPTP_MESSAGE_TYPE && !oxlo_rd_match_n(&r, PPTP_MESSAGE_TYPE, "\x00\x01\x1A\x2B\x3C\x4D", n - PPTP_MESSAGE_TYPE, 0))
            return 0;
        if (!oxlo_rd_u16_at(&r, PPTP_LENGTH, &length) || r.length < PPTP_MAGIC_END)
            return -1;
        return length >= PPTP_MESSAGE_MIN ? int64_t(length) : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, PPTP_MAGIC_END, 8, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint16_t length = 0;
    if (p.length >= PPTP_HEADER && oxlo_rd_u16_at(&p, PPTP_LENGTH, &length) && length == p.length &&
        oxlo_rd_match_n(&p, PPTP_MESSAGE_TYPE, "\x00\x01", 2, 0) &&
        oxlo_rd_match_n(&p, PPTP_MAGIC, "\x1A\x2B\x3C\x4D", 4, 0) &&
        oxlo_rd_match_n(&p, PPTP_CONTROL_TYPE, "\x00\x01", 2, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PPTP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_PPTP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_pptp = {
    "PPTP", search_pptp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
