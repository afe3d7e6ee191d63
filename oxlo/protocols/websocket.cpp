/* WebSocket: an HTTP/1.1 request with "Upgrade: websocket" and
 * Sec-WebSocket-* headers, then frames: a FIN bit and opcode, a mask bit
 * and a 7-bit length (126: a 16-bit length follows, 127: a 64-bit one),
 * the 4-byte mask on every client frame, and the payload. A frame that
 * fills the packet exactly, with a known opcode, names the flow. */
#include "oxlo_dissector.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risks.h"
#include "oxlo_private.h"
#include "protocols/framing.h"

namespace {

constexpr uint16_t max_packets = 10;

bool known_opcode(uint8_t op) { return op == 1 || op == 2 || op == 8 || op == 9 || op == 10; }

constexpr uint64_t FRAME_WAIT_MAX = 65536; /* larger frames are not waited for */
/* A frame: FIN and opcode, the mask bit and a 7-bit length (126: a 16-bit
 * length follows, 127: a 64-bit one), the 4-byte masking key when masked. */
constexpr size_t WS_OPCODE = 0, WS_LENGTH = 1, WS_EXTENDED_LENGTH = 2, WS_MASK_KEY_SIZE = 4;
constexpr uint8_t WS_LENGTH_16 = 126, WS_LENGTH_64 = 127;

/* The size of the frame at the start of r (header, mask and payload): 0
 * when its opcode is unknown, the header's size when the header is cut
 * (so that the stream is asked for it), -1 before its second byte. */
int64_t frame_size(const oxlo_reader &p)
{
    uint8_t first = 0, second = 0;
    if (!oxlo_rd_u8_at(&p, WS_OPCODE, &first) || !known_opcode(first & 0x7F))
        return 0;
    if (!oxlo_rd_u8_at(&p, WS_LENGTH, &second))
        return -1;
    const size_t extended = (second & 0x7F) == WS_LENGTH_16 ? 2 : (second & 0x7F) == WS_LENGTH_64 ? 8 : 0;
    const size_t header = WS_EXTENDED_LENGTH + extended + ((second & 0x80) ? WS_MASK_KEY_SIZE : 0);
    if (p.length < header)
        return int64_t(header);
    oxlo_reader r = oxlo_rd_from(&p, WS_EXTENDED_LENGTH);
    uint64_t length = second & 0x7F;
    if (extended == 2)
        length = oxlo_rd_be16(&r);
    else if (extended == 8)
        length = (uint64_t(oxlo_rd_be32(&r)) << 32) | oxlo_rd_be32(&r);
    return length <= FRAME_WAIT_MAX ? int64_t(header + length) : 0;
}

/* 1 when the payload is one whole frame with a known opcode. */
bool whole_frame(const oxlo_reader &p)
{
    oxlo_reader r = p;
    const uint8_t first = oxlo_rd_u8(&r), second = oxlo_rd_u8(&r);
    uint64_t length = second & 0x7F;
    if (length == WS_LENGTH_16)
        length = oxlo_rd_be16(&r);
    else if (length == WS_LENGTH_64)
        length = (uint64_t(oxlo_rd_be32(&r)) << 32) | oxlo_rd_be32(&r);
    if (second & 0x80)
        oxlo_rd_skip(&r, WS_MASK_KEY_SIZE);
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
    /* A request HTTP still reads may yet make the flow HTTP (an upgrade).
     * The view is kept meanwhile: frames are read from the stream's start,
     * never from the middle of what HTTP turned down. */
    if (!oxlo_flow_app_protocol(f) && oxlo_http_request_waiting(f)) {
        oxlo_framing::wait_for(m, f, pkt, uint64_t(pkt.payload.length) + 1);
        return;
    }
    /* On an HTTP flow the upgrade request is read before the frame rule:
     * the request is no frame and would end the search first. It is read
     * whole, as HTTP put it together, whatever number of segments it took. */
    if (oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_HTTP && oxlo_flow_master_protocol(f) != OXLO_PROTOCOL_WEBSOCKET) {
        scan_upgrade(m, f, pkt.payload);
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload_packets > max_packets) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    /* A frame cut by the segments is read whole from the stream. */
    oxlo_reader frame = pkt.payload;
    if (!oxlo_flow_app_protocol(f) &&
        oxlo_framing::whole(m, f, pkt, 2, 16, frame_size, &frame) == oxlo_framing::FIRST_WAITING)
        return;
    if (frame.length >= 2 && whole_frame(frame) && !oxlo_flow_app_protocol(f)) {
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
