/* Protocol-table figures: building the table, guessing by port, looking a
 * protocol up by name and naming pairs. */
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

oxlo_module *table_module()
{
    auto *m = static_cast<oxlo_module *>(oxlo_heap_calloc(1, sizeof(oxlo_module)));
    oxlo_proto_table_init(m);
    set_default_config(&m->cfg, m->protocols.builtin_count);
    oxlo_default_ports_build(m);
    m->flags |= OXLO_MODULE_FINALIZED;
    return m;
}

void table_module_free(oxlo_module *m)
{
    oxlo_proto_table_free(m);
    free_config(&m->cfg);
    oxlo_heap_free(m);
}

void BM_TableBuild(benchmark::State &state)
{
    for (auto _ : state) {
        oxlo_module *m = table_module();
        benchmark::DoNotOptimize(m->protocols.count);
        table_module_free(m);
    }
}
BENCHMARK(BM_TableBuild);

void BM_GuessByPort(benchmark::State &state)
{
    oxlo_module *m = table_module();
    const uint16_t ports[] = {80, 443, 53, 6885, 5060, 41000, 3306, 1};
    size_t i = 0;
    for (auto _ : state) {
        uint8_t flag;
        uint16_t p = ports[i++ % (sizeof(ports) / sizeof(ports[0]))];
        benchmark::DoNotOptimize(oxlo_guess_protocol_by_port(m, 6, 50000, p, &flag));
    }
    table_module_free(m);
}
BENCHMARK(BM_GuessByPort);

void BM_IdByName(benchmark::State &state)
{
    oxlo_module *m = table_module();
    const char *names[] = {"HTTP", "ProtonMeet", "bittorrent", "NoSuchProtocol"};
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(oxlo_protocol_id_by_name(m, names[i++ % 4]));
    table_module_free(m);
}
BENCHMARK(BM_IdByName);

void BM_FormatPair(benchmark::State &state)
{
    oxlo_module *m = table_module();
    char buf[64];
    for (auto _ : state)
        benchmark::DoNotOptimize(
            oxlo_format_protocol_names(m, ((uint32_t)OXLO_PROTOCOL_GOOGLE << 16) | 91, buf, sizeof(buf)));
    table_module_free(m);
}
BENCHMARK(BM_FormatPair);

} // namespace

BENCHMARK_MAIN();
