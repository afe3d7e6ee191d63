#include "PolicyEngine.h"

uint16_t policyProtocolIdByName(oxlo_module *, const char *) { return 0; }
uint32_t policyProtocolCount(oxlo_module *) { return 0; }
int policyCategoryIdByName(oxlo_module *, const char *) { return -1; }

int policyGeoOpen(oxlo_module *, const char *, const char *) { return -3; }
int policyGeoCountry(oxlo_module *, const char *, char *, size_t, char *, size_t) { return -2; }
int policyGeoAsn(oxlo_module *, const char *, uint32_t *) { return -2; }

oxlo_module *policyModuleNew() { return nullptr; }
void policyModuleFree(oxlo_module *) {}

const char *policyFlowHostName(const oxlo_flow_state *) { return nullptr; }
uint64_t policyFlowRiskBits(const oxlo_flow_state *) { return 0; }
int policyFlowIsIpv6(const oxlo_flow_state *) { return -1; }
