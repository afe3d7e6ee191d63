#include "oxlo_utils.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cmath>
#include <cstring>
#include <string>

TEST(utils_numbers, ipv4_text_fits_or_is_empty)
{
    char buf[32];
    char *t = oxlo_ipv4_to_text(0xC0000201u, buf, sizeof buf);
    EXPECT_STREQ(t, "192.0.2.1");
    EXPECT_GE(t, buf);
    EXPECT_EQ(t + std::strlen(t), buf + sizeof buf - 1);
    EXPECT_STREQ(oxlo_ipv4_to_text(0, buf, 8), "0.0.0.0");
    EXPECT_STREQ(oxlo_ipv4_to_text(0xFFFFFFFFu, buf, 16), "255.255.255.255");

    /* Too small for the text: an empty text inside the buffer. Guard bytes on
     * both sides show that nothing is written before or after it. */
    struct {
        char before[8];
        char buf[15];
        char after[8];
    } g;
    std::memset(&g, 'z', sizeof g);
    char *small = oxlo_ipv4_to_text(0xFFFFFFFFu, g.buf, sizeof g.buf);
    EXPECT_EQ(small, g.buf);
    EXPECT_STREQ(small, "");
    for (char c : g.before)
        EXPECT_EQ(c, 'z');
    for (char c : g.after)
        EXPECT_EQ(c, 'z');
    EXPECT_EQ(oxlo_ipv4_to_text(1, g.buf, 0), g.buf);
    EXPECT_EQ(g.buf[0], '\0');
}

TEST(utils_numbers, ipv6_text)
{
    uint8_t a[16];
    inet_pton(AF_INET6, "2001:db8::1", a);
    char buf[64];
    EXPECT_STREQ(oxlo_ipv6_to_text(a, buf, sizeof buf), "2001:db8::1");
    std::memset(buf, 'z', sizeof buf);
    EXPECT_STREQ(oxlo_ipv6_to_text(a, buf, 5), "");
    EXPECT_EQ(buf[5], 'z');

    struct {
        const char *in, *out;
    } cases[] = {
        {"1:0:0:2:3:4:5:6", "1::2:3:4:5:6"},
        {"1:0:2:0:3:4:5:6", "1::2:0:3:4:5:6"},   /* one run only: the text stays one address */
        {"1::2", "1::2"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"fe80:0:0:0:1:2:3:4", "fe80::1:2:3:4"},
    };
    for (const auto &c : cases) {
        char text[64];
        std::strcpy(text, c.in);
        EXPECT_STREQ(oxlo_ipv6_text_shorten(text), c.out) << c.in;
        uint8_t parsed[16], expected[16];
        ASSERT_EQ(inet_pton(AF_INET6, text, parsed), 1) << text;
        inet_pton(AF_INET6, c.in, expected);
        EXPECT_EQ(std::memcmp(parsed, expected, 16), 0) << c.in;
    }
}

TEST(utils_numbers, prefixes)
{
    EXPECT_EQ(oxlo_ipv4_same_prefix(0x0A000001, 0x0A0000FF, 24), 1);
    EXPECT_EQ(oxlo_ipv4_same_prefix(0x0A000001, 0x0A0001FF, 24), 0);
    EXPECT_EQ(oxlo_ipv4_same_prefix(0x0A000001, 0xC0000001, 0), 1);
    EXPECT_EQ(oxlo_ipv4_same_prefix(0x0A000001, 0x0A000001, 32), 1);
    EXPECT_EQ(oxlo_ipv4_same_prefix(0x0A000001, 0x0A000000, 32), 0);
    EXPECT_EQ(oxlo_ipv4_same_prefix(0x0A000001, 0x0A000000, 40), 0);
    EXPECT_EQ(oxlo_ipv4_either_in_prefix(0xC0000201, 0x0A000005, 0x0A000000, 8), 1);
    EXPECT_EQ(oxlo_ipv4_either_in_prefix(0xC0000201, 0x0B000005, 0x0A000000, 8), 0);
}

TEST(utils_numbers, round_up_pow2)
{
    const uint32_t cases[][2] = {{0, 0},          {1, 1},          {2, 2},
                                 {3, 4},          {1000, 1024},    {1024, 1024},
                                 {0x80000000u, 0x80000000u},       {0x80000001u, 0},
                                 {0xFFFFFFFFu, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(oxlo_round_up_pow2(c[0]), c[1]) << c[0];
}

TEST(utils_numbers, text_to_int_bounded)
{
    struct {
        const char *text;
        int64_t min, max;
        int base;
        int64_t value;
        const char *error;
    } cases[] = {
        {"42", 0, 100, 10, 42, nullptr},
        {"-5", -10, 10, 10, -5, nullptr},
        {"0x1f", 0, 100, 16, 31, nullptr},
        {"ff", 0, 1000, 16, 255, nullptr},
        {"101", 0, 100, 10, 0, "value too large"},
        {"-1", 0, 100, 10, 0, "value too small"},
        {"99999999999999999999", 0, 100, 10, 0, "value too large"},
        {"-99999999999999999999", 0, 100, 10, 0, "value too small"},
        {"", 0, 100, 10, 0, "No digits were found"},
        {"abc", 0, 100, 10, 0, "No digits were found"},
        {"12abc", 0, 100, 10, 0, "generic error"},
        {"5", 10, 0, 10, 0, "minval > maxval"},
    };
    for (const auto &c : cases) {
        const char *error = "unset";
        EXPECT_EQ(oxlo_text_to_int_bounded(c.text, c.min, c.max, &error, c.base), c.value) << c.text;
        if (c.error)
            EXPECT_STREQ(error, c.error) << c.text;
        else
            EXPECT_EQ(error, nullptr) << c.text;
    }
}

TEST(utils_numbers, ber_lengths)
{
    struct {
        std::string bytes;
        size_t available;
        int64_t length;
        size_t used;
    } cases[] = {
        {std::string("\x05", 1), 1, 5, 1},
        {std::string("\x7f", 1), 1, 127, 1},
        {std::string("\x80", 1), 1, OXLO_BER_LENGTH_INDEFINITE, 1},   /* not 128 */
        {std::string("\x81\x80\x00", 3), 3, 128, 2},
        {std::string("\x82\x01\x00\x00", 4), 4, 256, 3},
        {std::string("\x82\x01\x00", 3), 3, -1, 0},
        {std::string("\x84\xff\xff\xff\xff\x00", 6), 6, 0xFFFFFFFFll, 5},
        {std::string("\x84\xff\xff\xff\xff", 5), 5, -1, 0},
        {std::string("\x85\x01\x01\x01\x01\x01\x01", 7), 7, -1, 0},
        {std::string("\xff\x01\x01", 3), 3, -1, 0},
        {std::string(), 0, -1, 0},
    };
    for (const auto &c : cases) {
        std::string exact = c.bytes.substr(0, c.available);
        size_t used = 99;
        EXPECT_EQ(oxlo_decode_ber_length(reinterpret_cast<const uint8_t *>(exact.data()), c.available,
                                         &used),
                  c.length);
        EXPECT_EQ(used, c.used);
    }
}

TEST(utils_numbers, inet_checksum)
{
    /* An IPv4 header with its checksum field zeroed: the result is the
     * field's value, and with it filled in the sum checks to 0. */
    uint8_t header[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                          0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    uint16_t sum = oxlo_inet_checksum(header, sizeof header);
    EXPECT_EQ(ntohs(sum), 0xb861);
    std::memcpy(header + 10, &sum, 2);
    EXPECT_EQ(oxlo_inet_checksum(header, sizeof header), 0);
    const uint8_t odd[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(ntohs(oxlo_inet_checksum(odd, 3)), static_cast<uint16_t>(~0x0402));
    EXPECT_EQ(oxlo_inet_checksum(nullptr, 0), 0xFFFF);
}

TEST(utils_numbers, entropy_and_its_text)
{
    EXPECT_FLOAT_EQ(oxlo_shannon_entropy("aaaa", 4), 0.0f);
    EXPECT_FLOAT_EQ(oxlo_shannon_entropy("abab", 4), 1.0f);
    EXPECT_FLOAT_EQ(oxlo_shannon_entropy("", 0), 0.0f);
    uint8_t all[256];
    for (int i = 0; i < 256; i++)
        all[i] = static_cast<uint8_t>(i);
    EXPECT_FLOAT_EQ(oxlo_shannon_entropy(all, 256), 8.0f);

    struct {
        float e;
        const char *text;
    } cases[] = {
        {8.0f, "Entropy: 8.000 (Encrypted or Random?)"},
        {7.312f, "Entropy: 7.312 (Encrypted or Random?)"},
        {7.2f, "Entropy: 7.200 (Encrypted Executable?)"},
        {6.7f, "Entropy: 6.700 (Compressed Executable?)"},
        {5.0f, "Entropy: 5.000 (Executable?)"},
        {1.0f, "Entropy: 1.000 (Unknown?)"},
    };
    char buf[64];
    for (const auto &c : cases)
        EXPECT_STREQ(oxlo_entropy_text(buf, sizeof buf, c.e), c.text);
    char small[8];
    std::memset(small, 'z', sizeof small);
    EXPECT_STREQ(oxlo_entropy_text(small, 5, 8.0f), "Entr");
    EXPECT_EQ(small[5], 'z');
}

// Short inputs take another way through the measurement than long ones:
// both must give what a plain count of every byte value, summed in
// byte-value order, gives (bit for bit: the value is exported and compared).
TEST(utils_numbers, entropy_is_bit_identical_across_input_sizes)
{
    auto reference = [](const uint8_t *p, size_t n) {
        size_t counts[256] = {};
        for (size_t i = 0; i < n; i++)
            counts[p[i]]++;
        float e = 0.0f;
        for (int v = 0; v < 256; v++) {
            if (!counts[v])
                continue;
            const float prob = static_cast<float>(counts[v]) / static_cast<float>(n);
            e += prob * std::log2(1.0f / prob);
        }
        return e;
    };
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 16);
    };
    uint8_t buf[200];
    for (size_t n : {1, 2, 3, 7, 8, 9, 31, 32, 63, 64, 65, 66, 100, 200}) {
        for (int round = 0; round < 50; round++) {
            // Random bytes, then bytes of a narrow alphabet (many repeats).
            const uint8_t mask = round % 2 ? 0xFF : 0x07;
            for (size_t i = 0; i < n; i++)
                buf[i] = static_cast<uint8_t>(next() & mask);
            const float got = oxlo_shannon_entropy(buf, n), want = reference(buf, n);
            uint32_t got_bits, want_bits;
            std::memcpy(&got_bits, &got, 4);
            std::memcpy(&want_bits, &want, 4);
            ASSERT_EQ(got_bits, want_bits) << "length " << n << " round " << round;
        }
    }
}

namespace {

uint64_t ntp_wire(uint32_t seconds, uint32_t fraction)
{
    uint32_t w[2] = {htonl(seconds), htonl(fraction)};
    uint64_t v;
    std::memcpy(&v, w, 8);
    return v;
}

} // namespace

TEST(utils_numbers, ntp_time_text)
{
    char buf[64];
    EXPECT_STREQ(oxlo_ntp_time_text(ntp_wire(2208988800u, 0), buf, sizeof buf),
                 "1970-01-01 00:00:00.000000000");
    /* half a second and one nanosecond's worth keep their place value */
    EXPECT_STREQ(oxlo_ntp_time_text(ntp_wire(2208988800u + 86400, 0x80000000u), buf, sizeof buf),
                 "1970-01-02 00:00:00.500000000");
    EXPECT_STREQ(oxlo_ntp_time_text(ntp_wire(3913056000u, 5), buf, sizeof buf),
                 "2024-01-01 00:00:00.000000001");
    EXPECT_STREQ(oxlo_ntp_time_text(0, buf, sizeof buf), "");
    char small[12];
    std::memset(small, 'z', sizeof small);
    EXPECT_STREQ(oxlo_ntp_time_text(ntp_wire(2208988800u, 0), small, 8), "1970-01");
    EXPECT_EQ(small[8], 'z');

    struct tm tm;
    ASSERT_EQ(oxlo_time_to_utc(86400 * 365, &tm), 0);
    EXPECT_EQ(tm.tm_year, 71);
    EXPECT_EQ(tm.tm_yday, 0);
    EXPECT_EQ(oxlo_time_to_utc(0, nullptr), -1);
}

TEST(utils_numbers, format_bounded)
{
    char buf[8];
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(oxlo_format_bounded(buf, 5, "%s-%d", "abc", 42), 4);
    EXPECT_STREQ(buf, "abc-");
    EXPECT_EQ(buf[5], 'z');
    EXPECT_EQ(oxlo_format_bounded(buf, sizeof buf, "%d", 7), 1);
    EXPECT_STREQ(buf, "7");
    EXPECT_EQ(oxlo_format_bounded(buf, 0, "%d", 7), 0);
    EXPECT_EQ(oxlo_format_bounded(nullptr, 8, "%d", 7), 0);
}
