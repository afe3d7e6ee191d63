/* Oxlo membership filters and DNS answer tracking.
 *
 * An oxlo_hash_filter is a set of 32-bit hash values on a 64-bit bitmap.
 * DNS answer tracking keeps (server address, host name) pairs seen in DNS
 * answers as such hashes, in a current and a previous filter, so that the
 * HTTP and TLS dissectors can tell whether the name a client asks a server
 * for was resolved to that server's address. The check, and the recording,
 * are on only with the knob "hostname_dns_check". */
#ifndef OXLO_HASH_FILTER_H
#define OXLO_HASH_FILTER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oxlo_module oxlo_module;
typedef struct oxlo_hash_filter oxlo_hash_filter;

/* An empty filter, null when out of memory. */
oxlo_hash_filter *oxlo_hash_filter_new(void);
/* 1 added (or already present), 0 for a null filter or lack of memory. */
int oxlo_hash_filter_add(oxlo_hash_filter *filter, uint32_t value);
/* As add, with the one-at-a-time hash of the text. */
int oxlo_hash_filter_add_string(oxlo_hash_filter *filter, const char *text);
int oxlo_hash_filter_contains(const oxlo_hash_filter *filter, uint32_t value);
int oxlo_hash_filter_contains_string(const oxlo_hash_filter *filter, const char *text);
/* Number of values; 0 for null. */
uint64_t oxlo_hash_filter_count(const oxlo_hash_filter *filter);
/* Bytes of the filter's serialized bitmap; 0 for null. */
size_t oxlo_hash_filter_serialized_size(const oxlo_hash_filter *filter);
void oxlo_hash_filter_free(oxlo_hash_filter *filter);

/* A current filter that reaches this many pairs becomes the previous one, so
 * a module never remembers more than twice as many. */
#define OXLO_DNS_TRACKING_ROTATE_AT 65536u

/* The key of an (address, host name) pair; `address` is 16 bytes (IPv4 in
 * the first four, zero after). */
uint32_t oxlo_dns_resolution_key(const uint8_t address[16], const char *host_name);
/* Records a pair (creating the current filter when there is none). */
void oxlo_dns_resolution_add(oxlo_module *module, const uint8_t address[16], const char *host_name);
/* 1 when the pair is in the current or the previous filter; 0 when not, or
 * when nothing was ever recorded. */
int oxlo_dns_resolution_found(oxlo_module *module, const uint8_t address[16], const char *host_name);
/* With "hostname_dns_check" on: the previous filter goes, the current one
 * becomes previous and a new, empty current one begins. */
void oxlo_dns_resolution_rotate(oxlo_module *module);
/* Turns "hostname_dns_check" on. */
void oxlo_dns_resolution_enable(oxlo_module *module);

#ifdef __cplusplus
}
#endif

#endif
