#include "oxlo_hash_filter.h"

#include "oxlo_hash.h"
#include "oxlo_private.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct filter_holder {
    oxlo_hash_filter *f = oxlo_hash_filter_new();
    ~filter_holder() { oxlo_hash_filter_free(f); }
};

struct module_holder {
    oxlo_module *m = oxlo_module_new(nullptr);
    ~module_holder() { oxlo_module_free(m); }
};

struct address16 {
    uint8_t b[16] = {0};
    address16(uint8_t a, uint8_t b2, uint8_t c, uint8_t d)
    {
        b[0] = a;
        b[1] = b2;
        b[2] = c;
        b[3] = d;
    }
};

TEST(HashFilter, values_and_strings)
{
    filter_holder h;
    ASSERT_NE(h.f, nullptr);
    EXPECT_FALSE(oxlo_hash_filter_contains(h.f, 7));
    EXPECT_EQ(oxlo_hash_filter_add(h.f, 7), 1);
    EXPECT_EQ(oxlo_hash_filter_add(h.f, 7), 1);
    EXPECT_EQ(oxlo_hash_filter_count(h.f), 1u);
    EXPECT_TRUE(oxlo_hash_filter_contains(h.f, 7));
    EXPECT_EQ(oxlo_hash_filter_add(h.f, 0xFFFFFFFFu), 1);
    EXPECT_EQ(oxlo_hash_filter_count(h.f), 2u);

    EXPECT_EQ(oxlo_hash_filter_add_string(h.f, "a"), 1);
    EXPECT_TRUE(oxlo_hash_filter_contains_string(h.f, "a"));
    EXPECT_TRUE(oxlo_hash_filter_contains(h.f, 0xca2e9442u)); /* one-at-a-time of "a" */
    EXPECT_FALSE(oxlo_hash_filter_contains_string(h.f, "b"));
    EXPECT_GT(oxlo_hash_filter_serialized_size(h.f), 8u);

    EXPECT_EQ(oxlo_hash_filter_add(nullptr, 1), 0);
    EXPECT_FALSE(oxlo_hash_filter_contains(nullptr, 1));
    EXPECT_EQ(oxlo_hash_filter_count(nullptr), 0u);
    EXPECT_EQ(oxlo_hash_filter_serialized_size(nullptr), 0u);
}

TEST(DnsResolution, pair_keys)
{
    const address16 a(10, 0, 0, 2), b(10, 0, 0, 3);
    /* The name's bytes, then the address's. */
    std::string bytes = std::string("ok.test") + std::string(reinterpret_cast<const char *>(a.b), 16);
    EXPECT_EQ(oxlo_dns_resolution_key(a.b, "ok.test"), djb2_hash(bytes.data(), uint32_t(bytes.size())));
    EXPECT_NE(oxlo_dns_resolution_key(a.b, "ok.test"), oxlo_dns_resolution_key(a.b, "other.test"));
    EXPECT_NE(oxlo_dns_resolution_key(a.b, "ok.test"), oxlo_dns_resolution_key(b.b, "ok.test"));
    /* A ':' leaves the name out. */
    EXPECT_EQ(oxlo_dns_resolution_key(a.b, "x:1"), oxlo_dns_resolution_key(a.b, "y:2"));
    EXPECT_EQ(oxlo_dns_resolution_key(a.b, "x:1"), djb2_hash(a.b, 16));
    /* 128 characters or more: the address is left out. */
    const std::string long_name(200, 'n');
    EXPECT_EQ(oxlo_dns_resolution_key(a.b, long_name.c_str()), oxlo_dns_resolution_key(b.b, long_name.c_str()));
    EXPECT_EQ(oxlo_dns_resolution_key(a.b, long_name.c_str()),
              oxlo_dns_resolution_key(a.b, std::string(128, 'n').c_str()));
    /* 120 characters leave room for 8 address bytes only. */
    const std::string name120(120, 'm');
    address16 c = a;
    c.b[10] = 0xEE;
    EXPECT_EQ(oxlo_dns_resolution_key(a.b, name120.c_str()), oxlo_dns_resolution_key(c.b, name120.c_str()));
    EXPECT_NE(oxlo_dns_resolution_key(a.b, "m"), oxlo_dns_resolution_key(c.b, "m"));
}

TEST(DnsResolution, found_until_two_rotations)
{
    module_holder h;
    ASSERT_NE(h.m, nullptr);
    const address16 a(10, 0, 0, 2);
    EXPECT_FALSE(oxlo_dns_resolution_found(h.m, a.b, "ok.test"));
    oxlo_dns_resolution_add(h.m, a.b, "ok.test");
    EXPECT_TRUE(oxlo_dns_resolution_found(h.m, a.b, "ok.test"));
    EXPECT_FALSE(oxlo_dns_resolution_found(h.m, a.b, "other.test"));

    /* The knob is off: rotation does nothing. */
    oxlo_dns_resolution_rotate(h.m);
    oxlo_dns_resolution_rotate(h.m);
    EXPECT_TRUE(oxlo_dns_resolution_found(h.m, a.b, "ok.test"));

    oxlo_dns_resolution_enable(h.m);
    oxlo_dns_resolution_rotate(h.m);
    EXPECT_TRUE(oxlo_dns_resolution_found(h.m, a.b, "ok.test"));
    oxlo_dns_resolution_rotate(h.m);
    EXPECT_FALSE(oxlo_dns_resolution_found(h.m, a.b, "ok.test"));
}

TEST(DnsResolution, a_full_filter_ages_the_oldest_answers_out)
{
    module_holder h;
    oxlo_dns_resolution_enable(h.m);
    const address16 first(10, 0, 0, 2);
    oxlo_dns_resolution_add(h.m, first.b, "first.test");
    char name[32];
    uint32_t added = 1;
    for (uint32_t i = 0; added < OXLO_DNS_TRACKING_ROTATE_AT; i++) {
        snprintf(name, sizeof(name), "n%u.test", i);
        const uint64_t before = oxlo_hash_filter_count(h.m->dns_tracking[0]);
        oxlo_dns_resolution_add(h.m, first.b, name);
        added += oxlo_hash_filter_count(h.m->dns_tracking[0]) != before ? 1 : 0;
    }
    /* The filter that filled is now the previous one: still answered. */
    EXPECT_EQ(oxlo_hash_filter_count(h.m->dns_tracking[0]), 0u);
    EXPECT_EQ(oxlo_hash_filter_count(h.m->dns_tracking[1]), uint64_t(OXLO_DNS_TRACKING_ROTATE_AT));
    EXPECT_TRUE(oxlo_dns_resolution_found(h.m, first.b, "first.test"));
    for (uint32_t i = 0, n = 0; n < OXLO_DNS_TRACKING_ROTATE_AT; i++) {
        snprintf(name, sizeof(name), "m%u.test", i);
        const uint64_t before = oxlo_hash_filter_count(h.m->dns_tracking[0]);
        oxlo_dns_resolution_add(h.m, first.b, name);
        n += oxlo_hash_filter_count(h.m->dns_tracking[0]) != before ||
                     oxlo_hash_filter_count(h.m->dns_tracking[0]) == 0
                 ? 1
                 : 0;
    }
    EXPECT_FALSE(oxlo_dns_resolution_found(h.m, first.b, "first.test"));
}

} // namespace
