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

/* ---- per-packet detection and classification ---------------------------- */

#ifdef __cplusplus
}
#endif

#endif
