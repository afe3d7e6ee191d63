/* Oxlo memory wrappers: every allocation of the library goes through these,
 * so an embedding program can substitute its allocator and the library can
 * report how many bytes it has asked for. */
#ifndef OXLO_MEMORY_H
#define OXLO_MEMORY_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void *(*oxlo_alloc_hook)(size_t size);
typedef void (*oxlo_free_hook)(void *ptr);
typedef void *(*oxlo_calloc_hook)(size_t count, size_t size);
typedef void *(*oxlo_realloc_hook)(void *ptr, size_t size);
typedef void *(*oxlo_aligned_alloc_hook)(size_t alignment, size_t size);
typedef void (*oxlo_aligned_free_hook)(void *ptr);
typedef void *(*oxlo_flow_alloc_hook)(size_t size);
typedef void (*oxlo_flow_free_hook)(void *flow_state);

/* Installs allocate/free/calloc/realloc only when all four are given, the
 * aligned pair only when both are given, the flow pair only when both are
 * given. Meant to be called once, before any module exists. */
void oxlo_set_memory_hooks(oxlo_alloc_hook alloc, oxlo_free_hook free_fn,
                           oxlo_calloc_hook calloc_fn, oxlo_realloc_hook realloc_fn,
                           oxlo_aligned_alloc_hook aligned_alloc,
                           oxlo_aligned_free_hook aligned_free,
                           oxlo_flow_alloc_hook flow_alloc, oxlo_flow_free_hook flow_free);

/* Bytes requested so far; only grows (releases do not subtract). */
uint64_t oxlo_allocated_bytes(void);
/* Adds bytes that a dependency allocated for the library without going
 * through these wrappers (the bitmap library's containers). */
void oxlo_count_foreign_bytes(size_t bytes);

void *oxlo_heap_alloc(size_t size);
void *oxlo_heap_calloc(size_t count, size_t size);
void *oxlo_heap_realloc(void *ptr, size_t size);
void oxlo_heap_free(void *ptr);
void *oxlo_heap_aligned_alloc(size_t alignment, size_t size);
void oxlo_heap_aligned_free(void *ptr);
char *oxlo_heap_strdup(const char *text);

/* Flow-state blocks: the flow hooks when installed, else the heap wrappers.
 * oxlo_flow_free first releases what the flow state owns, then gives the
 * block back to the allocator oxlo_flow_alloc took it from; NULL ignored. */
void *oxlo_flow_alloc(size_t size);
void oxlo_flow_free(void *flow_state);

uint64_t oxlo_hton64(uint64_t v);
uint64_t oxlo_ntoh64(uint64_t v);

#ifdef __cplusplus
}
#endif

#endif
