#include "Utils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

uint32_t Utils::localAddress() {
  uint32_t address = htonl(INADDR_LOOPBACK);
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return address;
  // Connecting a UDP socket only picks a route; no packet is sent.
  struct sockaddr_in peer {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(53);
  peer.sin_addr.s_addr = inet_addr("9.9.9.9");
  struct sockaddr_in self {};
  socklen_t len = sizeof(self);
  if (connect(sock, reinterpret_cast<struct sockaddr *>(&peer), sizeof(peer)) == 0 &&
      getsockname(sock, reinterpret_cast<struct sockaddr *>(&self), &len) == 0)
    address = self.sin_addr.s_addr;
  close(sock);
  return address;
}

// STAND-IN: the public-address lookup is not built yet; the address stays
// unknown (empty text).
void Utils::fetchPublicAddress(char buffer[32]) { (void)buffer; }

// STAND-IN digest: spreads a 64-bit FNV-1a hash of the text over 32 bytes. It
// keeps the identity stable for a given command line until the engine's
// SHA-256 is available to compute it properly.
static void standInDigest(const char *text, uint8_t digest[32]) {
  uint64_t h = 1469598103934665603ULL;
  for (const char *p = text; *p; p++) h = (h ^ static_cast<uint8_t>(*p)) * 1099511628211ULL;
  for (int i = 0; i < 32; i++) {
    h = (h ^ static_cast<uint64_t>(i)) * 1099511628211ULL;
    digest[i] = static_cast<uint8_t>(h >> 56);
  }
}

void Utils::computeIdentity(int argc, char **argv, uint32_t localAddress, char *uuid,
                            size_t uuidSize, uint32_t *uniqueSourceId) {
  char joined[4096];
  size_t used = 0;
  joined[0] = '\0';
  for (int i = 0; i < argc && used < sizeof(joined) - 1; i++) {
    size_t n = strlen(argv[i]);
    if (n > sizeof(joined) - 1 - used) n = sizeof(joined) - 1 - used;
    memcpy(joined + used, argv[i], n);
    used += n;
    joined[used] = '\0';
  }
  uint8_t digest[32];
  standInDigest(joined, digest);

  uint32_t id = localAddress;
  for (int i = 0, k = 1; i < 32; i++) {
    id += static_cast<uint32_t>(digest[i]) << k;
    k = k == 15 ? 1 : k + 1;
  }
  *uniqueSourceId = id;
  uuidText(digest, uuid, uuidSize);
}

void Utils::uuidText(const uint8_t digest[32], char *buffer, size_t size) {
  if (size < 65) {
    if (size > 0) buffer[0] = '\0';
    return;
  }
  for (int i = 0; i < 32; i++) snprintf(buffer + 2 * i, 3, "%02X", digest[i]);
  buffer[8] = buffer[13] = buffer[18] = buffer[23] = '-';
  buffer[36] = '\0';
}

char *Utils::ipv4Text(uint32_t address, char *buffer, size_t size) {
  snprintf(buffer, size, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
           (address >> 8) & 0xFF, address & 0xFF);
  return buffer;
}

char *Utils::ipv6Text(const uint8_t address[16], char *buffer, size_t size) {
  if (!inet_ntop(AF_INET6, address, buffer, static_cast<socklen_t>(size)) && size > 0)
    buffer[0] = '\0';
  return buffer;
}

char *Utils::addressText(uint8_t ipVersion, const void *address, char *buffer, size_t size) {
  if (ipVersion == 4) {
    uint32_t v;
    memcpy(&v, address, sizeof(v));
    return ipv4Text(v, buffer, size);
  }
  return ipv6Text(static_cast<const uint8_t *>(address), buffer, size);
}

char *Utils::macText(const uint8_t *mac, char *buffer, size_t size) {
  static const uint8_t none[6] = {0, 0, 0, 0, 0, 0};
  if (!mac) mac = none;
  snprintf(buffer, size, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return buffer;
}

const char *Utils::defaultPolicy() {
  return "{ \"pool\": { \"id\":1, \"name\": \"empty pool\", \"ip\":  [ ], \"mac\": [] }, "
         "\"policy\": { \"id\":1 }}\n"
         "{ \"policy\": { \"id\": 1, \"name\": \"pass rule\", \"default_marker\": \"pass\", "
         "\"markers\": { \"categories\": { }, \"protocols\": { }}}}";
}

bool Utils::writeTempFile(const char *text, char path[32]) {
  snprintf(path, 32, "/tmp/vesk-XXXXXX");
  int fd = mkstemp(path);
  if (fd < 0) return false;
  size_t len = strlen(text), done = 0;
  while (done < len) {
    ssize_t n = write(fd, text + done, len - done);
    if (n <= 0) {
      close(fd);
      unlink(path);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  return true;
}
