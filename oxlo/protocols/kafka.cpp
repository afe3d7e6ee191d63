/* Kafka: a 32-bit length, then the request header (API key, API version,
 * correlation id, client id as a 16-bit length and text, or the length -1
 * for none). The first request is read whole from the stream; clients send
 * the next ones behind it without waiting. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr uint32_t REQUEST_MAX = 1048588; /* the brokers' default largest request */
constexpr uint16_t NULL_CLIENT_ID = 0xFFFF; /* length -1: a client that gives no id */

/* The first request: whole (cut from the ones behind it), or the rest asked
 * for when its length and key fit one. false while waiting. */
bool first_request(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, oxlo_reader *request)
{
    const oxlo_reader &p = pkt.payload;
    *request = p;
    uint32_t length = 0;
    uint16_t key = 0;
    if (!oxlo_rd_u32_at(&p, 0, &length))
        return !oxlo_framing::wait_for(m, f, pkt, 8);
    if (length < 10 || length > REQUEST_MAX || (oxlo_rd_u16_at(&p, 4, &key) && key > 74))
        return true;
    if (oxlo_framing::wait_for(m, f, pkt, uint64_t(length) + 4))
        return false;
    if (uint64_t(length) + 4 < p.length)
        *request = oxlo_rd_upto(&p, size_t(length) + 4);
    return true;
}

void search_kafka(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_reader p;
    if (!first_request(m, f, oxlo_dissector_packet(m, f), &p))
        return;
    uint32_t length = 0;
    uint16_t key = 0xFFFF, version = 0xFFFF, client = 0;
    bool ok = p.length > 7 && oxlo_rd_u32_at(&p, 0, &length) && uint64_t(length) + 4 == p.length &&
              oxlo_rd_u16_at(&p, 4, &key) && key <= 74 && oxlo_rd_u16_at(&p, 6, &version) && version <= 15;
    if (ok && p.length >= 14 && oxlo_rd_u16_at(&p, 12, &client)) {
        if (client != NULL_CLIENT_ID) { /* the null string has no text */
            const uint8_t *text = oxlo_rd_bytes_at(&p, 14, client);
            ok = size_t(client) + 13 < p.length && text;
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
