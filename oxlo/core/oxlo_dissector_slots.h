/* The slot of every built-in dissector, one per row of the registration list
 * (protocols/oxlo_dissector_list.def) in its order: OXLO_DISSECTOR_http is 0.
 * Slots are fixed at build time (unlike the indexes, which skip the rows not
 * written yet), so a flow's state blocks can be found by slot without the
 * module. Plug-in dissectors take slots from OXLO_DISSECTOR_BUILTIN_SLOTS on.
 *
 * Only the files that name a slot include this header: the list changes
 * whenever a dissector is added, and every includer is rebuilt with it. */
#ifndef OXLO_DISSECTOR_SLOTS_H
#define OXLO_DISSECTOR_SLOTS_H

#include "oxlo_dissector_kit.h"

#ifdef __cplusplus
extern "C" {
#endif

enum oxlo_dissector_slot {
#define OXLO_DISSECTOR(file) OXLO_DISSECTOR_##file,
#define OXLO_DISSECTOR_TODO(file) OXLO_DISSECTOR_##file,
#include "protocols/oxlo_dissector_list.def"
#undef OXLO_DISSECTOR
#undef OXLO_DISSECTOR_TODO
    OXLO_DISSECTOR_BUILTIN_SLOTS
};

#ifdef __cplusplus
}
#endif

#endif
