/* Oxlo public API: the detection module, flow states and classification.
 * Plain C interface; every function is oxlo_ + snake_case and returns 0 on
 * success, -1 on failure, -2 on a bad argument (or 0 for "unknown"). */
#ifndef OXLO_API_H
#define OXLO_API_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "oxlo_memory.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oxlo_module oxlo_module;
typedef struct oxlo_flow_state oxlo_flow_state;

/* ---- module lifecycle and knobs ---------------------------------------- */

typedef struct oxlo_shared_context oxlo_shared_context;
typedef struct oxlo_proto_defaults oxlo_proto_defaults;

/* Creates a module; shared (may be NULL) lends caches to several modules and
 * must outlive them. NULL on failure (nothing partial is returned). */
oxlo_module *oxlo_module_new(oxlo_shared_context *shared);
/* Completes a configured module. 0 on success or when already finalized;
 * -1 for NULL or a failure, in which case everything finalization built is
 * released again and the call may be retried. A module whose finalization
 * failed must not be used to classify. */
int oxlo_finalize_initialization(oxlo_module *m);
/* Frees a module and all it owns; NULL is ignored. */
void oxlo_module_free(oxlo_module *m);
int oxlo_module_is_finalized(const oxlo_module *m);

oxlo_shared_context *shared_context_new(void);
void shared_context_free(oxlo_shared_context *ctx);
/* Process-level clean-up; nothing to do, kept for callers that expect it. */
void oxlo_global_cleanup(void);

void oxlo_module_set_user_data(oxlo_module *m, void *data);
void *oxlo_module_get_user_data(oxlo_module *m);

const char *oxlo_revision(void);
uint32_t oxlo_api_version(void);
const char *oxlo_crypto_version(void);
oxlo_proto_defaults *oxlo_module_protocols(oxlo_module *m);
size_t oxlo_module_size(void);

/* Knobs. proto is a protocol name, NULL or "NULL" for global knobs.
 * 0 done; -1 NULL module/param/value; -2 no such knob; -3 bad value;
 * -4 module already finalized; -5 refused by the knob's check. */
int oxlo_set_config(oxlo_module *m, const char *proto, const char *param, const char *value);

/* The engine's own messages: level 0 error, 1 warning, 2 normal, 3 debug.
 * Debug messages are made only while the knob "log.level" is 3. Without a
 * callback a message goes to standard output, one line each; with one it is
 * handed over (one line, no newline) and the host decides what to write.
 * Set it before the module is used by other threads. */
typedef void (*oxlo_log_callback)(void *user, int level, const char *message);
void oxlo_set_log_callback(oxlo_module *m, oxlo_log_callback callback, void *user);
int oxlo_set_config_u64(oxlo_module *m, const char *proto, const char *param, uint64_t value);
/* The knob's value as text in buf (always NUL-terminated), or NULL. */
char *oxlo_get_config_text(oxlo_module *m, const char *proto, const char *param,
                           char *buf, int size);
int oxlo_dump_config(oxlo_module *m, FILE *out);
int oxlo_protocol_monitoring_enabled(oxlo_module *m, uint16_t protocol_id);
/* Reads knob lines ("param,value" or "proto,param,value"). 0 at end of file;
 * -1 NULL arguments; -2 a line that cannot be split (or is too long); else
 * the first error of oxlo_set_config. */
int oxlo_load_config_file(oxlo_module *m, FILE *in);

/* What a plug-in's exported "PluginEntryFctn" (no arguments) returns. The
 * engine reads only the magic and the init function (called with the module
 * during finalization, where it may register dissectors). */
typedef struct oxlo_plugin_descriptor {
    uint32_t magic; /* 14373 */
    uint32_t version;
    const char *name;
    const char *author;
    const char *description;
    void *reserved;
    void (*init)(oxlo_module *m);
} oxlo_plugin_descriptor;
typedef const oxlo_plugin_descriptor *(*oxlo_plugin_entry_fn)(void);

/* Loads every *.so of dir as a plug-in: number accepted, or minus the
 * number rejected when any was; -1 for NULL arguments or an unreadable
 * directory. Plug-ins are initialised at finalization. */
int oxlo_load_plugins(oxlo_module *m, const char *dir);

/* ---- protocol table ----------------------------------------------------- */

/* Protocol ids are in oxlo_protocol_ids.h, included by the files that name
 * one: it changes with every new protocol. */
#include "oxlo_categories.h"

/* Sub-protocol marker: any protocol found by host or content matching. It is
 * passed as -2 in sub-protocol lists and stored as 0xFFFE. */
#define OXLO_PROTOCOL_MATCHED_BY_CONTENT (-2)
#define OXLO_PROTOCOL_MATCHED_BY_CONTENT_ID 0xFFFEu

#define OXLO_PROTOCOL_NAME_SIZE 32   /* 31 characters and the NUL */
#define OXLO_DEFAULT_PORT_RANGES 5
#define OXLO_PROTOCOL_TABLE_MAX 65535u

/* Flag byte of a protocol entry. Bit 3 is set when the protocol's built-in
 * address list is loaded; bits 4-7 are kept as they are. */
#define OXLO_PROTO_FLAG_CLEAR_TEXT 0x01u
#define OXLO_PROTO_FLAG_APP        0x02u /* clear: network protocol */
#define OXLO_PROTO_FLAG_CUSTOM     0x04u /* defined by the user */
#define OXLO_PROTO_FLAG_IP_LIST    0x08u

/* dissector_index of a protocol that no dissector detects. Index 0 is a real
 * dissector (the first one registered), so "none" needs its own value. */
#define OXLO_NO_DISSECTOR 0xFFFFu

/* One expected port range; a single port p is p-p, an unused range 0-0. A
 * non-zero flag keeps the range out of the "Expected on port" text and is
 * OR-ed into the flag byte of its default-port tree nodes. */
typedef struct default_port_range {
  uint16_t low;
  uint16_t high;
  uint16_t flag;
} default_port_range;

/* One protocol-table entry, indexed by its protocol id. */
typedef struct oxlo_proto_defaults {
  char name[OXLO_PROTOCOL_NAME_SIZE]; /* empty: unused slot */
  uint32_t category;                  /* oxlo_category */
  uint8_t flags;                      /* OXLO_PROTO_FLAG_* */
  uint16_t *subprotocols;             /* owned; may hold 0xFFFE */
  uint32_t subprotocol_count;
  uint16_t id;
  uint16_t dissector_index;           /* OXLO_NO_DISSECTOR when none */
  default_port_range tcp_default_ports[OXLO_DEFAULT_PORT_RANGES];
  default_port_range udp_default_ports[OXLO_DEFAULT_PORT_RANGES];
  uint32_t breed;                     /* oxlo_breed */
  uint32_t service_class;             /* traffic class 0-10, 0 none */
} oxlo_proto_defaults;

/* Filling the table. */
int oxlo_set_proto_defaults(oxlo_module *module, uint8_t clear_text, uint8_t app,
                            uint32_t breed, uint16_t id, const char *name,
                            uint32_t category, uint32_t service_class,
                            const default_port_range *tcp_ports,
                            const default_port_range *udp_ports, uint8_t custom);
default_port_range *oxlo_build_default_ports(default_port_range *ports, uint16_t p1,
                                             uint16_t p2, uint16_t p3, uint16_t p4,
                                             uint16_t p5);
default_port_range *oxlo_build_default_ports_range(
    default_port_range *ports, uint16_t low1, uint16_t high1, uint16_t low2,
    uint16_t high2, uint16_t low3, uint16_t high3, uint16_t low4, uint16_t high4,
    uint16_t low5, uint16_t high5);
/* Protocol ids end with -1; OXLO_PROTOCOL_MATCHED_BY_CONTENT may appear. */
void oxlo_set_proto_subprotocols(oxlo_module *module, int id, ...);

/* Lookups. Invalid ids give 0, "Unknown", entry 0's values or NULL. */
oxlo_proto_defaults *oxlo_proto_defaults_get(oxlo_module *module, uint32_t id);
uint32_t oxlo_protocol_count(const oxlo_module *module); /* 0 until finalized */
uint16_t oxlo_protocol_id_by_name(const oxlo_module *module, const char *name);
uint32_t oxlo_protocol_pair_by_name(const oxlo_module *module, const char *text);
const char *oxlo_protocol_name(const oxlo_module *module, uint16_t id);
/* "%s.%s" (master, app) or "%s"; always NUL-terminated; returns buffer. */
char *oxlo_format_protocol_names(const oxlo_module *module, uint32_t pair,
                                 char *buffer, size_t size);
int oxlo_is_custom_protocol(const oxlo_module *module, uint16_t id);
uint16_t oxlo_user_protocol_id(const oxlo_module *module, uint16_t id);
uint16_t oxlo_internal_protocol_id(const oxlo_module *module, uint16_t user_id);
void oxlo_custom_id_map_set(oxlo_module *module, uint16_t table_id, uint16_t user_id);
int oxlo_protocol_enabled(const oxlo_module *module, int id);
int oxlo_is_dns_protocol(const oxlo_module *module, uint16_t id);

/* Category and breed. */
int oxlo_set_proto_breed(oxlo_module *module, uint16_t id, uint32_t breed);
int oxlo_set_proto_category(oxlo_module *module, uint16_t id, uint32_t category);
uint32_t oxlo_protocol_breed(const oxlo_module *module, uint16_t id);
/* Pairs are packed app << 16 | master. */
uint32_t oxlo_protocol_pair_category(const oxlo_module *module, uint32_t pair);
uint32_t oxlo_protocol_pair_breed(const oxlo_module *module, uint32_t pair);
uint32_t oxlo_protocol_pair_category_default(const oxlo_module *module, uint32_t pair,
                                             uint32_t default_category);
/* Unknown ids are formatted into a per-thread buffer, valid until the
 * calling thread's next call. */
const char *oxlo_category_name(const oxlo_module *module, int category);
int oxlo_category_id_by_name(const oxlo_module *module, const char *name);
const char *oxlo_breed_name(uint32_t breed);
uint32_t oxlo_breed_id_by_name(const char *name);
const char *oxlo_confidence_name(int level);  /* NULL outside 0-9 */
const char *oxlo_fpc_kind_name(int kind);

/* 1 when the protocol guessed from the flow's addresses is a specific
 * service rather than Unknown, Tor or a generic cloud or network provider. */
int oxlo_flow_ip_guess_is_service(const oxlo_flow_state *flow);

/* Default ports. */
uint16_t oxlo_guess_protocol_by_port(const oxlo_module *module, uint8_t ip_protocol,
                                     uint16_t first_port, uint16_t second_port,
                                     uint8_t *flag);
/* "Expected on port 25,587"; size is normally 64. Returns buffer. */
char *oxlo_expected_ports_text(const default_port_range *ports, char *buffer,
                               size_t size);
/* "6881-6889,51413"; returns buffer. */
char *oxlo_port_list_text(const default_port_range *ports, char *buffer, size_t size);

/* The table dump (finalizes the module first) and the option lists
 * (selector 0 protocols, 1 categories, 2 flow risks). */
int oxlo_print_protocol_table(oxlo_module *module, FILE *stream);
void oxlo_print_option_list(int selector, FILE *stream);

/* ---- per-packet detection and classification ---------------------------- */

/* How a flow's stored protocol pair was reached (kept in the flow, not in the
 * returned classification). */
typedef enum {
    OXLO_CONFIDENCE_UNKNOWN = 0,
    OXLO_CONFIDENCE_MATCH_BY_PORT = 1,
    OXLO_CONFIDENCE_TAFL = 2,
    OXLO_CONFIDENCE_DPI_PARTIAL = 3,
    OXLO_CONFIDENCE_DPI_PARTIAL_CACHE = 4,
    OXLO_CONFIDENCE_DPI_CACHE = 5,
    OXLO_CONFIDENCE_DPI = 6,
    OXLO_CONFIDENCE_MATCH_BY_IP = 7,
    OXLO_CONFIDENCE_DPI_AGGRESSIVE = 8,
    OXLO_CONFIDENCE_CUSTOM_RULE = 9
} oxlo_confidence_level;

/* Kind of the first-packet classification. */
typedef enum {
    OXLO_FPC_UNKNOWN = 0,
    OXLO_FPC_IP_ADDRESS = 1,
    OXLO_FPC_DNS = 2,
    OXLO_FPC_DPI = 3,
    OXLO_FPC_CUSTOM_RULE = 4
} oxlo_fpc_kind;

typedef enum {
    OXLO_STATE_INITIAL = 0,
    OXLO_STATE_CLASSIFIED = 1,
    OXLO_STATE_MONITORING = 2,
    OXLO_STATE_FINISHED = 3
} oxlo_detection_state;

#define OXLO_PROTOCOL_STACK_SIZE 8

/* Protocol ids in order of discovery; grows to at most 7 pushed entries. */
typedef struct oxlo_protocol_stack {
    uint16_t ids[OXLO_PROTOCOL_STACK_SIZE];
    uint16_t count;
} oxlo_protocol_stack;

/* Result of classification, returned by value; every id is a user id. */
typedef struct oxlo_classification {
    uint16_t master;
    uint16_t app;
    oxlo_protocol_stack stack;
    uint16_t guessed_by_address;
    uint32_t category;            /* oxlo_category */
    uint32_t breed;               /* oxlo_breed */
    uint16_t fpc_master;
    uint16_t fpc_app;
    oxlo_fpc_kind fpc_kind;
    uint64_t address_category;
    oxlo_detection_state state;
} oxlo_classification;

/* Packet conditions a dissector needs; a dissector is eligible for a packet
 * when every bit of its selection is in the packet's set. */
typedef uint32_t dissector_flow_mask;
#define OXLO_SEL_IPV4              0x001u
#define OXLO_SEL_TCP               0x002u
#define OXLO_SEL_UDP               0x004u
#define OXLO_SEL_TCP_OR_UDP        0x008u
#define OXLO_SEL_PAYLOAD           0x010u
#define OXLO_SEL_NO_RETRANSMISSION 0x020u
#define OXLO_SEL_IPV6              0x040u
#define OXLO_SEL_IPV4_OR_IPV6      0x080u
#define OXLO_SEL_ANY               0x100u

#define OXLO_MAX_DISSECTORS 288

typedef void (*oxlo_dissector_callback)(oxlo_module *module, oxlo_flow_state *flow);

/* One registered dissector. */
typedef struct oxlo_dissector_entry {
    char name[16];
    oxlo_dissector_callback callback;
    dissector_flow_mask selection;
    uint16_t index;
    uint16_t first_protocol;
} oxlo_dissector_entry;

/* Per packet. `input_info` is NULL or two caller bytes kept for the flow:
 * [0] direction hint (0 unknown, 1 first packet went client->server, 2 the
 * other way; written by the engine when 0), [1] 1 when the caller already saw
 * the TCP handshake. `time_ms` is a count of milliseconds. */
oxlo_classification oxlo_classify_packet(oxlo_module *module, oxlo_flow_state *flow,
                                         const uint8_t *packet, uint16_t length,
                                         uint64_t time_ms, uint8_t *input_info);

/* Header walk alone: 0 when an L4 header was found, 1 otherwise.
 * flags bit 0 refuses IPv6, bit 1 refuses IPv4. */
int oxlo_l4_decode(const uint8_t *packet, uint16_t length, const uint8_t **l4,
                   uint16_t *l4_length, uint8_t *l4_protocol, uint32_t flags);

int oxlo_packet_from_client(const oxlo_module *module, const oxlo_flow_state *flow);
int oxlo_packet_from_server(const oxlo_module *module, const oxlo_flow_state *flow);

/* Flow states: allocate oxlo_flow_state_size() zeroed bytes with
 * oxlo_flow_alloc, free with oxlo_flow_state_free (NULL ignored). */
size_t oxlo_flow_state_size(void);
void oxlo_flow_state_free(oxlo_flow_state *flow);
/* A flow state in a block the caller owns (oxlo_flow_state_size() bytes,
 * 8-aligned, such as a slab slot shared with the caller's flow record):
 * oxlo_flow_state_init makes the block a fresh state; oxlo_flow_state_clear
 * releases what the state holds and leaves the block to the caller. */
oxlo_flow_state *oxlo_flow_state_init(void *block);
void oxlo_flow_state_clear(oxlo_flow_state *flow);

/* What the last oxlo_classify_packet call on the flow returned, rebuilt from
 * the flow state: the state holds every part of it and only that call
 * changes them, so a caller need not keep a copy per flow. Empty with a
 * NULL or unfinalized module, as the call's result is. */
oxlo_classification oxlo_flow_classification(oxlo_module *module, const oxlo_flow_state *flow);

/* Best guess for an unclassified flow without changing it. */
oxlo_classification oxlo_classification_fallback(oxlo_module *module, oxlo_flow_state *flow,
                                                 uint8_t ip_protocol);
/* The same in two steps, for a caller that keeps the guess rather than the
 * classification: the guess as a pair of the module's own protocol ids
 * (application << 16 | master), OXLO_GUESS_EMPTY when the fallback is
 * empty; then the classification of a guess, byte for byte what
 * oxlo_classification_fallback returns. The guess reads caches that change
 * with the traffic, so it is taken once. */
#define OXLO_GUESS_EMPTY 0xFFFFFFFFu
uint32_t oxlo_flow_guess(oxlo_module *module, oxlo_flow_state *flow, uint8_t ip_protocol);
oxlo_classification oxlo_guess_classification(const oxlo_module *module, uint32_t guess);
/* The same from explicit addresses (network order, IPv4) and ports (host order). */
oxlo_classification oxlo_guess_undetected_protocol(oxlo_module *module, oxlo_flow_state *flow,
                                                   uint8_t ip_protocol,
                                                   uint32_t address1, uint16_t port1,
                                                   uint32_t address2, uint16_t port2);
/* 1 while the engine still reads packets of the flow for facts a rule can
 * match: a dissector waits for the rest of a PDU it has started (within the
 * stream bounds) or has said that a host or server name is still to come.
 * A caller decides the flow when this is 0, classified or given up. */
int oxlo_flow_detection_pending(const oxlo_module *module, const oxlo_flow_state *flow);
/* What the TCP stream view of the module's flows met: each bound hit (the
 * direction then degrades: what it held is dropped and no dissector waits in
 * it any more) and the segments it did not deliver as they came. */
typedef struct oxlo_stream_stats {
    uint64_t byte_cap_hits;        /* a direction's held and kept bytes would pass its cap */
    uint64_t segment_cap_hits;     /* a direction would hold too many segments */
    uint64_t gap_timeouts;         /* a gap stayed open too long */
    uint64_t module_cap_hits;      /* the module's flows would hold too many bytes */
    uint64_t idle_packet_cap_hits; /* a waiting flow got too many segments that brought nothing */
    uint64_t memory_failures;      /* an allocation failed (the direction degrades too) */
    uint64_t segments_held;        /* segments held out of order */
    uint64_t segments_stale;       /* retransmissions: nothing new in them */
    uint64_t segments_out_of_window;
    uint64_t overlaps_differing;   /* overlapping copies of bytes that differed */
    uint64_t bytes_now;            /* held and kept bytes of the module's flows now */
} oxlo_stream_stats;
/* Fills out; 0, or -2 on a NULL argument. */
int oxlo_stream_statistics(const oxlo_module *module, oxlo_stream_stats *out);
/* Gives up on the flow and returns its classification. */
oxlo_classification oxlo_flow_giveup(oxlo_module *module, oxlo_flow_state *flow);

/* Storing a result (dissectors and callers). */
void oxlo_flow_set_protocol(oxlo_module *module, oxlo_flow_state *flow, uint16_t upper,
                            uint16_t lower, oxlo_confidence_level confidence);
void oxlo_flow_refine_protocol(oxlo_module *module, oxlo_flow_state *flow, uint16_t id,
                               oxlo_confidence_level confidence);
void oxlo_flow_reset_protocol(oxlo_flow_state *flow);

/* Narrow accessors. Ids are internal ids; NULL flows answer 0 / "". */
uint16_t oxlo_flow_master_protocol(const oxlo_flow_state *flow);
uint16_t oxlo_flow_app_protocol(const oxlo_flow_state *flow);
uint32_t oxlo_flow_category(const oxlo_flow_state *flow);
/* Fills {master, app, category}; -2 on NULL arguments. */
int oxlo_flow_protocol_fill(const oxlo_flow_state *flow, uint16_t *master, uint16_t *app,
                            uint32_t *category);
uint64_t oxlo_flow_last_seen_sec(const oxlo_flow_state *flow);
oxlo_confidence_level oxlo_flow_confidence(const oxlo_flow_state *flow);
uint64_t oxlo_flow_risk_bits(const oxlo_flow_state *flow);
const char *oxlo_flow_host_name(const oxlo_flow_state *flow);
/* 1 when the flow's stream could not all be read (a stream bound was hit,
 * urgent data, bytes the receiver took that were never seen): what it was
 * decided on may not be what the server read. */
int oxlo_flow_stream_incomplete(const oxlo_flow_state *flow);
/* 1 when a block the flow needed (its texts or its TCP block, a host name a
 * rule may match) could not be allocated: it ended unclassified, and what
 * it carried was not read. */
int oxlo_flow_out_of_memory(const oxlo_flow_state *flow);
/* The host name when the classification names a protocol that carries one
 * (HTTP, DNS, TLS after its client hello, ...), else NULL. */
const char *oxlo_flow_host_name_by_protocol(const oxlo_flow_state *flow, oxlo_classification classification);
/* HTTP request method id and URL of the flow (0 / "" until seen). */
uint32_t oxlo_flow_http_method(const oxlo_flow_state *flow);
const char *oxlo_flow_http_url(const oxlo_flow_state *flow);
/* The rest of what the HTTP dissector kept (0 / "" until seen): the
 * response code, the request's and the response's Content-Type, the
 * operating system read from a browser's User-Agent, the X-Forwarded-For
 * address, and the flow's User-Agent. */
uint16_t oxlo_flow_http_response_code(const oxlo_flow_state *flow);
const char *oxlo_flow_http_request_content_type(const oxlo_flow_state *flow);
const char *oxlo_flow_http_response_content_type(const oxlo_flow_state *flow);
const char *oxlo_flow_http_detected_os(const oxlo_flow_state *flow);
const char *oxlo_flow_http_forwarded(const oxlo_flow_state *flow);
const char *oxlo_flow_user_agent(const oxlo_flow_state *flow);
/* Stream-content bits (1 audio, 2 video, 4 screen sharing) and the payload
 * entropy the engine measured (0 when not measured). */
uint8_t oxlo_flow_stream_content(const oxlo_flow_state *flow);
float oxlo_flow_entropy(const oxlo_flow_state *flow);
/* Client/server as decided by the engine: addresses are 16 bytes (IPv4 in
 * the first four), ports in network order; -2 on NULL arguments. */
int oxlo_flow_endpoints(const oxlo_flow_state *flow, uint8_t client[16], uint16_t *client_port,
                        uint8_t server[16], uint16_t *server_port);
int oxlo_flow_is_ipv6(const oxlo_flow_state *flow);
uint16_t oxlo_flow_packets_processed(const oxlo_flow_state *flow);

/* Protocol stack helpers. */
void oxlo_protocol_stack_clear(oxlo_protocol_stack *stack);
uint16_t oxlo_protocol_stack_top(const oxlo_protocol_stack *stack);
uint16_t oxlo_protocol_stack_main(const oxlo_protocol_stack *stack);
int oxlo_protocol_stack_has_encrypted(const oxlo_protocol_stack *stack);
int oxlo_protocol_stack_contains(const oxlo_protocol_stack *stack, uint16_t id);
int oxlo_protocol_stack_has_http(const oxlo_protocol_stack *stack);

/* Host names and user agents.
 *
 * Every host name is compared in one canonical form, whatever carried it
 * (HTTP Host or request target, TLS or QUIC server name, DNS query,
 * certificate name) and on both sides of a policy match: surrounding blanks
 * and tabs removed, a port removed (":port" after a name or after a
 * bracketed IPv6 literal; an unbracketed IPv6 literal is kept whole), then a
 * single trailing dot removed and ASCII letters lower-cased. The text ends
 * at a NUL. A form longer than size - 1 keeps its last size - 1 characters,
 * the labels a parent-domain match reads. Writes a NUL-terminated text and
 * returns its length (0 for NULL arguments or a size of 0). */
size_t oxlo_host_name_canonical(const char *text, size_t length, char *out, size_t size);

/* oxlo_flow_store_host_name stores the canonical form of a name as the
 * flow's host name, always; OXLO_HOST_PRINTABLE also replaces control and
 * non-ASCII bytes with '?' (a tab inside the name with a blank). The other
 * flags name parts of the canonical form and are kept for callers. */
#define OXLO_HOST_LOWER          1u
#define OXLO_HOST_PRINTABLE      2u
#define OXLO_HOST_STRIP_SPACES   4u
#define OXLO_HOST_STRIP_PORT     8u
const char *oxlo_flow_store_host_name(oxlo_flow_state *flow, const char *text, size_t length,
                                      uint32_t flags);

/* A request can name its host more than once (two Host headers, a request
 * target with an authority and a Host that differs); a server picks one of
 * them, so a rule must see each. The flow keeps up to OXLO_HOST_CANDIDATES
 * such names in canonical form (duplicates once; when the list is full the
 * newest replaces the last, so the first and the latest are always kept).
 * 1 added, 0 already present or empty, -1 out of memory, -2 NULL flow. */
#define OXLO_HOST_CANDIDATES 4
int oxlo_flow_add_host_candidate(oxlo_flow_state *flow, const char *text, size_t length);
/* The host names to match a flow against: index 0 is the flow's host name
 * (when it has one), the next indexes the other names its requests carried;
 * NULL past the end. */
const char *oxlo_flow_host_candidates(const oxlo_flow_state *flow, unsigned index);
const char *oxlo_flow_store_user_agent(oxlo_flow_state *flow, const char *text, size_t length);
int oxlo_flow_handshake_complete(const oxlo_flow_state *flow);
int oxlo_protocol_is_cloud_provider(uint16_t id);
/* Returns 1 when the name gave a protocol (stored when set_protocol is 1). */
int oxlo_host_name_lookup(oxlo_module *module, oxlo_flow_state *flow, const char *name,
                          size_t length, void *match_result, uint16_t master,
                          int set_protocol);
int oxlo_host_name_classify(oxlo_module *module, oxlo_flow_state *flow, uint16_t master,
                            const char *name, size_t length);
void oxlo_flow_guess_by_address_if_no_host(oxlo_module *module, oxlo_flow_state *flow);

/* Dissector registration: `count` protocol ids follow as int arguments.
 * Returns 0 when registered (or a callback replaced), -1 otherwise. */
int oxlo_dissector_add(const char *name, oxlo_module *module, oxlo_dissector_callback callback,
                       dissector_flow_mask selection, int count, ...);
void oxlo_flow_skip_dissector(oxlo_module *module, oxlo_flow_state *flow, uint16_t index,
                              const char *file, const char *function, int line);
const char *oxlo_transport_name(int transport);
int oxlo_protocol_dissector_transport(oxlo_module *module, uint16_t id);

#ifdef __cplusplus
}
#endif

#endif
