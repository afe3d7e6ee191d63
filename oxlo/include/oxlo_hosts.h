/* Oxlo address and host matching, the engine's data-file loaders,
 * categories, domain sets and the public suffix list.
 *
 * Protocols are recognised by where a flow goes: by the server's (or
 * client's) address through longest-prefix match, optionally with a port,
 * and by host name through a label-aware multi-pattern match. Users extend
 * both with text files loaded into a module before it is finalized. */
#ifndef OXLO_HOSTS_H
#define OXLO_HOSTS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "oxlo_api.h"
#include "oxlo_automaton.h"
#include "oxlo_patricia.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- addresses ------------------------------------------------------------ */

/* An IPv4 address in the first four bytes (network order, the rest zero)
 * or an IPv6 address in all sixteen. */
typedef union oxlo_ip_address {
    uint32_t u32[4];
    uint8_t u8[16];
} oxlo_ip_address;

/* 1 when any of the last three words is non-zero. */
int oxlo_ip_address_is_ipv6(const oxlo_ip_address *address);
/* Dotted text for IPv4, the standard text for IPv6 (empty on failure);
 * returns buffer. */
char *oxlo_ip_address_text(const oxlo_ip_address *address, char *buffer, size_t size);
/* Zeroes out, then parses: a text with a '.' as IPv4 (4), any other as
 * IPv6 (6); -1 when the text does not parse. */
int oxlo_parse_ip_address(const char *text, oxlo_ip_address *out);

/* 0 for the private, loopback and multicast ranges, 1 for every other
 * IPv4 address (host order). */
int oxlo_ipv4_is_public(uint32_t address);

/* Protocol of the best-matching prefix (first entry); 0 when none. IPv4
 * addresses are in network order; a non-public IPv4 address gives 0 while
 * the module has no custom protocol. Ports are in network order. */
uint16_t oxlo_protocol_by_ipv4(oxlo_module *module, uint32_t address);
uint16_t oxlo_protocol_by_ipv6(oxlo_module *module, const uint8_t address[16]);
uint16_t oxlo_protocol_by_prefix(oxlo_module *module, const oxlo_prefix *prefix);
uint16_t oxlo_protocol_by_ipv4_port(oxlo_module *module, uint32_t address, uint16_t port);
uint16_t oxlo_protocol_by_ipv6_port(oxlo_module *module, const uint8_t address[16],
                                    uint16_t port);
uint16_t oxlo_second_pair_by_ipv4(oxlo_module *module, uint32_t address);
uint16_t oxlo_second_pair_by_ipv6(oxlo_module *module, const uint8_t address[16]);

/* Node of the prefix (inserted when absent); family 2 (IPv4) or 10 (IPv6). */
oxlo_patricia_node *oxlo_patricia_add_address(oxlo_patricia_tree *tree, int family,
                                              const void *address, int bits);

/* Compiled-in address lists. The IPv4 list ends with address 0, the IPv6
 * list with a NULL text. */
typedef struct oxlo_static_ipv4_entry {
    uint32_t address;        /* host order */
    uint8_t prefix_length;
    uint8_t padding;
    uint16_t protocol_id;
} oxlo_static_ipv4_entry;

typedef struct oxlo_static_ipv6_entry {
    const char *address;
    uint16_t prefix_length;
    uint16_t protocol_id;
} oxlo_static_ipv6_entry;

/* Number of entries inserted. */
int oxlo_load_static_ipv4_list(oxlo_patricia_tree *tree, const oxlo_static_ipv4_entry *list);
int oxlo_load_static_ipv6_list(oxlo_patricia_tree *tree, const oxlo_static_ipv6_entry *list);
/* Finalization: the general lists, and each per-protocol list whose bit is
 * set in the "ip_list.load" bitmap. */
void oxlo_builtin_ip_lists_load(oxlo_module *module);

/* An address rule ("1.2.3.4:443", "10.0.0.0/8", "[2001:db8::1]:53",
 * "2001:db8::/32", "host.example"); the text is modified. 0 added; -1 no
 * tree pair, unparsable or unresolvable address, the tree refused the
 * prefix, or out of memory. */
int oxlo_add_address_rule(oxlo_module *module, char *spec, uint16_t protocol_id, int ipv6);
/* Address list of one protocol: entries added; -1 for NULL arguments or a
 * file that cannot be opened. */
int oxlo_load_ip_list_file(oxlo_tree_pair *pair, const char *path, uint16_t protocol_id);
int oxlo_module_load_ip_list_file(oxlo_module *module, const char *path, uint16_t protocol_id);

/* 0 stored; -1 length beyond the tree; -2 prefix already present; -3
 * insertion failed; -4 no pair. The pointer is not owned. */
int oxlo_tree_pair_insert(oxlo_tree_pair *pair, const oxlo_ip_address *address,
                          uint8_t bits, void *user);
/* 0 and the pointer of the best match; -1 none; -2 no pair. */
int oxlo_tree_pair_match(oxlo_tree_pair *pair, const oxlo_ip_address *address, void **user);

/* ---- host names ----------------------------------------------------------- */

/* Flag bits of a host pattern (attached-data flag byte). */
#define OXLO_HOST_PATTERN_END_ANCHORED AUTOMATON_ANCHOR_END /* last char neither '-' nor '.' */
#define OXLO_HOST_PATTERN_HAS_DOT 0x04

oxlo_automaton *oxlo_automaton_new_plain(void);
oxlo_automaton *oxlo_automaton_new_domain(void);
/* 0 added; -2 duplicate; -1 NULL automaton or failure. */
int oxlo_automaton_add_value(oxlo_automaton *automaton, const char *text, uint32_t value);
int oxlo_automaton_add(oxlo_automaton *automaton, const char *text);
int oxlo_automaton_finalize(oxlo_automaton *automaton);
void oxlo_automaton_free(oxlo_automaton *automaton);
/* The matched value; 0 none; -2 NULL arguments or empty text; -1 not
 * finalized. */
int oxlo_automaton_match(oxlo_automaton *automaton, const char *text);
/* 0 and the value in *id; -1 none (id 0) or not finalized; -2 NULL or
 * empty. Without id: 0 match, -1 none. */
int oxlo_automaton_match_id(oxlo_automaton *automaton, const char *text, uint16_t length,
                            uint32_t *id);
/* 0 when a protocol matched, -1 otherwise, or the core's negative code. */
int oxlo_automaton_match_classification(oxlo_automaton *automaton, const char *text,
                                        uint16_t length, uint16_t *protocol_id,
                                        uint16_t *category, uint16_t *breed);

/* Label level of a host pattern: its number of labels, 0 for a malformed
 * one ("..", ".-"). */
uint8_t oxlo_host_pattern_level(const char *pattern);
/* Adds a copy of the pattern; level 0 computes it. 0 added or duplicate;
 * -2 NULL or empty pattern, or failure; -1 out of memory. */
int oxlo_host_pattern_add(oxlo_automaton *automaton, const char *pattern, uint16_t protocol_id,
                          uint32_t category, uint32_t breed, uint8_t level);

typedef struct oxlo_host_match_result {
    uint16_t protocol_id;
    uint32_t category;
    uint32_t breed;
} oxlo_host_match_result;

/* Protocol id matched (0 none) or a negative code; 0 for a NULL module,
 * an empty name or no host automaton. */
int oxlo_host_match(oxlo_module *module, const char *name, size_t length,
                    oxlo_host_match_result *match);

/* Search counters of an automaton, or of the module's automaton chosen by
 * selector 0-4 (host, tls_cert, host risk exceptions, ALPN, risky domains). */
int oxlo_automaton_stats(const oxlo_automaton *automaton, automaton_stats *out);
int oxlo_module_automaton_stats(const oxlo_module *module, int selector, automaton_stats *out);

/* ---- small matching operations ------------------------------------------- */

const char *oxlo_bounded_strstr(const char *haystack, const char *needle, size_t max);
const char *oxlo_bounded_strcasestr(const char *haystack, const char *needle, size_t max);
int oxlo_buffer_has_prefix(const void *buffer, size_t length, const void *prefix,
                           size_t prefix_length);

/* Packed pairs: app << 16 | master. */
int oxlo_protocol_pair_has(uint32_t pair, uint16_t id);
int oxlo_protocol_pair_is_unknown(uint32_t pair);
int oxlo_protocol_pair_match(uint32_t a, uint32_t b, int exact);
uint16_t oxlo_protocol_pair_master_or_app(uint32_t pair);
uint16_t oxlo_protocol_pair_app_or_master(uint32_t pair);
/* "%u.%u" (master, app), or "%u" when one is 0 or both are equal. */
char *oxlo_format_protocol_ids(uint32_t pair, char *buffer, size_t size);

/* Raises the desktop-sharing risk with "Found AnyDesk" for AnyDesk (252). */
void oxlo_anydesk_risk_check(oxlo_module *module, oxlo_flow_state *flow, uint16_t protocol_id);

void oxlo_md5_digest(const uint8_t *data, size_t length, uint8_t digest[16]);

/* ---- data-file loaders ---------------------------------------------------- */

/* Custom protocols file: 0 at end of file; -1 NULL arguments or open
 * failure; -2 out of memory. */
int oxlo_load_custom_protocols_file(oxlo_module *module, const char *path);
int oxlo_read_custom_protocols(oxlo_module *module, FILE *in);
/* One rule line (modified); problems are printed and the rule dropped. */
void custom_rule_line_parse(oxlo_module *module, char *line);

int oxlo_add_ip_risk_mask(oxlo_module *module, const char *address, uint64_t mask);
int oxlo_add_host_risk_mask(oxlo_module *module, const char *host, uint64_t mask);
int oxlo_add_trusted_issuer_dn(oxlo_module *module, const char *text);

/* Address list of one protocol: entries added, or minus the number of bad
 * lines; -1 NULL arguments or open failure. */
int oxlo_load_ip_list(oxlo_module *module, const char *path, uint16_t protocol_id);

/* The address lists behind two flow risks, matched against a flow's client:
 * private relay egress ranges and Tor exits (anonymous subscriber, 45) and
 * crawlers (crawler/bot, 44). */
typedef enum oxlo_risk_list_kind {
    OXLO_RISK_LIST_PRIVATE_RELAY = 0, /* "flow_risk.anonymous_subscriber.list.icloudprivaterelay.load" */
    OXLO_RISK_LIST_TOR = 1,           /* "flow_risk.anonymous_subscriber.list.tor.load" */
    OXLO_RISK_LIST_CRAWLER_BOT = 2,   /* "flow_risk.crawler_bot.list.load" */
} oxlo_risk_list_kind;
/* Adds a list file to the built-in list of that kind. Its lines are those
 * of an address list file: an IPv4 or IPv6 address, optionally "/" and a
 * prefix length; "#" lines and blank lines are skipped. The entries go into
 * the module at finalization, when "flow_risk_lists.load" and the list's
 * own knob are on. Entries read, or minus the number of bad lines; -1 NULL
 * arguments, an unknown kind or a file that cannot be opened; -2 the module
 * is already finalized (the list would never be used). */
int oxlo_load_risk_list(oxlo_module *module, const char *path, int kind);
/* Files "<id>_<name>.list": files loaded, or minus the number that failed. */
int oxlo_load_ip_list_dir(oxlo_module *module, const char *path);
int oxlo_load_risky_domains(oxlo_module *module, const char *path);
int oxlo_load_malicious_ja4(oxlo_module *module, const char *path);
int oxlo_load_malicious_cert_sha1(oxlo_module *module, const char *path);

/* What a custom JA4 or engine fingerprint maps to (item of the map entry,
 * one allocation). */
typedef struct oxlo_fingerprint_rule {
    uint16_t protocol_id;
    uint16_t block_count;
    struct tls_block *blocks; /* points into the same allocation */
} oxlo_fingerprint_rule;

/* Custom rule maps (NULL until a rule of that kind is loaded). */
struct oxlo_string_map *oxlo_custom_url_map(const oxlo_module *module);
struct oxlo_string_map *oxlo_custom_ja4_map(const oxlo_module *module);
struct oxlo_string_map *oxlo_custom_oxlofp_map(const oxlo_module *module);

/* Built-in host risk exceptions (finalization). */
void oxlo_host_risk_exceptions_builtin_add(oxlo_module *module);

/* ---- categories ----------------------------------------------------------- */

int oxlo_add_ip_category(oxlo_module *module, const char *address, uint32_t category,
                         void *tag);
int oxlo_add_host_category(oxlo_module *module, const char *host, uint32_t category,
                           uint32_t breed, void *tag);
int oxlo_add_category_entry(oxlo_module *module, const char *text, uint32_t category,
                            uint32_t breed, void *tag);
/* Category file ("name<TAB>id" lines): entries added; -1 NULL arguments or
 * open failure. */
int oxlo_load_category_file(oxlo_module *module, const char *path, void *tag);
int oxlo_read_category_file(oxlo_module *module, FILE *in, void *tag);
/* Every line one category: entries added, or minus the bad lines. */
int oxlo_load_category_list(oxlo_module *module, const char *path, uint32_t category);
/* Files "<category>_<name>.list". */
int oxlo_load_category_dir(oxlo_module *module, const char *path);
/* Makes the loaded categories active (once); -1 when already enabled. */
int oxlo_enable_loaded_categories(oxlo_module *module);
int oxlo_category_by_host(oxlo_module *module, const char *name, size_t length,
                          uint32_t *category, uint32_t *breed);
int oxlo_category_by_address_or_host(oxlo_module *module, const char *text, size_t length,
                                     uint32_t *category, uint32_t *breed);
const void *oxlo_category_tag_ipv4(oxlo_module *module, uint32_t address);
const void *oxlo_category_tag_ipv6(oxlo_module *module, const uint8_t address[16]);

/* What the address lookup found for a flow. */
typedef struct oxlo_category_result {
    uint32_t category;
    const void *tag;
} oxlo_category_result;

/* Addresses in network order (IPv4) / 16 bytes (IPv6). 1 when an address
 * gave the category, else 0. */
int oxlo_fill_ipv4_category(oxlo_module *module, oxlo_flow_state *flow, uint32_t first,
                            uint32_t second, oxlo_category_result *result);
int oxlo_fill_ipv6_category(oxlo_module *module, oxlo_flow_state *flow, const uint8_t first[16],
                            const uint8_t second[16], oxlo_category_result *result);
void oxlo_fill_protocol_category(oxlo_module *module, oxlo_flow_state *flow,
                                 oxlo_classification *classification);
int oxlo_is_user_custom_category(uint32_t category);
void oxlo_set_user_custom_category_name(oxlo_module *module, uint32_t category,
                                        const char *name);

/* ---- domain sets, public suffixes, geolocation ---------------------------- */

typedef struct oxlo_domain_set oxlo_domain_set;

oxlo_domain_set *oxlo_domain_set_new(void);
void oxlo_domain_set_free(oxlo_domain_set *set);
size_t oxlo_domain_set_size(const oxlo_domain_set *set);
/* module may be NULL (names stored as written). 1 added, 0 otherwise. */
int oxlo_domain_set_add(oxlo_module *module, oxlo_domain_set *set, uint32_t value,
                        const char *domain);
int oxlo_domain_set_load(oxlo_module *module, oxlo_domain_set *set, uint32_t value,
                         const char *path);
/* 1 found (value stored), 0 not found (value 0). */
int oxlo_domain_set_match(oxlo_module *module, oxlo_domain_set *set, uint32_t *value,
                          const char *host_name);

/* Where the public suffix list is looked for: the first readable path. */
const char *oxlo_public_suffix_list_default_path(void);
/* 0; -1 NULL arguments; -2 file cannot be opened; -3 out of memory. */
int oxlo_load_public_suffix_list(oxlo_module *module, const char *path);
/* A pointer into the name; *suffix_id gets the list id (0 none). */
const char *oxlo_host_public_suffix(oxlo_module *module, const char *name, uint16_t *suffix_id);
const char *oxlo_host_registered_domain(oxlo_module *module, const char *name);

typedef void (*oxlo_host_pattern_visit)(const char *pattern, uint64_t value, void *user);
/* The first passes each pattern's protocol id, the second its value word. */
void oxlo_host_patterns_walk(oxlo_module *module, oxlo_host_pattern_visit visit, void *user);
void oxlo_host_patterns_walk_values(oxlo_module *module, oxlo_host_pattern_visit visit,
                                    void *user);

/* Geolocation is not available: open gives -3, lookups -2. */
int oxlo_geoip_open(oxlo_module *module, const char *city_path, const char *asn_path);
void oxlo_geoip_close(oxlo_module *module);
int oxlo_geoip_lookup_asn(oxlo_module *module, const char *address, uint32_t *asn);
int oxlo_geoip_lookup_country(oxlo_module *module, const char *address, char *country,
                              size_t country_size, char *continent, size_t continent_size);
int oxlo_geoip_lookup_city(void);
int oxlo_geoip_lookup_as_name(void);

#ifdef __cplusplus
}
#endif

#endif
