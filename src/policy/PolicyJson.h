/* Small json-c helpers shared by the rules-file parsers. */
#ifndef VESK_POLICY_JSON_H
#define VESK_POLICY_JSON_H

#include <json-c/json.h>

#include <cstdint>
#include <string>

// A JSON integer (or a text of digits only) of at most `max`. False for
// another type, a negative number or one that does not fit: such numbers
// are refused, never wrapped.
bool policyJsonUnsigned(json_object *value, uint64_t max, uint64_t *out);

// The decimal number at the start of a text (at least one digit; what
// follows the digits is ignored). False when there is no digit or the
// number is above `max`.
bool policyLeadingUnsigned(const char *text, uint64_t max, uint64_t *out);

// The "policy"."id" of a rules line (a policy or a pool line): its number,
// or PolicyError naming the token that is missing or wrong.
uint16_t policyJsonPolicyId(json_object *line);

// A MAC written aa:bb:cc:dd:ee:ff as the key of the MAC maps; false for
// anything else (never key 0, which every flow with an unknown MAC has).
bool policyParseMac(const char *text, uint64_t *key);

// The JSON text of a value (a string keeps its double quotes), "" for NULL.
std::string policyJsonText(json_object *value);

#endif
