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

/* Large blocks read at random (flow slabs, bucket arrays): mapped from the
 * kernel in whole huge pages, zero-filled, aligned to a huge page and
 * advised to be backed by huge pages, so that a random read into them does
 * not also miss the TLB on every 4 KiB page. They are mappings, not heap
 * blocks: the hooks do not see them, and a free unmaps at once. The size
 * is rounded up to OXLO_HUGE_PAGE; free with the size given to the alloc.
 * NULL without memory. */
#define OXLO_HUGE_PAGE ((size_t)2 << 20)
size_t oxlo_huge_size(size_t size);
void *oxlo_heap_huge_alloc(size_t size);
void oxlo_heap_huge_free(void *ptr, size_t size);
/* Bytes mapped by oxlo_heap_huge_alloc now (the heap's own figures do not
 * include them). */
uint64_t oxlo_huge_bytes(void);

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
