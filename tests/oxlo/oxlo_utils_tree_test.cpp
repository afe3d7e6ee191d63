#include "oxlo_utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

int compare_ints(const void *key, const void *node_key)
{
    auto a = reinterpret_cast<intptr_t>(key), b = reinterpret_cast<intptr_t>(node_key);
    return a < b ? -1 : (a > b ? 1 : 0);
}

void *as_key(intptr_t v) { return reinterpret_cast<void *>(v); }

std::vector<intptr_t> in_order(const oxlo_bst_node *root)
{
    std::vector<intptr_t> out;
    oxlo_bst_walk(
        root,
        [](const oxlo_bst_node *n, int order, int, void *data) {
            if (order == 1 || order == 3)
                static_cast<std::vector<intptr_t> *>(data)->push_back(reinterpret_cast<intptr_t>(n->key));
        },
        &out);
    return out;
}

} // namespace

TEST(utils_tree, find_or_add_then_find)
{
    oxlo_bst_node *root = nullptr;
    for (intptr_t v : {50, 30, 70, 20, 40, 60, 80})
        EXPECT_EQ(oxlo_bst_find_or_add(as_key(v), &root, compare_ints), as_key(v));
    EXPECT_EQ(oxlo_bst_find_or_add(as_key(40), &root, compare_ints), as_key(40));
    EXPECT_EQ(in_order(root), (std::vector<intptr_t>{20, 30, 40, 50, 60, 70, 80}));
    oxlo_bst_node *n = oxlo_bst_find(as_key(60), &root, compare_ints);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->key, as_key(60));
    EXPECT_EQ(oxlo_bst_find(as_key(65), &root, compare_ints), nullptr);
    EXPECT_EQ(oxlo_bst_find_or_add(as_key(1), nullptr, compare_ints), nullptr);
    oxlo_bst_destroy(root, nullptr);
}

TEST(utils_tree, remove_keeps_order_for_every_shape)
{
    const intptr_t keys[] = {50, 30, 70, 20, 40, 60, 80, 35, 45, 65};
    for (intptr_t victim : keys) {
        oxlo_bst_node *root = nullptr;
        for (intptr_t v : keys)
            oxlo_bst_find_or_add(as_key(v), &root, compare_ints);
        EXPECT_EQ(oxlo_bst_remove(as_key(victim), &root, compare_ints), as_key(victim));
        std::vector<intptr_t> expected(std::begin(keys), std::end(keys));
        expected.erase(std::find(expected.begin(), expected.end(), victim));
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(in_order(root), expected) << "removed " << victim;
        EXPECT_EQ(oxlo_bst_remove(as_key(victim), &root, compare_ints), nullptr);
        oxlo_bst_destroy(root, nullptr);
    }
}

TEST(utils_tree, walk_orders_and_depths)
{
    oxlo_bst_node *root = nullptr;
    for (intptr_t v : {2, 1, 3})
        oxlo_bst_find_or_add(as_key(v), &root, compare_ints);
    std::string trace;
    oxlo_bst_walk(
        root,
        [](const oxlo_bst_node *n, int order, int depth, void *data) {
            *static_cast<std::string *>(data) += std::to_string(reinterpret_cast<intptr_t>(n->key)) +
                                                 ":" + std::to_string(order) + "@" +
                                                 std::to_string(depth) + " ";
        },
        &trace);
    EXPECT_EQ(trace, "2:0@0 1:3@1 2:1@0 3:3@1 2:2@0 ");
    oxlo_bst_destroy(root, nullptr);
}

TEST(utils_tree, destroy_frees_keys_of_a_degenerate_tree)
{
    /* 100,000 ascending keys make a list-shaped tree; destroying it must not
     * recurse that deep. The sanitizer build checks every key is freed. */
    oxlo_bst_node *root = nullptr;
    oxlo_bst_node **tail = &root;
    for (int i = 0; i < 100000; i++) {
        auto *node = static_cast<oxlo_bst_node *>(oxlo_heap_alloc(sizeof(oxlo_bst_node)));
        node->key = oxlo_heap_alloc(8);
        node->left = node->right = nullptr;
        *tail = node;
        tail = &node->right;
    }
    oxlo_bst_destroy(root, oxlo_heap_free);
}

TEST(utils_tree, id_bitset)
{
    oxlo_id_bitset b;
    ASSERT_EQ(oxlo_id_bitset_init(&b, 100), 0);
    EXPECT_EQ(b.num_bits, 100);
    EXPECT_GE(b.num_words * 32, 100);
    EXPECT_EQ(oxlo_id_bitset_test(&b, 63), 0);
    oxlo_id_bitset_set(&b, 63);
    oxlo_id_bitset_set(&b, 99);
    oxlo_id_bitset_set(&b, 100);   /* out of range: ignored */
    EXPECT_NE(oxlo_id_bitset_test(&b, 63), 0);
    EXPECT_NE(oxlo_id_bitset_test(&b, 99), 0);
    EXPECT_EQ(oxlo_id_bitset_test(&b, 64), 0);
    EXPECT_EQ(oxlo_id_bitset_test(&b, 100), -1);
    oxlo_id_bitset_clear(&b, 63);
    EXPECT_EQ(oxlo_id_bitset_test(&b, 63), 0);
    oxlo_id_bitset_set_all(&b);
    EXPECT_NE(oxlo_id_bitset_test(&b, 0), 0);
    EXPECT_NE(oxlo_id_bitset_test(&b, 42), 0);
    oxlo_id_bitset_clear_all(&b);
    EXPECT_EQ(oxlo_id_bitset_test(&b, 42), 0);
    oxlo_id_bitset_free(&b);
    EXPECT_EQ(b.num_words, 0);
    EXPECT_EQ(oxlo_id_bitset_test(&b, 1), -1);
    oxlo_id_bitset_set(&b, 1);   /* no words: ignored */
    EXPECT_EQ(oxlo_id_bitset_test(nullptr, 1), -1);
    EXPECT_EQ(oxlo_id_bitset_init(nullptr, 10), -1);
    oxlo_id_bitset_free(nullptr);
}
