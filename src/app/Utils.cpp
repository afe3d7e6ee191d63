#include "Utils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <curl/curl.h>

#include "Trace.h"
#include "oxlo_digest.h"

#ifndef VESK_PUBLIC_ADDRESS_URL
#define VESK_PUBLIC_ADDRESS_URL ""
#endif

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

// The echo page answers with the address after the first ": " and before the
// next '<' (e.g. "<body>Current IP Address: 192.0.2.7</body>").
static size_t publicAddressChunk(char *data, size_t size, size_t count, void *user) {
  size_t len = size * count;
  char *out = static_cast<char *>(user);
  const char *colon = static_cast<const char *>(memchr(data, ':', len));
  if (colon) {
    const char *p = colon + 1;
    const char *end = data + len;
    if (p < end && *p == ' ') p++;
    const char *stop = static_cast<const char *>(memchr(p, '<', static_cast<size_t>(end - p)));
    if (!stop) stop = end;
    size_t n = static_cast<size_t>(stop - p);
    if (n > 31) n = 31;
    memcpy(out, p, n);
    out[n] = '\0';
  }
  return len;
}

// Short time-outs: without a network the lookup fails at once and start-up
// goes on with an empty public address.
void Utils::fetchPublicAddress(char buffer[32]) {
  const char *url = VESK_PUBLIC_ADDRESS_URL;
  if (!url[0]) return;
  CURL *curl = curl_easy_init();
  if (!curl) return;
  char found[32] = "";
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 2L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, publicAddressChunk);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, found);
  if (curl_easy_perform(curl) == CURLE_OK && found[0]) memcpy(buffer, found, sizeof(found));
  curl_easy_cleanup(curl);
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
  oxlo_sha256_digest(reinterpret_cast<const uint8_t *>(joined), used, digest);

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

bool Utils::hexToBytes(const char *hex, size_t length, uint8_t *out, size_t outSize) {
  size_t bytes = length / 2;
  if (outSize < bytes) return false;
  for (size_t i = 0; i < bytes; i++) {
    char pair[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
    if (!isxdigit(static_cast<unsigned char>(pair[0])) ||
        !isxdigit(static_cast<unsigned char>(pair[1])))
      return false;
    out[i] = static_cast<uint8_t>(strtoul(pair, nullptr, 16));
  }
  if (bytes < outSize) out[bytes] = '\0';
  return true;
}

void Utils::sanitize(char *text, bool strict, bool allowDoubleSlash) {
  static const char *const patterns[] = {
      "<?import", "<applet", "<base", "<embed", "<frame", "<iframe", "<implementation",
      "<import", "<link", "<meta", "<object", "<script", "<style", "charset", "classid", "code",
      "codetype", "href", "http-equiv", "javascript:", "vbscript:", "vmlframe", "xlink:href", "="};
  if (!text) return;
  if (strict) {
    for (const char *pattern : patterns) {
      if (strstr(text, pattern)) {
        VESK_LOG(TRACE_WARNING, "Found possible XSS attempt: %s [%s]", text, pattern);
        text[0] = '\0';
        return;
      }
    }
  }
  for (size_t i = 0; text[i]; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool twoBytes = false;
    bool keep;
    if (strict) {
      keep = isalnum(c) || c == '_' || c == '@';
    } else {
      unsigned code = c;
      if (c == 0xC3 && text[i + 1]) {
        code = static_cast<unsigned char>(text[i + 1]) | 0x40;
        twoBytes = true;
      }
      keep = (code >= 192 || isprint(static_cast<int>(code))) && code != '"' && code != '<' &&
             code != '>';
    }
    if (!keep) text[i] = '_';
    if (twoBytes) i++;
    if (i > 0) {
      char a = text[i - 1], b = text[i];
      if ((a == '.' && b == '.') || (a == '\\' && b == '\\') ||
          (!allowDoubleSlash && a == '/' && b == '/'))
        text[i - 1] = text[i] = '_';
    }
  }
}
