/* The cipher layer: what removing the protection of a QUIC Initial needs
 * (HMAC-SHA-256 for HKDF, AES-128-ECB for header protection, AES-128-GCM
 * decryption with its tag check) behind handles in the style of a general
 * crypto library. The primitives underneath are libcrypto's.
 *
 * Calls return 0 or one of the codes below; crypto_strerror names them. */
#ifndef OXLO_CIPHER_H
#define OXLO_CIPHER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CRYPTO_MD_SHA256 8
#define CRYPTO_MD_FLAG_HMAC 2
#define CRYPTO_CIPHER_AES128 7
#define CRYPTO_CIPHER_MODE_ECB 1
#define CRYPTO_CIPHER_MODE_GCM 8

/* Flag bits of a cipher handle. */
#define CRYPTO_FLAG_KEY 0x01
#define CRYPTO_FLAG_AUTH 0x02
#define CRYPTO_FLAG_NONCE 0x04
#define CRYPTO_FLAG_DONE 0x08

#define CRYPTO_ERR_MD_ALLOC 20720
#define CRYPTO_ERR_MD_NOT_SUPPORTED 20721
#define CRYPTO_ERR_MD_KEY_SET 20722
#define CRYPTO_ERR_MD_TOO_LONG 20723
#define CRYPTO_ERR_WRONG_KEY_IV 20724
#define CRYPTO_ERR_GCM_ALLOC 20725
#define CRYPTO_ERR_GCM_NOT_SUPPORTED 20726
#define CRYPTO_ERR_GCM_NOT_READY 20727
#define CRYPTO_ERR_AES_NO_KEY 20728
#define CRYPTO_ERR_NOT_SUPPORTED 20729
#define CRYPTO_ERR_GCM_AUTH_FAILED (-18)
#define CRYPTO_ERR_GCM_BAD_INPUT (-20)
#define CRYPTO_ERR_GCM_BUFFER_TOO_SMALL (-22)
#define CRYPTO_ERR_AES_INVALID_KEY_LENGTH (-32)
#define CRYPTO_ERR_AES_BAD_INPUT (-33)
#define CRYPTO_ERR_AES_INVALID_INPUT_LENGTH (-34)
#define CRYPTO_ERR_CORRUPTION (-110)
#define CRYPTO_ERR_FEATURE_UNAVAILABLE (-24704)
#define CRYPTO_ERR_BAD_INPUT (-24832)
#define CRYPTO_ERR_ALLOC (-24960)
#define CRYPTO_ERR_FULL_BLOCK_EXPECTED (-25216)
#define CRYPTO_ERR_AUTH_FAILED (-25344)
#define CRYPTO_ERR_INVALID_CONTEXT (-25472)

#define CRYPTO_MD_KEY_MAX 64
#define CRYPTO_MD_DIGEST 32
#define CRYPTO_MD_MESSAGE_MAX 256
#define CRYPTO_AUTH_MAX 256
#define CRYPTO_NONCE_LENGTH 12
#define CRYPTO_TAG_LENGTH 16

typedef struct crypto_md_handle crypto_md_handle;
typedef struct crypto_cipher_handle crypto_cipher_handle;

/* ---- HMAC-SHA-256 ---- */
int crypto_md_open(crypto_md_handle **out, int algorithm, unsigned flags);
/* Keys longer than 64 bytes are replaced by their SHA-256, as HMAC defines. */
int crypto_md_setkey(crypto_md_handle *h, const void *key, size_t length);
int crypto_md_write(crypto_md_handle *h, const void *bytes, size_t length);
/* HMAC (key, message written so far); the handle's 32 bytes, NULL for a
 * null handle. */
const uint8_t *crypto_md_read(crypto_md_handle *h);
void crypto_md_reset(crypto_md_handle *h);
/* Clears the message and the digest but keeps the key (and the HMAC states
 * computed for it): several MACs under one key, as HKDF-Expand makes. */
void crypto_md_restart(crypto_md_handle *h);
void crypto_md_close(crypto_md_handle *h);
unsigned crypto_md_digest_length(int algorithm);

/* ---- AES-128 in ECB (encryption of one block) and GCM (decryption) ---- */
int crypto_cipher_open(crypto_cipher_handle **out, int algorithm, int mode, unsigned flags);
size_t crypto_cipher_key_length(int algorithm);
int crypto_cipher_setkey(crypto_cipher_handle *h, const void *key, size_t length);
int crypto_cipher_setiv(crypto_cipher_handle *h, const void *nonce, size_t length);
int crypto_cipher_authenticate(crypto_cipher_handle *h, const void *data, size_t length);
/* in NULL with in_size 0: in place on out. ECB takes exactly one 16-byte
 * block. */
int crypto_cipher_encrypt(crypto_cipher_handle *h, void *out, size_t out_size, const void *in, size_t in_size);
int crypto_cipher_decrypt(crypto_cipher_handle *h, void *out, size_t out_size, const void *in, size_t in_size);
int crypto_cipher_checktag(crypto_cipher_handle *h, const void *tag, size_t length);
/* GCM in one pass for a caller that has the tag before it decrypts (a
 * protected packet): the additional data (of any length, unlike
 * crypto_cipher_authenticate's 256 bytes, which it stands in for), the
 * decryption and the tag check, which finishes the operation itself rather
 * than a copy of it. Needs the key and the nonce set and no operation since
 * the last reset. 0 when the tag matches (it is then the handle's tag);
 * CRYPTO_ERR_GCM_AUTH_FAILED when it does not (out holds nothing valid then);
 * else the codes of crypto_cipher_decrypt. */
int crypto_cipher_decrypt_verify(crypto_cipher_handle *h, const void *aad, size_t aad_length, void *out,
                                 const void *in, size_t size, const void *tag, size_t tag_length);
int crypto_cipher_reset(crypto_cipher_handle *h);
void crypto_cipher_close(crypto_cipher_handle *h);
/* The flag bits (CRYPTO_FLAG_*) of a handle, 0 for a null one. */
unsigned crypto_cipher_flags(const crypto_cipher_handle *h);

/* ---- the layer ---- */
const char *crypto_strerror(int code);
/* Copies at most size - 1 characters of the text; returns buffer. */
char *crypto_strerror_copy(int code, char *buffer, size_t size);
int crypto_control(int request, int argument);
const char *crypto_check_version(void);

/* One row of the cipher information table. */
typedef struct crypto_cipher_info {
    const char *name;
    int mode;
    unsigned key_bits;
    unsigned nonce_size;
    unsigned block_size;
} crypto_cipher_info;
const crypto_cipher_info *crypto_cipher_info_by_name(const char *name);
const crypto_cipher_info *crypto_cipher_info_find(int algorithm, unsigned key_bits, int mode);

#ifdef __cplusplus
}
#endif

#endif
