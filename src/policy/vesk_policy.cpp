/* The C-callable facade of the rules: rule managers and blacklists. No
 * exception crosses it: all the library throws derives from std::exception
 * and each function turns it into its failure value. */
#include <new>

#include "Log.h"
#include "PolicyEngine.h"
#include "RuleManager.h"
#include "oxlo_risk_ids.h"
#include "oxlo_risks.h"
#include "vesk_rules.h"

static RuleManager *unwrap(vesk_rule_manager *m) { return reinterpret_cast<RuleManager *>(m); }
static const RuleManager *unwrap(const vesk_rule_manager *m) {
  return reinterpret_cast<const RuleManager *>(m);
}

extern "C" {

vesk_rule_manager *rule_manager_create(oxlo_module *module, uint32_t policy_limit,
                                       uint32_t pool_limit) {
  try {
    return reinterpret_cast<vesk_rule_manager *>(new RuleManager(module, policy_limit, pool_limit));
  } catch (const std::exception &) {
    return nullptr;
  }
}

void rule_manager_destroy(vesk_rule_manager *manager) { delete unwrap(manager); }

int rule_manager_load_rules(vesk_rule_manager *manager, const char *path) {
  RuleManager *rm = unwrap(manager);
  if (!rm) return -1;
  try {
    rm->loadRules(path);
  } catch (const std::bad_alloc &) {
    VESK_LOG(TRACE_ERROR, "Not enough memory while loading %s", path ? path : "");
    return -1;
  } catch (const std::exception &e) {
    // The blacklist download thread that could not be started, say.
    VESK_LOG(TRACE_ERROR, "Unable to load %s: %s", path ? path : "", e.what());
    return -1;
  }
  if (rm->fileTooLarge()) return -3;
  if (!rm->fileWasRead()) return -1;
  return rm->acceptedLines() > 0 && rm->rejectedEntries() == 0 ? 0 : -2;
}

int rule_manager_has_default_policy(const vesk_rule_manager *manager) {
  const RuleManager *rm = unwrap(manager);
  return rm && rm->getDefaultPolicy() ? 1 : 0;
}

uint16_t rule_manager_match_flow(vesk_rule_manager *manager, const uint8_t *src_mac,
                                 const uint8_t *dst_mac, const uint8_t *src_addr,
                                 const uint8_t *dst_addr, oxlo_flow_state *flow,
                                 struct oxlo_classification classification) {
  RuleManager *rm = unwrap(manager);
  if (!rm) return MARKER_PASS;
  PolicyFlowFacts facts;
  facts.master = classification.master;
  facts.app = classification.app;
  facts.category = classification.category;
  facts.hostName = flow ? policyFlowHostName(flow) : nullptr;
  for (unsigned i = 0; flow && facts.otherHostCount < OXLO_HOST_CANDIDATES; i++) {
    const char *other = policyFlowHostCandidate(flow, i);
    if (!other) break;
    if (other != facts.hostName) facts.otherHosts[facts.otherHostCount++] = other;
  }
  facts.riskMask = flow ? policyFlowRiskBits(flow) : 0;
  // The engine knows the flow's family; failing that, an address whose
  // twelve last bytes are zero is taken as IPv4 (the facade's form).
  int family = flow ? policyFlowIsIpv6(flow) : -1;
  if (family >= 0) {
    facts.ipv6 = family == 1;
  } else {
    facts.ipv6 = false;
    for (int i = 4; src_addr && i < 16; i++)
      if (src_addr[i]) facts.ipv6 = true;
  }
  return rm->matchFlow(src_mac, dst_mac, src_addr, dst_addr, facts);
}

uint16_t rule_manager_fallback_marker(vesk_rule_manager *manager, const uint8_t *src_mac,
                                      const uint8_t *dst_mac, const uint8_t *src_addr,
                                      const uint8_t *dst_addr, int ip_version) {
  const RuleManager *rm = unwrap(manager);
  if (!rm) return MARKER_DROP;
  bool localIsSource;
  const uint8_t *src = ip_version ? src_addr : nullptr;
  const uint8_t *dst = ip_version ? dst_addr : nullptr;
  const PolicyRule *policy = rm->findPolicy(src_mac, dst_mac, src, dst, ip_version == 6,
                                            &localIsSource);
  if (policy) return policy->getDefaultMarker();
  // Rules that cover no pool of a host pass its flows (there is no default
  // policy): an untracked packet of it gets the same verdict. A packet whose
  // addresses could not be read cannot be placed at all: drop.
  return ip_version ? static_cast<uint16_t>(MARKER_PASS) : static_cast<uint16_t>(MARKER_DROP);
}

uint16_t rule_manager_exception_marker(vesk_rule_manager *manager, const uint8_t *src_mac,
                                       const uint8_t *dst_mac, const uint8_t *src_addr,
                                       const uint8_t *dst_addr, int ip_version) {
  const RuleManager *rm = unwrap(manager);
  if (!rm || !ip_version)
    return rule_manager_fallback_marker(manager, src_mac, dst_mac, src_addr, dst_addr, ip_version);
  bool localIsSource;
  const PolicyRule *policy = rm->findPolicy(src_mac, dst_mac, src_addr, dst_addr, ip_version == 6,
                                            &localIsSource);
  return policy ? policy->exceptionMarker() : static_cast<uint16_t>(MARKER_PASS);
}

int rule_manager_is_blacklisted(vesk_rule_manager *manager, const uint8_t *address,
                                int ip_version) {
  RuleManager *rm = unwrap(manager);
  return rm && rm->isBlacklisted(address, ip_version) ? 1 : 0;
}

struct vesk_blacklists {
  std::shared_ptr<BlacklistFetch> fetch;
};

vesk_blacklists *rule_manager_blacklists(const vesk_rule_manager *manager) {
  const RuleManager *rm = unwrap(manager);
  if (!rm || !rm->getBlacklistFetch()) return nullptr;
  return new (std::nothrow) vesk_blacklists{rm->getBlacklistFetch()};
}

void rule_manager_share_blacklists(vesk_rule_manager *manager, const vesk_blacklists *blacklists) {
  RuleManager *rm = unwrap(manager);
  if (rm) rm->shareBlacklists(blacklists ? blacklists->fetch : nullptr);
}

int blacklists_wait(vesk_blacklists *blacklists, uint32_t timeout_ms) {
  return blacklists && blacklists->fetch->wait(timeout_ms) ? 1 : 0;
}

void blacklists_release(vesk_blacklists *blacklists) { delete blacklists; }

vesk_rule_manager *rule_manager_scan_engine_data(oxlo_module *module, const char *path) {
  vesk_rule_manager *manager = rule_manager_create(module, 16, 16);
  RuleManager *rm = unwrap(manager);
  if (!rm) return nullptr;
  bool scanned = false;
  try {
    scanned = rm->scanEngineData(path);
  } catch (const std::exception &e) {
    VESK_LOG(TRACE_ERROR, "Unable to scan %s: %s", path ? path : "", e.what());
  }
  if (!scanned) {
    rule_manager_destroy(manager);
    return nullptr;
  }
  return manager;
}

const char *rule_manager_custom_protocols_path(const vesk_rule_manager *manager) {
  const RuleManager *rm = unwrap(manager);
  if (!rm || rm->getCustomProtocolsPath().empty()) return nullptr;
  return rm->getCustomProtocolsPath().c_str();
}

uint32_t rule_manager_category_file_count(const vesk_rule_manager *manager) {
  const RuleManager *rm = unwrap(manager);
  return rm ? (uint32_t)rm->getCategoryFilePaths().size() : 0;
}

const char *rule_manager_category_file_path(const vesk_rule_manager *manager, uint32_t i) {
  const RuleManager *rm = unwrap(manager);
  if (!rm || i >= rm->getCategoryFilePaths().size()) return nullptr;
  return rm->getCategoryFilePaths()[i].c_str();
}

const char *rule_manager_category_file_tag(const vesk_rule_manager *manager, uint32_t i) {
  const RuleManager *rm = unwrap(manager);
  if (!rm || i >= rm->getCategoryFileNames().size()) return nullptr;
  return rm->getCategoryFileNames()[i].c_str();
}

void rule_manager_set_debug(void) {
  if (trace) trace->setLevel(9);
}

int flow_check_non_pqc_risk(oxlo_module *module, oxlo_flow_state *flow) {
  return oxlo_flow_non_pqc_risk_check(module, flow);
}

}  // extern "C"
