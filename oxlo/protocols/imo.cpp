/* IMO voice and video calls over UDP: a pair of identical one-byte probes,
 * or one of its fixed-size signalling messages (09 02, 00 09 03, and the
 * 1099-byte 88 49 1A 00). A flow that shows none within ten packets is
 * something else. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"

namespace {


struct imo_state {
    uint8_t byte;       /* the byte of the previous packet, */
    uint8_t remembered; /* set when that packet was a one-byte one */
};

bool fixed_message(const oxlo_reader &p)
{
    return (p.length == 10 && oxlo_rd_match_n(&p, 0, "\x09\x02", 2, 0)) ||
           (p.length == 11 && oxlo_rd_match_n(&p, 0, "\x00\x09\x03", 3, 0)) ||
           (p.length == 1099 && oxlo_rd_match_n(&p, 0, "\x88\x49\x1A\x00", 4, 0));
}

/* The memory is made only for a one-byte packet and dropped by any other,
 * so the many flows IMO watches for its ten packets hold none of it. */
void search_imo(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.packets > 10) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_reader &p = pkt.payload;
    if (p.length == 1) {
        auto *st = static_cast<imo_state *>(oxlo_dissector_state(m, f));
        if (!st) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        if (st->remembered && st->byte == oxlo_rd_peek8(&p, 0)) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IMO, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
        /* A different byte replaces the one remembered. */
        st->byte = oxlo_rd_peek8(&p, 0);
        st->remembered = 1;
        return;
    }
    oxlo_flow_slot_state_free(f, OXLO_DISSECTOR_imo);
    if (fixed_message(p))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IMO, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IMO};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_imo = {
    "IMO", search_imo, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, sizeof(imo_state), nullptr, nullptr,
};
} // extern "C"
