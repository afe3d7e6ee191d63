#include "oxlo_string_map.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "oxlo_memory.h"

namespace {

/* An allocator that fails once a budget of allocations is spent; the budget
 * is unlimited (-1) outside the out-of-memory tests. */
int allocation_budget = -1;

bool spend()
{
    if (allocation_budget < 0)
        return true;
    if (allocation_budget == 0)
        return false;
    allocation_budget--;
    return true;
}
void *budget_alloc(size_t n) { return spend() ? std::malloc(n) : nullptr; }
void *budget_calloc(size_t c, size_t n) { return spend() ? std::calloc(c, n) : nullptr; }
void *budget_realloc(void *p, size_t n) { return spend() ? std::realloc(p, n) : nullptr; }
void budget_free(void *p) { std::free(p); }

struct MapFixture : ::testing::Test {
    oxlo_string_map *map = nullptr;
    void SetUp() override
    {
        oxlo_set_memory_hooks(budget_alloc, budget_free, budget_calloc, budget_realloc, nullptr,
                              nullptr, nullptr, nullptr);
        ASSERT_EQ(oxlo_string_map_init(&map), 0);
    }
    void TearDown() override
    {
        allocation_budget = -1;
        oxlo_string_map_free(&map);
        EXPECT_EQ(map, nullptr);
    }
    int add(const std::string &k, uint64_t v, void *item = nullptr)
    {
        return oxlo_string_map_add(&map, k.data(), k.size(), v, item);
    }
};

char *owned(const char *text) { return oxlo_heap_strdup(text); }

} // namespace

TEST_F(MapFixture, second_add_updates_value)
{
    EXPECT_EQ(add("example.org", 5), OXLO_STRING_MAP_ADDED);
    EXPECT_EQ(add("example.org", 7), OXLO_STRING_MAP_UPDATED);
    uint64_t v = 0;
    EXPECT_EQ(oxlo_string_map_find(map, "example.org", 11, &v), 0);
    EXPECT_EQ(v, 7u);
}

TEST_F(MapFixture, keys_are_bytes_of_the_given_length)
{
    const char with_nul[] = {'a', '\0', 'b'};
    EXPECT_EQ(oxlo_string_map_add(&map, with_nul, 3, 1, nullptr), 0);
    EXPECT_EQ(add("a", 2), 0);
    EXPECT_EQ(add("ab", 3), 0);
    uint64_t v = 0;
    EXPECT_EQ(oxlo_string_map_find(map, with_nul, 3, &v), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(oxlo_string_map_find(map, "a", 1, &v), 0);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(oxlo_string_map_find(map, "abc", 3, &v), 1);
}

TEST_F(MapFixture, bad_arguments)
{
    oxlo_string_map *none = nullptr;
    std::string long_key(256, 'k');
    EXPECT_EQ(oxlo_string_map_add(&map, "k", 0, 1, nullptr), OXLO_STRING_MAP_BAD_ARGUMENT);
    EXPECT_EQ(oxlo_string_map_add(&map, nullptr, 1, 1, nullptr), OXLO_STRING_MAP_BAD_ARGUMENT);
    EXPECT_EQ(oxlo_string_map_add(&none, "k", 1, 1, nullptr), OXLO_STRING_MAP_BAD_ARGUMENT);
    EXPECT_EQ(oxlo_string_map_add(nullptr, "k", 1, 1, nullptr), OXLO_STRING_MAP_BAD_ARGUMENT);
    EXPECT_EQ(add(long_key, 1), OXLO_STRING_MAP_BAD_ARGUMENT);
    EXPECT_EQ(add(std::string(255, 'k'), 1), OXLO_STRING_MAP_ADDED);
    uint64_t v;
    EXPECT_EQ(oxlo_string_map_lookup(nullptr, "k", 1, &v, nullptr), 2);
    EXPECT_EQ(oxlo_string_map_lookup(map, "k", 0, &v, nullptr), 2);
    EXPECT_EQ(oxlo_string_map_init(nullptr), 1);
    oxlo_string_map_free(nullptr);
    oxlo_string_map_free(&none);
    oxlo_string_map_walk(nullptr, nullptr, nullptr);
}

TEST_F(MapFixture, walk_follows_first_insertion_order)
{
    std::vector<std::string> keys;
    for (int i = 0; i < 200; i++)   /* enough to make uthash grow its buckets */
        ASSERT_EQ(add("k" + std::to_string((i * 37) % 200), i), 0);
    ASSERT_EQ(add("k37", 999), OXLO_STRING_MAP_UPDATED);
    oxlo_string_map_walk(
        &map,
        [](const char *key, uint64_t, void *data) {
            static_cast<std::vector<std::string> *>(data)->push_back(key);
        },
        &keys);
    ASSERT_EQ(keys.size(), 200u);
    for (int i = 0; i < 200; i++)
        EXPECT_EQ(keys[i], "k" + std::to_string((i * 37) % 200));
}

TEST_F(MapFixture, counts_lookups_and_hits)
{
    uint64_t stats[2];
    uint64_t v;
    EXPECT_EQ(oxlo_string_map_find(map, "x", 1, &v), 1);   /* empty map counts too */
    add("x", 1);
    EXPECT_EQ(oxlo_string_map_find(map, "x", 1, &v), 0);
    EXPECT_EQ(oxlo_string_map_find(map, "y", 1, &v), 1);
    oxlo_string_map_stats(map, stats);
    EXPECT_EQ(stats[0], 3u);
    EXPECT_EQ(stats[1], 1u);
    oxlo_string_map_stats(nullptr, stats);
    EXPECT_EQ(stats[0], 0u);
    EXPECT_EQ(stats[1], 0u);
}

/* Items belong to the map once added: the sanitizer build reports a leak if
 * freeing the map forgets the embedded item or the allocated nodes. */
TEST_F(MapFixture, items_form_a_list_freed_with_the_map)
{
    EXPECT_EQ(add("fp", 10, owned("first")), OXLO_STRING_MAP_ADDED);
    EXPECT_EQ(add("fp", 11, owned("second")), OXLO_STRING_MAP_UPDATED);
    EXPECT_EQ(add("fp", 12, owned("third")), OXLO_STRING_MAP_UPDATED);
    EXPECT_EQ(add("other", 1), OXLO_STRING_MAP_ADDED);
    EXPECT_EQ(add("other", 2, owned("late")), OXLO_STRING_MAP_UPDATED);

    uint64_t v = 0;
    const string_map_value_node *list = nullptr;
    ASSERT_EQ(oxlo_string_map_lookup(map, "fp", 2, &v, &list), 0);
    EXPECT_EQ(v, 10u);   /* items do not change the value */
    std::vector<std::string> items;
    for (; list; list = list->next)
        items.push_back(static_cast<const char *>(list->item));
    EXPECT_EQ(items, (std::vector<std::string>{"first", "second", "third"}));

    ASSERT_EQ(oxlo_string_map_lookup(map, "other", 5, &v, &list), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_STREQ(static_cast<const char *>(list->item), "late");
}

TEST_F(MapFixture, no_memory_leaves_map_as_it_was)
{
    ASSERT_EQ(add("kept", 1), 0);
    const int before_budgets[] = {0, 1};   /* entry fails; key copy fails */
    for (int budget : before_budgets) {
        allocation_budget = budget;
        EXPECT_EQ(add("lost", 2), OXLO_STRING_MAP_NO_MEMORY) << budget;
    }
    allocation_budget = -1;
    char *item = static_cast<char *>(std::malloc(4));
    ASSERT_EQ(add("kept", 1, owned("a")), OXLO_STRING_MAP_UPDATED);      /* embedded node */
    allocation_budget = 0;
    EXPECT_EQ(add("kept", 1, item), OXLO_STRING_MAP_NO_MEMORY);          /* node allocation */
    std::free(item);                                                     /* still the caller's */
    allocation_budget = -1;
    uint64_t v;
    EXPECT_EQ(oxlo_string_map_find(map, "lost", 4, &v), 1);
    EXPECT_EQ(oxlo_string_map_find(map, "kept", 4, &v), 0);
}

TEST_F(MapFixture, no_memory_for_the_bucket_table)
{
    oxlo_string_map_free(&map);   /* a fresh map has no bucket table yet */
    ASSERT_EQ(oxlo_string_map_init(&map), 0);
    allocation_budget = 2;   /* entry and key copy succeed, uthash's table fails */
    EXPECT_EQ(oxlo_string_map_add(&map, "k", 1, 1, nullptr), OXLO_STRING_MAP_NO_BUCKET_MEMORY);
    allocation_budget = -1;
    uint64_t v;
    EXPECT_EQ(oxlo_string_map_find(map, "k", 1, &v), 1);
    EXPECT_EQ(oxlo_string_map_add(&map, "k", 1, 1, nullptr), OXLO_STRING_MAP_ADDED);
}
