/* Per-flow classification state: storing a detected protocol with its
 * special cases, the protocol stack, host names, the first-packet
 * classification, giving up, the fallback guess and the accessors the
 * application reads. */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_stream.h"
#include "oxlo_dissector_kit.h"
#include "oxlo_tls_dns.h"
#include "oxlo_risks.h"
#include "oxlo_automaton.h"
#include "oxlo_hash.h"
#include "oxlo_hosts.h"
#include "oxlo_lru.h"
#include "oxlo_utils.h"
#include "oxlo_slab.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/* Cache keys the BitTorrent, mining, Ookla and Teams caches use (an IPv6
 * address stands as its 32-bit hash). */
uint32_t address_word(const oxlo_flow_state *flow, const uint8_t *address)
{
    if (flow->flags_a & OXLO_FLOW_IPV6)
        return uint32_t(address_fold_hash(address, 16));
    uint32_t v4 = 0;
    memcpy(&v4, address, 4);
    return v4;
}

constexpr uint16_t P_SMBV1 = OXLO_PROTOCOL_SMBV1, P_OUTLOOK = OXLO_PROTOCOL_OUTLOOK, P_POPS = OXLO_PROTOCOL_POPS, P_SMTPS = OXLO_PROTOCOL_SMTPS, P_DTLS = OXLO_PROTOCOL_DTLS,
                   P_TEAMSCALL = OXLO_PROTOCOL_TEAMSCALL, P_IMAPS = OXLO_PROTOCOL_IMAPS, P_STUN = OXLO_PROTOCOL_STUN, P_RTP = OXLO_PROTOCOL_RTP,
                   P_RDP = OXLO_PROTOCOL_RDP, P_TLS = OXLO_PROTOCOL_TLS, P_RTCP = OXLO_PROTOCOL_RTCP, P_TELEGRAM = OXLO_PROTOCOL_TELEGRAM, P_QUIC = OXLO_PROTOCOL_QUIC,
                   P_MICROSOFT = OXLO_PROTOCOL_MICROSOFT, P_MS365 = OXLO_PROTOCOL_MICROSOFT365, P_ONEDRIVE = OXLO_PROTOCOL_MS_ONEDRIVE, P_TEAMS = OXLO_PROTOCOL_TEAMS,
                   P_ANYDESK = OXLO_PROTOCOL_ANYDESK, P_AZURE = OXLO_PROTOCOL_AZURE, P_FTPS = OXLO_PROTOCOL_FTPS, P_SRTP = OXLO_PROTOCOL_SRTP, P_HTTP = OXLO_PROTOCOL_HTTP,
                   P_HTTP_CONNECT = OXLO_PROTOCOL_HTTP_CONNECT, P_HTTP_PROXY = OXLO_PROTOCOL_HTTP_PROXY;

constexpr uint32_t RISK_UNSAFE_PROTOCOL = 22;
constexpr uint32_t RISK_DESKTOP_SHARING = 30;
constexpr uint32_t RISK_OBFUSCATED = 56;

void stack_push(oxlo_protocol_stack *s, uint16_t id)
{
    if (id == 0 || s->count >= OXLO_PROTOCOL_STACK_SIZE - 1)
        return;
    if (s->count > 0 && s->ids[s->count - 1] == id)
        return;
    s->ids[s->count++] = id;
}

void stack_update(oxlo_protocol_stack *s, uint16_t master, uint16_t app)
{
    if (master == P_STUN && s->count > 0 && (s->ids[0] == P_RTP || s->ids[0] == P_RTCP)) {
        oxlo_protocol_stack_clear(s);
        stack_push(s, P_STUN);
        stack_push(s, app);
        return;
    }
    if (master == P_SRTP && s->count > 0 && s->ids[s->count - 1] == app) {
        /* SRTP found after its payload protocol goes beneath it. */
        if (s->count >= OXLO_PROTOCOL_STACK_SIZE - 1 || (s->count > 1 && s->ids[s->count - 2] == P_SRTP))
            return;
        s->ids[s->count] = s->ids[s->count - 1];
        s->ids[s->count - 1] = P_SRTP;
        s->count++;
        return;
    }
    if ((app == P_DTLS || app == P_TLS) && master == 0) {
        stack_push(s, app);
        return;
    }
    stack_push(s, master);
    stack_push(s, app);
}

bool port_in(uint16_t port, uint16_t low, uint16_t high) { return port >= low && port <= high; }

uint8_t teams_media_flags(uint16_t server, uint16_t client)
{
    if (server == 3478 || server == 3479 || port_in(client, 50000, 50019))
        return 1;
    if (server == 3480 || port_in(client, 50020, 50039))
        return 2;
    if (server == 3481 || port_in(client, 50040, 50059))
        return 4;
    return 0;
}

/* The Teams cache holds client addresses (the IPv4 address, or the low 32
 * bits of an IPv6 address's hash) with the time they were seen. */
void teams_cache_add(oxlo_module *module, const oxlo_flow_state *flow, const uint8_t *address)
{
    if (oxlo_lru_table *cache = module->lru[OXLO_LRU_MSTEAMS])
        oxlo_lru_table_add(cache, address_word(flow, address), 1, uint32_t(oxlo_flow_last_seen_sec(flow)));
}

bool teams_cache_has(oxlo_module *module, const oxlo_flow_state *flow)
{
    oxlo_lru_table *cache = module->lru[OXLO_LRU_MSTEAMS];
    uint16_t value = 0;
    return cache && oxlo_lru_table_find(cache, address_word(flow, flow->client_address), &value, 0,
                                        uint32_t(oxlo_flow_last_seen_sec(flow))) == 1;
}

void special_cases(oxlo_module *module, oxlo_flow_state *flow)
{
    const uint16_t sport = oxlo_swap16(flow->server_port);
    const uint16_t cport = oxlo_swap16(flow->client_port);
    const bool low_confidence = flow->confidence == OXLO_CONFIDENCE_MATCH_BY_PORT ||
                                flow->confidence == OXLO_CONFIDENCE_MATCH_BY_IP;
    if (!low_confidence) {
        switch (flow->app) {
        case P_MICROSOFT:
            if (flow->guess_by_address == P_OUTLOOK) {
                flow->master = flow->master == P_OUTLOOK ? 0 : flow->master;
                flow->app = P_OUTLOOK;
                flow->confidence = OXLO_CONFIDENCE_DPI_PARTIAL;
            } else if (flow->guess_by_address == P_MS365 || flow->guess_by_address == P_ONEDRIVE ||
                       flow->guess_by_address == P_TEAMS) {
                flow->app = flow->guess_by_address;
                flow->confidence = OXLO_CONFIDENCE_DPI_PARTIAL;
            }
            break;
        case P_TEAMS:
            /* A Teams client: its later TLS flows to the cloud it runs on
             * are Teams too. */
            if (flow->l4_protocol == 6)
                teams_cache_add(module, flow, flow->client_address);
            break;
        case P_AZURE:
        case P_STUN:
            if (flow->l4_protocol == 17 &&
                (flow->app == P_AZURE || flow->guess_by_address == P_AZURE) &&
                (port_in(sport, 3478, 3481) || port_in(cport, 3478, 3481))) {
                flow->master = flow->app == P_AZURE ? (flow->master ? flow->master : P_AZURE) : P_STUN;
                flow->app = P_TEAMSCALL;
                /* The side off the relay ports is the Teams client. */
                teams_cache_add(module, flow,
                                port_in(cport, 3478, 3481) ? flow->server_address : flow->client_address);
            }
            break;
        case P_TLS:
            if (flow->guess_by_address == P_AZURE && teams_cache_has(module, flow)) {
                flow->master = P_TLS;
                flow->app = P_TEAMS;
                flow->confidence = OXLO_CONFIDENCE_DPI_PARTIAL;
            } else if (flow->guess_by_address == P_TELEGRAM) {
                flow->master = P_TLS;
                flow->app = P_TELEGRAM;
                flow->confidence = OXLO_CONFIDENCE_DPI_PARTIAL;
            }
            break;
        default:
            break;
        }
        if (flow->app == P_TEAMSCALL && flow->l4_protocol == 17) {
            uint8_t media = teams_media_flags(sport, cport);
            if (!media)
                media = teams_media_flags(cport, sport);
            flow->media_types = media;
        }
    }
    if (flow->app == P_RDP)
        oxlo_flow_risk_raise(module, flow, int(RISK_DESKTOP_SHARING), "Found RDP");
    else if (flow->app == P_ANYDESK && flow->l4_protocol == 6)
        oxlo_flow_risk_raise(module, flow, int(RISK_DESKTOP_SHARING), "Found AnyDesk");
}

void unsafe_breed_risk(oxlo_module *module, oxlo_flow_state *flow)
{
    const uint16_t ids[2] = {flow->app, flow->master};
    const oxlo_packet_state *pkt = &module->det.packet;
    for (uint16_t id : ids) {
        if (!id)
            continue;
        if (id == P_SMBV1 && pkt->payload && pkt->payload_length > 86 && pkt->payload[86] == 37)
            return;
        const uint32_t breed = oxlo_protocol_breed(module, id);
        if (breed >= 4 && breed <= 6)
            oxlo_flow_risk_raise(module, flow, int(RISK_UNSAFE_PROTOCOL), nullptr);
    }
}

/* Whether the name a flow of this protocol carries may name its
 * application: the naming, web and encrypted protocols have a knob each
 * ("dns"/"tls"/"quic"/"http" "subclassification"). With it off, a DNS
 * lookup of a service stays DNS, and a rule against the service does not
 * catch the lookups of its name. */
bool host_subclassification_allowed(const oxlo_module *module, uint16_t id)
{
    switch (id) {
    case OXLO_PROTOCOL_DNS:
    case OXLO_PROTOCOL_MDNS:
    case OXLO_PROTOCOL_LLMNR:
        return module->cfg.dns_subclassification != 0;
    case P_TLS:
    case P_DTLS:
        return module->cfg.tls_subclassification != 0;
    case P_QUIC:
        return module->cfg.quic_subclassification != 0;
    case P_HTTP:
    case OXLO_PROTOCOL_HTTP_CONNECT:
    case OXLO_PROTOCOL_HTTP_PROXY:
        return module->cfg.http_subclassification != 0;
    default:
        return true;
    }
}

/* Returns true when the name stored a protocol: that store has already
 * done the rest of the bookkeeping for the new pair. */
bool rerun_host_classification(oxlo_module *module, oxlo_flow_state *flow)
{
    oxlo_flow_texts *t = flow->texts;
    if (!t || t->host_name[0] == '\0' ||
        strncmp(t->host_name, t->last_classified_host, OXLO_HOST_NAME_SIZE) == 0)
        return false;
    if (!host_subclassification_allowed(module, flow->master ? flow->master : flow->app))
        return false;
    /* Remember the name before classifying it: the lookup stores a protocol
     * through oxlo_flow_set_protocol, which must then see nothing new. */
    memcpy(t->last_classified_host, t->host_name, OXLO_HOST_NAME_SIZE);
    if (flow->flags_b & OXLO_FLOW_IN_HOST_RECLASS)
        return false;
    flow->flags_b |= OXLO_FLOW_IN_HOST_RECLASS;
    const uint16_t master = flow->master ? flow->master : flow->app;
    const int found = oxlo_host_name_classify(module, flow, master, t->host_name, strlen(t->host_name));
    flow->flags_b &= ~OXLO_FLOW_IN_HOST_RECLASS;
    return found == 1;
}

/* Category, and the breed with it: a flow classified by give-up gets no
 * further packet that would take its breed from the pair. */
void fill_category(oxlo_module *module, oxlo_flow_state *flow)
{
    if (flow->category == 0)
        oxlo_fill_protocol_category(module, flow, nullptr);
    if (flow->breed == 0)
        flow->breed = oxlo_protocol_pair_breed(module, (uint32_t(flow->app) << 16) | flow->master);
}

uint16_t guess_by_port_now(oxlo_module *module, const oxlo_flow_state *flow)
{
    uint8_t flag = 0;
    return oxlo_guess_protocol_by_port(module, flow->l4_protocol, oxlo_swap16(flow->client_port),
                                       oxlo_swap16(flow->server_port), &flag);
}

} // namespace

extern "C" {

/* Callers place the state 8-aligned after their own record. */
static_assert(alignof(oxlo_flow_state) <= 8, "a flow state in a caller's block is only 8-aligned");

size_t oxlo_flow_state_size(void) { return sizeof(oxlo_flow_state); }

void oxlo_flow_state_release(oxlo_flow_state *flow)
{
    if (!flow)
        return;
    if (flow->flags_b & OXLO_FLOW_TRACK_FROM_SLAB)
        oxlo_slab_give(flow->track_payload);
    else
        oxlo_heap_free(flow->track_payload);
    flow->flags_b &= ~OXLO_FLOW_TRACK_FROM_SLAB;
    oxlo_flow_states_free(flow);
    oxlo_stream_release(flow);
    if (oxlo_flow_tcp *tcp = flow->tcp) {
        if (tcp->fingerprint_kind == 2)
            oxlo_heap_free(tcp->fingerprint.heap);
        oxlo_heap_free(tcp->tcp_raw_options);
        if (flow->flags_b & OXLO_FLOW_TCP_FROM_HEAP)
            oxlo_heap_free(tcp);
        else
            oxlo_slab_give(tcp);
        flow->tcp = nullptr;
        flow->flags_b &= ~OXLO_FLOW_TCP_FROM_HEAP;
    }
    if (oxlo_flow_texts *t = flow->texts) {
        for (uint8_t i = 0; i < flow->host_candidate_count && i < OXLO_HOST_CANDIDATES; i++)
            oxlo_heap_free(t->host_candidates[i]);
        for (uint8_t i = 0; i < flow->risk_message_count && i < OXLO_FLOW_RISK_MESSAGES; i++)
            oxlo_heap_free(t->risk_messages[i].text);
        oxlo_heap_free(t->user_agent);
        if (flow->flags_b & OXLO_FLOW_TEXTS_FROM_HEAP)
            oxlo_heap_free(t);
        else
            oxlo_slab_give(t);
        flow->texts = nullptr;
        flow->flags_b &= ~OXLO_FLOW_TEXTS_FROM_HEAP;
    }
    flow->host_candidate_count = 0;
    flow->track_payload = nullptr;
    flow->risk_message_count = 0;
}

/* The module classifying a packet on this thread: a text written by a call
 * that names no module (the host-name store) takes its block from that
 * module's slab. Initial-exec, as the dissector kit's armed part: set twice
 * a packet, without a call into the dynamic linker. */
static thread_local oxlo_module *texts_module __attribute__((tls_model("initial-exec"))) = nullptr;

void oxlo_flow_texts_thread_module(oxlo_module *module) { texts_module = module; }

void *oxlo_module_block_take(oxlo_slab **slab, size_t size, uint32_t chunk_slots, uint32_t spare_floor)
{
    if (!*slab) {
        *slab = oxlo_slab_new(size, chunk_slots);
        oxlo_slab_set_spare_floor(*slab, spare_floor);
    }
    void *block = oxlo_slab_take(*slab);
    if (block)
        std::memset(block, 0, size);
    return block;
}

oxlo_flow_texts *oxlo_flow_texts_make(oxlo_module *module, oxlo_flow_state *flow, int needed)
{
    if (!flow)
        return nullptr;
    if (flow->texts)
        return flow->texts;
    if (!module)
        module = texts_module;
    oxlo_flow_texts *t = nullptr;
    if (module) {
        t = static_cast<oxlo_flow_texts *>(
            oxlo_module_block_take(&module->det.texts_slab, sizeof(oxlo_flow_texts), 256, 0));
    } else {
        t = static_cast<oxlo_flow_texts *>(oxlo_heap_calloc(1, sizeof(oxlo_flow_texts)));
        if (t)
            flow->flags_b |= OXLO_FLOW_TEXTS_FROM_HEAP;
    }
    if (!t && needed)
        flow->flags_b |= OXLO_FLOW_NO_MEMORY;
    flow->texts = t;
    return t;
}

oxlo_flow_tcp *oxlo_flow_tcp_make(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!flow)
        return nullptr;
    if (flow->tcp)
        return flow->tcp;
    oxlo_flow_tcp *tcp = nullptr;
    if (module) {
        /* One emptied chunk kept: short connections one after the other
         * would otherwise make and free a chunk each. */
        tcp = static_cast<oxlo_flow_tcp *>(
            oxlo_module_block_take(&module->det.tcp_slab, sizeof(oxlo_flow_tcp), 1024, 1));
    } else {
        tcp = static_cast<oxlo_flow_tcp *>(oxlo_heap_calloc(1, sizeof(oxlo_flow_tcp)));
        if (tcp)
            flow->flags_b |= OXLO_FLOW_TCP_FROM_HEAP;
    }
    if (!tcp)
        flow->flags_b |= OXLO_FLOW_NO_MEMORY;
    flow->tcp = tcp;
    return tcp;
}

int oxlo_flow_tcp_fingerprint_set(oxlo_flow_tcp *tcp, const char *text)
{
    if (!tcp || !text)
        return -1;
    if (tcp->fingerprint_kind == 2)
        oxlo_heap_free(tcp->fingerprint.heap);
    tcp->fingerprint_kind = 0;
    const size_t n = strlen(text) + 1;
    if (n <= sizeof(tcp->fingerprint.text)) {
        memcpy(tcp->fingerprint.text, text, n);
        tcp->fingerprint_kind = 1;
        return 0;
    }
    if (!(tcp->fingerprint.heap = oxlo_heap_strdup(text)))
        return -1;
    tcp->fingerprint_kind = 2;
    return 0;
}

void oxlo_flow_state_free(oxlo_flow_state *flow) { oxlo_flow_free(flow); }

oxlo_flow_state *oxlo_flow_state_init(void *block)
{
    if (!block)
        return nullptr;
    std::memset(block, 0, sizeof(oxlo_flow_state));
    return static_cast<oxlo_flow_state *>(block);
}

void oxlo_flow_state_clear(oxlo_flow_state *flow) { oxlo_flow_state_release(flow); }

void oxlo_flow_host_name_looked_up(oxlo_flow_state *flow)
{
    if (flow && flow->texts)
        memcpy(flow->texts->last_classified_host, flow->texts->host_name, OXLO_HOST_NAME_SIZE);
}

void oxlo_flow_set_protocol(oxlo_module *module, oxlo_flow_state *flow, uint16_t upper,
                            uint16_t lower, oxlo_confidence_level confidence)
{
    if (!module || !flow)
        return;
    if (flow->state == OXLO_STATE_MONITORING) {
        oxlo_log(module, OXLO_LOG_WARNING, "Impossible to update classification while in monitoring state! %d/%d->%d/%d\n",
               flow->master, flow->app, upper, lower);
        return;
    }
    if (upper != 0 || lower == 0) {
        flow->app = upper;
        flow->master = lower == upper ? 0 : lower;
    } else {
        flow->app = lower;
        flow->master = 0;
    }
    flow->confidence = confidence;

    if (rerun_host_classification(module, flow))
        return;
    special_cases(module, flow);
    unsafe_breed_risk(module, flow);
    stack_update(&flow->stack, flow->master, flow->app);
    if (flow->state == OXLO_STATE_INITIAL)
        flow->state = OXLO_STATE_CLASSIFIED;
    oxlo_flow_apply_risk_exceptions(module, flow);
}

void oxlo_flow_refine_protocol(oxlo_module *module, oxlo_flow_state *flow, uint16_t id,
                               oxlo_confidence_level confidence)
{
    if (!flow)
        return;
    const uint16_t below = flow->master ? flow->master : flow->app;
    if (below == 0)
        oxlo_flow_set_protocol(module, flow, id, 0, confidence);
    else
        oxlo_flow_set_protocol(module, flow, id, below, confidence);
}

void oxlo_flow_reset_protocol(oxlo_flow_state *flow)
{
    if (!flow)
        return;
    flow->app = 0;
    flow->master = 0;
    flow->confidence = OXLO_CONFIDENCE_UNKNOWN;
}

uint16_t oxlo_flow_master_protocol(const oxlo_flow_state *flow) { return flow ? flow->master : 0; }
uint16_t oxlo_flow_app_protocol(const oxlo_flow_state *flow) { return flow ? flow->app : 0; }
uint32_t oxlo_flow_category(const oxlo_flow_state *flow) { return flow ? flow->category : 0; }

int oxlo_flow_protocol_fill(const oxlo_flow_state *flow, uint16_t *master, uint16_t *app,
                            uint32_t *category)
{
    if (!flow || !master || !app || !category)
        return -2;
    *master = flow->master;
    *app = flow->app;
    *category = flow->category;
    return 0;
}

uint64_t oxlo_flow_last_seen_sec(const oxlo_flow_state *flow)
{
    return flow ? flow->last_seen_ms / 1000 : 0;
}

oxlo_confidence_level oxlo_flow_confidence(const oxlo_flow_state *flow)
{
    return flow ? oxlo_confidence_level(flow->confidence) : OXLO_CONFIDENCE_UNKNOWN;
}

uint64_t oxlo_flow_risk_bits(const oxlo_flow_state *flow) { return flow ? flow->risk_mask : 0; }

const char *oxlo_flow_host_name(const oxlo_flow_state *flow) { return flow ? oxlo_flow_host(flow) : ""; }

/* Only protocols whose dissectors write the host-name buffer report it; for
 * TLS and QUIC the buffer means something only once the client hello was read. */
static int carries_host_name(const oxlo_flow_state *flow, uint16_t id)
{
    switch (id) {
    case OXLO_PROTOCOL_SMTP: case OXLO_PROTOCOL_DNS: case OXLO_PROTOCOL_HTTP:
    case OXLO_PROTOCOL_MDNS: case OXLO_PROTOCOL_NETBIOS: case OXLO_PROTOCOL_SSDP:
    case OXLO_PROTOCOL_DHCP: case OXLO_PROTOCOL_STUN: case OXLO_PROTOCOL_HTTP_CONNECT:
    case OXLO_PROTOCOL_HTTP_PROXY: case OXLO_PROTOCOL_WHOIS_DAS: case OXLO_PROTOCOL_SD_RTN:
    case OXLO_PROTOCOL_XIAOMI: case OXLO_PROTOCOL_COLLECTD:
        return 1;
    case OXLO_PROTOCOL_TLS: case OXLO_PROTOCOL_QUIC:
        return oxlo_flow_tls_client_hello_seen(flow);
    default:
        return 0;
    }
}

const char *oxlo_flow_host_name_by_protocol(const oxlo_flow_state *flow, oxlo_classification classification)
{
    if (!flow)
        return NULL;
    if (carries_host_name(flow, classification.app) || carries_host_name(flow, classification.master))
        return oxlo_flow_host(flow);
    return NULL;
}


int oxlo_flow_endpoints(const oxlo_flow_state *flow, uint8_t client[16], uint16_t *client_port,
                        uint8_t server[16], uint16_t *server_port)
{
    if (!flow || !client || !client_port || !server || !server_port)
        return -2;
    memcpy(client, flow->client_address, 16);
    memcpy(server, flow->server_address, 16);
    *client_port = flow->client_port;
    *server_port = flow->server_port;
    return 0;
}

int oxlo_flow_is_ipv6(const oxlo_flow_state *flow) { return flow && (flow->flags_a & OXLO_FLOW_IPV6) ? 1 : 0; }

uint16_t oxlo_flow_packets_processed(const oxlo_flow_state *flow) { return flow ? flow->packets_processed : 0; }

void oxlo_protocol_stack_clear(oxlo_protocol_stack *stack)
{
    if (stack)
        memset(stack, 0, sizeof(*stack));
}

uint16_t oxlo_protocol_stack_top(const oxlo_protocol_stack *s)
{
    if (!s || s->count == 0)
        return 0;
    if (s->count == 1)
        return s->ids[0];
    const uint16_t last = s->ids[s->count - 1];
    const uint16_t below = s->ids[s->count - 2];
    if (last == P_TLS)
        return below;
    if (last == P_SRTP && below != P_DTLS)
        return below;
    return last;
}

static bool is_encrypted_id(uint16_t id)
{
    return id == P_POPS || id == P_SMTPS || id == P_DTLS || id == P_IMAPS || id == P_TLS ||
           id == P_QUIC || id == P_FTPS;
}

uint16_t oxlo_protocol_stack_main(const oxlo_protocol_stack *s)
{
    if (!s || s->count == 0)
        return 0;
    for (uint16_t i = 0; i < s->count; i++)
        if (is_encrypted_id(s->ids[i]))
            return s->ids[i];
    if (oxlo_protocol_stack_contains(s, P_SRTP))
        return P_SRTP;
    if (oxlo_protocol_stack_contains(s, P_STUN))
        return P_STUN;
    return s->ids[0];
}

int oxlo_protocol_stack_has_encrypted(const oxlo_protocol_stack *s)
{
    if (!s)
        return 0;
    for (uint16_t i = 0; i < s->count; i++)
        if (is_encrypted_id(s->ids[i]))
            return 1;
    return 0;
}

int oxlo_protocol_stack_contains(const oxlo_protocol_stack *s, uint16_t id)
{
    if (!s)
        return 0;
    for (uint16_t i = 0; i < s->count && i < OXLO_PROTOCOL_STACK_SIZE; i++)
        if (s->ids[i] == id)
            return 1;
    return 0;
}

int oxlo_protocol_stack_has_http(const oxlo_protocol_stack *s)
{
    return oxlo_protocol_stack_contains(s, P_HTTP) || oxlo_protocol_stack_contains(s, P_HTTP_CONNECT) ||
           oxlo_protocol_stack_contains(s, P_HTTP_PROXY);
}

const char *oxlo_flow_store_host_name(oxlo_flow_state *flow, const char *text, size_t length,
                                      uint32_t flags)
{
    if (!flow)
        return "";
    oxlo_flow_texts *t = oxlo_flow_texts_make(nullptr, flow, 1);
    if (!t)
        return "";
    char *dst = t->host_name;
    const size_t n = oxlo_host_name_canonical(text, text ? length : 0, dst, OXLO_HOST_NAME_SIZE);
    if (flags & OXLO_HOST_PRINTABLE)
        for (size_t i = 0; i < n; i++) {
            const unsigned char c = (unsigned char)dst[i];
            if (c == '\t')
                dst[i] = ' ';
            else if (c < 0x20 || c > 0x7E)
                dst[i] = '?';
        }
    return dst;
}

const char *oxlo_flow_store_user_agent(oxlo_flow_state *flow, const char *text, size_t length)
{
    if (!flow || !text || length == 0 || (flow->texts && flow->texts->user_agent))
        return nullptr;
    oxlo_flow_texts *t = oxlo_flow_texts_make(nullptr, flow, 0);
    if (!t)
        return nullptr;
    char *copy = static_cast<char *>(oxlo_heap_alloc(length + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\0';
    t->user_agent = copy;
    return copy;
}

int oxlo_flow_handshake_complete(const oxlo_flow_state *flow)
{
    if (!flow)
        return 0;
    return flow->l4_protocol != 6 || (flow->tcp && (flow->tcp->handshake & 7) == 7);
}

int oxlo_protocol_is_cloud_provider(uint16_t id)
{
    return id == 220 || id == 265 || id == 284 || id == 285 || (id >= 458 && id <= 465) || id == 467;
}

int oxlo_host_name_classify(oxlo_module *module, oxlo_flow_state *flow, uint16_t master,
                            const char *name, size_t length)
{
    if (!module || !flow || !name)
        return 0;
    if (length > 2 && name[0] == '*' && name[1] == '.') {
        name += 2;
        length -= 2;
    }
    return oxlo_host_name_lookup(module, flow, name, length, nullptr, master, 1);
}

void oxlo_flow_guess_by_address_if_no_host(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow || oxlo_flow_host(flow)[0] != '\0' || !module->det.packet.iph)
        return;
    if (flow->guess_by_address)
        oxlo_flow_set_protocol(module, flow, flow->guess_by_address, 0, OXLO_CONFIDENCE_MATCH_BY_PORT);
}

void oxlo_flow_end_of_detection(oxlo_module *module, oxlo_flow_state *flow)
{
    if (flow->flags_b & OXLO_FLOW_EOD_DONE)
        return;
    end_of_detection_risks(module, flow);
    /* Risks raised after the last stored classification (by the checks just
     * run, or before a host name was known) meet the exceptions too. */
    oxlo_flow_apply_risk_exceptions(module, flow);
}

/* Protocol a DNS answer announced for the server address, 0 when none. */
static uint16_t fpc_dns_lookup(oxlo_module *module, const oxlo_flow_state *flow)
{
    oxlo_lru_table *cache = module->lru[OXLO_LRU_FPC_DNS];
    if (!cache)
        return 0;
    uint64_t key;
    if (flow->flags_a & OXLO_FLOW_IPV6) {
        key = uint32_t(address_fold_hash(flow->server_address, 16));
    } else {
        uint32_t v4 = 0;
        memcpy(&v4, flow->server_address, 4);
        key = v4;
    }
    uint16_t value = 0;
    if (oxlo_lru_table_find(cache, key, &value, 0, uint32_t(oxlo_flow_last_seen_sec(flow))) != 1)
        return 0;
    return value;
}

void oxlo_flow_first_packet_classify(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow || !module->det.settings.fpc)
        return;
    if (flow->confidence == OXLO_CONFIDENCE_CUSTOM_RULE) {
        flow->fpc_master = flow->master;
        flow->fpc_app = flow->app;
        flow->fpc_kind = OXLO_FPC_CUSTOM_RULE;
    } else if (flow->app) {
        flow->fpc_master = flow->master;
        flow->fpc_app = flow->app;
        flow->fpc_kind = OXLO_FPC_DPI;
    } else if (uint16_t cached = fpc_dns_lookup(module, flow)) {
        flow->fpc_master = 0;
        flow->fpc_app = cached;
        flow->fpc_kind = OXLO_FPC_DNS;
    } else {
        flow->fpc_master = 0;
        flow->fpc_app = flow->guess_by_address;
        flow->fpc_kind = flow->guess_by_address ? OXLO_FPC_IP_ADDRESS : OXLO_FPC_UNKNOWN;
    }
}

static uint64_t address_pair_key(const oxlo_flow_state *flow)
{
    return (uint64_t(address_word(flow, flow->client_address)) << 32) | address_word(flow, flow->server_address);
}

/* A side's address and port (network order as stored); IPv6: the hash over
 * the 16-bit port. */
static uint64_t endpoint_key(const oxlo_flow_state *flow, bool client)
{
    const uint64_t address = address_word(flow, client ? flow->client_address : flow->server_address);
    const uint16_t port = client ? flow->client_port : flow->server_port;
    return (flow->flags_a & OXLO_FLOW_IPV6) ? (address << 16) | port : (address << 32) | port;
}

static bool cache_hit(oxlo_module *module, const oxlo_flow_state *flow, int kind, uint64_t key, uint16_t *value)
{
    oxlo_lru_table *cache = module->lru[kind];
    return cache && oxlo_lru_table_find(cache, key, value, 0, uint32_t(oxlo_flow_last_seen_sec(flow))) == 1;
}

int oxlo_bittorrent_cache_lookup(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow || (flow->flags_b & OXLO_FLOW_BT_CACHE_DONE))
        return 0;
    flow->flags_b |= OXLO_FLOW_BT_CACHE_DONE;
    uint16_t value = 0;
    return cache_hit(module, flow, OXLO_LRU_BITTORRENT, address_pair_key(flow), &value) ||
           cache_hit(module, flow, OXLO_LRU_BITTORRENT, endpoint_key(flow, true), &value) ||
           cache_hit(module, flow, OXLO_LRU_BITTORRENT, endpoint_key(flow, false), &value);
}

/* Give-up by what earlier flows taught the caches. */
static bool giveup_by_caches(oxlo_module *module, oxlo_flow_state *flow)
{
    uint16_t value = 0;
    if (oxlo_bittorrent_cache_lookup(module, flow)) {
        oxlo_flow_set_protocol(module, flow, OXLO_PROTOCOL_BITTORRENT, 0, OXLO_CONFIDENCE_DPI_PARTIAL_CACHE);
        return true;
    }
    if (cache_hit(module, flow, OXLO_LRU_MINING, address_pair_key(flow), &value) && value) {
        oxlo_flow_set_protocol(module, flow, value, 0, OXLO_CONFIDENCE_DPI_PARTIAL_CACHE);
        return true;
    }
    if (oxlo_swap16(flow->server_port) == 8080 &&
        cache_hit(module, flow, OXLO_LRU_OOKLA, address_word(flow, flow->client_address), &value)) {
        oxlo_flow_set_protocol(module, flow, OXLO_PROTOCOL_OOKLA, 0, OXLO_CONFIDENCE_DPI_PARTIAL_CACHE);
        return true;
    }
    return false;
}

void oxlo_flow_giveup_detection(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow || flow->state == OXLO_STATE_FINISHED)
        return;
    if (flow->app) {
        oxlo_flow_end_of_detection(module, flow);
        return;
    }
    bool stored = false;
    if (flow->partial_guess) {
        oxlo_flow_set_protocol(module, flow, flow->partial_guess, 0, OXLO_CONFIDENCE_DPI_PARTIAL);
        stored = true;
    }
    if (!stored)
        stored = giveup_by_caches(module, flow);
    if (!stored && (flow->flags_a & OXLO_FLOW_FULLY_ENCRYPTED))
        oxlo_flow_risk_raise(module, flow, int(RISK_OBFUSCATED), "Fully Encrypted");
    if (!stored) {
        const oxlo_detection_settings *s = &module->det.settings;
        const bool by_port = s->guess_on_giveup & 1;
        const bool by_ip = s->guess_on_giveup & 2;
        const uint16_t port_guess = flow->guess_by_port;
        for (int round = 0; round < 2 && !stored; round++) {
            const bool ip_turn = (round == 0) == (s->guess_ip_before_port != 0);
            if (ip_turn && by_ip && flow->guess_by_address) {
                oxlo_flow_set_protocol(module, flow, flow->guess_by_address, flow->master,
                                       OXLO_CONFIDENCE_MATCH_BY_IP);
                stored = true;
            } else if (!ip_turn && by_port && port_guess) {
                oxlo_flow_set_protocol(module, flow, port_guess, 0, OXLO_CONFIDENCE_MATCH_BY_PORT);
                stored = true;
            }
        }
    }
    if (stored) {
        flow->flags_a |= OXLO_FLOW_BY_GIVEUP;
        fill_category(module, flow);
    }
    oxlo_flow_end_of_detection(module, flow);
}

oxlo_classification oxlo_flow_giveup(oxlo_module *module, oxlo_flow_state *flow)
{
    oxlo_classification r;
    memset(&r, 0, sizeof(r));
    if (!module || !flow)
        return r;
    oxlo_flow_giveup_detection(module, flow);
    return oxlo_flow_result(module, flow);
}

void oxlo_flow_fill_category(oxlo_module *module, oxlo_flow_state *flow) { fill_category(module, flow); }

oxlo_classification oxlo_flow_result(oxlo_module *module, const oxlo_flow_state *flow)
{
    oxlo_classification r;
    memset(&r, 0, sizeof(r));
    if (!module || !flow)
        return r;
    r.master = oxlo_user_protocol_id(module, flow->master);
    r.app = oxlo_user_protocol_id(module, flow->app);
    r.stack.count = flow->stack.count;
    for (uint16_t i = 0; i < flow->stack.count && i < OXLO_PROTOCOL_STACK_SIZE; i++)
        r.stack.ids[i] = oxlo_user_protocol_id(module, flow->stack.ids[i]);
    r.guessed_by_address = oxlo_user_protocol_id(module, flow->guess_by_address);
    r.category = flow->category;
    r.breed = flow->breed;
    r.fpc_master = oxlo_user_protocol_id(module, flow->fpc_master);
    r.fpc_app = oxlo_user_protocol_id(module, flow->fpc_app);
    r.fpc_kind = oxlo_fpc_kind(flow->fpc_kind);
    r.address_category = flow->address_category;
    r.state = oxlo_detection_state(flow->state);
    return r;
}

oxlo_classification oxlo_flow_classification(oxlo_module *module, const oxlo_flow_state *flow)
{
    if (!module || !flow || !(module->flags & OXLO_MODULE_FINALIZED)) {
        oxlo_classification r;
        memset(&r, 0, sizeof(r));
        return r;
    }
    return oxlo_flow_result(module, flow);
}

uint32_t oxlo_flow_guess(oxlo_module *module, oxlo_flow_state *flow, uint8_t ip_protocol)
{
    if (!module || !flow || (flow->flags_b & OXLO_FLOW_NO_MEMORY))
        return OXLO_GUESS_EMPTY;
    uint16_t app = 0, master = 0;
    if (ip_protocol == 6 || ip_protocol == 17) {
        const uint16_t port_guess = flow->guess_by_port ? flow->guess_by_port : guess_by_port_now(module, flow);
        uint16_t cached = 0;
        if (flow->guess_by_address) {
            app = flow->guess_by_address;
            master = port_guess == app ? 0 : port_guess;
        } else if (port_guess) {
            app = port_guess;
        } else if (cache_hit(module, flow, OXLO_LRU_BITTORRENT, address_pair_key(flow), &cached) ||
                   cache_hit(module, flow, OXLO_LRU_BITTORRENT, endpoint_key(flow, true), &cached) ||
                   cache_hit(module, flow, OXLO_LRU_BITTORRENT, endpoint_key(flow, false), &cached)) {
            app = OXLO_PROTOCOL_BITTORRENT;
        }
    } else {
        uint8_t flag = 0;
        app = oxlo_guess_protocol_by_port(module, ip_protocol, 0, 0, &flag);
    }
    /* Never OXLO_GUESS_EMPTY: a master is never the application as well. */
    return (uint32_t(app) << 16) | master;
}

oxlo_classification oxlo_guess_classification(const oxlo_module *module, uint32_t guess)
{
    oxlo_classification r;
    memset(&r, 0, sizeof(r));
    if (!module || guess == OXLO_GUESS_EMPTY)
        return r;
    r.master = oxlo_user_protocol_id(module, uint16_t(guess));
    r.app = oxlo_user_protocol_id(module, uint16_t(guess >> 16));
    r.category = oxlo_protocol_pair_category(module, guess);
    r.breed = oxlo_protocol_pair_breed(module, guess);
    return r;
}

oxlo_classification oxlo_classification_fallback(oxlo_module *module, oxlo_flow_state *flow,
                                                 uint8_t ip_protocol)
{
    return oxlo_guess_classification(module, oxlo_flow_guess(module, flow, ip_protocol));
}

uint16_t guess_protocol_by_ipv4_addresses(oxlo_module *module, const oxlo_flow_state *flow, uint32_t address1,
                                          uint32_t address2)
{
    if (!module)
        return 0;
    if (flow)
        return flow->guess_by_address;
    const uint16_t id = oxlo_protocol_by_ipv4(module, address1);
    return id ? id : oxlo_protocol_by_ipv4(module, address2);
}

oxlo_classification oxlo_guess_undetected_protocol(oxlo_module *module, oxlo_flow_state *flow,
                                                   uint8_t ip_protocol, uint32_t address1,
                                                   uint16_t port1, uint32_t address2, uint16_t port2)
{
    oxlo_classification r;
    memset(&r, 0, sizeof(r));
    if (!module)
        return r;
    uint16_t app = guess_protocol_by_ipv4_addresses(module, flow, address1, address2);
    if (!app && flow)
        app = guess_protocol_by_ipv4_addresses(module, nullptr, address1, address2);
    if (!app && (ip_protocol == 6 || ip_protocol == 17)) {
        uint8_t flag = 0;
        app = oxlo_guess_protocol_by_port(module, ip_protocol, port1, port2, &flag);
    }
    if (!app)
        return flow ? oxlo_classification_fallback(module, flow, ip_protocol) : r;
    r.app = oxlo_user_protocol_id(module, app);
    r.category = oxlo_protocol_pair_category(module, uint32_t(app) << 16);
    return r;
}

} // extern "C"

/* Risks of a name itself: listed among the risky domains (27), or an
 * internationalised name in its punycode form (42). */
static void name_risks(oxlo_module *module, oxlo_flow_state *flow, const char *name, size_t length)
{
    uint16_t listed = 0;
    if (module->risky_domain_automaton &&
        automaton_match_core(module->risky_domain_automaton, name, uint16_t(length), nullptr, &listed, nullptr) > 0 &&
        listed)
        oxlo_flow_risk_raise(module, flow, OXLO_RISKY_DOMAIN, name);
    if (oxlo_has_punycode(name, length))
        oxlo_flow_risk_raise(module, flow, OXLO_PUNYCODE_IDN, name);
}

extern "C" {

int oxlo_host_name_lookup(oxlo_module *module, oxlo_flow_state *flow, const char *name,
                          size_t length, void *match_result, uint16_t master, int set_protocol)
{
    if (!module || !flow || !name || length == 0)
        return 0;
    /* Patterns are written in the canonical form; so is the name matched. */
    char copy[256];
    const size_t n = oxlo_host_name_canonical(name, length, copy, sizeof(copy));
    if (n == 0)
        return 0;

    name_risks(module, flow, copy, n);

    automaton_match local;
    automaton_match *match = match_result ? static_cast<automaton_match *>(match_result) : &local;
    memset(match, 0, sizeof(*match));
    uint16_t proto = 0, category = 0;
    if (automaton_match_core(module->host_automaton, copy, uint16_t(n), match, &proto, &category) < 0)
        return 0;
    if (proto == 0) {
        /* A miss on the whole name is retried on its registered domain. */
        const char *domain = oxlo_host_registered_domain(module, copy);
        if (!domain || domain == copy || !*domain)
            return 0;
        memset(match, 0, sizeof(*match));
        if (automaton_match_core(module->host_automaton, domain, uint16_t(strlen(domain)), match, &proto,
                                 &category) < 0 ||
            proto == 0)
            return 0;
    }
    if (set_protocol) {
        oxlo_flow_set_protocol(module, flow, proto, master, OXLO_CONFIDENCE_DPI);
        if (proto == OXLO_PROTOCOL_OOKLA)
            oxlo_ookla_cache_add(module, flow);
    }
    /* Mail and naming flows keep their own category: the name they carry
     * says nothing about the service they are. */
    const bool keep_category = master == 2 || master == 3 || master == 4 || master == 5 ||
                               master == P_POPS || master == P_SMTPS || master == P_IMAPS;
    if (category && !keep_category)
        flow->category = category;
    if (match->data.breed)
        flow->breed = match->data.breed;
    return 1;
}

} // extern "C"
