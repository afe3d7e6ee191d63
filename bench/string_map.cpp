/* Lookups per second in a string map the size of a domain list (hits and
 * misses), cipher-suite names per second, and URL checks per second. */
#include "oxlo_names.h"
#include "oxlo_string_map.h"
#include "oxlo_utils.h"

#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::string> host_names(size_t count, const char *tld)
{
    std::vector<std::string> names;
    names.reserve(count);
    for (size_t i = 0; i < count; i++)
        names.push_back("host" + std::to_string(i * 7919 % 1000003) + ".example" + tld);
    return names;
}

void string_map_lookup(benchmark::State &state, bool hit)
{
    const size_t count = static_cast<size_t>(state.range(0));
    auto stored = host_names(count, ".com");
    auto probes = hit ? stored : host_names(count, ".org");
    /* Probe in an order unrelated to insertion, as packets would. */
    for (size_t j = probes.size(); j > 1; j--)
        std::swap(probes[j - 1], probes[(j * 2654435761u) % j]);
    oxlo_string_map *map = nullptr;
    oxlo_string_map_init(&map);
    for (size_t i = 0; i < count; i++)
        oxlo_string_map_add(&map, stored[i].data(), stored[i].size(), i, nullptr);
    size_t i = 0;
    for (auto _ : state) {
        uint64_t v = 0;
        const std::string &k = probes[i++ % count];
        benchmark::DoNotOptimize(oxlo_string_map_find(map, k.data(), k.size(), &v));
    }
    state.SetItemsProcessed(state.iterations());
    oxlo_string_map_free(&map);
}

void BM_string_map_hit(benchmark::State &state) { string_map_lookup(state, true); }
void BM_string_map_miss(benchmark::State &state) { string_map_lookup(state, false); }
BENCHMARK(BM_string_map_hit)->Arg(1000)->Arg(100000);
BENCHMARK(BM_string_map_miss)->Arg(1000)->Arg(100000);

void BM_tls_cipher_name(benchmark::State &state)
{
    const uint16_t ids[] = {0x1301, 0xC02B, 0xC030, 0xCCA8, 0x002F, 0x0A0A, 0x9999};
    char buf[8];
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(oxlo_tls_cipher_name(ids[i++ % 7], buf, sizeof buf));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_tls_cipher_name);

void BM_url_attack_check(benchmark::State &state)
{
    const char *url = "/search?q=firewall+rules&lang=en&page=2&sort=date%20desc";
    for (auto _ : state)
        benchmark::DoNotOptimize(oxlo_url_attack_check(nullptr, nullptr, url));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_url_attack_check);

} // namespace

BENCHMARK_MAIN();
