/* Module lifecycle: creation, finalization and release of a detection
 * module, and the guarded automaton search every host, certificate and
 * content match goes through. */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_stream.h"
#include "oxlo_utils.h"

#include <cstdio>
#include <cstring>

namespace {

/* Order in which finalization creates the caches. */
const int lru_creation_order[OXLO_LRU_KIND_COUNT] = {
    OXLO_LRU_OOKLA, OXLO_LRU_SIGNAL, OXLO_LRU_BITTORRENT, OXLO_LRU_STUN,
    OXLO_LRU_TLS_CERT, OXLO_LRU_MINING, OXLO_LRU_MSTEAMS, OXLO_LRU_FPC_DNS,
};

oxlo_automaton *new_automaton(const char *name, bool label_boundary)
{
    oxlo_automaton *a = automaton_new(label_boundary ? oxlo_host_match_callback : nullptr);
    if (!a)
        return nullptr;
    /* Host names compare without regard to case. */
    automaton_set_features(a, AUTOMATON_FEATURE_CASE_INSENSITIVE);
    automaton_set_name(a, name, 0);
    return a;
}

void free_automaton(oxlo_automaton **a, bool with_texts)
{
    if (*a)
        automaton_release(*a, with_texts ? 1 : 0);
    *a = nullptr;
}

bool create_automata(oxlo_module *m)
{
    m->host_automaton = new_automaton("host", true);
    m->host_risk_exception_automaton = new_automaton("content", true);
    m->alpn_automaton = new_automaton("content", true);
    m->tls_cert_automaton = new_automaton("tls_cert", false);
    return m->host_automaton && m->host_risk_exception_automaton && m->alpn_automaton &&
           m->tls_cert_automaton;
}

bool create_category_containers(oxlo_module *m)
{
    m->category_domains = oxlo_domain_set_new();
    m->category_domains_shadow = oxlo_domain_set_new();
    if (!m->category_domains || !m->category_domains_shadow)
        return false;
    m->category_v4 = oxlo_patricia_new(32);
    m->category_v4_shadow = oxlo_patricia_new(32);
    m->category_v6 = oxlo_patricia_new(128);
    m->category_v6_shadow = oxlo_patricia_new(128);
    if (!m->category_v4 || !m->category_v4_shadow || !m->category_v6 || !m->category_v6_shadow) {
        oxlo_log(m, OXLO_LOG_ERROR, "[OXLO] Error allocating Patricia trees\n");
        return false;
    }
    return true;
}

void write_custom_category_names(oxlo_module *m)
{
    for (int i = 0; i < OXLO_NUM_USER_CATEGORIES; i++)
        snprintf(m->custom_category_names[i], sizeof(m->custom_category_names[i]),
                 "User custom category %u", (unsigned)(i + 1));
}

/* Every entry of the built-in host-match lists; the loader skips entries of
 * disabled protocols. */
void load_host_match_lists(oxlo_module *m)
{
    uint32_t count = 0;
    const oxlo_host_match_entry *const *lists = oxlo_host_match_lists(&count);
    for (uint32_t i = 0; lists && i < count; i++)
        for (const oxlo_host_match_entry *e = lists[i]; e && e->pattern; e++)
            oxlo_host_match_load(m, e);
}

bool lru_owned(const oxlo_module *m, int kind)
{
    return m->lru[kind] && !(m->shared && m->shared->lru[kind] == m->lru[kind]);
}

void create_lru_caches(oxlo_module *m)
{
    for (int kind : lru_creation_order) {
        const oxlo_lru_config &c = m->cfg.lru[kind];
        if (c.size <= 0)
            continue;
        if (c.scope == 1 && m->shared) {
            if (!m->shared->lru[kind])
                m->shared->lru[kind] = oxlo_lru_table_alloc((uint32_t)c.size, (uint32_t)c.ttl, 1);
            m->lru[kind] = m->shared->lru[kind];
        } else {
            m->lru[kind] = oxlo_lru_table_alloc((uint32_t)c.size, (uint32_t)c.ttl, 0);
        }
        if (!m->lru[kind]) {
            if (kind == OXLO_LRU_FPC_DNS)
                oxlo_log(m, OXLO_LOG_ERROR, "Error allocating lru fpc_dns_cache (num_entries %u)\n", (unsigned)c.size);
            else
                oxlo_log(m, OXLO_LOG_ERROR, "Error allocating lru cache (num_entries %u)\n", (unsigned)c.size);
        }
    }
}

void free_lru_caches(oxlo_module *m)
{
    for (int kind = 0; kind < OXLO_LRU_KIND_COUNT; kind++) {
        if (lru_owned(m, kind))
            oxlo_lru_table_free(m->lru[kind]);
        m->lru[kind] = nullptr;
    }
}

/* Undoes what finalization built before a failure, so that the module is
 * as it was after creation and a retry neither registers twice nor leaks. */
void release_finalization(oxlo_module *m)
{
    oxlo_dissectors_free(m);
    oxlo_default_port_tree_free(&m->protocols.tcp_ports);
    oxlo_default_port_tree_free(&m->protocols.udp_ports);
    oxlo_tree_pair_free(m->risk_list_ip);
    m->risk_list_ip = nullptr;
    free_lru_caches(m);
}

void free_text_list(oxlo_text_list *l)
{
    while (l) {
        oxlo_text_list *next = l->next;
        oxlo_heap_free(l->text);
        oxlo_heap_free(l);
        l = next;
    }
}

} // namespace

extern "C" {

int automaton_match_core(oxlo_automaton *a, const char *text, uint16_t length,
                         automaton_match *match, uint16_t *protocol, uint16_t *category)
{
    if (protocol)
        *protocol = 0;
    if (category)
        *category = 0;
    if (!a || !text || length == 0)
        return -2;
    if (!a->ready) {
        oxlo_log(nullptr, OXLO_LOG_ERROR, "[%s:%d] [OXLO] Internal error: please call oxlo_finalize_initialization()\n",
               "oxlo_main.cpp", __LINE__);
        return -1;
    }
    automaton_text t{};
    t.text = text;
    t.length = length;
    automaton_match local{};
    automaton_match *out = match ? match : &local;
    *out = automaton_match{};
    int rc = automaton_search(a, &t, out);
    if (rc > 0) {
        if (protocol)
            *protocol = (uint16_t)(out->data.id & 0xFFFF);
        if (category)
            *category = out->data.category;
    }
    return rc;
}

void oxlo_global_cleanup(void) {}

oxlo_module *oxlo_module_new(oxlo_shared_context *shared)
{
    auto *m = static_cast<oxlo_module *>(oxlo_heap_calloc(1, sizeof(oxlo_module)));
    if (!m)
        return nullptr;

    m->risk_exception_ip = oxlo_tree_pair_new();
    if (!m->risk_exception_ip) {
        oxlo_log(nullptr, OXLO_LOG_ERROR, "[OXLO] Error allocating tree\n");
        oxlo_module_free(m);
        return nullptr;
    }
    m->protocols_by_ip = oxlo_tree_pair_new();
    if (!m->protocols_by_ip) {
        oxlo_log(nullptr, OXLO_LOG_ERROR, "[OXLO] Error allocating tree\n");
        oxlo_module_free(m);
        return nullptr;
    }
    m->shared = shared;
    m->user_data = nullptr;
    m->det.sequence_window = OXLO_DEFAULT_SEQ_WINDOW;

    if (!create_automata(m) || !create_category_containers(m)) {
        oxlo_module_free(m);
        return nullptr;
    }
    write_custom_category_names(m);

    /* Every built-in row must be named and none may be custom; the table
     * reports what is wrong. */
    if (oxlo_proto_table_init(m) != 0) {
        oxlo_module_free(m);
        return nullptr;
    }
    if (set_default_config(&m->cfg, m->protocols.builtin_count) != 0) {
        oxlo_log(nullptr, OXLO_LOG_ERROR, "Error allocating set_default_config\n");
        oxlo_module_free(m);
        return nullptr;
    }
    return m;
}

int oxlo_finalize_initialization(oxlo_module *m)
{
    if (!m)
        return -1;
    if (m->flags & OXLO_MODULE_FINALIZED)
        return 0;

    load_host_match_lists(m);
    oxlo_tls_cert_orgs_load(m);

    /* Built-in dissectors, then the plug-ins' own, then the call lists. */
    if (oxlo_dissectors_init(m) != 0)
        goto fail;
    oxlo_plugins_init(m);
    if (oxlo_dissectors_finish(m) != 0)
        goto fail;

    oxlo_default_ports_build(m);
    if (!m->categories_enabled)
        oxlo_enable_loaded_categories(m);
    oxlo_proto_table_check(m);

    if (m->cfg.libgcrypt_init && !oxlo_crypto_initialised() && !oxlo_crypto_setup())
        oxlo_log(m, OXLO_LOG_ERROR, "Error initializing libgcrypt\n");

    oxlo_builtin_ip_lists_load(m);
    if (m->cfg.flow_risk_lists_load) {
        if (!m->risk_list_ip)
            m->risk_list_ip = oxlo_tree_pair_new();
        if (!m->risk_list_ip) {
            oxlo_log(m, OXLO_LOG_ERROR, "[OXLO] Error allocating risk tree\n");
            goto fail;
        }
        oxlo_risk_lists_load(m);
    }

    oxlo_host_risk_exceptions_builtin_add(m);
    oxlo_alpn_table_load(m);
    oxlo_os_fingerprints_load_builtin(m);
    create_lru_caches(m);

    automaton_finalize(m->host_automaton);
    automaton_finalize(m->tls_cert_automaton);
    automaton_finalize(m->host_risk_exception_automaton);
    automaton_finalize(m->alpn_automaton);

    if (m->cfg.track_payload)
        m->payload_track_limit = OXLO_PAYLOAD_TRACK_LIMIT;
    oxlo_module_reset_lookup_counters(m);
    m->flags |= OXLO_MODULE_FINALIZED;
    return 0;

fail:
    release_finalization(m);
    return -1;
}

void oxlo_module_free(oxlo_module *m)
{
    if (!m)
        return;
    oxlo_plugins_close(m);
    free_config(&m->cfg);
    oxlo_proto_table_free(m);
    string_lru_cache_free(m->tinc_cache);
    free_lru_caches(m);
    oxlo_hosts_release(m);
    oxlo_tree_pair_free(m->risk_exception_ip);
    oxlo_tree_pair_free(m->protocols_by_ip);
    oxlo_tree_pair_free(m->risk_list_ip);
    oxlo_risk_lists_release(m);
    oxlo_default_port_tree_free(&m->protocols.tcp_ports);
    oxlo_default_port_tree_free(&m->protocols.udp_ports);
    free_automaton(&m->host_automaton, true);
    free_automaton(&m->risky_domain_automaton, true);
    free_automaton(&m->tls_cert_automaton, false);
    oxlo_string_map_free(&m->risky_domains);
    oxlo_string_map_free(&m->malicious_ja4);
    oxlo_string_map_free(&m->malicious_sha1_certs);
    oxlo_domain_set_free(m->category_domains);
    oxlo_domain_set_free(m->category_domains_shadow);
    oxlo_patricia_free(m->category_v4, nullptr);
    oxlo_patricia_free(m->category_v4_shadow, nullptr);
    oxlo_patricia_free(m->category_v6, nullptr);
    oxlo_patricia_free(m->category_v6_shadow, nullptr);
    free_automaton(&m->host_risk_exception_automaton, true);
    free_automaton(&m->alpn_automaton, true);
    free_text_list(m->trusted_issuers);
    oxlo_geoip_close(m);
    oxlo_dissectors_free(m);
    oxlo_stream_module_free(m);
    oxlo_string_map_free(&m->host_risk_exceptions);
    oxlo_address_cache_free(m->address_cache);
    oxlo_hash_filter_free(m->dns_tracking[0]);
    oxlo_hash_filter_free(m->dns_tracking[1]);
    oxlo_string_map_free(&m->os_fingerprints);
    oxlo_heap_free(m);
}

int oxlo_module_is_finalized(const oxlo_module *m)
{
    return m && (m->flags & OXLO_MODULE_FINALIZED) ? 1 : 0;
}

void oxlo_module_set_user_data(oxlo_module *m, void *data)
{
    if (!m)
        return;
    if (m->user_data)
        oxlo_log(m, OXLO_LOG_WARNING, "User data is already set. Overwriting.\n");
    m->user_data = data;
}

void *oxlo_module_get_user_data(oxlo_module *m)
{
    return m ? m->user_data : nullptr;
}

const char *oxlo_revision(void)
{
    return "vesk-oxlo-1.0";
}

uint32_t oxlo_api_version(void)
{
    return OXLO_API_VERSION;
}

const char *oxlo_crypto_version(void)
{
    return oxlo_crypto_setup();
}

oxlo_proto_defaults *oxlo_module_protocols(oxlo_module *m)
{
    return m ? m->protocols.entries : nullptr;
}

size_t oxlo_module_size(void)
{
    return sizeof(oxlo_module);
}

} // extern "C"
