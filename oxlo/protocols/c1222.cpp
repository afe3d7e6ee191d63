/* ANSI C12.22: an ACSE PDU (0x60) whose length fits the packet, then the
 * called AP title (A2 .. 06). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The ACSE PDU: tag 0x60 and its length (of what follows the 2 bytes),
 * then the called AP title: tag 0xA2, its length, the OID tag 0x06. */
constexpr size_t ACSE_TAG = 0, ACSE_LENGTH = 1, ACSE_HEADER = 2, CALLED_AP_TITLE = 2, CALLED_AP_OID = 4,
                 C1222_MIN = 50;
constexpr uint8_t ACSE_PDU = 0x60, AP_TITLE_TAG = 0xA2, OID_TAG = 0x06;

void search_c1222(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= C1222_MIN && oxlo_rd_peek8(&p, ACSE_TAG) == ACSE_PDU &&
          oxlo_rd_peek8(&p, ACSE_LENGTH) == uint8_t(p.length - ACSE_HEADER) &&
          oxlo_rd_peek8(&p, CALLED_AP_TITLE) == AP_TITLE_TAG && oxlo_rd_peek8(&p, CALLED_AP_OID) == OID_TAG)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ANSI_C1222, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ANSI_C1222};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_c1222 = {
    "ANSI_C1222", search_c1222, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_c1222 starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_c1222 = C1222_MIN;
} // extern "C"
