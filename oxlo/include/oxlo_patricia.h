/* Oxlo patricia tree: a binary radix tree over bit strings of up to 128 bits,
 * used for every longest-prefix match of addresses (IPv4, IPv6, MAC). */
#ifndef OXLO_PATRICIA_H
#define OXLO_PATRICIA_H

#include <stddef.h>
#include <stdint.h>
#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oxlo_module oxlo_module;

#define PATRICIA_MAXBITS 128

/* Address families a prefix can carry. */
#define OXLO_PREFIX_FAMILY_IPV4 2
#define OXLO_PREFIX_FAMILY_IPV6 10
#define OXLO_PREFIX_FAMILY_MAC 99

/* The key. ref_count 0: owned by the caller (typically on the stack);
 * otherwise a heap copy shared by that many nodes. Address bytes are in
 * network order; bit b is mask 0x80 >> (b % 8) of byte b / 8. */
typedef struct oxlo_prefix {
    uint16_t family;
    uint16_t bitlen;
    int32_t ref_count;
    union {
        struct in_addr sin;
        struct in6_addr sin6;
        uint8_t mac[6];
        uint8_t bytes[16];
    } add;
} oxlo_prefix;

/* The caller's value word of a node: protocol id, category, risk mask or
 * pointer, as each user defines. */
typedef union oxlo_patricia_value {
    struct {
        uint16_t user_value;
        uint16_t additional_user_value;
    } u16pair[2];
    uint16_t u16[4];
    uint32_t u32[2];
    uint64_t u64;
} oxlo_patricia_value;

typedef struct oxlo_patricia_node {
    uint16_t bit;                      /* bit tested here; == prefix->bitlen when a prefix is set */
    oxlo_prefix *prefix;               /* NULL for a glue node */
    struct oxlo_patricia_node *l, *r;  /* r when the tested bit is 1 */
    struct oxlo_patricia_node *parent; /* NULL at the head */
    void *data;                        /* caller data, freed through the clear/free callback */
    void *custom_user_data;            /* caller tag (category loader) */
    oxlo_patricia_value value;
} oxlo_patricia_node;

typedef struct oxlo_patricia_tree {
    oxlo_patricia_node *head;
    uint16_t maxbits;        /* 32 for IPv4, 128 for IPv6, at most PATRICIA_MAXBITS */
    int32_t num_active_node; /* nodes including glue nodes */
    uint64_t n_search;
    uint64_t n_found;
} oxlo_patricia_tree;

typedef struct oxlo_patricia_tree_stats {
    uint64_t n_search;
    uint64_t n_found;
} oxlo_patricia_tree_stats;

typedef void (*oxlo_patricia_free_fn)(void *data);
typedef void (*oxlo_patricia_process_fn)(oxlo_prefix *prefix, void *data);
typedef void (*oxlo_patricia_walk_fn)(oxlo_patricia_node *node, void *data, void *user);

/* An IPv4 tree of 32 bits and an IPv6 tree of 128 bits used together. */
typedef struct oxlo_tree_pair {
    oxlo_patricia_tree *v4;
    oxlo_patricia_tree *v6;
} oxlo_tree_pair;

/* NULL when out of memory or maxbits is above PATRICIA_MAXBITS. */
oxlo_patricia_tree *oxlo_patricia_new(uint16_t maxbits);
/* Frees every node; fn (may be NULL) gets each prefixed node's non-NULL data. */
void oxlo_Clear_Patricia(oxlo_patricia_tree *tree, oxlo_patricia_free_fn fn);
void oxlo_patricia_free(oxlo_patricia_tree *tree, oxlo_patricia_free_fn fn);

/* The node of exactly this prefix, inserted when absent. NULL when out of
 * memory, for a NULL tree or prefix, or for a prefix that does not fit its
 * family or the tree. A caller-owned prefix (ref_count 0) is copied; a heap
 * prefix of the library is shared. */
oxlo_patricia_node *oxlo_patricia_lookup(oxlo_patricia_tree *tree, oxlo_prefix *prefix);
void oxlo_patricia_remove(oxlo_patricia_tree *tree, oxlo_patricia_node *node);
oxlo_patricia_node *oxlo_patricia_search_exact(oxlo_patricia_tree *tree, const oxlo_prefix *prefix);
/* Longest stored prefix covering the key; with inclusive set, a stored prefix
 * equal to the key counts. */
oxlo_patricia_node *oxlo_patricia_search_best2(oxlo_patricia_tree *tree, const oxlo_prefix *prefix,
                                               int inclusive);
oxlo_patricia_node *oxlo_patricia_search_best_inclusive(oxlo_patricia_tree *tree,
                                                        const oxlo_prefix *prefix);

/* Pre-order over nodes with a prefix. */
void oxlo_patricia_process(oxlo_patricia_tree *tree, oxlo_patricia_process_fn fn);
/* In-order walks; return the number of prefixed nodes visited. */
size_t oxlo_patricia_walk_inorder(oxlo_patricia_node *node, oxlo_patricia_walk_fn fn, void *user);
size_t oxlo_patricia_walk_tree(oxlo_patricia_tree *tree, oxlo_patricia_walk_fn fn, void *user);
/* Same maxbits, same prefixes and value words; data pointers are not copied. */
oxlo_patricia_tree *oxlo_patricia_clone(const oxlo_patricia_tree *tree);

/* Fill a caller-owned prefix (zeroed first, ref_count 0). 0, or -1 when
 * bitlen is negative, above maxbits or above the family's own length
 * (32, 128, 48); never copies more than the family's address bytes. */
int oxlo_prefix_set_ipv4(oxlo_prefix *prefix, const struct in_addr *addr, int bitlen, int maxbits);
int oxlo_prefix_set_ipv6(oxlo_prefix *prefix, const struct in6_addr *addr, int bitlen, int maxbits);
int oxlo_prefix_set_mac(oxlo_prefix *prefix, const uint8_t *mac, int bitlen, int maxbits);
/* Releases one reference to a heap prefix, freeing it at 0. */
void oxlo_Deref_Prefix(oxlo_prefix *prefix);

uint16_t oxlo_patricia_maxbits(const oxlo_patricia_tree *tree);
void oxlo_patricia_stats(const oxlo_patricia_tree *tree, oxlo_patricia_tree_stats *out);
/* Counters of one tree of the module's three pairs (risk exceptions,
 * protocols by address, risk lists): selector / 2 is the pair, even the IPv4
 * tree, odd the IPv6 one. -1 (counters zeroed) for a bad selector, a NULL
 * argument or a missing pair. */
int oxlo_module_tree_stats(oxlo_module *module, int selector, oxlo_patricia_tree_stats *out);

const oxlo_prefix *oxlo_patricia_node_prefix(const oxlo_patricia_node *node);
uint16_t oxlo_patricia_node_bit(const oxlo_patricia_node *node);
void *oxlo_patricia_node_data(const oxlo_patricia_node *node);
void oxlo_patricia_node_set_data(oxlo_patricia_node *node, void *data);
uint64_t oxlo_patricia_node_value(const oxlo_patricia_node *node);
void oxlo_patricia_node_set_value(oxlo_patricia_node *node, uint64_t value);

/* Pair helpers: NULL when either tree cannot be made; free releases each
 * node's data with oxlo_heap_free and leaves value words alone. */
oxlo_tree_pair *oxlo_tree_pair_new(void);
void oxlo_tree_pair_free(oxlo_tree_pair *pair);

#ifdef __cplusplus
}
#endif

#endif
