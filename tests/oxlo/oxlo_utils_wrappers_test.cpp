#include "oxlo_utils.h"
#include "oxlo_utils_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char key_hex[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

/* A stand-in block cipher for the wrapper's own logic (padding, block
 * checks, base64): XOR with the key. It insists on whole blocks, as a real
 * ECB cipher would. */
int xor_cipher(const uint8_t key[32], uint8_t *data, size_t length, int)
{
    if (length % 16 != 0)
        ADD_FAILURE() << "cipher given a partial block";
    for (size_t i = 0; i < length; i++)
        data[i] ^= key[i % 32];
    return 0;
}

std::string decrypt(const std::string &text, size_t *n)
{
    uint8_t *p = oxlo_aes_decrypt_base64_with(text.data(), text.size(), n, key_hex, xor_cipher);
    if (!p)
        return "<null>";
    std::string s(reinterpret_cast<char *>(p), *n);
    EXPECT_EQ(p[*n], 0);
    oxlo_heap_free(p);
    return s;
}

} // namespace

TEST(utils_wrappers, aes_round_trip_pads_to_whole_blocks)
{
    for (size_t len : {0u, 1u, 15u, 16u, 17u, 100u}) {
        std::string plain(len, 'p');
        size_t text_len = 0;
        char *text = oxlo_aes_encrypt_base64_with(plain.data(), len, &text_len, key_hex, xor_cipher);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text_len, std::strlen(text));
        size_t raw = 0;
        uint8_t *bytes = oxlo_decode_base64(text, text_len, &raw);
        EXPECT_EQ(raw, (len / 16 + 1) * 16);   /* always 1 to 16 bytes of padding */
        oxlo_heap_free(bytes);
        size_t n = 0;
        EXPECT_EQ(decrypt(text, &n), plain);
        oxlo_heap_free(text);
    }
}

TEST(utils_wrappers, aes_decrypt_refuses_partial_blocks_and_bad_input)
{
    size_t n = 99;
    /* 17 bytes of base64 payload: not a whole number of blocks. */
    char *odd = oxlo_encode_base64(std::string(17, 'x').data(), 17);
    EXPECT_EQ(decrypt(odd, &n), "<null>");
    EXPECT_EQ(n, 0u);
    oxlo_heap_free(odd);
    char *eight = oxlo_encode_base64("12345678", 8);
    EXPECT_EQ(decrypt(eight, &n), "<null>");
    oxlo_heap_free(eight);
    EXPECT_EQ(decrypt("not base64!", &n), "<null>");
    /* A last byte that is no padding count (0, or above a block). */
    for (uint8_t last : {0, 17, 200}) {
        std::string block(32, 'q');
        block[31] = static_cast<char>(last);
        for (size_t i = 0; i < 32; i++)
            block[i] = static_cast<char>(block[i] ^ (i % 32));   /* the XOR key is 0..31 */
        char *text = oxlo_encode_base64(block.data(), block.size());
        EXPECT_EQ(decrypt(text, &n), "<null>") << int(last);
        oxlo_heap_free(text);
    }
    EXPECT_EQ(oxlo_aes_decrypt_base64_with("AAAA", 4, &n, "short", xor_cipher), nullptr);
    EXPECT_EQ(oxlo_aes_encrypt_base64_with("a", 1, &n, nullptr, xor_cipher), nullptr);
    std::string bad_key(key_hex);
    bad_key[10] = 'g';
    EXPECT_EQ(oxlo_aes_encrypt_base64_with("a", 1, &n, bad_key.c_str(), xor_cipher), nullptr);
}

TEST(utils_wrappers, without_a_cipher_or_compressor_nothing_is_claimed)
{
    size_t n = 5;
    EXPECT_EQ(oxlo_aes_encrypt_base64("abc", 3, &n, key_hex), nullptr);
    EXPECT_EQ(n, 0u);
    char out[32];
    EXPECT_EQ(oxlo_compress_short("example", 7, out, sizeof out), 0u);
    EXPECT_EQ(oxlo_decompress_short("x", 1, out, sizeof out), 0u);
}
