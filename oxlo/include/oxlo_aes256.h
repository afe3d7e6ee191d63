/* Small AES-256 (FIPS 197, 14 rounds) with ECB, CBC and CTR modes working in
 * place on a context in the caller's storage. The cipher itself is
 * libcrypto's. */
#ifndef OXLO_AES256_H
#define OXLO_AES256_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AES256_BLOCK_SIZE 16
#define AES256_KEY_SIZE 32
#define AES256_ROUND_KEYS_SIZE 240

typedef struct aes256_context {
    uint8_t round_key[AES256_ROUND_KEYS_SIZE];   /* 15 round keys of 16 bytes */
    uint8_t iv[AES256_BLOCK_SIZE];               /* CBC chaining value or CTR counter */
} aes256_context;

/* Fills the 15 round keys (FIPS 197 key expansion, Nk = 8). */
void aes256_key_expansion(aes256_context *ctx, const uint8_t key[AES256_KEY_SIZE]);
/* Round keys only; the IV is left as it is. */
void aes256_init(aes256_context *ctx, const uint8_t key[AES256_KEY_SIZE]);
void aes256_init_with_iv(aes256_context *ctx, const uint8_t key[AES256_KEY_SIZE],
                         const uint8_t iv[AES256_BLOCK_SIZE]);
void aes256_set_iv(aes256_context *ctx, const uint8_t iv[AES256_BLOCK_SIZE]);

/* The modes return 0, or -1 when libcrypto fails or (CBC) the length is not
 * a multiple of 16. A refused length leaves the buffer and the IV as they
 * were; after a libcrypto failure the buffer is undefined, the IV unchanged. */
int aes256_encrypt_block(uint8_t block[AES256_BLOCK_SIZE], const aes256_context *ctx);
int aes256_decrypt_block(uint8_t block[AES256_BLOCK_SIZE], const aes256_context *ctx);
int aes256_ecb_encrypt(const aes256_context *ctx, uint8_t block[AES256_BLOCK_SIZE]);
int aes256_ecb_decrypt(const aes256_context *ctx, uint8_t block[AES256_BLOCK_SIZE]);
/* The last cipher block becomes the IV. */
int aes256_cbc_encrypt(aes256_context *ctx, uint8_t *buffer, size_t length);
int aes256_cbc_decrypt(aes256_context *ctx, uint8_t *buffer, size_t length);
/* Counter mode: the counter is a 128-bit big-endian number, incremented for
 * each 16 bytes (ff..ff wraps to 00..00). Each call starts a new key-stream
 * block. */
int aes256_ctr_crypt(aes256_context *ctx, uint8_t *buffer, size_t length);

#ifdef __cplusplus
}
#endif

#endif
