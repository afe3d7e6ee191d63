/* Message digests: MD5 (RFC 1321), SHA-1 and SHA-256 (FIPS 180-4), with
 * init/update/final on a context in the caller's storage. The functions carry
 * the library's prefix so they never collide with same-named symbols of
 * system libraries linked into the same process. */
#ifndef OXLO_DIGEST_H
#define OXLO_DIGEST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct md5_context {
    uint32_t state[4];
    uint32_t bits[2]; /* low, high */
    uint8_t buffer[64];
} md5_context;

typedef struct sha1_context {
    uint32_t state[5];
    uint32_t count[2]; /* low, high bit count */
    uint8_t buffer[64];
} sha1_context;

typedef struct sha256_context {
    uint8_t data[64];
    uint32_t datalen;
    uint64_t bitlen;
    uint32_t state[8];
} sha256_context;

void oxlo_md5_init(md5_context *ctx);
void oxlo_md5_update(md5_context *ctx, const uint8_t *data, uint32_t len);
/* Writes the digest, then wipes the context. */
void oxlo_md5_final(uint8_t digest[16], md5_context *ctx);

void oxlo_sha1_init(sha1_context *ctx);
void oxlo_sha1_update(sha1_context *ctx, const uint8_t *data, uint32_t len);
void oxlo_sha1_transform(uint32_t state[5], const uint8_t block[64]);
/* Writes the digest, then wipes the context. */
void oxlo_sha1_final(uint8_t digest[20], sha1_context *ctx);

void oxlo_sha256_init(sha256_context *ctx);
void oxlo_sha256_update(sha256_context *ctx, const uint8_t *data, uint64_t len);
void oxlo_sha256_final(sha256_context *ctx, uint8_t digest[32]);
void oxlo_sha256_digest(const uint8_t *data, size_t len, uint8_t digest[32]);

#ifdef __cplusplus
}
#endif

#endif
