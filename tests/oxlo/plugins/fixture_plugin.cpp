/* A test plug-in, built several times with different flaws:
 * FIXTURE_MAGIC (descriptor magic), FIXTURE_NO_ENTRY (no entry function),
 * FIXTURE_NULL_INIT (descriptor without init function). */
#include "oxlo_api.h"

extern "C" {

/* Read by the tests through dlsym to see that init ran. */
__attribute__((visibility("default"))) int fixture_init_calls = 0;

[[maybe_unused]] static void fixture_init(oxlo_module *)
{
    fixture_init_calls++;
}

#ifndef FIXTURE_NO_ENTRY
static const oxlo_plugin_descriptor descriptor = {
    FIXTURE_MAGIC, 1, "fixture", "vesk tests", "test plug-in", nullptr,
#ifdef FIXTURE_NULL_INIT
    nullptr,
#else
    fixture_init,
#endif
};

__attribute__((visibility("default"))) const oxlo_plugin_descriptor *PluginEntryFctn(void)
{
    return &descriptor;
}
#else
__attribute__((visibility("default"))) void *SomethingElse(void)
{
    return reinterpret_cast<void *>(fixture_init);
}
#endif

} // extern "C"
