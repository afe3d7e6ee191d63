/* The address-to-name cache: chained buckets keyed by the djb2 hash of the
 * 16 address bytes, new entries at the head of their bucket, expired ones
 * dropped whenever a walk meets them. */
#include "oxlo_address_cache.h"
#include "oxlo_log.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "oxlo_hash.h"
#include "oxlo_memory.h"
#include "oxlo_utils.h"
#include "oxlo_list_reader.h"

namespace {

/* A saved line: 32 digits, TAB, name, TAB, at most 10 digits. */
constexpr size_t line_buffer_size = 32 + 1 + OXLO_ADDRESS_CACHE_NAME_MAX + 1 + 10 + 2;

address_cache_entry **bucket_of(const oxlo_address_cache *c, const uint8_t address[16])
{
    return &c->buckets[djb2_hash(address, 16) % c->bucket_count];
}

void entry_free(address_cache_entry *e)
{
    oxlo_heap_free(e->name);
    oxlo_heap_free(e);
}

/* Unlinks and frees the expired entries of one bucket; returns how many. */
uint32_t purge_bucket(oxlo_address_cache *c, address_cache_entry **link, uint32_t now)
{
    uint32_t removed = 0;
    while (*link) {
        address_cache_entry *e = *link;
        if (e->expiry < now) {
            *link = e->next;
            entry_free(e);
            removed++;
        } else {
            link = &e->next;
        }
    }
    c->entry_count -= removed;
    return removed;
}

bool name_fits_file(const char *name)
{
    if (!name[0])
        return false;
    for (const char *p = name; *p; p++)
        if (isspace(static_cast<unsigned char>(*p)))
            return false;
    return true;
}

/* Splits a saved line into address, name and expiry; false when it is not
 * exactly such a line. */
bool parse_line(char *line, uint8_t address[16], const char **name, uint32_t *expiry)
{
    char *tab1 = strchr(line, '\t');
    if (!tab1 || tab1 - line != 32)
        return false;
    char *tab2 = strchr(tab1 + 1, '\t');
    if (!tab2 || tab2 == tab1 + 1)
        return false;
    *tab1 = *tab2 = '\0';
    if (oxlo_hex_to_bytes(address, 16, line, 32) != 16)
        return false;
    const char *digits = tab2 + 1;
    if (!digits[0] || strlen(digits) > 10)
        return false;
    for (const char *p = digits; *p; p++)
        if (!isdigit(static_cast<unsigned char>(*p)))
            return false;
    const unsigned long long value = strtoull(digits, nullptr, 10);
    if (value > UINT32_MAX || !name_fits_file(tab1 + 1))
        return false;
    *name = tab1 + 1;
    *expiry = uint32_t(value);
    return true;
}

uint32_t seconds_now(void) { return uint32_t(time(nullptr)); }


} // namespace

extern "C" {

uint32_t oxlo_address_cache_bucket_count(uint32_t max_entries)
{
    if (max_entries <= 15)
        return 1;
    if (max_entries > 8207)
        return 512;
    return max_entries / 16;
}

oxlo_address_cache *oxlo_address_cache_alloc(uint32_t max_entries)
{
    if (max_entries == 0)
        return nullptr;
    auto *c = static_cast<oxlo_address_cache *>(oxlo_heap_calloc(1, sizeof(oxlo_address_cache)));
    if (!c)
        return nullptr;
    c->bucket_count = oxlo_address_cache_bucket_count(max_entries);
    c->max_entries = max_entries;
    c->buckets = static_cast<address_cache_entry **>(oxlo_heap_calloc(c->bucket_count, sizeof(*c->buckets)));
    if (!c->buckets) {
        oxlo_heap_free(c);
        return nullptr;
    }
    return c;
}

void oxlo_address_cache_free(oxlo_address_cache *cache)
{
    if (!cache)
        return;
    for (uint32_t b = 0; b < cache->bucket_count; b++) {
        address_cache_entry *e = cache->buckets[b];
        while (e) {
            address_cache_entry *next = e->next;
            entry_free(e);
            e = next;
        }
    }
    oxlo_heap_free(cache->buckets);
    oxlo_heap_free(cache);
}

address_cache_entry *oxlo_address_cache_lookup(oxlo_address_cache *cache, const uint8_t address[16],
                                               uint32_t now)
{
    if (!cache || !address)
        return nullptr;
    address_cache_entry **link = bucket_of(cache, address);
    if (now)
        purge_bucket(cache, link, now);
    for (address_cache_entry *e = *link; e; e = e->next)
        if (memcmp(e->address, address, 16) == 0)
            return e;
    return nullptr;
}

int oxlo_address_cache_store(oxlo_address_cache *cache, const uint8_t address[16], const char *name,
                             uint32_t now, uint32_t ttl)
{
    if (!cache || !address || !name || strnlen(name, OXLO_ADDRESS_CACHE_NAME_MAX + 1) > OXLO_ADDRESS_CACHE_NAME_MAX)
        return 0;
    if (now == 0)
        now = seconds_now();
    /* A time to live past the end of the 32-bit clock means "as long as it
     * can be kept", not an expiry that wrapped into the past. */
    const uint32_t expiry = ttl > UINT32_MAX - now ? UINT32_MAX : now + ttl;
    address_cache_entry *e = oxlo_address_cache_lookup(cache, address, now);
    if (e) {
        if (expiry > e->expiry)
            e->expiry = expiry;
        if (strcmp(e->name, name) != 0) {
            char *copy = oxlo_heap_strdup(name);
            if (copy) {
                oxlo_heap_free(e->name);
                e->name = copy;
            }
        }
        return 1;
    }
    if (cache->entry_count >= cache->max_entries) {
        oxlo_address_cache_purge(cache, now);
        if (cache->entry_count >= cache->max_entries)
            return 0;
    }
    e = static_cast<address_cache_entry *>(oxlo_heap_calloc(1, sizeof(address_cache_entry)));
    if (!e)
        return 0;
    e->name = oxlo_heap_strdup(name);
    if (!e->name) {
        oxlo_heap_free(e);
        return 0;
    }
    memcpy(e->address, address, 16);
    e->expiry = expiry;
    address_cache_entry **link = bucket_of(cache, address);
    e->next = *link;
    *link = e;
    cache->entry_count++;
    return 1;
}

uint32_t oxlo_address_cache_purge(oxlo_address_cache *cache, uint32_t now)
{
    if (!cache)
        return 0;
    uint32_t removed = 0;
    for (uint32_t b = 0; b < cache->bucket_count; b++)
        removed += purge_bucket(cache, &cache->buckets[b], now);
    return removed;
}

int oxlo_address_cache_save(const oxlo_address_cache *cache, const char *path, uint32_t now)
{
    if (!cache || !path)
        return 0;
    FILE *out = fopen(path, "w");
    if (!out)
        return 0;
    for (uint32_t b = 0; b < cache->bucket_count; b++)
        for (const address_cache_entry *e = cache->buckets[b]; e; e = e->next) {
            if (e->expiry < now || !name_fits_file(e->name))
                continue;
            char hex[33];
            oxlo_bytes_to_hex(hex, sizeof(hex), e->address, 16);
            fprintf(out, "%s\t%s\t%u\n", hex, e->name, e->expiry);
        }
    /* A full disk shows only here; a cut file must not pass for a saved one. */
    const bool failed = ferror(out) != 0;
    return (fclose(out) == 0 && !failed) ? 1 : 0;
}

uint32_t oxlo_address_cache_load(oxlo_address_cache *cache, const char *path, uint32_t now)
{
    if (!cache || !path)
        return 0;
    /* The saved expiries are absolute: they need the real time to turn back
     * into times to live. */
    if (now == 0)
        now = seconds_now();
    FILE *in = fopen(path, "r");
    if (!in)
        return 0;
    char line[line_buffer_size];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), path, 1);
    uint32_t stored = 0;
    while (oxlo_list_reader_next(&reader) != OXLO_LINE_EOF) {
        uint8_t address[16];
        const char *name = nullptr;
        uint32_t expiry = 0;
        if (!parse_line(line, address, &name, &expiry)) {
            oxlo_log(nullptr, OXLO_LOG_WARNING, "[OXLO] %s: line #%u is not an address cache entry, skipped\n", path, reader.number);
            continue;
        }
        if (expiry < now)
            continue;
        stored += uint32_t(oxlo_address_cache_store(cache, address, name, now, expiry - now));
    }
    fclose(in);
    return stored;
}

} // extern "C"
