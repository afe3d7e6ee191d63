/* Cache keys the peer-to-peer and mining dissectors share: a flow's
 * address pair (client high, server low; an IPv6 address folded to 32
 * bits) and an endpoint (address and a port). */
#ifndef OXLO_P2P_PRIVATE_H
#define OXLO_P2P_PRIVATE_H

#include "oxlo_dissector.h"
#include "oxlo_hash.h"
#include "oxlo_lru.h"
#include "oxlo_private.h"

#include <string.h>

static inline uint32_t p2p_address32(const oxlo_flow_state *f, const uint8_t *address)
{
    if (f->flags_a & OXLO_FLOW_IPV6)
        return (uint32_t)address_fold_hash(address, 16);
    uint32_t v4;
    memcpy(&v4, address, 4);
    return v4;
}

static inline uint64_t mining_address_pair_key(const oxlo_flow_state *f)
{
    return (uint64_t)p2p_address32(f, f->client_address) << 32 | p2p_address32(f, f->server_address);
}

/* Remembers the flow's address pair in the mining cache with the protocol. */
static inline void mining_cache_add(oxlo_module *m, oxlo_flow_state *f, uint16_t protocol)
{
    if (m->lru[OXLO_LRU_MINING])
        oxlo_lru_table_add(m->lru[OXLO_LRU_MINING], mining_address_pair_key(f), protocol,
                           (uint32_t)(f->last_seen_ms / 1000));
}

#endif
