/* Address-cache lookups and stores per second at several sizes (the cache
 * has at most 512 buckets, so chains grow with the size), DNS answer
 * tracking adds and checks, and 64-bit bitmap adds. */
#include "oxlo_address_cache.h"
#include "oxlo_bitmap64.h"
#include "oxlo_hash_filter.h"
#include "oxlo_private.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

void address_of(uint32_t i, uint8_t out[16])
{
    memset(out, 0, 16);
    out[0] = 10;
    out[1] = uint8_t(i >> 16);
    out[2] = uint8_t(i >> 8);
    out[3] = uint8_t(i);
}

void address_cache_lookup(benchmark::State &state)
{
    const uint32_t n = uint32_t(state.range(0));
    oxlo_address_cache *c = oxlo_address_cache_alloc(n);
    uint8_t a[16];
    for (uint32_t i = 0; i < n; i++) {
        address_of(i, a);
        oxlo_address_cache_store(c, a, "host.example.com", 1000, 3600);
    }
    uint32_t i = 0;
    for (auto _ : state) {
        address_of((i++ * 2654435761u) % n, a);
        benchmark::DoNotOptimize(oxlo_address_cache_lookup(c, a, 1000));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    oxlo_address_cache_free(c);
}
BENCHMARK(address_cache_lookup)->Arg(100)->Arg(10000)->Arg(1000000);

/* Stores into a full cache of live entries: every refusal runs a purge. */
void address_cache_store_when_full(benchmark::State &state)
{
    const uint32_t n = uint32_t(state.range(0));
    oxlo_address_cache *c = oxlo_address_cache_alloc(n);
    uint8_t a[16];
    for (uint32_t i = 0; i < n; i++) {
        address_of(i, a);
        oxlo_address_cache_store(c, a, "host.example.com", 1000, 3600);
    }
    uint32_t i = n;
    for (auto _ : state) {
        address_of(i++, a);
        benchmark::DoNotOptimize(oxlo_address_cache_store(c, a, "new.example.com", 1000, 60));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    oxlo_address_cache_free(c);
}
BENCHMARK(address_cache_store_when_full)->Arg(100)->Arg(10000)->Arg(100000);

void dns_tracking(benchmark::State &state)
{
    oxlo_module *m = oxlo_module_new(nullptr);
    oxlo_dns_resolution_enable(m);
    uint8_t a[16];
    uint32_t i = 0;
    for (auto _ : state) {
        address_of(i++, a);
        oxlo_dns_resolution_add(m, a, "host.example.com");
        benchmark::DoNotOptimize(oxlo_dns_resolution_found(m, a, "other.example.com"));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    oxlo_module_free(m);
}
BENCHMARK(dns_tracking);

void bitmap64_add_random(benchmark::State &state)
{
    oxlo_bitmap64 *b = oxlo_bitmap64_new();
    uint64_t x = 88172645463325252ull;
    for (auto _ : state) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        oxlo_bitmap64_add(b, uint32_t(x));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    oxlo_bitmap64_free(b);
}
BENCHMARK(bitmap64_add_random);

} // namespace

BENCHMARK_MAIN();
