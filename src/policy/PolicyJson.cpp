#include "PolicyJson.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "PolicyError.h"
#include "PolicyText.h"

bool policyLeadingUnsigned(const char *text, uint64_t max, uint64_t *out) {
  if (!text || *text < '0' || *text > '9') return false;
  uint64_t v = 0;
  for (const char *p = text; *p >= '0' && *p <= '9'; p++) {
    unsigned d = (unsigned)(*p - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

uint16_t policyJsonPolicyId(json_object *line) {
  json_object *policy, *value;
  uint64_t number;
  if (!json_object_object_get_ex(line, "policy", &policy))
    throw PolicyError("Missing 'policy' token");
  if (!json_object_object_get_ex(policy, "id", &value))
    throw PolicyError("Missing 'policy.id' token");
  if (!policyJsonUnsigned(value, UINT16_MAX, &number))
    throw PolicyError("Invalid 'policy.id' value");
  return static_cast<uint16_t>(number);
}

bool policyJsonUnsigned(json_object *value, uint64_t max, uint64_t *out) {
  if (!value) return false;
  if (json_object_is_type(value, json_type_string)) {
    // Numbers written as texts ("3") are read too, when they are digits only.
    const char *s = json_object_get_string(value);
    for (const char *p = s; *p; p++)
      if (*p < '0' || *p > '9') return false;
    return policyLeadingUnsigned(s, max, out);
  }
  if (json_object_get_type(value) != json_type_int) return false;
  // json-c keeps integers beyond INT64_MAX as unsigned; negative ones as signed.
  if (json_object_get_int64(value) < 0) return false;
  uint64_t u = json_object_get_uint64(value);
  if (u > max) return false;
  *out = u;
  return true;
}

std::string policyJsonText(json_object *value) {
  if (!value) return std::string();
  const char *s = json_object_to_json_string_ext(
      value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  return s ? std::string(s) : std::string();
}

bool policyParseMac(const char *text, uint64_t *key) {
  if (!text || strlen(text) != 17) return false;
  uint8_t mac[6];
  for (int i = 0; i < 6; i++) {
    const char *p = text + 3 * i;
    if (!isxdigit((unsigned char)p[0]) || !isxdigit((unsigned char)p[1])) return false;
    if (i < 5 && p[2] != ':') return false;
    char pair[3] = {p[0], p[1], '\0'};
    mac[i] = (uint8_t)strtoul(pair, nullptr, 16);
  }
  *key = policyMacKey(mac);
  return true;
}
