/* WebSocket: an HTTP/1.1 request with "Upgrade: websocket" and
 * Sec-WebSocket-* headers, then frames: a FIN bit and opcode, a mask bit
 * and a 7-bit length (126: a 16-bit length follows, 127: a 64-bit one),
 * the 4-byte mask on every client frame, and the payload. A frame that
 * fills the packet exactly, with a known opcode, names the flow. */
#include "oxlo_dissector.h"
#include "oxlo_risks.h"

namespace {

constexpr uint16_t max_packets = 10;

bool known_opcode(uint8_t op) { return op == 1 || op == 2 || op == 8 || op == 9 || op == 10; }

/* 1 when the payload is one whole frame with a known opcode. */
bool whole_frame(const oxlo_reader &p)
{
    oxlo_reader r = p;
    const uint8_t first = oxlo_rd_u8(&r), second = oxlo_rd_u8(&r);
    uint64_t length = second & 0x7F;
    if (length == 126)
        length = oxlo_rd_be16(&r);
    else if (length == 127)
        length = (uint64_t(oxlo_rd_be32(&r)) << 32) | oxlo_rd_be32(&r);
    if (second & 0x80)
        oxlo_rd_skip(&r, 4);
    return !r.error && known_opcode(first & 0x7F) && length == oxlo_rd_left(&r);
}

/* The request's header lines, on a flow HTTP named: the upgrade to
 * WebSocket, and a tunnelling tool's name in its sub-protocol. */
void scan_upgrade(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &p)
{
    oxlo_reader r = p, line;
    bool websocket = false;
    while (oxlo_rd_line(&r, &line) && line.length) {
        const bool upgrade = oxlo_rd_match(&line, 0, "upgrade:", 1);
        const bool sec = oxlo_rd_match(&line, 0, "sec-websocket", 1);
        if (upgrade && line.length >= 9 && oxlo_rd_match(&line, line.length - 9, "websocket", 1))
            websocket = true;
        if (sec) {
            websocket = true;
            if (oxlo_rd_contains(&line, "chisel", 1))
                oxlo_dissector_risk(m, f, OXLO_OBFUSCATED_TRAFFIC, "Obfuscated SSH-in-HTTP-WebSocket traffic");
        }
    }
    if (websocket)
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_WEBSOCKET, OXLO_PROTOCOL_HTTP, OXLO_CONFIDENCE_DPI);
}

void search_websocket(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.payload_packets > max_packets) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    /* On an HTTP flow the upgrade request is read before the frame rule:
     * the request is no frame and would end the search first. */
    if (oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_HTTP && oxlo_flow_master_protocol(f) != OXLO_PROTOCOL_WEBSOCKET) {
        scan_upgrade(m, f, pkt.payload);
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload.length >= 2 && whole_frame(pkt.payload) && !oxlo_flow_app_protocol(f)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_WEBSOCKET, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_WEBSOCKET};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_websocket = {
    "WEBSOCKET", search_websocket, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
