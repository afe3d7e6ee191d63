/* Small text helpers of the rule parsers. */
#ifndef VESK_POLICY_TEXT_H
#define VESK_POLICY_TEXT_H

#include <cstdint>

// MAC key: the six bytes as a little-endian 48-bit number (0 for NULL).
// policyParseMacKey reads "%02X:%02X:%02X:%02X:%02X:%02X" (either case) and
// gives 0 when the text does not parse.
uint64_t policyParseMacKey(const char *text);
uint64_t policyMacKey(const uint8_t *mac);
// First letter * 256 + second letter; 0 for texts longer than two.
uint16_t policyCountryKey(const char *text);
// 1 Africa, 2 Asia, 3 Europe (and other A- names), 4 North, 5 South, 0 else.
uint8_t policyContinentId(const char *text);
// Dotted text of a host-order IPv4 value; standard text of 16 IPv6 bytes
// (empty on failure). Both return the buffer.
char *policyIpv4Text(uint32_t hostOrderAddress, char *buffer, uint32_t size);
char *policyIpv6Text(const uint8_t *address, char *buffer, uint32_t size);

#endif
