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

/* ---- protocol table ----------------------------------------------------- */

#include "oxlo_protocol_ids.h"

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

#ifdef __cplusplus
}
#endif

#endif
