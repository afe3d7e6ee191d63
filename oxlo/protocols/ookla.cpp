/* The speed-test service on port 8080: the client says "HI", the server
 * answers "HELLO". A client seen doing so is remembered, so that its
 * encrypted test connections that follow can be named too. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_hash.h"
#include "oxlo_lru.h"
#include "oxlo_private.h"

namespace {

struct ookla_state {
    uint8_t handshake;
};

/* The key the give-up's cache check builds: the IPv4 address, or the low
 * 32 bits of an IPv6 address's hash. */
uint64_t client_key(const oxlo_flow_state *f, bool ipv6)
{
    if (ipv6)
        return uint32_t(address_fold_hash(f->client_address, 16));
    uint32_t v4 = 0;
    memcpy(&v4, f->client_address, 4);
    return v4;
}

void search_ookla(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    ookla_state *s = static_cast<ookla_state *>(oxlo_dissector_state(m, f));
    const oxlo_reader &p = pkt.payload;
    if (!s || (pkt.src_port != 8080 && pkt.dst_port != 8080)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload_packets == 1 && p.length > 1 && oxlo_rd_match(&p, 0, "HI", 0)) {
        s->handshake = 1;
        return;
    }
    if (pkt.payload_packets == 2 && s->handshake && p.length > 4 && oxlo_rd_match(&p, 0, "HELLO", 0)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_OOKLA, OXLO_PROTOCOL_UNKNOWN);
        oxlo_ookla_cache_add(m, f);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_OOKLA};

} // namespace

extern "C" {

void oxlo_ookla_cache_add(oxlo_module *m, const oxlo_flow_state *f)
{
    if (m && f && m->lru[OXLO_LRU_OOKLA])
        oxlo_lru_table_add(m->lru[OXLO_LRU_OOKLA], client_key(f, (f->flags_a & OXLO_FLOW_IPV6) != 0), 1,
                           uint32_t(f->last_seen_ms / 1000));
}

int oxlo_ookla_cache_contains(oxlo_module *m, const oxlo_flow_state *f, int ipv6)
{
    uint16_t value = 0;
    return m && f && m->lru[OXLO_LRU_OOKLA] &&
           oxlo_lru_table_find(m->lru[OXLO_LRU_OOKLA], client_key(f, ipv6 != 0), &value, 0,
                               uint32_t(f->last_seen_ms / 1000)) != 0;
}

extern const oxlo_dissector_def oxlo_dissector_def_ookla = {
    "Ookla", search_ookla, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(ookla_state), nullptr, nullptr,
};

} // extern "C"
