/* Oxlo hash functions: small non-cryptographic hashes for cache slots,
 * buckets, filter keys and address keys. Results are 32-bit unless stated. */
#ifndef OXLO_HASH_H
#define OXLO_HASH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* h = 5381, h = h * 33 + byte (unsigned bytes). */
uint32_t djb2_hash(const void *data, uint32_t length);
/* Jenkins one-at-a-time over signed characters. */
uint32_t one_at_a_time_hash_string(const char *text);
/* The same from the last character to the first; 0 for an empty text. */
uint32_t one_at_a_time_hash_reversed(const char *text);
/* Over a byte range taken as signed bytes; 0 for length 0. */
uint32_t one_at_a_time_hash_bytes(const void *data, uint32_t length);
/* Over unsigned bytes; 0 for length 0 (bucket of the string LRU cache). */
uint32_t string_lru_cache_hash(const void *data, uint32_t length);
/* MurmurHash3 x86_32 with any seed, and with the library's seed 0x87654321. */
uint32_t murmur3_hash32(const void *data, uint32_t length, uint32_t seed);
uint32_t murmur3_hash_default_seed(const void *data, uint32_t length);
/* The same hash under the library's oxlo_ name; a null buffer hashes as an
 * empty one of the given length (only the length enters the hash). */
uint32_t oxlo_murmur3_32(const void *data, uint32_t length, uint32_t seed);
/* 64-bit: h = 177, h = h * 31 + signed byte, result h ^ length. */
uint64_t address_fold_hash(const void *data, uint32_t length);
/* Folds a 128-bit value to 32 bits. */
uint32_t hash128_fold32(uint64_t x0, uint64_t x1);

#ifdef __cplusplus
}
#endif

#endif
