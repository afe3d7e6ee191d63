/* The module's own containers: its address cache, its DNS-tracking
 * filters, the statistics of its LRU tables and of its address trees. The
 * containers under algorithms/ know nothing of the module; the calls that
 * reach them through it live here. */
#include "oxlo_address_cache.h"
#include "oxlo_hash_filter.h"
#include "oxlo_lru.h"
#include "oxlo_patricia.h"
#include "oxlo_private.h"

#include <cstring>

namespace {

oxlo_address_cache *module_cache(oxlo_module *m)
{
    if (!m->address_cache && m->cfg.address_cache_size > 0)
        m->address_cache = oxlo_address_cache_alloc(uint32_t(m->cfg.address_cache_size));
    return m->address_cache;
}

} // namespace

extern "C" {

/* ---- address cache ---- */

int oxlo_module_address_store(oxlo_module *module, const uint8_t address[16], const char *name,
                              uint32_t now, uint32_t ttl)
{
    if (!module)
        return 0;
    return oxlo_address_cache_store(module_cache(module), address, name, now, ttl);
}

const address_cache_entry *oxlo_module_address_lookup(oxlo_module *module, const uint8_t address[16],
                                                      uint32_t now)
{
    return module ? oxlo_address_cache_lookup(module->address_cache, address, now) : nullptr;
}

int oxlo_module_address_save(oxlo_module *module, const char *path, uint32_t now)
{
    return module ? oxlo_address_cache_save(module->address_cache, path, now) : 0;
}

uint32_t oxlo_module_address_purge(oxlo_module *module, uint32_t now)
{
    return module ? oxlo_address_cache_purge(module->address_cache, now) : 0;
}

uint32_t oxlo_module_address_load(oxlo_module *module, const char *path, uint32_t now)
{
    if (!module)
        return 0;
    return oxlo_address_cache_load(module_cache(module), path, now);
}

/* ---- DNS tracking ---- */

void oxlo_dns_resolution_add(oxlo_module *module, const uint8_t address[16], const char *host_name)
{
    if (!module || !address || !host_name)
        return;
    if (!module->dns_tracking[0])
        module->dns_tracking[0] = oxlo_hash_filter_new();
    if (!oxlo_hash_filter_add(module->dns_tracking[0], oxlo_dns_resolution_key(address, host_name)))
        return;
    /* Without a bound the pairs of every answer ever seen would stay for the
     * module's life; a full current filter ages the older half out. */
    if (oxlo_hash_filter_count(module->dns_tracking[0]) >= OXLO_DNS_TRACKING_ROTATE_AT)
        oxlo_dns_resolution_rotate(module);
}

int oxlo_dns_resolution_found(oxlo_module *module, const uint8_t address[16], const char *host_name)
{
    if (!module || !address || !host_name || !module->dns_tracking[0])
        return 0;
    const uint32_t key = oxlo_dns_resolution_key(address, host_name);
    return oxlo_hash_filter_contains(module->dns_tracking[0], key) ||
                   oxlo_hash_filter_contains(module->dns_tracking[1], key)
               ? 1
               : 0;
}

void oxlo_dns_resolution_rotate(oxlo_module *module)
{
    if (!module || !module->cfg.hostname_dns_check)
        return;
    oxlo_hash_filter *fresh = oxlo_hash_filter_new();
    if (!fresh)
        return;
    oxlo_hash_filter_free(module->dns_tracking[1]);
    module->dns_tracking[1] = module->dns_tracking[0];
    module->dns_tracking[0] = fresh;
}

void oxlo_dns_resolution_enable(oxlo_module *module)
{
    if (module)
        module->cfg.hostname_dns_check = 1;
}

/* ---- statistics ---- */

int oxlo_lru_stats_by_kind(oxlo_shared_context *shared, oxlo_module *module, int kind,
                           oxlo_lru_stats *stats)
{
    if (!stats || kind < 0 || kind >= OXLO_LRU_KIND_COUNT)
        return -1;
    oxlo_lru_table *table;
    if (module && module->cfg.lru[kind].scope != 1) {
        table = module->lru[kind];
    } else {
        if (!shared)
            return -1;
        table = shared->lru[kind];
    }
    oxlo_lru_table_get_stats(table, stats);
    return 0;
}

int oxlo_module_tree_stats(oxlo_module *module, int selector, oxlo_patricia_tree_stats *out)
{
    if (out)
        std::memset(out, 0, sizeof(*out));
    if (!module || !out || selector < 0 || selector > 5)
        return -1;
    oxlo_tree_pair *pairs[3] = {module->risk_exception_ip, module->protocols_by_ip, module->risk_list_ip};
    oxlo_tree_pair *pair = pairs[selector / 2];
    if (!pair)
        return -1;
    oxlo_patricia_stats(selector % 2 ? pair->v6 : pair->v4, out);
    return 0;
}

} // extern "C"
