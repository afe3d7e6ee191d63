/* Oxlo address-to-name cache: which host name an IP address was last seen
 * under in a DNS answer, until the answer's time to live runs out. It can be
 * written to a text file and read back, so the knowledge survives a restart.
 *
 * Addresses are 16 bytes (IPv4 in the first four, zero after); times are
 * seconds since the epoch, 0 meaning "now". The text file has one line per
 * entry: 32 upper-case hexadecimal digits of the address, a TAB, the host
 * name, a TAB, the expiry in decimal. Names with blanks cannot be written
 * (the format has no escape) and are left out of the file. */
#ifndef OXLO_ADDRESS_CACHE_H
#define OXLO_ADDRESS_CACHE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oxlo_module oxlo_module;

typedef struct address_cache_entry {
    uint8_t address[16];
    char *name;      /* own copy */
    uint32_t expiry; /* seconds since the epoch */
    struct address_cache_entry *next;
} address_cache_entry;

typedef struct oxlo_address_cache {
    uint32_t bucket_count;
    uint32_t entry_count;
    uint32_t max_entries;
    address_cache_entry **buckets;
} oxlo_address_cache;

/* Longest host name the cache keeps (a DNS name is at most 253). */
#define OXLO_ADDRESS_CACHE_NAME_MAX 255

/* Buckets for a maximum of n entries: 1 up to 15, n / 16, at most 512. */
uint32_t oxlo_address_cache_bucket_count(uint32_t max_entries);
/* Null for 0 entries or when out of memory. */
oxlo_address_cache *oxlo_address_cache_alloc(uint32_t max_entries);
void oxlo_address_cache_free(oxlo_address_cache *cache);
/* The live entry of the address or null; expired entries met on the way
 * are removed (when now is not 0). */
address_cache_entry *oxlo_address_cache_lookup(oxlo_address_cache *cache, const uint8_t address[16],
                                               uint32_t now);
/* 1 stored, 0 not (null or over-long name, full cache of live entries, out
 * of memory). A known address keeps the later expiry and takes the new name. */
int oxlo_address_cache_store(oxlo_address_cache *cache, const uint8_t address[16], const char *name,
                             uint32_t now, uint32_t ttl);
/* Removes the entries that expired before now; returns how many. */
uint32_t oxlo_address_cache_purge(oxlo_address_cache *cache, uint32_t now);
/* 1 written, 0 when the file cannot be written. */
int oxlo_address_cache_save(const oxlo_address_cache *cache, const char *path, uint32_t now);
/* Stores the live entries of the file; returns how many were stored.
 * Damaged lines are skipped with a message naming the file and the line. */
uint32_t oxlo_address_cache_load(oxlo_address_cache *cache, const char *path, uint32_t now);

/* The module's cache, created on first store or load with the size of the
 * knob "dpi.address_cache_size" (no cache when it is 0). */
int oxlo_module_address_store(oxlo_module *module, const uint8_t address[16], const char *name,
                              uint32_t now, uint32_t ttl);
const address_cache_entry *oxlo_module_address_lookup(oxlo_module *module, const uint8_t address[16],
                                                      uint32_t now);
int oxlo_module_address_save(oxlo_module *module, const char *path, uint32_t now);
uint32_t oxlo_module_address_purge(oxlo_module *module, uint32_t now);
uint32_t oxlo_module_address_load(oxlo_module *module, const char *path, uint32_t now);

#ifdef __cplusplus
}
#endif

#endif
