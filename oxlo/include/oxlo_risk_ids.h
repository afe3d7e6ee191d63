/* Ids of the flow risks, one per row of data/oxlo_risks.def from 0 with no
 * gaps. The names come from oxlo_risk_id_list.h, which the build writes from
 * the list's id and ident columns and rewrites only when those change: a new
 * risk rebuilds the files that include this header, an edit of a risk's
 * text or score does not. */
#ifndef OXLO_RISK_IDS_H
#define OXLO_RISK_IDS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum oxlo_flow_risk {
#define OXLO_RISK_ID(id, ident) OXLO_##ident = id,
#include "oxlo_risk_id_list.h"
#undef OXLO_RISK_ID
    OXLO_MAX_RISK /* end of the list; also the answer for an unknown identifier */
} oxlo_flow_risk;

/* The static risk table: one row per risk and the end-of-list row. */
#define OXLO_RISK_TABLE_SIZE (OXLO_MAX_RISK + 1)

#ifdef __cplusplus
}
#endif

#endif
