/* Patricia lookup throughput: longest-prefix searches of random addresses in
 * trees of 100,000 random prefixes. Prints lookups per second. */
#include "oxlo_patricia.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int tree_prefixes = 100000;
constexpr int key_count = 1 << 16;

struct fixture {
    oxlo_patricia_tree *tree = nullptr;
    std::vector<oxlo_prefix> keys;

    explicit fixture(bool ipv6)
    {
        std::mt19937 rng(12345);
        tree = oxlo_patricia_new(ipv6 ? 128 : 32);
        int maxbits = ipv6 ? 128 : 32;
        for (int i = 0; i < tree_prefixes; i++) {
            oxlo_prefix p;
            random_prefix(rng, ipv6, ipv6 ? 16 + rng() % 49 : 8 + rng() % 25, maxbits, &p);
            oxlo_patricia_node *n = oxlo_patricia_lookup(tree, &p);
            if (n)
                oxlo_patricia_node_set_value(n, static_cast<uint64_t>(i + 1));
        }
        keys.resize(key_count);
        for (auto &k : keys)
            random_prefix(rng, ipv6, maxbits, maxbits, &k);
    }
    ~fixture() { oxlo_patricia_free(tree, nullptr); }

    static void random_prefix(std::mt19937 &rng, bool ipv6, int bitlen, int maxbits, oxlo_prefix *p)
    {
        if (ipv6) {
            struct in6_addr a;
            for (int w = 0; w < 4; w++) {
                uint32_t r = rng();
                std::memcpy(reinterpret_cast<uint8_t *>(&a) + 4 * w, &r, 4);
            }
            a.s6_addr[0] = 0x20; /* global unicast, so prefixes overlap */
            oxlo_prefix_set_ipv6(p, &a, bitlen, maxbits);
        } else {
            struct in_addr a;
            a.s_addr = rng();
            oxlo_prefix_set_ipv4(p, &a, bitlen, maxbits);
        }
    }
};

void run(benchmark::State &state, bool ipv6)
{
    static fixture v4(false), v6(true);
    fixture &f = ipv6 ? v6 : v4;
    size_t i = 0, hits = 0;
    for (auto _ : state) {
        oxlo_patricia_node *n = oxlo_patricia_search_best_inclusive(f.tree, &f.keys[i++ & (key_count - 1)]);
        hits += n != nullptr;
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["prefixes"] = tree_prefixes;
    state.counters["hit_ratio"] = state.iterations() ? static_cast<double>(hits) / state.iterations() : 0;
}

void BM_patricia_lookup_ipv4(benchmark::State &state) { run(state, false); }
void BM_patricia_lookup_ipv6(benchmark::State &state) { run(state, true); }

} // namespace

BENCHMARK(BM_patricia_lookup_ipv4);
BENCHMARK(BM_patricia_lookup_ipv6);
BENCHMARK_MAIN();
