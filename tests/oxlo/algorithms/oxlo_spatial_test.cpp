#include "oxlo_spatial.h"

#include "reference_runner.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

namespace {

struct kd_holder {
    oxlo_kd_tree *t;
    explicit kd_holder(int k) : t(oxlo_kd_tree_create(k)) {}
    ~kd_holder() { oxlo_kd_tree_free(t); }
};

/* Row numbers of the hits, read back through the user data. */
std::vector<double> hit_rows(oxlo_kd_result *r)
{
    std::vector<double> rows;
    for (oxlo_kd_result_rewind(r); !oxlo_kd_result_end(r); oxlo_kd_result_next(r)) {
        void *data = nullptr;
        EXPECT_NE(oxlo_kd_result_item(r, &data), nullptr);
        rows.push_back(static_cast<double>(reinterpret_cast<intptr_t>(data)));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

TEST(KdTree, nearest_and_range_agree_with_scipy)
{
    const int n = 2000, q = 200, d = 3;
    const double r = 0.12;
    std::mt19937 gen(21);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<double> points, queries;
    for (int i = 0; i < n * d; i++)
        points.push_back(u(gen));
    /* duplicates, and queries sitting exactly on points */
    for (int i = 0; i < 20; i++)
        for (int j = 0; j < d; j++)
            points.push_back(points[i * d + j]);
    for (int i = 0; i < q * d; i++)
        queries.push_back(i < 30 * d ? points[i] : u(gen));

    kd_holder h(d);
    for (size_t i = 0; i < points.size() / d; i++)
        ASSERT_EQ(oxlo_kd_tree_insert(h.t, &points[i * d], reinterpret_cast<void *>(i)), 1);

    auto ref = reference::run("kd", {{"d", {d}}, {"r", {r}}, {"points", points}, {"queries", queries}});
    ASSERT_EQ(ref["nearest"].size(), static_cast<size_t>(q));
    for (int i = 0; i < q; i++) {
        const double *query = &queries[i * d];
        oxlo_kd_result *near = oxlo_kd_tree_nearest(h.t, query);
        ASSERT_NE(near, nullptr);
        ASSERT_EQ(oxlo_kd_result_size(near), 1);
        const double *p = oxlo_kd_result_item(near, nullptr);
        double dist = std::sqrt((p[0] - query[0]) * (p[0] - query[0]) + (p[1] - query[1]) * (p[1] - query[1]) +
                                (p[2] - query[2]) * (p[2] - query[2]));
        EXPECT_NEAR(dist, ref["nearest"][i], 1e-12) << "query " << i;
        oxlo_kd_result_free(near);

        oxlo_kd_result *range = oxlo_kd_tree_nearest_range(h.t, query, r);
        ASSERT_NE(range, nullptr);
        EXPECT_EQ(hit_rows(range), ref["range" + std::to_string(i)]) << "query " << i;
        oxlo_kd_result_free(range);
    }
}

TEST(KdTree, range_zero_finds_every_point_at_the_query)
{
    /* Equal coordinates are inserted to the right; a search that crossed to
     * the far side only when |diff| < range would miss them at range 0. */
    kd_holder h(2);
    double a[] = {1, 1}, b[] = {1, 2}, c[] = {0, 0};
    oxlo_kd_tree_insert(h.t, a, reinterpret_cast<void *>(1));
    oxlo_kd_tree_insert(h.t, b, reinterpret_cast<void *>(2));
    oxlo_kd_tree_insert(h.t, a, reinterpret_cast<void *>(3));
    oxlo_kd_tree_insert(h.t, c, reinterpret_cast<void *>(4));
    oxlo_kd_tree_insert(h.t, a, reinterpret_cast<void *>(5));
    oxlo_kd_result *r = oxlo_kd_tree_nearest_range(h.t, a, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(hit_rows(r), (std::vector<double>{1, 3, 5}));
    oxlo_kd_result_free(r);
}

TEST(KdTree, single_point_empty_tree_and_iteration)
{
    kd_holder h(2);
    double p[] = {3, 4}, far[] = {-100, 1e6};
    EXPECT_EQ(oxlo_kd_tree_nearest(h.t, p), nullptr);
    oxlo_kd_result *none = oxlo_kd_tree_nearest_range(h.t, p, 5);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(oxlo_kd_result_size(none), 0);
    EXPECT_EQ(oxlo_kd_result_end(none), 1);
    EXPECT_EQ(oxlo_kd_result_item(none, nullptr), nullptr);
    oxlo_kd_result_free(none);

    ASSERT_EQ(oxlo_kd_tree_insert(h.t, p, nullptr), 1);
    oxlo_kd_result *r = oxlo_kd_tree_nearest(h.t, far);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(oxlo_kd_result_item(r, nullptr)[1], 4);
    EXPECT_EQ(oxlo_kd_result_next(r), 0);
    EXPECT_EQ(oxlo_kd_result_end(r), 1);
    oxlo_kd_result_free(r);
    EXPECT_EQ(oxlo_kd_tree_create(0), nullptr);
}

int destroyed = 0;
void count_destroyed(void *) { destroyed++; }

/* Runs the body on a thread with a 256 KiB stack: a search that recursed
 * once per level of a 20,000-deep chain would overflow it. */
template <typename F> void on_small_stack(F body)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto run = [](void *arg) -> void * {
        (*static_cast<F *>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &body), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

TEST(KdTree, long_chains_of_repeated_or_sorted_points_do_not_exhaust_the_stack)
{
    /* Identical points (all inserted to the right) and sorted points make
     * chains as deep as the input; searches and freeing must not recurse. */
    kd_holder same(2), sorted(1);
    oxlo_kd_tree_set_destructor(same.t, count_destroyed);
    double p[] = {0.5, 0.5};
    const int n = 20000;
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(oxlo_kd_tree_insert(same.t, p, nullptr), 1);
        double x = i;
        ASSERT_EQ(oxlo_kd_tree_insert(sorted.t, &x, nullptr), 1);
    }
    int range_hits = 0;
    double nearest_sorted = -1;
    destroyed = 0;
    on_small_stack([&] {
        double q[] = {0.5, 0.6}, x = n + 10;
        oxlo_kd_result *r = oxlo_kd_tree_nearest(same.t, q);
        if (r)
            oxlo_kd_result_free(r);
        r = oxlo_kd_tree_nearest_range(same.t, p, 0);
        range_hits = oxlo_kd_result_size(r);
        oxlo_kd_result_free(r);
        r = oxlo_kd_tree_nearest(sorted.t, &x);
        nearest_sorted = r ? oxlo_kd_result_item(r, nullptr)[0] : -1;
        oxlo_kd_result_free(r);
        oxlo_kd_tree_clear(same.t);
        oxlo_kd_tree_clear(sorted.t);
    });
    EXPECT_EQ(range_hits, n);
    EXPECT_EQ(nearest_sorted, n - 1);
    EXPECT_EQ(destroyed, n);
    EXPECT_EQ(same.t->root, nullptr);
}

TEST(BallTree, k_nearest_in_l1_agree_with_scipy)
{
    const int n = 1500, q = 100, d = 4, k = 5;
    std::mt19937 gen(8);
    std::normal_distribution<double> g(0, 1);
    std::vector<double> points, queries;
    for (int i = 0; i < n * d; i++)
        points.push_back(g(gen));
    for (int i = 0; i < q * d; i++)
        queries.push_back(g(gen) * 1.5);
    oxlo_ball_tree *t = oxlo_ball_tree_build(points.data(), n, d);
    ASSERT_NE(t, nullptr);
    oxlo_ball_result r = oxlo_ball_tree_query(t, queries.data(), q, d, k);
    ASSERT_EQ(r.num_queries, q);
    ASSERT_EQ(r.k, k);
    auto ref = reference::run("ball", {{"d", {d}}, {"k", {k}}, {"points", points}, {"queries", queries}});
    ASSERT_EQ(ref["distances"].size(), static_cast<size_t>(q * k));
    for (int i = 0; i < q * k; i++) {
        EXPECT_NEAR(r.distances[i], ref["distances"][i], 1e-9) << "query " << i / k;
        /* the index names a point at that distance */
        const double *p = &points[r.indices[i] * d];
        double l1 = 0;
        for (int j = 0; j < d; j++)
            l1 += std::fabs(p[j] - queries[(i / k) * d + j]);
        EXPECT_NEAR(l1, r.distances[i], 1e-12);
    }
    oxlo_ball_result_free(&r);
    oxlo_ball_tree_free(t);
}

TEST(BallTree, levels_follow_the_point_count_and_bad_queries_are_empty)
{
    struct {
        int n, levels, nodes;
    } cases[] = {{1, 1, 1}, {20, 1, 1}, {31, 1, 1}, {61, 2, 3}, {100, 2, 3}, {121, 3, 7}, {1000, 6, 63}};
    for (const auto &c : cases) {
        std::vector<double> pts(c.n * 2);
        for (int i = 0; i < c.n * 2; i++)
            pts[i] = i % 7;
        oxlo_ball_tree *t = oxlo_ball_tree_build(pts.data(), c.n, 2);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->levels, c.levels) << c.n;
        EXPECT_EQ(t->num_nodes, c.nodes) << c.n;
        double q[] = {1, 1};
        for (int k : {0, -1, c.n + 1}) {
            oxlo_ball_result r = oxlo_ball_tree_query(t, q, 1, 2, k);
            EXPECT_EQ(r.distances, nullptr) << c.n << " k " << k;
            EXPECT_EQ(r.num_queries, 0);
        }
        oxlo_ball_result r = oxlo_ball_tree_query(t, q, 1, 3, 1);
        EXPECT_EQ(r.distances, nullptr);
        r = oxlo_ball_tree_query(t, q, 1, 2, c.n); /* k = n: every point */
        ASSERT_NE(r.distances, nullptr);
        EXPECT_TRUE(std::is_sorted(r.distances, r.distances + c.n));
        std::set<int> all(r.indices, r.indices + c.n);
        EXPECT_EQ(all.size(), static_cast<size_t>(c.n));
        oxlo_ball_result_free(&r);
        oxlo_ball_tree_free(t);
    }
    double p[] = {0};
    EXPECT_EQ(oxlo_ball_tree_build(p, 0, 1), nullptr);
    EXPECT_EQ(oxlo_ball_tree_build(p, 1, 0), nullptr);
}

TEST(IsolationForest, planted_outliers_rank_first_like_sklearn)
{
    const int inliers = 1000, planted = 10, d = 3;
    std::mt19937 gen(12);
    std::normal_distribution<double> g(0, 1);
    std::vector<double> points;
    for (int i = 0; i < inliers * d; i++)
        points.push_back(g(gen));
    /* each outlier 10 sigma out in a direction of its own */
    for (int i = 0; i < planted; i++) {
        double v[d], norm = 0;
        for (double &x : v) {
            x = g(gen);
            norm += x * x;
        }
        for (double x : v)
            points.push_back(10 * x / std::sqrt(norm));
    }
    const int n = inliers + planted;
    std::srand(12);
    oxlo_isolation_forest *f = oxlo_isolation_forest_build(points.data(), n, d);
    ASSERT_NE(f, nullptr);
    EXPECT_GT(f->memory_bytes, sizeof(*f));
    std::vector<double> scores;
    for (int i = 0; i < n; i++) {
        double s = oxlo_isolation_forest_score(f, &points[i * d]);
        EXPECT_GT(s, 0);
        EXPECT_LE(s, 1);
        scores.push_back(s);
    }
    oxlo_isolation_forest_free(f);

    std::vector<double> in_scores(scores.begin(), scores.begin() + inliers);
    std::sort(in_scores.begin(), in_scores.end());
    double p99 = in_scores[static_cast<size_t>(0.99 * inliers)];
    for (int i = inliers; i < n; i++)
        EXPECT_GT(scores[i], p99) << "outlier " << i - inliers;

    auto ref = reference::run("iforest", {{"d", {d}}, {"planted", {planted}}, {"points", points}, {"ours", scores}});
    ASSERT_EQ(ref["spearman"].size(), 1u);
    EXPECT_EQ(ref["our_top"], ref["their_top"]);
    /* Hyperplane cuts and sklearn's axis cuts order the whole set alike
     * (the inliers deep in the cloud all reach the depth limit here, which
     * ties their scores and caps the correlation). */
    EXPECT_GT(ref["spearman"][0], 0.6);
}

TEST(IsolationForest, identical_points_make_right_chains)
{
    /* Every projection equals the split, none lies below it: every tree is a
     * chain reaching depth 10 on the right, and the training point scores
     * 2^(-10 / c(n)). */
    const int n = 64;
    std::vector<double> points(n * 2, 1.0);
    oxlo_isolation_forest *f = oxlo_isolation_forest_build(points.data(), n, 2);
    ASSERT_NE(f, nullptr);
    for (int t = 0; t < OXLO_IFOREST_TREES; t++) {
        const oxlo_iforest_node *node = f->trees[t];
        int depth = 0;
        while (!node->is_leaf) {
            ASSERT_TRUE(node->left->is_leaf);
            node = node->right;
            depth++;
        }
        EXPECT_EQ(depth, 10);
    }
    double c = 2 * (std::log(n - 1.0) + 0.5772156649) - 2.0 * (n - 1) / n;
    EXPECT_NEAR(oxlo_isolation_forest_score(f, points.data()), std::exp2(-10 / c), 1e-12);
    oxlo_isolation_forest_free(f);

    double one[] = {1, 2};
    f = oxlo_isolation_forest_build(one, 1, 2);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(std::isnan(oxlo_isolation_forest_score(f, one)));
    oxlo_isolation_forest_free(f);
    f = oxlo_isolation_forest_build(points.data(), 2, 2);
    ASSERT_NE(f, nullptr);
    /* c(2) = 1: two identical points go to depth 10 */
    EXPECT_NEAR(oxlo_isolation_forest_score(f, points.data()), std::exp2(-10.0), 1e-12);
    oxlo_isolation_forest_free(f);
}

} // namespace
