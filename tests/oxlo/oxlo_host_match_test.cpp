#include "list_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oxlo_hosts.h"
#include "oxlo_private.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risks.h"

namespace {

using namespace list_test;

struct Ipv6 {
    uint8_t b[16];
    explicit Ipv6(const char *text) { EXPECT_EQ(inet_pton(AF_INET6, text, b), 1) << text; }
};

uint16_t port(uint16_t p) { return htons(p); }

constexpr uint16_t P_A = OXLO_PROTOCOL_HTTP, P_B = OXLO_PROTOCOL_DNS, P_C = OXLO_PROTOCOL_TLS, P_D = OXLO_PROTOCOL_TWITTER;

TEST(HostMatch, label_boundaries_levels_and_case)
{
    ModuleGuard g;
    ASSERT_NE(g.m, nullptr);
    oxlo_automaton *a = g.m->host_automaton;
    ASSERT_EQ(oxlo_host_pattern_add(a, "example.com", P_A, 5, 2, 0), 0);
    ASSERT_EQ(oxlo_host_pattern_add(a, "cdn.example.com", P_B, 5, 2, 0), 0);
    ASSERT_EQ(oxlo_host_pattern_add(a, "b.sample.", P_C, 5, 2, 0), 0);
    ASSERT_EQ(oxlo_host_pattern_add(a, "example.com", P_D, 5, 2, 0), 0) << "duplicate keeps the first";
    ASSERT_EQ(oxlo_finalize_initialization(g.m), 0);

    struct Case {
        const char *host;
        int expected;
    } cases[] = {
        {"example.com", P_A},
        {"a.example.com", P_A},
        {"a.b.example.com", P_A},
        {"WWW.EXAMPLE.COM", P_A},
        {"example.com.evil", 0},
        {"badexample.com", 0},
        {"myexample.com", 0},
        {"example.co", 0},
        {"cdn.example.com", P_B},
        {"a.cdn.example.com", P_B},        /* level 3 beats level 2 */
        {"xcdn.example.com", P_A},
        {"b.sample.org", P_C},             /* trailing '.': matched from the start */
        {"ab.sample.org", 0},
    };
    for (const Case &c : cases) {
        oxlo_host_match_result r{};
        EXPECT_EQ(oxlo_host_match(g.m, c.host, strlen(c.host), &r), c.expected) << c.host;
        EXPECT_EQ(r.protocol_id, c.expected) << c.host;
    }
    EXPECT_EQ(oxlo_host_match(nullptr, "example.com", 11, nullptr), 0);
    EXPECT_EQ(oxlo_host_match(g.m, "example.com", 0, nullptr), 0);
}

TEST(HostMatch, pattern_levels_and_flags)
{
    struct Case {
        const char *pattern;
        int level;
    } cases[] = {
        {"example.com", 2}, {".example.com", 2}, {"example.com.", 2}, {"a.b.example.com", 4},
        {"com", 1},         {"a..b", 0},         {"a.-b", 0},         {"-cdn.net", 2},
    };
    for (const Case &c : cases)
        EXPECT_EQ(oxlo_host_pattern_level(c.pattern), c.level) << c.pattern;

    oxlo_automaton *a = oxlo_automaton_new_domain();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(oxlo_host_pattern_add(a, "", 1, 0, 0, 0), -2);
    EXPECT_EQ(oxlo_host_pattern_add(a, nullptr, 1, 0, 0, 0), -2);
    EXPECT_EQ(oxlo_host_pattern_add(a, "tail-", 3, 0, 0, 0), 0);
    EXPECT_EQ(oxlo_host_pattern_add(a, "x.org", 4, 0, 0, 0), 0);
    uint8_t flags[5] = {};
    automaton_walk(
        a,
        [](oxlo_automaton *, automaton_node *n, uint16_t, void *user) {
            auto *f = static_cast<uint8_t *>(user);
            for (uint16_t i = 0; n->patterns && i < n->patterns->count; i++)
                if (!n->patterns->entries[i].inherited)
                    f[n->patterns->entries[i].data.id] = n->patterns->entries[i].data.flags;
            return 0;
        },
        nullptr, flags);
    EXPECT_EQ(flags[3], 0) << "ends in '-': not anchored, no dot";
    EXPECT_EQ(flags[4], OXLO_HOST_PATTERN_END_ANCHORED | OXLO_HOST_PATTERN_HAS_DOT);
    oxlo_automaton_free(a);
}

TEST(HostMatch, plain_automaton_values)
{
    oxlo_automaton *a = oxlo_automaton_new_plain();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(oxlo_automaton_add_value(a, "needle", 42), 0);
    EXPECT_EQ(oxlo_automaton_add_value(a, "needle", 43), -2);
    EXPECT_EQ(oxlo_automaton_add(a, "other"), 0);
    EXPECT_EQ(oxlo_automaton_match(a, "haystack needle"), -1) << "not finalized";
    ASSERT_EQ(oxlo_automaton_finalize(a), 0);
    EXPECT_EQ(oxlo_automaton_match(a, "haystack needle"), 42);
    EXPECT_EQ(oxlo_automaton_match(a, "nothing"), 0);
    EXPECT_EQ(oxlo_automaton_match(a, ""), -2);
    uint32_t id = 9;
    EXPECT_EQ(oxlo_automaton_match_id(a, "other", 5, &id), 0);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(oxlo_automaton_match_id(a, "zzz", 3, &id), -1);
    EXPECT_EQ(id, 0u);
    automaton_stats st{};
    EXPECT_EQ(oxlo_automaton_stats(a, &st), 0);
    EXPECT_GE(st.n_search, 4u);
    oxlo_automaton_free(a);
}

TEST(AddressMatch, port_rules_fill_two_entries_then_the_list)
{
    ModuleGuard g;
    char r1[] = "1.2.3.4:443", r2[] = "1.2.3.4:80", r3[] = "1.2.3.4";
    ASSERT_EQ(oxlo_add_address_rule(g.m, r1, P_A, 0), 0);
    ASSERT_EQ(oxlo_add_address_rule(g.m, r2, P_B, 0), 0);
    ASSERT_EQ(oxlo_add_address_rule(g.m, r3, P_C, 0), 0);
    const uint32_t a = ipv4("1.2.3.4");
    EXPECT_EQ(oxlo_protocol_by_ipv4_port(g.m, a, port(443)), P_A);
    EXPECT_EQ(oxlo_protocol_by_ipv4_port(g.m, a, port(80)), P_B);
    EXPECT_EQ(oxlo_protocol_by_ipv4_port(g.m, a, port(22)), 0);
    EXPECT_EQ(oxlo_protocol_by_ipv4_port(g.m, a, 0), P_C);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, a), P_A);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("1.2.3.5")), 0);
}

TEST(AddressMatch, rule_forms_and_family_from_the_text)
{
    ModuleGuard g;
    struct Case {
        const char *spec;
        int ipv6;
        int rc;
    } cases[] = {
        {"10.20.0.0/16", 0, 0},
        {"10.30.0.0/99", 0, 0},            /* bad length: the address alone */
        {"10.40.0.0/24:8080", 0, 0},
        {"[2001:db8:1::1]:53", 0, 0},
        {"[2001:db8:2::]/48:443", 0, 0},
        {"2001:db8::/32", 1, 0},
        {"::/0", 1, 0},
        {"1.2.3.4:99999", 0, -1},
        {"1.2.3.4:abc", 0, -1},
        {"[2001:db8::1", 0, -1},
        {"localhost:8080", 0, 0},          /* a name, resolved from the hosts file */
        {"", 0, -1},
    };
    uint16_t id = 200;
    for (const Case &c : cases) {
        char buf[64];
        snprintf(buf, sizeof(buf), "%s", c.spec);
        EXPECT_EQ(oxlo_add_address_rule(g.m, buf, id++, c.ipv6), c.rc) << c.spec;
    }
    /* ::/0 is IPv6: it catches every IPv6 address and no IPv4 one. */
    EXPECT_EQ(oxlo_protocol_by_ipv6(g.m, Ipv6("2600::1").b), 206);
    EXPECT_EQ(oxlo_protocol_by_ipv6(g.m, Ipv6("2001:db8:ffff::1").b), 205);
    EXPECT_EQ(oxlo_protocol_by_ipv6(g.m, Ipv6("2001:db8:1::1").b), 203);
    EXPECT_EQ(oxlo_protocol_by_ipv6_port(g.m, Ipv6("2001:db8:2::9").b, port(443)), 204);
    EXPECT_EQ(oxlo_protocol_by_ipv6_port(g.m, Ipv6("2001:db8:2::9").b, port(80)), 0);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("8.8.8.8")), 0);
    EXPECT_EQ(oxlo_protocol_by_ipv4_port(g.m, ipv4("10.40.0.7"), port(8080)), 0)
        << "private addresses are not looked up without custom protocols";
    char custom[] = "tcp:1@Anything";
    custom_rule_line_parse(g.m, custom);
    EXPECT_EQ(oxlo_protocol_by_ipv4_port(g.m, ipv4("127.0.0.1"), port(8080)), 210);
    char null_pair[] = "1.1.1.1";
    EXPECT_EQ(oxlo_add_address_rule(nullptr, null_pair, 1, 0), -1);
}

TEST(AddressMatch, private_addresses_looked_up_once_a_custom_protocol_exists)
{
    ModuleGuard g;
    char rule[] = "192.168.1.0/24";
    ASSERT_EQ(oxlo_add_address_rule(g.m, rule, P_A, 0), 0);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("192.168.1.1")), 0);
    char line[] = "tcp:9999@LocalThing";
    custom_rule_line_parse(g.m, line);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("192.168.1.1")), P_A);

    EXPECT_EQ(oxlo_ipv4_is_public(0x0A010203u), 0);
    EXPECT_EQ(oxlo_ipv4_is_public(0xAC1F0001u), 0);
    EXPECT_EQ(oxlo_ipv4_is_public(0xAC200001u), 1);
    EXPECT_EQ(oxlo_ipv4_is_public(0xE0000001u), 0);
    EXPECT_EQ(oxlo_ipv4_is_public(0x08080808u), 1);
}

TEST(AddressMatch, tree_pair_insert_and_match)
{
    oxlo_tree_pair *pair = oxlo_tree_pair_new();
    ASSERT_NE(pair, nullptr);
    oxlo_ip_address a{};
    ASSERT_EQ(oxlo_parse_ip_address("10.0.0.0", &a), 4);
    int tag1 = 1, tag2 = 2;
    EXPECT_EQ(oxlo_tree_pair_insert(pair, &a, 8, &tag1), 0);
    EXPECT_EQ(oxlo_tree_pair_insert(pair, &a, 8, &tag1), -2);
    EXPECT_EQ(oxlo_tree_pair_insert(pair, &a, 16, &tag2), 0);
    EXPECT_EQ(oxlo_tree_pair_insert(pair, &a, 33, &tag2), -1);
    EXPECT_EQ(oxlo_tree_pair_insert(nullptr, &a, 8, &tag2), -4);
    void *out = nullptr;
    oxlo_ip_address q{};
    oxlo_parse_ip_address("10.0.9.9", &q);
    EXPECT_EQ(oxlo_tree_pair_match(pair, &q, &out), 0);
    EXPECT_EQ(out, &tag2);
    oxlo_parse_ip_address("10.9.9.9", &q);
    EXPECT_EQ(oxlo_tree_pair_match(pair, &q, &out), 0);
    EXPECT_EQ(out, &tag1);
    oxlo_parse_ip_address("11.0.0.1", &q);
    EXPECT_EQ(oxlo_tree_pair_match(pair, &q, &out), -1);
    oxlo_parse_ip_address("2001:db8::1", &q);
    EXPECT_EQ(oxlo_tree_pair_match(pair, &q, &out), -1);
    oxlo_tree_pair_free(pair);
}

TEST(AddressMatch, address_texts)
{
    oxlo_ip_address a{};
    char buf[64];
    EXPECT_EQ(oxlo_parse_ip_address("192.0.2.1", &a), 4);
    EXPECT_EQ(oxlo_ip_address_is_ipv6(&a), 0);
    EXPECT_STREQ(oxlo_ip_address_text(&a, buf, sizeof(buf)), "192.0.2.1");
    EXPECT_EQ(oxlo_parse_ip_address("2001:db8::1", &a), 6);
    EXPECT_EQ(oxlo_ip_address_is_ipv6(&a), 1);
    EXPECT_STREQ(oxlo_ip_address_text(&a, buf, sizeof(buf)), "2001:db8::1");
    EXPECT_EQ(oxlo_parse_ip_address("300.1.1.1", &a), -1);
    EXPECT_EQ(oxlo_parse_ip_address("zz", &a), -1);
    char tiny[4];
    EXPECT_STREQ(oxlo_ip_address_text(&a, tiny, sizeof(tiny)), "0.0");
}

TEST(AddressMatch, built_in_lists_load_at_finalization)
{
    ModuleGuard g;
    ASSERT_EQ(oxlo_finalize_initialization(g.m), 0);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("104.16.1.1")), OXLO_PROTOCOL_CLOUDFLARE);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("149.154.167.50")), OXLO_PROTOCOL_TELEGRAM);
    EXPECT_EQ(oxlo_protocol_by_ipv6(g.m, Ipv6("2606:4700::1111").b), OXLO_PROTOCOL_CLOUDFLARE);

    const oxlo_static_ipv6_entry bad[] = {{"not-an-address", 64, 1}, {"2001:db8::", 32, 2},
                                          {nullptr, 0, 0}};
    oxlo_patricia_tree *t = oxlo_patricia_new(128);
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_load_static_ipv6_list(t, bad), 1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Invalid ipv6 address [not-an-address]"),
              std::string::npos);
    oxlo_patricia_free(t, nullptr);
}

TEST(Matching, bounded_searches_and_prefixes)
{
    const char *h = "Host: Example.COM";
    EXPECT_EQ(oxlo_bounded_strstr(h, "Example", 17), h + 6);
    EXPECT_EQ(oxlo_bounded_strstr(h, "Example", 12), nullptr);
    EXPECT_EQ(oxlo_bounded_strstr(h, "zz", 100), nullptr);
    EXPECT_EQ(oxlo_bounded_strcasestr(h, "example.com", 100), h + 6);
    EXPECT_EQ(oxlo_bounded_strcasestr(h, "", 100), h);
    EXPECT_EQ(oxlo_bounded_strcasestr("ab", "abc", 100), nullptr);
    EXPECT_EQ(oxlo_bounded_strstr(nullptr, "a", 1), nullptr);
    EXPECT_EQ(oxlo_buffer_has_prefix("GET /", 5, "GET ", 4), 1);
    EXPECT_EQ(oxlo_buffer_has_prefix("GE", 2, "GET ", 4), 0);
}

TEST(Matching, protocol_pairs_and_id_texts)
{
    const uint32_t pair = (7u << 16) | 5u;
    char buf[16];
    EXPECT_STREQ(oxlo_format_protocol_ids(pair, buf, sizeof(buf)), "5.7");
    EXPECT_STREQ(oxlo_format_protocol_ids(7u, buf, sizeof(buf)), "7");
    EXPECT_STREQ(oxlo_format_protocol_ids(7u << 16, buf, sizeof(buf)), "7");
    EXPECT_STREQ(oxlo_format_protocol_ids((7u << 16) | 7u, buf, sizeof(buf)), "7");
    EXPECT_EQ(oxlo_protocol_pair_has(pair, 7), 1);
    EXPECT_EQ(oxlo_protocol_pair_has(pair, 6), 0);
    EXPECT_EQ(oxlo_protocol_pair_is_unknown(0), 1);
    EXPECT_EQ(oxlo_protocol_pair_match(pair, pair, 1), 1);
    EXPECT_EQ(oxlo_protocol_pair_match(pair, 5u, 0), 1);
    EXPECT_EQ(oxlo_protocol_pair_match(pair, 9u << 16, 0), 0);
    EXPECT_EQ(oxlo_protocol_pair_match(pair, 0, 0), 0);
    EXPECT_EQ(oxlo_protocol_pair_master_or_app(pair), 5);
    EXPECT_EQ(oxlo_protocol_pair_master_or_app(7u << 16), 7);
    EXPECT_EQ(oxlo_protocol_pair_app_or_master(pair), 7);
    EXPECT_EQ(oxlo_protocol_pair_app_or_master(5u), 5);
}

TEST(Matching, xgram_tests_stop_at_the_end_of_the_name)
{
    /* Exact-size heap copies so that a read past the NUL shows under ASan. */
    for (const char *text : {"", "a", "th", "q"}) {
        size_t n = strlen(text) + 1;
        char *copy = static_cast<char *>(malloc(n));
        memcpy(copy, text, n);
        (void)oxlo_common_bigram_test(copy);
        (void)oxlo_impossible_bigram_test(copy);
        (void)oxlo_trigram_test(copy);
        free(copy);
    }
    EXPECT_EQ(oxlo_common_bigram_test("th"), 1);
}

TEST(Matching, anydesk_risk)
{
    ModuleGuard g;
    auto *flow = static_cast<oxlo_flow_state *>(oxlo_heap_calloc(1, oxlo_flow_state_size()));
    oxlo_anydesk_risk_check(g.m, flow, OXLO_PROTOCOL_HTTP);
    EXPECT_FALSE(oxlo_flow_risk_is_set(flow, OXLO_DESKTOP_OR_FILE_SHARING_SESSION));
    oxlo_anydesk_risk_check(g.m, flow, OXLO_PROTOCOL_ANYDESK);
    EXPECT_TRUE(oxlo_flow_risk_is_set(flow, OXLO_DESKTOP_OR_FILE_SHARING_SESSION));
    oxlo_flow_state_free(flow);
}

TEST(Matching, md5_one_call)
{
    uint8_t d[16];
    oxlo_md5_digest(reinterpret_cast<const uint8_t *>("abc"), 3, d);
    const uint8_t expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                  0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(memcmp(d, expected, 16), 0);
}

} // namespace
