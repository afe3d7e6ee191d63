#include "oxlo_short_string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string compress(const std::string &text)
{
    std::vector<char> out(2 * text.size() + 8);
    int n = short_string_compress(text.data(), text.size(), out.data(), out.size());
    EXPECT_GE(n, 0);
    return std::string(out.data(), static_cast<size_t>(n));
}

int decompress(const std::string &packed, std::string *text, size_t room = 256)
{
    std::vector<char> out(room + 1, 'z');
    int n = short_string_decompress(packed.data(), packed.size(), out.data(), room);
    if (n >= 0 && static_cast<size_t>(n) <= room)
        *text = std::string(out.data(), static_cast<size_t>(n));
    return n;
}

/* A tiny fixed generator, so the property test sees the same inputs on
 * every run. */
struct lcg {
    uint64_t s;
    uint32_t next(uint32_t n)
    {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 33) % n;
    }
};

} // namespace

TEST(short_string, host_names_shrink_and_come_back)
{
    for (const char *host : {"www.example.com", "mail.google.com", "api.ocean.net", "cdn-1.static.org"}) {
        std::string c = compress(host);
        EXPECT_LT(c.size(), std::string(host).size()) << host;
        std::string back;
        EXPECT_EQ(decompress(c, &back), static_cast<int>(std::string(host).size()));
        EXPECT_EQ(back, host);
    }
    /* Length 0: up to the NUL; a text starting with NUL gives nothing. */
    char out[32];
    EXPECT_GT(short_string_compress("www.example.com", 0, out, sizeof out), 0);
    EXPECT_EQ(short_string_compress("", 0, out, sizeof out), 0);
    EXPECT_EQ(compress(""), "");
}

TEST(short_string, unknown_bytes_are_copied_or_escaped)
{
    EXPECT_EQ(compress("ABC456XYZ"), "ABC456XYZ");
    std::string high;
    for (int c = 0x80; c <= 0xff; c++)
        high += static_cast<char>(c);
    EXPECT_EQ(compress(high).size(), 2 * high.size());
    /* NUL is the escape byte, so an explicit-length NUL is escaped too. */
    std::string with_nul("a\0b", 3);
    std::string back;
    EXPECT_EQ(decompress(compress(with_nul), &back), 3);
    EXPECT_EQ(back, with_nul);
}

TEST(short_string, round_trip_for_every_input)
{
    lcg rng{42};
    const std::string host_chars = "abcdefghijklmnopqrstuvwxyz0123456789.-";
    for (int i = 0; i < 100000; i++) {
        std::string text;
        size_t len = rng.next(40);
        bool any_byte = i % 4 == 0;
        for (size_t j = 0; j < len; j++)
            text += any_byte ? static_cast<char>(rng.next(256)) : host_chars[rng.next(host_chars.size())];
        std::string back;
        ASSERT_EQ(decompress(compress(text), &back), static_cast<int>(text.size())) << i;
        ASSERT_EQ(back, text) << i;
    }
}

TEST(short_string, output_one_byte_short_and_cut_input)
{
    const std::string host = "www.example.com";
    std::string c = compress(host);
    std::vector<char> out(c.size());
    EXPECT_EQ(short_string_compress(host.data(), host.size(), out.data(), c.size() - 1),
              static_cast<int>(c.size()));
    std::string back;
    EXPECT_EQ(decompress(c, &back, host.size() - 1), static_cast<int>(host.size()));

    /* A 4-byte pack (leading bits 1110) cut in its middle. */
    std::string eight = compress("ocean.co");
    ASSERT_EQ(static_cast<unsigned char>(eight[0]) & 0xf0, 0xe0) << "no 4-byte pack";
    EXPECT_EQ(decompress(eight.substr(0, 2), &back), -1);
    /* An escape byte at the end, and a byte no pack starts with. */
    EXPECT_EQ(decompress(std::string("a\0", 2), &back), -1);
    EXPECT_EQ(decompress("\xf0", &back), -1);
    EXPECT_EQ(decompress("\xff\xff\xff\xff", &back), -1);
    /* The decompressed text is NUL-terminated when there is room. */
    std::vector<char> buf(8, 'z');
    EXPECT_EQ(short_string_decompress("ab", 2, buf.data(), buf.size()), 2);
    EXPECT_EQ(buf[2], '\0');
}
