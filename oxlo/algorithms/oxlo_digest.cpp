/* MD5, SHA-1 and SHA-256. Straight implementations of the published
 * algorithms; the only deviations from a textbook version are the library
 * prefix on the symbols and the explicit context wipes of the MD5 and SHA-1
 * finals. The one-shot SHA-256 is libcrypto's. */
#include "oxlo_digest.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>

namespace {

inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t ror(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint32_t load_be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void store_le32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline void store_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

/* Adds len bytes to a 64-bit bit count kept as two 32-bit words and returns
 * how many bytes were already buffered before. */
inline uint32_t add_bit_count(uint32_t &low, uint32_t &high, uint32_t len)
{
    uint32_t used = (low >> 3) & 0x3f;
    uint32_t next = low + (len << 3);
    if (next < low)
        high++;
    low = next;
    high += len >> 29;
    return used;
}

/* Fills the 64-byte block buffer that already holds `used` bytes, transforms
 * every complete block and keeps the tail for the next call. */
template <typename Transform>
void absorb(uint32_t *state, uint8_t buffer[64], uint32_t used, const uint8_t *data, uint32_t len,
            Transform transform)
{
    if (used) {
        uint32_t room = 64 - used;
        if (len < room) {
            memcpy(buffer + used, data, len);
            return;
        }
        memcpy(buffer + used, data, room);
        transform(state, buffer);
        data += room;
        len -= room;
    }
    for (; len >= 64; data += 64, len -= 64)
        transform(state, data);
    if (len)
        memcpy(buffer, data, len);
}

/* ---- MD5 ---------------------------------------------------------------- */

const uint32_t md5_k[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

const int md5_r[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                       5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                       4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                       6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

void md5_transform(uint32_t state[4], const uint8_t block[64])
{
    uint32_t m[16];
    for (int i = 0; i < 16; i++)
        m[i] = load_le32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t tmp = d;
        d = c;
        c = b;
        b = b + rol(a + f + md5_k[i] + m[g], md5_r[i]);
        a = tmp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

/* ---- SHA-256 -------------------------------------------------------------- */

const uint32_t sha256_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

void sha256_transform(sha256_context *ctx, const uint8_t block[64])
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = ror(w[i - 15], 7) ^ ror(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = ror(w[i - 2], 17) ^ ror(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = h + (ror(e, 6) ^ ror(e, 11) ^ ror(e, 25)) + ((e & f) ^ (~e & g)) + sha256_k[i] + w[i];
        uint32_t t2 = (ror(a, 2) ^ ror(a, 13) ^ ror(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
    ctx->state[5] += f;
    ctx->state[6] += g;
    ctx->state[7] += h;
}

const uint8_t final_pad[64] = {0x80};

} // namespace

extern "C" {

void oxlo_md5_init(md5_context *ctx)
{
    ctx->bits[0] = ctx->bits[1] = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
}

void oxlo_md5_update(md5_context *ctx, const uint8_t *data, uint32_t len)
{
    uint32_t used = add_bit_count(ctx->bits[0], ctx->bits[1], len);
    absorb(ctx->state, ctx->buffer, used, data, len, md5_transform);
}

void oxlo_md5_final(uint8_t digest[16], md5_context *ctx)
{
    uint8_t length[8];
    store_le32(length, ctx->bits[0]);
    store_le32(length + 4, ctx->bits[1]);
    uint32_t used = (ctx->bits[0] >> 3) & 0x3f;
    oxlo_md5_update(ctx, final_pad, used < 56 ? 56 - used : 120 - used);
    oxlo_md5_update(ctx, length, 8);
    for (int i = 0; i < 4; i++)
        store_le32(digest + 4 * i, ctx->state[i]);
    memset(ctx, 0, sizeof(*ctx));
}

void oxlo_sha1_transform(uint32_t state[5], const uint8_t block[64])
{
    uint32_t w[80];
    for (int i = 0; i < 16; i++)
        w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 80; i++)
        w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

void oxlo_sha1_init(sha1_context *ctx)
{
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xc3d2e1f0;
    ctx->count[0] = ctx->count[1] = 0;
}

void oxlo_sha1_update(sha1_context *ctx, const uint8_t *data, uint32_t len)
{
    uint32_t used = add_bit_count(ctx->count[0], ctx->count[1], len);
    absorb(ctx->state, ctx->buffer, used, data, len, oxlo_sha1_transform);
}

void oxlo_sha1_final(uint8_t digest[20], sha1_context *ctx)
{
    uint8_t length[8];
    store_be32(length, ctx->count[1]);
    store_be32(length + 4, ctx->count[0]);
    uint32_t used = (ctx->count[0] >> 3) & 0x3f;
    oxlo_sha1_update(ctx, final_pad, used < 56 ? 56 - used : 120 - used);
    oxlo_sha1_update(ctx, length, 8);
    for (int i = 0; i < 5; i++)
        store_be32(digest + 4 * i, ctx->state[i]);
    memset(ctx, 0, sizeof(*ctx));
}

void oxlo_sha256_init(sha256_context *ctx)
{
    static const uint32_t iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    ctx->datalen = 0;
    ctx->bitlen = 0;
    memcpy(ctx->state, iv, sizeof(iv));
}

void oxlo_sha256_update(sha256_context *ctx, const uint8_t *data, uint64_t len)
{
    for (uint64_t i = 0; i < len; i++) {
        ctx->data[ctx->datalen++] = data[i];
        if (ctx->datalen == 64) {
            sha256_transform(ctx, ctx->data);
            ctx->bitlen += 512;
            ctx->datalen = 0;
        }
    }
}

void oxlo_sha256_final(sha256_context *ctx, uint8_t digest[32])
{
    uint32_t i = ctx->datalen;
    ctx->bitlen += uint64_t(ctx->datalen) * 8;
    ctx->data[i++] = 0x80;
    if (ctx->datalen >= 56) {
        memset(ctx->data + i, 0, 64 - i);
        sha256_transform(ctx, ctx->data);
        i = 0;
    }
    memset(ctx->data + i, 0, 56 - i);
    for (int b = 0; b < 8; b++)
        ctx->data[56 + b] = uint8_t(ctx->bitlen >> (56 - 8 * b));
    sha256_transform(ctx, ctx->data);
    for (int w = 0; w < 8; w++)
        store_be32(digest + 4 * w, ctx->state[w]);
}

/* One-shot digests (the fingerprint hashes of every TLS and QUIC hello)
 * run on libcrypto's SHA-256, which uses the processor's SHA instructions
 * where there are some: the same digest, several times faster than the
 * portable rounds above. */
/* libcrypto's one-shot SHA256() looks the algorithm up anew on every call,
 * which costs more than hashing a short text (one per TCP SYN): the
 * algorithm is fetched once per process and a context kept per thread. */
void oxlo_sha256_digest(const uint8_t *data, size_t len, uint8_t digest[32])
{
    static EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    struct context {
        EVP_MD_CTX *ctx = EVP_MD_CTX_new();
        ~context() { EVP_MD_CTX_free(ctx); }
    };
    static thread_local context local;
    const uint8_t *in = len ? data : reinterpret_cast<const uint8_t *>("");
    unsigned int out = 0;
    if (md && local.ctx && EVP_DigestInit_ex2(local.ctx, md, nullptr) == 1 &&
        EVP_DigestUpdate(local.ctx, in, len) == 1 && EVP_DigestFinal_ex(local.ctx, digest, &out) == 1)
        return;
    SHA256(in, len, digest);
}

} // extern "C"
