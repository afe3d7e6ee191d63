// The cipher layer: published known-answer vectors through the handles, and
// the handles' state machine (what must be set before what, and the codes
// a wrong order gives).
#include "hex_text.h"
#include "oxlo_api.h"
#include "oxlo_cipher.h"
#include "oxlo_private.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

using hex_text::hex;
using hex_text::to_hex;


struct gcm_handle {
    crypto_cipher_handle *h = nullptr;
    explicit gcm_handle(int mode = CRYPTO_CIPHER_MODE_GCM)
    {
        EXPECT_EQ(crypto_cipher_open(&h, CRYPTO_CIPHER_AES128, mode, 0), 0);
    }
    ~gcm_handle() { crypto_cipher_close(h); }
};

TEST(cipher, aes128_ecb_fips197_c1)
{
    gcm_handle e(CRYPTO_CIPHER_MODE_ECB);
    const bytes key = hex("000102030405060708090a0b0c0d0e0f"), in = hex("00112233445566778899aabbccddeeff");
    ASSERT_EQ(crypto_cipher_setkey(e.h, key.data(), key.size()), 0);
    uint8_t out[16];
    ASSERT_EQ(crypto_cipher_encrypt(e.h, out, 16, in.data(), 16), 0);
    EXPECT_EQ(to_hex(out, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
    // A second block needs a reset between; the key stays.
    EXPECT_EQ(crypto_cipher_encrypt(e.h, out, 16, in.data(), 16), CRYPTO_ERR_AES_NO_KEY);
    ASSERT_EQ(crypto_cipher_reset(e.h), 0);
    uint8_t inplace[16];
    memcpy(inplace, in.data(), 16);
    ASSERT_EQ(crypto_cipher_encrypt(e.h, inplace, 16, nullptr, 0), 0);
    EXPECT_EQ(to_hex(inplace, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

struct gcm_case {
    const char *name, *key, *nonce, *aad, *plain, *cipher, *tag;
};

// The published AES-GCM test vectors 1 to 4 (NIST SP 800-38D).
const gcm_case gcm_cases[] = {
    {"case1", "00000000000000000000000000000000", "000000000000000000000000", "", "", "",
     "58e2fccefa7e3061367f1d57a4e7455a"},
    {"case2", "00000000000000000000000000000000", "000000000000000000000000", "", "00000000000000000000000000000000",
     "0388dace60b6a392f328c2b971b2fe78", "ab6e47d42cec13bdf53a67b21257bddf"},
    {"case3", "feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888", "",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
     "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985",
     "4d5c2af327cd64a62cf35abd2ba6fab4"},
    {"case4", "feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888", "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39",
     "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091",
     "5bc94fbc3221a5db94fae95ae7121a47"},
};

TEST(cipher, aes128_gcm_decrypts_and_checks_tags)
{
    for (const gcm_case &c : gcm_cases) {
        SCOPED_TRACE(c.name);
        gcm_handle g;
        const bytes key = hex(c.key), nonce = hex(c.nonce), aad = hex(c.aad), ct = hex(c.cipher), tag = hex(c.tag);
        ASSERT_EQ(crypto_cipher_setkey(g.h, key.data(), key.size()), 0);
        for (int round = 0; round < 2; round++) { // the key survives a reset
            ASSERT_EQ(crypto_cipher_setiv(g.h, nonce.data(), nonce.size()), 0);
            ASSERT_EQ(crypto_cipher_authenticate(g.h, aad.data(), aad.size()), 0);
            bytes out(ct.size() + 1);
            if (ct.empty()) {
                uint8_t dummy = 0;
                EXPECT_EQ(crypto_cipher_decrypt(g.h, &dummy, 0, &dummy, 0), 0);
            } else {
                ASSERT_EQ(crypto_cipher_decrypt(g.h, out.data(), ct.size(), ct.data(), ct.size()), 0);
                EXPECT_EQ(to_hex(out.data(), ct.size()), c.plain);
            }
            bytes bad = tag;
            bad.back() ^= 1;
            EXPECT_EQ(crypto_cipher_checktag(g.h, bad.data(), bad.size()), CRYPTO_ERR_GCM_AUTH_FAILED);
            EXPECT_EQ(crypto_cipher_checktag(g.h, tag.data(), tag.size()), 0);
            EXPECT_EQ(crypto_cipher_checktag(g.h, bad.data(), bad.size()), CRYPTO_ERR_GCM_AUTH_FAILED);
            EXPECT_EQ(crypto_cipher_checktag(g.h, tag.data(), 15), CRYPTO_ERR_GCM_AUTH_FAILED);
            ASSERT_EQ(crypto_cipher_reset(g.h), 0);
        }
        // Decryption and tag check in one pass, with the additional data
        // given along: a wrong tag leaves no tag to check, the right one
        // becomes the handle's.
        bytes bad = tag;
        bad.back() ^= 1;
        bytes out(ct.size() + 1);
        EXPECT_EQ(crypto_cipher_decrypt_verify(g.h, aad.data(), aad.size(), out.data(), ct.data(), ct.size(), tag.data(), 16),
                  CRYPTO_ERR_GCM_NOT_READY); // no nonce
        ASSERT_EQ(crypto_cipher_setiv(g.h, nonce.data(), nonce.size()), 0);
        EXPECT_EQ(crypto_cipher_decrypt_verify(g.h, aad.data(), aad.size(), out.data(), ct.data(), ct.size(), bad.data(), 16),
                  CRYPTO_ERR_GCM_AUTH_FAILED);
        EXPECT_EQ(crypto_cipher_checktag(g.h, tag.data(), tag.size()), CRYPTO_ERR_GCM_AUTH_FAILED);
        ASSERT_EQ(crypto_cipher_reset(g.h), 0);
        ASSERT_EQ(crypto_cipher_setiv(g.h, nonce.data(), nonce.size()), 0);
        ASSERT_EQ(crypto_cipher_decrypt_verify(g.h, aad.data(), aad.size(), out.data(), ct.data(), ct.size(), tag.data(), 16), 0);
        EXPECT_EQ(to_hex(out.data(), ct.size()), c.plain);
        EXPECT_EQ(crypto_cipher_checktag(g.h, tag.data(), tag.size()), 0);
        EXPECT_EQ(crypto_cipher_decrypt_verify(g.h, aad.data(), aad.size(), out.data(), ct.data(), ct.size(), tag.data(), 16),
                  CRYPTO_ERR_GCM_NOT_READY); // once per reset
        ASSERT_EQ(crypto_cipher_reset(g.h), 0);
    }
}

// Additional data longer than the 256 bytes crypto_cipher_authenticate
// takes, as a QUIC header with a long token is.
TEST(cipher, gcm_one_pass_takes_long_additional_data)
{
    const bytes key(16, 0x21), nonce(12, 0x42), aad(700, 0x63), plain(300, 0x84);
    std::vector<uint8_t> ct(plain.size()), tag(16);
    int n = 0;
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_EncryptInit_ex(c, EVP_aes_128_gcm(), nullptr, key.data(), nonce.data()), 1);
    EVP_EncryptUpdate(c, nullptr, &n, aad.data(), int(aad.size()));
    EVP_EncryptUpdate(c, ct.data(), &n, plain.data(), int(plain.size()));
    EVP_EncryptFinal_ex(c, ct.data() + n, &n);
    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, tag.data());
    EVP_CIPHER_CTX_free(c);
    gcm_handle g;
    ASSERT_EQ(crypto_cipher_setkey(g.h, key.data(), key.size()), 0);
    ASSERT_EQ(crypto_cipher_setiv(g.h, nonce.data(), nonce.size()), 0);
    bytes out(ct.size());
    ASSERT_EQ(crypto_cipher_decrypt_verify(g.h, aad.data(), aad.size(), out.data(), ct.data(), ct.size(), tag.data(), 16), 0);
    EXPECT_EQ(out, plain);
}

TEST(cipher, gcm_decrypts_in_place)
{
    const gcm_case &c = gcm_cases[3];
    gcm_handle g;
    const bytes key = hex(c.key), nonce = hex(c.nonce), aad = hex(c.aad), tag = hex(c.tag);
    bytes buf = hex(c.cipher);
    ASSERT_EQ(crypto_cipher_setkey(g.h, key.data(), key.size()), 0);
    ASSERT_EQ(crypto_cipher_setiv(g.h, nonce.data(), nonce.size()), 0);
    ASSERT_EQ(crypto_cipher_authenticate(g.h, aad.data(), aad.size()), 0);
    ASSERT_EQ(crypto_cipher_decrypt(g.h, buf.data(), buf.size(), nullptr, 0), 0);
    EXPECT_EQ(to_hex(buf.data(), buf.size()), c.plain);
    EXPECT_EQ(crypto_cipher_checktag(g.h, tag.data(), tag.size()), 0);
}

struct hmac_case {
    const char *name;
    bytes key, data;
    const char *mac;
};

TEST(cipher, hmac_sha256_rfc4231)
{
    const auto text = [](const char *t) { return bytes(t, t + strlen(t)); };
    bytes key4;
    for (int i = 1; i <= 25; i++)
        key4.push_back(uint8_t(i));
    const hmac_case cases[] = {
        {"1", bytes(20, 0x0b), text("Hi There"), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"2", text("Jefe"), text("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"3", bytes(20, 0xaa), bytes(50, 0xdd), "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"4", key4, bytes(50, 0xcd), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        // 131-byte keys: hashed first, as HMAC defines, not cut to 64 bytes.
        {"6", bytes(131, 0xaa), text("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"7", bytes(131, 0xaa),
         text("This is a test using a larger than block-size key and a larger than block-size data. The key needs to "
              "be hashed before being used by the HMAC algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    crypto_md_handle *h = nullptr;
    ASSERT_EQ(crypto_md_open(&h, CRYPTO_MD_SHA256, CRYPTO_MD_FLAG_HMAC), 0);
    for (const hmac_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(crypto_md_setkey(h, c.key.data(), c.key.size()), 0);
        EXPECT_EQ(crypto_md_setkey(h, c.key.data(), c.key.size()), CRYPTO_ERR_MD_KEY_SET);
        // Written in two pieces: the message is the concatenation.
        ASSERT_EQ(crypto_md_write(h, c.data.data(), 3), 0);
        ASSERT_EQ(crypto_md_write(h, c.data.data() + 3, c.data.size() - 3), 0);
        const uint8_t *mac = crypto_md_read(h);
        ASSERT_NE(mac, nullptr);
        EXPECT_EQ(to_hex(mac, 32), c.mac);
        // A restart keeps the key: the same message gives the same MAC.
        crypto_md_restart(h);
        ASSERT_EQ(crypto_md_write(h, c.data.data(), c.data.size()), 0);
        EXPECT_EQ(to_hex(crypto_md_read(h), 32), c.mac);
        crypto_md_reset(h);
    }
    crypto_md_close(h);
    EXPECT_EQ(crypto_md_digest_length(CRYPTO_MD_SHA256), 32u);
    EXPECT_EQ(crypto_md_digest_length(7), 0u);
}

TEST(cipher, digest_handle_limits)
{
    crypto_md_handle *h = nullptr;
    EXPECT_EQ(crypto_md_open(&h, 7, CRYPTO_MD_FLAG_HMAC), CRYPTO_ERR_MD_NOT_SUPPORTED);
    EXPECT_EQ(crypto_md_open(&h, CRYPTO_MD_SHA256, 0), CRYPTO_ERR_MD_NOT_SUPPORTED);
    ASSERT_EQ(crypto_md_open(&h, CRYPTO_MD_SHA256, CRYPTO_MD_FLAG_HMAC), 0);
    const bytes big(257, 'x');
    EXPECT_EQ(crypto_md_write(h, big.data(), 256), 0);
    EXPECT_EQ(crypto_md_write(h, big.data(), 1), CRYPTO_ERR_MD_TOO_LONG);
    crypto_md_reset(h);
    EXPECT_EQ(crypto_md_write(h, big.data(), 257), CRYPTO_ERR_MD_TOO_LONG);
    crypto_md_close(h);
    crypto_md_close(nullptr);
}

// The handle's order of calls and what each wrong step answers.
TEST(cipher, handle_state_machine)
{
    const bytes key(16, 1), nonce(12, 2), nonce16(16, 2), aad(257, 3);
    uint8_t buf[32] = {};
    crypto_cipher_handle *bad = nullptr;
    EXPECT_EQ(crypto_cipher_open(&bad, 8, CRYPTO_CIPHER_MODE_GCM, 0), CRYPTO_ERR_FEATURE_UNAVAILABLE);
    EXPECT_EQ(crypto_cipher_open(&bad, CRYPTO_CIPHER_AES128, 2, 0), CRYPTO_ERR_FEATURE_UNAVAILABLE);
    EXPECT_EQ(crypto_cipher_open(&bad, CRYPTO_CIPHER_AES128, CRYPTO_CIPHER_MODE_GCM, 1), CRYPTO_ERR_FEATURE_UNAVAILABLE);
    EXPECT_EQ(bad, nullptr);
    EXPECT_EQ(crypto_cipher_setkey(nullptr, key.data(), 16), CRYPTO_ERR_FEATURE_UNAVAILABLE);
    EXPECT_EQ(crypto_cipher_decrypt(nullptr, buf, 16, buf, 16), CRYPTO_ERR_FEATURE_UNAVAILABLE);
    EXPECT_EQ(crypto_cipher_reset(nullptr), CRYPTO_ERR_FEATURE_UNAVAILABLE);
    crypto_cipher_close(nullptr);

    gcm_handle g;
    EXPECT_EQ(crypto_cipher_setkey(g.h, key.data(), 15), CRYPTO_ERR_WRONG_KEY_IV);
    EXPECT_EQ(crypto_cipher_decrypt(g.h, buf, 16, buf + 16, 16), CRYPTO_ERR_GCM_NOT_READY);
    ASSERT_EQ(crypto_cipher_setkey(g.h, key.data(), 16), 0);
    EXPECT_EQ(crypto_cipher_setkey(g.h, key.data(), 16), CRYPTO_ERR_WRONG_KEY_IV);
    EXPECT_EQ(crypto_cipher_setiv(g.h, nonce16.data(), 16), CRYPTO_ERR_WRONG_KEY_IV);
    ASSERT_EQ(crypto_cipher_setiv(g.h, nonce.data(), 12), 0);
    EXPECT_EQ(crypto_cipher_setiv(g.h, nonce.data(), 12), CRYPTO_ERR_WRONG_KEY_IV);
    EXPECT_EQ(crypto_cipher_checktag(g.h, buf, 16), CRYPTO_ERR_GCM_AUTH_FAILED); // no tag yet
    EXPECT_EQ(crypto_cipher_decrypt(g.h, buf, 16, buf + 16, 16), CRYPTO_ERR_GCM_NOT_READY); // no additional data
    EXPECT_EQ(crypto_cipher_authenticate(g.h, aad.data(), 257), CRYPTO_ERR_WRONG_KEY_IV);
    ASSERT_EQ(crypto_cipher_authenticate(g.h, nullptr, 0), 0); // empty counts as set
    EXPECT_EQ(crypto_cipher_authenticate(g.h, aad.data(), 1), CRYPTO_ERR_WRONG_KEY_IV);
    EXPECT_EQ(crypto_cipher_encrypt(g.h, buf, 16, buf + 16, 16), CRYPTO_ERR_GCM_NOT_SUPPORTED);
    EXPECT_EQ(crypto_cipher_decrypt(g.h, buf, 16, buf + 16, 15), CRYPTO_ERR_GCM_BAD_INPUT);
    EXPECT_EQ(crypto_cipher_decrypt(g.h, buf, 0, nullptr, 0), CRYPTO_ERR_GCM_BAD_INPUT);
    EXPECT_EQ(crypto_cipher_flags(g.h), unsigned(CRYPTO_FLAG_KEY | CRYPTO_FLAG_AUTH | CRYPTO_FLAG_NONCE));
    ASSERT_EQ(crypto_cipher_decrypt(g.h, buf, 16, buf + 16, 16), 0);
    EXPECT_EQ(crypto_cipher_decrypt(g.h, buf, 16, buf + 16, 16), CRYPTO_ERR_GCM_NOT_READY); // one per reset
    ASSERT_EQ(crypto_cipher_reset(g.h), 0);
    EXPECT_EQ(crypto_cipher_flags(g.h), unsigned(CRYPTO_FLAG_KEY));
    EXPECT_EQ(crypto_cipher_setiv(g.h, buf, 12), 0); // a new nonce after the reset

    gcm_handle e(CRYPTO_CIPHER_MODE_ECB);
    EXPECT_EQ(crypto_cipher_encrypt(e.h, buf, 16, buf + 16, 16), CRYPTO_ERR_AES_NO_KEY);
    ASSERT_EQ(crypto_cipher_setkey(e.h, key.data(), 16), 0);
    EXPECT_EQ(crypto_cipher_setiv(e.h, nonce.data(), 12), CRYPTO_ERR_FEATURE_UNAVAILABLE);
    EXPECT_EQ(crypto_cipher_authenticate(e.h, nullptr, 0), CRYPTO_ERR_FEATURE_UNAVAILABLE);
    EXPECT_EQ(crypto_cipher_checktag(e.h, buf, 16), CRYPTO_ERR_FEATURE_UNAVAILABLE);
    EXPECT_EQ(crypto_cipher_decrypt(e.h, buf, 16, buf + 16, 16), CRYPTO_ERR_GCM_NOT_SUPPORTED);
    // Exactly one whole block: shorter or longer is refused, not overrun or
    // left half in the clear.
    EXPECT_EQ(crypto_cipher_encrypt(e.h, buf, 15, buf + 16, 15), CRYPTO_ERR_FULL_BLOCK_EXPECTED);
    EXPECT_EQ(crypto_cipher_encrypt(e.h, buf, 32, nullptr, 0), CRYPTO_ERR_FULL_BLOCK_EXPECTED);
    EXPECT_EQ(crypto_cipher_encrypt(e.h, buf, 16, buf + 16, 16), 0);
}

// Closed handles are kept and handed out again: the next one of a kind must
// start as a new handle would, whatever the closed one had set, and work
// under its own key. Also from a thread of its own, which frees what it kept
// when it ends.
TEST(cipher, reopened_handles_start_clean_under_their_new_key)
{
    const auto round = [] {
        const bytes other(16, 0x5a), nonce(12, 7), fips_key = hex("000102030405060708090a0b0c0d0e0f"),
                    fips_in = hex("00112233445566778899aabbccddeeff");
        uint8_t out[64];
        for (int i = 0; i < 3; i++) {
            gcm_handle e(CRYPTO_CIPHER_MODE_ECB);
            EXPECT_EQ(crypto_cipher_flags(e.h), 0u);
            EXPECT_EQ(crypto_cipher_encrypt(e.h, out, 16, fips_in.data(), 16), CRYPTO_ERR_AES_NO_KEY);
            ASSERT_EQ(crypto_cipher_setkey(e.h, (i % 2 ? other : fips_key).data(), 16), 0);
            ASSERT_EQ(crypto_cipher_encrypt(e.h, out, 16, fips_in.data(), 16), 0);
            if (i % 2 == 0)
                EXPECT_EQ(to_hex(out, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
            else
                EXPECT_NE(to_hex(out, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
        }
        {
            gcm_handle g; // closed halfway: key and nonce set, nothing decrypted
            ASSERT_EQ(crypto_cipher_setkey(g.h, other.data(), 16), 0);
            ASSERT_EQ(crypto_cipher_setiv(g.h, nonce.data(), 12), 0);
        }
        const gcm_case &c = gcm_cases[3];
        const bytes key = hex(c.key), iv = hex(c.nonce), aad = hex(c.aad), ct = hex(c.cipher), tag = hex(c.tag);
        gcm_handle g;
        EXPECT_EQ(crypto_cipher_flags(g.h), 0u);
        EXPECT_EQ(crypto_cipher_checktag(g.h, tag.data(), 16), CRYPTO_ERR_GCM_AUTH_FAILED);
        EXPECT_EQ(crypto_cipher_decrypt_verify(g.h, aad.data(), aad.size(), out, ct.data(), ct.size(), tag.data(), 16),
                  CRYPTO_ERR_GCM_NOT_READY);
        ASSERT_EQ(crypto_cipher_setkey(g.h, key.data(), 16), 0);
        ASSERT_EQ(crypto_cipher_setiv(g.h, iv.data(), 12), 0);
        ASSERT_EQ(crypto_cipher_decrypt_verify(g.h, aad.data(), aad.size(), out, ct.data(), ct.size(), tag.data(), 16), 0);
        EXPECT_EQ(to_hex(out, ct.size()), c.plain);

        crypto_md_handle *h = nullptr;
        ASSERT_EQ(crypto_md_open(&h, CRYPTO_MD_SHA256, CRYPTO_MD_FLAG_HMAC), 0);
        ASSERT_EQ(crypto_md_setkey(h, other.data(), 16), 0);
        ASSERT_EQ(crypto_md_write(h, "abc", 3), 0);
        crypto_md_close(h);
        ASSERT_EQ(crypto_md_open(&h, CRYPTO_MD_SHA256, CRYPTO_MD_FLAG_HMAC), 0);
        ASSERT_EQ(crypto_md_setkey(h, nullptr, 0), 0); // no key left set
        EXPECT_EQ(to_hex(crypto_md_read(h), 32), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
        crypto_md_close(h);
    };
    round();
    std::thread t(round);
    t.join();
    round();
}

TEST(cipher, error_texts_control_and_version)
{
    const struct {
        int code;
        const char *text;
    } rows[] = {{20720, "MD:Alloc failed"},        {20723, "MD:Data is too long"},   {20727, "GCM:No key/siv/auth"},
                {20729, "Not supported"},          {-18, "GCM:Auth failed"},        {-110, "Corruption detected"},
                {-24704, "CIPHER:Feature unavailable"}, {-25472, "CIPHER:Invalid context"}, {0, "Unknown error code"},
                {12345, "Unknown error code"}};
    for (const auto &r : rows)
        EXPECT_STREQ(crypto_strerror(r.code), r.text) << r.code;
    char small[8];
    EXPECT_STREQ(crypto_strerror_copy(-18, small, sizeof(small)), "GCM:Aut");
    EXPECT_EQ(crypto_control(2, 7), 0);
    EXPECT_EQ(crypto_control(1, 0), 0);
    EXPECT_EQ(crypto_control(1, 1), CRYPTO_ERR_NOT_SUPPORTED);
    EXPECT_EQ(crypto_control(3, 0), CRYPTO_ERR_NOT_SUPPORTED);
    EXPECT_STREQ(crypto_check_version(), "1.8.6internal");
    ASSERT_NE(crypto_cipher_info_by_name("AES-256-GCM"), nullptr);
    EXPECT_EQ(crypto_cipher_info_by_name("AES-256-GCM")->key_bits, 256u);
    EXPECT_EQ(crypto_cipher_info_find(CRYPTO_CIPHER_AES128, 128, CRYPTO_CIPHER_MODE_ECB)->name,
              std::string("AES-128-ECB"));
    EXPECT_EQ(crypto_cipher_info_by_name("AES-128-CBC"), nullptr);
}

// Module finalization checks the layer's version and initialises it when
// "libgcrypt.init" is on (its default).
TEST(cipher, module_finalization_sets_the_layer_up)
{
    EXPECT_EQ(oxlo_crypto_initialised(), 0); // nothing in this program set it up before
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    EXPECT_EQ(oxlo_crypto_initialised(), 1);
    EXPECT_STREQ(oxlo_crypto_version(), "1.8.6internal");
    oxlo_module_free(m);
}

} // namespace
