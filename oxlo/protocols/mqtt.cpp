/* MQTT over TCP: a fixed header (type and flags in byte 0, a remaining
 * length of up to four 7-bit groups) whose length covers the segment
 * exactly; CONNECT names the flow, the other packet types must carry the
 * flags and sizes their type prescribes. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

enum : uint8_t {
    CONNECT = 1, CONNACK, PUBLISH, PUBACK, PUBREC, PUBREL, PUBCOMP, SUBSCRIBE, SUBACK, UNSUBSCRIBE, UNSUBACK,
    PINGREQ, PINGRESP, DISCONNECT
};

/* The fixed header: packet type and flags, then the remaining length as a
 * varint of one to four bytes. */
constexpr size_t MQTT_TYPE_FLAGS = 0, MQTT_REMAINING_LENGTH = 1, MQTT_VARINT_MAX = 4, MQTT_HEADER_MIN = 2;

/* Header plus remaining length, or 0 when the varint is longer than four
 * bytes or runs past the payload. */
size_t framed_length(const oxlo_reader &p)
{
    size_t value = 0;
    for (size_t i = 0; i < MQTT_VARINT_MAX; i++) {
        uint8_t b = 0;
        if (!oxlo_rd_u8_at(&p, MQTT_REMAINING_LENGTH + i, &b))
            return 0;
        value |= size_t(b & 0x7F) << (7 * i);
        if (!(b & 0x80))
            return value + MQTT_REMAINING_LENGTH + 1 + i;
    }
    return 0;
}

bool acceptable(uint8_t type, uint8_t flags, size_t length)
{
    switch (type) {
    case CONNECT:
        return flags == 0;
    case CONNACK: case PUBACK: case PUBREC: case PUBCOMP: case UNSUBACK:
        return flags == 0 && length == 4;
    case SUBACK:
        return flags == 0 && length > 4;
    case PINGREQ: case PINGRESP: case DISCONNECT:
        return flags == 0 && length == 2;
    case PUBREL:
        return flags == 2 && length == 4;
    case SUBSCRIBE:
        return flags == 2 && length > 7;
    case UNSUBSCRIBE:
        return flags == 2 && length > 6;
    case PUBLISH: {
        const unsigned qos = (flags >> 1) & 3;
        if (qos == 3)
            return false;
        if (qos)
            return length >= 7;
        return !(flags & 8) && length > 4;
    }
    default:
        return false;
    }
}

/* The flags a packet type carries in every version; types 0 and 15 are
 * none. */
bool flags_fit(uint8_t type, uint8_t flags)
{
    switch (type) {
    case 0: case 15:
        return false;
    case PUBREL: case SUBSCRIBE: case UNSUBSCRIBE:
        return flags == 2;
    case PUBLISH:
        return ((flags >> 1) & 3) != 3 && (flags & 0x0E) != 8;
    default:
        return flags == 0;
    }
}

/* A PUBLISH packet's variable header starts with the topic's 16-bit length:
 * the topic (and the packet identifier of QoS 1 and 2) must fit in the
 * packet. Text never passes: two printable bytes read as a length of at
 * least 8224. true until those bytes are at hand. */
bool topic_fits(const oxlo_reader &r, size_t total)
{
    uint8_t b = 0;
    uint16_t topic = 0;
    oxlo_rd_u8_at(&r, MQTT_TYPE_FLAGS, &b);
    if ((b >> 4) != PUBLISH)
        return true;
    size_t at = MQTT_REMAINING_LENGTH;
    while (at < MQTT_REMAINING_LENGTH + MQTT_VARINT_MAX && oxlo_rd_u8_at(&r, at, &b) && (b & 0x80))
        at++;
    at++; /* past the varint's last byte: the variable header */
    if (!oxlo_rd_u16_at(&r, at, &topic))
        return true;
    const uint8_t flags = oxlo_rd_peek8(&r, MQTT_TYPE_FLAGS) & 0x0F;
    return at + 2 + size_t(topic) + (((flags >> 1) & 3) ? 2 : 0) <= total;
}

void search_mqtt(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    uint8_t b0 = 0;
    /* Control packets are read whole from the stream (a client may send its
     * CONNECT's fixed header apart, or several packets at once). The first
     * packet's type, flags and announced size must pass as they stand before
     * its rest is waited for: text reads as a chain of MQTT-shaped headers
     * (any printable byte is a type 2 to 7) whose lengths are never met.
     * The packets behind it carry their type's fixed flags (sizes may differ
     * in version 5, which adds reason codes and properties). */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t b = 0;
        if (oxlo_rd_u8_at(&r, MQTT_TYPE_FLAGS, &b) && !flags_fit(uint8_t(b >> 4), uint8_t(b & 0x0F)))
            return 0;
        const size_t n = framed_length(r);
        if (n)
            return n <= 65536 && topic_fits(r, n) ? int64_t(n) : 0;
        for (size_t i = MQTT_REMAINING_LENGTH; i < MQTT_REMAINING_LENGTH + MQTT_VARINT_MAX; i++)
            if (!oxlo_rd_u8_at(&r, i, &b))
                return -1; /* the remaining length is still cut */
            else if (!(b & 0x80))
                break;
        return 0;
    };
    const size_t announced = framed_length(p);
    if (announced && (!oxlo_rd_u8_at(&p, MQTT_TYPE_FLAGS, &b0) ||
                      !acceptable(uint8_t(b0 >> 4), uint8_t(b0 & 0x0F), announced))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload_packets <= 10 && oxlo_framing::whole(m, f, pkt, MQTT_HEADER_MIN, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (pkt.payload_packets > 10 || p.length < MQTT_HEADER_MIN || framed_length(p) != p.length ||
        !oxlo_rd_u8_at(&p, MQTT_TYPE_FLAGS, &b0) ||
        !acceptable(uint8_t(b0 >> 4), uint8_t(b0 & 0x0F), p.length) || !topic_fits(p, p.length)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MQTT, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MQTT};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_mqtt = {
    "MQTT", search_mqtt, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
