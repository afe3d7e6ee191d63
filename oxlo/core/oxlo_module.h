/* The detection module: its dissector table and call lists, protocol table,
 * matching data, caches and knobs. Engine-internal. */
#ifndef OXLO_MODULE_H
#define OXLO_MODULE_H

#include "oxlo_config.h"
#include "oxlo_dissector.h"
#include "oxlo_flow_state.h"
#include "oxlo_packet.h"

/* Detection settings read from the knobs once, at finalization, so that
 * the per-packet path does not go through the knob table. */
typedef struct oxlo_detection_settings {
    uint32_t packets_limit_per_flow;
    uint8_t use_client_ip_in_guess;
    uint8_t use_client_port_in_guess;
    uint8_t tcp_ack_payload_heuristic;
    uint8_t fully_encrypted_heuristic;
    uint8_t guess_on_giveup;
    uint8_t guess_ip_before_port;
    uint8_t compute_entropy;
    uint8_t fpc;
    uint8_t tcp_fingerprint;
    uint8_t tcp_fingerprint_raw;
    uint8_t tcp_fingerprint_format;
    uint8_t loaded;
} oxlo_detection_settings;

#define OXLO_DSTATE_CLASSES 6 /* slab size classes 64 .. 2048 bytes */

/* The module's share of detection: dissector table, call lists, the packet
 * in process. Embedded in oxlo_module as `det`. */
typedef struct oxlo_detection_part {
    oxlo_dissector_entry *dissectors;  /* OXLO_MAX_DISSECTORS while registering */
    struct oxlo_dissector_kit *kits;   /* beside each entry: state size, release, JSON block */
    uint32_t plugin_slots;             /* slots handed to plug-in dissectors */
    uint32_t dissector_count;
    oxlo_dissector_entry **call_lists; /* one allocation: the four lists back to back */
    uint32_t tcp_payload_count;
    uint32_t tcp_no_payload_count;
    uint32_t udp_count;
    uint32_t other_count;
    uint32_t current_dissector;
    uint8_t packet_claimed;            /* a dissector kept the packet in process for itself */
    /* Every dissector of a call list is called, also those that declared
     * a first datagram too short for them (comparisons of both ways). */
    uint8_t call_every_dissector;
    uint32_t sequence_window;
    oxlo_detection_settings settings;
    oxlo_packet_state packet;
    /* -- TCP stream (oxlo_stream.cpp) -- */
    struct oxlo_stream_account *stream_account; /* bytes held over all flows, shared with them */
    oxlo_stream_stats stream_stats;
    uint8_t *stream_scratch;           /* joins of a segment and the held ones after it */
    uint32_t stream_offset;            /* stream offset of packet.payload's first byte */
    uint32_t stream_seq;               /* its sequence number */
    /* The dissector call in process: what it asked with need / consume. */
    uint8_t stream_call;               /* 0 nothing, 1 consume, 2 need, 3 need refused */
    uint32_t stream_call_consumed;
    uint32_t stream_call_total;
    /* Calls of this packet that only asked for the rest of a PDU, having
     * read nothing to its end (oxlo_stream_after_call counts them). */
    uint32_t stream_wait_calls;
    /* The last byte delivered in order ended a segment that had PSH set
     * (for bytes joined from held segments, the last one's). */
    uint8_t stream_pushed;
    uint8_t stream_waived;             /* this packet is charged to no budget already */
    uint8_t extra_uncharged;           /* the follow-up's call only waited (oxlo_dissector_extra_uncharged) */
    /* -- dissector states (oxlo_dissector_kit.cpp): in its call a
     *    dissector without a state block gets a zeroed scratch block, which
     *    becomes a block of the flow only when the call left something in
     *    it and did not exclude the dissector; blocks come from slabs by
     *    size class -- */
    uint8_t *dstate_scratch;
    uint32_t dstate_scratch_size;
    uint32_t dstate_owner;             /* index + 1 of the dissector in its call, 0 none */
    uint8_t dstate_claimed;            /* it asked for its state */
    struct oxlo_flow_state *dstate_flow;
    struct oxlo_slab *dstate_slabs[OXLO_DSTATE_CLASSES];
    struct oxlo_slab *texts_slab;      /* flows' texts blocks (oxlo_flow.cpp) */
    struct oxlo_slab *tcp_slab;        /* TCP flows' TCP blocks (oxlo_flow.cpp) */
    struct oxlo_slab *track_slab;      /* short tracked-payload blocks (oxlo_detection.cpp) */
    /* -- the packet as the dissectors of one pass see it (oxlo_dissector_kit.cpp):
     *    a datagram's view is the same for every dissector the pass calls,
     *    so it is made once and copied; only while a pass runs (the
     *    dispatcher opens and closes it) and until the payload is swapped -- */
    uint8_t view_pass;                 /* a pass runs: the view may be kept */
    const struct oxlo_flow_state *view_flow; /* the flow `view` was made for, NULL when none */
    oxlo_packet_view view;
    /* -- a message put back together from several segments, copied so that
     *    the line table parsed from it stays good for the rest of the
     *    packet (oxlo_line_parser.cpp) -- */
    uint8_t *message_copy;
    uint32_t message_capacity;
    /* The copy is offered to the protocols carried in the one that made
     * it: when that call names the flow, their pass in the same packet
     * reads it as the packet's payload (oxlo_dissectors.cpp). */
    const uint8_t *offered;
    uint16_t offered_length;
    uint8_t offering; /* that pass runs: no dissector keeps bytes in it */
} oxlo_detection_part;

/* ---- the detection module ----------------------------------------------- */
/* The module struct is owned by the lifecycle (oxlo_main.cpp); other parts
 * of the engine keep their share in the marked sections. */

#include "oxlo_automaton.h"
#include "oxlo_list_reader.h"
#include "oxlo_lru.h"
#include "oxlo_patricia.h"
#include "oxlo_string_map.h"
#include "oxlo_utils.h"

typedef struct oxlo_domain_set oxlo_domain_set;
typedef struct oxlo_address_cache oxlo_address_cache;
typedef struct oxlo_hash_filter oxlo_hash_filter;

#define OXLO_API_VERSION 14373
#define OXLO_MAX_PLUGINS 31
#define OXLO_PLUGIN_MAGIC 14373u
#define OXLO_NUM_USER_CATEGORIES 5
#define OXLO_FIRST_USER_CATEGORY 20
#define OXLO_DEFAULT_SEQ_WINDOW 65536u
#define OXLO_PAYLOAD_TRACK_LIMIT 1024u

/* Finalized bit of oxlo_module.flags. */
#define OXLO_MODULE_FINALIZED 0x1u

#ifdef __cplusplus
extern "C" {
#endif


/* Plug-in entry: the library handle and the descriptor it handed out. */
typedef struct oxlo_plugin_slot {
    void *handle;
    const void *descriptor;
} oxlo_plugin_slot;

/* Owned text list (trusted certificate issuers). */
typedef struct oxlo_text_list {
    char *text;
    struct oxlo_text_list *next;
} oxlo_text_list;

struct oxlo_config_file_frame;

#ifdef __cplusplus
}
#endif



/* -- protocol table section (oxlo_protocols.cpp) -- */

/* One port of a default-port tree (a balanced search tree ordered by port). */
typedef struct oxlo_default_port_node {
  uint16_t protocol_id;
  uint8_t flag;    /* registration's custom flag OR the range's flag word */
  uint16_t port;
  int8_t height;   /* tree balance bookkeeping */
  struct oxlo_default_port_node *left;
  struct oxlo_default_port_node *right;
} oxlo_default_port_node;

/* The protocol table's share of the module. */
typedef struct oxlo_proto_table {
  oxlo_proto_defaults *entries;     /* indexed by protocol id */
  uint16_t capacity;                /* entries allocated */
  uint32_t count;                   /* all protocols */
  uint32_t custom_count;
  uint32_t builtin_count;
  uint16_t *custom_id_map;          /* user id of table id builtin_count + i */
  uint16_t custom_id_map_capacity;
  oxlo_default_port_node *tcp_ports;
  oxlo_default_port_node *udp_ports;
} oxlo_proto_table;

#ifdef __cplusplus
extern "C" {
#endif
/* Creation: registers the built-in protocols (explicit rows first, then
 * the host-list rows) and checks the result; -1 when the table is not
 * coherent (a message is printed) or could not grow. */
int oxlo_proto_table_init(struct oxlo_module *module);
/* Frees the entries, their sub-protocol lists, the custom-id map and the
 * default-port trees. Safe on a partly built table. */
void oxlo_proto_table_free(struct oxlo_module *module);
/* Finalization: adds every range of every enabled protocol to the TCP and
 * UDP default-port trees. */
void oxlo_default_ports_build(struct oxlo_module *module);
/* Finalization: prints the entries that lack a name or category or whose
 * id differs from their index (set-up goes on). */
void oxlo_proto_table_check(struct oxlo_module *module);

void builtin_protocols_register(struct oxlo_module *module);
void oxlo_init_string_based_protocols(struct oxlo_module *module);
void oxlo_default_port_add(const default_port_range *range, uint16_t protocol_id,
                           uint8_t flag, oxlo_default_port_node **tree);
void oxlo_default_port_tree_free(oxlo_default_port_node **tree);
const oxlo_default_port_node *oxlo_default_port_find(const oxlo_default_port_node *tree,
                                                     uint16_t port);
/* 1 when a protocol guessed from the addresses names a specific service. */
int oxlo_protocol_is_service(uint16_t id);

/* The flow's classification with every id mapped to the user's ids (the
 * same result oxlo_flow_result builds). */
oxlo_classification oxlo_result_to_user_ids(struct oxlo_module *module,
                                            const oxlo_flow_state *flow);

/* Built-in host-match lists: host-name patterns of outside services. Each
 * list ends with an entry whose pattern is NULL. */
typedef struct oxlo_host_match_entry {
  const char *pattern;
  const char *protocol_name;
  uint32_t protocol_id;   /* low 16 bits used */
  uint32_t category;
  uint32_t breed;
  uint32_t level;         /* 0: computed from the pattern */
} oxlo_host_match_entry;

/* The lists and their number. */
const oxlo_host_match_entry *const *oxlo_host_match_lists(uint32_t *count);
/* Prints each pattern that begins with '.' or occurs twice in the list;
 * returns how many it printed. */
uint32_t oxlo_host_match_list_check(const oxlo_host_match_entry *list);
/* Creates the protocol entry a host-match entry names (not clear text,
 * application, no ports, class from the category). */
void oxlo_host_match_add_defaults(struct oxlo_module *module, const oxlo_host_match_entry *entry);

/* Letter-statistics bitmaps of English words, built once per process (by
 * oxlo_init_string_based_protocols, or on first use). Bit n is bit n % 32
 * of word n / 32; letters c1..ck give n = c1*26^(k-1) + ... + ck, a = 0. */
enum oxlo_xgram_kind {
  OXLO_XGRAM_COMMON_BIGRAMS = 0,     /* 88 bytes */
  OXLO_XGRAM_IMPOSSIBLE_BIGRAMS = 1, /* 88 bytes */
  OXLO_XGRAM_COMMON_TRIGRAMS = 2     /* 2,200 bytes */
};
const uint32_t *oxlo_xgram_bitmap(int kind);
/* Bit of the text's first two (three) letters, which must be a-z; 0 for a
 * shorter text or another character. */
int oxlo_common_bigram_test(const char *text);
int oxlo_impossible_bigram_test(const char *text);
int oxlo_trigram_test(const char *text);
#ifdef __cplusplus
}
#endif


/* -- hosts section (oxlo_host_match.cpp, oxlo_loaders.cpp,
 *    oxlo_categories.cpp, oxlo_domains.cpp) -- */

/* The module's share of address and host matching and of the loaders. */
typedef struct oxlo_hosts_part {
    oxlo_tree_pair *protocols_by_ip_second; /* read by oxlo_second_pair_by_* */
    oxlo_string_map *custom_urls;           /* id | category << 16 | breed << 32 */
    oxlo_string_map *custom_ja4;            /* JA4C -> protocol id (+ TLS blocks) */
    oxlo_string_map *custom_oxlofp;         /* engine fingerprint -> protocol id */
    oxlo_string_map *public_suffixes;       /* suffix -> id (1, 2, ...) */
    uint32_t public_suffix_count;
} oxlo_hosts_part;

#ifdef __cplusplus
extern "C" {
#endif
/* Loads every "ID_name.list" of a directory (ID from 1 to max_id) with load();
 * the number loaded, or minus the number that failed. */
int oxlo_load_numbered_lists(oxlo_module *m, const char *path, int64_t max_id,
                             int (*load)(oxlo_module *m, const char *file, int64_t id));
/* Frees what the hosts section owns (called by oxlo_module_free before the
 * tree pairs go). */
void oxlo_hosts_release(struct oxlo_module *m);
/* Adds a host pattern with the given attached data; level 0 is computed and
 * the anchoring and dot flags are set from the text. As oxlo_host_pattern_add. */
int oxlo_host_pattern_add_data(oxlo_automaton *a, const char *pattern,
                               const struct automaton_data *data);
/* The most specific prefix of the tree holding one address (IPv4 in network
 * order); null without a tree or a match. */
oxlo_patricia_node *oxlo_tree_best_ipv4(oxlo_patricia_tree *tree, uint32_t address);
oxlo_patricia_node *oxlo_tree_best_ipv6(oxlo_patricia_tree *tree, const uint8_t address[16]);
#ifdef __cplusplus
}
#endif

struct oxlo_module {
    uint64_t current_time_ms;
    uint32_t flags; /* OXLO_MODULE_FINALIZED */
    void *user_data;
    char custom_category_names[OXLO_NUM_USER_CATEGORIES][32];

    /* automata */
    oxlo_automaton *host_automaton;
    oxlo_automaton *tls_cert_automaton;
    oxlo_automaton *host_risk_exception_automaton; /* first "content" */
    oxlo_automaton *alpn_automaton;                /* second "content" */
    oxlo_automaton *risky_domain_automaton;        /* made by its list loader */

    /* string maps */
    oxlo_string_map *risky_domains;
    oxlo_string_map *malicious_ja4;
    oxlo_string_map *malicious_sha1_certs;
    oxlo_string_map *host_risk_exceptions;
    oxlo_text_list *trusted_issuers;

    /* tree pairs */
    oxlo_tree_pair *risk_exception_ip; /* risk exceptions by address */
    oxlo_tree_pair *protocols_by_ip;   /* built-in and custom address lists */
    oxlo_tree_pair *risk_list_ip;      /* made at finalization when enabled */
    /* Entries of the lists loaded by oxlo_load_risk_list, kept until
     * finalization puts those of the lists switched on into risk_list_ip. */
    struct oxlo_risk_list_entry *risk_list_pending;
    uint32_t risk_list_pending_count;
    uint32_t risk_list_pending_capacity;

    /* categories */
    oxlo_patricia_tree *category_v4;
    oxlo_patricia_tree *category_v4_shadow;
    oxlo_patricia_tree *category_v6;
    oxlo_patricia_tree *category_v6_shadow;
    oxlo_domain_set *category_domains;
    oxlo_domain_set *category_domains_shadow;
    uint8_t categories_enabled;

    oxlo_shared_context *shared; /* not owned */
    module_config cfg;

    /* caches, indexed by lru_cache_kind; one taken from the shared context
     * (scope 1) is not owned */
    oxlo_lru_table *lru[OXLO_LRU_KIND_COUNT];
    string_lru_cache *tinc_cache;
    oxlo_address_cache *address_cache;
    oxlo_hash_filter *dns_tracking[2]; /* current, previous */
    oxlo_string_map *os_fingerprints;  /* TCP fingerprint text -> OS id */

    oxlo_plugin_slot plugins[OXLO_MAX_PLUGINS];
    uint32_t plugin_count;

    uint16_t payload_track_limit; /* 0, or 1024 with flow.track_payload */

    /* Knob files being read, innermost first (include-loop guard). */
    const struct oxlo_config_file_frame *config_files;

    /* -- risk section: user replacement of the generated-name test -- */
    int (*dga_callback)(const char *name, int label_count_rule);

    /* -- protocol table section -- */
    oxlo_proto_table protocols;

    /* -- detection section: dissectors, call lists, packet in process -- */
    oxlo_detection_part det;

    /* -- hosts section: address and host matching, loaders, suffixes -- */
    oxlo_hosts_part hosts;
    oxlo_log_callback log_callback; /* NULL: standard output */
    void *log_user;
};

#ifdef __cplusplus
extern "C" {
#endif

/* Knobs: fills the configuration with every knob's default. */
int set_default_config(module_config *cfg, uint32_t builtin_protocols);
void free_config(module_config *cfg);
/* 1 set, 0 clear, -1 no such bit. */
int oxlo_knob_bit_test(const oxlo_id_bitset *b, uint32_t bit);

/* Guarded automaton search used by every host, certificate and content
 * match: -2 NULL automaton or empty text, -1 not finalized (a message is
 * printed), else the search result with the match, protocol and category
 * filled (zero when nothing matched). */
int automaton_match_core(oxlo_automaton *a, const char *text, uint16_t length,
                         automaton_match *match, uint16_t *protocol,
                         uint16_t *category);

/* Set-up steps of other parts that the lifecycle calls. Automata own their
 * pattern texts (released with them), except "tls_cert", whose texts are
 * static. */
oxlo_domain_set *oxlo_domain_set_new(void);
void oxlo_domain_set_free(oxlo_domain_set *set);
int oxlo_enable_loaded_categories(oxlo_module *m);
void oxlo_geoip_close(oxlo_module *m);
/* Adds a host-match entry to the host automaton when its protocol is
 * enabled. */
void oxlo_host_match_load(oxlo_module *m, const oxlo_host_match_entry *entry);
/* Feeds the certificate-organisation table into "tls_cert" (the entries
 * of enabled protocols). */
void oxlo_tls_cert_orgs_load(oxlo_module *m);
void oxlo_builtin_ip_lists_load(oxlo_module *m);
/* Loads the anonymous-subscriber and crawler lists whose knobs are on into
 * the risk-list pair. */
void oxlo_risk_lists_load(oxlo_module *m);
/* Frees the entries loaded but not (yet) put into the risk-list pair. */
void oxlo_risk_lists_release(oxlo_module *m);
/* Risk id stored with the most specific risk-list prefix holding the
 * address (4 or 16 bytes, network order), 0 when none or no pair. */
int oxlo_risk_list_match(oxlo_module *m, const uint8_t *address, int ipv6);
void oxlo_host_risk_exceptions_builtin_add(oxlo_module *m);
void oxlo_os_fingerprints_load_builtin(oxlo_module *m);
/* Zeroes the lookup counters of the risky-domain and host-exception
 * matchers. */
void oxlo_module_reset_lookup_counters(oxlo_module *m);
int oxlo_crypto_initialised(void);
/* Checks the cipher layer's version and initialises it; NULL on failure. */
const char *oxlo_crypto_setup(void);
void oxlo_address_cache_free(oxlo_address_cache *cache);
void oxlo_hash_filter_free(oxlo_hash_filter *filter);
/* The flow fingerprint (oxlo_fingerprints.cpp), run by the end-of-detection
 * checks. */
const char *oxlo_flow_fingerprint_compute(oxlo_module *module, oxlo_flow_state *flow);
/* OS id of a TCP fingerprint text, 0 when unknown. */
int oxlo_os_fingerprint_lookup(oxlo_module *module, const char *text);

/* Label-boundary match callback of the host and content automata. */
int oxlo_host_match_callback(const automaton_match_info *info, automaton_text *text,
                             automaton_match *result);

/* Plug-ins (oxlo_plugins.cpp). */
int oxlo_plugins_init(oxlo_module *m);
void oxlo_plugins_close(oxlo_module *m);

#ifdef __cplusplus
}
#endif


/* ---- payload lines and HTTP (oxlo_line_parser.cpp, protocols/http.cpp) ---- */
#ifdef __cplusplus
extern "C" {
#endif
/* Splits the current payload into lines once per packet (no result). */
void oxlo_parse_payload_lines(oxlo_module *module, oxlo_flow_state *flow);
/* The same over other bytes than the packet's payload (a message put back
 * together from several segments); the table then points into them, so the
 * caller clears OXLO_PACKET_LINES_PARSED once done with it. */
void oxlo_parse_lines_of(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *p, uint16_t n);
/* The same over a copy of the bytes that the module keeps until the next
 * message is copied: the table stays good for the packet's later readers,
 * so it is left set as the packet's table. Should the call name the flow,
 * the protocols carried in the caller's read the copy as the packet's
 * payload in the same packet. Without memory for the copy, the bytes are
 * parsed where they are and the caller forgets the table after it (-1). */
int oxlo_parse_lines_kept(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *p, uint16_t n);
/* Offset of the URL after a known request method, 0 when no request. */
uint32_t oxlo_http_request_start(oxlo_module *module);
/* The JSON and MessagePack checks on bytes other than the packet's payload
 * (an HTTP body): JSON 1 or 0; MessagePack 1 (it is), 0 (wait) or -1. */
int oxlo_json_payload_check(const uint8_t *data, size_t length);
int oxlo_msgpack_payload_check(const uint8_t *data, size_t length, int udp, uint32_t payload_packets);
/* HTTP's user-agent handling for an agent another protocol carries: stored
 * once, and the suspicious-agent, exploit and crawler checks. */
void oxlo_http_user_agent_checks(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *text, size_t length);
/* The HTTP dissector's exchange state: 0 none, 1/2 a request seen in
 * direction 0/1 and no response yet, 3/4 a response came first. */
uint8_t oxlo_http_conversation(const oxlo_flow_state *flow);
/* 1 while HTTP waits for the rest of a request's header block (the flow is
 * not classified on a part of it). */
int oxlo_http_request_waiting(const oxlo_flow_state *flow);
/* 1 while the flow's payload is HTTP messages: HTTP names it or carries
 * the protocol it was named (a body's content), or a request is still
 * arriving; 0 once it switched protocols (an upgrade) or is no HTTP. */
int oxlo_http_messages(const oxlo_flow_state *flow);
#ifdef __cplusplus
}
#endif

/* ---- serializer ---------------------------------------------------------- */

#ifdef __cplusplus
extern "C" {
#endif
struct oxlo_recbuf;
/* Grows a writer's output so that `need` more bytes fit (the TLV reader's
 * item copy uses it); 0, or -1 when it cannot grow. */
int oxlo_recbuf_reserve(struct oxlo_recbuf *s, size_t need);
/* 1 when the flow's client was seen greeting the speed-test service (the
 * ookla cache; ipv6 picks the key form of the client address). */
int oxlo_ookla_cache_contains(oxlo_module *module, const oxlo_flow_state *flow, int ipv6);
/* Remembers the flow's client as a speed-test client (the key the
 * contains check, the TLS port-8080 check and the give-up read). */
void oxlo_ookla_cache_add(oxlo_module *module, const oxlo_flow_state *flow);
/* Marks the flow's stored host name as already looked up, for a dissector
 * that pairs its protocol with the name's service itself: storing the pair
 * then does not classify the name again. */
void oxlo_flow_host_name_looked_up(oxlo_flow_state *flow);

#ifdef __cplusplus
}
#endif

#endif
