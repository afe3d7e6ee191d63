/* Small text helpers of the rule parsers: MAC, country and continent keys,
 * address texts. */
#include "PolicyText.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>

uint64_t policyParseMacKey(const char *text) {
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
  return policyMacKey(mac);
}

uint64_t policyMacKey(const uint8_t *mac) {
  uint64_t key = 0;
  if (!mac) return 0;
  for (int i = 5; i >= 0; i--) key = (key << 8) | mac[i];
  return key;
}

uint16_t policyCountryKey(const char *text) {
  if (!text || strlen(text) > 2) return 0;
  return (uint16_t)(((unsigned char)text[0] << 8) | (text[0] ? (unsigned char)text[1] : 0));
}

uint8_t policyContinentId(const char *text) {
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

char *policyIpv4Text(uint32_t hostOrderAddress, char *buffer, uint32_t size) {
  if (!buffer || size == 0) return buffer;
  snprintf(buffer, size, "%u.%u.%u.%u", (hostOrderAddress >> 24) & 0xFF,
           (hostOrderAddress >> 16) & 0xFF, (hostOrderAddress >> 8) & 0xFF,
           hostOrderAddress & 0xFF);
  return buffer;
}

char *policyIpv6Text(const uint8_t *address, char *buffer, uint32_t size) {
  if (!buffer || size == 0) return buffer;
  if (!address || !inet_ntop(AF_INET6, address, buffer, size)) buffer[0] = '\0';
  return buffer;
}
