#include "RuleManager.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "Log.h"
#include "PolicyEngine.h"
#include "PolicyError.h"
#include "PolicyJson.h"
#include "PolicyText.h"
#include "Pool.h"

// A rules file may come from the network: the lines of one load logged in
// full, and how much of each line is echoed.
static const unsigned kLoggedLines = 64;
static const size_t kEchoedChars = 256;

RuleManager::RuleManager(oxlo_module *givenModule, uint32_t policyLimit_, uint32_t poolLimit_)
    : ownsModule(false), policyLimit(policyLimit_), poolLimit(poolLimit_), module(givenModule),
      ipv4Tree(nullptr), ipv6Tree(nullptr), defaultPolicy(nullptr), fileRead(false) {
  Log::instance();
  ipv4Tree = oxlo_patricia_new(32);
  ipv6Tree = oxlo_patricia_new(128);
  if (!ipv4Tree || !ipv6Tree) {
    oxlo_patricia_free(ipv4Tree, nullptr);
    oxlo_patricia_free(ipv6Tree, nullptr);
    throw std::bad_alloc();
  }
  if (!module) {
    module = policyModuleNew();
    ownsModule = module != nullptr;
  }
}

RuleManager::~RuleManager() {
  for (auto &p : pools) delete p.second;
  for (auto &p : policies) delete p.second;
  // The trees only point to policies: nothing to free in their nodes.
  oxlo_patricia_free(ipv4Tree, nullptr);
  oxlo_patricia_free(ipv6Tree, nullptr);
  if (ownsModule) policyModuleFree(module);
}

bool RuleManager::parseMac(const char *text, uint64_t *key) { return policyParseMac(text, key); }

bool RuleManager::scanEngineData(const char *path) {
  engineDataOnly = true;
  loadRules(path);
  engineDataOnly = false;
  return fileRead;
}

// Reads a whole rules file into memory. The path must name a regular file
// (after links): a fifo would block the reload that opens it, a device such
// as /dev/zero never ends, a directory or socket holds no rules. The open
// does not block (a fifo opened without a writer would otherwise wait
// forever), and at most limit bytes are taken whatever the file claims or
// grows to. 0 when read; -1 (logged) when it cannot be; -3 when too large.
static int readRulesFile(const char *path, long long limit, std::string &text) {
  text.clear();
  int fd = path ? open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
  if (fd < 0) {
    VESK_LOG(TRACE_ERROR, "Unable to open file %s [%u/%s", path ? path : "(null)",
             (unsigned)errno, strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    VESK_LOG(TRACE_ERROR, "Rules file %s refused: not a regular file", path);
    close(fd);
    return -1;
  }
  if (st.st_size > limit) {
    VESK_LOG(TRACE_ERROR, "Rules file %s refused: %lld bytes, more than the limit of %lld bytes",
             path, (long long)st.st_size, limit);
    close(fd);
    return -3;
  }
  // One byte past the limit tells a file that grew while it was read.
  text.resize(static_cast<size_t>(limit) + 1);
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = read(fd, &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      VESK_LOG(TRACE_ERROR, "Unable to read file %s [%u/%s]", path, (unsigned)error,
               strerror(error));
      close(fd);
      text.clear();
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  text.resize(got);
  if (got > static_cast<size_t>(limit)) {
    VESK_LOG(TRACE_ERROR, "Rules file %s refused: more than the limit of %lld bytes", path, limit);
    text.clear();
    return -3;
  }
  return 0;
}

bool RuleManager::loadRules(const char *path) {
  fileRead = false;
  tooLarge = false;
  accepted = 0;
  rejected = 0;
  blacklistUrls.clear();
  std::string text;
  int rc = readRulesFile(path, kMaxFileBytes, text);
  if (rc != 0) {
    tooLarge = rc == -3;
    return false;
  }

  unsigned lineNumber = 0, ruleLines = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    // A NUL inside a line ends it for the parser, as it did when read by line.
    std::string line(text, at, end - at);
    at = end + 1;
    lineNumber++;
    if (line.empty() || line[0] == '#') continue;
    // Past the first lines, the messages of a line are not written: a
    // pushed file of a million bad lines must not become a million log lines.
    if (++ruleLines == kLoggedLines + 1 && !engineDataOnly)
      VESK_LOG(TRACE_WARNING, "Further lines of %s are not logged", path);
    std::optional<Log::Muted> mute;
    if (ruleLines > kLoggedLines) mute.emplace();
    if (parseLine(line.c_str(), lineNumber)) {
      accepted++;
    } else {
      rejected++;
      VESK_LOG(TRACE_WARNING, "Invalid parsing of line %u", lineNumber);
    }
  }
  if (ruleLines > kLoggedLines && !engineDataOnly)
    VESK_LOG(TRACE_NORMAL, "%s: %u rule lines, %u taken", path, ruleLines, accepted);
  fileRead = true;
  if (engineDataOnly) return true;
  bool hasDefault = resolve();
  // A load that will be refused must not start downloads.
  if (rejected == 0) startBlacklists();
  return hasDefault;
}

// Keeps a freshly parsed pool or policy unless its id is taken or the set is
// full; what is not kept is logged and freed.
template <typename T>
static bool keepEntry(std::map<uint16_t, T *> &entries, T *entry, uint32_t limit,
                      const char *kind, const char *kinds) {
  if (entries.count(entry->getId())) {
    VESK_LOG(TRACE_WARNING, "Skipping duplicate %s [id: %u]", kind, entry->getId());
    delete entry;
    return false;
  }
  if (entries.size() >= limit) {
    VESK_LOG(TRACE_WARNING, "Skipping %s id %u: too many %s (%u) defined", kind,
             entry->getId(), kinds, limit);
    delete entry;
    return false;
  }
  entries[entry->getId()] = entry;
  return true;
}

bool RuleManager::addPool(json_object *root, unsigned lineNumber, const char *text) {
  Pool *pool;
  try {
    pool = new Pool(root);
  } catch (const PolicyError &e) {
    VESK_LOG(TRACE_ERROR, "[JSON Error @ line %u][%s] %s", lineNumber, e.what(),
             Log::printable(text, kEchoedChars).c_str());
    return false;
  }
  // A line whose pool is not kept is a line not taken.
  return keepEntry(pools, pool, poolLimit, "pool", "pools");
}

bool RuleManager::addPolicy(json_object *root, unsigned lineNumber, const char *text) {
  PolicyRule *policy;
  try {
    policy = new PolicyRule(module, root);
  } catch (const PolicyError &e) {
    VESK_LOG(TRACE_ERROR, "[JSON Error @ line %u][%s] %s", lineNumber, e.what(),
             Log::printable(text, kEchoedChars).c_str());
    return false;
  }
  return keepEntry(policies, policy, policyLimit, "policy", "policies");
}

void RuleManager::loadGeoip(json_object *value) {
  json_object *v;
  const char *asn = nullptr, *city = nullptr;
  if (json_object_object_get_ex(value, "asn", &v)) asn = json_object_get_string(v);
  if (json_object_object_get_ex(value, "city", &v)) city = json_object_get_string(v);
  switch (policyGeoOpen(module, city, asn)) {
    case -2:
      VESK_LOG(TRACE_WARNING, "Unable to load GeoIP ASN file %s", asn ? asn : "");
      break;
    case -1:
      VESK_LOG(TRACE_WARNING, "Unable to load GeoIP city file %s", city ? city : "");
      break;
    case -3:
      VESK_LOG(TRACE_WARNING, "Skipping GeoIP information: Oxlo compiled without GeoIP support");
      break;
    default:
      VESK_LOG(TRACE_NORMAL, "Succesfully loaded GeoIP [ASN: %s][City: %s]", asn ? asn : "",
               city ? city : "");
  }
}

void RuleManager::loadBlacklists(json_object *value) {
  if (!json_object_is_type(value, json_type_array)) {
    VESK_LOG(TRACE_WARNING, "Invalid blacklists format");
    return;
  }
  size_t n = json_object_array_length(value);
  for (size_t i = 0; i < n; i++) {
    const char *url = json_object_get_string(json_object_array_get_idx(value, i));
    if (!url) continue;
    if (!Blacklists::urlAllowed(url)) {
      VESK_LOG(TRACE_WARNING, "Skipping blacklist %s: only http and https URLs are downloaded",
               Log::printable(url).c_str());
      continue;
    }
    blacklistUrls.push_back(url);
  }
}

// The downloads start once the file is read; they run on their own thread.
void RuleManager::startBlacklists() {
  std::shared_ptr<BlacklistFetch> offered = std::move(shared);
  shared.reset();
  if (blacklistUrls.empty()) return;
  if (offered && offered->urls() == blacklistUrls)
    fetch = std::move(offered);
  else
    fetch = std::make_shared<BlacklistFetch>(blacklistUrls);
}

namespace {

// The first key of an object that is not in the list, or NULL. What is not
// an object is left to the parsers, which report its type.
const char *unknownKey(json_object *object, const std::vector<const char *> &keys) {
  if (!object || !json_object_is_type(object, json_type_object)) return nullptr;
  json_object_object_foreach(object, key, value) {
    (void)value;
    bool known = false;
    for (const char *k : keys) known = known || strcmp(k, key) == 0;
    if (!known) return key;
  }
  return nullptr;
}

json_object *member(json_object *object, const char *key) {
  json_object *value = nullptr;
  if (object && json_object_is_type(object, json_type_object))
    json_object_object_get_ex(object, key, &value);
  return value;
}

}  // namespace

// A key the parsers do not read would be a rule its writer believes in and
// that never applies ("hosts" for "hostnames"): the line is not taken.
bool RuleManager::keysKnown(json_object *root, unsigned lineNumber) {
  struct Check {
    const char *where;
    json_object *object;
    std::vector<const char *> keys;
  };
  std::vector<Check> checks;
  json_object *policy = member(root, "policy");
  if (json_object *pool = member(root, "pool")) {
    checks.push_back({"the line", root, {"pool", "policy"}});
    checks.push_back({"\"pool\"", pool, {"id", "name", "mac", "ip"}});
    checks.push_back({"\"policy\"", policy, {"id"}});
  } else if (policy) {
    checks.push_back({"the line", root, {"policy"}});
    checks.push_back({"\"policy\"", policy,
                      {"id", "root", "name", "flow_risk", "default_marker", "markers"}});
    checks.push_back({"\"policy.flow_risk\"", member(policy, "flow_risk"),
                      {"bitmap", "risks", "marker"}});
    checks.push_back({"\"policy.markers\"", member(policy, "markers"),
                      {"categories", "protocols", "hostnames", "countries", "continents", "asn"}});
  } else {
    for (const char *kind : {"custom_protocols", "category_file", "geoip", "blacklists"}) {
      if (!member(root, kind)) continue;
      checks.push_back({"the line", root, {kind}});
      if (strcmp(kind, "geoip") == 0)
        checks.push_back({"\"geoip\"", member(root, kind), {"asn", "city"}});
      break;
    }
  }
  for (const Check &check : checks) {
    if (const char *key = unknownKey(check.object, check.keys)) {
      VESK_LOG(TRACE_ERROR, "[line %u] Unknown key \"%s\" in %s", lineNumber,
               Log::printable(key, 64).c_str(), check.where);
      return false;
    }
  }
  return true;
}

bool RuleManager::parseLine(const char *text, unsigned lineNumber) {
  if (!engineDataOnly)
    VESK_LOG(TRACE_NORMAL, "[line %u] Loading %s", lineNumber,
             Log::printable(text, kEchoedChars).c_str());

  json_tokener *tok = json_tokener_new();
  if (!tok) return false;
  json_object *root = json_tokener_parse_ex(tok, text, (int)strlen(text));
  enum json_tokener_error jerr = json_tokener_get_error(tok);
  // A line that stops inside a value is an error, not "more to come".
  if (jerr == json_tokener_continue) jerr = json_tokener_error_parse_eof;
  json_tokener_free(tok);
  if (!root || jerr != json_tokener_success) {
    VESK_LOG(TRACE_ERROR, "[JSON Error @ line %u][%s] %s", lineNumber,
             jerr == json_tokener_success ? "not a JSON object" : json_tokener_error_desc(jerr),
             Log::printable(text, kEchoedChars).c_str());
    json_object_put(root);
    return false;
  }

  bool ok = true;
  json_object *value;
  if (engineDataOnly && !json_object_object_get_ex(root, "custom_protocols", nullptr) &&
      !json_object_object_get_ex(root, "category_file", nullptr)) {
    json_object_put(root);
    return true;
  }
  try {
    if (!json_object_is_type(root, json_type_object)) {
      VESK_LOG(TRACE_WARNING, "Unknown rule format");
      ok = false;
    } else if (!keysKnown(root, lineNumber)) {
      ok = false;
    } else if (json_object_object_get_ex(root, "pool", &value)) {
      ok = addPool(root, lineNumber, text);
    } else if (json_object_object_get_ex(root, "policy", &value)) {
      ok = addPolicy(root, lineNumber, text);
    } else if (json_object_object_get_ex(root, "custom_protocols", &value)) {
      const char *path = json_object_get_string(value);
      struct stat st;
      if (!path || stat(path, &st) != 0) {
        VESK_LOG(TRACE_WARNING, "Unable to open protocols file %s", path ? path : "");
      } else {
        // Kept for the next detection module: loading into the queue's live,
        // finalized module would race its thread and mostly do nothing.
        VESK_LOG(TRACE_DEBUG, "Loading custom protocols file %s", path);
        customProtocolsPath = path;
      }
    } else if (json_object_object_get_ex(root, "category_file", &value)) {
      const char *path = json_object_get_string(value);
      VESK_LOG(TRACE_DEBUG, "Loading category file %s", path ? path : "");
      if (path) {
        const char *slash = strrchr(path, '/');
        categoryPaths.push_back(path);
        categoryNames.push_back(slash ? slash + 1 : path);
      }
    } else if (json_object_object_get_ex(root, "geoip", &value)) {
      loadGeoip(value);
    } else if (json_object_object_get_ex(root, "blacklists", &value)) {
      loadBlacklists(value);
    } else {
      VESK_LOG(TRACE_WARNING, "Unknown rule format");
      ok = false;
    }
  } catch (const std::bad_alloc &) {
    VESK_LOG(TRACE_ERROR, "Not enough memory");
    ok = false;
  }
  json_object_put(root);
  return ok;
}

bool RuleManager::resolve() {
  for (auto it = policies.begin(); it != policies.end();) {
    PolicyRule *policy = it->second;
    if (policy->getRootId() != POLICY_NO_ROOT) {
      auto rootIt = policies.find(policy->getRootId());
      if (rootIt == policies.end()) {
        VESK_LOG(TRACE_WARNING, "Skipping policy [id: %u][name: %s]: unable to find root policy [id: %u]",
                 policy->getId(), policy->getName().c_str(), policy->getRootId());
        rejected++;
        delete policy;
        it = policies.erase(it);
        continue;
      }
      PolicyRule *root = rootIt->second;
      if (root->getRootId() == policy->getId()) {
        VESK_LOG(TRACE_WARNING, "Skipping policy [id: %u][name: %s]: circular depedency on [id: %u][name: %s]",
                 policy->getId(), policy->getName().c_str(), root->getId(), root->getName().c_str());
        rejected++;
        delete policy;
        it = policies.erase(it);
        continue;
      }
      policy->setRoot(root);
    }
    ++it;
  }
  // Links to a root dropped after the link was made must not dangle.
  for (auto &p : policies)
    if (p.second->getRoot() && !policies.count(p.second->getRootId())) p.second->setRoot(nullptr);

  auto def = policies.find(0);
  defaultPolicy = def == policies.end() ? nullptr : def->second;

  for (auto it = pools.begin(); it != pools.end();) {
    Pool *pool = it->second;
    auto policyIt = policies.find(pool->getPolicyId());
    if (policyIt == policies.end()) {
      VESK_LOG(TRACE_WARNING, "Skipping pool [id: %u][name: %s]: unable to find policy [id: %u]",
               pool->getId(), pool->getName().c_str(), pool->getPolicyId());
      rejected++;
      delete pool;
      it = pools.erase(it);
      continue;
    }
    std::vector<uint64_t> macKeys;
    std::vector<Pool::Network> networks;
    pool->members(&macKeys, &networks);
    for (uint64_t key : macKeys) addMac(key, policyIt->second);
    for (const Pool::Network &net : networks) {
      char text[INET6_ADDRSTRLEN] = "";
      inet_ntop(net.family == 4 ? AF_INET : AF_INET6, net.address, text, sizeof(text));
      if (addAddress(net.family, net.address, net.bits, policyIt->second))
        VESK_LOG(TRACE_DEBUG, "Adding  %s/%u", text, (unsigned)net.bits);
      else
        VESK_LOG(TRACE_WARNING, "Error while adding %s/%u", text, (unsigned)net.bits);
    }
    ++it;
  }
  return defaultPolicy != nullptr;
}

bool RuleManager::addAddress(int family, const uint8_t *address, uint8_t bits, PolicyRule *policy) {
  oxlo_prefix prefix;
  oxlo_patricia_tree *tree;
  // The family comes from the address text: an IPv6 prefix whose low bytes
  // are zero (fe80::/10) is still IPv6.
  if (family == 4) {
    tree = ipv4Tree;
    if (oxlo_prefix_set_ipv4(&prefix, (const struct in_addr *)address, bits, 32) != 0) return false;
  } else if (family == 6) {
    tree = ipv6Tree;
    if (oxlo_prefix_set_ipv6(&prefix, (const struct in6_addr *)address, bits, 128) != 0) return false;
  } else {
    return false;
  }
  if (oxlo_patricia_search_exact(tree, &prefix)) return false;
  oxlo_patricia_node *node = oxlo_patricia_lookup(tree, &prefix);
  if (!node) return false;
  oxlo_patricia_node_set_value(node, (uint64_t)(uintptr_t)policy);
  return true;
}

PolicyRule *RuleManager::lookupAddress(const uint8_t *address, bool ipv6) const {
  if (!address) return nullptr;
  oxlo_prefix prefix;
  oxlo_patricia_tree *tree = ipv6 ? ipv6Tree : ipv4Tree;
  int rc = ipv6 ? oxlo_prefix_set_ipv6(&prefix, (const struct in6_addr *)address, 128, 128)
                : oxlo_prefix_set_ipv4(&prefix, (const struct in_addr *)address, 32, 32);
  if (rc != 0) return nullptr;
  oxlo_patricia_node *node = oxlo_patricia_search_best_inclusive(tree, &prefix);
  return node ? (PolicyRule *)(uintptr_t)oxlo_patricia_node_value(node) : nullptr;
}

const PolicyRule *RuleManager::findPolicy(const uint8_t *srcMac, const uint8_t *dstMac,
                                          const uint8_t *srcAddr, const uint8_t *dstAddr,
                                          bool ipv6, bool *localIsSource) const {
  if (!macs.empty()) {
    if (srcMac) {
      auto it = macs.find(policyMacKey(srcMac));
      if (it != macs.end()) {
        *localIsSource = true;
        return it->second;
      }
    }
    if (dstMac) {
      auto it = macs.find(policyMacKey(dstMac));
      if (it != macs.end()) {
        *localIsSource = false;
        return it->second;
      }
    }
  }
  if (PolicyRule *p = lookupAddress(srcAddr, ipv6)) {
    *localIsSource = true;
    return p;
  }
  if (PolicyRule *p = lookupAddress(dstAddr, ipv6)) {
    *localIsSource = false;
    return p;
  }
  *localIsSource = true;
  return defaultPolicy;
}

uint16_t RuleManager::matchFlow(const uint8_t *srcMac, const uint8_t *dstMac,
                                const uint8_t *srcAddr, const uint8_t *dstAddr,
                                const PolicyFlowFacts &flow) const {
  bool localIsSource;
  const PolicyRule *policy = findPolicy(srcMac, dstMac, srcAddr, dstAddr, flow.ipv6, &localIsSource);
  if (!policy) return MARKER_PASS;
  return policy->evaluate(module, flow, srcAddr, dstAddr, localIsSource);
}
