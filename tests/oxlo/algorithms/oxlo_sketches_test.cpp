#include "oxlo_sketches.h"

#include "oxlo_hash.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

TEST(Murmur3, published_vectors)
{
    struct {
        const char *data;
        uint32_t length, seed, hash;
    } cases[] = {
        {"", 0, 0, 0},
        {"", 0, 1, 0x514E28B7},
        {"", 0, 0xFFFFFFFF, 0x81F16F39},
        {"\0\0\0\0", 4, 0, 0x2362F9DE},
        {"Hello, world!", 13, 0x9747B28C, 0x24884CBA},
        {"aaaa", 4, 0x9747B28C, 0x5A97808A},
        {"abc", 3, 0, 0xB3DD93FA},
    };
    for (const auto &c : cases)
        EXPECT_EQ(oxlo_murmur3_32(c.data, c.length, c.seed), c.hash) << c.data << " seed " << c.seed;
    /* a null buffer hashes only the length */
    EXPECT_EQ(oxlo_murmur3_32(nullptr, 0, 1), 0x514E28B7u);
    EXPECT_EQ(oxlo_murmur3_32(nullptr, 5, 7), oxlo_murmur3_32("", 0, 7 ^ 5));
}

struct hll_holder {
    oxlo_hyperloglog h;
    explicit hll_holder(uint8_t bits) { EXPECT_EQ(oxlo_hyperloglog_init(&h, bits), 0); }
    ~hll_holder() { oxlo_hyperloglog_destroy(&h); }
};

TEST(HyperLogLog, register_bits_range)
{
    struct {
        int bits, result, err;
    } cases[] = {{3, -1, ERANGE}, {4, 0, 0}, {20, 0, 0}, {21, -1, ERANGE}, {0, -1, ERANGE}};
    for (const auto &c : cases) {
        oxlo_hyperloglog h = {};
        errno = 0;
        EXPECT_EQ(oxlo_hyperloglog_init(&h, static_cast<uint8_t>(c.bits)), c.result) << c.bits;
        EXPECT_EQ(errno, c.err) << c.bits;
        if (c.result == 0) {
            EXPECT_EQ(h.num_registers, 1ull << c.bits);
        }
        oxlo_hyperloglog_destroy(&h);
    }
    errno = 0;
    EXPECT_EQ(oxlo_hyperloglog_init(nullptr, 10), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(HyperLogLog, million_distinct_within_stated_error)
{
    /* 1.04 / sqrt(2^14) = 0.81% standard error; 3 sigma is 2.5%. */
    hll_holder hll(14);
    EXPECT_EQ(oxlo_hyperloglog_count(&hll.h), 0.0);
    std::mt19937 gen(99);
    std::vector<uint32_t> values(1000000);
    uint32_t start = gen();
    for (uint32_t i = 0; i < values.size(); i++)
        values[i] = start + i * 2654435761u; /* distinct: odd multiplier */
    for (uint32_t v : values)
        oxlo_hyperloglog_add_number(&hll.h, v);
    double first = oxlo_hyperloglog_count(&hll.h);
    EXPECT_NEAR(first, 1e6, 0.025 * 1e6);
    int grew = 0;
    for (uint32_t v : values)
        grew += oxlo_hyperloglog_add_number(&hll.h, v);
    EXPECT_EQ(grew, 0);
    EXPECT_EQ(oxlo_hyperloglog_count(&hll.h), first);
    oxlo_hyperloglog_reset(&hll.h);
    EXPECT_EQ(oxlo_hyperloglog_count(&hll.h), 0.0);
}

TEST(HyperLogLog, small_and_mid_range_estimates)
{
    for (uint8_t bits : {4, 5, 6, 10}) {
        hll_holder hll(bits);
        for (uint32_t i = 0; i < 20000; i++)
            oxlo_hyperloglog_add(&hll.h, &i, sizeof(i));
        double sigma = 1.04 / std::sqrt(static_cast<double>(1u << bits));
        EXPECT_NEAR(oxlo_hyperloglog_count(&hll.h), 20000, 4 * sigma * 20000) << int(bits);
    }
    hll_holder hll(12);
    for (uint32_t i = 0; i < 100; i++)
        oxlo_hyperloglog_add_number(&hll.h, i);
    EXPECT_NEAR(oxlo_hyperloglog_count(&hll.h), 100, 3); /* linear counting */
}

TEST(HyperLogLog, saturated_registers_give_a_finite_estimate)
{
    /* Every register at its top rank pushes the raw estimate past 2^32,
     * where the large-range correction would take the log of a negative
     * number. With the fixed seed, chosen input gets there. */
    for (uint8_t bits : {4, 14, 20}) {
        hll_holder hll(bits);
        std::memset(hll.h.registers, 33 - bits, hll.h.num_registers);
        double e = oxlo_hyperloglog_count(&hll.h);
        EXPECT_TRUE(std::isfinite(e)) << int(bits);
        EXPECT_GT(e, 4294967296.0) << int(bits);
    }
}

TEST(HyperLogLog, rank_is_capped_by_the_index_bits)
{
    hll_holder hll(4);
    std::mt19937 gen(5);
    for (int i = 0; i < 200000; i++)
        oxlo_hyperloglog_add_number(&hll.h, gen());
    for (uint64_t i = 0; i < hll.h.num_registers; i++)
        EXPECT_LE(hll.h.registers[i], 29);
}

struct cms_holder {
    oxlo_count_min_sketch *s;
    explicit cms_holder(uint32_t depth) : s(oxlo_count_min_sketch_alloc(depth)) {}
    ~cms_holder() { oxlo_count_min_sketch_free(s); }
};

TEST(CountMin, depth_is_a_power_of_two_of_at_least_two)
{
    struct {
        uint32_t asked;
        uint16_t depth;
    } cases[] = {{0, 2}, {1, 2}, {2, 2}, {3, 4}, {5, 8}, {32768, 32768}};
    for (const auto &c : cases) {
        cms_holder h(c.asked);
        ASSERT_NE(h.s, nullptr) << c.asked;
        EXPECT_EQ(h.s->depth, c.depth);
        EXPECT_EQ(h.s->mask, c.depth * 1024u - 1);
        EXPECT_EQ(oxlo_count_min_sketch_count(h.s, 12345), 0u);
    }
    /* 65,536 rows would not fit the 16-bit depth */
    EXPECT_EQ(oxlo_count_min_sketch_alloc(32769), nullptr);
    EXPECT_EQ(oxlo_count_min_sketch_alloc(0xFFFFFFFF), nullptr);
    EXPECT_EQ(oxlo_count_min_sketch_count(nullptr, 1), 0u);
}

TEST(CountMin, one_add_counts_one_for_any_hash)
{
    /* With rows sharing cells through (hash x i) & mask, hash 0 or a
     * multiple of the array size would put all its increments in one cell
     * and read back as the depth. */
    cms_holder h(3);
    uint32_t hashes[] = {0, 4096, 8192, 0x80000000u, 1, 0xFFFFFFFF};
    for (uint32_t hash : hashes) {
        oxlo_count_min_sketch_add(h.s, hash);
        EXPECT_EQ(oxlo_count_min_sketch_count(h.s, hash), 1u) << hash;
    }
}

TEST(CountMin, zipf_stream_is_never_under_counted)
{
    cms_holder h(4);
    std::mt19937 gen(17);
    /* Zipf(1.1) over 50,000 ranks by inverse transform on the weights. */
    const int ranks = 50000;
    std::vector<double> weights(ranks);
    for (int r = 0; r < ranks; r++)
        weights[r] = 1.0 / std::pow(r + 1, 1.1);
    std::discrete_distribution<int> zipf(weights.begin(), weights.end());
    std::unordered_map<uint32_t, uint32_t> truth;
    for (int i = 0; i < 100000; i++) {
        uint32_t item = static_cast<uint32_t>(zipf(gen));
        uint32_t hash = oxlo_murmur3_32(&item, 4, 0);
        truth[hash]++;
        oxlo_count_min_sketch_add(h.s, hash);
    }
    uint64_t over = 0;
    for (const auto &[hash, count] : truth) {
        uint32_t estimate = oxlo_count_min_sketch_count(h.s, hash);
        ASSERT_GE(estimate, count) << hash;
        over += estimate - count;
    }
    /* and the heavy hitters come out close: most estimates are exact */
    EXPECT_LT(static_cast<double>(over) / truth.size(), 50.0);
}

TEST(CountMin, counters_saturate_instead_of_wrapping)
{
    cms_holder h(2);
    oxlo_count_min_sketch_add(h.s, 77);
    for (uint32_t i = 0; i <= h.s->mask; i++)
        if (h.s->counters[i])
            h.s->counters[i] = UINT32_MAX;
    oxlo_count_min_sketch_add(h.s, 77);
    EXPECT_EQ(oxlo_count_min_sketch_count(h.s, 77), UINT32_MAX);
}

} // namespace
