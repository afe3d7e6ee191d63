/* STAND-INS for engine pieces the utilities call but that do not exist yet:
 * the SQL-injection and XSS detectors, the common-bigram test, the
 * short-string compressor and AES-256. Each is defined in
 * oxlo_utils_standin.cpp; when the real piece lands, the body of the
 * matching stand-in is replaced by the call named in its comment (or the
 * stand-in is removed and its callers call the real function). */
#ifndef OXLO_UTILS_STANDIN_H
#define OXLO_UTILS_STANDIN_H

#include <stddef.h>
#include <stdint.h>

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Real: libinjection_xss_detect(text, length). Stand-in: finds nothing. */
int oxlo_standin_xss_detect(const char *text, size_t length);
/* Real: libinjection_sqli_state_init(&ctx, text, length, 0) then
 * libinjection_sqli_detect(&ctx). Stand-in: finds nothing. */
int oxlo_standin_sqli_detect(const char *text, size_t length);
/* Real: oxlo_common_bigram_test on the two lower-case letters. Stand-in:
 * every pair of letters a-z counts as common. */
int oxlo_standin_common_bigram(char a, char b);

/* Real: short_string_compress / short_string_decompress. Stand-in: the output
 * never fits (out_size + 1). */
int oxlo_standin_short_compress(const char *text, size_t length, char *out, size_t out_size);
int oxlo_standin_short_decompress(const char *data, size_t length, char *out, size_t out_size);
/* Real: aes256_init(&ctx, key) then aes256_ecb_encrypt / aes256_ecb_decrypt
 * on each 16-byte block of data. Stand-in: no cipher, -1. */
int oxlo_standin_aes256_ecb(const uint8_t key[32], uint8_t *data, size_t length, int decrypt);

#ifdef __cplusplus
}
#endif

#endif
