#include "PolicyEngine.h"

#include "oxlo_protocol_ids.h"

// Stand-ins until the protocol table's lookups land: numeric ids are
// checked against the built-in table size, names are not known yet.
uint16_t policyProtocolIdByName(oxlo_module *, const char *) { return 0; }
uint32_t policyProtocolCount(oxlo_module *) { return OXLO_PROTOCOL_BUILTIN_COUNT; }
int policyCategoryIdByName(oxlo_module *, const char *) { return -1; }

// This engine has no geolocation: every lookup answers "not available".
int policyGeoOpen(oxlo_module *, const char *, const char *) { return -3; }
int policyGeoCountry(oxlo_module *, const char *, char *, size_t, char *, size_t) { return -2; }
int policyGeoAsn(oxlo_module *, const char *, uint32_t *) { return -2; }

const char *policyFlowHostName(const oxlo_flow_state *) { return nullptr; }
uint64_t policyFlowRiskBits(const oxlo_flow_state *) { return 0; }
int policyFlowIsIpv6(const oxlo_flow_state *) { return -1; }

oxlo_module *policyModuleNew() {
  oxlo_module *module = oxlo_module_new(nullptr);
  if (module && oxlo_finalize_initialization(module) != 0) {
    oxlo_module_free(module);
    return nullptr;
  }
  return module;
}

void policyModuleFree(oxlo_module *module) { oxlo_module_free(module); }
