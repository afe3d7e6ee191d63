#include "oxlo_bins.h"

#include "oxlo_memory.h"
#include "reference_runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct bins_holder {
    oxlo_bins b;
    bins_holder(uint32_t family, uint16_t n) { EXPECT_EQ(oxlo_bins_init(&b, family, n), 0); }
    ~bins_holder() { oxlo_bins_free(&b); }
    std::string text(int normalize = 0)
    {
        char out[256];
        return oxlo_bins_print(&b, normalize, out, sizeof(out));
    }
};

TEST(Bins, counts_normalise_and_print_in_every_width)
{
    for (uint32_t family : {OXLO_BINS_8, OXLO_BINS_16, OXLO_BINS_32, OXLO_BINS_64}) {
        bins_holder h(family, 3);
        oxlo_bins_inc(&h.b, 0, 1);
        oxlo_bins_inc(&h.b, 1, 1);
        oxlo_bins_inc(&h.b, 2, 2);
        EXPECT_EQ(h.text(), "1,1,2") << family;
        EXPECT_EQ(h.text(1), "25,25,50") << family;
        oxlo_bins_reset(&h.b);
        EXPECT_EQ(h.b.is_empty, 1);
        EXPECT_EQ(h.text(), "0,0,0");
    }
}

TEST(Bins, index_past_the_end_addresses_the_last_bin)
{
    bins_holder h(OXLO_BINS_16, 4);
    oxlo_bins_inc(&h.b, 4, 3);
    oxlo_bins_inc(&h.b, 65535, 4);
    oxlo_bins_set(&h.b, 1000, 9);
    EXPECT_EQ(oxlo_bins_get(&h.b, 3), 9u);
    EXPECT_EQ(oxlo_bins_get(&h.b, 70), 9u);
    EXPECT_EQ(h.text(), "0,0,0,9");
}

TEST(Bins, set_only_histogram_is_left_alone_by_normalisation)
{
    bins_holder h(OXLO_BINS_32, 2);
    oxlo_bins_set(&h.b, 0, 3);
    oxlo_bins_set(&h.b, 1, 1);
    oxlo_bins_normalize(&h.b);
    EXPECT_EQ(h.text(), "3,1");
}

TEST(Bins, refuses_zero_bins_and_tolerates_unknown_family)
{
    oxlo_bins b;
    EXPECT_EQ(oxlo_bins_init(nullptr, OXLO_BINS_8, 3), -1);
    EXPECT_EQ(oxlo_bins_init(&b, OXLO_BINS_8, 0), -1);
    oxlo_bins_inc(&b, 0, 1); /* no counters: nothing written */
    EXPECT_EQ(oxlo_bins_get(&b, 0), 0u);
    EXPECT_EQ(oxlo_bins_init(&b, 9, 3), 0);
    EXPECT_EQ(b.u.bins8, nullptr);
    EXPECT_EQ(oxlo_bins_clone(&b), nullptr);
    char out[8];
    EXPECT_STREQ(oxlo_bins_print(&b, 1, out, sizeof(out)), "");
    oxlo_bins_free(&b);
}

TEST(Bins, wide_counters_neither_wrap_the_total_nor_get_cut)
{
    /* 3 x 2^31 and 2^32 sum to 5 x 2^31: a 32-bit total wraps to 2^31 and
     * the first bin would come out as 300 percent. */
    bins_holder a(OXLO_BINS_64, 2), b(OXLO_BINS_64, 2);
    oxlo_bins_inc(&a.b, 0, 3ull << 31);
    oxlo_bins_inc(&a.b, 1, 1ull << 32);
    EXPECT_EQ(a.text(1), "60,40");

    oxlo_bins_set(&a.b, 0, 5ull << 32);
    oxlo_bins_set(&a.b, 1, 0);
    oxlo_bins_set(&b.b, 0, 0);
    oxlo_bins_set(&b.b, 1, 0);
    EXPECT_FLOAT_EQ(oxlo_bins_similarity(&a.b, &b.b, 0, 0), 5.0f * 4294967296.0f);
    /* and the difference is signed either way round */
    EXPECT_FLOAT_EQ(oxlo_bins_similarity(&b.b, &a.b, 0, 0), 5.0f * 4294967296.0f);
}

TEST(Bins, similarity_distance_threshold_and_errors)
{
    bins_holder a(OXLO_BINS_16, 3), b(OXLO_BINS_16, 3), c(OXLO_BINS_16, 4);
    oxlo_bins_set(&a.b, 0, 3);
    oxlo_bins_set(&b.b, 1, 4);
    EXPECT_FLOAT_EQ(oxlo_bins_similarity(&a.b, &b.b, 0, 0), 5.0f);
    EXPECT_FLOAT_EQ(oxlo_bins_similarity(&a.b, &b.b, 0, 5.0f), 5.0f);
    EXPECT_FLOAT_EQ(oxlo_bins_similarity(&a.b, &b.b, 0, 4.9f), -2.0f);
    EXPECT_FLOAT_EQ(oxlo_bins_similarity(&a.b, &c.b, 0, 0), -1.0f);
    EXPECT_FLOAT_EQ(oxlo_bins_similarity(nullptr, &b.b, 0, 0), -1.0f);
}

TEST(Bins, print_stops_before_a_piece_that_does_not_fit)
{
    bins_holder h(OXLO_BINS_8, 3);
    for (uint16_t i = 0; i < 3; i++)
        oxlo_bins_set(&h.b, i, 100 + i);
    struct {
        size_t size;
        const char *text;
    } cases[] = {{1, ""}, {3, ""}, {4, "100"}, {7, "100"}, {8, "100,101"}, {12, "100,101,102"}};
    for (const auto &c : cases) {
        char out[16];
        std::memset(out, 'x', sizeof(out));
        EXPECT_STREQ(oxlo_bins_print(&h.b, 0, out, c.size), c.text) << c.size;
        EXPECT_EQ(out[c.size], 'x') << "wrote past size " << c.size;
    }
}

TEST(Bins, clone_copies_counters)
{
    bins_holder h(OXLO_BINS_32, 2);
    oxlo_bins_inc(&h.b, 1, 7);
    oxlo_bins *copy = oxlo_bins_clone(&h.b);
    ASSERT_NE(copy, nullptr);
    oxlo_bins_inc(&h.b, 1, 1);
    EXPECT_EQ(oxlo_bins_get(copy, 1), 7u);
    EXPECT_EQ(copy->is_empty, 0);
    oxlo_bins_free(copy);
    oxlo_heap_free(copy);
}

/* 300 percentage histograms around three well-separated profiles. */
struct profile_set {
    std::vector<oxlo_bins> bins;
    std::vector<double> truth, flat;
    explicit profile_set(unsigned seed, int count = 300)
    {
        static const int profiles[3][6] = {{50, 30, 10, 5, 3, 2}, {2, 5, 40, 40, 8, 5}, {5, 5, 5, 10, 25, 50}};
        std::mt19937 gen(seed);
        std::uniform_int_distribution<int> noise(-2, 2);
        bins.resize(count);
        for (int i = 0; i < count; i++) {
            int p = i % 3;
            EXPECT_EQ(oxlo_bins_init(&bins[i], OXLO_BINS_16, 6), 0);
            for (uint16_t j = 0; j < 6; j++) {
                int v = profiles[p][j] + noise(gen);
                v = v < 0 ? 0 : v;
                oxlo_bins_inc(&bins[i], j, static_cast<uint64_t>(v));
                flat.push_back(v);
            }
            truth.push_back(p);
        }
    }
    ~profile_set()
    {
        for (auto &b : bins)
            oxlo_bins_free(&b);
    }
};

TEST(BinsCluster, recovers_separated_profiles_like_sklearn_kmeans)
{
    /* The start is a random partition, so the centroids begin near the
     * overall mean and a cluster can lose every member for good; what must
     * hold on every start is that no profile is split, and on most starts
     * the three profiles come out exactly, as sklearn's k-means finds them. */
    profile_set set(1);
    reference::arrays in = {{"k", {3}}, {"bins", {6}}, {"x", set.flat}, {"truth", set.truth}};
    const unsigned seeds[] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (unsigned seed : seeds) {
        std::vector<uint16_t> ids(set.bins.size());
        std::srand(seed);
        ASSERT_EQ(oxlo_bins_cluster(set.bins.data(), static_cast<uint32_t>(set.bins.size()), 3, ids.data(),
                                    nullptr),
                  0);
        auto &ours = in["ours" + std::to_string(seed)];
        for (size_t i = 0; i < ids.size(); i++) {
            ASSERT_LT(ids[i], 3);
            EXPECT_EQ(ids[i], ids[i % 3]) << "profile " << i % 3 << " split, seed " << seed;
            ours.push_back(ids[i]);
        }
    }
    auto out = reference::run("kmeans", in);
    ASSERT_EQ(out["ari_truth"].size(), std::size(seeds));
    int perfect = 0;
    for (size_t i = 0; i < std::size(seeds); i++)
        if (out["ari_truth"][i] == 1.0 && out["ari_kmeans"][i] == 1.0)
            perfect++;
    EXPECT_GE(perfect, 4) << perfect << " of " << std::size(seeds);
}

TEST(BinsCluster, caps_clusters_and_checks_arguments)
{
    profile_set set(7);
    std::vector<uint16_t> ids(set.bins.size());
    uint32_t n = static_cast<uint32_t>(set.bins.size());
    ASSERT_EQ(oxlo_bins_cluster(set.bins.data(), n, 200, ids.data(), nullptr), 0);
    for (uint16_t id : ids)
        EXPECT_LT(id, 128);

    /* count below the cluster number: at most count clusters */
    ASSERT_EQ(oxlo_bins_cluster(set.bins.data(), 2, 5, ids.data(), nullptr), 0);
    EXPECT_LT(ids[0], 2);
    EXPECT_LT(ids[1], 2);

    EXPECT_EQ(oxlo_bins_cluster(nullptr, n, 3, ids.data(), nullptr), -1);
    EXPECT_EQ(oxlo_bins_cluster(set.bins.data(), n, 3, nullptr, nullptr), -1);
    EXPECT_EQ(oxlo_bins_cluster(set.bins.data(), 0, 3, ids.data(), nullptr), -1);
    EXPECT_EQ(oxlo_bins_cluster(set.bins.data(), n, 0, ids.data(), nullptr), -1);

    oxlo_bins wrong[3];
    for (auto &c : wrong)
        oxlo_bins_init(&c, OXLO_BINS_32, 5);
    EXPECT_EQ(oxlo_bins_cluster(set.bins.data(), n, 3, ids.data(), wrong), -1);
    for (auto &c : wrong)
        oxlo_bins_free(&c);
}

TEST(BinsCluster, caller_centroids_receive_the_profiles)
{
    profile_set set(11);
    std::vector<uint16_t> ids(set.bins.size());
    oxlo_bins centroids[3];
    for (auto &c : centroids)
        ASSERT_EQ(oxlo_bins_init(&c, OXLO_BINS_32, 6), 0);
    std::srand(11);
    ASSERT_EQ(oxlo_bins_cluster(set.bins.data(), static_cast<uint32_t>(set.bins.size()), 3, ids.data(),
                                centroids),
              0);
    /* The centroid of each histogram's cluster is its profile in percent. */
    for (size_t i = 0; i < 3; i++) {
        float d = oxlo_bins_similarity(&set.bins[i], &centroids[ids[i]], 0, 0);
        EXPECT_LT(d, 8.0f) << i;
    }
    for (auto &c : centroids)
        oxlo_bins_free(&c);
}

TEST(BinsCluster, draws_from_the_shared_generator_without_reseeding_it)
{
    /* The clustering takes one number per histogram from rand() and leaves
     * the caller's seeding alone, so other users of the generator keep the
     * sequence they seeded. */
    profile_set set(3, 30);
    std::vector<uint16_t> ids(set.bins.size());
    std::srand(4242);
    for (size_t i = 0; i < set.bins.size(); i++)
        std::rand();
    int expected = std::rand();
    std::srand(4242);
    ASSERT_EQ(oxlo_bins_cluster(set.bins.data(), static_cast<uint32_t>(set.bins.size()), 3, ids.data(),
                                nullptr),
              0);
    EXPECT_EQ(std::rand(), expected);
}

} // namespace
