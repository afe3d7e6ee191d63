/* Oxlo string-keyed hash map: byte-string keys (1..255 bytes) mapped to a
 * 64-bit value and a list of items. The map owns its key copies and the items
 * given to it (they must come from the library allocator); freeing the map
 * frees them all. Never exits the process on lack of memory: the operation
 * fails and the map stays as it was. */
#ifndef OXLO_STRING_MAP_H
#define OXLO_STRING_MAP_H

#include <stddef.h>
#include <stdint.h>

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct string_map_value_node {
  void *item;
  struct string_map_value_node *next;
} string_map_value_node;

typedef struct oxlo_string_map oxlo_string_map;

/* Results of oxlo_string_map_add. */
#define OXLO_STRING_MAP_ADDED 0
#define OXLO_STRING_MAP_UPDATED 1
#define OXLO_STRING_MAP_NO_MEMORY 2
#define OXLO_STRING_MAP_BAD_ARGUMENT 3
#define OXLO_STRING_MAP_NO_BUCKET_MEMORY 4

typedef void (*oxlo_string_map_visit)(const char *key, uint64_t value, void *user_data);

int oxlo_string_map_init(oxlo_string_map **map);
/* Adds the key, or updates it: without an item the existing key takes the new
 * value; with an item, the item is appended to the key's value list and the
 * map owns it (on failure the item stays the caller's). */
int oxlo_string_map_add(oxlo_string_map **map, const void *key, size_t key_length, uint64_t value,
                        void *item);
/* 0 found (value and the key's value list stored), 1 absent, 2 bad arguments.
 * The list's first node is the entry's own; its item is null when no item was
 * ever given. */
int oxlo_string_map_lookup(oxlo_string_map *map, const void *key, size_t key_length,
                           uint64_t *value, const string_map_value_node **values);
int oxlo_string_map_find(oxlo_string_map *map, const void *key, size_t key_length,
                         uint64_t *value);
void oxlo_string_map_walk(oxlo_string_map **map, oxlo_string_map_visit visit, void *user_data);
/* stats[0] lookups, stats[1] hits. */
void oxlo_string_map_stats(const oxlo_string_map *map, uint64_t stats[2]);
/* Zeroes both counters; a null map is ignored. */
void oxlo_string_map_stats_reset(oxlo_string_map *map);
void oxlo_string_map_free(oxlo_string_map **map);
/* Frees a chain of allocated value nodes and the items they hold. */
void string_map_value_list_free(string_map_value_node *first);

#ifdef __cplusplus
}
#endif

#endif
