// What a queue classifies and judges flows with: a detection engine and the
// rules resolved against it, built together by a reload and never changed
// afterwards. Shared (read-only) by the reload, which keeps the current and
// the previous one, and by the packet path, which holds the one it picked up
// last: whoever lets go last frees it, never while another still uses it.
#ifndef VESK_ENGINERULES_H
#define VESK_ENGINERULES_H

#include <cstdint>
#include <memory>

#include "DetectionEngine.h"
#include "oxlo_api.h"
#include "vesk_rules.h"

class EngineRules {
 public:
  // Takes ownership of rules (NULL: no rules in force yet, as before the
  // first load). generation counts rules installations on the queue.
  EngineRules(DetectionEnginePtr engine, vesk_rule_manager *rules, uint32_t generation);
  // The rules go before the engine they were resolved against.
  ~EngineRules();
  EngineRules(const EngineRules &) = delete;
  EngineRules &operator=(const EngineRules &) = delete;

  // The engine new flows are classified by, shared with them.
  const DetectionEnginePtr &engine() const { return engine_; }
  oxlo_module *module() const { return engine_->module(); }
  vesk_rule_manager *rules() const { return rules_; }
  bool hasRules() const { return rules_ != nullptr; }
  // A drop marker remembers the generation that gave it: a connection
  // dropped under older rules is judged anew.
  uint32_t generation() const { return generation_; }

  // The marker of a completed flow (1, pass, without rules).
  uint16_t matchFlow(const uint8_t *sourceMac, const uint8_t *destinationMac,
                     const uint8_t *source, const uint8_t *destination, oxlo_flow_state *state,
                     const oxlo_classification &classification) const;
  // The marker of a packet no flow takes (2, drop, without rules).
  uint16_t fallbackMarker(const uint8_t *sourceMac, const uint8_t *source,
                          const uint8_t *destination, int ipVersion) const;
  // The strictest marker the rules could still give a flow the engine
  // could not finish (drop when its policy drops some host name, protocol,
  // category or risk, else that policy's default marker; pass without one).
  uint16_t exceptionMarker(const uint8_t *sourceMac, const uint8_t *source,
                           const uint8_t *destination, int ipVersion) const;

 private:
  const DetectionEnginePtr engine_;
  vesk_rule_manager *const rules_;
  const uint32_t generation_;
};

using EngineRulesPtr = std::shared_ptr<const EngineRules>;

#endif
