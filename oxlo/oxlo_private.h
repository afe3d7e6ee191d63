/* Engine-internal definitions shared by the core, the algorithms and the
 * dissectors. Not part of the public API. */
#ifndef OXLO_PRIVATE_H
#define OXLO_PRIVATE_H

#include "oxlo_api.h"

/* ---- the detection module ----------------------------------------------- */

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

struct oxlo_module {
  /* -- protocol table section -- */
  oxlo_proto_table protocols;
};

/* ---- the flow state ----------------------------------------------------- */

#endif
