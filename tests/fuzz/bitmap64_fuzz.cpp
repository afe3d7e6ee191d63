/* Reads arbitrary bytes as a serialized 64-bit bitmap. What is accepted must
 * behave as a set: its values iterate in ascending order, match its count,
 * survive every operation, and serialize back into a form that reads as the
 * same set. */
#include "oxlo_bitmap64.h"
#include "oxlo_memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_bitmap64 *b = oxlo_bitmap64_deserialize(reinterpret_cast<const char *>(data), size);
    if (!b)
        return 0;
    const uint64_t count = oxlo_bitmap64_cardinality(b);
    oxlo_bitmap64_iterator *it = oxlo_bitmap64_iterator_new(b);
    uint64_t seen = 0, previous = 0, v = 0;
    while (oxlo_bitmap64_iterator_next(it, &v)) {
        if ((seen > 0 && v <= previous) || !oxlo_bitmap64_contains(b, v))
            abort();
        previous = v;
        seen++;
    }
    oxlo_bitmap64_iterator_free(it);
    if (seen != count)
        abort();

    oxlo_bitmap64 *copy = oxlo_bitmap64_copy(b);
    oxlo_bitmap64_add(copy, 0x123456789ull);
    oxlo_bitmap64_optimize(copy);
    oxlo_bitmap64 *both = oxlo_bitmap64_and(b, copy);
    oxlo_bitmap64 *either = oxlo_bitmap64_or(b, copy);
    oxlo_bitmap64_xor_inplace(copy, b);
    oxlo_bitmap64_andnot_inplace(either, both);
    if (oxlo_bitmap64_cardinality(both) != count)
        abort();

    char *form = nullptr;
    const size_t n = oxlo_bitmap64_serialize(b, &form);
    oxlo_bitmap64 *back = oxlo_bitmap64_deserialize(form, n);
    if (!back || oxlo_bitmap64_cardinality(back) != count)
        abort();
    oxlo_heap_free(form);
    for (oxlo_bitmap64 *x : {b, copy, both, either, back})
        oxlo_bitmap64_free(x);
    return 0;
}
