#include "EngineRules.h"

#include <utility>

EngineRules::EngineRules(DetectionEnginePtr engine, vesk_rule_manager *rules, uint32_t generation)
    : engine_(std::move(engine)), rules_(rules), generation_(generation) {}

EngineRules::~EngineRules() { rule_manager_destroy(rules_); }

uint16_t EngineRules::matchFlow(const uint8_t *sourceMac, const uint8_t *destinationMac,
                                const uint8_t *source, const uint8_t *destination,
                                oxlo_flow_state *state,
                                const oxlo_classification &classification) const {
  if (!rules_) return 1;
  return rule_manager_match_flow(rules_, sourceMac, destinationMac, source, destination, state,
                                 classification);
}

uint16_t EngineRules::fallbackMarker(const uint8_t *sourceMac, const uint8_t *source,
                                     const uint8_t *destination, int ipVersion) const {
  return rule_manager_fallback_marker(rules_, sourceMac, nullptr, source, destination, ipVersion);
}

uint16_t EngineRules::exceptionMarker(const uint8_t *sourceMac, const uint8_t *source,
                                      const uint8_t *destination, int ipVersion) const {
  return rule_manager_exception_marker(rules_, sourceMac, nullptr, source, destination, ipVersion);
}
