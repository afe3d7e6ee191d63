/* One policy of the rules file: markers by country, continent, autonomous
 * system, flow risk, host name, protocol and category, and a default. */
#ifndef VESK_POLICY_RULE_H
#define VESK_POLICY_RULE_H

#include <json-c/json.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "oxlo_api.h"
#include "oxlo_hosts.h"


// What a policy looks at in a classified flow; protocol ids are user ids.
struct PolicyFlowFacts {
  uint16_t master;
  uint16_t app;
  uint32_t category;
  const char *hostName;  // NULL or "" when the flow has none
  uint64_t riskMask;
  bool ipv6;             // addresses are IPv6
  // Further host names the flow's requests carried (two Host headers, a
  // request target naming another host); each is matched too.
  const char *otherHosts[OXLO_HOST_CANDIDATES] = {};
  uint8_t otherHostCount = 0;
};

enum : uint16_t { MARKER_PASS = 1, MARKER_DROP = 2 };
enum : uint16_t { POLICY_NO_ROOT = 255 };

class PolicyRule {
 public:
  // Builds the policy from the line's "policy" object; throws a message
  // text on a missing or wrong key.
  PolicyRule(oxlo_module *module, json_object *line);
  ~PolicyRule();
  PolicyRule(const PolicyRule &) = delete;
  PolicyRule &operator=(const PolicyRule &) = delete;

  void setRoot(PolicyRule *r) { root = r; }
  PolicyRule *getRoot() const { return root; }

  // The marker of a flow; addresses in the facade's 16-byte form.
  uint16_t evaluate(oxlo_module *module, const PolicyFlowFacts &flow, const uint8_t *srcAddr,
                    const uint8_t *dstAddr, bool localIsSource) const;

  uint16_t getId() const { return id; }
  uint16_t getRootId() const { return rootId; }
  const std::string &getName() const { return name; }
  uint16_t getDefaultMarker() const { return defaultMarker; }
  uint64_t getRiskBitmap() const { return riskBitmap; }
  uint16_t getRiskMarker() const { return riskMarker; }
  const std::map<uint16_t, uint16_t> &getProtocolMarkers() const { return protocols; }
  const std::map<uint16_t, uint16_t> &getCategoryMarkers() const { return categories; }
  const std::map<uint16_t, uint16_t> &getCountryMarkers() const { return countries; }
  const std::map<uint8_t, uint16_t> &getContinentMarkers() const { return continents; }
  const std::map<uint32_t, uint16_t> &getAsnMarkers() const { return asns; }
  size_t hostNameCount() const;
  // The strictest marker this policy could still give a flow whose bytes
  // the engine could not all read: drop when a host name, protocol,
  // category or risk it names drops (the unread bytes could have decided
  // it), else the default marker.
  uint16_t exceptionMarker() const;

  // The marker a JSON value stands for (a number, or a text: "drop",
  // "pass", digits, else pass with a warning). False, with a warning, when
  // the value is of another type or a number that does not fit 16 bits.
  static bool readMarker(json_object *value, uint16_t *marker, bool *wrongType);

 private:
  void parseFlowRisk(json_object *risk);
  void parseMarkers(oxlo_module *module, json_object *markers);
  void parseProtocols(oxlo_module *module, json_object *section);
  void parseCategories(oxlo_module *module, json_object *section);
  void parseHostNames(oxlo_module *module, json_object *section);
  void parseCountries(json_object *section);
  void parseContinents(json_object *section);
  void parseAsns(json_object *section);
  bool hostNameMarker(const char *name, uint32_t *marker) const;

  uint16_t id;
  uint16_t rootId;
  std::string name;
  PolicyRule *root;
  uint64_t riskBitmap;
  uint16_t riskMarker;
  std::map<uint16_t, uint16_t> categories;
  std::map<uint16_t, uint16_t> protocols;
  oxlo_domain_set *hostNames = nullptr;
  oxlo_module *hostNamesModule = nullptr;
  size_t hostNameEntries = 0;
  bool hostNameDrops = false;
  std::map<uint16_t, uint16_t> countries;
  std::map<uint32_t, uint16_t> asns;
  std::map<uint8_t, uint16_t> continents;
  uint16_t defaultMarker;
};

#endif
