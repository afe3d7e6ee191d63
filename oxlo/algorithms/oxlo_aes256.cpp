/* AES-256 on a caller-owned context. The context keeps the FIPS 197 key
 * schedule (its first two round keys are the key itself); the block cipher
 * runs in libcrypto, which picks the processor's AES instructions when there
 * are any. The modes are built here so that their exact semantics (the IV
 * left in the context, a fresh key-stream block per CTR call) do not depend
 * on libcrypto's stream state. */
#include "oxlo_aes256.h"

#include <openssl/evp.h>

#include <cstring>

namespace {

/* GF(2^8) arithmetic for the key schedule's S-box, computed rather than
 * tabled: the schedule is built once per key and is not on any hot path. */
uint8_t gf_mul(uint8_t a, uint8_t b)
{
    uint8_t p = 0;
    while (b) {
        if (b & 1)
            p ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
        b >>= 1;
    }
    return p;
}

uint8_t sbox(uint8_t x)
{
    /* x^254 is the multiplicative inverse (0 for 0). */
    uint8_t inv = 1, base = x;
    for (int e = 254; e; e >>= 1) {
        if (e & 1)
            inv = gf_mul(inv, base);
        base = gf_mul(base, base);
    }
    if (x == 0)
        inv = 0;
    uint8_t s = inv;
    for (int i = 1; i <= 4; i++)
        s ^= static_cast<uint8_t>((inv << i) | (inv >> (8 - i)));
    return static_cast<uint8_t>(s ^ 0x63);
}

/* One libcrypto ECB context for the blocks of one call. */
class block_cipher {
public:
    block_cipher(const aes256_context *ctx, bool encrypt) : c_(EVP_CIPHER_CTX_new())
    {
        ok_ = c_ && EVP_CipherInit_ex(c_, EVP_aes_256_ecb(), nullptr, ctx->round_key, nullptr, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(c_, 0) == 1;
    }
    ~block_cipher() { EVP_CIPHER_CTX_free(c_); }
    block_cipher(const block_cipher &) = delete;
    block_cipher &operator=(const block_cipher &) = delete;

    bool ok() const { return ok_; }
    /* One block, out may equal in. */
    bool run(const uint8_t *in, uint8_t *out)
    {
        int n = 0;
        ok_ = ok_ && EVP_CipherUpdate(c_, out, &n, in, AES256_BLOCK_SIZE) == 1 && n == AES256_BLOCK_SIZE;
        return ok_;
    }

private:
    EVP_CIPHER_CTX *c_;
    bool ok_;
};

int one_block(const aes256_context *ctx, uint8_t *block, bool encrypt)
{
    block_cipher c(ctx, encrypt);
    return c.run(block, block) ? 0 : -1;
}

void xor_block(uint8_t *dst, const uint8_t *src, size_t n)
{
    for (size_t i = 0; i < n; i++)
        dst[i] ^= src[i];
}

void increment(uint8_t counter[AES256_BLOCK_SIZE])
{
    for (int i = AES256_BLOCK_SIZE - 1; i >= 0; i--)
        if (++counter[i] != 0)
            break;
}

} // namespace

extern "C" {

void aes256_key_expansion(aes256_context *ctx, const uint8_t key[AES256_KEY_SIZE])
{
    uint8_t *w = ctx->round_key;
    std::memcpy(w, key, AES256_KEY_SIZE);
    uint8_t rcon = 1;
    for (size_t i = 8; i < AES256_ROUND_KEYS_SIZE / 4; i++) {
        uint8_t t[4];
        std::memcpy(t, w + 4 * (i - 1), 4);
        if (i % 8 == 0) {
            uint8_t first = t[0];
            t[0] = static_cast<uint8_t>(sbox(t[1]) ^ rcon);
            t[1] = sbox(t[2]);
            t[2] = sbox(t[3]);
            t[3] = sbox(first);
            rcon = gf_mul(rcon, 2);
        } else if (i % 8 == 4) {
            for (uint8_t &b : t)
                b = sbox(b);
        }
        for (int j = 0; j < 4; j++)
            w[4 * i + j] = static_cast<uint8_t>(w[4 * (i - 8) + j] ^ t[j]);
    }
}

void aes256_init(aes256_context *ctx, const uint8_t key[AES256_KEY_SIZE]) { aes256_key_expansion(ctx, key); }

void aes256_init_with_iv(aes256_context *ctx, const uint8_t key[AES256_KEY_SIZE], const uint8_t iv[AES256_BLOCK_SIZE])
{
    aes256_key_expansion(ctx, key);
    aes256_set_iv(ctx, iv);
}

void aes256_set_iv(aes256_context *ctx, const uint8_t iv[AES256_BLOCK_SIZE])
{
    std::memcpy(ctx->iv, iv, AES256_BLOCK_SIZE);
}

int aes256_encrypt_block(uint8_t block[AES256_BLOCK_SIZE], const aes256_context *ctx)
{
    return one_block(ctx, block, true);
}

int aes256_decrypt_block(uint8_t block[AES256_BLOCK_SIZE], const aes256_context *ctx)
{
    return one_block(ctx, block, false);
}

int aes256_ecb_encrypt(const aes256_context *ctx, uint8_t block[AES256_BLOCK_SIZE])
{
    return aes256_encrypt_block(block, ctx);
}

int aes256_ecb_decrypt(const aes256_context *ctx, uint8_t block[AES256_BLOCK_SIZE])
{
    return aes256_decrypt_block(block, ctx);
}

int aes256_cbc_encrypt(aes256_context *ctx, uint8_t *buffer, size_t length)
{
    /* A partial last block would be read and written past the buffer. */
    if (length % AES256_BLOCK_SIZE != 0 || (!buffer && length))
        return -1;
    block_cipher c(ctx, true);
    if (!c.ok())
        return -1;
    uint8_t chain[AES256_BLOCK_SIZE];
    std::memcpy(chain, ctx->iv, sizeof chain);
    for (size_t off = 0; off < length; off += AES256_BLOCK_SIZE) {
        uint8_t *block = buffer + off;
        xor_block(block, chain, AES256_BLOCK_SIZE);
        if (!c.run(block, block))
            return -1;
        std::memcpy(chain, block, sizeof chain);
    }
    std::memcpy(ctx->iv, chain, sizeof chain);
    return 0;
}

int aes256_cbc_decrypt(aes256_context *ctx, uint8_t *buffer, size_t length)
{
    if (length % AES256_BLOCK_SIZE != 0 || (!buffer && length))
        return -1;
    block_cipher c(ctx, false);
    if (!c.ok())
        return -1;
    uint8_t prev[AES256_BLOCK_SIZE];
    std::memcpy(prev, ctx->iv, sizeof prev);
    for (size_t off = 0; off < length; off += AES256_BLOCK_SIZE) {
        uint8_t *block = buffer + off;
        uint8_t cipher[AES256_BLOCK_SIZE];
        std::memcpy(cipher, block, sizeof cipher);
        if (!c.run(block, block))
            return -1;
        xor_block(block, prev, AES256_BLOCK_SIZE);
        std::memcpy(prev, cipher, sizeof prev);
    }
    std::memcpy(ctx->iv, prev, sizeof prev);
    return 0;
}

int aes256_ctr_crypt(aes256_context *ctx, uint8_t *buffer, size_t length)
{
    if (!buffer && length)
        return -1;
    block_cipher c(ctx, true);
    if (!c.ok())
        return -1;
    uint8_t counter[AES256_BLOCK_SIZE];
    std::memcpy(counter, ctx->iv, sizeof counter);
    for (size_t off = 0; off < length; off += AES256_BLOCK_SIZE) {
        uint8_t stream[AES256_BLOCK_SIZE];
        if (!c.run(counter, stream))
            return -1;
        size_t n = length - off < AES256_BLOCK_SIZE ? length - off : AES256_BLOCK_SIZE;
        xor_block(buffer + off, stream, n);
        increment(counter);
    }
    std::memcpy(ctx->iv, counter, sizeof counter);
    return 0;
}

} // extern "C"
