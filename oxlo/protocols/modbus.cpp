/* Modbus/TCP on port 502: every ADU is the MBAP header (transaction,
 * protocol id 0, a length covering the unit id and the PDU) and a function
 * code; 0x5A carries UMAS. Clients send the header apart from the PDU or
 * several requests at once, so the ADUs are read from the stream whole. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr size_t MBAP = 6;         /* transaction, protocol id, length */
constexpr size_t MBAP_PROTOCOL_ID = 2, MBAP_LENGTH = 4, PDU_FUNCTION = 7; /* after the unit id */
constexpr uint8_t FUNCTION_UMAS = 0x5A;
constexpr uint16_t MODBUS_PORT = 502;
constexpr uint16_t MAX_LENGTH = 254; /* an ADU is at most 260 bytes */
constexpr unsigned MAX_ADUS = 16;

/* The size of the ADU at the start of r: 0 when it is none, -1 when the
 * bytes at hand are a plausible start of its header. */
int64_t adu_size(const oxlo_reader &r)
{
    uint8_t hi = 0, lo = 0;
    if ((oxlo_rd_u8_at(&r, MBAP_PROTOCOL_ID, &hi) && hi) || (oxlo_rd_u8_at(&r, MBAP_PROTOCOL_ID + 1, &lo) && lo))
        return 0;
    uint16_t length = 0;
    if (!oxlo_rd_u16_at(&r, MBAP_LENGTH, &length))
        return -1;
    return length >= 2 && length <= MAX_LENGTH ? int64_t(length) + int64_t(MBAP) : 0;
}

void search_modbus(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (pkt.src_port != MODBUS_PORT && pkt.dst_port != MODBUS_PORT) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    unsigned adus = 0;
    uint64_t total = 0;
    const oxlo_framing::walk_end end = oxlo_framing::walk(p, MBAP, MAX_ADUS, adu_size, &adus, &total);
    if (end == oxlo_framing::WALK_SHORT && oxlo_framing::wait_for(m, f, pkt, total))
        return;
    if (end == oxlo_framing::WALK_BAD || end == oxlo_framing::WALK_CAPPED || !adus) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    uint8_t function = 0;
    oxlo_rd_u8_at(&p, PDU_FUNCTION, &function);
    if (function == FUNCTION_UMAS)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_UMAS, OXLO_PROTOCOL_MODBUS);
    else
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MODBUS, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MODBUS, OXLO_PROTOCOL_UMAS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_modbus = {
    "Modbus", search_modbus, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 2, 0, nullptr, nullptr,
};

} // extern "C"
