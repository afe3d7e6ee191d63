/* The C-callable facade of the policy library and its small text helpers. */
#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include <new>

#include "PolicyEngine.h"
#include "oxlo_risk_ids.h"
#include "PolicyTrace.h"
#include "RuleManager.h"
#include "oxlo_risks.h"
#include "oxlo_tls_dns.h"
#include "vesk_policy.h"

static RuleManager *unwrap(vesk_rule_manager *m) { return reinterpret_cast<RuleManager *>(m); }
static const RuleManager *unwrap(const vesk_rule_manager *m) {
  return reinterpret_cast<const RuleManager *>(m);
}

extern "C" {

vesk_rule_manager *rule_manager_create(oxlo_module *module, uint32_t policy_limit,
                                       uint32_t pool_limit) {
  try {
    return reinterpret_cast<vesk_rule_manager *>(new RuleManager(module, policy_limit, pool_limit));
  } catch (...) {
    return nullptr;
  }
}

void rule_manager_destroy(vesk_rule_manager *manager) { delete unwrap(manager); }

int rule_manager_load_rules(vesk_rule_manager *manager, const char *path) {
  RuleManager *rm = unwrap(manager);
  if (!rm) return -1;
  try {
    rm->loadRules(path);
  } catch (...) {
    POLICY_LOG(POLICY_ERROR, "Not enough memory while loading %s", path ? path : "");
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
  if (rm && !rm->scanEngineData(path)) {
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

// Post-quantum TLS groups: the ML-KEM hybrids and their drafts, the Kyber
// drafts and the experimental range.
static bool pqTlsGroup(uint16_t g) {
  return g == 0x11EC || g == 0x11ED || (g >= 0x2001 && g <= 0x2010) || g == 0x6399 ||
         g == 0x639A || (g >= 0xFE30 && g <= 0xFE37);
}

static bool pqSshMethod(const char *name) {
  return name && (strncmp(name, "mlkem768x25519-sha256", 21) == 0 ||
                  strncmp(name, "sntrup761x25519-sha512", 22) == 0);
}

// Which protocol of the flow the check is about: its application id when
// that is one of the checked ones, else its master (a TLS flow to a named
// service has app "Google" and master "TLS").
static uint16_t checkedProtocol(oxlo_module *module, const oxlo_flow_state *flow) {
  static const char *const names[] = {"DTLS", "TLS", "QUIC", "IPSec", "SSH"};
  uint16_t ids[2] = {oxlo_flow_app_protocol(flow), oxlo_flow_master_protocol(flow)};
  for (uint16_t id : ids)
    for (const char *name : names)
      if (id != 0 && id == policyProtocolIdByName(module, name)) return id;
  return 0;
}

int flow_check_non_pqc_risk(oxlo_module *module, oxlo_flow_state *flow) {
  if (!module || !flow) return 0;
  uint16_t proto = checkedProtocol(module, flow);
  if (proto == 0) return 0;
  const char *client = "Obsolete non-PQC client";
  const char *message = nullptr;
  if (proto == policyProtocolIdByName(module, "SSH")) {
    if (pqSshMethod(oxlo_flow_ssh_negotiated_kex(flow))) return 0;
    // A side whose list is not known is not blamed; with neither list known
    // the client is named, as for TLS without details.
    const char *clientList = oxlo_flow_ssh_kex_list(flow, 1);
    const char *serverList = oxlo_flow_ssh_kex_list(flow, 0);
    bool clientOld = clientList[0] && !pqSshMethod(clientList);
    bool serverOld = serverList[0] && !pqSshMethod(serverList);
    if (clientOld && serverOld)
      message = "Both Obsolete non-PQC client and server";
    else if (serverOld)
      message = "Obsolete non-PQC server";
    else
      message = client;
  } else if (proto == policyProtocolIdByName(module, "IPSec")) {
    message = client;  // the responder's IKE proposal is not read
  } else {
    uint16_t groups[64];
    size_t n = oxlo_flow_tls_groups_offered(flow, groups, 64);
    for (size_t i = 0; i < n; i++)
      if (pqTlsGroup(groups[i])) return 0;
    message = client;
  }
  oxlo_flow_risk_raise(module, flow, OXLO_NON_PQC, message);
  return 1;
}

void rule_manager_set_debug(void) {
  PolicyTrace *t = PolicyTrace::existing();
  if (t) t->setLevel(9);
}

uint64_t parseMacKey(const char *text) {
  unsigned b[6];
  char tail;
  if (!text || sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5],
                      &tail) != 6)
    return 0;
  // sscanf's %x accepts signs and blanks; insist on exactly six hex pairs.
  if (strlen(text) != 17) return 0;
  for (int i = 0; i < 17; i++) {
    if (i % 3 == 2 ? text[i] != ':' : !isxdigit((unsigned char)text[i])) return 0;
  }
  uint8_t mac[6];
  for (int i = 0; i < 6; i++) mac[i] = (uint8_t)b[i];
  return macKey(mac);
}

uint64_t macKey(const uint8_t *mac) {
  uint64_t key = 0;
  if (!mac) return 0;
  for (int i = 5; i >= 0; i--) key = (key << 8) | mac[i];
  return key;
}

uint16_t countryKey(const char *text) {
  if (!text || strlen(text) > 2) return 0;
  return (uint16_t)(((unsigned char)text[0] << 8) | (text[0] ? (unsigned char)text[1] : 0));
}

uint8_t continentId(const char *text) {
  if (!text) return 0;
  switch (toupper((unsigned char)text[0])) {
    case 'N': return 4;
    case 'S': return 5;
    case 'E': return 3;
    case 'A':
      switch (toupper((unsigned char)text[1])) {
        case 'F': return 1;
        case 'S': return 2;
        default: return 3;
      }
    default: return 0;
  }
}

char *ipv4Text(uint32_t host_order_address, char *buffer, uint32_t size) {
  if (!buffer || size == 0) return buffer;
  snprintf(buffer, size, "%u.%u.%u.%u", (host_order_address >> 24) & 0xFF,
           (host_order_address >> 16) & 0xFF, (host_order_address >> 8) & 0xFF,
           host_order_address & 0xFF);
  return buffer;
}

char *ipv6Text(const uint8_t *address, char *buffer, uint32_t size) {
  if (!buffer || size == 0) return buffer;
  if (!address || !inet_ntop(AF_INET6, address, buffer, size)) buffer[0] = '\0';
  return buffer;
}

}  // extern "C"
