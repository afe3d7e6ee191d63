/* ZeroMQ's ZMTP: the greeting's signature is 0xFF, eight padding bytes and
 * 0x7F, then the major version. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The greeting's signature: 0xFF, eight bytes of padding, 0x7F; the
 * padding's last byte is 1 for the peers seen. */
constexpr size_t ZMTP_SIGNATURE = 0, ZMTP_SIGNATURE_END = 8, ZMTP_SIGNATURE_SIZE = 10;

void search_zmq(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t first = 0, end = 0;
    /* The signature is read whole however the peer cut its write: a start
     * of it that matches so far waits for the rest. */
    if (p.length < ZMTP_SIGNATURE_SIZE && oxlo_rd_u8_at(&p, ZMTP_SIGNATURE, &first) && first == 0xFF &&
        (!oxlo_rd_u8_at(&p, ZMTP_SIGNATURE_END, &end) || end == 0x01) &&
        oxlo_framing::wait_for(m, f, pkt, ZMTP_SIGNATURE_SIZE))
        return;
    if (p.length >= ZMTP_SIGNATURE_SIZE && oxlo_rd_u8_at(&p, ZMTP_SIGNATURE, &first) && first == 0xFF &&
        oxlo_rd_match_n(&p, ZMTP_SIGNATURE_END, "\x01\x7F", 2, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ZEROMQ, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ZEROMQ};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_zeromq = {
    "ZeroMQ", search_zmq, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
