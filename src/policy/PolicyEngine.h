/* The few engine services the policy library reads: protocol and category
 * names, the protocol count, geolocation. Kept in one place so each rule
 * parser asks the engine the same way. */
#ifndef VESK_POLICY_ENGINE_H
#define VESK_POLICY_ENGINE_H

#include <cstddef>
#include <cstdint>

#include "oxlo_api.h"

// User protocol id of a name (case-insensitive); 0 when unknown.
uint16_t policyProtocolIdByName(oxlo_module *module, const char *name);
// Whether a user protocol id names a protocol of the module.
bool policyProtocolIdKnown(oxlo_module *module, uint32_t id);
// Category id of a name (case-insensitive); -1 when unknown.
int policyCategoryIdByName(oxlo_module *module, const char *name);

// Geolocation: 0 when found; negative when not available or not found.
int policyGeoOpen(oxlo_module *module, const char *cityPath, const char *asnPath);
int policyGeoCountry(oxlo_module *module, const char *address, char *country, size_t countrySize,
                     char *continent, size_t continentSize);
int policyGeoAsn(oxlo_module *module, const char *address, uint32_t *asn);

// What the engine keeps per flow: host name (NULL when none), risk bits,
// and 1 IPv6 / 0 IPv4 / -1 not known.
const char *policyFlowHostName(const oxlo_flow_state *flow);
// The flow's host names to match: 0 is its host name, NULL past the end.
const char *policyFlowHostCandidate(const oxlo_flow_state *flow, unsigned index);
uint64_t policyFlowRiskBits(const oxlo_flow_state *flow);
int policyFlowIsIpv6(const oxlo_flow_state *flow);

// A detection module of the manager's own (NULL on failure), and its release.
oxlo_module *policyModuleNew();
void policyModuleFree(oxlo_module *module);

#endif
