/* The policy rule set of one queue: pools bound to policies, a default
 * policy, blacklists and the engine data a rules file names. Filled by one
 * loadRules, then only read while matching flows. */
#ifndef VESK_RULE_MANAGER_H
#define VESK_RULE_MANAGER_H

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <memory>

#include "BlacklistFetch.h"
#include "PolicyRule.h"
#include "oxlo_api.h"
#include "oxlo_patricia.h"

class Pool;

class RuleManager {
 public:
  RuleManager(oxlo_module *module, uint32_t policyLimit, uint32_t poolLimit);
  ~RuleManager();
  RuleManager(const RuleManager &) = delete;
  RuleManager &operator=(const RuleManager &) = delete;

  // Reads the file and resolves; true when a default policy exists.
  bool loadRules(const char *path);
  // Reads only the engine data lines ("custom_protocols", "category_file"):
  // no pools, policies, blacklists or geolocation; false when the file
  // cannot be opened or read.
  bool scanEngineData(const char *path);
  // Largest rules file read, the same order as the largest policy a push
  // may bring: a file past it is refused before it is parsed.
  static const long long kMaxFileBytes = 4LL * 1024 * 1024;

  // Whether the last loadRules could open and read its file, and how many
  // of its rule lines it took (blank and comment lines are not counted).
  bool fileWasRead() const { return fileRead; }
  unsigned acceptedLines() const { return accepted; }
  // Rule lines of the last load that could not be taken, and pools or
  // policies that resolving dropped: any of them makes the load one the
  // caller must refuse whole (a file caught half-written, or a typo).
  unsigned rejectedEntries() const { return rejected; }
  // Whether the last load stopped because the file is larger than
  // kMaxFileBytes (the file then counts as not read).
  bool fileTooLarge() const { return tooLarge; }
  bool parseLine(const char *text, unsigned lineNumber);
  bool resolve();

  // Inserts a prefix (family 4 or 6, address in the 16-byte form) pointing
  // to the policy; false when the prefix is already there or cannot be added.
  bool addAddress(int family, const uint8_t *address, uint8_t bits, PolicyRule *policy);
  void addMac(uint64_t key, PolicyRule *policy) { macs[key] = policy; }

  uint16_t matchFlow(const uint8_t *srcMac, const uint8_t *dstMac, const uint8_t *srcAddr,
                     const uint8_t *dstAddr, const PolicyFlowFacts &flow) const;
  // The policy a flow falls under (NULL: none, not even a default), and
  // whether the local host is the flow's source.
  const PolicyRule *findPolicy(const uint8_t *srcMac, const uint8_t *dstMac,
                               const uint8_t *srcAddr, const uint8_t *dstAddr, bool ipv6,
                               bool *localIsSource) const;

  // Six hexadecimal pairs separated by ':' (either case); false otherwise.
  static bool parseMac(const char *text, uint64_t *key);

  oxlo_module *getModule() const { return module; }
  const PolicyRule *getDefaultPolicy() const { return defaultPolicy; }
  const std::map<uint16_t, PolicyRule *> &getPolicies() const { return policies; }
  const std::map<uint16_t, Pool *> &getPools() const { return pools; }
  // Whether the blacklists of the load cover an address; false while their
  // downloads run (the rules apply without them until then).
  bool isBlacklisted(const uint8_t *address, int ipVersion) const {
    return fetch && fetch->contains(address, ipVersion);
  }
  // Downloads of another manager's load: when this load's "blacklists"
  // lines name the same URLs, it takes them instead of downloading again.
  void shareBlacklists(std::shared_ptr<BlacklistFetch> other) { shared = std::move(other); }
  const std::shared_ptr<BlacklistFetch> &getBlacklistFetch() const { return fetch; }
  const std::string &getCustomProtocolsPath() const { return customProtocolsPath; }
  const std::vector<std::string> &getCategoryFilePaths() const { return categoryPaths; }
  const std::vector<std::string> &getCategoryFileNames() const { return categoryNames; }

 private:
  // false (logged with the line number) when an object of the line holds
  // a key its kind of line does not know.
  static bool keysKnown(json_object *line, unsigned lineNumber);
  // False (logged) when the line's pool or policy is not taken.
  bool addPool(json_object *line, unsigned lineNumber, const char *text);
  bool addPolicy(json_object *line, unsigned lineNumber, const char *text);
  void loadGeoip(json_object *value);
  void loadBlacklists(json_object *value);
  void startBlacklists();
  PolicyRule *lookupAddress(const uint8_t *address, bool ipv6) const;

  bool ownsModule;
  uint32_t policyLimit, poolLimit;
  oxlo_module *module;
  oxlo_patricia_tree *ipv4Tree, *ipv6Tree;
  PolicyRule *defaultPolicy;
  std::vector<std::string> blacklistUrls;
  std::shared_ptr<BlacklistFetch> fetch, shared;
  bool fileRead;
  unsigned accepted = 0;
  unsigned rejected = 0;
  bool tooLarge = false;
  bool engineDataOnly = false;
  std::string customProtocolsPath;
  std::vector<std::string> categoryPaths;
  std::vector<std::string> categoryNames;
  std::unordered_map<uint64_t, PolicyRule *> macs;
  std::map<uint16_t, Pool *> pools;
  std::map<uint16_t, PolicyRule *> policies;
};

#endif
