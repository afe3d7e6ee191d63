/* 64-bit bitmaps over the packaged roaring library's C++ Roaring64Map (a map
 * from the high 32 bits of a value to a 32-bit roaring bitmap of the low
 * bits).
 *
 * Memory: the handle and the iterator live in blocks from the library's
 * wrappers (placement new). The packaged roaring library allocates its
 * containers with the C runtime directly and has no allocation hooks, so
 * the bytes it holds are measured instead: the bitmap's in-memory size is
 * re-read after growth and every increase over the highest size seen is
 * added to the library's counter. Single adds re-read it only every so many
 * insertions (a share of the size already counted), which keeps the cost of
 * an add constant on average.
 *
 * The bitmap library reports failures by throwing; nothing is allowed to
 * escape through the C interface. */
#include "oxlo_bitmap64.h"

#include <roaring/roaring64map.hh>

#include <cstring>
#include <new>

#include "oxlo_memory.h"

struct oxlo_bitmap64 {
    Roaring64Map map;
    size_t counted = 0; /* highest in-memory size added to the counter */
    uint32_t pending = 0; /* insertions since the size was last read */
};

/* The library's iterators compare ambiguously under C++20's reversed
 * operators, so the end is kept as the number of values still to read. */
struct oxlo_bitmap64_iterator {
    Roaring64MapSetBitForwardIterator at;
    uint64_t left;
    explicit oxlo_bitmap64_iterator(const Roaring64Map &m) : at(m.begin()), left(m.cardinality()) {}
};

namespace {

/* Bytes the containers take, as the bitmap library reports them (its
 * portable size follows the containers: 2 bytes a value in arrays, 8 KiB a
 * bitset, 4 bytes a run, plus their headers). */
size_t in_memory_size(const oxlo_bitmap64 *b)
{
    return b->map.getSizeInBytes(true);
}

void account(oxlo_bitmap64 *b)
{
    b->pending = 0;
    const size_t now = in_memory_size(b);
    if (now > b->counted) {
        oxlo_count_foreign_bytes(now - b->counted);
        b->counted = now;
    }
}

void account_insertion(oxlo_bitmap64 *b)
{
    if (++b->pending > 1 + b->counted / 16)
        account(b);
}

oxlo_bitmap64 *make(void)
{
    void *block = oxlo_heap_alloc(sizeof(oxlo_bitmap64));
    if (!block)
        return nullptr;
    return new (block) oxlo_bitmap64();
}

void destroy(oxlo_bitmap64 *b)
{
    b->~oxlo_bitmap64();
    oxlo_heap_free(b);
}

/* Runs a map operation that may allocate; false when it threw (the map
 * keeps whatever state the library left it in, which is still valid). */
template <typename F> bool guarded(F &&f)
{
    try {
        f();
        return true;
    } catch (...) {
        return false;
    }
}

template <typename F> oxlo_bitmap64 *make_from(F &&fill)
{
    oxlo_bitmap64 *b = make();
    if (!b)
        return nullptr;
    if (!guarded([&] { fill(b->map); })) {
        destroy(b);
        return nullptr;
    }
    account(b);
    return b;
}

/* ---- checking a serialized form before the bitmap library reads it ---- */

uint32_t popcount_words(const uint64_t *words, int n)
{
    uint32_t c = 0;
    for (int i = 0; i < n; i++)
        c += uint32_t(__builtin_popcountll(words[i]));
    return c;
}

/* The containers of a freshly read 32-bit bitmap are what the bitmap
 * library will trust later: sorted keys, arrays strictly ascending within
 * their limit, bitsets whose stored count is their real one, runs in order
 * without overlap and inside the 16-bit range. */
bool containers_valid(const roaring_bitmap_t *r)
{
    const roaring_array_t *ra = &r->high_low_container;
    for (int32_t i = 0; i < ra->size; i++) {
        if (i > 0 && ra->keys[i] <= ra->keys[i - 1])
            return false;
        const void *c = ra->containers[i];
        switch (ra->typecodes[i]) {
        case ARRAY_CONTAINER_TYPE_CODE: {
            const auto *a = static_cast<const array_container_t *>(c);
            if (a->cardinality < 1 || a->cardinality > DEFAULT_MAX_SIZE)
                return false;
            for (int32_t k = 1; k < a->cardinality; k++)
                if (a->array[k] <= a->array[k - 1])
                    return false;
            break;
        }
        case BITSET_CONTAINER_TYPE_CODE: {
            const auto *s = static_cast<const bitset_container_t *>(c);
            if (uint32_t(s->cardinality) != popcount_words(s->array, BITSET_CONTAINER_SIZE_IN_WORDS))
                return false;
            break;
        }
        case RUN_CONTAINER_TYPE_CODE: {
            const auto *run = static_cast<const run_container_t *>(c);
            if (run->n_runs < 1)
                return false;
            for (int32_t k = 0; k < run->n_runs; k++) {
                const uint32_t start = run->runs[k].value;
                const uint32_t last = start + run->runs[k].length;
                if (last > 0xFFFF)
                    return false;
                if (k > 0 && start <= uint32_t(run->runs[k - 1].value) + run->runs[k - 1].length)
                    return false;
            }
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

/* One 32-bit part at `buffer` (at most `size` bytes): its length when it is
 * valid and canonical (the bitmap library would advance by exactly that
 * many bytes), else 0. */
size_t part_length(const char *buffer, size_t size)
{
    const size_t used = roaring_bitmap_portable_deserialize_size(buffer, size);
    if (used == 0 || used > size)
        return 0;
    roaring_bitmap_t *r = roaring_bitmap_portable_deserialize_safe(buffer, size);
    if (!r)
        return 0;
    const bool ok = containers_valid(r) && roaring_bitmap_portable_size_in_bytes(r) == used;
    roaring_bitmap_free(r);
    return ok ? used : 0;
}

bool form_valid(const char *buffer, size_t size)
{
    if (!buffer || size < sizeof(uint64_t))
        return false;
    uint64_t parts = 0;
    std::memcpy(&parts, buffer, sizeof(parts));
    size_t off = sizeof(parts);
    /* Each part takes at least its key and an empty bitmap's header. */
    if (parts > (size - off) / (sizeof(uint32_t) + 4))
        return false;
    bool have_key = false;
    uint32_t previous = 0;
    for (uint64_t i = 0; i < parts; i++) {
        if (size - off < sizeof(uint32_t))
            return false;
        uint32_t key = 0;
        std::memcpy(&key, buffer + off, sizeof(key));
        if (have_key && key <= previous)
            return false;
        have_key = true;
        previous = key;
        off += sizeof(key);
        const size_t n = part_length(buffer + off, size - off);
        if (n == 0)
            return false;
        off += n;
    }
    return true;
}

} // namespace

extern "C" {

oxlo_bitmap64 *oxlo_bitmap64_new(void)
{
    return make();
}

void oxlo_bitmap64_free(oxlo_bitmap64 *bitmap)
{
    if (bitmap)
        destroy(bitmap);
}

oxlo_bitmap64 *oxlo_bitmap64_copy(const oxlo_bitmap64 *bitmap)
{
    if (!bitmap)
        return nullptr;
    return make_from([&](Roaring64Map &m) { m = bitmap->map; });
}

void oxlo_bitmap64_add(oxlo_bitmap64 *bitmap, uint64_t value)
{
    if (!bitmap)
        return;
    bool added = false;
    guarded([&] { added = bitmap->map.addChecked(value); });
    if (added)
        account_insertion(bitmap);
}

void oxlo_bitmap64_remove(oxlo_bitmap64 *bitmap, uint64_t value)
{
    if (bitmap)
        guarded([&] { bitmap->map.remove(value); });
}

int oxlo_bitmap64_contains(const oxlo_bitmap64 *bitmap, uint64_t value)
{
    return bitmap && bitmap->map.contains(value) ? 1 : 0;
}

uint64_t oxlo_bitmap64_cardinality(const oxlo_bitmap64 *bitmap)
{
    return bitmap ? bitmap->map.cardinality() : 0;
}

int oxlo_bitmap64_is_empty(const oxlo_bitmap64 *bitmap)
{
    return !bitmap || bitmap->map.isEmpty() ? 1 : 0;
}

int oxlo_bitmap64_optimize(oxlo_bitmap64 *bitmap)
{
    if (!bitmap)
        return 0;
    /* The map's own answer is "every part holds runs"; a conversion only
     * happens where it changes a container's size, so a size that moved is
     * the sign that any container changed. */
    const size_t before = bitmap->map.getSizeInBytes(true);
    guarded([&] { bitmap->map.runOptimize(); });
    account(bitmap);
    return bitmap->map.getSizeInBytes(true) != before ? 1 : 0;
}

oxlo_bitmap64 *oxlo_bitmap64_and(const oxlo_bitmap64 *a, const oxlo_bitmap64 *b)
{
    if (!a || !b)
        return nullptr;
    return make_from([&](Roaring64Map &m) { m = a->map & b->map; });
}

oxlo_bitmap64 *oxlo_bitmap64_or(const oxlo_bitmap64 *a, const oxlo_bitmap64 *b)
{
    if (!a || !b)
        return nullptr;
    return make_from([&](Roaring64Map &m) { m = a->map | b->map; });
}

void oxlo_bitmap64_and_inplace(oxlo_bitmap64 *a, const oxlo_bitmap64 *b)
{
    if (a && b)
        guarded([&] { a->map &= b->map; });
}

void oxlo_bitmap64_andnot_inplace(oxlo_bitmap64 *a, const oxlo_bitmap64 *b)
{
    if (a && b)
        guarded([&] { a->map -= b->map; });
}

void oxlo_bitmap64_or_inplace(oxlo_bitmap64 *a, const oxlo_bitmap64 *b)
{
    if (!a || !b)
        return;
    guarded([&] { a->map |= b->map; });
    account(a);
}

void oxlo_bitmap64_xor_inplace(oxlo_bitmap64 *a, const oxlo_bitmap64 *b)
{
    if (!a || !b)
        return;
    guarded([&] { a->map ^= b->map; });
    account(a);
}

size_t oxlo_bitmap64_serialize(const oxlo_bitmap64 *bitmap, char **out)
{
    if (!out)
        return 0;
    *out = nullptr;
    if (!bitmap)
        return 0;
    const size_t size = bitmap->map.getSizeInBytes(true);
    char *buffer = static_cast<char *>(oxlo_heap_alloc(size));
    if (!buffer)
        return 0;
    size_t written = 0;
    if (!guarded([&] { written = bitmap->map.write(buffer, true); }) || written != size) {
        oxlo_heap_free(buffer);
        return 0;
    }
    *out = buffer;
    return written;
}

oxlo_bitmap64 *oxlo_bitmap64_deserialize(const char *buffer, size_t size)
{
    if (!form_valid(buffer, size))
        return nullptr;
    /* The bitmap library reads the leading count as an aligned 64-bit word. */
    if (reinterpret_cast<uintptr_t>(buffer) % alignof(uint64_t) == 0)
        return make_from([&](Roaring64Map &m) { m = Roaring64Map::readSafe(buffer, size); });
    char *aligned = static_cast<char *>(oxlo_heap_alloc(size));
    if (!aligned)
        return nullptr;
    std::memcpy(aligned, buffer, size);
    oxlo_bitmap64 *b = make_from([&](Roaring64Map &m) { m = Roaring64Map::readSafe(aligned, size); });
    oxlo_heap_free(aligned);
    return b;
}

oxlo_bitmap64_iterator *oxlo_bitmap64_iterator_new(const oxlo_bitmap64 *bitmap)
{
    if (!bitmap)
        return nullptr;
    void *block = oxlo_heap_alloc(sizeof(oxlo_bitmap64_iterator));
    if (!block)
        return nullptr;
    return new (block) oxlo_bitmap64_iterator(bitmap->map);
}

int oxlo_bitmap64_iterator_next(oxlo_bitmap64_iterator *iterator, uint64_t *value)
{
    if (!iterator || iterator->left == 0)
        return 0;
    if (value)
        *value = *iterator->at;
    ++iterator->at;
    iterator->left--;
    return 1;
}

void oxlo_bitmap64_iterator_free(oxlo_bitmap64_iterator *iterator)
{
    if (!iterator)
        return;
    iterator->~oxlo_bitmap64_iterator();
    oxlo_heap_free(iterator);
}

} // extern "C"
