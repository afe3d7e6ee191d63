// Small host services of the application: identity, address and MAC texts,
// the built-in default policy and temporary rules files.
#ifndef VESK_UTILS_H
#define VESK_UTILS_H

#include <cstddef>
#include <cstdint>

class Utils {
 public:
  // IPv4 address (network byte order) used to reach the outside; 127.0.0.1
  // when the host has no route.
  static uint32_t localAddress();
  static void fetchPublicAddress(char buffer[32]);
  static void computeIdentity(int argc, char **argv, uint32_t localAddress, char *uuid,
                              size_t uuidSize, uint32_t *uniqueSourceId);
  static void uuidText(const uint8_t digest[32], char *buffer, size_t size);

  static char *ipv4Text(uint32_t address, char *buffer, size_t size);
  static char *ipv6Text(const uint8_t address[16], char *buffer, size_t size);
  static char *addressText(uint8_t ipVersion, const void *address, char *buffer, size_t size);
  static char *macText(const uint8_t *mac, char *buffer, size_t size);

  static const char *defaultPolicy();
  // Writes the text to a new "/tmp/vesk-XXXXXX" file; the caller deletes it.
  static bool writeTempFile(const char *text, char path[32]);

  // Reads each pair of hexadecimal digits as one byte; a NUL follows the
  // bytes when there is room. False when the output is too small or a pair
  // is not hexadecimal.
  static bool hexToBytes(const char *hex, size_t length, uint8_t *out, size_t outSize);
  // Cleans the text in place: strict mode keeps only letters, digits, '_'
  // and '@' (and empties texts that look like markup injection); otherwise
  // unprintable characters and '"', '<', '>' become '_'. Doubled '.', '\\'
  // and (unless allowed) '/' become "__".
  static void sanitize(char *text, bool strict, bool allowDoubleSlash);
};

#endif
