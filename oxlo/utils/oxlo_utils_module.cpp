/* Utilities that read the module or a flow: the TPKT test, the id a TLS flow
 * is reported under, protocol-id checks, the protocol-stack text, the known
 * ALPN identifiers and the module's string-map counters. */
#include "oxlo_utils.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <iterator>

#include "oxlo_automaton.h"
#include "oxlo_memory.h"
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_string_map.h"

namespace {

/* ALPN identifiers a client commonly offers; anything else is "uncommon". */
const char *const known_alpns[] = {
    "http/0.9", "http/1.0", "http/1.1", "spdy/1", "spdy/2", "spdy/3", "spdy/3.1", "stun.turn",
    "stun.nat-discovery", "h2", "h2c", "h2-16", "h2-15", "h2-14", "h2-fb", "webrtc", "c-webrtc",
    "ftp", "imap", "pop3", "managesieve", "coap", "xmpp-client", "xmpp-server", "acme-tls/1",
    "mqtt", "dot", "ntske/1", "sunrpc", "h3", "smb", "irc", "h3-T051", "h3-T050", "h3-34",
    "h3-33", "h3-32", "h3-31", "h3-30", "h3-29", "h3-28", "h3-27", "h3-24", "h3-22", "hq-34",
    "hq-33", "hq-32", "hq-31", "hq-30", "hq-29", "hq-28", "hq-27", "hq-interop", "h3-fb-05",
    "h1q-fb", "doq-i00", "apns-security-v3", "apns-pack-v1", "/yamux/1.0.0", "libp2p"};
static_assert(std::size(known_alpns) == 60);

constexpr uint16_t tpkt_header_length = 4;

} // namespace

extern "C" {

int oxlo_packet_is_tpkt(const oxlo_module *module)
{
    if (!module)
        return 0;
    const oxlo_packet_state &p = module->det.packet;
    if (!p.tcp || !p.payload || p.payload_length <= tpkt_header_length)
        return 0;
    uint16_t length = static_cast<uint16_t>(p.payload[2] << 8 | p.payload[3]);
    return p.payload[0] == 3 && p.payload[1] == 0 && length == p.payload_length;
}

uint16_t oxlo_flow_tls_master_protocol(const oxlo_module *module, const oxlo_flow_state *flow)
{
    if (!flow)
        return OXLO_PROTOCOL_TLS;
    if (flow->master)
        return flow->master;
    if (flow->app)
        return flow->app;
    if (module && !module->det.packet.tcp)
        return OXLO_PROTOCOL_DTLS;
    uint16_t ports[2] = {ntohs(flow->client_port), ntohs(flow->server_port)};
    for (uint16_t port : ports)
        if (port == 465 || port == 587)
            return OXLO_PROTOCOL_SMTPS;
    for (uint16_t port : ports)
        if (port == 993)
            return OXLO_PROTOCOL_IMAPS;
    for (uint16_t port : ports)
        if (port == 995)
            return OXLO_PROTOCOL_POPS;
    return OXLO_PROTOCOL_TLS;
}

int oxlo_protocol_id_is_valid(const oxlo_module *module, uint32_t id)
{
    return module && module->protocols.entries && (id & 0xFFFFu) < module->protocols.count;
}

int oxlo_protocol_is_not_app_only(const oxlo_module *module, uint32_t id)
{
    if (!oxlo_protocol_id_is_valid(module, id))
        return 0;
    return (module->protocols.entries[id & 0xFFFFu].flags & OXLO_PROTO_FLAG_APP) == 0;
}

int oxlo_protocol_pair_normalize(const oxlo_module *module, oxlo_protocol_pair *pair)
{
    if (!pair)
        return 0;
    if (pair->master == 0 && oxlo_protocol_is_not_app_only(module, pair->app)) {
        pair->master = pair->app;
        pair->app = 0;
        return 1;
    }
    if (pair->master != 0 && pair->master == pair->app) {
        if (oxlo_protocol_is_not_app_only(module, pair->app))
            pair->app = 0;
        else
            pair->master = 0;
        return 1;
    }
    return 0;
}

char *oxlo_protocol_stack_text(const oxlo_module *module, const oxlo_protocol_stack *stack,
                               char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    buffer[0] = '\0';
    uint16_t count = stack ? stack->count : 0;
    if (count > OXLO_PROTOCOL_STACK_SIZE)
        count = OXLO_PROTOCOL_STACK_SIZE;
    if (count == 0) {
        std::snprintf(buffer, size, "Unknown");
        return buffer;
    }
    size_t used = 0;
    for (uint16_t i = 0; i < count && used + 1 < size; i++) {
        int n = std::snprintf(buffer + used, size - used, "%s%s", i ? "." : "",
                              oxlo_protocol_name(module, stack->ids[i]));
        if (n < 0)
            break;
        used += static_cast<size_t>(n);
    }
    return buffer;
}

int oxlo_classification_is_known(oxlo_classification classification)
{
    return classification.master != 0 || classification.app != 0 || classification.category != 0;
}

int oxlo_alpn_table_load(oxlo_module *module)
{
    if (!module || !module->alpn_automaton)
        return -1;
    int added = 0;
    for (size_t i = 0; i < std::size(known_alpns); i++) {
        automaton_pattern pattern{};
        pattern.text = oxlo_heap_strdup(known_alpns[i]);
        if (!pattern.text)
            return -1;
        pattern.length = static_cast<uint16_t>(std::strlen(known_alpns[i]));
        pattern.data.id = static_cast<uint32_t>(i + 1);   /* index + 1: 0 is "no match" */
        if (automaton_add_pattern(module->alpn_automaton, &pattern) == AUTOMATON_ADDED)
            added++;
        else
            oxlo_heap_free(pattern.text);
    }
    return added;
}

int oxlo_alpn_is_known(oxlo_module *module, const char *text, size_t length)
{
    if (!module || !module->alpn_automaton || !text || length == 0 || length > 0xFFFF)
        return 0;
    automaton_text search{};
    search.text = text;
    search.length = static_cast<uint16_t>(length);
    automaton_match match{};
    if (automaton_search(module->alpn_automaton, &search, &match) <= 0)
        return 0;
    /* The automaton also reports a known name inside a longer one ("h2" in
     * "h2x"); only the whole identifier counts. */
    uint32_t id = match.data.id;
    if (id == 0 || id > std::size(known_alpns))
        return 0;
    const char *name = known_alpns[id - 1];
    return std::strlen(name) == length && std::memcmp(name, text, length) == 0;
}

int oxlo_module_string_map_stats(const oxlo_module *module, int selector, uint64_t stats[2])
{
    if (!module || !stats)
        return -1;
    /* The module's maps in a fixed order; selectors of maps the module does
     * not keep (yet) read as empty. */
    const oxlo_string_map *maps[7] = {module->risky_domains, module->malicious_ja4,
                                      module->malicious_sha1_certs, module->host_risk_exceptions,
                                      nullptr, nullptr, nullptr};
    if (selector < 0 || selector >= static_cast<int>(std::size(maps)))
        return -1;
    oxlo_string_map_stats(maps[selector], stats);
    return 0;
}

} // extern "C"
