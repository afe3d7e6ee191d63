/* Isolation forest with random hyperplane splits: each inner node cuts the
 * space by a random direction at a random offset within the node's points,
 * and a vector's score grows as the trees isolate it in fewer cuts. */
#include "oxlo_spatial.h"

#include "oxlo_memory.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr double euler_gamma = 0.5772156649;

double uniform01() { return static_cast<double>(std::rand()) / RAND_MAX; }

double dot(const double *a, const double *b, uint32_t d)
{
    double sum = 0;
    for (uint32_t i = 0; i < d; i++)
        sum += a[i] * b[i];
    return sum;
}

struct build_context {
    const double *points;
    uint32_t d;
    uint32_t *indices;
    double *projections; /* one per point index */
    oxlo_isolation_forest *forest;
};

void free_node(oxlo_iforest_node *node)
{
    if (!node)
        return;
    free_node(node->left);
    free_node(node->right);
    oxlo_heap_free(node->normal);
    oxlo_heap_free(node);
}

/* Builds the node over indices[start, end) at the given depth; null when
 * memory runs out. Depth is bounded, so is the recursion. */
oxlo_iforest_node *build_node(build_context &c, uint32_t start, uint32_t end, uint8_t depth)
{
    auto *node = static_cast<oxlo_iforest_node *>(oxlo_heap_calloc(1, sizeof(oxlo_iforest_node)));
    if (!node)
        return nullptr;
    c.forest->memory_bytes += sizeof(oxlo_iforest_node);
    node->depth = depth;
    uint32_t count = end - start;
    if (depth >= OXLO_IFOREST_MAX_DEPTH || count < 2) {
        node->is_leaf = 1;
        return node;
    }
    node->normal = static_cast<double *>(oxlo_heap_alloc(sizeof(double) * c.d));
    if (!node->normal) {
        oxlo_heap_free(node);
        return nullptr;
    }
    c.forest->memory_bytes += sizeof(double) * c.d;
    for (uint32_t j = 0; j < c.d; j++)
        node->normal[j] = uniform01() * 2 - 1;

    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (uint32_t i = start; i < end; i++) {
        uint32_t p = c.indices[i];
        double v = dot(node->normal, c.points + static_cast<size_t>(p) * c.d, c.d);
        c.projections[p] = v;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    node->split = uniform01() * (hi - lo) + lo;

    /* Partition: projections below the split to the front. */
    uint32_t mid = start;
    for (uint32_t i = start; i < end; i++) {
        if (c.projections[c.indices[i]] < node->split) {
            uint32_t t = c.indices[i];
            c.indices[i] = c.indices[mid];
            c.indices[mid] = t;
            mid++;
        }
    }
    node->left = build_node(c, start, mid, static_cast<uint8_t>(depth + 1));
    node->right = node->left ? build_node(c, mid, end, static_cast<uint8_t>(depth + 1)) : nullptr;
    if (!node->left || !node->right) {
        free_node(node);
        return nullptr;
    }
    return node;
}

double average_path(uint32_t n)
{
    if (n < 2)
        return std::numeric_limits<double>::quiet_NaN();
    if (n == 2)
        return 1;
    double m = n;
    return 2 * (std::log(m - 1) + euler_gamma) - 2 * (m - 1) / m;
}

} // namespace

extern "C" {

oxlo_isolation_forest *oxlo_isolation_forest_build(const double *points, uint32_t n, uint32_t d)
{
    if (d < 1 || (n > 0 && !points))
        return nullptr;
    auto *forest = static_cast<oxlo_isolation_forest *>(oxlo_heap_calloc(1, sizeof(oxlo_isolation_forest)));
    if (!forest)
        return nullptr;
    forest->n = n;
    forest->d = d;
    forest->memory_bytes = sizeof(*forest);
    build_context c = {points, d, nullptr, nullptr, forest};
    c.indices = static_cast<uint32_t *>(oxlo_heap_alloc(sizeof(uint32_t) * (n ? n : 1)));
    c.projections = static_cast<double *>(oxlo_heap_alloc(sizeof(double) * (n ? n : 1)));
    bool ok = c.indices && c.projections;
    for (int t = 0; ok && t < OXLO_IFOREST_TREES; t++) {
        for (uint32_t i = 0; i < n; i++)
            c.indices[i] = i;
        forest->trees[t] = build_node(c, 0, n, 0);
        ok = forest->trees[t] != nullptr;
    }
    oxlo_heap_free(c.indices);
    oxlo_heap_free(c.projections);
    if (!ok) {
        oxlo_isolation_forest_free(forest);
        return nullptr;
    }
    return forest;
}

double oxlo_isolation_forest_score(const oxlo_isolation_forest *forest, const double *vector)
{
    if (!forest || !vector)
        return 0;
    double total = 0;
    for (int t = 0; t < OXLO_IFOREST_TREES; t++) {
        const oxlo_iforest_node *node = forest->trees[t];
        while (node && !node->is_leaf)
            node = dot(node->normal, vector, forest->d) < node->split ? node->left : node->right;
        total += node ? node->depth : 0;
    }
    return std::exp2(-(total / OXLO_IFOREST_TREES) / average_path(forest->n));
}

void oxlo_isolation_forest_free(oxlo_isolation_forest *forest)
{
    if (!forest)
        return;
    for (int t = 0; t < OXLO_IFOREST_TREES; t++)
        free_node(forest->trees[t]);
    oxlo_heap_free(forest);
}

} // extern "C"
