/* Histogram bins and their k-means clustering. Counters keep the width the
 * caller chose; every computation across counters (totals, distances) is
 * done in 64 bits or in double so that wide counters neither wrap nor get
 * cut. */
#include "oxlo_bins.h"

#include "oxlo_memory.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t max_clusters = 128;
constexpr int max_rounds = 25;

size_t counter_size(uint32_t family)
{
    switch (family) {
    case OXLO_BINS_8: return 1;
    case OXLO_BINS_16: return 2;
    case OXLO_BINS_32: return 4;
    case OXLO_BINS_64: return 8;
    default: return 0;
    }
}

bool has_counters(const oxlo_bins *b)
{
    return b && b->u.bins8 && b->num_bins > 0 && counter_size(b->family) > 0;
}

uint16_t clamp_index(const oxlo_bins *b, uint16_t index)
{
    return index < b->num_bins ? index : static_cast<uint16_t>(b->num_bins - 1);
}

uint64_t raw_get(const oxlo_bins *b, uint16_t i)
{
    switch (b->family) {
    case OXLO_BINS_8: return b->u.bins8[i];
    case OXLO_BINS_16: return b->u.bins16[i];
    case OXLO_BINS_32: return b->u.bins32[i];
    default: return b->u.bins64[i];
    }
}

void raw_set(oxlo_bins *b, uint16_t i, uint64_t v)
{
    switch (b->family) {
    case OXLO_BINS_8: b->u.bins8[i] = static_cast<uint8_t>(v); break;
    case OXLO_BINS_16: b->u.bins16[i] = static_cast<uint16_t>(v); break;
    case OXLO_BINS_32: b->u.bins32[i] = static_cast<uint32_t>(v); break;
    default: b->u.bins64[i] = v; break;
    }
}

void free_centroids(oxlo_bins *c, uint16_t k)
{
    for (uint16_t i = 0; i < k; i++)
        oxlo_bins_free(&c[i]);
    oxlo_heap_free(c);
}

/* Index of the nearest centroid that has members, -1 when none has. */
int nearest_centroid(oxlo_bins *h, oxlo_bins *centroids, uint16_t k, float *best_out)
{
    float best = 1e11f;
    int best_id = -1;
    for (uint16_t j = 0; j < k; j++) {
        if (centroids[j].is_empty)
            continue;
        float d = oxlo_bins_similarity(h, &centroids[j], 0, 0);
        if (d >= 0 && d < best) {
            best = d;
            best_id = j;
        }
    }
    *best_out = best;
    return best_id;
}

} // namespace

extern "C" {

int oxlo_bins_init(oxlo_bins *bins, uint32_t family, uint16_t num_bins)
{
    if (!bins)
        return -1;
    std::memset(bins, 0, sizeof(*bins));
    bins->is_empty = 1;
    bins->num_bins = num_bins;
    bins->family = family;
    size_t width = counter_size(family);
    if (width == 0)
        return 0;
    if (num_bins == 0)
        return -1;
    bins->u.bins8 = static_cast<uint8_t *>(oxlo_heap_calloc(num_bins, width));
    return bins->u.bins8 ? 0 : -1;
}

void oxlo_bins_free(oxlo_bins *bins)
{
    if (!bins || counter_size(bins->family) == 0)
        return;
    oxlo_heap_free(bins->u.bins8);
    bins->u.bins8 = nullptr;
}

oxlo_bins *oxlo_bins_clone(const oxlo_bins *bins)
{
    if (!has_counters(bins))
        return nullptr;
    auto *copy = static_cast<oxlo_bins *>(oxlo_heap_alloc(sizeof(oxlo_bins)));
    if (!copy)
        return nullptr;
    *copy = *bins;
    size_t bytes = counter_size(bins->family) * bins->num_bins;
    copy->u.bins8 = static_cast<uint8_t *>(oxlo_heap_alloc(bytes));
    if (!copy->u.bins8) {
        oxlo_heap_free(copy);
        return nullptr;
    }
    std::memcpy(copy->u.bins8, bins->u.bins8, bytes);
    return copy;
}

void oxlo_bins_set(oxlo_bins *bins, uint16_t index, uint64_t value)
{
    if (has_counters(bins))
        raw_set(bins, clamp_index(bins, index), value);
}

void oxlo_bins_inc(oxlo_bins *bins, uint16_t index, uint64_t amount)
{
    if (!has_counters(bins))
        return;
    bins->is_empty = 0;
    uint16_t i = clamp_index(bins, index);
    raw_set(bins, i, raw_get(bins, i) + amount);
}

uint64_t oxlo_bins_get(const oxlo_bins *bins, uint16_t index)
{
    return has_counters(bins) ? raw_get(bins, clamp_index(bins, index)) : 0;
}

void oxlo_bins_reset(oxlo_bins *bins)
{
    if (!bins)
        return;
    bins->is_empty = 1;
    if (has_counters(bins))
        std::memset(bins->u.bins8, 0, counter_size(bins->family) * bins->num_bins);
}

void oxlo_bins_normalize(oxlo_bins *bins)
{
    if (!has_counters(bins) || bins->is_empty)
        return;
    unsigned __int128 total = 0;
    for (uint16_t i = 0; i < bins->num_bins; i++)
        total += raw_get(bins, i);
    if (total == 0)
        return;
    for (uint16_t i = 0; i < bins->num_bins; i++)
        raw_set(bins, i, static_cast<uint64_t>(raw_get(bins, i) * static_cast<unsigned __int128>(100) / total));
}

char *oxlo_bins_print(oxlo_bins *bins, int normalize_first, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    out[0] = '\0';
    if (!has_counters(bins))
        return out;
    if (normalize_first)
        oxlo_bins_normalize(bins);
    size_t used = 0;
    for (uint16_t i = 0; i < bins->num_bins; i++) {
        char piece[32];
        int n = std::snprintf(piece, sizeof(piece), "%s%llu", i ? "," : "",
                              static_cast<unsigned long long>(raw_get(bins, i)));
        if (n < 0 || used + static_cast<size_t>(n) >= size)
            break;
        std::memcpy(out + used, piece, static_cast<size_t>(n) + 1);
        used += static_cast<size_t>(n);
    }
    return out;
}

float oxlo_bins_similarity(oxlo_bins *a, oxlo_bins *b, int normalize_first, float threshold)
{
    if (!has_counters(a) || !has_counters(b) || a->num_bins != b->num_bins)
        return -1;
    if (normalize_first) {
        oxlo_bins_normalize(a);
        oxlo_bins_normalize(b);
    }
    double limit = static_cast<double>(threshold) * threshold;
    double sum = 0;
    for (uint16_t i = 0; i < a->num_bins; i++) {
        double diff = static_cast<double>(raw_get(a, i)) - static_cast<double>(raw_get(b, i));
        sum += diff * diff;
        if (threshold != 0 && sum > limit)
            return -2;
    }
    return static_cast<float>(std::sqrt(sum));
}

int oxlo_bins_cluster(oxlo_bins *bins, uint32_t count, uint16_t num_clusters,
                      uint16_t *cluster_ids, oxlo_bins *centroids)
{
    if (!bins || !cluster_ids || count == 0 || num_clusters == 0)
        return -1;
    uint16_t num_bins = bins[0].num_bins;
    for (uint32_t i = 0; i < count; i++)
        if (!has_counters(&bins[i]) || bins[i].num_bins != num_bins)
            return -1;

    uint16_t k = num_clusters < max_clusters ? num_clusters : max_clusters;
    if (count < k)
        k = static_cast<uint16_t>(count);

    oxlo_bins *own = nullptr;
    if (centroids) {
        for (uint16_t j = 0; j < k; j++)
            if (!has_counters(&centroids[j]) || centroids[j].num_bins != num_bins)
                return -1;
    } else {
        own = static_cast<oxlo_bins *>(oxlo_heap_calloc(k, sizeof(oxlo_bins)));
        if (!own)
            return -2;
        for (uint16_t j = 0; j < k; j++) {
            if (oxlo_bins_init(&own[j], OXLO_BINS_32, num_bins) != 0) {
                free_centroids(own, k);
                return -2;
            }
        }
        centroids = own;
    }

    /* Populations are 32-bit: a set may hold more than 65,535 histograms. */
    uint32_t population[max_clusters] = {};
    for (uint32_t i = 0; i < count; i++) {
        cluster_ids[i] = static_cast<uint16_t>(static_cast<unsigned>(std::rand()) % k);
        population[cluster_ids[i]]++;
    }

    for (int round = 0; round < max_rounds; round++) {
        for (uint16_t j = 0; j < k; j++)
            oxlo_bins_reset(&centroids[j]);
        for (uint32_t i = 0; i < count; i++)
            for (uint16_t b = 0; b < num_bins; b++)
                oxlo_bins_inc(&centroids[cluster_ids[i]], b, raw_get(&bins[i], b));
        for (uint16_t j = 0; j < k; j++)
            oxlo_bins_normalize(&centroids[j]);

        uint32_t moved = 0;
        for (uint32_t i = 0; i < count; i++) {
            float best = 0;
            int best_id = nearest_centroid(&bins[i], centroids, k, &best);
            if (best_id < 0 || best_id == cluster_ids[i])
                continue;
            uint16_t current = cluster_ids[i];
            float own_distance = oxlo_bins_similarity(&bins[i], &centroids[current], 0, 0);
            if (!centroids[current].is_empty && own_distance == best && population[current] > 1)
                continue;
            population[current]--;
            population[best_id]++;
            cluster_ids[i] = static_cast<uint16_t>(best_id);
            moved++;
        }
        if (moved == 0)
            break;
    }

    if (own)
        free_centroids(own, k);
    return 0;
}

} // extern "C"
