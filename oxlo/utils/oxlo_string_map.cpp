/* String-keyed hash map over uthash. Allocation goes through the library
 * wrappers and lack of memory is reported to the caller instead of ending the
 * process: uthash is built with its non-fatal out-of-memory mode, and each
 * operation that may allocate watches a local flag the hook sets. */
#include "oxlo_string_map.h"

#include <cstring>

#include "oxlo_memory.h"

#define HASH_NONFATAL_OOM 1
#define uthash_malloc(sz) oxlo_heap_alloc(sz)
#define uthash_free(ptr, sz) oxlo_heap_free(ptr)
#define uthash_nonfatal_oom(elt) (out_of_memory = 1)
#include <uthash.h>

struct oxlo_string_map_entry {
    char *key;
    uint64_t value;
    string_map_value_node values;   /* first node embedded, the rest allocated */
    UT_hash_handle hh;
};

struct oxlo_string_map {
    oxlo_string_map_entry *head;
    uint64_t lookups;
    uint64_t hits;
};

namespace {

constexpr size_t max_key_length = 255;

oxlo_string_map_entry *find_entry(oxlo_string_map *map, const void *key, size_t key_length)
{
    oxlo_string_map_entry *entry = nullptr;
    if (map->head)
        HASH_FIND(hh, map->head, key, static_cast<unsigned>(key_length), entry);
    return entry;
}

/* The embedded node holds the first item; later items hang off it. */
int append_item(oxlo_string_map_entry *entry, void *item)
{
    if (!entry->values.item) {
        entry->values.item = item;
        return 0;
    }
    auto *node = static_cast<string_map_value_node *>(oxlo_heap_calloc(1, sizeof(string_map_value_node)));
    if (!node)
        return -1;
    node->item = item;
    string_map_value_node *last = &entry->values;
    while (last->next)
        last = last->next;
    last->next = node;
    return 0;
}

void free_entry(oxlo_string_map_entry *entry)
{
    oxlo_heap_free(entry->values.item);
    string_map_value_list_free(entry->values.next);
    oxlo_heap_free(entry->key);
    oxlo_heap_free(entry);
}

} // namespace

extern "C" {

int oxlo_string_map_init(oxlo_string_map **map)
{
    if (!map)
        return 1;
    *map = static_cast<oxlo_string_map *>(oxlo_heap_calloc(1, sizeof(oxlo_string_map)));
    return *map ? 0 : 1;
}

int oxlo_string_map_add(oxlo_string_map **map, const void *key, size_t key_length, uint64_t value,
                        void *item)
{
    if (!map || !*map || !key || key_length == 0 || key_length > max_key_length)
        return OXLO_STRING_MAP_BAD_ARGUMENT;
    oxlo_string_map *m = *map;

    oxlo_string_map_entry *entry = find_entry(m, key, key_length);
    if (entry) {
        if (!item) {
            entry->value = value;
            return OXLO_STRING_MAP_UPDATED;
        }
        return append_item(entry, item) == 0 ? OXLO_STRING_MAP_UPDATED : OXLO_STRING_MAP_NO_MEMORY;
    }

    entry = static_cast<oxlo_string_map_entry *>(oxlo_heap_calloc(1, sizeof(oxlo_string_map_entry)));
    if (!entry)
        return OXLO_STRING_MAP_NO_MEMORY;
    entry->key = static_cast<char *>(oxlo_heap_alloc(key_length + 1));
    if (!entry->key) {
        oxlo_heap_free(entry);
        return OXLO_STRING_MAP_NO_MEMORY;
    }
    std::memcpy(entry->key, key, key_length);
    entry->key[key_length] = '\0';
    entry->value = value;
    entry->values.item = item;

    int out_of_memory = 0;
    HASH_ADD_KEYPTR(hh, m->head, entry->key, static_cast<unsigned>(key_length), entry);
    if (out_of_memory) {
        /* uthash left the map as it was; the entry is still ours. */
        entry->values.item = nullptr;
        oxlo_heap_free(entry->key);
        oxlo_heap_free(entry);
        return OXLO_STRING_MAP_NO_BUCKET_MEMORY;
    }
    return OXLO_STRING_MAP_ADDED;
}

int oxlo_string_map_lookup(oxlo_string_map *map, const void *key, size_t key_length,
                           uint64_t *value, const string_map_value_node **values)
{
    if (!map || !key || key_length == 0)
        return 2;
    map->lookups++;
    oxlo_string_map_entry *entry = find_entry(map, key, key_length);
    if (!entry)
        return 1;
    map->hits++;
    if (value)
        *value = entry->value;
    if (values)
        *values = &entry->values;
    return 0;
}

int oxlo_string_map_find(oxlo_string_map *map, const void *key, size_t key_length,
                         uint64_t *value)
{
    return oxlo_string_map_lookup(map, key, key_length, value, nullptr);
}

void oxlo_string_map_walk(oxlo_string_map **map, oxlo_string_map_visit visit, void *user_data)
{
    if (!map || !*map || !visit)
        return;
    oxlo_string_map_entry *entry, *tmp;
    HASH_ITER(hh, (*map)->head, entry, tmp)
        visit(entry->key, entry->value, user_data);
}

void oxlo_string_map_stats(const oxlo_string_map *map, uint64_t stats[2])
{
    if (!stats)
        return;
    stats[0] = map ? map->lookups : 0;
    stats[1] = map ? map->hits : 0;
}

void oxlo_string_map_stats_reset(oxlo_string_map *map)
{
    if (map)
        map->lookups = map->hits = 0;
}

void oxlo_string_map_free(oxlo_string_map **map)
{
    if (!map || !*map)
        return;
    oxlo_string_map *m = *map;
    oxlo_string_map_entry *entry, *tmp;
    HASH_ITER(hh, m->head, entry, tmp) {
        HASH_DEL(m->head, entry);
        free_entry(entry);
    }
    HASH_CLEAR(hh, m->head);
    oxlo_heap_free(m);
    *map = nullptr;
}

void string_map_value_list_free(string_map_value_node *first)
{
    while (first) {
        string_map_value_node *next = first->next;
        oxlo_heap_free(first->item);
        oxlo_heap_free(first);
        first = next;
    }
}

} // extern "C"
