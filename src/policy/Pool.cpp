#include "Pool.h"

#include <arpa/inet.h>

#include <cstring>

#include "Log.h"
#include "PolicyError.h"
#include "PolicyJson.h"

static void appendTexts(json_object *array, std::vector<std::string> *out) {
  size_t n = json_object_array_length(array);
  for (size_t i = 0; i < n; i++) {
    const char *s = json_object_get_string(json_object_array_get_idx(array, i));
    out->push_back(s ? s : "");
  }
}

Pool::Pool(json_object *line) : id(0), policyId(0) {
  json_object *pool, *value;
  uint64_t number;

  if (!json_object_object_get_ex(line, "pool", &pool)) throw PolicyError("Missing 'pool' token");
  if (!json_object_object_get_ex(pool, "id", &value)) throw PolicyError("Missing 'pool.id' token");
  if (!policyJsonUnsigned(value, UINT16_MAX, &number)) throw PolicyError("Invalid 'pool.id' value");
  id = (uint16_t)number;

  if (json_object_object_get_ex(pool, "name", &value)) name = policyJsonText(value);

  bool haveList = false;
  if (json_object_object_get_ex(pool, "mac", &value) && json_object_is_type(value, json_type_array)) {
    appendTexts(value, &macs);
    haveList = true;
  }
  if (json_object_object_get_ex(pool, "ip", &value) && json_object_is_type(value, json_type_array)) {
    appendTexts(value, &addresses);
    haveList = true;
  }
  if (!haveList) throw PolicyError("You need to specify 'pool.ip' and/or 'pool.mac' tokens");

  policyId = policyJsonPolicyId(line);
}

// The prefix length after '/', or -1 when there is none or it is not a
// plain decimal number that fits an int.
static int prefixLength(const char *text) {
  uint64_t v;
  if (!text || !policyLeadingUnsigned(text, 100000, &v)) return -1;
  return (int)v;
}

void Pool::members(std::vector<uint64_t> *macKeys, std::vector<Network> *networks) const {
  for (const std::string &mac : macs) {
    uint64_t key;
    // A MAC that does not parse must not become key 0: that is the key of
    // every flow whose MAC is unknown, so the entry would capture them all.
    if (!policyParseMac(mac.c_str(), &key)) {
      VESK_LOG(TRACE_WARNING, "Invalid MAC format %s: skipping", mac.c_str());
      continue;
    }
    macKeys->push_back(key);
  }

  for (const std::string &text : addresses) {
    char buf[64];
    // No address with its prefix is this long: cutting the text could turn
    // it into a different, valid prefix, so it is refused whole.
    if (text.size() >= sizeof(buf)) {
      VESK_LOG(TRACE_WARNING, "Invalid %s format %s: skipping",
               text.find('.') != std::string::npos ? "IPv4" : "IPv6", text.c_str());
      continue;
    }
    snprintf(buf, sizeof(buf), "%s", text.c_str());
    char *slash = strchr(buf, '/');
    int bits = -1;
    if (slash) {
      *slash = '\0';
      bits = prefixLength(slash + 1);
    }

    Network net = {};
    uint8_t *addr = net.address;
    int family;
    if (strchr(buf, '.')) {
      if (inet_pton(AF_INET, buf, addr) != 1) {
        VESK_LOG(TRACE_WARNING, "Invalid IPv4 format %s: skipping", buf);
        continue;
      }
      family = 4;
      if (bits < 1 || bits > 32) bits = 32;
    } else {
      if (inet_pton(AF_INET6, buf, addr) != 1) {
        VESK_LOG(TRACE_WARNING, "Invalid IPv6 format %s: skipping", buf);
        continue;
      }
      family = 6;
      if (bits < 1 || bits > 127) bits = 128;
    }

    net.family = family;
    net.bits = (uint8_t)bits;
    networks->push_back(net);
  }
}
