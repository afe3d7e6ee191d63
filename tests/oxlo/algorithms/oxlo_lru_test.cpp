#include "oxlo_lru.h"

#include "oxlo_hash.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct table_holder {
    oxlo_lru_table *t;
    table_holder(uint32_t n, uint32_t ttl, int shared = 0) : t(oxlo_lru_table_alloc(n, ttl, shared)) {}
    ~table_holder() { oxlo_lru_table_free(t); }
};

uint32_t slot_index(uint64_t key, uint32_t n) { return djb2_hash(&key, sizeof(key)) % n; }

TEST(LruTable, expiry_by_time_to_live)
{
    struct {
        uint32_t ttl, written, now;
        bool hit;
    } cases[] = {
        {120, 1000, 1000, true},  {120, 1000, 1120, true},     {120, 1000, 1121, false},
        {120, 1000, 999, false},  /* clock earlier than the write */
        {0, 1000, 0xffffffff, true}, {0, 1000, 999, false},
    };
    for (const auto &c : cases) {
        table_holder h(64, c.ttl);
        ASSERT_NE(h.t, nullptr);
        oxlo_lru_table_add(h.t, 42, 7, c.written);
        uint16_t v = 0;
        EXPECT_EQ(oxlo_lru_table_find(h.t, 42, &v, 0, c.now), c.hit ? 1 : 0)
            << "ttl " << c.ttl << " written " << c.written << " now " << c.now;
        if (c.hit) {
            EXPECT_EQ(v, 7);
        }
    }
}

TEST(LruTable, colliding_keys_evict_and_remove_flag_empties)
{
    table_holder h(16, 300);
    uint64_t a = 1, b = 2;
    while (slot_index(b, 16) != slot_index(a, 16))
        b++;
    uint16_t v = 0;
    oxlo_lru_table_add(h.t, a, 0xffff, 10);
    EXPECT_EQ(oxlo_lru_table_find(h.t, a, &v, 0, 10), 1);
    EXPECT_EQ(v, 0xffff);
    oxlo_lru_table_add(h.t, b, 5, 11);
    EXPECT_EQ(oxlo_lru_table_find(h.t, a, &v, 0, 11), 0);
    EXPECT_EQ(oxlo_lru_table_find(h.t, b, &v, 1, 11), 1);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(oxlo_lru_table_find(h.t, b, &v, 1, 11), 0);

    oxlo_lru_stats st;
    oxlo_lru_table_get_stats(h.t, &st);
    EXPECT_EQ(st.n_insert, 2u);
    EXPECT_EQ(st.n_search, 4u);
    EXPECT_EQ(st.n_found, 2u);
    oxlo_lru_table_get_stats(nullptr, &st);
    EXPECT_EQ(st.n_insert + st.n_search + st.n_found, 0u);
}

TEST(LruTable, null_and_empty_tables)
{
    uint16_t v = 0;
    EXPECT_EQ(oxlo_lru_table_alloc(0, 10, 0), nullptr); /* no slot to divide by */
    EXPECT_EQ(oxlo_lru_table_find(nullptr, 1, &v, 0, 0), 0);
    oxlo_lru_table_add(nullptr, 1, 1, 0);
    oxlo_lru_table_free(nullptr);
}

TEST(LruTable, shared_table_is_consistent_across_threads)
{
    table_holder h(1024, 0, 1);
    ASSERT_NE(h.t, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&h, i] {
            for (uint64_t k = 0; k < 2000; k++) {
                uint16_t v;
                oxlo_lru_table_add(h.t, k * 4 + i, 1, 1);
                oxlo_lru_table_find(h.t, k * 4 + i, &v, 0, 1);
            }
        });
    for (auto &t : threads)
        t.join();
    oxlo_lru_stats st;
    oxlo_lru_table_get_stats(h.t, &st);
    EXPECT_EQ(st.n_insert, 8000u);
    EXPECT_EQ(st.n_search, 8000u);
}

TEST(LruTable, shared_context_holds_and_frees_caches)
{
    oxlo_shared_context *ctx = shared_context_new();
    ASSERT_NE(ctx, nullptr);
    ctx->lru[OXLO_LRU_BITTORRENT] = oxlo_lru_table_alloc(32768, 300, 1);
    oxlo_lru_table_add(ctx->lru[OXLO_LRU_BITTORRENT], 9, 3, 0);
    oxlo_lru_stats st;
    EXPECT_EQ(oxlo_lru_stats_by_kind(ctx, nullptr, OXLO_LRU_BITTORRENT, &st), 0);
    EXPECT_EQ(st.n_insert, 1u);
    EXPECT_EQ(oxlo_lru_stats_by_kind(ctx, nullptr, OXLO_LRU_OOKLA, &st), 0);
    EXPECT_EQ(st.n_insert, 0u);
    EXPECT_EQ(oxlo_lru_stats_by_kind(ctx, nullptr, 8, &st), -1);
    EXPECT_EQ(oxlo_lru_stats_by_kind(ctx, nullptr, 0, nullptr), -1);
    EXPECT_EQ(oxlo_lru_stats_by_kind(nullptr, nullptr, 0, &st), -1);
    EXPECT_STREQ(oxlo_lru_kind_name(OXLO_LRU_FPC_DNS), "fpc_dns");
    EXPECT_EQ(oxlo_lru_kind_name(8), nullptr);
    shared_context_free(ctx);
    shared_context_free(nullptr);
}

/* ---- string LRU set ------------------------------------------------------ */

TEST(StringLru, evicts_least_recently_used)
{
    string_lru_cache *c = string_lru_cache_new(2);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(string_lru_cache_add(c, "A", 1), 0);
    EXPECT_EQ(string_lru_cache_add(c, "B", 1), 0);
    EXPECT_EQ(string_lru_cache_add(c, "A", 1), 0); /* present: moved, count unchanged */
    EXPECT_EQ(c->count, 2u);
    EXPECT_EQ(string_lru_cache_add(c, "C", 1), 0);
    EXPECT_EQ(c->count, 2u);
    EXPECT_EQ(string_lru_cache_contains(c, "B", 1), 0);
    EXPECT_EQ(string_lru_cache_contains(c, "A", 1), 1);
    EXPECT_EQ(string_lru_cache_contains(c, "C", 1), 1);

    /* contains refreshes: C was touched last, so adding D evicts A. */
    EXPECT_EQ(string_lru_cache_add(c, "D", 1), 0);
    EXPECT_EQ(string_lru_cache_contains(c, "A", 1), 0);
    EXPECT_EQ(string_lru_cache_contains(c, "C", 1), 1);
    string_lru_cache_free(c);
}

TEST(StringLru, remove_and_bad_arguments)
{
    string_lru_cache *c = string_lru_cache_new(10);
    const uint8_t key[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const uint8_t other[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 11};
    EXPECT_EQ(string_lru_cache_add(c, key, 10), 0);
    EXPECT_EQ(string_lru_cache_contains(c, other, 10), 0);
    EXPECT_EQ(string_lru_cache_contains(c, key, 9), 0); /* a prefix is another string */
    EXPECT_EQ(string_lru_cache_remove(c, other, 10), 3);
    EXPECT_EQ(string_lru_cache_remove(c, key, 10), 0);
    EXPECT_EQ(c->count, 0u);
    EXPECT_EQ(c->most_recent, nullptr);
    EXPECT_EQ(c->least_recent, nullptr);
    EXPECT_EQ(string_lru_cache_contains(c, key, 10), 0);

    EXPECT_EQ(string_lru_cache_add(nullptr, key, 10), 2);
    EXPECT_EQ(string_lru_cache_add(c, nullptr, 10), 2);
    EXPECT_EQ(string_lru_cache_add(c, key, 0), 2);
    EXPECT_EQ(string_lru_cache_contains(c, key, 0), 2);
    EXPECT_EQ(string_lru_cache_remove(c, nullptr, 1), 2);
    EXPECT_EQ(string_lru_cache_new(0), nullptr);

    /* Churn through many keys; the sanitizer build checks nothing leaks. */
    for (uint32_t i = 0; i < 1000; i++)
        ASSERT_EQ(string_lru_cache_add(c, &i, sizeof(i)), 0);
    EXPECT_EQ(c->count, 10u);
    string_lru_cache_free(c);
}

} // namespace

#include "oxlo_private.h"

namespace {

TEST(LruTable, stats_by_kind_follow_the_module_scope_knob)
{
    oxlo_shared_context *ctx = shared_context_new();
    ctx->lru[OXLO_LRU_STUN] = oxlo_lru_table_alloc(16, 300, 1);
    oxlo_lru_table_add(ctx->lru[OXLO_LRU_STUN], 1, 1, 0);
    oxlo_module *m = oxlo_module_new(ctx);
    ASSERT_NE(m, nullptr);

    oxlo_lru_stats st;
    /* Scope 0: the module's own table (absent here, so zeros). */
    EXPECT_EQ(oxlo_lru_stats_by_kind(ctx, m, OXLO_LRU_STUN, &st), 0);
    EXPECT_EQ(st.n_insert, 0u);
    ASSERT_EQ(oxlo_set_config(m, nullptr, "lru.stun.scope", "1"), 0);
    EXPECT_EQ(oxlo_lru_stats_by_kind(ctx, m, OXLO_LRU_STUN, &st), 0);
    EXPECT_EQ(st.n_insert, 1u);
    EXPECT_EQ(oxlo_lru_stats_by_kind(ctx, m, 9, &st), -1);

    EXPECT_EQ(oxlo_lru_stats_by_kind(nullptr, m, OXLO_LRU_STUN, &st), -1); /* no shared context given */

    oxlo_module_free(m);
    shared_context_free(ctx);
}

} // namespace
