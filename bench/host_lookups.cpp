/* Lookups of the host and address matching: host names against a finalized
 * module's host automaton (built-in patterns), category domain-set lookups
 * with the public suffix list loaded, registered-domain computation, and
 * protocol-by-address lookups on the built-in ranges. */
#include "oxlo_hosts.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const hosts[] = {
    "www.example.com",     "mail.yandex.ru",       "a.b.c.unknown-site.org", "api.telegram.org",
    "cdn.jsdelivr.net",    "connectivitycheck.gstatic.com", "stats.g.doubleclick.net",
    "x.y.z.co.uk",         "static.xx.fbcdn.net",  "e1234.dscb.akamaiedge.net",
};

struct Fixture {
    oxlo_module *m = oxlo_module_new(nullptr);
    Fixture()
    {
        if (const char *psl = oxlo_public_suffix_list_default_path())
            oxlo_load_public_suffix_list(m, psl);
        oxlo_finalize_initialization(m);
    }
    ~Fixture() { oxlo_module_free(m); }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

void host_match(benchmark::State &state)
{
    oxlo_module *m = fixture().m;
    size_t i = 0;
    for (auto _ : state) {
        const char *h = hosts[i++ % (sizeof(hosts) / sizeof(hosts[0]))];
        benchmark::DoNotOptimize(oxlo_host_match(m, h, strlen(h), nullptr));
    }
    state.SetItemsProcessed(state.iterations());
}

void category_by_host(benchmark::State &state)
{
    oxlo_module *m = fixture().m;
    size_t i = 0;
    uint32_t c, b;
    for (auto _ : state) {
        const char *h = hosts[i++ % (sizeof(hosts) / sizeof(hosts[0]))];
        benchmark::DoNotOptimize(oxlo_category_by_host(m, h, strlen(h), &c, &b));
    }
    state.SetItemsProcessed(state.iterations());
}

void registered_domain(benchmark::State &state)
{
    oxlo_module *m = fixture().m;
    size_t i = 0;
    for (auto _ : state) {
        const char *h = hosts[i++ % (sizeof(hosts) / sizeof(hosts[0]))];
        benchmark::DoNotOptimize(oxlo_host_registered_domain(m, h));
    }
    state.SetItemsProcessed(state.iterations());
}

void protocol_by_ipv4_port(benchmark::State &state)
{
    oxlo_module *m = fixture().m;
    std::vector<uint32_t> addresses;
    for (const char *a : {"104.16.1.1", "149.154.167.50", "17.1.2.3", "8.8.8.8", "93.184.216.34"}) {
        in_addr x{};
        inet_pton(AF_INET, a, &x);
        addresses.push_back(x.s_addr);
    }
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            oxlo_protocol_by_ipv4_port(m, addresses[i++ % addresses.size()], htons(443)));
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(host_match);
BENCHMARK(category_by_host);
BENCHMARK(registered_domain);
BENCHMARK(protocol_by_ipv4_port);
BENCHMARK_MAIN();
