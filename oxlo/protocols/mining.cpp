/* Crypto-currency mining pools speak JSON-RPC over TCP (subscribe and
 * login calls); the currency shows in the login. A mining session's hosts
 * are remembered so that later flows between them are named too. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "protocols/p2p_private.h"

#include <cstdio>

namespace {

struct mining_state {
    char currency[16];
};

void search_mining(oxlo_module *m, oxlo_flow_state *f)
{
    mining_state *s = static_cast<mining_state *>(oxlo_dissector_state(m, f));
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (!s || !oxlo_rd_match(&p, 0, "{", 0)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (oxlo_rd_contains(&p, "\"mining.subscribe\"", 0) || oxlo_rd_contains(&p, "\"mining.configure\"", 0)) {
        if (oxlo_rd_contains(&p, "zcash", 0))
            snprintf(s->currency, sizeof(s->currency), "ZCash");
    } else if (oxlo_rd_contains(&p, "\"agent\":\"xmr-stak-cpu", 0)) {
        snprintf(s->currency, sizeof(s->currency), "ZCash/Monero");
    } else if (oxlo_rd_contains(&p, "\"method\": \"eth_submitLogin", 0)) {
        snprintf(s->currency, sizeof(s->currency), "Ethereum");
    } else {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MINING, OXLO_PROTOCOL_UNKNOWN);
    mining_cache_add(m, f, OXLO_PROTOCOL_MINING);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MINING};

} // namespace

extern "C" {

const char *oxlo_flow_mining_currency(const oxlo_flow_state *flow)
{
    const void *st = oxlo_flow_slot_state(flow, OXLO_DISSECTOR_mining);
    return st ? static_cast<const mining_state *>(st)->currency : "";
}

extern const oxlo_dissector_def oxlo_dissector_def_mining = {
    "Mining", search_mining, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(mining_state), nullptr, nullptr,
};

} // extern "C"
