/* Oxlo public API: the detection module, flow states and classification.
 * Plain C interface; every function is oxlo_ + snake_case and returns 0 on
 * success, -1 on failure, -2 on a bad argument (or 0 for "unknown"). */
#ifndef OXLO_API_H
#define OXLO_API_H

#include <stddef.h>
#include <stdint.h>

#include "oxlo_memory.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oxlo_module oxlo_module;
typedef struct oxlo_flow_state oxlo_flow_state;

/* ---- module lifecycle and knobs ---------------------------------------- */

/* ---- protocol table ----------------------------------------------------- */

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

/* Best guess for an unclassified flow without changing it. */
oxlo_classification oxlo_classification_fallback(oxlo_module *module, oxlo_flow_state *flow,
                                                 uint8_t ip_protocol);
/* The same from explicit addresses (network order, IPv4) and ports (host order). */
oxlo_classification oxlo_guess_undetected_protocol(oxlo_module *module, oxlo_flow_state *flow,
                                                   uint8_t ip_protocol,
                                                   uint32_t address1, uint16_t port1,
                                                   uint32_t address2, uint16_t port2);
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
/* HTTP request method id and URL of the flow (0 / "" until seen). */
uint32_t oxlo_flow_http_method(const oxlo_flow_state *flow);
const char *oxlo_flow_http_url(const oxlo_flow_state *flow);
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

/* Host names and user agents. Flags of oxlo_flow_store_host_name: */
#define OXLO_HOST_LOWER          1u
#define OXLO_HOST_PRINTABLE      2u
#define OXLO_HOST_STRIP_SPACES   4u
#define OXLO_HOST_STRIP_PORT     8u
const char *oxlo_flow_store_host_name(oxlo_flow_state *flow, const char *text, size_t length,
                                      uint32_t flags);
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
