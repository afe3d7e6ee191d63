/* Keyed caches of 16-bit values with a time to live, and a small
 * least-recently-used set of byte strings.
 *
 * The keyed table has one slot per key (djb2 of the key's bytes modulo the
 * size): no probing, a write replaces whatever the slot held. That keeps a
 * find or an add to one hash and one memory access; losing an entry only
 * costs a later re-detection. */
#include "oxlo_lru.h"

#include "oxlo_hash.h"
#include "oxlo_memory.h"

#include <cstring>

namespace {

const char *const kind_names[OXLO_LRU_KIND_COUNT] = {
    "ookla", "bittorrent", "stun", "tls_cert", "mining", "msteams", "fpc_dns", "signal",
};

constexpr uint32_t slot_full = 1u;
constexpr uint32_t slot_value_mask = 0xffffu << 1;

inline bool is_shared(const oxlo_lru_table *t) { return (t->ttl_shared & OXLO_LRU_SHARED) != 0; }

struct table_lock {
    oxlo_lru_table *t;
    explicit table_lock(oxlo_lru_table *table) : t(is_shared(table) ? table : nullptr)
    {
        if (t)
            pthread_mutex_lock(&t->mutex);
    }
    ~table_lock()
    {
        if (t)
            pthread_mutex_unlock(&t->mutex);
    }
    table_lock(const table_lock &) = delete;
    table_lock &operator=(const table_lock &) = delete;
};

inline lru_slot *slot_of(oxlo_lru_table *t, uint64_t key)
{
    return &t->entries[djb2_hash(&key, sizeof(key)) % t->num_entries];
}

} // namespace

extern "C" {

const char *oxlo_lru_kind_name(int kind)
{
    if (kind < 0 || kind >= OXLO_LRU_KIND_COUNT)
        return nullptr;
    return kind_names[kind];
}

oxlo_lru_table *oxlo_lru_table_alloc(uint32_t num_entries, uint32_t ttl, int shared)
{
    /* A table of no slots would divide by zero on every access. */
    if (num_entries == 0)
        return nullptr;
    auto *t = static_cast<oxlo_lru_table *>(oxlo_heap_calloc(1, sizeof(oxlo_lru_table)));
    if (!t)
        return nullptr;
    t->entries = static_cast<lru_slot *>(oxlo_heap_calloc(num_entries, sizeof(lru_slot)));
    if (!t->entries) {
        oxlo_heap_free(t);
        return nullptr;
    }
    t->num_entries = num_entries;
    t->ttl_shared = ttl & OXLO_LRU_TTL_MASK;
    if (shared) {
        if (pthread_mutex_init(&t->mutex, nullptr) != 0) {
            oxlo_heap_free(t->entries);
            oxlo_heap_free(t);
            return nullptr;
        }
        t->ttl_shared |= OXLO_LRU_SHARED;
    }
    return t;
}

void oxlo_lru_table_free(oxlo_lru_table *table)
{
    if (!table)
        return;
    if (is_shared(table))
        pthread_mutex_destroy(&table->mutex);
    oxlo_heap_free(table->entries);
    oxlo_heap_free(table);
}

int oxlo_lru_table_find(oxlo_lru_table *table, uint64_t key, uint16_t *value, int remove, uint32_t now)
{
    if (!table)
        return 0;
    table_lock lock(table);
    table->n_search++;
    lru_slot *s = slot_of(table, key);
    if (!(s->word & slot_full) || s->key != key || now < s->stamp)
        return 0;
    uint32_t ttl = table->ttl_shared & OXLO_LRU_TTL_MASK;
    if (ttl != 0 && now - s->stamp > ttl)
        return 0;
    if (value)
        *value = static_cast<uint16_t>((s->word & slot_value_mask) >> 1);
    if (remove)
        s->word &= ~slot_full;
    table->n_found++;
    return 1;
}

void oxlo_lru_table_add(oxlo_lru_table *table, uint64_t key, uint16_t value, uint32_t now)
{
    if (!table)
        return;
    table_lock lock(table);
    table->n_insert++;
    lru_slot *s = slot_of(table, key);
    s->key = key;
    s->word = (s->word & ~slot_value_mask) | slot_full | (static_cast<uint32_t>(value) << 1);
    s->stamp = now;
}

void oxlo_lru_table_get_stats(oxlo_lru_table *table, oxlo_lru_stats *stats)
{
    if (!stats)
        return;
    if (!table) {
        std::memset(stats, 0, sizeof(*stats));
        return;
    }
    table_lock lock(table);
    stats->n_insert = table->n_insert;
    stats->n_search = table->n_search;
    stats->n_found = table->n_found;
}


oxlo_shared_context *shared_context_new(void)
{
    return static_cast<oxlo_shared_context *>(oxlo_heap_calloc(1, sizeof(oxlo_shared_context)));
}

void shared_context_free(oxlo_shared_context *ctx)
{
    if (!ctx)
        return;
    for (auto *t : ctx->lru)
        oxlo_lru_table_free(t);
    oxlo_heap_free(ctx);
}

/* ---- string LRU set ------------------------------------------------------ */

} // extern "C"

namespace {

string_lru_bucket **bucket_head(string_lru_cache *c, const void *bytes, uint32_t length)
{
    return &c->buckets[string_lru_cache_hash(bytes, length) % c->capacity];
}

/* The bucket link that points at the string's entry, or NULL. */
string_lru_bucket **find_link(string_lru_cache *c, const void *bytes, uint32_t length)
{
    for (string_lru_bucket **link = bucket_head(c, bytes, length); *link; link = &(*link)->next) {
        const string_lru_node *n = (*link)->node;
        if (n->length == length && std::memcmp(n->bytes, bytes, length) == 0)
            return link;
    }
    return nullptr;
}

void list_unlink(string_lru_cache *c, string_lru_node *n)
{
    if (n->more_recent)
        n->more_recent->less_recent = n->less_recent;
    else
        c->most_recent = n->less_recent;
    if (n->less_recent)
        n->less_recent->more_recent = n->more_recent;
    else
        c->least_recent = n->more_recent;
    n->more_recent = n->less_recent = nullptr;
}

void list_push_front(string_lru_cache *c, string_lru_node *n)
{
    n->more_recent = nullptr;
    n->less_recent = c->most_recent;
    if (c->most_recent)
        c->most_recent->more_recent = n;
    c->most_recent = n;
    if (!c->least_recent)
        c->least_recent = n;
}

void touch(string_lru_cache *c, string_lru_node *n)
{
    if (c->most_recent == n)
        return;
    list_unlink(c, n);
    list_push_front(c, n);
}

/* Unlinks the string's node from its bucket and the list and frees it. */
void drop(string_lru_cache *c, string_lru_bucket **link)
{
    string_lru_bucket *entry = *link;
    string_lru_node *n = entry->node;
    *link = entry->next;
    list_unlink(c, n);
    oxlo_heap_free(n->bytes);
    oxlo_heap_free(n);
    oxlo_heap_free(entry);
    c->count--;
}

bool bad_args(const string_lru_cache *c, const void *bytes, uint32_t length)
{
    return !c || !bytes || length == 0;
}

} // namespace

extern "C" {

string_lru_cache *string_lru_cache_new(uint32_t capacity)
{
    if (capacity == 0)
        return nullptr;
    auto *c = static_cast<string_lru_cache *>(oxlo_heap_calloc(1, sizeof(string_lru_cache)));
    if (!c)
        return nullptr;
    c->buckets = static_cast<string_lru_bucket **>(oxlo_heap_calloc(capacity, sizeof(string_lru_bucket *)));
    if (!c->buckets) {
        oxlo_heap_free(c);
        return nullptr;
    }
    c->capacity = capacity;
    return c;
}

int string_lru_cache_add(string_lru_cache *cache, const void *bytes, uint32_t length)
{
    if (bad_args(cache, bytes, length))
        return STRING_LRU_BAD_ARGUMENT;
    if (string_lru_bucket **link = find_link(cache, bytes, length)) {
        touch(cache, (*link)->node);
        return STRING_LRU_OK;
    }
    auto *n = static_cast<string_lru_node *>(oxlo_heap_calloc(1, sizeof(string_lru_node)));
    auto *entry = static_cast<string_lru_bucket *>(oxlo_heap_calloc(1, sizeof(string_lru_bucket)));
    auto *copy = static_cast<uint8_t *>(oxlo_heap_alloc(length));
    if (!n || !entry || !copy) {
        oxlo_heap_free(n);
        oxlo_heap_free(entry);
        oxlo_heap_free(copy);
        return STRING_LRU_NO_MEMORY;
    }
    std::memcpy(copy, bytes, length);
    n->bytes = copy;
    n->length = length;

    /* Make room first so the new node is never the one evicted. */
    if (cache->count >= cache->capacity) {
        string_lru_node *old = cache->least_recent;
        drop(cache, find_link(cache, old->bytes, old->length));
    }
    string_lru_bucket **head = bucket_head(cache, bytes, length);
    entry->node = n;
    entry->next = *head;
    *head = entry;
    list_push_front(cache, n);
    cache->count++;
    return STRING_LRU_OK;
}

int string_lru_cache_contains(string_lru_cache *cache, const void *bytes, uint32_t length)
{
    if (bad_args(cache, bytes, length))
        return STRING_LRU_BAD_ARGUMENT;
    string_lru_bucket **link = find_link(cache, bytes, length);
    if (!link)
        return 0;
    touch(cache, (*link)->node);
    return STRING_LRU_PRESENT;
}

int string_lru_cache_remove(string_lru_cache *cache, const void *bytes, uint32_t length)
{
    if (bad_args(cache, bytes, length))
        return STRING_LRU_BAD_ARGUMENT;
    string_lru_bucket **link = find_link(cache, bytes, length);
    if (!link)
        return STRING_LRU_ABSENT;
    drop(cache, link);
    return STRING_LRU_OK;
}

void string_lru_cache_free(string_lru_cache *cache)
{
    if (!cache)
        return;
    for (uint32_t i = 0; i < cache->capacity; i++) {
        string_lru_bucket *e = cache->buckets[i];
        while (e) {
            string_lru_bucket *next = e->next;
            oxlo_heap_free(e->node->bytes);
            oxlo_heap_free(e->node);
            oxlo_heap_free(e);
            e = next;
        }
    }
    oxlo_heap_free(cache->buckets);
    oxlo_heap_free(cache);
}

} // extern "C"
