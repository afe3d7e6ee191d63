// Flow metadata as JSON: the generic members, the endpoint and address
// texts, and the DNS and TLS blocks on flows fed through the engine or set
// up in the TLS dissector's state.
#include "../protocols/dissector_kit.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_flow_json.h"
#include "oxlo_hosts.h"
#include "oxlo_names.h"
#include "oxlo_tls_dns.h"
#include "protocols/tls/tls_private.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string json_of(const std::function<int(oxlo_recbuf *)> &write)
{
    oxlo_recbuf s;
    EXPECT_EQ(oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON), 0);
    EXPECT_EQ(write(&s), 0);
    uint32_t len = 0;
    const char *out = oxlo_recbuf_output(&s, &len);
    std::string text(out ? out : "", len);
    oxlo_recbuf_release(&s);
    return text;
}

std::string be16(uint16_t v) { return std::string{char(v >> 8), char(v & 0xFF)}; }
std::string be32(uint32_t v) { return be16(uint16_t(v >> 16)) + be16(uint16_t(v)); }

struct flow_json : kit::engine {
    std::vector<std::array<const char *, 3>> knobs() override
    {
        return {{"tls", "max_num_blocks_to_analyze", "16"}};
    }
    oxlo_flow_state *f = nullptr;
    void SetUp() override
    {
        kit::engine::SetUp();
        f = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
        memset(f, 0, oxlo_flow_state_size());
    }
    void TearDown() override
    {
        oxlo_flow_state_free(f);
        kit::engine::TearDown();
    }
    // A TLS state as the dissector leaves it after a ServerHello.
    oxlo_tls_flow &tls(uint16_t version = 0x0303)
    {
        oxlo_tls_flow *t = oxlo_tls_state(m, f, 1);
        EXPECT_NE(t, nullptr);
        t->version = version;
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_TLS, OXLO_PROTOCOL_TLS, OXLO_CONFIDENCE_DPI);
        return *t;
    }
    std::string info(oxlo_classification c, const oxlo_flow_state *flow = nullptr)
    {
        return json_of([&](oxlo_recbuf *s) { return oxlo_flow_info_serialize(m, flow ? flow : f, s, c); });
    }
};

oxlo_classification classified(uint16_t master, uint16_t app)
{
    oxlo_classification c{};
    c.master = master;
    c.app = app;
    return c;
}

TEST(flow_json_endpoint, ipv6_in_brackets_and_no_cut_text)
{
    struct {
        const char *address;
        bool ipv6;
        uint16_t port;
        size_t size;
        const char *text;
    } cases[] = {
        {"192.0.2.1", false, 443, 64, "192.0.2.1:443"},
        {"2001:db8::1", true, 443, 64, "[2001:db8::1]:443"},
        {"2001:db8:0:1:0:1:0:1", true, 53, 64, "[2001:db8:0:1:0:1:0:1]:53"},
        {"2001:db8::1", true, 443, 12, ""}, // too small: nothing rather than a wrong endpoint
    };
    for (auto &c : cases) {
        oxlo_endpoint e{};
        ASSERT_EQ(inet_pton(c.ipv6 ? AF_INET6 : AF_INET, c.address, e.address), 1);
        e.port = c.port;
        e.flags = c.ipv6 ? OXLO_ENDPOINT_IPV6 : 0;
        char buffer[64];
        EXPECT_STREQ(oxlo_endpoint_to_text(&e, buffer, c.size), c.text) << c.address;
    }
    char buffer[8] = "x";
    EXPECT_STREQ(oxlo_endpoint_to_text(nullptr, buffer, sizeof(buffer)), "");
}

TEST(flow_json_members, algorithm_list_leaves_out_ext_info)
{
    struct {
        const char *text;
        const char *json;
    } cases[] = {
        {"curve25519-sha256,ext-info-c,kex-strict-c", "{\"kex\": [\"curve25519-sha256\",\"kex-strict-c\"]}"},
        {"ext-info-s", "{\"kex\": []}"},
        {"", "{\"kex\": []}"},
        {"a,,b,", "{\"kex\": [\"a\",\"b\"]}"},
    };
    for (auto &c : cases)
        EXPECT_EQ(json_of([&](oxlo_recbuf *s) { return oxlo_recbuf_put_algorithm_list(s, c.text, "kex"); }), c.json)
            << c.text;
}

TEST(flow_json_members, risks_and_confidence)
{
    EXPECT_EQ(json_of([](oxlo_recbuf *s) { return oxlo_recbuf_put_risks(s, 1ULL << OXLO_TLS_OBSOLETE_VERSION); }),
              "{\"flow_risk\": {\"7\": {\"risk\":\"Obsolete TLS (v1.1 or older)\",\"severity\":\"High\","
              "\"risk_score\": {\"total\":100,\"client\":90,\"server\":10}}}}");
    EXPECT_EQ(json_of([](oxlo_recbuf *s) { return oxlo_recbuf_put_confidence(s, OXLO_CONFIDENCE_DPI); }),
              "{\"confidence\": {\"6\":\"DPI\"}}");
    // Empty mask and confidence 0 write nothing.
    EXPECT_EQ(json_of([](oxlo_recbuf *s) {
                  return oxlo_recbuf_put_risks(s, 0) | oxlo_recbuf_put_risk_score(s, 0) |
                         oxlo_recbuf_put_confidence(s, OXLO_CONFIDENCE_UNKNOWN);
              }),
              "{}");
    EXPECT_EQ(oxlo_recbuf_put_risks(nullptr, 1), -2);
}

TEST_F(flow_json, a_bare_flow_writes_only_the_protocol_members_and_its_block)
{
    EXPECT_EQ(info(classified(OXLO_PROTOCOL_MDNS, 0)),
              "{\"oxlo\": {\"proto\":\"MDNS\",\"proto_id\":\"8\",\"proto_by_ip\":\"Unknown\",\"encrypted\":0,"
              "\"breed\":\"Unrated\",\"category_id\":0,\"category\":\"Unspecified\",\"mdns\": {}}}");
    oxlo_recbuf s;
    ASSERT_EQ(oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON), 0);
    EXPECT_EQ(oxlo_flow_info_serialize(m, nullptr, &s, classified(7, 0)), -1);
    EXPECT_EQ(oxlo_flow_info_serialize(m, f, nullptr, classified(7, 0)), -2);
    oxlo_recbuf_release(&s);
}

TEST_F(flow_json, encrypted_follows_the_clear_text_flag)
{
    EXPECT_EQ(oxlo_protocol_is_encrypted(m, OXLO_PROTOCOL_TLS), 1);
    EXPECT_EQ(oxlo_protocol_is_encrypted(m, OXLO_PROTOCOL_HTTP), 0);
    EXPECT_EQ(oxlo_protocol_is_encrypted(m, (uint32_t(OXLO_PROTOCOL_TLS) << 16)), 1); // app only
    EXPECT_EQ(oxlo_protocol_is_encrypted(m, (uint32_t(OXLO_PROTOCOL_HTTP) << 16) | OXLO_PROTOCOL_TLS), 1);
    EXPECT_EQ(oxlo_protocol_is_encrypted(m, 0xFFF0u), 0); // not a protocol
}

TEST_F(flow_json, header_writes_ipv6_as_inet_ntop_gives_it)
{
    uint8_t src[16], dst[16];
    // No "::" in the standard text: a shortening of every ":0:" would make
    // it "2001:db8::1::1::1", which names no address.
    inet_pton(AF_INET6, "2001:db8:0:1:0:1:0:1", src);
    inet_pton(AF_INET6, "2001:db8::2", dst);
    const std::string out = json_of([&](oxlo_recbuf *s) {
        return oxlo_flow_header_serialize(m, f, 6, 17, 0, 0, 0, src, dst, htons(5353), htons(53),
                                          classified(OXLO_PROTOCOL_MDNS, 0), s);
    });
    EXPECT_EQ(out.rfind("{\"src_ip\":\"2001:db8:0:1:0:1:0:1\",\"dest_ip\":\"2001:db8::2\",\"src_port\":5353,"
                        "\"dst_port\":53,\"ip\":6,\"proto\":\"UDP\",\"oxlo\": {",
                        0),
              0u)
        << out;
    const uint32_t a = htonl(0xC0000201), b = htonl(0xC0000202);
    const std::string v4 = json_of([&](oxlo_recbuf *s) {
        return oxlo_flow_header_serialize(m, f, 4, 6, 12, a, b, nullptr, nullptr, 0, htons(80),
                                          classified(OXLO_PROTOCOL_HTTP, 0), s);
    });
    EXPECT_EQ(v4.rfind("{\"vlan_id\":12,\"src_ip\":\"192.0.2.1\",\"dest_ip\":\"192.0.2.2\",\"dst_port\":80,\"ip\":4,"
                       "\"proto\":\"TCP\",\"oxlo\":",
                       0),
              0u)
        << v4;
}

TEST_F(flow_json, dns_answers_are_listed_with_their_ttl)
{
    char path[] = "/tmp/flow_json_psl_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "test\n", 5), 5);
    close(fd);
    ASSERT_EQ(oxlo_load_public_suffix_list(m, path), 0);
    unlink(path);
    kit::conversation c(m, 53, OXLO_L4_UDP);
    const std::string question = std::string("\x03www\x07" "example\x04test\x00", 18) + be16(1) + be16(1);
    auto answer = [](uint32_t ttl, uint32_t address) {
        return be16(0xC00C) + be16(1) + be16(1) + be32(ttl) + be16(4) + be32(address);
    };
    c.client(be16(0x4242) + be16(0x0100) + be16(1) + be16(0) + be16(0) + be16(0) + question);
    c.server(be16(0x4242) + be16(0x8180) + be16(1) + be16(2) + be16(0) + be16(0) + question +
             answer(300, 0xC0000201) + answer(60, 0xC0000202));
    const std::string out = info(c.last, c.f);
    EXPECT_NE(out.find("\"hostname\":\"www.example.test\",\"domainame\":\"example.test\""), std::string::npos)
        << out;
    EXPECT_NE(out.find("\"dns\": {\"num_queries\":1,\"num_answers\":2,\"reply_code\":0,\"query_type\":1,"
                       "\"rsp_type\":1,\"rsp_addr\": [\"192.0.2.1,ttl=300\",\"192.0.2.2,ttl=60\"]}"),
              std::string::npos)
        << out;
    EXPECT_EQ(oxlo_flow_error_code(c.f), 0);
}

TEST_F(flow_json, certificate_fingerprint_beginning_with_zero_is_written)
{
    oxlo_tls_flow &t = tls();
    for (uint8_t i = 0; i < 20; i++)
        t.cert_sha1[i] = i; // the first byte is 0
    t.hello_flags |= 0x10;  // the SHA-1 was taken
    const std::string out = json_of([&](oxlo_recbuf *s) { return oxlo_flow_tls_serialize(m, s, f); });
    const std::string want = "00:01:02:03:04:05:06:07:08:09:0A:0B:0C:0D:0E:0F:10:11:12:13";
    EXPECT_EQ(want.size(), 59u);
    EXPECT_NE(out.find("\"fingerprint\":\"" + want + "\""), std::string::npos) << out;
    // Without the flag there is no fingerprint, whatever the bytes hold.
    t.hello_flags &= uint8_t(~0x10);
    EXPECT_EQ(json_of([&](oxlo_recbuf *s) { return oxlo_flow_tls_serialize(m, s, f); }).find("fingerprint"),
              std::string::npos);
}

TEST_F(flow_json, fingerprint_members_of_a_tls_flow)
{
    EXPECT_EQ(json_of([&](oxlo_recbuf *s) { return oxlo_flow_fingerprint_serialize(m, f, s) == 0 ? 0 : -1; }),
              "{}");
    oxlo_tls_flow &t = tls();
    strcpy(t.ja4_client, "t13d311000_e8f1e7e78f70_1f22a2ca17c4");
    oxlo_flow_store_host_name(f, "www.vesk.test", 13, OXLO_HOST_LOWER);
    EXPECT_EQ(json_of([&](oxlo_recbuf *s) { return oxlo_flow_fingerprint_serialize(m, f, s) == 1 ? 0 : -1; }),
              "{\"JA4\":\"t13d311000_e8f1e7e78f70_1f22a2ca17c4\",\"sni\":\"www.vesk.test\","
              "\"sni_domain\":\"www.vesk.test\"}"); // no suffix list loaded: the whole name
}

TEST_F(flow_json, tls_block_needs_a_known_version)
{
    for (uint16_t version : {uint16_t(0), uint16_t(0x1234)}) {
        tls(version);
        EXPECT_EQ(info(classified(OXLO_PROTOCOL_TLS, 0)).find("\"tls\""), std::string::npos) << version;
    }
    tls(0x0304).cert_not_after = 2112226901;
    const std::string out = info(classified(OXLO_PROTOCOL_TLS, 0));
    EXPECT_NE(out.find("\"tls\": {\"version\":\"TLSv1.3\",\"notafter\":\"2036-12-07 01:41:41\",\"ja3s\":\"\","
                       "\"ja4\":\"\",\"unsafe_cipher\":0}"),
              std::string::npos)
        << out;
}

TEST_F(flow_json, tls_blocks_start_an_item_when_the_direction_changes)
{
    oxlo_tls_flow &t = tls();
    // Responder blocks carry flag bit 0 and a negative length.
    const tls_block script[] = {
        {TLS_BLOCK_HS_CLIENT_HELLO, 297, 0, 0},   {TLS_BLOCK_HS_SERVER_HELLO, -118, 1, 3},
        {TLS_BLOCK_CHANGE_CIPHER, -1, 1, 0},      {TLS_BLOCK_APPLICATION_DATA, -23, 1, 0},
        {TLS_BLOCK_CHANGE_CIPHER, 1, 0, 9},       {TLS_BLOCK_APPLICATION_DATA, 69, 0, 0},
        {TLS_BLOCK_APPLICATION_DATA, -5238, 1, 65535},
    };
    t.blocks = static_cast<tls_block *>(oxlo_heap_calloc(64, sizeof(tls_block)));
    ASSERT_NE(t.blocks, nullptr);
    memcpy(t.blocks, script, sizeof(script));
    t.block_count = uint16_t(sizeof(script) / sizeof(script[0]));
    std::string out = info(classified(OXLO_PROTOCOL_TLS, 0));
    EXPECT_NE(out.find("\"tls_blocks\": [\"22:1=297\",\"22:2=-118,20=-1,23=-23\",\"20=1,23=69\",\"23=-5238\"]"),
              std::string::npos)
        << out;

    // A run longer than one item goes on in the next item.
    for (uint16_t i = 0; i < 64; i++)
        t.blocks[i] = {TLS_BLOCK_APPLICATION_DATA, -16000, 1, 0};
    t.block_count = 64;
    out = info(classified(OXLO_PROTOCOL_TLS, 0));
    const size_t list = out.find("\"tls_blocks\": [\"");
    ASSERT_NE(list, std::string::npos) << out;
    const size_t first_end = out.find('"', list + 16);
    EXPECT_LE(first_end - (list + 16), 255u);
    size_t pieces = 0;
    for (size_t p = out.find("23=-16000", list); p != std::string::npos; p = out.find("23=-16000", p + 1))
        pieces++;
    EXPECT_EQ(pieces, 64u) << "no block lost when an item is full";
}

struct flow_json_timing : flow_json {
    std::vector<std::array<const char *, 3>> knobs() override
    {
        return {{"tls", "max_num_blocks_to_analyze", "16"}, {"tls", "tls_blocks_show_timing", "1"}};
    }
};

TEST_F(flow_json_timing, tls_blocks_show_their_time_offset)
{
    oxlo_tls_flow &t = tls();
    t.blocks = static_cast<tls_block *>(oxlo_heap_calloc(2, sizeof(tls_block)));
    ASSERT_NE(t.blocks, nullptr);
    t.blocks[0] = {TLS_BLOCK_HS_CLIENT_HELLO, 200, 0, 0};
    t.blocks[1] = {TLS_BLOCK_HS_SERVER_HELLO, -90, 1, 12};
    t.block_count = 2;
    const std::string out = info(classified(OXLO_PROTOCOL_TLS, 0));
    EXPECT_NE(out.find("\"tls_blocks\": [\"22:1=200@0\",\"22:2=-90@12\"]"), std::string::npos) << out;
}

} // namespace
