/* Ids of the built-in protocol table. Protocol ids are table ids inside the
 * engine: one per row of the table (data/oxlo_protocols.def) from 0 with no
 * gaps; custom protocols follow from OXLO_PROTOCOL_BUILTIN_COUNT on.
 *
 * The names come from oxlo_protocol_id_list.h, which the build writes from
 * the table's id and ident columns and rewrites only when those change: a
 * new protocol rebuilds the files that include this header, an edit of a
 * row's name, category or ports does not. */
#ifndef OXLO_PROTOCOL_IDS_H
#define OXLO_PROTOCOL_IDS_H

#ifdef __cplusplus
extern "C" {
#endif

enum oxlo_protocol_id {
#define OXLO_PROTOCOL_ID(id, ident) OXLO_PROTOCOL_##ident = id,
#include "oxlo_protocol_id_list.h"
#undef OXLO_PROTOCOL_ID
};

/* Number of built-in protocols (the rows of the table); the first custom
 * protocol gets this id. */
enum {
    OXLO_PROTOCOL_BUILTIN_COUNT = 0
#define OXLO_PROTOCOL_ID(id, ident) +1
#include "oxlo_protocol_id_list.h"
#undef OXLO_PROTOCOL_ID
};

#ifdef __cplusplus
}
#endif

#endif
