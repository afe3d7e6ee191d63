/* HCL Notes (NRPC). The client's first message carries a fixed marker at
 * bytes 6 to 13 right after the TCP handshake. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

struct notes_state {
    uint8_t packets;
};

const uint8_t marker[8] = {0x00, 0x00, 0x02, 0x00, 0x00, 0x40, 0x02, 0x0F};

void search_notes(oxlo_module *m, oxlo_flow_state *f)
{
    notes_state *s = static_cast<notes_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (s->packets < 255)
        s->packets++;
    if (pkt.payload_packets == 1 && oxlo_flow_handshake_complete(f)) {
        if (pkt.payload.length < 17) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        const uint8_t *b = oxlo_rd_bytes_at(&pkt.payload, 6, sizeof(marker));
        if (b && memcmp(b, marker, sizeof(marker)) == 0) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HCL_NOTES, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
    }
    if (s->packets > 3)
        OXLO_EXCLUDE(m, f);
}

const uint16_t notes_protocols[] = {OXLO_PROTOCOL_HCL_NOTES};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_hcl_notes = {
    "HCL_Notes",
    search_notes,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    notes_protocols,
    1,
    sizeof(notes_state),
    nullptr,
    nullptr,
};

} // extern "C"
