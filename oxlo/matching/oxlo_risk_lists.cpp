/* Finalization data that is neither host names nor protocol addresses: the
 * certificate-organisation table of the "tls_cert" automaton, the address
 * lists behind the crawler and anonymous-subscriber risks, and the reset of
 * the lookup counters once the module is complete. */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_hosts.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_string_map.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

/* One prefix of a risk list, waiting for finalization. */
struct oxlo_risk_list_entry {
    uint8_t address[16];
    uint8_t bits;
    uint8_t ipv6;
    uint8_t kind;
};

namespace {

#define OXLO_TLS_CERT_ORG(text, proto) {text, OXLO_PROTOCOL_##proto},
const struct {
    const char *text;
    uint16_t protocol_id;
} cert_orgs[] = {
#include "data/oxlo_tls_cert_orgs.def"
};
#undef OXLO_TLS_CERT_ORG

/* The built-in list files (data/risk_lists/), compiled in as text. */
#include "oxlo_risk_lists_builtin.inc"

struct risk_list_info {
    const char *text; /* built-in list */
    int risk;
};
const risk_list_info lists[] = {
    {builtin_anonymous_subscriber_icloudprivaterelay, OXLO_ANONYMOUS_SUBSCRIBER},
    {builtin_anonymous_subscriber_tor, OXLO_ANONYMOUS_SUBSCRIBER},
    {builtin_crawler_bot, OXLO_HTTP_CRAWLER_BOT},
};
constexpr int list_count = int(sizeof(lists) / sizeof(lists[0]));

bool list_wanted(const oxlo_module *m, int kind)
{
    switch (kind) {
    case OXLO_RISK_LIST_PRIVATE_RELAY: return m->cfg.risk_anonymous_subscriber_list_icloudprivaterelay != 0;
    case OXLO_RISK_LIST_TOR: return m->cfg.risk_anonymous_subscriber_list_tor != 0;
    case OXLO_RISK_LIST_CRAWLER_BOT: return m->cfg.risk_crawler_bot_list != 0;
    default: return false;
    }
}

/* "address" or "address/length"; false for anything else. */
bool parse_prefix(char *line, oxlo_risk_list_entry *e)
{
    size_t n = strlen(line);
    while (n && (line[n - 1] == ' ' || line[n - 1] == '\t'))
        line[--n] = '\0';
    char *slash = strchr(line, '/');
    if (slash)
        *slash = '\0';
    e->ipv6 = strchr(line, ':') != nullptr;
    const int max = e->ipv6 ? 128 : 32;
    memset(e->address, 0, sizeof(e->address));
    if (inet_pton(e->ipv6 ? AF_INET6 : AF_INET, line, e->address) != 1)
        return false;
    int bits = max;
    if (slash) {
        char *end = nullptr;
        errno = 0;
        const long v = strtol(slash + 1, &end, 10);
        if (end == slash + 1 || *end || errno || v < 0 || v > max)
            return false;
        bits = int(v);
    }
    e->bits = uint8_t(bits);
    return true;
}

bool keep_entry(oxlo_module *m, const oxlo_risk_list_entry &e)
{
    if (m->risk_list_pending_count == m->risk_list_pending_capacity) {
        const uint32_t capacity = m->risk_list_pending_capacity ? m->risk_list_pending_capacity * 2 : 64;
        void *grown = oxlo_heap_realloc(m->risk_list_pending, size_t(capacity) * sizeof(oxlo_risk_list_entry));
        if (!grown)
            return false;
        m->risk_list_pending = static_cast<oxlo_risk_list_entry *>(grown);
        m->risk_list_pending_capacity = capacity;
    }
    m->risk_list_pending[m->risk_list_pending_count++] = e;
    return true;
}

/* Reads a list into the pending entries: entries read, or minus the number
 * of bad lines. */
int read_list(oxlo_module *m, FILE *in, int kind, const char *name)
{
    char line[254];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), nullptr, 1);
    int added = 0, bad = 0, rc;
    while ((rc = oxlo_list_reader_next(&reader)) != OXLO_LINE_EOF) {
        if (rc == OXLO_LINE_TOO_LONG) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Failed to read file %s line #%u, line too long\n", name, reader.number);
            bad++;
            continue;
        }
        oxlo_risk_list_entry e{};
        e.kind = uint8_t(kind);
        if (!parse_prefix(line, &e)) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] %s line #%u: not an address or prefix\n", name, reader.number);
            bad++;
            continue;
        }
        if (!keep_entry(m, e)) {
            bad++;
            continue;
        }
        added++;
    }
    return bad ? -bad : added;
}

void insert_entry(oxlo_tree_pair *pair, const oxlo_risk_list_entry &e, int risk)
{
    oxlo_patricia_tree *tree = e.ipv6 ? pair->v6 : pair->v4;
    oxlo_patricia_node *node = oxlo_patricia_add_address(
        tree, e.ipv6 ? OXLO_PREFIX_FAMILY_IPV6 : OXLO_PREFIX_FAMILY_IPV4, e.address, e.bits);
    /* A prefix on two lists keeps the risk it was given first. */
    if (node && node->value.u64 == 0)
        node->value.u64 = uint64_t(risk);
}

} // namespace

extern "C" {

void oxlo_tls_cert_orgs_load(oxlo_module *m)
{
    if (!m || !m->tls_cert_automaton)
        return;
    for (const auto &org : cert_orgs) {
        if (!oxlo_protocol_enabled(m, org.protocol_id))
            continue;
        const oxlo_proto_defaults *p = oxlo_proto_defaults_get(m, org.protocol_id);
        automaton_pattern pattern{};
        /* The automaton keeps the pointer; "tls_cert" never frees its
         * texts. Unanchored: the organisation may stand anywhere in the
         * subject. */
        pattern.text = const_cast<char *>(org.text);
        pattern.length = uint16_t(strlen(org.text));
        pattern.data.id = org.protocol_id;
        pattern.data.category = uint16_t(p ? p->category : 0);
        pattern.data.breed = uint16_t(p ? p->breed : 0);
        automaton_add_pattern(m->tls_cert_automaton, &pattern);
    }
}

int oxlo_load_risk_list(oxlo_module *m, const char *path, int kind)
{
    if (!m || !path || kind < 0 || kind >= list_count)
        return -1;
    if (m->flags & OXLO_MODULE_FINALIZED)
        return -2;
    FILE *in = fopen(path, "r");
    if (!in) {
        oxlo_log(m, OXLO_LOG_ERROR, "Unable to open file %s [%s]\n", path, strerror(errno));
        return -1;
    }
    const int rc = read_list(m, in, kind, path);
    fclose(in);
    return rc;
}

void oxlo_risk_lists_load(oxlo_module *m)
{
    if (!m || !m->risk_list_ip)
        return;
    for (int kind = 0; kind < list_count; kind++) {
        if (!list_wanted(m, kind))
            continue;
        const char *text = lists[kind].text;
        if (!*text)
            continue;
        if (FILE *in = fmemopen(const_cast<char *>(text), strlen(text), "r")) {
            read_list(m, in, kind, "built-in risk list");
            fclose(in);
        }
    }
    for (uint32_t i = 0; i < m->risk_list_pending_count; i++) {
        const oxlo_risk_list_entry &e = m->risk_list_pending[i];
        if (list_wanted(m, e.kind))
            insert_entry(m->risk_list_ip, e, lists[e.kind].risk);
    }
    oxlo_risk_lists_release(m);
}

void oxlo_risk_lists_release(oxlo_module *m)
{
    if (!m)
        return;
    oxlo_heap_free(m->risk_list_pending);
    m->risk_list_pending = nullptr;
    m->risk_list_pending_count = m->risk_list_pending_capacity = 0;
}

int oxlo_risk_list_match(oxlo_module *m, const uint8_t *address, int ipv6)
{
    if (!m || !m->risk_list_ip || !address)
        return 0;
    oxlo_patricia_node *node;
    if (ipv6) {
        node = oxlo_tree_best_ipv6(m->risk_list_ip->v6, address);
    } else {
        uint32_t a;
        memcpy(&a, address, 4);
        node = oxlo_tree_best_ipv4(m->risk_list_ip->v4, a);
    }
    return node ? int(node->value.u64) : 0;
}

void oxlo_module_reset_lookup_counters(oxlo_module *m)
{
    if (!m)
        return;
    oxlo_string_map_stats_reset(m->risky_domains);
    oxlo_string_map_stats_reset(m->host_risk_exceptions);
    /* Risky domains and host exceptions are searched in these automata. */
    for (oxlo_automaton *a : {m->risky_domain_automaton, m->host_risk_exception_automaton}) {
        if (a) {
            a->n_search = 0;
            a->n_found = 0;
        }
    }
}

} // extern "C"
