#include "PolicyEngine.h"

#include "oxlo_hosts.h"

// Flows carry user ids: a custom protocol's name maps to its user id.
uint16_t policyProtocolIdByName(oxlo_module *module, const char *name) {
  uint16_t id = oxlo_protocol_id_by_name(module, name);
  return id ? oxlo_user_protocol_id(module, id) : 0;
}

bool policyProtocolIdKnown(oxlo_module *module, uint32_t id) {
  if (id == 0 || id > UINT16_MAX) return false;
  return id < oxlo_protocol_count(module) || oxlo_internal_protocol_id(module, (uint16_t)id) != 0;
}

int policyCategoryIdByName(oxlo_module *module, const char *name) {
  return oxlo_category_id_by_name(module, name);
}

// This engine has no geolocation: every lookup answers "not available".
int policyGeoOpen(oxlo_module *, const char *, const char *) { return -3; }
int policyGeoCountry(oxlo_module *, const char *, char *, size_t, char *, size_t) { return -2; }
int policyGeoAsn(oxlo_module *, const char *, uint32_t *) { return -2; }

const char *policyFlowHostName(const oxlo_flow_state *flow) { return oxlo_flow_host_name(flow); }
const char *policyFlowHostCandidate(const oxlo_flow_state *flow, unsigned index) {
  return oxlo_flow_host_candidates(flow, index);
}
uint64_t policyFlowRiskBits(const oxlo_flow_state *flow) { return oxlo_flow_risk_bits(flow); }
int policyFlowIsIpv6(const oxlo_flow_state *flow) { return oxlo_flow_is_ipv6(flow); }

oxlo_module *policyModuleNew() {
  oxlo_module *module = oxlo_module_new(nullptr);
  // Host-name markers of an organisation ("example.") need the suffixes.
  const char *suffixes = oxlo_public_suffix_list_default_path();
  if (module && suffixes) oxlo_load_public_suffix_list(module, suffixes);
  if (module && oxlo_finalize_initialization(module) != 0) {
    oxlo_module_free(module);
    return nullptr;
  }
  return module;
}

void policyModuleFree(oxlo_module *module) { oxlo_module_free(module); }
