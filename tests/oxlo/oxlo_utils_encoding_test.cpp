#include "oxlo_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string take(uint8_t *bytes, size_t n)
{
    std::string s(reinterpret_cast<char *>(bytes), n);
    oxlo_heap_free(bytes);
    return s;
}

std::string take(char *text)
{
    std::string s(text);
    oxlo_heap_free(text);
    return s;
}

} // namespace

TEST(utils_encoding, base64_round_trips)
{
    const char *samples[] = {"", "a", "ab", "abc", "abcd", "\xff\x00\x10 binary", "Man is"};
    for (const char *s : samples) {
        size_t len = std::strlen(s);
        char *enc = oxlo_encode_base64(s, len);
        ASSERT_NE(enc, nullptr);
        std::string text = take(enc);
        EXPECT_EQ(text.size() % 4, 0u);
        if (len == 0)
            continue;
        size_t n = 0;
        uint8_t *dec = oxlo_decode_base64(text.data(), text.size(), &n);
        ASSERT_NE(dec, nullptr) << text;
        EXPECT_EQ(take(dec, n), std::string(s, len));
    }
    EXPECT_EQ(take(oxlo_encode_base64("Man", 3)), "TWFu");
    EXPECT_EQ(take(oxlo_encode_base64("Ma", 2)), "TWE=");
}

TEST(utils_encoding, base64_decode_cases)
{
    struct {
        const char *text;
        const char *bytes;   /* null: the decoder refuses */
    } cases[] = {
        {"YWJj", "abc"},
        {"YQ==", "a"},
        {"YWI=", "ab"},
        {"YQ", nullptr},
        {"", nullptr},
        {"Y===", nullptr},
        {"====", nullptr},
        {"Y=Q=", nullptr},          /* data after padding */
        {"YW\nJj", "abc"},          /* outside the alphabet: skipped */
        {"YQ==YWJj", "a"},          /* padding ends the data */
        {"YWJjZA", nullptr},
        {"!!!!", nullptr},
    };
    for (const auto &c : cases) {
        size_t n = 99;
        uint8_t *dec = oxlo_decode_base64(c.text, std::strlen(c.text), &n);
        if (!c.bytes) {
            EXPECT_EQ(dec, nullptr) << c.text;
            EXPECT_EQ(n, 0u);
            oxlo_heap_free(dec);
            continue;
        }
        ASSERT_NE(dec, nullptr) << c.text;
        EXPECT_EQ(take(dec, n), c.bytes) << c.text;
    }
    EXPECT_EQ(oxlo_decode_base64(nullptr, 4, nullptr), nullptr);
}

TEST(utils_encoding, hex_both_ways)
{
    EXPECT_EQ(take(oxlo_hex_encode("\x00\xab\xff", 3)), "00abff");
    size_t n = 0;
    uint8_t *dec = oxlo_hex_decode("00aBfF", 6, &n);
    EXPECT_EQ(take(dec, n), std::string("\x00\xab\xff", 3));
    EXPECT_EQ(oxlo_hex_decode("abc", 3, &n), nullptr);
    EXPECT_EQ(oxlo_hex_decode("zz", 2, &n), nullptr);
    EXPECT_EQ(oxlo_hex_decode(nullptr, 2, &n), nullptr);
    uint8_t *empty = oxlo_hex_decode("", 0, &n);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(n, 0u);
    oxlo_heap_free(empty);

    uint8_t buf[4] = {};
    EXPECT_EQ(oxlo_hex_to_bytes(buf, 4, "0102ff", 6), 3u);
    EXPECT_EQ(buf[2], 0xff);
    EXPECT_EQ(oxlo_hex_to_bytes(buf, 2, "0102ff", 6), 0u);
    EXPECT_EQ(oxlo_hex_to_bytes(buf, 2, "abc", 3), 2u);
    EXPECT_EQ(buf[1], 0xc0);
    EXPECT_EQ(oxlo_hex_to_bytes(buf, 4, "0g", 2), 0u);
}

TEST(utils_encoding, bytes_to_hex_never_writes_past_the_buffer)
{
    char buf[8];
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(oxlo_bytes_to_hex(buf, 7, "\x01\xab\xff", 3), 6u);
    EXPECT_STREQ(buf, "01ABFF");
    EXPECT_EQ(buf[7], 'z');
    std::memset(buf, 'z', sizeof buf);
    /* exactly 2 x length leaves no room for the NUL */
    EXPECT_EQ(oxlo_bytes_to_hex(buf, 6, "\x01\xab\xff", 3), 0u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[6], 'z');
    EXPECT_EQ(oxlo_bytes_to_hex(buf, 0, "\x01", 1), 0u);
}

TEST(utils_encoding, tls_blocks_text_round_trip)
{
    tls_block blocks[3] = {};
    blocks[0] = {4, 517, 1, 0};
    blocks[1] = {5, -122, 1, 3};
    blocks[2] = {15, 4096, 0, 7};
    std::string text = take(oxlo_tls_blocks_to_text(blocks, 3));
    EXPECT_EQ(text, "840205" "85ff86" "0f1000");
    size_t n = 0;
    tls_block *parsed = oxlo_tls_blocks_parse(text.c_str(), text.size(), &n);
    ASSERT_NE(parsed, nullptr);
    ASSERT_EQ(n, 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(parsed[i].kind, blocks[i].kind);
        EXPECT_EQ(parsed[i].length, blocks[i].length);
        EXPECT_EQ(parsed[i].flags, blocks[i].flags & 1);
    }
    oxlo_heap_free(parsed);

    tls_block many[171] = {};
    EXPECT_EQ(oxlo_tls_blocks_to_text(many, 171), nullptr);
    char *max = oxlo_tls_blocks_to_text(many, 170);
    EXPECT_NE(max, nullptr);
    oxlo_heap_free(max);
}

TEST(utils_encoding, tls_blocks_parse_refuses_bad_text)
{
    const std::string too_long(768 * 2, '0');
    const std::string longest(765 * 2, '0');
    const char *bad[] = {"", "zz0000", "0400", "04000", too_long.c_str()};
    for (const char *t : bad) {
        size_t n = 7;
        EXPECT_EQ(oxlo_tls_blocks_parse(t, std::strlen(t), &n), nullptr) << t;
        EXPECT_EQ(n, 0u);
    }
    size_t n = 0;
    tls_block *ok = oxlo_tls_blocks_parse(longest.c_str(), longest.size(), &n);
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(n, 255u);
    oxlo_heap_free(ok);
}

TEST(utils_encoding, tls_blocks_distance)
{
    tls_block a[3] = {{4, 500, 1, 0}, {5, -100, 1, 0}, {15, 300, 0, 0}};
    tls_block b[3] = {{4, 500, 1, 0}, {5, -100, 1, 0}, {15, 310, 0, 0}};
    EXPECT_FLOAT_EQ(oxlo_tls_blocks_distance(a, b, 3), 100.0f);
    EXPECT_FLOAT_EQ(oxlo_tls_blocks_distance(a, b, 0), 0.0f);
    b[1].length = -101;
    EXPECT_FLOAT_EQ(oxlo_tls_blocks_distance(a, b, 3), 999999.0f);   /* early length differs */
    b[1].length = -100;
    b[2].kind = 16;
    EXPECT_FLOAT_EQ(oxlo_tls_blocks_distance(a, b, 3), 999999.0f);   /* kind differs */
    EXPECT_FLOAT_EQ(oxlo_tls_blocks_distance(a, b, 2), 0.0f);
}
