#include "oxlo_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

/* Exact-size heap copy: the sanitizer build catches a read one byte past. */
std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

} // namespace

TEST(utils_text, printable_checks)
{
    EXPECT_EQ(oxlo_is_printable_text("abc ~", 5), 1);
    EXPECT_EQ(oxlo_is_printable_text("", 0), 1);
    EXPECT_EQ(oxlo_is_printable_text("a\x7f", 2), 0);
    EXPECT_EQ(oxlo_is_printable_text("a\n", 2), 0);
    char text[] = "ok\x01\xff!";
    EXPECT_EQ(oxlo_make_printable(text, 5), 0);
    EXPECT_STREQ(text, "ok?" "?!");
    EXPECT_EQ(oxlo_make_printable(text, 5), 1);
}

TEST(utils_text, readable_text_runs)
{
    struct {
        std::string input;
        size_t minimum;
        int found;
        const char *out;
    } cases[] = {
        {"\x01\x02hello world\x01\x02\x03", 4, 1, "hello world"},
        {"\x01" "ab\x02\x03\x04\x05", 4, 0, ""},          /* run too short, output reset */
        {"12345678\x01\x01\x01", 5, 1, "12345678"},
        {"@@@@", 1, 0, "@@"},   /* the last two bytes start no pair: the run never ends */
        {"a.b/c@d e\x01\x01\x01", 3, 1, "a.b/c@d e"},
        {"", 0, 0, ""},
        {"x", 0, 0, ""},
    };
    for (const auto &c : cases) {
        auto in = bytes_of(c.input);
        char out[64];
        EXPECT_EQ(oxlo_find_readable_text(in.data(), in.size(), c.minimum, out, sizeof out), c.found)
            << c.input;
        EXPECT_STREQ(out, c.out) << c.input;
    }
}

TEST(utils_text, readable_text_output_is_bounded)
{
    auto in = bytes_of(std::string(100, '7') + "\x01\x01\x01");
    char out[8];
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(oxlo_find_readable_text(in.data(), in.size(), 10, out, 5), 1);
    EXPECT_STREQ(out, "7777");
    EXPECT_EQ(out[5], 'z');
    EXPECT_EQ(oxlo_find_readable_text(in.data(), in.size(), 10, nullptr, 5), 0);
}

TEST(utils_text, punycode_and_dns_names)
{
    EXPECT_EQ(oxlo_has_punycode("xn--bcher-kva.example", 21), 1);
    EXPECT_EQ(oxlo_has_punycode("a.xn--p1ai", 10), 1);
    EXPECT_EQ(oxlo_has_punycode("xn-", 3), 0);
    EXPECT_EQ(oxlo_has_punycode("xn--", 3), 0);   /* length limits the search */

    const std::string label63(63, 'a'), label64(64, 'a');
    struct {
        std::string name;
        int valid;
    } cases[] = {
        {"a-b.example", 1},
        {"example.com", 1},
        {"a", 1},
        {"1.2.3.4", 1},
        {label63 + ".example", 1},
        {"-ab.example", 0},
        {"ab-", 0},
        {"ab-.example", 0},
        {label64 + ".example", 0},
        {"a..b", 0},
        {".a", 0},
        {"a.", 0},
        {"a_b.example", 0},
        {"", 0},
        {std::string(254, 'a'), 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(oxlo_is_valid_dns_name(c.name.c_str(), c.name.size()), c.valid) << c.name;
    EXPECT_EQ(oxlo_is_valid_dns_name("ab\0--", 5), 1);   /* NUL ends the text */
}

TEST(utils_text, ip_literals_and_suffixes)
{
    EXPECT_EQ(oxlo_is_ip_literal("192.0.2.1"), 1);
    EXPECT_EQ(oxlo_is_ip_literal("2001:db8::1"), 1);
    EXPECT_EQ(oxlo_is_ip_literal("192.0.2"), 0);
    EXPECT_EQ(oxlo_is_ip_literal("example.com"), 0);
    EXPECT_EQ(oxlo_is_ip_literal(nullptr), 0);
    EXPECT_EQ(oxlo_has_suffix("www.example.com", ".com"), 1);
    EXPECT_EQ(oxlo_has_suffix("com", ".com"), 0);
    EXPECT_EQ(oxlo_has_suffix("x", ""), 1);
    EXPECT_EQ(oxlo_has_suffix(nullptr, "x"), 0);
}

TEST(utils_text, searches)
{
    const char range[] = "abcabcab";
    EXPECT_EQ(oxlo_find_bytes(range, 8, "cab", 3), range + 2);
    EXPECT_EQ(oxlo_find_bytes(range, 8, "cab", 0), range);
    EXPECT_EQ(oxlo_find_bytes(range, 7, "bcab", 4), range + 1);
    EXPECT_EQ(oxlo_find_bytes(range, 4, "bcab", 4), nullptr);   /* would pass the range */
    EXPECT_EQ(oxlo_find_bytes(range, 2, "abc", 3), nullptr);
    EXPECT_EQ(oxlo_find_bytes(range, 8, "abd", 3), nullptr);

    EXPECT_EQ(oxlo_find_last_substring(range, "ab"), range + 6);
    EXPECT_EQ(oxlo_find_last_substring(range, "abca"), range + 3);
    EXPECT_EQ(oxlo_find_last_substring(range, ""), range + 8);
    EXPECT_EQ(oxlo_find_last_substring(range, "zz"), nullptr);
    EXPECT_EQ(oxlo_find_last_substring("a", "abc"), nullptr);

    EXPECT_EQ(oxlo_find_last_byte(range, 'a', 8), range + 6);
    EXPECT_EQ(oxlo_find_last_byte(range, 'c', 5), range + 2);
    EXPECT_EQ(oxlo_find_last_byte(range, 'z', 8), nullptr);
    EXPECT_EQ(oxlo_find_last_byte(range, 'a', 0), nullptr);
}

TEST(utils_text, compare_nocase)
{
    EXPECT_EQ(oxlo_compare_nocase("HeLLo", "hello", 5), 0);
    EXPECT_EQ(oxlo_compare_nocase("abc", "abd", 2), 0);
    EXPECT_LT(oxlo_compare_nocase("abc", "abd", 3), 0);
    EXPECT_GT(oxlo_compare_nocase("Xbc", "abc", 3), 0);
    /* the last byte is compared before the inner ones */
    EXPECT_EQ(oxlo_compare_nocase("azc", "aby", 3), 'c' - 'y');
    EXPECT_EQ(oxlo_compare_nocase("x", "y", 0), 0);
    EXPECT_EQ(oxlo_compare_nocase(nullptr, nullptr, 3), 0);
    EXPECT_EQ(oxlo_compare_nocase(nullptr, "a", 1), -1);
    EXPECT_EQ(oxlo_compare_nocase("a", nullptr, 1), 1);
}

TEST(utils_text, trim_and_copies)
{
    size_t len = 9;
    const char *t = oxlo_trim_spaces(" \tab c \t ", &len);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t, len), "ab c");
    len = 3;
    EXPECT_EQ(oxlo_trim_spaces("   ", &len), nullptr);

    char buf[8];
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(oxlo_copy_bounded(buf, 4, "abcdef", 6), 6u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'z');
    EXPECT_EQ(oxlo_copy_bounded(buf, 0, "abc", 3), 0u);
    EXPECT_EQ(oxlo_copy_bounded(buf, 8, nullptr, 3), 0u);

    char *s = oxlo_copy_bytes_as_string("a\0b", 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::memcmp(s, "a\0b\0", 4), 0);
    oxlo_heap_free(s);
}

TEST(utils_text, payload_text_stops_at_control_bytes_and_bounds)
{
    auto p = bytes_of("USER alice\r\nPASS x");
    char buf[16];
    EXPECT_EQ(oxlo_copy_payload_text(p.data(), p.size(), 5, buf, sizeof buf), 5u);
    EXPECT_STREQ(buf, "alice");
    EXPECT_EQ(oxlo_copy_payload_text(p.data(), p.size(), 17, buf, sizeof buf), 1u);
    EXPECT_STREQ(buf, "x");
    EXPECT_EQ(oxlo_copy_payload_text(p.data(), p.size(), 0, buf, 4), 3u);
    EXPECT_STREQ(buf, "USE");
    /* An offset taken from the packet that lies past its end copies nothing. */
    EXPECT_EQ(oxlo_copy_payload_text(p.data(), p.size(), 18, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(oxlo_copy_payload_text(p.data(), p.size(), 5000, buf, sizeof buf), 0u);
}

TEST(utils_text, latin1_to_utf8)
{
    const uint8_t src[] = {'c', 'a', 'f', 0xE9, 0x00, 'x'};
    char out[16];
    EXPECT_EQ(oxlo_latin1_to_utf8(src, 6, out, 13), 5u);
    EXPECT_STREQ(out, "caf\xC3\xA9");
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(oxlo_latin1_to_utf8(src, 6, out, 12), 0u);   /* needs 2 x 6 + 1 */
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'z');
}
