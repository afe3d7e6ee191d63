/* A named group of hosts (MAC addresses, IP addresses or prefixes) bound to
 * one policy; one "pool" line of the rules file. */
#ifndef VESK_POOL_H
#define VESK_POOL_H

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <vector>

class RuleManager;
class PolicyRule;

class Pool {
 public:
  // Throws a message text when a required key is missing or out of range.
  explicit Pool(json_object *line);
  ~Pool() = default;

  // Enters the MACs into the manager's MAC map and the prefixes into its
  // address trees, each pointing to the policy.
  void addToRuleManager(RuleManager *manager, PolicyRule *policy) const;

  uint16_t getId() const { return id; }
  uint16_t getPolicyId() const { return policyId; }
  const std::string &getName() const { return name; }
  const std::vector<std::string> &getMacs() const { return macs; }
  const std::vector<std::string> &getAddresses() const { return addresses; }

 private:
  uint16_t id;
  uint16_t policyId;
  std::string name;
  std::vector<std::string> macs;
  std::vector<std::string> addresses;
};

#endif
