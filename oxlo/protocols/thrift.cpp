/* Apache Thrift RPC. The strict binary protocol (TCP) starts a message
 * with 0x80, the version, a message type and a 32-bit method-name length
 * (behind a 32-bit frame length with the framed transport);
 * the compact protocol (UDP here) with 0x82, the type in the top bits of
 * the second byte, a sequence id and a one-byte name length. Over HTTP the
 * content type names the encoding. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "oxlo_utils.h"
#include "protocols/framing.h"

namespace {

enum : uint8_t { CALL = 1, REPLY = 2, EXCEPTION = 3, ONEWAY = 4 };
constexpr uint32_t FRAME_MAX = 0xFFFFFF, NAME_MAX = 4096;
/* The framed transport's length before each message. */
constexpr size_t FRAME_LENGTH = 0, FRAME_HEADER = 4;
/* Strict binary protocol: 0x80, the version byte, a byte left zero, the
 * message type, the name's 32-bit length and the name. */
constexpr size_t BINARY_MARK = 0, BINARY_VERSION = 1, BINARY_TYPE = 3, BINARY_NAME_LENGTH = 4, BINARY_NAME = 8;
constexpr uint8_t BINARY_PROTOCOL_ID = 0x80;
/* Compact protocol: 0x82, version and type in one byte, then the sequence
 * id (a varint, taken here as the 3 bytes of a short one), the name's
 * length and the name. */
constexpr size_t COMPACT_MARK = 0, COMPACT_VERSION_TYPE = 1, COMPACT_NAME_LENGTH = 5, COMPACT_NAME = 6;
constexpr uint8_t COMPACT_PROTOCOL_ID = 0x82;

struct thrift_state {
    char method[65];
    uint8_t message_type;
};

bool ends_nocase(const oxlo_reader &r, const char *text)
{
    const size_t n = strlen(text);
    return r.length >= n && oxlo_rd_match(&r, r.length - n, text, 1);
}

void over_http(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_parse_payload_lines(m, f);
    const oxlo_payload_line &t = (*oxlo_dissector_lines(m, nullptr)).content_type;
    const oxlo_reader type = oxlo_reader_make(t.ptr, t.len);
    if (type.length == 0)
        return;
    if (ends_nocase(type, "application/vnd.apache.thrift.binary") ||
        ends_nocase(type, "application/vnd.apache.thrift.compact") ||
        ends_nocase(type, "application/vnd.apache.thrift.json"))
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_THRIFT, OXLO_PROTOCOL_HTTP, OXLO_CONFIDENCE_DPI);
    else if (type.length < 34)
        OXLO_EXCLUDE(m, f);
}

void keep_message(oxlo_module *m, oxlo_flow_state *f, thrift_state *s, const oxlo_reader &name, uint8_t type)
{
    oxlo_rd_text(&name, s->method, sizeof(s->method));
    if (!oxlo_is_printable_text(s->method, strlen(s->method))) {
        oxlo_dissector_risk(m, f, OXLO_INVALID_CHARACTERS, "Invalid method name");
        s->method[0] = '\0';
    }
    s->message_type = type;
    if (type == 0) {
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid message type");
        s->message_type = 0;
    } else if (type == EXCEPTION) {
        oxlo_dissector_risk(m, f, OXLO_ERROR_CODE_DETECTED, "Apache Thrift Exception");
    }
}

void search_thrift(oxlo_module *m, oxlo_flow_state *f)
{
    if (oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_HTTP) {
        over_http(m, f);
        return;
    }
    /* A request HTTP still reads may yet make the flow HTTP. */
    if (!oxlo_flow_app_protocol(f) && oxlo_http_request_waiting(f))
        return;
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    thrift_state *s = static_cast<thrift_state *>(oxlo_dissector_state(m, f));
    uint8_t first = 0, second = 0, type = 0xFF;
    uint32_t frame = 0;
    /* A strict binary header (0x80, version 0 or 1) or a frame length (at
     * most 24 bits: a zero first byte) that the segments cut short of what
     * the checks below read: the rest is asked for from the stream. */
    if (pkt.l4 == OXLO_L4_TCP && s && p.length && p.length < BINARY_NAME) {
        const uint8_t b0 = oxlo_rd_peek8(&p, 0);
        const bool binary = b0 == BINARY_PROTOCOL_ID && (p.length < 2 || oxlo_rd_peek8(&p, BINARY_VERSION) <= 1);
        if ((binary || (b0 == 0 && p.length < FRAME_HEADER + 1)) &&
            oxlo_framing::wait_for(m, f, pkt, binary ? BINARY_NAME : FRAME_HEADER + 1))
            return;
    }
    /* The framed transport puts a 32-bit length before each message, and
     * clients often send it in a segment of its own: a frame is read whole
     * from the stream (the first of several pipelined ones). */
    if (pkt.l4 == OXLO_L4_TCP && s && oxlo_rd_u32_at(&p, FRAME_LENGTH, &frame) && frame >= BINARY_NAME &&
        frame <= FRAME_MAX &&
        (p.length == FRAME_HEADER ||
         (oxlo_rd_u8_at(&p, FRAME_HEADER + BINARY_MARK, &first) && first == BINARY_PROTOCOL_ID))) {
        if (oxlo_framing::wait_for(m, f, pkt, uint64_t(frame) + FRAME_HEADER))
            return;
        /* The engine keeps no more: a lone length as the side's first
         * payload waits for the message behind it, read unframed. */
        if (p.length == FRAME_HEADER && pkt.payload_packets_dir[pkt.direction & 1] == 1)
            return;
        if (frame <= p.length - FRAME_HEADER)
            p = oxlo_rd_sub_at(&p, FRAME_HEADER, frame);
    }
    static_assert(BINARY_MARK == COMPACT_MARK && BINARY_VERSION == COMPACT_VERSION_TYPE, "one read for both");
    if (!s || p.length <= 5 || !oxlo_rd_u8_at(&p, BINARY_MARK, &first) || !oxlo_rd_u8_at(&p, BINARY_VERSION, &second)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.l4 == OXLO_L4_TCP && first == BINARY_PROTOCOL_ID) {
        uint32_t name_length = 0;
        /* An unframed message whose name the segment cuts: the rest is asked for. */
        if (p.data == pkt.payload.data && p.length >= BINARY_NAME &&
            oxlo_rd_u32_at(&p, BINARY_NAME_LENGTH, &name_length) && name_length <= NAME_MAX && second <= 1 &&
            oxlo_framing::wait_for(m, f, pkt, uint64_t(name_length) + BINARY_NAME))
            return;
        /* Compared against what is left, so a length near 2^32 cannot wrap. */
        if (p.length >= BINARY_NAME && oxlo_rd_u32_at(&p, BINARY_NAME_LENGTH, &name_length) &&
            name_length <= p.length - BINARY_NAME && second <= 1 && oxlo_rd_u8_at(&p, BINARY_TYPE, &type) &&
            type <= ONEWAY) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_THRIFT, OXLO_PROTOCOL_UNKNOWN);
            keep_message(m, f, s, oxlo_rd_sub_at(&p, BINARY_NAME, name_length), type);
            return;
        }
    } else if (pkt.l4 == OXLO_L4_UDP && first == COMPACT_PROTOCOL_ID) {
        uint8_t name_length = 0;
        if (oxlo_rd_u8_at(&p, COMPACT_NAME_LENGTH, &name_length) && size_t(name_length) + COMPACT_NAME <= p.length &&
            (second & 0x1F) <= 1 && second <= 159) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_THRIFT, OXLO_PROTOCOL_UNKNOWN);
            keep_message(m, f, s, oxlo_rd_sub_at(&p, COMPACT_NAME, name_length), uint8_t(second >> 5));
            return;
        }
    }
    OXLO_EXCLUDE(m, f);
}

const thrift_state *state_of(const oxlo_flow_state *f)
{
    return f ? static_cast<const thrift_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_thrift)) : nullptr;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_THRIFT};

} // namespace

extern "C" {

const char *oxlo_flow_thrift_method(const oxlo_flow_state *flow)
{
    const thrift_state *s = state_of(flow);
    return s ? s->method : "";
}

extern const oxlo_dissector_def oxlo_dissector_def_thrift = {
    "Thrift", search_thrift, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(thrift_state), nullptr, nullptr,
};

} // extern "C"
