#include "oxlo_address_cache.h"

#include "oxlo/list_fixture.h"
#include "oxlo_private.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using list_test::printed;
using list_test::TempDir;

struct cache_holder {
    oxlo_address_cache *c;
    explicit cache_holder(uint32_t n) : c(oxlo_address_cache_alloc(n)) {}
    ~cache_holder() { oxlo_address_cache_free(c); }
};

struct address16 {
    uint8_t b[16] = {0};
    explicit address16(uint32_t v4)
    {
        b[0] = uint8_t(v4 >> 24);
        b[1] = uint8_t(v4 >> 16);
        b[2] = uint8_t(v4 >> 8);
        b[3] = uint8_t(v4);
    }
};

std::string file_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(AddressCache, bucket_counts)
{
    const struct {
        uint32_t n, buckets;
    } cases[] = {{1, 1}, {15, 1}, {16, 1}, {100, 6}, {8206, 512}, {8207, 512}, {8208, 512}, {16777215, 512}};
    for (const auto &c : cases) {
        EXPECT_EQ(oxlo_address_cache_bucket_count(c.n), c.buckets) << c.n;
        cache_holder h(c.n);
        ASSERT_NE(h.c, nullptr);
        EXPECT_EQ(h.c->bucket_count, c.buckets);
    }
    EXPECT_EQ(oxlo_address_cache_alloc(0), nullptr);
}

TEST(AddressCache, store_keeps_one_entry_per_address)
{
    cache_holder h(100);
    const address16 a(0x0a000002);
    EXPECT_EQ(oxlo_address_cache_store(h.c, a.b, "old.test", 1000, 300), 1);
    EXPECT_EQ(oxlo_address_cache_store(h.c, a.b, "new.test", 1010, 30), 1);
    EXPECT_EQ(h.c->entry_count, 1u);
    const address_cache_entry *e = oxlo_address_cache_lookup(h.c, a.b, 1010);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, "new.test");
    EXPECT_EQ(e->expiry, 1300u); /* the later of 1300 and 1040 */
    EXPECT_EQ(oxlo_address_cache_store(h.c, a.b, "new.test", 1010, 1000), 1);
    EXPECT_EQ(oxlo_address_cache_lookup(h.c, a.b, 1010)->expiry, 2010u);

    /* After its expiry a lookup misses and removes the entry. */
    EXPECT_EQ(oxlo_address_cache_lookup(h.c, a.b, 2011), nullptr);
    EXPECT_EQ(h.c->entry_count, 0u);

    EXPECT_EQ(oxlo_address_cache_store(h.c, a.b, nullptr, 1000, 1), 0);
    EXPECT_EQ(oxlo_address_cache_store(h.c, a.b, std::string(300, 'x').c_str(), 1000, 1), 0);
    /* A time to live past the 32-bit clock does not wrap into the past. */
    EXPECT_EQ(oxlo_address_cache_store(h.c, a.b, "far.test", 4000000000u, 0xFFFFFFFFu), 1);
    ASSERT_NE(oxlo_address_cache_lookup(h.c, a.b, 4000000001u), nullptr);
    EXPECT_EQ(oxlo_address_cache_lookup(h.c, a.b, 4000000001u)->expiry, UINT32_MAX);
    /* now 0 is the current time. */
    const address16 b(0x0a000003);
    EXPECT_EQ(oxlo_address_cache_store(h.c, b.b, "now.test", 0, 60), 1);
    EXPECT_GE(oxlo_address_cache_lookup(h.c, b.b, 0)->expiry, uint32_t(time(nullptr)) + 59);
}

TEST(AddressCache, full_cache_takes_new_addresses_only_after_expiry)
{
    cache_holder h(4);
    for (uint32_t i = 0; i < 4; i++) {
        const address16 a(0x0a000010 + i);
        ASSERT_EQ(oxlo_address_cache_store(h.c, a.b, "x.test", 1000, 10), 1);
    }
    const address16 extra(0x0a000020);
    EXPECT_EQ(oxlo_address_cache_store(h.c, extra.b, "y.test", 1005, 10), 0);
    EXPECT_EQ(h.c->entry_count, 4u);
    EXPECT_EQ(oxlo_address_cache_store(h.c, extra.b, "y.test", 1011, 10), 1);
    EXPECT_EQ(h.c->entry_count, 1u);
    EXPECT_EQ(oxlo_address_cache_purge(h.c, 1022), 1u);
}

TEST(AddressCache, save_and_load_round_trip)
{
    TempDir dir;
    cache_holder h(100);
    const address16 v4(0x0a000002);
    uint8_t v6[16] = {0xfd, 0x00, 0x02, 0x00};
    v6[15] = 7;
    const address16 gone(0x0a000009);
    ASSERT_EQ(oxlo_address_cache_store(h.c, v4.b, "ok.test", 1000, 300), 1);
    ASSERT_EQ(oxlo_address_cache_store(h.c, v6, "host.vesk.test", 1000, 86400), 1);
    ASSERT_EQ(oxlo_address_cache_store(h.c, gone.b, "gone.test", 1000, 5), 1);
    ASSERT_EQ(oxlo_address_cache_store(h.c, v4.b + 0, "ok.test", 1000, 0), 1);
    const std::string path = dir.path + "/cache.txt";
    ASSERT_EQ(oxlo_address_cache_save(h.c, path.c_str(), 1100), 1);

    std::string text = file_text(path);
    /* One bucket per line order is the table's; compare as a set of lines. */
    EXPECT_NE(text.find("0A000002000000000000000000000000\tok.test\t1300\n"), std::string::npos) << text;
    EXPECT_NE(text.find("FD000200000000000000000000000007\thost.vesk.test\t87400\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("gone.test"), std::string::npos) << text;

    cache_holder back(100);
    EXPECT_EQ(oxlo_address_cache_load(back.c, path.c_str(), 1100), 2u);
    ASSERT_NE(oxlo_address_cache_lookup(back.c, v4.b, 1100), nullptr);
    EXPECT_STREQ(oxlo_address_cache_lookup(back.c, v4.b, 1100)->name, "ok.test");
    EXPECT_EQ(oxlo_address_cache_lookup(back.c, v4.b, 1100)->expiry, 1300u);
    EXPECT_EQ(oxlo_address_cache_lookup(back.c, v6, 1100)->expiry, 87400u);

    /* Loaded later, the entries that expired meanwhile stay out. */
    cache_holder later(100);
    EXPECT_EQ(oxlo_address_cache_load(later.c, path.c_str(), 1301), 1u);
    EXPECT_EQ(oxlo_address_cache_lookup(later.c, v4.b, 1301), nullptr);

    /* A restored cache never exceeds its size. */
    cache_holder small(1);
    EXPECT_EQ(oxlo_address_cache_load(small.c, path.c_str(), 1100), 1u);
    EXPECT_EQ(small.c->entry_count, 1u);

    EXPECT_EQ(oxlo_address_cache_save(h.c, (dir.path + "/no/such/dir").c_str(), 0), 0);
    EXPECT_EQ(oxlo_address_cache_save(h.c, "/dev/full", 0), 0); /* the write itself fails */
    EXPECT_EQ(oxlo_address_cache_load(h.c, (dir.path + "/missing").c_str(), 0), 0u);
}

TEST(AddressCache, damaged_lines_are_skipped_one_by_one)
{
    TempDir dir;
    const std::string good = "0A000002000000000000000000000000\tok.test\t5000\n";
    const std::string bad_lines[] = {
        "0A00000200000000000000000000000\tshort.test\t5000\n",   /* 31 digits */
        "0A0000020000000000000000000000000\tlong.test\t5000\n",  /* 33 digits */
        "0G000002000000000000000000000000\thex.test\t5000\n",    /* not hex */
        "0A000003000000000000000000000000\t\t5000\n",            /* no name */
        "0A000004000000000000000000000000\tnoexpiry.test\n",     /* two fields */
        "0A000005000000000000000000000000\tbig.test\t4294967296\n", /* past 32 bits */
        "0A000006000000000000000000000000\tword.test\t5000x\n",
        "0A000007000000000000000000000000\ttwo words\t5000\n",
        "0A000008000000000000000000000000\t" + std::string(400, 'n') + "\t5000\n", /* too long */
    };
    std::string text;
    for (const std::string &b : bad_lines)
        text += b;
    text += good;
    const std::string path = dir.write("cache.txt", text);
    cache_holder h(100);
    uint32_t stored = 0;
    const std::string out = printed([&] { stored = oxlo_address_cache_load(h.c, path.c_str(), 1000); });
    EXPECT_EQ(stored, 1u);
    EXPECT_EQ(h.c->entry_count, 1u);
    for (size_t i = 1; i <= std::size(bad_lines); i++)
        EXPECT_NE(out.find(path + ": line #" + std::to_string(i) + " "), std::string::npos) << i << "\n" << out;
    EXPECT_EQ(out.find("line #" + std::to_string(std::size(bad_lines) + 1) + " "), std::string::npos) << out;
}

TEST(AddressCache, module_cache_follows_its_knob)
{
    TempDir dir;
    const address16 a(0x0a000002);
    {
        list_test::ModuleGuard g;
        EXPECT_EQ(oxlo_module_address_store(g.m, a.b, "ok.test", 1000, 60), 0);
        EXPECT_EQ(oxlo_module_address_lookup(g.m, a.b, 1000), nullptr);
        EXPECT_EQ(oxlo_module_address_save(g.m, (dir.path + "/x").c_str(), 1000), 0);
        EXPECT_EQ(oxlo_module_address_purge(g.m, 1000), 0u);
    }
    const std::string path = dir.path + "/module.txt";
    {
        list_test::ModuleGuard g;
        ASSERT_EQ(oxlo_set_config(g.m, nullptr, "dpi.address_cache_size", "100"), 0);
        EXPECT_EQ(oxlo_module_address_store(g.m, a.b, "ok.test", 1000, 60), 1);
        ASSERT_NE(oxlo_module_address_lookup(g.m, a.b, 1000), nullptr);
        EXPECT_EQ(oxlo_module_address_save(g.m, path.c_str(), 1000), 1);
    }
    list_test::ModuleGuard g;
    EXPECT_EQ(oxlo_module_address_load(g.m, path.c_str(), 1000), 0u); /* knob 0: no cache */
    ASSERT_EQ(oxlo_set_config(g.m, nullptr, "dpi.address_cache_size", "10"), 0);
    EXPECT_EQ(oxlo_module_address_load(g.m, path.c_str(), 1000), 1u);
    EXPECT_STREQ(oxlo_module_address_lookup(g.m, a.b, 1000)->name, "ok.test");
}

} // namespace
