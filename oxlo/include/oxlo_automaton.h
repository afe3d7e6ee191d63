/* Oxlo Aho-Corasick automaton: the library's multi-pattern string matcher.
 * Patterns (host names, certificate organisations, ALPN names) are added with
 * 24 bytes of attached data, the automaton is finalized once, then searched. */
#ifndef OXLO_AUTOMATON_H
#define OXLO_AUTOMATON_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AUTOMATON_MAX_PATTERN_LEN 256
#define AUTOMATON_STACK_SIZE 260
#define AUTOMATON_NAME_SIZE 32

/* automaton_add_pattern results */
#define AUTOMATON_ADDED 0
#define AUTOMATON_DUPLICATE 1
#define AUTOMATON_TOO_LONG 2
#define AUTOMATON_EMPTY 3
#define AUTOMATON_NOT_OPEN 4
#define AUTOMATON_ERROR 5

/* automaton_set_features bits */
#define AUTOMATON_FEATURE_CASE_INSENSITIVE 2
#define AUTOMATON_FEATURE_ROOT_LAYOUT 4

/* automaton_text options */
#define AUTOMATON_OPT_DEBUG 1
#define AUTOMATON_OPT_ALT_CHARS 2

/* Flag byte of the attached data (byte 22). */
#define AUTOMATON_ANCHOR_START 0x01
#define AUTOMATON_ANCHOR_END 0x02

/* The 24 bytes attached to a pattern and returned untouched. The first word
 * is the caller's id (protocol id in its low 16 bits for host names); a
 * duplicate add writes the existing one back. */
typedef struct automaton_data {
    uint32_t id;
    uint16_t category;
    uint16_t breed;
    uint64_t value;      /* caller word: a risk mask, a number, ... */
    uint16_t level;      /* domain-label level */
    uint8_t reserved[4];
    uint8_t flags;       /* AUTOMATON_ANCHOR_* and caller bits */
    uint8_t reserved2;
} automaton_data;

/* What a caller adds. The text is kept, not copied: its ownership passes to
 * the automaton when the add returns 0; on any other result the caller keeps it. */
typedef struct automaton_pattern {
    char *text;
    uint16_t length;
    automaton_data data;
} automaton_pattern;

/* One entry of a node's pattern list. */
typedef struct automaton_pattern_entry {
    char *text;
    uint16_t length;
    uint16_t inherited; /* copied from a node on the failure chain, text not ours */
    automaton_data data;
} automaton_pattern_entry;

typedef struct automaton_pattern_list {
    uint16_t count;
    uint16_t capacity;
    automaton_pattern_entry entries[];
} automaton_pattern_list;

struct automaton_node;

/* Edge i is (bytes[i], child[i]); in a range table child i is the child for
 * byte base + i (NULL where there is none). */
typedef struct automaton_edge_block {
    uint16_t count;
    uint16_t capacity;
    uint64_t present[4];            /* set of edge bytes, filled at finalization */
    struct automaton_node *child[]; /* capacity pointers, then capacity bytes */
} automaton_edge_block;

#define AUTOMATON_NODE_SINGLE 0x01
#define AUTOMATON_NODE_RANGE 0x02
#define AUTOMATON_NODE_ROOT 0x04
#define AUTOMATON_NODE_FINAL 0x08
#define AUTOMATON_NODE_EDGES 0x10
#define AUTOMATON_NODE_NUMBERED 0x20

typedef struct automaton_node {
    uint32_t number;
    uint8_t edge_byte; /* the single edge's byte, or a range table's base */
    uint8_t flags;
    uint16_t depth;
    automaton_pattern_list *patterns;
    union {
        struct automaton_node *next;  /* single inline edge */
        automaton_edge_block *block;
    } edge;
    struct automaton_node *failure;   /* NULL for the root */
    uint8_t *edge_bytes;              /* byte area of the block, set at finalization */
} automaton_node;

/* Result without a callback: the attached data of the chosen entry. */
typedef struct automaton_match {
    automaton_data data;
} automaton_match;

/* A search. The caller sets text, length and options; the search fills the rest. */
enum { AUTOMATON_SLOT_EXACT, AUTOMATON_SLOT_START, AUTOMATON_SLOT_END, AUTOMATON_SLOT_ANY };

typedef struct automaton_match_info {
    const automaton_pattern_entry *entries; /* entries of the node just reached */
    uint32_t mask;                           /* bit k: entry k accepted there */
    uint32_t position;                       /* bytes consumed at the match end */
    uint16_t count;                          /* entries at the node */
} automaton_match_info;

typedef struct automaton_text {
    const automaton_pattern_entry *slot[4]; /* exact, start-, end-anchored, anywhere */
    const automaton_pattern_entry *chosen;  /* kept for the match callback */
    automaton_match_info info;
    uint16_t match_count;
    const char *text;
    uint16_t length;
    uint16_t options;                       /* AUTOMATON_OPT_* */
} automaton_text;

struct oxlo_automaton;
/* Nonzero stops the search at once. */
typedef int (*automaton_match_cb)(const automaton_match_info *info, automaton_text *text,
                                  automaton_match *result);
typedef int (*automaton_node_cb)(struct oxlo_automaton *a, automaton_node *node, uint16_t edge_index,
                                 void *user);
typedef void (*automaton_edge_cb)(struct oxlo_automaton *a, automaton_node *node, automaton_node *child,
                                  uint16_t edge_index, void *user);

typedef struct automaton_stack_entry {
    automaton_node *node;
    uint16_t next_edge;
    uint8_t path_byte;
} automaton_stack_entry;

typedef struct automaton_stats {
    uint64_t n_search;
    uint64_t n_found;
} automaton_stats;

typedef struct oxlo_automaton {
    automaton_node *root;
    automaton_match_cb match_cb;
    uint32_t node_count;
    uint64_t pattern_count;
    uint64_t max_length;
    uint8_t ready;      /* 0 open, 1 ready */
    uint8_t features;   /* AUTOMATON_FEATURE_* */
    uint8_t debug;
    char name[AUTOMATON_NAME_SIZE];
    automaton_stack_entry stack[AUTOMATON_STACK_SIZE];
    uint32_t id_counter;
    uint32_t range_threshold;
    uint32_t n_single;
    uint32_t n_range;
    uint32_t n_list;
    uint64_t n_search;
    uint64_t n_found;
} oxlo_automaton;

oxlo_automaton *automaton_new(automaton_match_cb cb);
int automaton_set_features(oxlo_automaton *a, int bits);
int automaton_set_name(oxlo_automaton *a, const char *name, int debug);
int automaton_set_global_debug(int on);
int automaton_add_pattern(oxlo_automaton *a, automaton_pattern *pattern);
int automaton_finalize(oxlo_automaton *a);
/* 1 matched, 0 no match, -1 NULL argument or automaton not ready. */
int automaton_search(oxlo_automaton *a, automaton_text *text, automaton_match *match);
/* mode 0: free everything but the texts; 1: also the pattern texts; other:
 * free nodes and texts but keep the empty automaton open for new patterns. */
void automaton_release(oxlo_automaton *a, int mode);
int automaton_walk(oxlo_automaton *a, automaton_node_cb node_cb, automaton_edge_cb edge_cb, void *user);
void automaton_dump(oxlo_automaton *a, FILE *file);
void automaton_get_stats(const oxlo_automaton *a, automaton_stats *stats);

#ifdef __cplusplus
}
#endif

#endif
