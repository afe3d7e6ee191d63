/* Automaton search throughput: host-name searches against a host automaton
 * of a few thousand host patterns (synthetic names built from random labels
 * and common top-level domains). Prints searches per second. */
#include "oxlo_automaton.h"

#include "oxlo_memory.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int pattern_count = 4000;
constexpr int host_count = 1 << 14;

const char *const tlds[] = {"com", "net", "org", "io", "de", "co.uk", "tv", "app"};
const char *const prefixes[] = {"www.", "api.", "cdn.", "static.", "m.", "edge-01.", "img.", ""};

std::string label(std::mt19937 &rng)
{
    std::string s;
    int n = 4 + rng() % 8;
    for (int i = 0; i < n; i++)
        s += static_cast<char>('a' + rng() % 26);
    return s;
}

struct fixture {
    oxlo_automaton *a;
    std::vector<std::string> domains;
    std::vector<std::string> hosts;

    fixture()
    {
        std::mt19937 rng(4242);
        a = automaton_new(nullptr);
        automaton_set_features(a, AUTOMATON_FEATURE_CASE_INSENSITIVE);
        for (int i = 0; i < pattern_count; i++) {
            std::string d = label(rng) + "." + tlds[rng() % std::size(tlds)];
            automaton_pattern p{};
            p.text = oxlo_heap_strdup(d.c_str());
            p.length = static_cast<uint16_t>(d.size());
            p.data.id = static_cast<uint32_t>(i + 1);
            p.data.flags = AUTOMATON_ANCHOR_END;
            if (automaton_add_pattern(a, &p) != AUTOMATON_ADDED)
                oxlo_heap_free(p.text);
            else
                domains.push_back(d);
        }
        automaton_finalize(a);
        /* Half the names fall under a known domain, half are unknown. */
        for (int i = 0; i < host_count; i++) {
            std::string base = rng() % 2 ? domains[rng() % domains.size()]
                                         : label(rng) + "." + tlds[rng() % std::size(tlds)];
            hosts.push_back(prefixes[rng() % std::size(prefixes)] + base);
        }
    }
    ~fixture() { automaton_release(a, 1); }
};

void BM_automaton_host_search(benchmark::State &state)
{
    static fixture f;
    size_t i = 0, hits = 0;
    for (auto _ : state) {
        const std::string &h = f.hosts[i++ & (host_count - 1)];
        automaton_text t{};
        t.text = h.data();
        t.length = static_cast<uint16_t>(h.size());
        automaton_match m;
        int r = automaton_search(f.a, &t, &m);
        hits += r == 1;
        benchmark::DoNotOptimize(m);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["patterns"] = static_cast<double>(f.domains.size());
    state.counters["hit_ratio"] = state.iterations() ? static_cast<double>(hits) / state.iterations() : 0;
}

} // namespace

BENCHMARK(BM_automaton_host_search);
BENCHMARK_MAIN();
