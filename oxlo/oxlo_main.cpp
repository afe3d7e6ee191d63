/* Module lifecycle: creation, finalization and release of a detection
 * module, the shared context that lends caches to several modules, and the
 * IPv4/IPv6 tree pair. */
#include "oxlo_private.h"

#include <cstdio>
#include <cstring>

namespace {

void write_custom_category_names(oxlo_module *m)
{
    for (int i = 0; i < OXLO_NUM_USER_CATEGORIES; i++)
        snprintf(m->custom_category_names[i], sizeof(m->custom_category_names[i]),
                 "User custom category %u", (unsigned)(i + 1));
}

/* Releases what finalization builds, so that a failed finalization leaves
 * the module as it was after creation and a retry starts clean. */
void release_finalization(oxlo_module *m)
{
    (void)m;
}

} // namespace

extern "C" {

void oxlo_global_cleanup(void) {}

/* ---- module ---- */

oxlo_module *oxlo_module_new(oxlo_shared_context *shared)
{
    auto *m = static_cast<oxlo_module *>(oxlo_heap_calloc(1, sizeof(oxlo_module)));
    if (!m)
        return nullptr;

    m->risk_exception_ip = oxlo_tree_pair_new();
    if (!m->risk_exception_ip) {
        printf("[OXLO] Error allocating tree\n");
        oxlo_module_free(m);
        return nullptr;
    }
    m->protocols_by_ip = oxlo_tree_pair_new();
    if (!m->protocols_by_ip) {
        printf("[OXLO] Error allocating tree\n");
        oxlo_module_free(m);
        return nullptr;
    }
    m->shared = shared;
    m->user_data = nullptr;
    m->det.sequence_window = OXLO_DEFAULT_SEQ_WINDOW;

    write_custom_category_names(m);

    if (set_default_config(&m->cfg, m->protocols.builtin_count) != 0) {
        printf("Error allocating set_default_config\n");
        oxlo_module_free(m);
        return nullptr;
    }
    return m;
}

int oxlo_finalize_initialization(oxlo_module *m)
{
    if (!m)
        return -1;
    if (m->flags & OXLO_MODULE_FINALIZED)
        return 0;

    oxlo_plugins_init(m);

    if (m->cfg.track_payload)
        m->payload_track_limit = OXLO_PAYLOAD_TRACK_LIMIT;
    m->flags |= OXLO_MODULE_FINALIZED;
    return 0;
}

void oxlo_module_free(oxlo_module *m)
{
    if (!m)
        return;
    oxlo_plugins_close(m);
    free_config(&m->cfg);
    oxlo_tree_pair_free(m->risk_exception_ip);
    oxlo_tree_pair_free(m->protocols_by_ip);
    oxlo_tree_pair_free(m->risk_list_ip);
    release_finalization(m);
    oxlo_heap_free(m);
}

int oxlo_module_is_finalized(const oxlo_module *m)
{
    return m && (m->flags & OXLO_MODULE_FINALIZED) ? 1 : 0;
}

void oxlo_module_set_user_data(oxlo_module *m, void *data)
{
    if (!m)
        return;
    if (m->user_data)
        printf("User data is already set. Overwriting.\n");
    m->user_data = data;
}

void *oxlo_module_get_user_data(oxlo_module *m)
{
    return m ? m->user_data : nullptr;
}

const char *oxlo_revision(void)
{
    return "vesk-oxlo-" __DATE__;
}

uint32_t oxlo_api_version(void)
{
    return OXLO_API_VERSION;
}

const char *oxlo_crypto_version(void)
{
    return "none";
}

oxlo_proto_defaults *oxlo_module_protocols(oxlo_module *m)
{
    return m ? m->protocols.entries : nullptr;
}

size_t oxlo_module_size(void)
{
    return sizeof(oxlo_module);
}

} // extern "C"
