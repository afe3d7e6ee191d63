#include "oxlo_hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct murmur_case {
    std::string input;
    uint32_t seed;
    uint32_t expected;
};

/* Published MurmurHash3 x86_32 vectors. */
TEST(Hash, murmur3_matches_published_vectors)
{
    const murmur_case cases[] = {
        {"", 0, 0},
        {"", 1, 0x514e28b7},
        {"", 0xffffffff, 0x81f16f39},
        {std::string("\0\0\0\0", 4), 0, 0x2362f9de},
        {"\x21\x43\x65\x87", 0, 0xf55b516b},
        {"\x21\x43\x65\x87", 0x5082edee, 0x2362f9de},
        {"\x21\x43\x65", 0, 0x7e4a8634},
        {"\x21\x43", 0, 0xa0f7b07a},
        {"\x21", 0, 0x72661cf4},
        {"\xff\xff\xff\xff", 0, 0x76293b50},
        {"aaaa", 0x9747b28c, 0x5a97808a},
        {"abc", 0x9747b28c, 0xc84a62dd},
        {"Hello, world!", 0x9747b28c, 0x24884cba},
        {"The quick brown fox jumps over the lazy dog", 0x9747b28c, 0x2fa826cd},
    };
    for (const auto &c : cases)
        EXPECT_EQ(murmur3_hash32(c.input.data(), static_cast<uint32_t>(c.input.size()), c.seed), c.expected)
            << "input '" << c.input << "' seed " << c.seed;
}

TEST(Hash, murmur3_default_seed_is_0x87654321)
{
    /* Empty input: only the finalizer runs over the seed. */
    EXPECT_EQ(murmur3_hash_default_seed("", 0), 0xc0060f8bu);
    EXPECT_EQ(murmur3_hash_default_seed("abc", 3), murmur3_hash32("abc", 3, 0x87654321u));
}

TEST(Hash, djb2_known_answers)
{
    const uint8_t ff = 0xff;
    EXPECT_EQ(djb2_hash("", 0), 5381u);
    EXPECT_EQ(djb2_hash(&ff, 1), 177828u);
    EXPECT_EQ(djb2_hash("ab", 2), (5381u * 33 + 'a') * 33 + 'b');
}

TEST(Hash, one_at_a_time_known_answers_and_signedness)
{
    EXPECT_EQ(one_at_a_time_hash_string("a"), 0xca2e9442u);
    EXPECT_EQ(one_at_a_time_hash_string(""), 0u);
    EXPECT_EQ(one_at_a_time_hash_bytes("a", 1), 0xca2e9442u);
    EXPECT_EQ(string_lru_cache_hash("a", 1), 0xca2e9442u);
    EXPECT_EQ(one_at_a_time_hash_bytes("a", 0), 0u);
    EXPECT_EQ(string_lru_cache_hash("a", 0), 0u);

    /* The reversed variant reads from the end. */
    EXPECT_EQ(one_at_a_time_hash_reversed("abc"), 0x85afae58u);
    EXPECT_EQ(one_at_a_time_hash_string("cba"), 0x85afae58u);
    EXPECT_EQ(one_at_a_time_hash_string("abc"), 0xed131f5bu);
    EXPECT_EQ(one_at_a_time_hash_reversed(""), 0u);

    /* Signed and unsigned agree on ASCII, differ at 0x80 and above. */
    EXPECT_EQ(one_at_a_time_hash_bytes("abc", 3), string_lru_cache_hash("abc", 3));
    const char high[] = "\xe9t\xe9";
    EXPECT_EQ(one_at_a_time_hash_string(high), 0x8c711b75u);
    EXPECT_EQ(one_at_a_time_hash_bytes(high, 3), 0x8c711b75u);
    EXPECT_EQ(string_lru_cache_hash(high, 3), 0x9663648bu);
}

TEST(Hash, address_fold_hash_known_answers)
{
    uint8_t v4[16] = {10, 0, 0, 1};
    uint8_t ones[16];
    std::memset(ones, 0xff, sizeof(ones));
    EXPECT_EQ(address_fold_hash(v4, 16), 0x166d6d7f83a82ff8ull);
    EXPECT_EQ(address_fold_hash(ones, 16), 0x0b700a32f5f55da1ull); /* signed bytes */
    EXPECT_EQ(address_fold_hash(v4, 0), 177u);
}

TEST(Hash, hash128_fold32_known_answers)
{
    EXPECT_EQ(hash128_fold32(0, 0), 0xf9412a13u);
    EXPECT_EQ(hash128_fold32(1, 2), 0x275950a1u);
    EXPECT_EQ(hash128_fold32(~0ull, 0x0123456789abcdefull), 0x190fceaeu);
}

} // namespace
