/* Flow risks: the risk table with identifiers, texts and severities, raising
 * and clearing risks on a flow with their messages, the exception rules that
 * drop risks for listed hosts and addresses, scores and the message text. */
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_automaton.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

namespace {

struct risk_info {
    uint32_t id;
    const char *identifier;
    const char *description; /* nullptr: shown as its number */
    const char *short_name;  /* the "flow_risk.<name>" knob name */
    uint32_t severity;
    uint32_t client_share;
    uint32_t weight;
};

constexpr risk_info risk_infos[] = {
#define OXLO_RISK(id, ident, description, short_name, severity, client_share, weight) \
    {id, "OXLO_" #ident, sizeof(description) > 1 ? description : nullptr, short_name, OXLO_SEVERITY_##severity, client_share, weight},
#include "data/oxlo_risks.def"
#undef OXLO_RISK
};
static_assert(sizeof(risk_infos) / sizeof(risk_infos[0]) == OXLO_MAX_RISK, "one row per risk id");
static_assert(OXLO_MAX_RISK <= 64, "a flow's risk mask has a bit per risk");

constexpr bool rows_in_id_order()
{
    for (uint32_t i = 0; i < OXLO_MAX_RISK; i++)
        if (risk_infos[i].id != i)
            return false;
    return true;
}
static_assert(rows_in_id_order(), "row i describes risk i");

oxlo_risk_table_entry make_entry(uint32_t i)
{
    if (i < OXLO_MAX_RISK)
        return {risk_infos[i].id, risk_infos[i].severity, risk_infos[i].client_share, risk_infos[i].weight};
    return {OXLO_MAX_RISK, OXLO_SEVERITY_LOW, 50, 0};
}

struct risk_table {
    oxlo_risk_table_entry rows[OXLO_RISK_TABLE_SIZE];
    risk_table()
    {
        for (uint32_t i = 0; i < OXLO_RISK_TABLE_SIZE; i++)
            rows[i] = make_entry(i);
    }
};

const risk_table table_rows;

const char *const severity_names[] = {"Low", "Medium", "High", "Severe", "Critical", "Emergency"};
const uint16_t severity_scores[] = {10, 50, 100, 150, 200, 250};

constexpr size_t MAX_MESSAGE = 1023; /* a merged message is cut to this */

bool valid_risk(int risk) { return risk > 0 && risk < OXLO_MAX_RISK; }

uint64_t bit_of(int risk) { return uint64_t(1) << (unsigned(risk) % 64); }

int find_slot(const oxlo_flow_state *flow, int risk)
{
    const uint8_t n = std::min<uint8_t>(flow->risk_message_count, OXLO_FLOW_RISK_MESSAGES);
    for (uint8_t i = 0; i < n; i++)
        if (flow->texts->risk_messages[i].risk == uint32_t(risk))
            return i;
    return -1;
}

/* Without memory for the flow's texts the message is lost; the risk stays. */
void store_message(oxlo_module *module, oxlo_flow_state *flow, int risk, const char *message)
{
    if (flow->risk_message_count >= OXLO_FLOW_RISK_MESSAGES)
        return;
    oxlo_flow_texts *t = oxlo_flow_texts_make(module, flow, 0);
    if (!t)
        return;
    char *copy = oxlo_heap_strdup(message);
    if (!copy)
        return;
    t->risk_messages[flow->risk_message_count].risk = uint32_t(risk);
    t->risk_messages[flow->risk_message_count].text = copy;
    flow->risk_message_count++;
}

/* A second message for a risk already set joins the first as "old;new". */
void merge_message(oxlo_flow_state *flow, int slot, const char *message)
{
    oxlo_flow_risk_message *m = &flow->texts->risk_messages[slot];
    if (m->text && (strcmp(m->text, message) == 0 || strstr(m->text, message)))
        return;
    const char *old = m->text ? m->text : "";
    char *joined = static_cast<char *>(oxlo_heap_alloc(MAX_MESSAGE + 1));
    if (!joined)
        return;
    snprintf(joined, MAX_MESSAGE + 1, "%s;%s", old, message);
    oxlo_heap_free(m->text);
    m->text = joined;
}

void free_all_messages(oxlo_flow_state *flow)
{
    const uint8_t n = std::min<uint8_t>(flow->risk_message_count, OXLO_FLOW_RISK_MESSAGES);
    for (uint8_t i = 0; i < n; i++) {
        oxlo_heap_free(flow->texts->risk_messages[i].text);
        flow->texts->risk_messages[i].text = nullptr;
    }
    flow->risk_message_count = 0;
}

const oxlo_patricia_node *best_node(oxlo_patricia_tree *tree, const uint8_t *address, bool v6)
{
    if (!tree)
        return nullptr;
    oxlo_prefix prefix;
    int rc;
    if (v6) {
        struct in6_addr a;
        memcpy(&a, address, 16);
        rc = oxlo_prefix_set_ipv6(&prefix, &a, 128, 128);
    } else {
        struct in_addr a;
        memcpy(&a, address, 4);
        rc = oxlo_prefix_set_ipv4(&prefix, &a, 32, 32);
    }
    if (rc != 0)
        return nullptr;
    return oxlo_patricia_search_best_inclusive(tree, &prefix);
}

void address_exception(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *address, bool v6)
{
    if (!module || !flow || !address || !module->risk_exception_ip)
        return;
    const oxlo_patricia_node *node =
        best_node(v6 ? module->risk_exception_ip->v6 : module->risk_exception_ip->v4, address, v6);
    if (node)
        flow->risk_allowed_mask &= oxlo_patricia_node_value(node);
}

/* 1 with the match's allowed mask when the host exception automaton knows
 * the name. */
int host_exception_match(oxlo_module *module, const char *host, uint64_t *allowed)
{
    if (!module || !module->host_risk_exception_automaton || !host || !*host)
        return 0;
    oxlo_automaton *a = module->host_risk_exception_automaton;
    const size_t len = strlen(host);
    automaton_text text{};
    text.text = host;
    text.length = uint16_t(len > 0xFFFF ? 0xFFFF : len);
    automaton_match match{};
    if (automaton_search(a, &text, &match) <= 0)
        return 0;
    /* The label-boundary check may pass patterns without keeping any
     * ("notcdn.example.net" contains "cdn.example.net"): only a kept pattern
     * excuses risks, otherwise its empty mask would clear them all. */
    if (a->match_cb && !text.chosen)
        return 0;
    *allowed = match.data.value;
    return 1;
}

/* JSON writer into a fixed buffer that never leaves a half member behind. */
struct json_out {
    char *buf;
    size_t size; /* room for text, the NUL excluded */
    size_t len;
};

/* Length of the valid UTF-8 sequence at s (at most avail bytes), 0 when the
 * bytes there are not one. */
size_t utf8_sequence(const unsigned char *s, size_t avail)
{
    const unsigned char c = s[0];
    size_t n;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4;
    else
        return 0;
    if (n > avail)
        return 0;
    for (size_t i = 1; i < n; i++)
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    if (n == 3 && ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] > 0x9F)))
        return 0;
    if (n == 4 && ((c == 0xF0 && s[1] < 0x90) || (c == 0xF4 && s[1] > 0x8F)))
        return 0;
    return n;
}

/* Appends the text as a JSON string body, whole characters only, leaving
 * `reserve` bytes free for what must follow. */
void json_string_body(json_out *o, const char *text, size_t reserve)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    size_t remaining = strlen(text);
    while (remaining > 0) {
        char piece[8];
        size_t piece_len;
        size_t used = utf8_sequence(s, remaining);
        if (used == 1 && (*s == '"' || *s == '\\')) {
            piece[0] = '\\';
            piece[1] = char(*s);
            piece_len = 2;
        } else if (used == 1 && *s < 0x20) {
            piece_len = size_t(snprintf(piece, sizeof(piece), "\\u%04x", *s));
        } else if (used == 0) {
            /* A byte that is not UTF-8 is kept as the character of its value. */
            piece_len = size_t(snprintf(piece, sizeof(piece), "\\u%04x", *s));
            used = 1;
        } else {
            memcpy(piece, s, used);
            piece_len = used;
        }
        if (o->len + piece_len + reserve > o->size)
            return;
        memcpy(o->buf + o->len, piece, piece_len);
        o->len += piece_len;
        s += used;
        remaining -= used;
    }
}

bool json_raw(json_out *o, const char *text, size_t reserve)
{
    const size_t n = strlen(text);
    if (o->len + n + reserve > o->size)
        return false;
    memcpy(o->buf + o->len, text, n);
    o->len += n;
    return true;
}

void sorted_messages(const oxlo_flow_state *flow, oxlo_flow_risk_message *out, uint8_t *count)
{
    const uint8_t n = std::min<uint8_t>(flow->risk_message_count, OXLO_FLOW_RISK_MESSAGES);
    if (n)
        memcpy(out, flow->texts->risk_messages, n * sizeof(*out));
    std::stable_sort(out, out + n, [](const oxlo_flow_risk_message &a, const oxlo_flow_risk_message &b) {
        return a.risk > b.risk;
    });
    *count = n;
}

char *messages_json(const oxlo_flow_risk_message *m, uint8_t n, char *buffer, size_t size)
{
    json_out o{buffer, size - 1, 0};
    /* "{}" always fits a buffer of 3 bytes; a smaller one gets what fits. */
    if (!json_raw(&o, "{", 1)) {
        buffer[0] = '\0';
        return buffer;
    }
    for (uint8_t i = 0; i < n; i++) {
        char head[24];
        snprintf(head, sizeof(head), "%s\"%u\":\"", i ? "," : "", m[i].risk);
        /* A member goes in only when its key, both quotes and the closing
         * brace fit; its text is then cut to the room that is left. */
        if (!json_raw(&o, head, 2))
            break;
        json_string_body(&o, m[i].text ? m[i].text : "", 2);
        json_raw(&o, "\"", 1);
    }
    json_raw(&o, "}", 0);
    buffer[o.len] = '\0';
    return buffer;
}

char *messages_plain(const oxlo_flow_risk_message *m, uint8_t n, char *buffer, size_t size)
{
    size_t len = 0;
    buffer[0] = '\0';
    for (uint8_t i = 0; i < n && len + 1 < size; i++) {
        const int w = snprintf(buffer + len, size - len, "%s%s", i ? ";" : "", m[i].text ? m[i].text : "");
        if (w < 0)
            break;
        len += std::min(size_t(w), size - len - 1);
    }
    return len ? buffer : nullptr;
}

const char *entropy_verdict(float e)
{
    if (e >= 7.312f)
        return "Encrypted or Random";
    if (e >= 7.174f)
        return "Encrypted Executable";
    if (e >= 6.677f)
        return "Compressed Executable";
    if (e >= 4.941f)
        return "Executable";
    return "Unknown";
}

constexpr uint16_t P_HTTP = OXLO_PROTOCOL_HTTP, P_DTLS = OXLO_PROTOCOL_DTLS, P_TLS = OXLO_PROTOCOL_TLS, P_QUIC = OXLO_PROTOCOL_QUIC;
constexpr uint32_t CAT_UNSPECIFIED = 0, CAT_DATA_TRANSFER = 4, CAT_WEB = 5, CAT_DOWNLOAD = 7;

bool flow_is(const oxlo_flow_state *flow, uint16_t id) { return flow->app == id || flow->master == id; }

} // namespace

extern "C" {

const oxlo_risk_table_entry *oxlo_risk_table_lookup(uint32_t risk)
{
    return &table_rows.rows[risk < OXLO_RISK_TABLE_SIZE ? risk : uint32_t(OXLO_MAX_RISK)];
}

const char *oxlo_flow_risk_identifier(int risk)
{
    if (risk < 0 || risk >= OXLO_MAX_RISK)
        return "Unknown risk";
    return risk_infos[risk].identifier;
}

int oxlo_flow_risk_by_identifier(const char *identifier)
{
    if (!identifier)
        return OXLO_MAX_RISK;
    for (int i = 0; i < OXLO_MAX_RISK; i++)
        if (strcmp(identifier, risk_infos[i].identifier) == 0)
            return i;
    return OXLO_MAX_RISK;
}

const char *oxlo_flow_risk_description(int risk)
{
    if (risk > 0 && risk < OXLO_MAX_RISK)
        return risk_infos[risk].description;
    static thread_local char number[16];
    snprintf(number, sizeof(number), "%d", risk);
    return number;
}

const char *oxlo_flow_risk_short_name(int risk)
{
    if (risk < 0 || risk >= OXLO_MAX_RISK)
        return nullptr;
    return risk_infos[risk].short_name;
}

const char *oxlo_severity_name(int severity)
{
    if (severity < 0 || severity > OXLO_SEVERITY_EMERGENCY)
        return "";
    return severity_names[severity];
}

uint16_t oxlo_severity_score(int severity)
{
    if (severity < 0 || severity > OXLO_SEVERITY_EMERGENCY)
        return 0;
    return severity_scores[severity];
}

uint16_t oxlo_risk_mask_score(oxlo_risk_mask mask, uint16_t *client_score, uint16_t *server_score)
{
    uint32_t total = 0, client = 0, server = 0;
    for (uint32_t i = 0; i < OXLO_MAX_RISK; i++) {
        if (!(mask & (uint64_t(1) << i)))
            continue;
        const oxlo_risk_table_entry *e = oxlo_risk_table_lookup(i);
        const uint32_t s = oxlo_severity_score(int(e->severity));
        const uint32_t c = s * e->client_share / 100;
        total += s;
        client += c;
        server += s - c;
    }
    if (client_score)
        *client_score = uint16_t(client);
    if (server_score)
        *server_score = uint16_t(server);
    return uint16_t(total);
}

int oxlo_module_risk_enabled(const oxlo_module *module, int risk)
{
    if (!module || risk < 0)
        return 1;
    return oxlo_knob_bit_test(&module->cfg.flowrisk_bitmap, uint32_t(risk)) != 0;
}

int oxlo_module_risk_message_enabled(const oxlo_module *module, int risk)
{
    if (!module || risk < 0)
        return 1;
    return oxlo_knob_bit_test(&module->cfg.flowrisk_info_bitmap, uint32_t(risk)) != 0;
}

int oxlo_flow_risk_is_set(const oxlo_flow_state *flow, int risk)
{
    if (!flow || risk < 0)
        return 0;
    return (flow->risk_mask & bit_of(risk)) != 0;
}

int oxlo_flow_risk_raise(oxlo_module *module, oxlo_flow_state *flow, int risk, const char *message)
{
    if (!valid_risk(risk))
        return -2;
    if (!flow || !oxlo_module_risk_enabled(module, risk))
        return 0;
    const bool keep = message && oxlo_module_risk_message_enabled(module, risk);
    const uint64_t bit = bit_of(risk);
    if (flow->risk_mask & bit) {
        if (!keep)
            return 0;
        const int slot = find_slot(flow, risk);
        if (slot >= 0) {
            if (risk != OXLO_SUSPICIOUS_ENTROPY)
                merge_message(flow, slot, message);
            return 0;
        }
        store_message(module, flow, risk, message);
        return 0;
    }
    if (flow->risk_exception_state & 2) {
        flow->risk_mask |= bit & flow->risk_allowed_mask;
        if (flow->risk_mask == 0)
            return 0;
    } else {
        flow->risk_mask |= bit;
    }
    if (keep)
        store_message(module, flow, risk, message);
    return 0;
}

int oxlo_flow_risk_clear(oxlo_module *module, oxlo_flow_state *flow, int risk)
{
    if (!valid_risk(risk))
        return -2;
    if (!flow || !(flow->risk_mask & bit_of(risk)))
        return 0;
    flow->risk_mask &= ~bit_of(risk);
    if (!oxlo_module_risk_message_enabled(module, risk))
        return 0;
    const int slot = find_slot(flow, risk);
    if (slot < 0)
        return 0;
    oxlo_flow_risk_message *m = flow->texts->risk_messages;
    oxlo_heap_free(m[slot].text);
    const uint8_t n = std::min<uint8_t>(flow->risk_message_count, OXLO_FLOW_RISK_MESSAGES);
    for (int i = slot; i + 1 < n; i++)
        m[i] = m[i + 1];
    m[n - 1].risk = 0;
    m[n - 1].text = nullptr;
    flow->risk_message_count = uint8_t(n - 1);
    return 0;
}

int host_risk_exception_apply(oxlo_module *module, oxlo_flow_state *flow, const char *host_name)
{
    uint64_t allowed = 0;
    if (!host_exception_match(module, host_name, &allowed))
        return 0;
    if (flow)
        flow->risk_allowed_mask &= allowed;
    return 1;
}

void ipv6_risk_exception_apply(oxlo_module *module, oxlo_flow_state *flow, const uint8_t address[16])
{
    address_exception(module, flow, address, true);
}

void ipv4_risk_exception_apply(oxlo_module *module, oxlo_flow_state *flow, const uint8_t address[4])
{
    address_exception(module, flow, address, false);
}

void oxlo_flow_apply_risk_exceptions(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow || flow->risk_mask == 0)
        return;
    if ((flow->risk_exception_state & 3) == 0)
        flow->risk_allowed_mask = ~uint64_t(0);
    if (!(flow->risk_exception_state & 2) && oxlo_flow_host(flow)[0] != '\0') {
        host_risk_exception_apply(module, flow, oxlo_flow_host(flow));
        if (flow->risk_allowed_mask == 0)
            free_all_messages(flow);
        flow->risk_exception_state |= 2;
    }
    if (!(flow->risk_exception_state & 1)) {
        const bool v6 = flow->flags_a & OXLO_FLOW_IPV6;
        address_exception(module, flow, flow->client_address, v6);
        address_exception(module, flow, flow->server_address, v6);
        flow->risk_exception_state |= 1;
    }
    flow->risk_mask &= flow->risk_allowed_mask;
}

int oxlo_issuer_dn_is_trusted(const oxlo_module *module, const char *issuer_dn)
{
    if (!module || !issuer_dn)
        return 0;
    for (const oxlo_text_list *t = module->trusted_issuers; t; t = t->next)
        if (t->text && strcmp(t->text, issuer_dn) == 0)
            return 1;
    return 0;
}

int oxlo_risk_exception_list_match(oxlo_module *module, uint32_t count, const risk_exception_item *items)
{
    if (!module || !items)
        return 0;
    for (uint32_t i = 0; i < count; i++) {
        const risk_exception_item *it = &items[i];
        uint64_t allowed;
        switch (it->kind) {
        case OXLO_RISK_EXCEPTION_HOST:
            if (host_exception_match(module, it->value.text, &allowed))
                return 1;
            break;
        case OXLO_RISK_EXCEPTION_ISSUER_DN:
            if (oxlo_issuer_dn_is_trusted(module, it->value.text))
                return 1;
            break;
        case OXLO_RISK_EXCEPTION_IPV4: {
            if (!module->risk_exception_ip)
                break;
            uint8_t a[4];
            memcpy(a, &it->value.ipv4, 4);
            const oxlo_patricia_node *node = best_node(module->risk_exception_ip->v4, a, false);
            if (node && oxlo_patricia_node_value(node) != ~uint64_t(0))
                return 1;
            break;
        }
        default:
            break;
        }
    }
    return 0;
}

char *oxlo_flow_risk_messages_text(const oxlo_flow_state *flow, char *buffer, size_t size, int json)
{
    if (!flow || !buffer || size == 0 || flow->risk_message_count == 0)
        return nullptr;
    oxlo_flow_risk_message sorted[OXLO_FLOW_RISK_MESSAGES];
    uint8_t n = 0;
    sorted_messages(flow, sorted, &n);
    return json ? messages_json(sorted, n, buffer, size) : messages_plain(sorted, n, buffer, size);
}

void oxlo_flow_entropy_risk_update(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!flow)
        return;
    const float e = flow->entropy;
    if (e < 4.941f) {
        oxlo_flow_risk_clear(module, flow, OXLO_SUSPICIOUS_ENTROPY);
        return;
    }
    if (flow_is(flow, P_TLS) || flow_is(flow, P_QUIC) || flow_is(flow, P_DTLS)) {
        flow->flags_a |= OXLO_FLOW_ENCRYPTED_PROTO;
        oxlo_flow_risk_clear(module, flow, OXLO_SUSPICIOUS_ENTROPY);
        return;
    }
    bool raise = true;
    if (flow->confidence == OXLO_CONFIDENCE_DPI_CACHE || flow->confidence == OXLO_CONFIDENCE_DPI) {
        static const int telling[] = {OXLO_MALWARE_HOST_CONTACTED, OXLO_BINARY_DATA_TRANSFER,
                                      OXLO_BINARY_APPLICATION_TRANSFER, OXLO_POSSIBLE_EXPLOIT,
                                      OXLO_HTTP_SUSPICIOUS_CONTENT, OXLO_DNS_SUSPICIOUS_TRAFFIC,
                                      OXLO_MALFORMED_PACKET};
        bool any = false;
        for (int r : telling)
            any = any || oxlo_flow_risk_is_set(flow, r);
        if (!any) {
            switch (flow->category) {
            case CAT_UNSPECIFIED:
            case CAT_DATA_TRANSFER:
            case CAT_WEB:
                break;
            case CAT_DOWNLOAD:
                raise = flow_is(flow, P_HTTP);
                break;
            default:
                raise = false;
            }
        }
    }
    if (!raise) {
        oxlo_flow_risk_clear(module, flow, OXLO_SUSPICIOUS_ENTROPY);
        return;
    }
    char message[64];
    snprintf(message, sizeof(message), "Entropy: %.3f (%s?)", double(e), entropy_verdict(e));
    oxlo_flow_risk_raise(module, flow, OXLO_SUSPICIOUS_ENTROPY, message);
}

void oxlo_risk_table_dump(FILE *out)
{
    if (!out)
        return;
    fprintf(out, "%3s %-46s %-44s %-8s %s %-8s %-8s\n", "Id", "Code", "Risk", "Severity", "Score", "CliScore",
            "SrvScore");
    for (int i = 1; i < OXLO_MAX_RISK; i++) {
        uint16_t client = 0, server = 0;
        const uint16_t score = oxlo_risk_mask_score(uint64_t(1) << i, &client, &server);
        fprintf(out, "%3d %-46s %-44s %-8s %-8u %-8u %-8u\n", i, risk_infos[i].identifier,
                risk_infos[i].description, oxlo_severity_name(int(risk_infos[i].severity)), score, client,
                server);
    }
}

} // extern "C"
