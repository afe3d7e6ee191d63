/* PTP version 2 over UDP: event (319) or general (320) messages between
 * the same ports, a message type and the version number. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The common header: transport-specific bits and message type, reserved
 * bits and version, ... (34 bytes before the body). */
constexpr size_t PTP_MESSAGE_TYPE = 0, PTP_VERSION = 1, PTP_HEADER = 34;
constexpr uint8_t PTP_VERSION_2 = 2, PTP_MESSAGE_TYPE_RESERVED = 15;
constexpr uint16_t PTP_EVENT_PORT = 319, PTP_GENERAL_PORT = 320;

void search_ptpv2(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    const bool ports = (pkt.src_port == PTP_EVENT_PORT && pkt.dst_port == PTP_EVENT_PORT) ||
                       (pkt.src_port == PTP_GENERAL_PORT && pkt.dst_port == PTP_GENERAL_PORT);
    if (!(p.length > PTP_HEADER && ports && (oxlo_rd_peek8(&p, PTP_MESSAGE_TYPE) & 0x0F) != PTP_MESSAGE_TYPE_RESERVED &&
          (oxlo_rd_peek8(&p, PTP_VERSION) & 0x0F) == PTP_VERSION_2)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PTPV2, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_PTPV2};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ptpv2 = {
    "PTPv2", search_ptpv2, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_ptpv2 starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_ptpv2 = PTP_HEADER + 1;
} // extern "C"
