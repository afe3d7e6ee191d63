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

#ifdef __cplusplus
}
#endif

#endif
