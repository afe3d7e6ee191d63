#include "hex_text.h"
#include "oxlo_aes256.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using hex_text::hex;
using hex_text::to_hex;


/* The key and plaintext of the CBC and CTR examples of NIST SP 800-38A. */
const std::string sp_key = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const std::string sp_plain = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51";

} // namespace

TEST(aes256, fips197_example_in_ecb)
{
    aes256_context ctx;
    std::vector<uint8_t> key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    aes256_init(&ctx, key.data());
    std::vector<uint8_t> block = hex("00112233445566778899aabbccddeeff");
    ASSERT_EQ(aes256_ecb_encrypt(&ctx, block.data()), 0);
    EXPECT_EQ(to_hex(block.data(), 16), "8ea2b7ca516745bfeafc49904b496089");
    ASSERT_EQ(aes256_ecb_decrypt(&ctx, block.data()), 0);
    EXPECT_EQ(to_hex(block.data(), 16), "00112233445566778899aabbccddeeff");
}

TEST(aes256, key_expansion_matches_fips197)
{
    aes256_context ctx;
    std::vector<uint8_t> key = hex(sp_key);
    aes256_key_expansion(&ctx, key.data());
    EXPECT_EQ(to_hex(ctx.round_key, 32), sp_key);
    EXPECT_EQ(to_hex(ctx.round_key + 32, 4), "9ba35411");       /* w[8] */
    EXPECT_EQ(to_hex(ctx.round_key + 236, 4), "706c631e");      /* w[59] */
}

TEST(aes256, cbc_vectors_round_trip_and_chain_the_iv)
{
    aes256_context ctx;
    std::vector<uint8_t> key = hex(sp_key), iv = hex("000102030405060708090a0b0c0d0e0f");
    std::vector<uint8_t> buf = hex(sp_plain);
    aes256_init_with_iv(&ctx, key.data(), iv.data());
    ASSERT_EQ(aes256_cbc_encrypt(&ctx, buf.data(), buf.size()), 0);
    EXPECT_EQ(to_hex(buf.data(), 32), "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d");
    EXPECT_EQ(to_hex(ctx.iv, 16), "9cfc4e967edb808d679f777bc6702c7d");
    aes256_set_iv(&ctx, iv.data());
    ASSERT_EQ(aes256_cbc_decrypt(&ctx, buf.data(), buf.size()), 0);
    EXPECT_EQ(to_hex(buf.data(), 32), sp_plain);
    EXPECT_EQ(to_hex(ctx.iv, 16), "9cfc4e967edb808d679f777bc6702c7d");
}

TEST(aes256, cbc_refuses_a_partial_block)
{
    aes256_context ctx;
    std::vector<uint8_t> key = hex(sp_key), iv(16, 0x11);
    aes256_init_with_iv(&ctx, key.data(), iv.data());
    uint8_t buf[17];
    std::memset(buf, 0x5a, sizeof buf);
    EXPECT_EQ(aes256_cbc_encrypt(&ctx, buf, sizeof buf), -1);
    EXPECT_EQ(aes256_cbc_decrypt(&ctx, buf, 15), -1);
    for (uint8_t b : buf)
        EXPECT_EQ(b, 0x5a);
    EXPECT_EQ(to_hex(ctx.iv, 16), std::string(32, '1'));
    EXPECT_EQ(aes256_cbc_encrypt(&ctx, buf, 0), 0);
}

TEST(aes256, ctr_vectors_wrap_and_fresh_blocks_per_call)
{
    aes256_context ctx;
    std::vector<uint8_t> key = hex(sp_key), counter = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    std::vector<uint8_t> buf = hex(sp_plain);
    aes256_init_with_iv(&ctx, key.data(), counter.data());
    ASSERT_EQ(aes256_ctr_crypt(&ctx, buf.data(), buf.size()), 0);
    EXPECT_EQ(to_hex(buf.data(), 32), "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5");
    aes256_set_iv(&ctx, counter.data());
    ASSERT_EQ(aes256_ctr_crypt(&ctx, buf.data(), buf.size()), 0);
    EXPECT_EQ(to_hex(buf.data(), 32), sp_plain);

    /* ff..ff wraps to 00..00: the second key-stream block is E(0). */
    std::vector<uint8_t> ones(16, 0xff);
    aes256_set_iv(&ctx, ones.data());
    uint8_t zeros[32] = {};
    ASSERT_EQ(aes256_ctr_crypt(&ctx, zeros, sizeof zeros), 0);
    uint8_t e0[16] = {};
    ASSERT_EQ(aes256_encrypt_block(e0, &ctx), 0);
    EXPECT_EQ(to_hex(zeros + 16, 16), to_hex(e0, 16));
    EXPECT_EQ(to_hex(ctx.iv, 16), "00000000000000000000000000000001");

    /* Two calls of 8 bytes use the first halves of two key-stream blocks. */
    aes256_set_iv(&ctx, counter.data());
    uint8_t a[8] = {}, b[8] = {};
    aes256_ctr_crypt(&ctx, a, 8);
    aes256_ctr_crypt(&ctx, b, 8);
    aes256_set_iv(&ctx, counter.data());
    std::vector<uint8_t> whole(32, 0);
    aes256_ctr_crypt(&ctx, whole.data(), 32);
    EXPECT_EQ(to_hex(a, 8), to_hex(whole.data(), 8));
    EXPECT_EQ(to_hex(b, 8), to_hex(whole.data() + 16, 8));
}
