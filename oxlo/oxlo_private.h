/* Engine-internal definitions shared by the core, the algorithms and the
 * dissectors. Not part of the public API. */
#ifndef OXLO_PRIVATE_H
#define OXLO_PRIVATE_H

#include "oxlo_api.h"

/* ---- the detection module ----------------------------------------------- */

/* ---- the flow state ----------------------------------------------------- */

#endif
