#include "oxlo_utils.h"
#include "oxlo_utils_internal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <string>

#include "oxlo_automaton.h"
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_string_map.h"

namespace {

struct ModuleFixture : ::testing::Test {
    oxlo_module *m = nullptr;
    bool own_table = false;
    void SetUp() override
    {
        m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
        if (m->protocols.count == 0) {   /* a module that does not fill its table at creation */
            ASSERT_EQ(oxlo_proto_table_init(m), 0);
            own_table = true;
        }
    }
    void TearDown() override
    {
        if (own_table)
            oxlo_proto_table_free(m);
        oxlo_module_free(m);
    }
};

} // namespace

TEST_F(ModuleFixture, tpkt_header_must_carry_the_payload_length)
{
    struct {
        std::string payload;
        bool tcp;
        int tpkt;
    } cases[] = {
        {std::string("\x03\x00\x00\x08" "abcd", 8), true, 1},
        {std::string("\x03\x00\x00\x09" "abcd", 8), true, 0},   /* length disagrees */
        {std::string("\x03\x01\x00\x08" "abcd", 8), true, 0},
        {std::string("\x03\x00\x00\x04", 4), true, 0},       /* header only */
        {std::string("\x03\x00\x00\x08" "abcd", 8), false, 0},  /* not TCP */
    };
    static const uint8_t tcp_header[20] = {};
    for (const auto &c : cases) {
        m->det.packet.tcp = c.tcp ? tcp_header : nullptr;
        m->det.packet.payload = reinterpret_cast<const uint8_t *>(c.payload.data());
        m->det.packet.payload_length = static_cast<uint16_t>(c.payload.size());
        EXPECT_EQ(oxlo_packet_is_tpkt(m), c.tpkt);
    }
    EXPECT_EQ(oxlo_packet_is_tpkt(nullptr), 0);
}

TEST_F(ModuleFixture, tls_master_protocol)
{
    static const uint8_t tcp_header[20] = {};
    m->det.packet.tcp = tcp_header;
    struct {
        uint16_t master, app, client_port, server_port;
        bool tcp;
        uint16_t expected;
    } cases[] = {
        {OXLO_PROTOCOL_TLS, 126, 40000, 443, true, OXLO_PROTOCOL_TLS},
        {0, 7, 40000, 443, true, 7},
        {0, 0, 40000, 443, false, OXLO_PROTOCOL_DTLS},
        {0, 0, 40000, 465, true, OXLO_PROTOCOL_SMTPS},
        {0, 0, 587, 40000, true, OXLO_PROTOCOL_SMTPS},
        {0, 0, 40000, 993, true, OXLO_PROTOCOL_IMAPS},
        {0, 0, 995, 40000, true, OXLO_PROTOCOL_POPS},
        {0, 0, 40000, 443, true, OXLO_PROTOCOL_TLS},
    };
    for (const auto &c : cases) {
        oxlo_flow_state flow{};
        flow.master = c.master;
        flow.app = c.app;
        flow.client_port = htons(c.client_port);
        flow.server_port = htons(c.server_port);
        m->det.packet.tcp = c.tcp ? tcp_header : nullptr;
        EXPECT_EQ(oxlo_flow_tls_master_protocol(m, &flow), c.expected) << c.server_port;
    }
}

TEST_F(ModuleFixture, protocol_ids_and_pairs)
{
    ASSERT_GT(m->protocols.count, static_cast<uint32_t>(OXLO_PROTOCOL_TLS));
    EXPECT_EQ(oxlo_protocol_id_is_valid(m, OXLO_PROTOCOL_TLS), 1);
    EXPECT_EQ(oxlo_protocol_id_is_valid(m, (7u << 16) | OXLO_PROTOCOL_TLS), 1);   /* low 16 bits */
    EXPECT_EQ(oxlo_protocol_id_is_valid(m, m->protocols.count), 0);
    EXPECT_EQ(oxlo_protocol_id_is_valid(nullptr, 1), 0);

    /* Find one network protocol and one application-only protocol. */
    uint16_t network = 0, app_only = 0;
    for (uint16_t id = 1; id < m->protocols.count && (!network || !app_only); id++) {
        if (!m->protocols.entries[id].name[0])
            continue;
        if (m->protocols.entries[id].flags & OXLO_PROTO_FLAG_APP)
            app_only = app_only ? app_only : id;
        else
            network = network ? network : id;
    }
    ASSERT_TRUE(network && app_only);
    EXPECT_EQ(oxlo_protocol_is_not_app_only(m, network), 1);
    EXPECT_EQ(oxlo_protocol_is_not_app_only(m, app_only), 0);

    struct {
        oxlo_protocol_pair in;
        int changed;
        oxlo_protocol_pair out;
    } cases[] = {
        {{0, network}, 1, {network, 0}},
        {{0, app_only}, 0, {0, app_only}},
        {{network, network}, 1, {network, 0}},
        {{app_only, app_only}, 1, {0, app_only}},
        {{network, app_only}, 0, {network, app_only}},
    };
    for (auto c : cases) {
        EXPECT_EQ(oxlo_protocol_pair_normalize(m, &c.in), c.changed);
        EXPECT_EQ(c.in.master, c.out.master);
        EXPECT_EQ(c.in.app, c.out.app);
    }
}

TEST_F(ModuleFixture, protocol_stack_text)
{
    oxlo_protocol_stack stack{};
    char buf[64];
    EXPECT_STREQ(oxlo_protocol_stack_text(m, &stack, buf, sizeof buf), "Unknown");
    stack.ids[0] = OXLO_PROTOCOL_TLS;
    stack.ids[1] = OXLO_PROTOCOL_DTLS;
    stack.count = 2;
    std::string expected = std::string(oxlo_protocol_name(m, OXLO_PROTOCOL_TLS)) + "." +
                           oxlo_protocol_name(m, OXLO_PROTOCOL_DTLS);
    EXPECT_EQ(std::string(oxlo_protocol_stack_text(m, &stack, buf, sizeof buf)), expected);
    char small[8];
    std::memset(small, 'z', sizeof small);
    EXPECT_EQ(std::string(oxlo_protocol_stack_text(m, &stack, small, 5)), expected.substr(0, 4));
    EXPECT_EQ(small[5], 'z');
}

TEST(utils_module, classification_is_known)
{
    oxlo_classification c{};
    EXPECT_EQ(oxlo_classification_is_known(c), 0);
    c.app = 5;
    EXPECT_EQ(oxlo_classification_is_known(c), 1);
    c = {};
    c.category = 3;
    EXPECT_EQ(oxlo_classification_is_known(c), 1);
}

TEST_F(ModuleFixture, alpn_identifiers_match_whole)
{
    /* Until the module keeps its own ALPN automaton, the test lends one. */
    oxlo_automaton *own = m->alpn_automaton;
    m->alpn_automaton = automaton_new(nullptr);
    ASSERT_NE(m->alpn_automaton, nullptr);
    EXPECT_EQ(oxlo_alpn_table_load(m), 60);
    ASSERT_EQ(automaton_finalize(m->alpn_automaton), 0);
    const char *known[] = {"h2", "h2c", "http/1.1", "/yamux/1.0.0", "libp2p", "hq-interop"};
    for (const char *a : known)
        EXPECT_EQ(oxlo_alpn_is_known(m, a, std::strlen(a)), 1) << a;
    const char *unknown[] = {"h2x", "xh2", "http/1.2", "h", "H2", "spdy"};
    for (const char *a : unknown)
        EXPECT_EQ(oxlo_alpn_is_known(m, a, std::strlen(a)), 0) << a;
    EXPECT_EQ(oxlo_alpn_is_known(m, "h2c", 2), 1);   /* length, not the NUL, ends the text */
    automaton_release(m->alpn_automaton, 1);
    m->alpn_automaton = own;
    EXPECT_EQ(oxlo_alpn_is_known(nullptr, "h2", 2), 0);
}

TEST_F(ModuleFixture, string_map_stats_by_selector)
{
    uint64_t stats[2] = {9, 9};
    oxlo_string_map *own = m->risky_domains;
    ASSERT_EQ(oxlo_string_map_init(&m->risky_domains), 0);
    oxlo_string_map_add(&m->risky_domains, "bad.example", 11, 1, nullptr);
    uint64_t v;
    oxlo_string_map_find(m->risky_domains, "bad.example", 11, &v);
    oxlo_string_map_find(m->risky_domains, "ok.example", 10, &v);
    EXPECT_EQ(oxlo_module_string_map_stats(m, 0, stats), 0);
    EXPECT_EQ(stats[0], 2u);
    EXPECT_EQ(stats[1], 1u);
    EXPECT_EQ(oxlo_module_string_map_stats(m, 6, stats), 0);
    EXPECT_EQ(stats[0], 0u);
    EXPECT_EQ(oxlo_module_string_map_stats(m, 7, stats), -1);
    EXPECT_EQ(oxlo_module_string_map_stats(m, -1, stats), -1);
    EXPECT_EQ(oxlo_module_string_map_stats(nullptr, 0, stats), -1);
    oxlo_string_map_free(&m->risky_domains);
    m->risky_domains = own;
}

namespace {

/* A public suffix list of "com" (id 1), "co.uk" (id 2) and "x" (id 3). */
const char *fake_suffix(oxlo_module *, const char *name, uint16_t *id)
{
    size_t n = std::strlen(name);
    *id = 0;
    if (n > 2 && std::strcmp(name + n - 2, ".x") == 0) {
        *id = 3;
        return name + n - 1;
    }
    if (n > 6 && std::strcmp(name + n - 6, ".co.uk") == 0) {
        *id = 2;
        return name + n - 5;
    }
    if (n > 4 && std::strcmp(name + n - 4, ".com") == 0) {
        *id = 1;
        return name + n - 3;
    }
    return name;
}

int no_compress(const char *, size_t, char *, size_t out_size) { return static_cast<int>(out_size + 1); }

/* A compressor that turns anything into two bytes. */
int tiny_compress(const char *, size_t, char *out, size_t out_size)
{
    if (out_size < 2)
        return static_cast<int>(out_size + 1);
    out[0] = 'C';
    out[1] = 'Z';
    return 2;
}

std::string key_of(const char *name, int (*compress)(const char *, size_t, char *, size_t) = no_compress,
                   size_t size = 64)
{
    uint8_t buf[64];
    oxlo_compact_key_calls calls = {fake_suffix, compress};
    size_t n = oxlo_host_name_compact_key_with(nullptr, name, buf, size, &calls);
    return std::string(reinterpret_cast<char *>(buf), n);
}

} // namespace

TEST(utils_hostkey, packs_six_bits_a_character_before_the_suffix)
{
    /* "abcd." -> codes 1 2 3 4 | 39: 1 | 2<<6 | 3<<12 | 4<<18 = 0x103081, then
     * one code in one byte, then suffix id 1 big-endian. */
    std::string k = key_of("abcdabcdabcd.com");
    EXPECT_EQ(k, std::string("\x81\x30\x10\x81\x30\x10\x81\x30\x10\x27\x00\x01", 12));
    EXPECT_EQ(key_of("zzzzzzzz.co.uk").substr(7), std::string("\x00\x02", 2));
    EXPECT_EQ(key_of("zzzzzzzz.co.uk").size(), 6u + 1u + 2u);
    /* dropped characters and the other codes */
    EXPECT_EQ(key_of("a-_9zzzzzzzz.com").substr(0, 3),
              std::string("\x41\x69\x92", 3));   /* 1 | 37<<6 | 38<<12 | 36<<18 */
}

TEST(utils_hostkey, falls_back_to_text)
{
    EXPECT_EQ(key_of("a.co"), "a.co");                         /* shorter than 5 */
    EXPECT_EQ(key_of("www.example.org"), "www.example.org");   /* no known suffix */
    EXPECT_EQ(key_of("abcd.x"), "abcd.x");                     /* packing does not shorten */
    EXPECT_EQ(key_of("abcde.x"), "abcde.x");                   /* 5 + 2 bytes for 7 */
    EXPECT_EQ(key_of("abcdefgh.x").size(), 9u);                /* 7 + 2 bytes for 10 */
    EXPECT_EQ(key_of("www.example.org", no_compress, 15), "");   /* no room for the NUL */
    EXPECT_EQ(key_of("abcdabcdabcd.com", no_compress, 11), "");  /* key longer than the buffer */
}

TEST(utils_hostkey, compressed_form_when_shorter)
{
    EXPECT_EQ(key_of("abcdabcdabcd.com", tiny_compress), std::string("CZ\x00\x01", 4));
}

TEST(utils_hostkey, public_entry_without_a_suffix_list_keeps_text)
{
    uint8_t buf[64];
    EXPECT_EQ(oxlo_host_name_compact_key(nullptr, "www.example.com", buf, sizeof buf), 15u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf)), "www.example.com");
    EXPECT_EQ(oxlo_host_name_compact_key(nullptr, nullptr, buf, sizeof buf), 0u);
}
