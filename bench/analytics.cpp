/* Analytics throughput: HyperLogLog adds (14-bit registers) and count-min
 * adds (depth 4) of distinct 32-bit values, and k-d tree nearest-neighbour
 * queries in a tree of 100,000 random 3-D points. Prints operations per
 * second. */
#include "oxlo_sketches.h"
#include "oxlo_spatial.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

constexpr int tree_points = 100000;
constexpr int query_count = 1 << 16;
constexpr int dims = 3;

void BM_hyperloglog_add(benchmark::State &state)
{
    oxlo_hyperloglog hll;
    oxlo_hyperloglog_init(&hll, 14);
    uint32_t v = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(oxlo_hyperloglog_add_number(&hll, v++));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["estimate"] = oxlo_hyperloglog_count(&hll);
    oxlo_hyperloglog_destroy(&hll);
}

void BM_count_min_add(benchmark::State &state)
{
    oxlo_count_min_sketch *s = oxlo_count_min_sketch_alloc(4);
    uint32_t v = 0;
    for (auto _ : state) {
        oxlo_count_min_sketch_add(s, v);
        v += 2654435761u;
    }
    benchmark::DoNotOptimize(s->counters[0]);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    oxlo_count_min_sketch_free(s);
}

struct kd_fixture {
    oxlo_kd_tree *tree = oxlo_kd_tree_create(dims);
    std::vector<double> queries;
    kd_fixture()
    {
        std::mt19937 gen(12345);
        std::uniform_real_distribution<double> u(0, 1);
        for (int i = 0; i < tree_points; i++) {
            double p[dims] = {u(gen), u(gen), u(gen)};
            oxlo_kd_tree_insert(tree, p, nullptr);
        }
        for (int i = 0; i < query_count * dims; i++)
            queries.push_back(u(gen));
    }
    ~kd_fixture() { oxlo_kd_tree_free(tree); }
};

void BM_kd_tree_nearest(benchmark::State &state)
{
    static kd_fixture f;
    size_t i = 0;
    for (auto _ : state) {
        oxlo_kd_result *r = oxlo_kd_tree_nearest(f.tree, &f.queries[(i++ & (query_count - 1)) * dims]);
        benchmark::DoNotOptimize(r);
        oxlo_kd_result_free(r);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["points"] = tree_points;
}

} // namespace

BENCHMARK(BM_hyperloglog_add);
BENCHMARK(BM_count_min_add);
BENCHMARK(BM_kd_tree_nearest);
BENCHMARK_MAIN();
