/* Engine-internal definitions shared by the core, the algorithms and the
 * dissectors. Not part of the public API. */
#ifndef OXLO_PRIVATE_H
#define OXLO_PRIVATE_H

#include "oxlo_api.h"

/* ---- per-packet state and dispatch (detection) -------------------------- */
/* Defined ahead of the module so that the module can embed them. */

#include <stdio.h>

static inline uint16_t oxlo_swap16(uint16_t v) { return (uint16_t)((v >> 8) | (v << 8)); }
/* Big-endian reads from packet bytes; callers check the bounds first. */
static inline uint16_t oxlo_be16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
static inline uint32_t oxlo_be32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

/* -- payload line parser section (oxlo_line_parser.cpp) -- */
#define OXLO_MAX_PAYLOAD_LINES 64

/* A stretch of the current payload: absent when len is 0. */
typedef struct oxlo_payload_line {
    const uint8_t *ptr;
    uint16_t len;
} oxlo_payload_line;

/* What the line parser found in the current payload. */
typedef struct oxlo_line_table {
    oxlo_payload_line line[OXLO_MAX_PAYLOAD_LINES];
    uint16_t header_end;     /* offset of the empty line ending the headers */
    uint8_t headers_complete;
    oxlo_payload_line accept, authorization, bootid, content_disposition, content_type,
        cache_control, host, location, man, mx, nt, nts, origin, referer, server,
        securelocation, st, user_agent, upgrade, usn, forwarded, response_status;
} oxlo_line_table;

/* The parsed packet in process; rebuilt for each packet. */
#define OXLO_PACKET_RETRANSMISSION 0x01u
#define OXLO_PACKET_DIRECTION      0x02u
#define OXLO_PACKET_LINES_PARSED   0x04u
#define OXLO_PACKET_HEADERS_PARSED 0x08u

typedef struct oxlo_packet_state {
    const uint8_t *iph;            /* IPv4 header or NULL */
    const uint8_t *iph6;           /* IPv6 header or NULL */
    const uint8_t *tcp;            /* TCP header or NULL */
    const uint8_t *udp;            /* UDP header or NULL */
    const uint8_t *payload;
    uint16_t payload_length;
    uint16_t l4_length;
    uint8_t l4_protocol;
    uint8_t flags;                 /* OXLO_PACKET_* */
    uint8_t direction;             /* direction bit of this packet */
    uint8_t ttl;                   /* IPv4 TTL or IPv6 hop limit */
    uint64_t time_ms;
    uint8_t *input_info;           /* caller's two bytes, or NULL */
    /* Line table of the payload line parser: filled by its owner. */
    uint16_t line_count;
    oxlo_line_table lines;         /* valid while OXLO_PACKET_LINES_PARSED */
    char fingerprint[128];
    char raw_options[128];
} oxlo_packet_state;

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

/* The module's share of detection: dissector table, call lists, the packet
 * in process. Embedded in oxlo_module as `det`. */
typedef struct oxlo_detection_part {
    oxlo_dissector_entry *dissectors;  /* OXLO_MAX_DISSECTORS while registering */
    uint32_t dissector_count;
    oxlo_dissector_entry **call_lists; /* one allocation: the four lists back to back */
    uint32_t tcp_payload_count;
    uint32_t tcp_no_payload_count;
    uint32_t udp_count;
    uint32_t other_count;
    uint32_t current_dissector;
    uint32_t sequence_window;
    oxlo_detection_settings settings;
    oxlo_packet_state packet;
} oxlo_detection_part;

/* ---- the detection module ----------------------------------------------- */
/* The module struct is owned by the lifecycle (oxlo_main.cpp); other parts
 * of the engine keep their share in the marked sections. */

#include "oxlo_automaton.h"
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
#define OXLO_NUM_RISKS 59
#define OXLO_NUM_USER_CATEGORIES 5
#define OXLO_FIRST_USER_CATEGORY 20
#define OXLO_DEFAULT_SEQ_WINDOW 65536u
#define OXLO_PAYLOAD_TRACK_LIMIT 1024u

/* Finalized bit of oxlo_module.flags. */
#define OXLO_MODULE_FINALIZED 0x1u

#ifdef __cplusplus
extern "C" {
#endif

/* One LRU cache's knobs. */
typedef struct oxlo_lru_config {
    int32_t size;
    int32_t ttl;
    int32_t scope;
} oxlo_lru_config;

/* Every knob's value; each knob owns exactly one field. */
typedef struct module_config {
    /* http */
    int32_t http_req_content_type, http_req_referer, http_req_host;
    int32_t http_req_username, http_req_password;
    int32_t http_resp_content_type, http_resp_server;
    int32_t http_process_response, http_subclassification;
    /* tls */
    int32_t tls_certificate_expiration_threshold;
    int32_t tls_application_blocks_tracking;
    int32_t tls_heuristics;
    int32_t tls_heuristics_max_packets;
    int32_t tls_sha1_fingerprint, tls_versions_supported, tls_alpn_negotiated;
    int32_t tls_cipher, tls_cert_server_names, tls_cert_validity;
    int32_t tls_cert_issuer, tls_cert_subject, tls_browser;
    int32_t tls_ja3s_fingerprint, tls_ja4c_fingerprint;
    int32_t tls_ja4r_fingerprint, tls_ja_data;
    int32_t tls_ja_ignore_ephemeral_tls_extn, tls_oxlofp_ignore_sni_tls_extn;
    int32_t tls_subclassification;
    int32_t tls_max_num_blocks_to_analyze;
    int32_t tls_blocks_show_timing;
    int32_t quic_subclassification;
    int32_t smtp_tls_dissection, imap_tls_dissection;
    int32_t pop_tls_dissection, ftp_tls_dissection;
    int32_t sip_attribute_from, sip_attribute_from_imsi;
    int32_t sip_attribute_to, sip_attribute_to_imsi;
    int32_t ssh_hassh_fingerprint, ssh_data;
    int32_t stun_tls_dissection, stun_max_packets_extra_dissection;
    int32_t stun_mapped_address, stun_response_origin, stun_other_address;
    int32_t stun_relayed_address, stun_peer_address;
    int32_t bittorrent_hash;
    int32_t ssdp_metadata;
    int32_t ntp_metadata;
    int32_t dns_subclassification, dns_process_response;
    int32_t ookla_aggressiveness;
    int32_t zoom_max_packets_extra_dissection;
    int32_t rtp_search_for_stun, rtp_max_packets_extra_dissection;
    int32_t openvpn_heuristics, openvpn_heuristics_num_msgs;
    int32_t openvpn_subclassification_by_ip;
    int32_t wireguard_subclassification_by_ip;
    /* per-protocol bitmaps, one bit per built-in protocol id */
    oxlo_id_bitset log_bitmap;
    oxlo_id_bitset ip_list_bitmap;
    oxlo_id_bitset monitoring;
    oxlo_id_bitset enabled_protocols;
    /* global */
    int32_t max_packets_to_process;
    int32_t track_payload;
    int32_t use_client_ip_in_guess, use_client_port_in_guess;
    int32_t tcp_ack_payload_heuristic, fully_encrypted_heuristic;
    int32_t libgcrypt_init;
    int32_t guess_on_giveup;
    int32_t guess_ip_before_port;
    int32_t compute_entropy;
    int32_t address_cache_size;
    int32_t fpc_enabled;
    int32_t hostname_dns_check;
    int32_t tcp_fingerprint_enabled, tcp_fingerprint_raw, tcp_fingerprint_format;
    int32_t oxlo_server_fingerprint, oxlo_fingerprint, oxlo_fingerprint_format;
    int32_t oxlo_fingerprint_ignore_tcp_fp;
    int32_t flow_risk_lists_load;
    oxlo_id_bitset flowrisk_bitmap;      /* risks checked at all */
    oxlo_id_bitset flowrisk_info_bitmap; /* risks whose messages are kept */
    int32_t risk_anonymous_subscriber_list_icloudprivaterelay;
    int32_t risk_anonymous_subscriber_list_tor;
    int32_t risk_crawler_bot_list;
    char filename_config[256];
    int32_t log_level;
    /* caches, indexed by lru_cache_kind */
    oxlo_lru_config lru[OXLO_LRU_KIND_COUNT];
} module_config;

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
/* Creation: registers the 487 built-in protocols (explicit rows first, then
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
/* Reads one text line into buffer without its line end ("\n", "\r\n"); a
 * last line without a newline is read whole. A line that does not fit is
 * consumed to its end and reported as too long (buffer then empty). */
#define OXLO_LINE_OK 0
#define OXLO_LINE_TOO_LONG 1
#define OXLO_LINE_EOF (-1)
int oxlo_read_text_line(FILE *in, char *buffer, size_t size, size_t *length);
/* Walks a list file line by line for the loaders: numbers every line read
 * (over-long and skipped ones too) and skips comments ("#...") and lines
 * shorter than min_length. An over-long line is reported as
 * "[OXLO] <report_path>: line #N is too long, skipped" when report_path is
 * set; without it, it comes back as OXLO_LINE_TOO_LONG for the caller to
 * report in its own words. */
typedef struct oxlo_list_reader {
    FILE *in;
    char *line;
    size_t size;
    const char *report_path;
    size_t min_length;
    unsigned number; /* of the line last read, from 1 */
} oxlo_list_reader;
oxlo_list_reader oxlo_list_reader_start(FILE *in, char *line, size_t size,
                                        const char *report_path, size_t min_length);
/* OXLO_LINE_OK with the next line to process in line, OXLO_LINE_TOO_LONG
 * (only without report_path), or OXLO_LINE_EOF. */
int oxlo_list_reader_next(oxlo_list_reader *r);
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

/* Set-up steps of other parts that the lifecycle calls (stand-ins for the
 * ones not built yet live in oxlo_stubs.cpp). Automata own their pattern
 * texts (released with them), except "tls_cert", whose texts are static. */
oxlo_domain_set *oxlo_domain_set_new(void);
void oxlo_domain_set_free(oxlo_domain_set *set);
int oxlo_enable_loaded_categories(oxlo_module *m);
void oxlo_geoip_close(oxlo_module *m);
/* Adds a host-match entry to the host automaton when its protocol is
 * enabled. */
void oxlo_host_match_load(oxlo_module *m, const oxlo_host_match_entry *entry);
void oxlo_tls_cert_orgs_load(oxlo_module *m);
void oxlo_builtin_ip_lists_load(oxlo_module *m);
/* Loads the anonymous-subscriber and crawler lists whose knobs are on into
 * the risk-list pair. */
void oxlo_risk_lists_load(oxlo_module *m);
void oxlo_host_risk_exceptions_builtin_add(oxlo_module *m);
void oxlo_os_fingerprints_load_builtin(oxlo_module *m);
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


/* ---- the flow state ----------------------------------------------------- */

/* flags_a bits */
#define OXLO_FLOW_GUESS_DONE      0x01u
#define OXLO_FLOW_INITIALISED     0x02u
#define OXLO_FLOW_CLIENT_DIR      0x04u
#define OXLO_FLOW_IPV6            0x10u
#define OXLO_FLOW_FULLY_ENCRYPTED 0x20u
#define OXLO_FLOW_ENCRYPTED_PROTO 0x40u
#define OXLO_FLOW_BY_GIVEUP       0x80u
/* flags_b bits */
#define OXLO_FLOW_EOD_DONE        0x01u
#define OXLO_FLOW_RISKLIST_DONE   0x02u
#define OXLO_FLOW_BT_CACHE_DONE   0x04u
#define OXLO_FLOW_IN_HOST_RECLASS 0x08u

#define OXLO_HOST_NAME_SIZE 80
#define OXLO_FLOW_RISK_MESSAGES 8
#define OXLO_EXCLUDED_WORDS ((OXLO_MAX_DISSECTORS + 63) / 64)

typedef struct oxlo_flow_risk_message {
    uint32_t risk;
    char *text;
} oxlo_flow_risk_message;

/* Extension data hung off a flow by a caller; freed through its callback. */
typedef struct oxlo_flow_extension {
    void (*free_data)(void *data);
} oxlo_flow_extension;

/* Follow-up reader of a classified flow: returns 0 when done. */
typedef int (*oxlo_extra_dissection_callback)(oxlo_module *module, oxlo_flow_state *flow);

/* -- TLS and DNS flow section (protocols/tls.cpp, protocols/dns.cpp,
 *    oxlo_tls_fingerprints.cpp, oxlo_tls_certificates.cpp) -- */
#include "oxlo_utils.h"

/* Bytes of one direction being put back together (TLS records over TCP, or a
 * fragmented DTLS handshake message). */
typedef struct tls_reassembly_buffer {
    uint8_t *buffer;       /* owned */
    uint32_t capacity;
    uint32_t used;
    uint32_t next_seq;     /* next expected sequence number, 0 = none yet */
    uint32_t total;        /* DTLS: length of the message being rebuilt */
} tls_reassembly_buffer;

/* Largest DTLS handshake message rebuilt from fragments. */
#define OXLO_DTLS_REASSEMBLY_MAX 65536u
/* Entries kept per list of a hello for the fingerprints. */
#define OXLO_TLS_LIST_MAX 128

typedef struct oxlo_tls_flow {
    tls_reassembly_buffer reassembly[2];
    tls_reassembly_buffer dtls_reassembly[2];
    uint8_t hello_flags;   /* 0x01 CH seen, 0x02 client direction, 0x04 by name,
                              0x08 SH seen, 0x10 cert SHA-1, 0x20 DTLS-SRTP */
    uint8_t state_flags;   /* 0x01 both CCS/data, 0x02 CCS initiator side,
                              0x04 CCS responder side, 0x08 STARTTLS, 0x20 alert */
    uint8_t done;          /* bit 0: nothing more of the handshake is read */
    uint8_t ccs_seen[2];
    uint8_t browser_flags;
    uint8_t fingerprints_done; /* 0x01 JA4, 0x02 JA4 raw, 0x04 JA3S, 0x08 server fp,
                                  0x10 ja_data client, 0x20 ja_data server */
    uint16_t version;
    uint16_t server_cipher;
    int32_t cipher_safety;
    uint16_t ech_extension;
    char *alpn_offered;
    char *alpn_negotiated;
    char *versions_offered;
    tls_block *blocks;
    uint16_t block_count;  /* up to the knob's maximum (256) */
    uint64_t last_block_ms;
    char ja4_client[37];
    char client_app_fingerprint[37];
    char *ja4_client_raw;
    char ja3_server[33];
    char *server_fingerprint;
    uint8_t *ja_data_client;
    uint32_t ja_data_client_length;
    uint8_t *ja_data_server;
    uint32_t ja_data_server_length;
    uint8_t cert_sha1[20];
    char *cert_issuer_dn;
    char *cert_subject_dn;
    char *cert_server_names;
    uint16_t cert_server_names_length;
    uint32_t cert_not_before;
    uint32_t cert_not_after;
} oxlo_tls_flow;

typedef struct oxlo_dns_answer_address {
    uint8_t address[16];
    uint8_t is_ipv6;
    uint32_t ttl;
} oxlo_dns_answer_address;

#define OXLO_DNS_MAX_ADDRESSES 8

typedef struct oxlo_dns_flow {
    uint8_t query_seen;
    uint8_t question_count;
    uint8_t record_count;   /* answers + authority + additional, saturated */
    uint8_t response_code;
    uint16_t transaction_id;
    uint16_t query_type;
    uint16_t answer_type;
    uint16_t edns_payload_size;
    oxlo_dns_answer_address addresses[OXLO_DNS_MAX_ADDRESSES];
    uint8_t address_count;
    char ptr_name[64];
    char location[4];
} oxlo_dns_flow;

/* The lists of one hello as collected for the fingerprints (GREASE values
 * left out of the client's ciphers, extensions and groups). */
typedef struct tls_hello_lists {
    uint16_t legacy_version;
    uint16_t cipher;                  /* ServerHello: the selected cipher */
    uint16_t ciphers[OXLO_TLS_LIST_MAX];
    uint16_t extensions[OXLO_TLS_LIST_MAX];
    uint16_t groups[OXLO_TLS_LIST_MAX];
    uint16_t point_formats[OXLO_TLS_LIST_MAX];
    uint16_t signature_algorithms[64];
    uint16_t versions[OXLO_TLS_LIST_MAX];
    uint16_t key_share_groups[OXLO_TLS_LIST_MAX];
    uint16_t cipher_count, extension_count, group_count, point_format_count;
    uint16_t signature_algorithm_count, version_count, key_share_count;
    char alpn_first, alpn_last;       /* of the client's first ALPN name, '0' none */
    uint8_t overflow;                 /* client fingerprints suppressed */
} tls_hello_lists;

#ifdef __cplusplus
extern "C" {
#endif
/* Frees what the TLS part of a flow owns (flow release calls it). */
void oxlo_tls_flow_release(oxlo_flow_state *flow);
/* Hello parser (protocols/tls.cpp): the handshake message at the start of
 * the current payload; QUIC passes its decrypted messages with is_quic 1. */
void tls_process_hello(oxlo_module *module, oxlo_flow_state *flow, int is_quic);
/* 1 when the flow is DTLS: UDP packet (not QUIC) or a DTLS-marked flow. */
int tls_flow_is_dtls(const oxlo_module *module, const oxlo_flow_state *flow);
/* Fingerprints (oxlo_tls_fingerprints.cpp). */
void tls_version_chars(char out[2], uint16_t version);
int tls_fingerprint_ignores_extension(const oxlo_module *module, uint16_t id);
void tls_client_fingerprints(oxlo_module *module, oxlo_flow_state *flow,
                             const tls_hello_lists *lists, int is_quic);
void tls_server_fingerprints(oxlo_module *module, oxlo_flow_state *flow,
                             const tls_hello_lists *lists, int is_quic);
void tls_check_client_fingerprint(oxlo_module *module, oxlo_flow_state *flow);
void tls_copy_ja_data(oxlo_module *module, oxlo_flow_state *flow, const tls_hello_lists *lists,
                      int client);
/* Browser heuristics over the raw cipher list and signature algorithm list
 * (big-endian 16-bit ids, `length` bytes each). */
void tls_browser_cipher_step(oxlo_flow_state *flow, const uint8_t *list, size_t length,
                             int overran);
void tls_browser_signature_step(oxlo_flow_state *flow, const uint8_t *list, size_t length);
/* Certificates (oxlo_tls_certificates.cpp). */
int tls_process_certificate_message(oxlo_module *module, oxlo_flow_state *flow);
void tls_process_certificate(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *start,
                             size_t length);
void tls_cert_cache_lookup(oxlo_module *module, oxlo_flow_state *flow, int is_client_hello);
/* 1 when `name` (a certificate name, possibly "*.rest") covers `server`. */
int tls_cert_name_matches(const char *name, const char *server);
/* DNS (protocols/dns.cpp). */
uint32_t dns_server_address_key(const oxlo_flow_state *flow);
#ifdef __cplusplus
}
#endif
/* -- end of the TLS and DNS flow section -- */

struct oxlo_flow_state {
    uint16_t app;
    uint16_t master;
    oxlo_protocol_stack stack;
    oxlo_detection_state state;
    uint16_t guess_by_port;
    uint16_t guess_by_address;
    uint16_t partial_guess;
    uint16_t address_category_protocol;
    uint8_t l4_protocol;
    uint8_t flags_a;
    uint8_t flags_b;
    uint64_t address_category;
    oxlo_confidence_level confidence;
    uint16_t fpc_master;
    uint16_t fpc_app;
    oxlo_fpc_kind fpc_kind;
    uint8_t client_address[16];
    uint8_t server_address[16];
    uint16_t client_port;          /* network order */
    uint16_t server_port;          /* network order */
    uint8_t extra_budget;
    uint8_t extra_packets;
    uint16_t packets_processed;
    oxlo_extra_dissection_callback extra_dissection;
    uint64_t last_seen_ms;
    uint32_t category;
    uint32_t breed;
    uint16_t payload_packets;
    uint16_t payload_packets_dir[2];
    uint16_t packets;
    uint16_t packets_dir[2];
    uint64_t syn_ms;
    uint64_t synack_ms;
    uint64_t first_ack_ms;
    uint32_t next_seq[2];
    uint16_t last_payload_length;
    uint8_t tcp_flags_dir[2];
    uint8_t handshake;             /* 1 SYN, 2 SYN-ACK, 4 ACK */
    uint8_t dissectors_run_total;
    char host_name[OXLO_HOST_NAME_SIZE];
    char last_classified_host[OXLO_HOST_NAME_SIZE];
    char *tcp_fingerprint;
    char *tcp_raw_options;
    uint32_t os_guess;
    char oxlo_fingerprint[33];     /* flow fingerprint, 32 hex digits or empty */
    float entropy;
    uint64_t risk_mask;            /* oxlo_risk_mask */
    oxlo_flow_risk_message risk_messages[OXLO_FLOW_RISK_MESSAGES];
    uint8_t risk_message_count;
    /* -- risk section (oxlo_risks.cpp) -- */
    uint64_t risk_allowed_mask;    /* risks the exceptions leave, all ones until applied */
    uint8_t risk_exception_state;  /* bit 0 addresses applied, bit 1 host applied */
    /* -- payload line parser section -- */
    uint8_t lines_seen;            /* a CR LF was seen in the flow */
    uint8_t body_start_length;
    uint8_t body_start[8];         /* first bytes after the empty line */
    char *user_agent;
    uint8_t media_types;
    /* Each dissector's own fields; dissectors add their members here. Not
     * a union: every dissector runs on the same unclassified flow, and one
     * writing its fields must not overwrite another's owned pointers. */
    struct {
        struct {
            uint32_t method;       /* request method id, 0 none */
            char *url;             /* owned */
            /* -- HTTP dissector section (protocols/http.cpp) -- */
            uint16_t response_code;
            uint8_t http11;
            uint8_t conversation;  /* 0 none, 1/2 request in dir 0/1, 3/4 response first in dir 0/1 */
            uint8_t repeated;      /* new messages in the same direction, stops at 2 */
            uint8_t websocket, form_urlencoded, second_message, request_direction;
            char *request_content_type, *response_content_type, *server, *referer,
                *forwarded, *host, *username, *password, *os, *filename; /* owned */
        } http;
    } proto;
    /* -- TLS and DNS (protocols/tls.cpp, protocols/dns.cpp) -- */
    oxlo_tls_flow tls;
    oxlo_dns_flow dns;
    const oxlo_flow_extension *extension;
    void *extension_data;
    uint64_t excluded[OXLO_EXCLUDED_WORDS];
    uint8_t cache_checked;
    uint8_t *track_payload;
    uint16_t track_payload_length;
};

/* Engine-internal calls of detection (oxlo_detection.cpp, oxlo_dissectors.cpp,
 * oxlo_flow.cpp). */
#ifdef __cplusplus
extern "C" {
#endif
/* Finalization: allocate the table, register the built-in dissectors
 * (oxlo_dissectors_init), then after plug-ins have registered theirs build
 * the call lists (oxlo_dissectors_finish); freed by oxlo_dissectors_free. */
int oxlo_dissectors_init(oxlo_module *module);
int oxlo_dissectors_finish(oxlo_module *module);
void oxlo_dissectors_free(oxlo_module *module);
uint32_t oxlo_dissect_flow(oxlo_module *module, oxlo_flow_state *flow, dissector_flow_mask packet_set,
                           oxlo_dissector_entry **list, uint32_t count);
/* Call list 0 TCP with payload, 1 TCP without payload, 2 UDP, 3 other IP. */
oxlo_dissector_entry **oxlo_dissector_list(oxlo_module *module, uint32_t which, uint32_t *count);
int oxlo_flow_dissector_excluded(const oxlo_flow_state *flow, uint32_t index);
void oxlo_flow_giveup_detection(oxlo_module *module, oxlo_flow_state *flow);
void oxlo_flow_first_packet_classify(oxlo_module *module, oxlo_flow_state *flow);
oxlo_classification oxlo_flow_result(oxlo_module *module, const oxlo_flow_state *flow);
/* Releases what a flow state owns, not the block itself. */
void oxlo_flow_state_release(oxlo_flow_state *flow);
void oxlo_flow_end_of_detection(oxlo_module *module, oxlo_flow_state *flow);
void oxlo_flow_fill_category(oxlo_module *module, oxlo_flow_state *flow);
/* Reads the detection knobs into module->det.settings (finalization). */
void oxlo_detection_settings_load(oxlo_module *module);
#ifdef __cplusplus
}
#endif

/* ---- payload lines and HTTP (oxlo_line_parser.cpp, protocols/http.cpp) ---- */
#ifdef __cplusplus
extern "C" {
#endif
/* Splits the current payload into lines once per packet (no result). */
void oxlo_parse_payload_lines(oxlo_module *module, oxlo_flow_state *flow);
/* Offset of the URL after a known request method, 0 when no request. */
uint32_t oxlo_http_request_start(oxlo_module *module);
/* Frees the owned texts of the flow's HTTP state. */
void oxlo_http_flow_release(oxlo_flow_state *flow);
void oxlo_search_http_tcp(oxlo_module *module, oxlo_flow_state *flow);
void init_http_dissector(oxlo_module *module);
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
#ifdef __cplusplus
}
#endif

#endif
