/* HyperLogLog and count-min sketch. The HyperLogLog follows the usual
 * estimator with linear counting for small cardinalities and the 32-bit
 * large-range correction; the count-min sketch keeps its rows apart so that
 * its minimum really is taken over independent counters. */
#include "oxlo_sketches.h"

#include "oxlo_hash.h"
#include "oxlo_memory.h"
#include "oxlo_utils.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t hll_seed = 0x5F61767Au;
constexpr double two_pow_32 = 4294967296.0;

double hll_alpha(uint8_t bits, double m)
{
    switch (bits) {
    case 4: return 0.673;
    case 5: return 0.697;
    case 6: return 0.709;
    default: return 0.7213 / (1.0 + 1.079 / m);
    }
}

/* A bijective mix per row: distinct hashes stay distinct within a row and
 * each row scatters them differently. */
uint32_t row_hash(uint32_t hash, uint32_t row)
{
    uint32_t h = hash ^ (0x9E3779B9u * (row + 1));
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

uint32_t cell(uint32_t hash, uint32_t row)
{
    return row * OXLO_CMS_ROW_CELLS + (row_hash(hash, row) & (OXLO_CMS_ROW_CELLS - 1));
}

} // namespace

extern "C" {

int oxlo_hyperloglog_init(oxlo_hyperloglog *hll, uint8_t bits)
{
    if (!hll) {
        errno = EINVAL;
        return -1;
    }
    if (bits < 4 || bits > 20) {
        errno = ERANGE;
        return -1;
    }
    hll->bits = bits;
    hll->num_registers = 1ull << bits;
    hll->registers = static_cast<uint8_t *>(oxlo_heap_calloc(hll->num_registers, 1));
    return hll->registers ? 0 : -1;
}

void oxlo_hyperloglog_destroy(oxlo_hyperloglog *hll)
{
    if (!hll)
        return;
    oxlo_heap_free(hll->registers);
    hll->registers = nullptr;
}

void oxlo_hyperloglog_reset(oxlo_hyperloglog *hll)
{
    if (hll && hll->registers)
        std::memset(hll->registers, 0, hll->num_registers);
}

int oxlo_hyperloglog_add(oxlo_hyperloglog *hll, const void *data, size_t length)
{
    if (!hll || !hll->registers)
        return 0;
    uint32_t h = oxlo_murmur3_32(data, static_cast<uint32_t>(length), hll_seed);
    uint32_t index = h >> (32 - hll->bits);
    uint32_t limit = 32u - hll->bits;
    uint32_t zeros = h == 0 ? 32u : static_cast<uint32_t>(__builtin_ctz(h));
    uint8_t rank = static_cast<uint8_t>(1 + (zeros < limit ? zeros : limit));
    if (rank <= hll->registers[index])
        return 0;
    hll->registers[index] = rank;
    return 1;
}

int oxlo_hyperloglog_add_number(oxlo_hyperloglog *hll, uint32_t value)
{
    return oxlo_hyperloglog_add(hll, &value, sizeof(value));
}

double oxlo_hyperloglog_count(const oxlo_hyperloglog *hll)
{
    if (!hll || !hll->registers)
        return 0;
    double m = static_cast<double>(hll->num_registers);
    double sum = 0;
    uint64_t zero_registers = 0;
    for (uint64_t i = 0; i < hll->num_registers; i++) {
        sum += std::ldexp(1.0, -static_cast<int>(hll->registers[i] & 31));
        if (hll->registers[i] == 0)
            zero_registers++;
    }
    double estimate = hll_alpha(hll->bits, m) * m * m / sum;
    if (estimate <= 2.5 * m)
        return zero_registers ? m * std::log(m / static_cast<double>(zero_registers)) : estimate;
    if (estimate <= two_pow_32 / 30.0)
        return estimate;
    /* The correction diverges as the raw estimate reaches the size of the
     * hash space (every register at its top rank gets there); the hash holds
     * no more information beyond, so the ratio is held just below 1. */
    double ratio = estimate / two_pow_32;
    const double top = 1.0 - 1.0 / two_pow_32;
    if (ratio > top)
        ratio = top;
    return -two_pow_32 * std::log(1.0 - ratio);
}

oxlo_count_min_sketch *oxlo_count_min_sketch_alloc(uint32_t depth)
{
    if (depth > OXLO_CMS_MAX_DEPTH)
        return nullptr;
    uint32_t d = oxlo_round_up_pow2(depth < 2 ? 2 : depth);
    auto *s = static_cast<oxlo_count_min_sketch *>(oxlo_heap_alloc(sizeof(oxlo_count_min_sketch)));
    if (!s)
        return nullptr;
    s->depth = static_cast<uint16_t>(d);
    s->mask = d * OXLO_CMS_ROW_CELLS - 1;
    s->counters = static_cast<uint32_t *>(oxlo_heap_calloc(static_cast<size_t>(d) * OXLO_CMS_ROW_CELLS,
                                                           sizeof(uint32_t)));
    if (!s->counters) {
        oxlo_heap_free(s);
        return nullptr;
    }
    return s;
}

void oxlo_count_min_sketch_add(oxlo_count_min_sketch *sketch, uint32_t hash)
{
    if (!sketch || !sketch->counters)
        return;
    for (uint32_t row = 0; row < sketch->depth; row++) {
        uint32_t &c = sketch->counters[cell(hash, row)];
        if (c != UINT32_MAX)
            c++;
    }
}

uint32_t oxlo_count_min_sketch_count(const oxlo_count_min_sketch *sketch, uint32_t hash)
{
    if (!sketch || !sketch->counters)
        return 0;
    if (sketch->depth == 0)
        return 2147483647u;
    uint32_t least = UINT32_MAX;
    for (uint32_t row = 0; row < sketch->depth; row++) {
        uint32_t c = sketch->counters[cell(hash, row)];
        if (c < least)
            least = c;
    }
    return least;
}

void oxlo_count_min_sketch_free(oxlo_count_min_sketch *sketch)
{
    if (!sketch)
        return;
    oxlo_heap_free(sketch->counters);
    oxlo_heap_free(sketch);
}

} // extern "C"
