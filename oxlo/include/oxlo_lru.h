/* Oxlo LRU caches: the keyed 16-bit value cache with a time to live that
 * dissectors use to remember endpoints and flow keys (eight kinds per module,
 * optionally lent by a shared context with a lock), and a small
 * least-recently-used set of byte strings. */
#ifndef OXLO_LRU_H
#define OXLO_LRU_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oxlo_module oxlo_module;

typedef enum lru_cache_kind {
    OXLO_LRU_OOKLA = 0,
    OXLO_LRU_BITTORRENT = 1,
    OXLO_LRU_STUN = 2,
    OXLO_LRU_TLS_CERT = 3,
    OXLO_LRU_MINING = 4,
    OXLO_LRU_MSTEAMS = 5,
    OXLO_LRU_FPC_DNS = 6,
    OXLO_LRU_SIGNAL = 7,
    OXLO_LRU_KIND_COUNT = 8
} lru_cache_kind;

#define OXLO_LRU_TTL_MASK 0x7fffffffu
#define OXLO_LRU_SHARED 0x80000000u

typedef struct lru_slot {
    uint64_t key;
    uint32_t word;  /* bit 0 full, bits 1..16 the value */
    uint32_t stamp; /* seconds of the write, the caller's clock */
} lru_slot;

typedef struct oxlo_lru_table {
    uint32_t num_entries;
    uint32_t ttl_shared;     /* bits 0..30 ttl in seconds (0: no expiry), bit 31 shared */
    pthread_mutex_t mutex;   /* initialised only when shared */
    uint64_t n_insert;
    uint64_t n_search;
    uint64_t n_found;
    lru_slot *entries;
} oxlo_lru_table;

typedef struct oxlo_lru_stats {
    uint64_t n_insert;
    uint64_t n_search;
    uint64_t n_found;
} oxlo_lru_stats;

/* Eight caches in kind order, lent to every module whose scope knob for the
 * kind is 1. */
typedef struct oxlo_shared_context {
    oxlo_lru_table *lru[OXLO_LRU_KIND_COUNT];
} oxlo_shared_context;

/* The kind's name as used in its knobs ("lru.<name>.size"); NULL above 7. */
const char *oxlo_lru_kind_name(int kind);

/* NULL when n is 0, on allocation failure, or when the mutex cannot be set up. */
oxlo_lru_table *oxlo_lru_table_alloc(uint32_t num_entries, uint32_t ttl, int shared);
void oxlo_lru_table_free(oxlo_lru_table *table);
/* 1 on a hit (value filled, slot emptied when remove is set), else 0. */
int oxlo_lru_table_find(oxlo_lru_table *table, uint64_t key, uint16_t *value, int remove, uint32_t now);
void oxlo_lru_table_add(oxlo_lru_table *table, uint64_t key, uint16_t value, uint32_t now);
void oxlo_lru_table_get_stats(oxlo_lru_table *table, oxlo_lru_stats *stats);
/* Statistics of one kind's table: the module's own or, when its scope knob
 * says so or no module is given, the shared context's. 0 or -1. */
int oxlo_lru_stats_by_kind(oxlo_shared_context *shared, oxlo_module *module, int kind,
                           oxlo_lru_stats *stats);

/* A zeroed context; free releases each cache that is set, NULL ignored. */
oxlo_shared_context *shared_context_new(void);
void shared_context_free(oxlo_shared_context *ctx);

/* ---- string LRU set ------------------------------------------------------ */

typedef struct string_lru_node {
    uint8_t *bytes;
    uint32_t length;
    struct string_lru_node *more_recent;
    struct string_lru_node *less_recent;
} string_lru_node;

typedef struct string_lru_bucket {
    string_lru_node *node;
    struct string_lru_bucket *next;
} string_lru_bucket;

typedef struct string_lru_cache {
    uint32_t count;
    uint32_t capacity; /* also the number of buckets */
    string_lru_node *most_recent;
    string_lru_node *least_recent;
    string_lru_bucket **buckets;
} string_lru_cache;

#define STRING_LRU_OK 0
#define STRING_LRU_PRESENT 1
#define STRING_LRU_BAD_ARGUMENT 2
#define STRING_LRU_ABSENT 3
#define STRING_LRU_NO_MEMORY 4

/* NULL for capacity 0 or out of memory. */
string_lru_cache *string_lru_cache_new(uint32_t capacity);
int string_lru_cache_add(string_lru_cache *cache, const void *bytes, uint32_t length);
/* 1 present, 0 absent, 2 bad argument. */
int string_lru_cache_contains(string_lru_cache *cache, const void *bytes, uint32_t length);
/* 0 removed, 3 absent, 2 bad argument. */
int string_lru_cache_remove(string_lru_cache *cache, const void *bytes, uint32_t length);
void string_lru_cache_free(string_lru_cache *cache);

#ifdef __cplusplus
}
#endif

#endif
