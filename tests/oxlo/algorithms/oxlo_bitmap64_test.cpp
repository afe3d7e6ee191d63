#include "oxlo_bitmap64.h"

#include "oxlo_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace {

struct bitmap_holder {
    oxlo_bitmap64 *b;
    explicit bitmap_holder(oxlo_bitmap64 *p = oxlo_bitmap64_new()) : b(p) {}
    ~bitmap_holder() { oxlo_bitmap64_free(b); }
    bitmap_holder(const bitmap_holder &) = delete;
    bitmap_holder &operator=(const bitmap_holder &) = delete;
};

std::vector<uint64_t> values_of(const oxlo_bitmap64 *b)
{
    std::vector<uint64_t> out;
    oxlo_bitmap64_iterator *it = oxlo_bitmap64_iterator_new(b);
    EXPECT_NE(it, nullptr);
    uint64_t v = 0;
    while (oxlo_bitmap64_iterator_next(it, &v))
        out.push_back(v);
    oxlo_bitmap64_iterator_free(it);
    return out;
}

std::vector<uint64_t> values_of(const std::set<uint64_t> &s) { return {s.begin(), s.end()}; }

/* Values spread over a few high parts and clustered in their low parts, so
 * that arrays, bitsets and (after optimize) runs all occur. */
uint64_t random_value(std::mt19937_64 &rng)
{
    static const uint64_t highs[] = {0, 1, 0xFFFFFFFFull, 0x12345678ull};
    const uint64_t high = highs[rng() % 4];
    const uint64_t low = (rng() % 3 == 0) ? rng() % 70000 : uint32_t(rng());
    return high << 32 | low;
}

std::string serialized(const oxlo_bitmap64 *b)
{
    char *buffer = nullptr;
    const size_t n = oxlo_bitmap64_serialize(b, &buffer);
    std::string out(buffer ? buffer : "", n);
    oxlo_heap_free(buffer);
    return out;
}

void put16(std::string &s, uint16_t v) { s.append(reinterpret_cast<const char *>(&v), 2); }
void put32(std::string &s, uint32_t v) { s.append(reinterpret_cast<const char *>(&v), 4); }
void put64(std::string &s, uint64_t v) { s.append(reinterpret_cast<const char *>(&v), 8); }

/* One high part holding one array container with the given values, in the
 * serialized form (portable roaring layout without run containers). */
std::string one_array_form(uint32_t high, const std::vector<uint16_t> &values)
{
    std::string s;
    put64(s, 1);
    put32(s, high);
    put32(s, 12346); /* cookie: no run containers */
    put32(s, 1);     /* one container */
    put16(s, 0);     /* its key */
    put16(s, uint16_t(values.size() - 1));
    put32(s, 4 + 4 + 4 + 4); /* offset of the container's data */
    for (uint16_t v : values)
        put16(s, v);
    return s;
}

TEST(Bitmap64, extreme_values)
{
    bitmap_holder h;
    ASSERT_NE(h.b, nullptr);
    EXPECT_TRUE(oxlo_bitmap64_is_empty(h.b));
    for (uint64_t v : {uint64_t(0), uint64_t(1) << 32, ~uint64_t(0)})
        oxlo_bitmap64_add(h.b, v);
    EXPECT_EQ(oxlo_bitmap64_cardinality(h.b), 3u);
    for (uint64_t v : {uint64_t(0), uint64_t(1) << 32, ~uint64_t(0)})
        EXPECT_TRUE(oxlo_bitmap64_contains(h.b, v)) << v;
    EXPECT_FALSE(oxlo_bitmap64_contains(h.b, 1));
    EXPECT_FALSE(oxlo_bitmap64_is_empty(h.b));
    EXPECT_EQ(values_of(h.b), (std::vector<uint64_t>{0, uint64_t(1) << 32, ~uint64_t(0)}));
}

TEST(Bitmap64, operations_follow_a_set_reference)
{
    std::mt19937_64 rng(20261210);
    for (int round = 0; round < 4; round++) {
        bitmap_holder a, b;
        std::set<uint64_t> ra, rb;
        for (int i = 0; i < 6000; i++) {
            const uint64_t v = random_value(rng);
            if (rng() % 5 == 0) {
                oxlo_bitmap64_remove(a.b, v);
                ra.erase(v);
            } else {
                oxlo_bitmap64_add(a.b, v);
                ra.insert(v);
            }
            const uint64_t w = random_value(rng);
            oxlo_bitmap64_add(b.b, w);
            rb.insert(w);
        }
        /* Shared values, so that AND and XOR have something to do. */
        for (auto it = ra.begin(); it != ra.end(); std::advance(it, 3)) {
            oxlo_bitmap64_add(b.b, *it);
            rb.insert(*it);
            if (std::distance(it, ra.end()) < 3)
                break;
        }
        ASSERT_EQ(oxlo_bitmap64_cardinality(a.b), ra.size());
        ASSERT_EQ(values_of(a.b), values_of(ra));
        for (int i = 0; i < 2000; i++) {
            const uint64_t v = random_value(rng);
            ASSERT_EQ(oxlo_bitmap64_contains(a.b, v) != 0, ra.count(v) == 1) << v;
        }

        std::set<uint64_t> r_and, r_or, r_andnot, r_xor;
        std::set_intersection(ra.begin(), ra.end(), rb.begin(), rb.end(), std::inserter(r_and, r_and.end()));
        std::set_union(ra.begin(), ra.end(), rb.begin(), rb.end(), std::inserter(r_or, r_or.end()));
        std::set_difference(ra.begin(), ra.end(), rb.begin(), rb.end(), std::inserter(r_andnot, r_andnot.end()));
        std::set_symmetric_difference(ra.begin(), ra.end(), rb.begin(), rb.end(),
                                      std::inserter(r_xor, r_xor.end()));
        ASSERT_FALSE(r_and.empty());

        bitmap_holder n_and(oxlo_bitmap64_and(a.b, b.b)), n_or(oxlo_bitmap64_or(a.b, b.b));
        EXPECT_EQ(values_of(n_and.b), values_of(r_and));
        EXPECT_EQ(values_of(n_or.b), values_of(r_or));

        struct inplace_case {
            void (*op)(oxlo_bitmap64 *, const oxlo_bitmap64 *);
            const std::set<uint64_t> *expected;
        } cases[] = {{oxlo_bitmap64_and_inplace, &r_and},
                     {oxlo_bitmap64_or_inplace, &r_or},
                     {oxlo_bitmap64_andnot_inplace, &r_andnot},
                     {oxlo_bitmap64_xor_inplace, &r_xor}};
        for (const inplace_case &c : cases) {
            bitmap_holder copy(oxlo_bitmap64_copy(a.b));
            c.op(copy.b, b.b);
            EXPECT_EQ(values_of(copy.b), values_of(*c.expected));
        }
        /* Run form changes the containers, never the values. */
        bitmap_holder runs(oxlo_bitmap64_copy(n_or.b));
        for (uint64_t v = 1000; v < 5000; v++)
            oxlo_bitmap64_add(runs.b, v);
        std::set<uint64_t> r_runs = r_or;
        for (uint64_t v = 1000; v < 5000; v++)
            r_runs.insert(v);
        EXPECT_TRUE(oxlo_bitmap64_optimize(runs.b));
        EXPECT_EQ(values_of(runs.b), values_of(r_runs));

        /* The serialized form reads back as the same set, with runs too. */
        for (const oxlo_bitmap64 *src : {a.b, runs.b}) {
            const std::string form = serialized(src);
            ASSERT_FALSE(form.empty());
            bitmap_holder back(oxlo_bitmap64_deserialize(form.data(), form.size()));
            ASSERT_NE(back.b, nullptr);
            EXPECT_EQ(values_of(back.b), values_of(src));
        }
    }
}

TEST(Bitmap64, serialized_form_cut_or_damaged_is_refused)
{
    bitmap_holder h;
    for (uint64_t v : {uint64_t(3), uint64_t(70000), uint64_t(5) << 32, ~uint64_t(0)})
        oxlo_bitmap64_add(h.b, v);
    const std::string form = serialized(h.b);
    ASSERT_GT(form.size(), 8u);
    for (size_t n = 0; n < form.size(); n++)
        EXPECT_EQ(oxlo_bitmap64_deserialize(form.data(), n), nullptr) << "cut to " << n;

    /* Unaligned input is read like aligned input. */
    std::string shifted = " " + form;
    bitmap_holder unaligned(oxlo_bitmap64_deserialize(shifted.data() + 1, form.size()));
    ASSERT_NE(unaligned.b, nullptr);
    EXPECT_EQ(values_of(unaligned.b), values_of(h.b));

    /* Containers the bitmap library would trust as they are: values out of
     * order, a repeated value, a part key out of order, a huge part count. */
    const std::string good = one_array_form(7, {3, 5});
    bitmap_holder ok(oxlo_bitmap64_deserialize(good.data(), good.size()));
    ASSERT_NE(ok.b, nullptr);
    EXPECT_EQ(values_of(ok.b), (std::vector<uint64_t>{uint64_t(7) << 32 | 3, uint64_t(7) << 32 | 5}));
    std::string keys_out_of_order = good;
    keys_out_of_order[0] = 2;
    keys_out_of_order += good.substr(8);
    std::string many_parts = good;
    many_parts[7] = 0x7F;
    const std::string bad[] = {one_array_form(7, {5, 3}), one_array_form(7, {4, 4}), keys_out_of_order,
                               many_parts};
    for (const std::string &b : bad)
        EXPECT_EQ(oxlo_bitmap64_deserialize(b.data(), b.size()), nullptr);

    /* A bitset container whose stored count is not its real one. */
    std::string bitset;
    put64(bitset, 1);
    put32(bitset, 0);
    put32(bitset, 12346);
    put32(bitset, 1);
    put16(bitset, 0);
    put16(bitset, 4999); /* claims 5000 values */
    put32(bitset, 16);
    bitset.append(8192, '\0');
    bitset[bitset.size() - 8192] = 1; /* holds one */
    EXPECT_EQ(oxlo_bitmap64_deserialize(bitset.data(), bitset.size()), nullptr);
}

TEST(Bitmap64, empty_and_null_handles)
{
    bitmap_holder h;
    EXPECT_TRUE(values_of(h.b).empty());
    const std::string form = serialized(h.b);
    bitmap_holder back(oxlo_bitmap64_deserialize(form.data(), form.size()));
    ASSERT_NE(back.b, nullptr);
    EXPECT_TRUE(oxlo_bitmap64_is_empty(back.b));

    oxlo_bitmap64_add(nullptr, 1);
    oxlo_bitmap64_remove(nullptr, 1);
    oxlo_bitmap64_and_inplace(nullptr, h.b);
    EXPECT_FALSE(oxlo_bitmap64_contains(nullptr, 1));
    EXPECT_EQ(oxlo_bitmap64_cardinality(nullptr), 0u);
    EXPECT_EQ(oxlo_bitmap64_copy(nullptr), nullptr);
    EXPECT_EQ(oxlo_bitmap64_or(h.b, nullptr), nullptr);
    EXPECT_EQ(oxlo_bitmap64_iterator_new(nullptr), nullptr);
    EXPECT_EQ(oxlo_bitmap64_iterator_next(nullptr, nullptr), 0);
    char *buffer = reinterpret_cast<char *>(1);
    EXPECT_EQ(oxlo_bitmap64_serialize(nullptr, &buffer), 0u);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(oxlo_bitmap64_deserialize(nullptr, 100), nullptr);
}

TEST(Bitmap64, container_memory_reaches_the_allocation_counter)
{
    const uint64_t before = oxlo_allocated_bytes();
    {
        bitmap_holder h;
        /* 100,000 values in arrays of 1,000 (2 bytes a value): at least
         * 200 KB held, twice with the copy. */
        for (uint64_t v = 0; v < 100000; v++)
            oxlo_bitmap64_add(h.b, (v / 1000) << 16 | (v % 1000) * 7);
        bitmap_holder copy(oxlo_bitmap64_copy(h.b));
        ASSERT_NE(copy.b, nullptr);
    }
    /* Single adds are counted in batches of about 1/16 of the size already
     * counted, so the last batch may still be pending. */
    EXPECT_GE(oxlo_allocated_bytes() - before, 2u * 200000u * 15u / 16u);
}

} // namespace
