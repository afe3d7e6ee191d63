/* Kafka: a 32-bit length, then the request header (API key, API version,
 * correlation id, client id as a 16-bit length and text). */
#include "oxlo_dissector.h"
#include "oxlo_dissector_kit.h"

namespace {

void search_kafka(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint32_t length = 0;
    uint16_t key = 0xFFFF, version = 0xFFFF, client = 0;
    bool ok = p.length > 7 && oxlo_rd_u32_at(&p, 0, &length) && uint64_t(length) + 4 == p.length &&
              oxlo_rd_u16_at(&p, 4, &key) && key <= 74 && oxlo_rd_u16_at(&p, 6, &version) && version <= 15;
    if (ok && p.length >= 14 && oxlo_rd_u16_at(&p, 12, &client)) {
        const uint8_t *text = oxlo_rd_bytes_at(&p, 14, client);
        ok = size_t(client) + 13 < p.length && text;
        for (size_t i = 0; ok && i < client; i++)
            ok = text[i] >= 0x20 && text[i] < 0x7F;
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
