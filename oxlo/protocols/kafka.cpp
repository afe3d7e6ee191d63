/* Kafka: a 32-bit length, then the request header (API key, API version,
 * correlation id, client id as a 16-bit length and text, or the length -1
 * for none). The first request is read whole from the stream; clients send
 * the next ones behind it without waiting. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr uint32_t REQUEST_MAX = 1048588; /* the brokers' default largest request */
/* A request: its length (of what follows it), API key and version, the
 * correlation id and the client id (a 16-bit length and the text). */
constexpr size_t KAFKA_LENGTH = 0, KAFKA_API_KEY = 4, KAFKA_API_VERSION = 6, KAFKA_CLIENT_ID_LENGTH = 12,
                 KAFKA_CLIENT_ID = 14, KAFKA_LENGTH_SIZE = 4;
constexpr uint16_t API_KEY_LAST = 74, API_VERSION_LAST = 15;
/* The shortest request length: key, version, correlation id, client id length. */
constexpr uint32_t REQUEST_MIN = 10;
constexpr uint16_t NULL_CLIENT_ID = 0xFFFF; /* length -1: a client that gives no id */

/* The first request: whole (cut from the ones behind it), or the rest asked
 * for when its length and key fit one. false while waiting. */
bool first_request(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, oxlo_reader *request)
{
    const oxlo_reader &p = pkt.payload;
    *request = p;
    uint32_t length = 0;
    uint16_t key = 0;
    if (!oxlo_rd_u32_at(&p, KAFKA_LENGTH, &length))
        return !oxlo_framing::wait_for(m, f, pkt, KAFKA_API_VERSION + 2);
    if (length < REQUEST_MIN || length > REQUEST_MAX || (oxlo_rd_u16_at(&p, KAFKA_API_KEY, &key) && key > API_KEY_LAST))
        return true;
    if (oxlo_framing::wait_for(m, f, pkt, uint64_t(length) + KAFKA_LENGTH_SIZE))
        return false;
    if (uint64_t(length) + KAFKA_LENGTH_SIZE < p.length)
        *request = oxlo_rd_upto(&p, size_t(length) + KAFKA_LENGTH_SIZE);
    return true;
}

void search_kafka(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_reader p;
    if (!first_request(m, f, oxlo_dissector_packet(m, f), &p))
        return;
    uint32_t length = 0;
    uint16_t key = 0xFFFF, version = 0xFFFF, client = 0;
    bool ok = p.length >= KAFKA_API_VERSION + 2 && oxlo_rd_u32_at(&p, KAFKA_LENGTH, &length) &&
              uint64_t(length) + KAFKA_LENGTH_SIZE == p.length && oxlo_rd_u16_at(&p, KAFKA_API_KEY, &key) &&
              key <= API_KEY_LAST && oxlo_rd_u16_at(&p, KAFKA_API_VERSION, &version) && version <= API_VERSION_LAST;
    if (ok && p.length >= KAFKA_CLIENT_ID && oxlo_rd_u16_at(&p, KAFKA_CLIENT_ID_LENGTH, &client)) {
        if (client != NULL_CLIENT_ID) { /* the null string has no text */
            const uint8_t *text = oxlo_rd_bytes_at(&p, KAFKA_CLIENT_ID, client);
            ok = size_t(client) + KAFKA_CLIENT_ID - 1 < p.length && text;
            for (size_t i = 0; ok && i < client; i++)
                ok = text[i] >= 0x20 && text[i] < 0x7F;
        }
    } else {
        ok = false;
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_KAFKA, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_KAFKA};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_kafka = {
    "Kafka", search_kafka, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
