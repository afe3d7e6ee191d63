/* Allocation wrappers with an atomic allocated-bytes counter and optional
 * user hooks. The counter only grows: it reports what was asked for. */
#include "oxlo_memory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

/* Releases what a flow state owns (oxlo_flow.cpp). */
struct oxlo_flow_state;
extern "C" void oxlo_flow_state_release(oxlo_flow_state *flow);

namespace {

struct memory_hooks {
    oxlo_alloc_hook alloc = nullptr;
    oxlo_free_hook free_fn = nullptr;
    oxlo_calloc_hook calloc_fn = nullptr;
    oxlo_realloc_hook realloc_fn = nullptr;
    oxlo_aligned_alloc_hook aligned_alloc = nullptr;
    oxlo_aligned_free_hook aligned_free = nullptr;
    oxlo_flow_alloc_hook flow_alloc = nullptr;
    oxlo_flow_free_hook flow_free = nullptr;
};

memory_hooks hooks;
std::atomic<uint64_t> allocated_bytes{0};
std::atomic<uint64_t> huge_bytes{0};

void count(size_t n) { allocated_bytes.fetch_add(n, std::memory_order_relaxed); }

} // namespace

extern "C" {

void oxlo_set_memory_hooks(oxlo_alloc_hook alloc, oxlo_free_hook free_fn,
                           oxlo_calloc_hook calloc_fn, oxlo_realloc_hook realloc_fn,
                           oxlo_aligned_alloc_hook aligned_alloc,
                           oxlo_aligned_free_hook aligned_free,
                           oxlo_flow_alloc_hook flow_alloc, oxlo_flow_free_hook flow_free)
{
    if (alloc && free_fn && calloc_fn && realloc_fn) {
        hooks.alloc = alloc;
        hooks.free_fn = free_fn;
        hooks.calloc_fn = calloc_fn;
        hooks.realloc_fn = realloc_fn;
    }
    if (aligned_alloc && aligned_free) {
        hooks.aligned_alloc = aligned_alloc;
        hooks.aligned_free = aligned_free;
    }
    if (flow_alloc && flow_free) {
        hooks.flow_alloc = flow_alloc;
        hooks.flow_free = flow_free;
    }
}

uint64_t oxlo_allocated_bytes(void) { return allocated_bytes.load(std::memory_order_relaxed); }

void oxlo_count_foreign_bytes(size_t bytes) { count(bytes); }

void *oxlo_heap_alloc(size_t size)
{
    count(size);
    return hooks.alloc ? hooks.alloc(size) : std::malloc(size);
}

void *oxlo_heap_calloc(size_t count_, size_t size)
{
    size_t total;
    if (__builtin_mul_overflow(count_, size, &total))
        return nullptr;
    count(total);
    return hooks.calloc_fn ? hooks.calloc_fn(count_, size) : std::calloc(count_, size);
}

void *oxlo_heap_realloc(void *ptr, size_t size)
{
    count(size);
    return hooks.realloc_fn ? hooks.realloc_fn(ptr, size) : std::realloc(ptr, size);
}

void oxlo_heap_free(void *ptr)
{
    if (hooks.free_fn)
        hooks.free_fn(ptr);
    else
        std::free(ptr);
}

void *oxlo_heap_aligned_alloc(size_t alignment, size_t size)
{
    count(size);
    if (hooks.aligned_alloc)
        return hooks.aligned_alloc(alignment, size);
    void *p = nullptr;
    if (posix_memalign(&p, alignment, size) != 0)
        return nullptr;
    return p;
}

void oxlo_heap_aligned_free(void *ptr)
{
    if (hooks.aligned_free)
        hooks.aligned_free(ptr);
    else
        std::free(ptr);
}

char *oxlo_heap_strdup(const char *text)
{
    if (!text)
        return nullptr;
    size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(oxlo_heap_alloc(n));
    if (copy)
        std::memcpy(copy, text, n);
    return copy;
}

size_t oxlo_huge_size(size_t size)
{
    return (size + OXLO_HUGE_PAGE - 1) & ~(OXLO_HUGE_PAGE - 1);
}

void *oxlo_heap_huge_alloc(size_t size)
{
    size = oxlo_huge_size(size);
    if (size == 0)
        return nullptr;
    count(size);
    /* One huge page more than asked, then the ends that are not aligned go. */
    size_t mapped = size + OXLO_HUGE_PAGE;
    void *raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = (start + OXLO_HUGE_PAGE - 1) & ~(uintptr_t)(OXLO_HUGE_PAGE - 1);
    if (aligned > start)
        munmap(raw, aligned - start);
    size_t tail = mapped - (aligned - start) - size;
    if (tail > 0)
        munmap(reinterpret_cast<void *>(aligned + size), tail);
    /* Advice only: without huge pages the block works on in small ones. */
    madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);
    huge_bytes.fetch_add(size, std::memory_order_relaxed);
    return reinterpret_cast<void *>(aligned);
}

void oxlo_heap_huge_free(void *ptr, size_t size)
{
    if (!ptr)
        return;
    munmap(ptr, oxlo_huge_size(size));
    huge_bytes.fetch_sub(oxlo_huge_size(size), std::memory_order_relaxed);
}

uint64_t oxlo_huge_bytes(void) { return huge_bytes.load(std::memory_order_relaxed); }

void *oxlo_flow_alloc(size_t size)
{
    if (hooks.flow_alloc) {
        count(size);
        return hooks.flow_alloc(size);
    }
    return oxlo_heap_alloc(size);
}

void oxlo_flow_free(void *flow_state)
{
    if (!flow_state)
        return;
    oxlo_flow_state_release(static_cast<oxlo_flow_state *>(flow_state));
    if (hooks.flow_free)
        hooks.flow_free(flow_state);
    else
        oxlo_heap_free(flow_state);
}

uint64_t oxlo_hton64(uint64_t v) { return __builtin_bswap64(v); }
uint64_t oxlo_ntoh64(uint64_t v) { return __builtin_bswap64(v); }

} // extern "C"
