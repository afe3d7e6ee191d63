/* Ball tree for k-nearest-neighbour queries in the L1 metric. The tree is
 * a complete binary tree in an array (children of r at 2r + 1 and 2r + 2)
 * whose depth is fixed from the number of points, so recursion stays within
 * a few levels. */
#include "oxlo_spatial.h"

#include "oxlo_memory.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

double l1_distance(const double *a, const double *b, int d)
{
    double sum = 0;
    for (int i = 0; i < d; i++)
        sum += std::fabs(a[i] - b[i]);
    return sum;
}

const double *point(const oxlo_ball_tree *t, int index) { return t->points + static_cast<size_t>(index) * t->d; }

void build_node(oxlo_ball_tree *t, int r, int start, int end)
{
    oxlo_ball_node &node = t->nodes[r];
    double *centroid = t->centroids + static_cast<size_t>(r) * t->d;
    node.start = start;
    node.end = end;
    node.radius = 0;
    std::memset(centroid, 0, sizeof(double) * t->d);
    int count = end - start;
    for (int i = start; i < end; i++) {
        const double *p = point(t, t->indices[i]);
        for (int j = 0; j < t->d; j++)
            centroid[j] += p[j];
    }
    if (count > 0)
        for (int j = 0; j < t->d; j++)
            centroid[j] /= count;
    for (int i = start; i < end; i++)
        node.radius = std::max(node.radius, l1_distance(centroid, point(t, t->indices[i]), t->d));

    if (2 * r + 1 >= t->num_nodes || count < 2) {
        node.is_leaf = 1;
        return;
    }
    node.is_leaf = 0;

    int widest = 0;
    double widest_spread = -1;
    for (int j = 0; j < t->d; j++) {
        double lo = point(t, t->indices[start])[j], hi = lo;
        for (int i = start + 1; i < end; i++) {
            double v = point(t, t->indices[i])[j];
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        if (hi - lo > widest_spread) {
            widest_spread = hi - lo;
            widest = j;
        }
    }
    int median = start + count / 2;
    std::nth_element(t->indices + start, t->indices + median, t->indices + end, [t, widest](int a, int b) {
        return point(t, a)[widest] < point(t, b)[widest];
    });
    build_node(t, 2 * r + 1, start, median);
    build_node(t, 2 * r + 2, median, end);
}

/* A max-heap of k (distance, index) pairs kept in one result row. */
struct knn_heap {
    double *dist;
    int *index;
    int k;

    void sift_down(int i, int size)
    {
        for (;;) {
            int largest = i, l = 2 * i + 1, r = 2 * i + 2;
            if (l < size && dist[l] > dist[largest])
                largest = l;
            if (r < size && dist[r] > dist[largest])
                largest = r;
            if (largest == i)
                return;
            std::swap(dist[i], dist[largest]);
            std::swap(index[i], index[largest]);
            i = largest;
        }
    }
    void offer(double d, int idx)
    {
        if (d >= dist[0])
            return;
        dist[0] = d;
        index[0] = idx;
        sift_down(0, k);
    }
    /* Heap sort: leaves the row ascending. */
    void sort()
    {
        for (int end = k - 1; end > 0; end--) {
            std::swap(dist[0], dist[end]);
            std::swap(index[0], index[end]);
            sift_down(0, end);
        }
    }
};

double lower_bound(const oxlo_ball_tree *t, int r, const double *q)
{
    double b = l1_distance(q, t->centroids + static_cast<size_t>(r) * t->d, t->d) - t->nodes[r].radius;
    return b > 0 ? b : 0;
}

void visit(const oxlo_ball_tree *t, int r, double bound, const double *q, knn_heap &heap)
{
    if (bound > heap.dist[0])
        return;
    const oxlo_ball_node &node = t->nodes[r];
    if (node.is_leaf) {
        for (int i = node.start; i < node.end; i++)
            heap.offer(l1_distance(q, point(t, t->indices[i]), t->d), t->indices[i]);
        return;
    }
    int l = 2 * r + 1, rr = 2 * r + 2;
    double bl = lower_bound(t, l, q), br = lower_bound(t, rr, q);
    if (bl <= br) {
        visit(t, l, bl, q, heap);
        visit(t, rr, br, q, heap);
    } else {
        visit(t, rr, br, q, heap);
        visit(t, l, bl, q, heap);
    }
}

} // namespace

extern "C" {

oxlo_ball_tree *oxlo_ball_tree_build(const double *points, int n, int d)
{
    if (!points || n < 1 || d < 1)
        return nullptr;
    auto *t = static_cast<oxlo_ball_tree *>(oxlo_heap_calloc(1, sizeof(oxlo_ball_tree)));
    if (!t)
        return nullptr;
    t->n = n;
    t->d = d;
    t->leaf_size = OXLO_BALL_LEAF_SIZE;
    int per_leaf = std::max((n - 1) / t->leaf_size, 1);
    t->levels = static_cast<int>(std::floor(std::log2(static_cast<double>(per_leaf)))) + 1;
    t->num_nodes = (1 << t->levels) - 1;
    size_t cells = static_cast<size_t>(n) * d;
    t->points = static_cast<double *>(oxlo_heap_alloc(cells * sizeof(double)));
    t->indices = static_cast<int *>(oxlo_heap_alloc(static_cast<size_t>(n) * sizeof(int)));
    t->nodes = static_cast<oxlo_ball_node *>(oxlo_heap_calloc(t->num_nodes, sizeof(oxlo_ball_node)));
    t->centroids = static_cast<double *>(oxlo_heap_alloc(static_cast<size_t>(t->num_nodes) * d * sizeof(double)));
    if (!t->points || !t->indices || !t->nodes || !t->centroids) {
        oxlo_ball_tree_free(t);
        return nullptr;
    }
    std::memcpy(t->points, points, cells * sizeof(double));
    for (int i = 0; i < n; i++)
        t->indices[i] = i;
    build_node(t, 0, 0, n);
    return t;
}

oxlo_ball_result oxlo_ball_tree_query(const oxlo_ball_tree *tree, const double *queries, int q, int d, int k)
{
    oxlo_ball_result result = {};
    if (!tree || !queries || q < 1 || d != tree->d || k < 1 || k > tree->n)
        return result;
    size_t cells = static_cast<size_t>(q) * k;
    result.distances = static_cast<double *>(oxlo_heap_alloc(cells * sizeof(double)));
    result.indices = static_cast<int *>(oxlo_heap_alloc(cells * sizeof(int)));
    if (!result.distances || !result.indices) {
        oxlo_ball_result_free(&result);
        return result;
    }
    result.num_queries = q;
    result.k = k;
    for (int i = 0; i < q; i++) {
        knn_heap heap = {result.distances + static_cast<size_t>(i) * k, result.indices + static_cast<size_t>(i) * k, k};
        for (int j = 0; j < k; j++) {
            heap.dist[j] = std::numeric_limits<double>::infinity();
            heap.index[j] = 0;
        }
        const double *query = queries + static_cast<size_t>(i) * d;
        visit(tree, 0, lower_bound(tree, 0, query), query, heap);
        heap.sort();
    }
    return result;
}

void oxlo_ball_tree_free(oxlo_ball_tree *tree)
{
    if (!tree)
        return;
    oxlo_heap_free(tree->points);
    oxlo_heap_free(tree->indices);
    oxlo_heap_free(tree->nodes);
    oxlo_heap_free(tree->centroids);
    oxlo_heap_free(tree);
}

void oxlo_ball_result_free(oxlo_ball_result *result)
{
    if (!result)
        return;
    oxlo_heap_free(result->distances);
    oxlo_heap_free(result->indices);
    std::memset(result, 0, sizeof(*result));
}

} // extern "C"
