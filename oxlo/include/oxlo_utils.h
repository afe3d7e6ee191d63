/* Oxlo library utilities: a small search tree, text checks and conversions,
 * base64 and hex, address text, numbers and times, bounded formatting, the
 * BER and TPKT helpers shared by the dissectors, the URL attack check, id bit
 * sets and TLS-block sequences.
 *
 * Results that are allocated belong to the caller and are released with
 * oxlo_heap_free(). Every function that writes into a caller buffer stays
 * inside [buffer, buffer + size) whatever the size. */
#ifndef OXLO_UTILS_H
#define OXLO_UTILS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- search tree --------------------------------------------------------- */

/* An unbalanced binary search tree; a tree is a pointer to its root node.
 * The caller's comparator(key, node key) answers negative (go left), zero
 * (found) or positive (go right). */
typedef struct oxlo_bst_node {
  void *key;
  struct oxlo_bst_node *left;
  struct oxlo_bst_node *right;
} oxlo_bst_node;

typedef int (*oxlo_bst_compare)(const void *key, const void *node_key);
/* order: 0 before the children, 1 between them, 2 after them, 3 for a leaf. */
typedef void (*oxlo_bst_visit)(const oxlo_bst_node *node, int order, int depth, void *user_data);

void *oxlo_bst_find_or_add(void *key, oxlo_bst_node **root, oxlo_bst_compare compare);
oxlo_bst_node *oxlo_bst_find(const void *key, oxlo_bst_node *const *root, oxlo_bst_compare compare);
void *oxlo_bst_remove(const void *key, oxlo_bst_node **root, oxlo_bst_compare compare);
void oxlo_bst_walk(const oxlo_bst_node *root, oxlo_bst_visit visit, void *user_data);
void oxlo_bst_destroy(oxlo_bst_node *root, void (*free_key)(void *key));

/* ---- text ----------------------------------------------------------------- */

int oxlo_is_printable_text(const char *text, size_t length);
int oxlo_make_printable(char *text, size_t length);
int oxlo_find_readable_text(const uint8_t *bytes, size_t length, size_t minimum, char *out,
                            size_t out_size);
int oxlo_has_punycode(const char *text, size_t length);
int oxlo_is_valid_dns_name(const char *text, size_t length);
int oxlo_is_ip_literal(const char *text);
int oxlo_has_suffix(const char *text, const char *suffix);
const void *oxlo_find_bytes(const void *range, size_t length, const void *needle,
                            size_t needle_length);
const char *oxlo_find_last_substring(const char *text, const char *pattern);
const void *oxlo_find_last_byte(const void *range, int byte, size_t length);
int oxlo_compare_nocase(const char *a, const char *b, size_t n);
const char *oxlo_trim_spaces(const char *text, size_t *length);
size_t oxlo_copy_bounded(char *destination, size_t size, const char *source, size_t length);
char *oxlo_copy_bytes_as_string(const void *bytes, size_t length);
/* Returns the number of bytes copied (0 when the offset lies past the end). */
size_t oxlo_copy_payload_text(const uint8_t *payload, size_t length, size_t offset, char *buffer,
                              size_t size);
/* Returns the number of bytes written before the NUL; 0 (and an empty text
 * when size > 0) when the destination is smaller than 2 x length + 1. */
size_t oxlo_latin1_to_utf8(const uint8_t *source, size_t length, char *destination, size_t size);

/* ---- encodings -------------------------------------------------------------- */

char *oxlo_encode_base64(const void *bytes, size_t length);
uint8_t *oxlo_decode_base64(const char *text, size_t length, size_t *out_length);
char *oxlo_hex_encode(const void *bytes, size_t length);
uint8_t *oxlo_hex_decode(const char *text, size_t length, size_t *out_length);
size_t oxlo_hex_to_bytes(uint8_t *buffer, size_t size, const char *hex, size_t digits);
size_t oxlo_bytes_to_hex(char *buffer, size_t size, const void *bytes, size_t length);

/* One TLS record or handshake message of a flow. A positive length was sent
 * by the client, a negative one by the server. */
typedef struct tls_block {
  uint8_t kind;          /* tls_block_kind (oxlo_names.h) */
  int16_t length;
  uint8_t flags;         /* bit 0: from the responder */
  uint16_t time_offset;  /* ms since the previous block, 0xFFFF when longer */
} tls_block;

#define OXLO_TLS_BLOCKS_TEXT_MAX 170

char *oxlo_tls_blocks_to_text(const tls_block *blocks, size_t count);
tls_block *oxlo_tls_blocks_parse(const char *hex, size_t length, size_t *out_count);
float oxlo_tls_blocks_distance(const tls_block *a, const tls_block *b, size_t count);

/* ---- addresses, numbers, times ------------------------------------------------ */

char *oxlo_ipv4_to_text(uint32_t address, char *buffer, size_t size);
char *oxlo_ipv6_to_text(const uint8_t address[16], char *buffer, size_t size);
char *oxlo_ipv6_text_shorten(char *text);
int oxlo_ipv4_same_prefix(uint32_t a, uint32_t b, int prefix_length);
int oxlo_ipv4_either_in_prefix(uint32_t a, uint32_t b, uint32_t network, int prefix_length);
uint32_t oxlo_round_up_pow2(uint32_t value);
/* The decimal digits of value at out, without a NUL (out has room for 20);
 * the count written. For hot paths where printf's set-up costs more than
 * the digits. */
size_t oxlo_decimal_text(char *out, uint64_t value);
int64_t oxlo_text_to_int_bounded(const char *text, int64_t minimum, int64_t maximum,
                                 const char **error_text, int base);

/* The BER length at the start of bytes: the length (>= 0) with *used set to
 * the bytes it took; OXLO_BER_LENGTH_INDEFINITE (0x80, *used = 1) for the
 * indefinite form; -1 when malformed or cut short. */
#define OXLO_BER_LENGTH_INDEFINITE (-2)
int64_t oxlo_decode_ber_length(const uint8_t *bytes, size_t available, size_t *used);

uint16_t oxlo_inet_checksum(const void *bytes, size_t length);
float oxlo_shannon_entropy(const void *bytes, size_t length);
char *oxlo_entropy_text(char *buffer, size_t size, float entropy);
int oxlo_time_to_utc(time_t seconds, struct tm *out);
/* timestamp: the 8 wire bytes loaded as they are (memcpy), seconds first. */
char *oxlo_ntp_time_text(uint64_t timestamp, char *buffer, size_t size);
int oxlo_format_bounded(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int oxlo_vformat_bounded(char *buffer, size_t size, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));
void oxlo_random_bytes(void *buffer, size_t length);

/* ---- id bit sets ------------------------------------------------------------------ */

typedef struct oxlo_id_bitset {
  uint16_t num_bits;
  uint16_t num_words;
  uint32_t *words;
} oxlo_id_bitset;

int oxlo_id_bitset_init(oxlo_id_bitset *bitset, uint16_t bits);
void oxlo_id_bitset_free(oxlo_id_bitset *bitset);
void oxlo_id_bitset_set(oxlo_id_bitset *bitset, uint32_t bit);
void oxlo_id_bitset_clear(oxlo_id_bitset *bitset, uint32_t bit);
int oxlo_id_bitset_test(const oxlo_id_bitset *bitset, uint32_t bit);
void oxlo_id_bitset_set_all(oxlo_id_bitset *bitset);
void oxlo_id_bitset_clear_all(oxlo_id_bitset *bitset);

/* ---- URL check -------------------------------------------------------------------- */

/* Risk ids returned by the URL check. */
#define OXLO_URL_CHECK_XSS 1
#define OXLO_URL_CHECK_SQL_INJECTION 2
#define OXLO_URL_CHECK_SUSPICIOUS_PATH 13

/* 0, or the risk id of the first attack found in the query parameters
 * (raised on the flow when one is given), or 13 for a ".." path. */
int oxlo_url_attack_check(oxlo_module *module, oxlo_flow_state *flow, const char *url);

/* ---- packets, protocols, classifications ------------------------------------------- */

/* A protocol pair as two ids. */
typedef struct oxlo_protocol_pair {
  uint16_t master;
  uint16_t app;
} oxlo_protocol_pair;

int oxlo_packet_is_tpkt(const oxlo_module *module);
uint16_t oxlo_flow_tls_master_protocol(const oxlo_module *module, const oxlo_flow_state *flow);
int oxlo_protocol_id_is_valid(const oxlo_module *module, uint32_t id);
int oxlo_protocol_is_not_app_only(const oxlo_module *module, uint32_t id);
int oxlo_protocol_pair_normalize(const oxlo_module *module, oxlo_protocol_pair *pair);
char *oxlo_protocol_stack_text(const oxlo_module *module, const oxlo_protocol_stack *stack,
                               char *buffer, size_t size);
int oxlo_classification_is_known(oxlo_classification classification);
/* Adds the known ALPN identifiers to the module's ALPN automaton (before it
 * is finalized): the number added, or -1 without a module or automaton. */
int oxlo_alpn_table_load(oxlo_module *module);
int oxlo_alpn_is_known(oxlo_module *module, const char *text, size_t length);
/* The compact key of a host name for the domain sets: its length, or 0 when
 * the key does not fit the buffer. */
size_t oxlo_host_name_compact_key(oxlo_module *module, const char *host_name, uint8_t *buffer,
                                  size_t size);
/* Lookup and hit counters of one of the module's string maps (selector
 * 0..6); -1 for a bad selector or null arguments. */
int oxlo_module_string_map_stats(const oxlo_module *module, int selector, uint64_t stats[2]);

/* ---- wrappers ------------------------------------------------------------------------ */

/* The compressed length, or 0 when it does not fit the output. */
size_t oxlo_compress_short(const char *text, size_t length, char *out, size_t out_size);
/* The decompressed length, or 0 when the input is bad or does not fit. */
size_t oxlo_decompress_short(const char *data, size_t length, char *out, size_t out_size);
/* AES-256 with PKCS#7 padding, as base64 text; key_hex is 64 hex digits.
 * Both return a new allocation (the plaintext NUL-terminated) or null. */
char *oxlo_aes_encrypt_base64(const void *data, size_t length, size_t *out_length,
                              const char *key_hex);
uint8_t *oxlo_aes_decrypt_base64(const char *text, size_t length, size_t *out_length,
                                 const char *key_hex);

/* Builds the character-class table used by the readable-text finder; call
 * once at library start so that threads never race on its first use. */
void oxlo_utils_init_tables(void);

#ifdef __cplusplus
}
#endif

#endif
