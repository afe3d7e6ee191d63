/* Tuya local protocol: frames between 00 00 55 AA and 00 00 AA 55 with a
 * sequence number that fits the frame. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A frame: the prefix 00 00 55 AA, the sequence number, the command, the
 * length, ..., the suffix 00 00 AA 55. */
constexpr size_t TUYA_PREFIX = 0, TUYA_SEQUENCE = 4, TUYA_MIN = 16, TUYA_SUFFIX_SIZE = 4;

void search_tuya_lp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= TUYA_MIN && oxlo_rd_match_n(&p, TUYA_PREFIX, "\x00\x00\x55\xAA", 4, 0) &&
          oxlo_rd_peek32(&p, TUYA_SEQUENCE) <= p.length &&
          oxlo_rd_match_n(&p, p.length - TUYA_SUFFIX_SIZE, "\x00\x00\xAA\x55", 4, 0))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TUYALP, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TUYALP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_tuya_lp = {
    "TUYA LP", search_tuya_lp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_tuya_lp starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_tuya_lp = TUYA_MIN;
} // extern "C"
