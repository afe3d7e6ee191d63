/* Plug-in loader: shared objects in a directory extend a module with their
 * own dissectors. Each exports "PluginEntryFctn", which hands back a
 * descriptor starting with the engine's magic; its init function runs when
 * the module is finalized. */
#include "oxlo_private.h"
#include "oxlo_log.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>

static_assert(offsetof(oxlo_plugin_descriptor, init) == 40, "plug-in init must sit at byte 40");

namespace {

bool is_candidate(const char *name)
{
    size_t n = strlen(name);
    return name[0] != '.' && n >= 3 && strcmp(name + n - 3, ".so") == 0;
}

/* Opens and checks one candidate; on success stores it in the module. A
 * rejected library is closed again so that its code does not stay mapped. */
bool load_one(oxlo_module *m, const char *path)
{
    if (m->plugin_count >= OXLO_MAX_PLUGINS) {
        oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Plugin %s rejected: too many plugins (max %d)\n", path, OXLO_MAX_PLUGINS);
        return false;
    }
    void *handle = dlopen(path, RTLD_NOW);
    if (!handle) {
        oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Plugin %s rejected: %s\n", path, dlerror());
        return false;
    }
    auto entry = reinterpret_cast<oxlo_plugin_entry_fn>(dlsym(handle, "PluginEntryFctn"));
    const oxlo_plugin_descriptor *d = entry ? entry() : nullptr;
    const char *why = !entry                          ? "no PluginEntryFctn"
                      : !d                            ? "no descriptor"
                      : d->magic != OXLO_PLUGIN_MAGIC ? "bad magic"
                      : !d->init                      ? "no init function"
                                                      : nullptr;
    if (why) {
        oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Plugin %s rejected: %s\n", path, why);
        dlclose(handle);
        return false;
    }
    m->plugins[m->plugin_count].handle = handle;
    m->plugins[m->plugin_count].descriptor = d;
    m->plugin_count++;
    return true;
}

} // namespace

extern "C" {

int oxlo_load_plugins(oxlo_module *m, const char *dir)
{
    if (!m || !dir)
        return -1;
    struct dirent **entries = nullptr;
    /* Sorted, so that the load order (and so the dissector order) does not
     * depend on the file system. */
    int n = scandir(dir, &entries, nullptr, alphasort);
    if (n < 0)
        return -1;
    int accepted = 0, rejected = 0;
    for (int i = 0; i < n; i++) {
        const char *name = entries[i]->d_name;
        if (is_candidate(name)) {
            char path[1024];
            int len = snprintf(path, sizeof(path), "%s/%s", dir, name);
            if (len < 0 || (size_t)len >= sizeof(path)) {
                oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Plugin path too long: %s/%s\n", dir, name);
                rejected++;
            } else if (load_one(m, path)) {
                accepted++;
            } else {
                rejected++;
            }
        }
        free(entries[i]);
    }
    free(entries);
    return rejected ? -rejected : accepted;
}

int oxlo_plugins_init(oxlo_module *m)
{
    if (!m)
        return 0;
    for (uint32_t i = 0; i < m->plugin_count; i++) {
        auto d = static_cast<const oxlo_plugin_descriptor *>(m->plugins[i].descriptor);
        d->init(m);
    }
    return 0;
}

void oxlo_plugins_close(oxlo_module *m)
{
    if (!m)
        return;
    for (uint32_t i = 0; i < m->plugin_count; i++) {
        dlclose(m->plugins[i].handle);
        m->plugins[i] = oxlo_plugin_slot{};
    }
    m->plugin_count = 0;
}

} // extern "C"
