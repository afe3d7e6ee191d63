/* Engine-internal pieces of the utilities, shared with their tests. */
#ifndef OXLO_UTILS_INTERNAL_H
#define OXLO_UTILS_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The value of one hex digit (either case), or -1 for any other character. */
int oxlo_hex_digit_value(char c);

/* What the URL check calls: the two injection detectors and the risk raise. */
typedef struct oxlo_url_check_calls {
  int (*xss_detect)(const char *text, size_t length);
  int (*sqli_detect)(const char *text, size_t length);
  int (*risk_raise)(oxlo_module *module, oxlo_flow_state *flow, int risk, const char *message);
} oxlo_url_check_calls;

int oxlo_url_attack_check_with(oxlo_module *module, oxlo_flow_state *flow, const char *url,
                               const oxlo_url_check_calls *calls);

/* What the compact host key calls: the public suffix of a name and the
 * short-string compressor (out_size + 1 when the output does not fit). */
typedef struct oxlo_compact_key_calls {
  const char *(*public_suffix)(oxlo_module *module, const char *name, uint16_t *suffix_id);
  int (*compress)(const char *text, size_t length, char *out, size_t out_size);
} oxlo_compact_key_calls;

size_t oxlo_host_name_compact_key_with(oxlo_module *module, const char *host_name,
                                       uint8_t *buffer, size_t size,
                                       const oxlo_compact_key_calls *calls);

/* AES-256 (the wrappers use CBC with an all-zero IV) over whole 16-byte
 * blocks, in place: 0, or -1 when the cipher fails. */
typedef int (*oxlo_aes256_cipher_fn)(const uint8_t key[32], uint8_t *data, size_t length, int decrypt);

char *oxlo_aes_encrypt_base64_with(const void *data, size_t length, size_t *out_length,
                                   const char *key_hex, oxlo_aes256_cipher_fn cipher);
uint8_t *oxlo_aes_decrypt_base64_with(const char *text, size_t length, size_t *out_length,
                                      const char *key_hex, oxlo_aes256_cipher_fn cipher);

#ifdef __cplusplus
}
#endif

#endif
