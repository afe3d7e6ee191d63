// The bounded reader: its text search (the first occurrence at or after an
// offset, never a match that runs past the end, in both case modes, against
// a plain position-by-position search) and its value-returning peeks.
#include "oxlo_dissector.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

ptrdiff_t reference(const std::string &data, size_t from, const std::string &text, bool nocase)
{
    const auto low = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (text.empty())
        return -1;
    for (size_t i = from; i + text.size() <= data.size(); i++) {
        size_t k = 0;
        while (k < text.size() && (nocase ? low(data[i + k]) == low(text[k]) : data[i + k] == text[k]))
            k++;
        if (k == text.size())
            return ptrdiff_t(i);
    }
    return -1;
}

TEST(dissector_reader, find_is_the_first_match_inside_the_range)
{
    struct find_case {
        const char *data;
        size_t from;
        const char *text;
        int nocase;
        ptrdiff_t at;
        size_t length; /* 0: up to the NUL */
    };
    const find_case cases[] = {
        {"d1:ad2:id20:abc", 0, "d2:id20:", 0, 4, 0},
        {"aaab", 0, "aab", 0, 1, 0},             // overlapping start
        {"abcabc", 1, "abc", 0, 3, 0},           // from skips the first
        {"abcabc", 3, "abc", 0, 3, 0},           // a match right at from
        {"abcabc", 4, "abc", 0, -1, 0},          // the rest is too short
        {"abcabc", 7, "abc", 0, -1, 0},          // from past the end
        {"abcab", 0, "abc\x01", 0, -1, 0},       // would run past the end
        {"xyz", 0, "", 0, -1, 0},                // empty text finds nothing
        {"GET / HTTP/1.1", 0, "http/", 1, 6, 0}, // case-blind
        {"GET / HTTP/1.1", 0, "http/", 0, -1, 0},
        {"a\0b\0c", 0, "c", 0, 4, 5},         // bytes after a NUL are searched
    };
    for (const find_case &c : cases) {
        SCOPED_TRACE(c.text);
        const size_t length = c.length ? c.length : strlen(c.data);
        const oxlo_reader r = oxlo_reader_make(reinterpret_cast<const uint8_t *>(c.data), length);
        EXPECT_EQ(oxlo_rd_find(&r, c.from, c.text, c.nocase), c.at);
    }
    const oxlo_reader empty = oxlo_reader_make(nullptr, 0);
    EXPECT_EQ(oxlo_rd_find(&empty, 0, "a", 0), -1);
    EXPECT_FALSE(oxlo_rd_contains(&empty, "a", 1));

    // Random bytes over a small alphabet, so that partial matches abound.
    std::mt19937 rng(11);
    for (int i = 0; i < 3000; i++) {
        std::string data(rng() % 64, 'a'), text(1 + rng() % 4, 'a');
        for (char &ch : data)
            ch = "abAB"[rng() % 4];
        for (char &ch : text)
            ch = "abAB"[rng() % 4];
        const size_t from = rng() % 70;
        const bool nocase = rng() % 2;
        const oxlo_reader r = oxlo_reader_make(reinterpret_cast<const uint8_t *>(data.data()), data.size());
        ASSERT_EQ(oxlo_rd_find(&r, from, text.c_str(), nocase), reference(data, from, text, nocase))
            << data << " / " << text << " from " << from << (nocase ? " nocase" : "");
    }
}

// A peek gives the field in host order when all of it lies inside the
// range and 0 otherwise, also at offsets near SIZE_MAX, and its width leaves
// room for a sum with the field.
TEST(dissector_reader, peeks_read_whole_fields_or_zero)
{
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    const oxlo_reader r = oxlo_reader_make(bytes, sizeof(bytes));
    struct peek_case {
        size_t offset;
        uint64_t u8, be16, be24, be32, le16, le32;
    };
    const peek_case cases[] = {
        {0, 0x12, 0x1234, 0x123456, 0x12345678, 0x3412, 0x78563412},
        {1, 0x34, 0x3456, 0x345678, 0x3456789A, 0x5634, 0x9A785634},
        {2, 0x56, 0x5678, 0x56789A, 0, 0x7856, 0}, // 32 bits would pass the end
        {4, 0x9A, 0, 0, 0, 0, 0},                  // only the last byte is inside
        {5, 0, 0, 0, 0, 0, 0},                     // at the end
        {SIZE_MAX - 1, 0, 0, 0, 0, 0, 0},          // offset + count would wrap
    };
    for (const peek_case &c : cases) {
        SCOPED_TRACE(c.offset);
        EXPECT_EQ(oxlo_rd_peek8(&r, c.offset), c.u8);
        EXPECT_EQ(oxlo_rd_peek16(&r, c.offset), c.be16);
        EXPECT_EQ(oxlo_rd_peek24(&r, c.offset), c.be24);
        EXPECT_EQ(oxlo_rd_peek32(&r, c.offset), c.be32);
        EXPECT_EQ(oxlo_rd_peekle16(&r, c.offset), c.le16);
        EXPECT_EQ(oxlo_rd_peekle32(&r, c.offset), c.le32);
    }
    const uint8_t all_ones[] = {0xFF, 0xFF, 0xFF, 0xFF};
    const oxlo_reader ones = oxlo_reader_make(all_ones, sizeof(all_ones));
    EXPECT_EQ(oxlo_rd_peek16(&ones, 0) + 16, 0x1000Fu);
    EXPECT_EQ(oxlo_rd_peek32(&ones, 0) + 16, 0x10000000Full);
    const oxlo_reader empty = oxlo_reader_make(nullptr, 0);
    EXPECT_EQ(oxlo_rd_peek8(&empty, 0), 0);
    EXPECT_EQ(oxlo_rd_peek32(&empty, 0), 0u);
}

} // namespace
