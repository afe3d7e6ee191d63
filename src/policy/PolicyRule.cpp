#include "PolicyRule.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <unordered_map>

#include "Log.h"
#include "PolicyEngine.h"
#include "PolicyError.h"
#include "PolicyJson.h"
#include "PolicyText.h"

static const uint32_t LAST_CATEGORY = 163;

static bool allDigits(const char *s) {
  if (!*s) return false;
  for (; *s; s++)
    if (*s < '0' || *s > '9') return false;
  return true;
}

bool PolicyRule::readMarker(json_object *value, uint16_t *marker, bool *wrongType) {
  uint64_t v;
  *wrongType = false;
  switch (json_object_get_type(value)) {
    case json_type_int:
      if (!policyJsonUnsigned(value, UINT16_MAX, &v)) {
        VESK_LOG(TRACE_WARNING, "Invalid marker %s: not a number from 0 to 65535",
                 json_object_to_json_string(value));
        return false;
      }
      *marker = (uint16_t)v;
      return true;
    case json_type_string: {
      const char *s = json_object_get_string(value);
      if (strcasecmp(s, "drop") == 0) {
        *marker = MARKER_DROP;
      } else if (strcasecmp(s, "pass") == 0) {
        *marker = MARKER_PASS;
      } else if (isdigit((unsigned char)s[0])) {
        if (!policyLeadingUnsigned(s, UINT16_MAX, &v)) {
          VESK_LOG(TRACE_WARNING, "Invalid marker %s: not a number from 0 to 65535", s);
          return false;
        }
        *marker = (uint16_t)v;
      } else {
        VESK_LOG(TRACE_WARNING, "Unexpected value %s for policy marker: default to PASS", s);
        *marker = MARKER_PASS;
      }
      return true;
    }
    default:
      *wrongType = true;
      return false;
  }
}

PolicyRule::PolicyRule(oxlo_module *module, json_object *line)
    : id(0), rootId(POLICY_NO_ROOT), root(nullptr), riskBitmap(0), riskMarker(MARKER_PASS),
      defaultMarker(MARKER_PASS) {
  json_object *policy, *value;
  uint64_t number;
  bool wrongType;

  id = policyJsonPolicyId(line);
  json_object_object_get_ex(line, "policy", &policy);

  if (json_object_object_get_ex(policy, "root", &value)) {
    if (!policyJsonUnsigned(value, UINT16_MAX, &number))
      throw PolicyError("Invalid 'policy.root' value");
    rootId = (uint16_t)number;
  }
  if (rootId == id) throw PolicyError("Loop detected 'policy.id' == 'policy.root'");

  if (json_object_object_get_ex(policy, "name", &value)) name = policyJsonText(value);

  if (json_object_object_get_ex(policy, "flow_risk", &value)) parseFlowRisk(value);

  if (!json_object_object_get_ex(policy, "default_marker", &value))
    throw PolicyError("Missing 'policy.default_marker' section");
  if (!readMarker(value, &defaultMarker, &wrongType)) {
    if (!wrongType) throw PolicyError("Invalid 'policy.default_marker' value");
    VESK_LOG(TRACE_WARNING, "Unexpected type for default_marker");
  }

  if (!json_object_object_get_ex(policy, "markers", &value))
    throw PolicyError("Missing 'policy.markers' section");
  parseMarkers(module, value);
}

PolicyRule::~PolicyRule() { oxlo_domain_set_free(hostNames); }

size_t PolicyRule::hostNameCount() const { return hostNameEntries; }

void PolicyRule::parseFlowRisk(json_object *risk) {
  json_object *value;
  if (json_object_object_get_ex(risk, "bitmap", &value)) {
    if (json_object_is_type(value, json_type_int)) {
      int64_t s = json_object_get_int64(value);
      riskBitmap = s < 0 ? (uint64_t)s : json_object_get_uint64(value);
    }
  } else if (json_object_object_get_ex(risk, "risks", &value)) {
    if (!json_object_is_type(value, json_type_array))
      throw PolicyError("Invalid 'policy.flow_risk.risks' token type");
    size_t n = json_object_array_length(value);
    for (size_t i = 0; i < n; i++) {
      json_object *item = json_object_array_get_idx(value, i);
      uint64_t bit;
      if (!policyJsonUnsigned(item, 63, &bit)) {
        VESK_LOG(TRACE_WARNING, "Unknown flow risk %s: skipping", json_object_to_json_string(item));
        continue;
      }
      riskBitmap |= (uint64_t)1 << bit;
    }
  } else {
    throw PolicyError("Missing 'policy.flow_risk.bitmap' token");
  }

  if (!json_object_object_get_ex(risk, "marker", &value))
    throw PolicyError("Missing 'policy.flow_risk.marker' token");
  bool wrongType;
  if (!readMarker(value, &riskMarker, &wrongType)) {
    if (wrongType) throw PolicyError("Invalid 'policy.flow_risk.marker' token type");
    throw PolicyError("Invalid 'policy.flow_risk.marker' value");
  }
}

// A section is read when it is an object; an empty array counts as empty.
static bool sectionUsable(json_object *markers, const char *key, json_object **section) {
  if (!json_object_object_get_ex(markers, key, section)) return false;
  if (json_object_is_type(*section, json_type_object)) return true;
  if (json_object_is_type(*section, json_type_array) && json_object_array_length(*section) == 0)
    return false;
  VESK_LOG(TRACE_WARNING, "Unexpected type for markers.%s", key);
  return false;
}

// The marker of one item; false (item skipped) with the section's warning.
static bool itemMarker(json_object *value, const char *section, uint16_t *marker) {
  bool wrongType;
  if (PolicyRule::readMarker(value, marker, &wrongType)) return true;
  if (wrongType) VESK_LOG(TRACE_WARNING, "Unexpected type for markers.%s", section);
  return false;
}

void PolicyRule::parseMarkers(oxlo_module *module, json_object *markers) {
  json_object *section;
  if (sectionUsable(markers, "categories", &section)) parseCategories(module, section);
  if (sectionUsable(markers, "protocols", &section)) parseProtocols(module, section);
  if (sectionUsable(markers, "hostnames", &section)) parseHostNames(module, section);
  if (sectionUsable(markers, "countries", &section)) parseCountries(section);
  if (sectionUsable(markers, "continents", &section)) parseContinents(section);
  if (sectionUsable(markers, "asn", &section)) parseAsns(section);
}

void PolicyRule::parseCategories(oxlo_module *module, json_object *section) {
  json_object_object_foreach(section, key, value) {
    uint16_t marker;
    if (!itemMarker(value, "categories", &marker)) continue;
    uint64_t cat;
    if (allDigits(key)) {
      if (!policyLeadingUnsigned(key, UINT32_MAX, &cat) || cat > LAST_CATEGORY) {
        VESK_LOG(TRACE_WARNING, "Unknown category %s [%s]", key, key);
        continue;
      }
    } else {
      int c = policyCategoryIdByName(module, key);
      if (c < 0 || (uint32_t)c > LAST_CATEGORY) {
        VESK_LOG(TRACE_WARNING, "Unknown category %s", key);
        continue;
      }
      cat = (uint64_t)c;
    }
    categories[(uint16_t)cat] = marker;
  }
}

void PolicyRule::parseProtocols(oxlo_module *module, json_object *section) {
  json_object_object_foreach(section, key, value) {
    uint16_t marker;
    if (!itemMarker(value, "protocols", &marker)) continue;
    // Only an all-digit key is an id: names may begin with a digit too.
    if (!allDigits(key)) {
      uint16_t proto = policyProtocolIdByName(module, key);
      if (proto == 0) {
        VESK_LOG(TRACE_WARNING, "Unknown protocol %s", key);
        continue;
      }
      protocols[proto] = marker;
      continue;
    }
    uint64_t proto;
    if (!policyLeadingUnsigned(key, UINT16_MAX, &proto) ||
        !policyProtocolIdKnown(module, (uint32_t)proto)) {
      VESK_LOG(TRACE_WARNING, "Unknown protocol %s", key);
      continue;
    }
    protocols[(uint16_t)proto] = marker;
  }
}

// The form a rule's host name is stored in: the engine's canonical form
// (lower case, no blanks, port or trailing dot), so that "Blocked.Example."
// and "blocked.example" are one rule. A single label ending in '.'
// ("example.") keeps its dot: it names an organisation, not a host.
static std::string ruleHostName(const char *key) {
  char canonical[256];
  size_t n = oxlo_host_name_canonical(key, strlen(key), canonical, sizeof(canonical));
  std::string name(canonical, n);
  while (!name.empty() && name[0] == '.') name.erase(0, 1);
  if (!name.empty() && name.find('.') == std::string::npos) {
    const char *end = key + strlen(key);
    while (end > key && (end[-1] == ' ' || end[-1] == '\t')) end--;
    if (end > key && end[-1] == '.') name += '.';
  }
  return name;
}

// The engine's domain set: a name matches itself and its parent domains
// (never a lone top-level label, nor names under .arpa or .local), and an
// entry ending in '.' ("example.") is the organisation under any public
// suffix (www.example.co.uk).
void PolicyRule::parseHostNames(oxlo_module *module, json_object *section) {
  oxlo_domain_set_free(hostNames);
  hostNameEntries = 0;
  hostNameDrops = false;
  hostNamesModule = module;
  hostNames = oxlo_domain_set_new();
  if (!hostNames) {
    VESK_LOG(TRACE_WARNING, "Not enough memory: skipping hostnames");
    return;
  }
  json_object_object_foreach(section, key, value) {
    uint16_t marker;
    bool wrongType;
    if (!readMarker(value, &marker, &wrongType)) {
      if (wrongType) VESK_LOG(TRACE_WARNING, "Unexpected type for hostnames key %s", key);
      continue;
    }
    const std::string name = ruleHostName(key);
    if (!name.empty() && oxlo_domain_set_add(module, hostNames, marker, name.c_str()) == 1) {
      hostNameEntries++;
      if (marker == MARKER_DROP) hostNameDrops = true;
      VESK_LOG(TRACE_DEBUG, "Added hostname [%s: %u]", key, marker);
    } else
      VESK_LOG(TRACE_WARNING, "Unable to add hostname [%s: %u]", key, marker);
  }
}

uint16_t PolicyRule::exceptionMarker() const {
  if (defaultMarker == MARKER_DROP || hostNameDrops || (riskBitmap && riskMarker == MARKER_DROP))
    return MARKER_DROP;
  for (const auto &section : {&protocols, &categories})
    for (const auto &item : *section)
      if (item.second == MARKER_DROP) return MARKER_DROP;
  return defaultMarker;
}

void PolicyRule::parseCountries(json_object *section) {
  json_object_object_foreach(section, key, value) {
    uint16_t marker;
    if (!itemMarker(value, "countries", &marker)) continue;
    uint16_t k = policyCountryKey(key);
    if (k == 0) {
      VESK_LOG(TRACE_WARNING, "Unknown country %s", key);
      continue;
    }
    VESK_LOG(TRACE_DEBUG, "[Policy %u]: Handling country %s", id, key);
    countries[k] = marker;
  }
}

void PolicyRule::parseContinents(json_object *section) {
  json_object_object_foreach(section, key, value) {
    uint16_t marker;
    if (!itemMarker(value, "continents", &marker)) continue;
    VESK_LOG(TRACE_DEBUG, "[Policy %u]: Handling continent %s", id, key);
    continents[policyContinentId(key)] = marker;
  }
}

void PolicyRule::parseAsns(json_object *section) {
  json_object_object_foreach(section, key, value) {
    uint16_t marker;
    if (!itemMarker(value, "asn", &marker)) continue;
    uint64_t asn;
    if (!allDigits(key) || !policyLeadingUnsigned(key, UINT32_MAX, &asn)) {
      VESK_LOG(TRACE_WARNING, "Unknown autonomous system %s", key);
      continue;
    }
    asns[(uint32_t)asn] = marker;
  }
}

// The marker of one host name of the flow, matched in its canonical form.
bool PolicyRule::hostNameMarker(const char *name, uint32_t *marker) const {
  if (!name || !name[0]) return false;
  char canonical[256];
  if (oxlo_host_name_canonical(name, strlen(name), canonical, sizeof(canonical)) == 0) return false;
  // Keys were made with the module the set was filled with.
  return oxlo_domain_set_match(hostNamesModule, hostNames, marker, canonical) == 1;
}

static void remoteText(const uint8_t *addr, bool ipv6, char *buf, uint32_t size) {
  if (ipv6) {
    policyIpv6Text(addr, buf, size);
  } else {
    uint32_t net;
    memcpy(&net, addr, 4);
    policyIpv4Text(ntohl(net), buf, size);
  }
}

uint16_t PolicyRule::evaluate(oxlo_module *module, const PolicyFlowFacts &flow,
                              const uint8_t *srcAddr, const uint8_t *dstAddr,
                              bool localIsSource) const {
  uint16_t result = defaultMarker;
  const uint8_t *remote = localIsSource ? dstAddr : srcAddr;
  char text[64] = "";
  if (remote) remoteText(remote, flow.ipv6, text, sizeof(text));

  if (!countries.empty() || !continents.empty()) {
    char country[8] = "", continent[32] = "";
    if (policyGeoCountry(module, text, country, sizeof(country), continent, sizeof(continent)) == 0) {
      if (!countries.empty() && country[0]) {
        auto it = countries.find(policyCountryKey(country));
        if (it != countries.end()) {
          result = it->second;
          if (result == MARKER_DROP) return MARKER_DROP;
        }
      }
      if (!continents.empty() && continent[0]) {
        auto it = continents.find(policyContinentId(continent));
        if (it != continents.end()) {
          result = it->second;
          if (result == MARKER_DROP) return MARKER_DROP;
        }
      }
    }
  }

  if (!asns.empty()) {
    uint32_t asn = 0;
    if (policyGeoAsn(module, text, &asn) == 0 && asn != 0) {
      auto it = asns.find(asn);
      if (it != asns.end()) {
        result = it->second;
        if (result == MARKER_DROP) return MARKER_DROP;
      }
    }
  }

  if (riskBitmap & flow.riskMask) {
    result = riskMarker;
    if (result == MARKER_DROP) return MARKER_DROP;
  }

  if (hostNames) {
    // Each host name the flow carried is matched, and the strictest marker
    // wins: drop over a packet mark over pass (between two marks, the one of
    // the earlier name). A request naming an allowed host beside a dropped
    // one is dropped, whichever of them the server takes.
    auto strictness = [](uint32_t marker) {
      return marker == MARKER_DROP ? 3 : marker == MARKER_PASS ? 1 : 2;
    };
    uint32_t best = 0;
    auto consider = [&](const char *name) {
      uint32_t marker = 0;
      if (hostNameMarker(name, &marker) && (best == 0 || strictness(marker) > strictness(best)))
        best = marker;
    };
    consider(flow.hostName);
    for (uint8_t i = 0; i < flow.otherHostCount && i < OXLO_HOST_CANDIDATES; i++)
      consider(flow.otherHosts[i]);
    if (best == MARKER_DROP) return MARKER_DROP;
    if (best != 0) result = (uint16_t)best;
  }

  if (!protocols.empty() && flow.app != 0) {
    auto it = protocols.find(flow.app);
    if (it != protocols.end()) return it->second;
    if (flow.master != 0) {
      it = protocols.find(flow.master);
      if (it != protocols.end()) return it->second;
    }
  }

  if (!categories.empty() && flow.category != 0) {
    auto it = categories.find((uint16_t)flow.category);
    if (flow.category <= LAST_CATEGORY && it != categories.end()) return it->second;
  }

  return result;
}
