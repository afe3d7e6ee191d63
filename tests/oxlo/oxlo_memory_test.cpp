#include "oxlo_memory.h"

#include <gtest/gtest.h>

TEST(memory, counter_grows_by_requested_bytes_and_never_shrinks)
{
    uint64_t before = oxlo_allocated_bytes();
    void *a = oxlo_heap_alloc(100);
    void *b = oxlo_heap_alloc(50);
    EXPECT_EQ(oxlo_allocated_bytes() - before, 150u);
    oxlo_heap_free(a);
    oxlo_heap_free(b);
    EXPECT_EQ(oxlo_allocated_bytes() - before, 150u);
}

TEST(memory, calloc_refuses_overflowing_product)
{
    EXPECT_EQ(oxlo_heap_calloc(SIZE_MAX / 2, 4), nullptr);
}

TEST(memory, strdup_copies_and_handles_null)
{
    EXPECT_EQ(oxlo_heap_strdup(nullptr), nullptr);
    char *c = oxlo_heap_strdup("vesk");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "vesk");
    oxlo_heap_free(c);
}

TEST(memory, byte_order_64)
{
    EXPECT_EQ(oxlo_hton64(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(oxlo_ntoh64(oxlo_hton64(42)), 42u);
}
