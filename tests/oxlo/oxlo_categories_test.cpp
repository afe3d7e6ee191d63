#include "list_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "oxlo_hosts.h"
#include "oxlo_private.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risks.h"

namespace {

using namespace list_test;

/* Category of a text, or -1 when none is found. */
int category_of(oxlo_module *m, const char *text, uint32_t *breed = nullptr)
{
    uint32_t c = 0, b = 0;
    if (oxlo_category_by_address_or_host(m, text, strlen(text), &c, &b) != 0)
        return -1;
    if (breed)
        *breed = b;
    return (int)c;
}

TEST(Categories, category_file_lines)
{
    ModuleGuard g;
    TempDir d;
    static char tag[] = "mine.txt";
    std::string file = d.write("mine.txt", "# categories\n"
                                           "web.example\t5\r\n"
                                           "out.example\t164\n"
                                           "zero.example\t0\n"
                                           "notab.example 5\n"
                                           "10.0.0.0/8\t14\n"
                                           "[2001:db8:1::]/64\t13\n"
                                           "last.example\t9");
    EXPECT_EQ(oxlo_load_category_file(g.m, file.c_str(), tag), 4);
    ASSERT_EQ(oxlo_finalize_initialization(g.m), 0);
    uint32_t breed = 0;
    EXPECT_EQ(category_of(g.m, "www.web.example", &breed), 5);
    EXPECT_EQ(breed, (uint32_t)OXLO_BREED_ACCEPTABLE);
    EXPECT_EQ(category_of(g.m, "last.example"), 9);
    EXPECT_EQ(category_of(g.m, "out.example"), -1);
    EXPECT_EQ(category_of(g.m, "zero.example"), -1);
    EXPECT_EQ(category_of(g.m, "10.1.2.3", &breed), 14);
    EXPECT_EQ(breed, (uint32_t)OXLO_BREED_ACCEPTABLE);
    EXPECT_EQ(category_of(g.m, "10.1.2.3/32"), 14);
    EXPECT_EQ(category_of(g.m, "2001:db8:1::ffff"), 13) << "a /64 covers the whole /64";
    EXPECT_EQ(category_of(g.m, "2001:db8:2::1"), -1);
    EXPECT_EQ(oxlo_category_tag_ipv4(g.m, ipv4("10.9.9.9")), tag);
    EXPECT_EQ(oxlo_category_tag_ipv4(g.m, ipv4("11.9.9.9")), nullptr);
    EXPECT_EQ(oxlo_category_tag_ipv4(g.m, 0), nullptr);

    /* Added after enabling: waits in the loading structures. */
    EXPECT_EQ(oxlo_add_category_entry(g.m, "late.example", 5, 2, nullptr), 0);
    EXPECT_EQ(category_of(g.m, "late.example"), -1);
    EXPECT_EQ(oxlo_enable_loaded_categories(g.m), -1);

    std::string out = printed([&] { EXPECT_EQ(oxlo_load_category_file(g.m, "/nonexistent", tag), -1); });
    EXPECT_NE(out.find("Unable to open file /nonexistent ["), std::string::npos);
}

TEST(Categories, built_in_hosts)
{
    ModuleGuard g;
    ASSERT_EQ(oxlo_finalize_initialization(g.m), 0);
    uint32_t breed = 0;
    EXPECT_EQ(category_of(g.m, "stats.g.doubleclick.net", &breed), OXLO_CATEGORY_ADVERTISEMENT);
    EXPECT_EQ(breed, (uint32_t)OXLO_BREED_TRACKER_ADS);
    EXPECT_EQ(category_of(g.m, "captive.apple.com"), OXLO_CATEGORY_CONNCHECK);
    EXPECT_EQ(category_of(g.m, "apple.com"), -1);
}

TEST(Categories, list_files_and_directories)
{
    ModuleGuard g;
    TempDir d;
    std::string list = d.write("101_ads.list", "ads.example\n"
                                               "\n"
                                               "# comment\n"
                                               "bad host.example\n"
                                               "192.0.2.0/24\r\n" +
                                                   std::string(300, 'a') + "\n"
                                                                           "more-ads.example");
    std::string out;
    int rc = 0;
    out = printed([&] { rc = oxlo_load_category_list(g.m, list.c_str(), OXLO_CATEGORY_ADVERTISEMENT); });
    EXPECT_EQ(rc, -2);
    EXPECT_NE(out.find("line #4 [bad host.example], invalid characters [ ] found [pos: 3]"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(list + " line #6, line too long"), std::string::npos) << out;

    d.write("100_malware.list", "malware.example\n198.51.100.7\n");
    d.write("7_x.txt", "skipped.example\n");
    d.write("999_x.list", "skipped.example\n");
    d.write("nounderscore.list", "skipped.example\n");
    out = printed([&] { EXPECT_EQ(oxlo_load_category_dir(g.m, d.path.c_str()), -1); });
    EXPECT_NE(out.find("Failed to load '" + d.path + "/101_ads.list'"), std::string::npos);
    ASSERT_EQ(oxlo_finalize_initialization(g.m), 0);

    uint32_t breed = 0;
    EXPECT_EQ(category_of(g.m, "x.ads.example", &breed), OXLO_CATEGORY_ADVERTISEMENT);
    EXPECT_EQ(breed, (uint32_t)OXLO_BREED_TRACKER_ADS);
    EXPECT_EQ(category_of(g.m, "more-ads.example"), OXLO_CATEGORY_ADVERTISEMENT);
    EXPECT_EQ(category_of(g.m, "192.0.2.44"), OXLO_CATEGORY_ADVERTISEMENT);
    EXPECT_EQ(category_of(g.m, "malware.example", &breed), OXLO_CATEGORY_MALWARE);
    EXPECT_EQ(breed, (uint32_t)OXLO_BREED_UNSAFE);
    EXPECT_EQ(category_of(g.m, "skipped.example"), -1);
    EXPECT_EQ(oxlo_load_category_dir(g.m, "/nonexistent"), -1);
}

TEST(Categories, flow_categories_and_malware_risk)
{
    ModuleGuard g;
    ASSERT_EQ(oxlo_add_ip_category(g.m, "198.51.100.0/24", OXLO_CATEGORY_MALWARE, nullptr), 0);
    ASSERT_EQ(oxlo_add_ip_category(g.m, "[2001:db8::]/32", OXLO_CATEGORY_CLOUD, nullptr), 0);
    ASSERT_EQ(oxlo_add_ip_category(g.m, "not-an-address", 5, nullptr), -1);
    ASSERT_EQ(oxlo_add_host_category(g.m, "site.example", 17, 3, nullptr), 0);
    ASSERT_EQ(oxlo_finalize_initialization(g.m), 0);

    auto *flow = static_cast<oxlo_flow_state *>(oxlo_heap_calloc(1, oxlo_flow_state_size()));
    ASSERT_NE(flow, nullptr);
    oxlo_category_result r{};
    EXPECT_EQ(oxlo_fill_ipv4_category(g.m, flow, ipv4("192.0.2.1"), ipv4("198.51.100.9"), &r), 1);
    EXPECT_EQ(r.category, (uint32_t)OXLO_CATEGORY_MALWARE);
    EXPECT_TRUE(oxlo_flow_risk_is_set(flow, OXLO_MALWARE_HOST_CONTACTED));
    ASSERT_GE(flow->risk_message_count, 1);
    EXPECT_STREQ(flow->texts->risk_messages[0].text, "Client contacted malware host");

    in6_addr a6{};
    inet_pton(AF_INET6, "2001:db8::1", &a6);
    r = {};
    EXPECT_EQ(oxlo_fill_ipv6_category(g.m, flow, a6.s6_addr, nullptr, &r), 1);
    EXPECT_EQ(r.category, (uint32_t)OXLO_CATEGORY_CLOUD);

    r = {};
    flow->app = OXLO_PROTOCOL_HTTP;
    EXPECT_EQ(oxlo_fill_ipv4_category(g.m, flow, ipv4("192.0.2.1"), ipv4("192.0.2.2"), &r), 0);
    EXPECT_EQ(r.category, oxlo_protocol_pair_category(g.m, (uint32_t)OXLO_PROTOCOL_HTTP << 16));

    oxlo_classification c{};
    snprintf(oxlo_flow_texts_make(nullptr, flow, 1)->host_name, OXLO_HOST_NAME_SIZE, "www.site.example");
    oxlo_fill_protocol_category(g.m, flow, &c);
    EXPECT_EQ(c.category, 17u);
    EXPECT_EQ(c.breed, 3u);
    oxlo_flow_host_clear(flow);
    oxlo_fill_protocol_category(g.m, flow, &c);
    EXPECT_EQ(c.category, oxlo_protocol_pair_category(g.m, (uint32_t)OXLO_PROTOCOL_HTTP << 16));
    oxlo_flow_state_free(flow);
}

TEST(Categories, user_custom_names)
{
    ModuleGuard g;
    EXPECT_EQ(oxlo_is_user_custom_category(19), 0);
    EXPECT_EQ(oxlo_is_user_custom_category(20), 1);
    EXPECT_EQ(oxlo_is_user_custom_category(24), 1);
    EXPECT_EQ(oxlo_is_user_custom_category(25), 0);
    oxlo_set_user_custom_category_name(g.m, 21, std::string(40, 'n').c_str());
    EXPECT_EQ(std::string(g.m->custom_category_names[1]), std::string(31, 'n'));
    oxlo_set_user_custom_category_name(g.m, 30, "ignored");
    EXPECT_STREQ(g.m->custom_category_names[0], "User custom category 1");
}

} // namespace
