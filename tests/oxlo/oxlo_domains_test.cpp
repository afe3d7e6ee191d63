#include "list_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "oxlo_hosts.h"
#include "oxlo_private.h"

namespace {

using namespace list_test;

/* ---- domain sets and public suffixes ---- */

struct SuffixModule : ModuleGuard {
    TempDir d;
    SuffixModule(const std::string &list)
    {
        std::string file = d.write("psl.dat", list);
        EXPECT_EQ(oxlo_load_public_suffix_list(m, file.c_str()), 0);
    }
};

TEST(DomainSets, parents_but_never_the_top_label)
{
    for (bool with_module : {false, true}) {
        SuffixModule s("com\nuk\nco.uk\n");
        oxlo_module *m = with_module ? s.m : nullptr;
        oxlo_domain_set *set = oxlo_domain_set_new();
        ASSERT_NE(set, nullptr);
        EXPECT_EQ(oxlo_domain_set_size(set), 8u);
        EXPECT_EQ(oxlo_domain_set_add(m, set, 11, "..Example.com"), 1);
        EXPECT_EQ(oxlo_domain_set_add(m, set, 12, "printer.local"), 1);
        EXPECT_EQ(oxlo_domain_set_add(m, set, 13, "4.3.2.1.in-addr.arpa"), 1);
        struct Case {
            const char *host;
            uint32_t value;
        } cases[] = {
            {"example.com", 11}, {"a.b.example.com", 11}, {"EXAMPLE.COM", 11},
            {"com", 0},          {"example.com.evil", 0}, {"badexample.com", 0},
            {"printer.local", 0}, {"4.3.2.1.in-addr.arpa", 0},
        };
        for (const Case &c : cases) {
            uint32_t v = 99;
            EXPECT_EQ(oxlo_domain_set_match(m, set, &v, c.host), c.value ? 1 : 0) << c.host;
            EXPECT_EQ(v, c.value) << c.host << (with_module ? " (module)" : "");
        }
        oxlo_domain_set_free(set);
    }
    EXPECT_EQ(oxlo_domain_set_add(nullptr, nullptr, 1, "x.y"), 0);
    oxlo_domain_set_free(nullptr);
}

TEST(DomainSets, organisation_entry_under_any_suffix)
{
    SuffixModule s("com\nuk\nco.uk\n");
    oxlo_domain_set *set = oxlo_domain_set_new();
    ASSERT_EQ(oxlo_domain_set_add(s.m, set, 5, "example."), 1);
    uint32_t v = 0;
    EXPECT_EQ(oxlo_domain_set_match(s.m, set, &v, "www.example.co.uk"), 1);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(oxlo_domain_set_match(s.m, set, &v, "example.com"), 1);
    EXPECT_EQ(oxlo_domain_set_match(s.m, set, &v, "other.co.uk"), 0);
    oxlo_domain_set_free(set);

    TempDir d;
    std::string file = d.write("set", "# set\nlisted.example\r\n\nx\nother.example");
    set = oxlo_domain_set_new();
    EXPECT_EQ(oxlo_domain_set_load(s.m, set, 3, file.c_str()), 2);
    EXPECT_EQ(oxlo_domain_set_match(s.m, set, &v, "a.other.example"), 1);
    EXPECT_EQ(oxlo_domain_set_load(s.m, set, 3, "/nonexistent"), 0);
    oxlo_domain_set_free(set);
}

/* The 6-bit packing codes upper case as lower case and drops characters it
 * has no code for; the short-string compressor, used when it is shorter,
 * keeps every byte. */
TEST(DomainSets, compact_key_packing_folds_case_and_the_compressor_keeps_it)
{
    SuffixModule s("com\n");
    auto same = [&](const char *a, const char *b) {
        uint8_t k1[150], k2[150];
        size_t n1 = oxlo_host_name_compact_key(s.m, a, k1, sizeof(k1));
        size_t n2 = oxlo_host_name_compact_key(s.m, b, k2, sizeof(k2));
        EXPECT_GT(n1, 0u);
        return n1 == n2 && memcmp(k1, k2, n1) == 0;
    };
    /* Digits 4-9 and '_' pack into 6 bits but are literals to the
     * compressor: the packing wins. */
    EXPECT_TRUE(same("x_4_5_6_7_8_9A.com", "x_4_5_6_7_8_9a.com"));
    EXPECT_TRUE(same("x_4_5_6_7_8_9*.com", "x_4_5_6_7_8_9.com"));
    EXPECT_FALSE(same("x_4_5_6_7_8_9.com", "x_4_5_6_7_8_8.com"));
    /* Letters the compressor's model knows: it wins and keeps the case. */
    EXPECT_FALSE(same("xAmple-host.com", "xample-host.com"));
    EXPECT_FALSE(same("xAmple-host.com", "xmple-host.com"));
}

TEST(PublicSuffix, list_rules)
{
    SuffixModule s("// comment\nuk\r\nco.uk\n*.wild\n*.\ncom\n// ===END ICANN DOMAINS===\nprivate.com\n");
    uint16_t id = 0;
    struct Case {
        const char *host;
        const char *suffix;
        uint16_t id;
        const char *domain;
    } cases[] = {
        {"a.b.co.uk", "co.uk", 2, "b.co.uk"},
        {"a.example.com", "com", 4, "example.com"},
        {"x.private.com", "com", 4, "private.com"},
        {"co.uk", "co.uk", 2, "co.uk"},
        {"host.wild", "wild", 3, "host.wild"},
        {"a.b.unlisted", "unlisted", 0, "b.unlisted"},
        {"nodot", "nodot", 0, "nodot"},
        {"192.168.1.1", "1", 0, "192.168.1.1"},
        {"[2001:db8::1]", "[2001:db8::1]", 0, "[2001:db8::1]"},
        {"A.Example.COM", "COM", 4, "Example.COM"},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(oxlo_host_public_suffix(s.m, c.host, &id), c.suffix) << c.host;
        EXPECT_EQ(id, c.id) << c.host;
        EXPECT_STREQ(oxlo_host_registered_domain(s.m, c.host), c.domain) << c.host;
    }
    EXPECT_EQ(oxlo_host_registered_domain(nullptr, "a.b"), nullptr);
    EXPECT_EQ(oxlo_load_public_suffix_list(s.m, nullptr), -1);
    EXPECT_EQ(oxlo_load_public_suffix_list(s.m, "/nonexistent"), -2);
    ModuleGuard bare;
    EXPECT_STREQ(oxlo_host_registered_domain(bare.m, "a.b.co.uk"), "a.b.co.uk");
    EXPECT_STREQ(oxlo_host_public_suffix(bare.m, "a.b.co.uk", &id), "a.b.co.uk");
}

/* Cases of the list's own test file whose answers do not depend on
 * wildcard or exception rules, on punycode spellings of listed names, or on
 * the private-domain section (not loaded). */
TEST(PublicSuffix, cases_from_the_packaged_test_file)
{
    const char *list = oxlo_public_suffix_list_default_path();
    const char *tests = "/usr/share/doc/publicsuffix/examples/test_psl.txt";
    if (!list || access(tests, R_OK) != 0)
        GTEST_SKIP() << "publicsuffix package not installed";
    ModuleGuard g;
    ASSERT_EQ(oxlo_load_public_suffix_list(g.m, list), 0);
    FILE *in = fopen(tests, "r");
    ASSERT_NE(in, nullptr);
    char line[512];
    int checked = 0;
    while (fgets(line, sizeof(line), in)) {
        char host[256], expected[256];
        if (sscanf(line, "checkPublicSuffix('%255[^']', '%255[^']');", host, expected) == 2) {
        } else if (sscanf(line, "checkPublicSuffix('%255[^']', null);", host) == 1) {
            expected[0] = '\0';
        } else {
            continue;
        }
        std::string h = host;
        if (h[0] == '.' || h.find("xn--") != std::string::npos ||
            h.find(".mm") != std::string::npos || h == "mm" || h.find("ck") != std::string::npos ||
            h.find("kobe.jp") != std::string::npos || h.find("uk.com") != std::string::npos)
            continue;
        const char *domain = oxlo_host_registered_domain(g.m, host);
        ASSERT_NE(domain, nullptr);
        if (!expected[0])
            EXPECT_STREQ(domain, host) << "a public suffix is its own domain: " << host;
        else
            EXPECT_EQ(strcasecmp(domain, expected), 0) << host << " gave " << domain;
        checked++;
    }
    fclose(in);
    EXPECT_GT(checked, 40);
}

TEST(Geolocation, not_available)
{
    ModuleGuard g;
    uint32_t asn = 1;
    char country[4], continent[4];
    EXPECT_EQ(oxlo_geoip_open(g.m, "/a", "/b"), -3);
    EXPECT_EQ(oxlo_geoip_lookup_asn(g.m, "8.8.8.8", &asn), -2);
    EXPECT_EQ(oxlo_geoip_lookup_country(g.m, "8.8.8.8", country, 4, continent, 4), -2);
    EXPECT_EQ(oxlo_geoip_lookup_city(), -2);
    EXPECT_EQ(oxlo_geoip_lookup_as_name(), -2);
    oxlo_geoip_close(g.m);
}

TEST(HostPatterns, walks_pass_ids_and_values)
{
    ModuleGuard g;
    oxlo_host_pattern_add(g.m->host_automaton, "one.example", 11, 0, 0, 0);
    oxlo_host_pattern_add(g.m->host_automaton, "two.example", 12, 0, 0, 0);
    std::string seen;
    oxlo_host_patterns_walk(
        g.m,
        [](const char *key, uint64_t value, void *user) {
            if (!strcmp(key, "one.example") || !strcmp(key, "two.example"))
                *static_cast<std::string *>(user) += std::string(key) + "=" + std::to_string(value) + ";";
        },
        &seen);
    EXPECT_EQ(seen, "one.example=11;two.example=12;");
    oxlo_host_patterns_walk(nullptr, nullptr, nullptr);
}

} // namespace
