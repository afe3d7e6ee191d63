/* ZeroMQ's ZMTP: the greeting's signature is 0xFF, eight padding bytes and
 * 0x7F, then the major version. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_zmq(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint8_t first = 0;
    if (p.length > 9 && oxlo_rd_u8_at(&p, 0, &first) && first == 0xFF && oxlo_rd_match_n(&p, 8, "\x01\x7F", 2, 0))
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
