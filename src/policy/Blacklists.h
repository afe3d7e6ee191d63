/* IP addresses and prefixes from lists downloaded from the URLs a rules
 * file names, in two patricia trees; answers whether an address is covered. */
#ifndef VESK_BLACKLISTS_H
#define VESK_BLACKLISTS_H

#include <atomic>
#include <cstdint>

#include "oxlo_patricia.h"

class Blacklists {
 public:
  Blacklists();
  ~Blacklists();
  Blacklists(const Blacklists &) = delete;
  Blacklists &operator=(const Blacklists &) = delete;

  // Fetches the list into a temporary file and loads it; false when the
  // download fails (HTTP errors, time-outs, a list over kMaxListBytes and
  // any scheme but http and https included), when abort becomes true while
  // it runs (within about 100 ms), or when nothing loads.
  bool download(const char *url, const std::atomic<bool> *abort = nullptr);
  // Largest list downloaded by default.
  static const long long kMaxListBytes = 64LL * 1024 * 1024;
  void setMaxBytes(long long bytes) { maxBytes = bytes; }
  // Whether a URL names a scheme that is downloaded (http, https).
  static bool urlAllowed(const char *url);
  // True when the file could be opened; adds every address in it.
  bool loadFile(const char *path);
  // One address text with an optional "/length"; false when refused.
  bool add(const char *text);
  bool remove(const char *text);
  // ipVersion 4: the first four of the 16 bytes, network order; 6: all 16.
  bool contains(const uint8_t *address, int ipVersion) const;
  bool containsText(const char *text) const;

  // Time-outs of a download, in seconds (connect, whole transfer).
  void setTimeouts(long connectSeconds, long totalSeconds) {
    connectTimeout = connectSeconds;
    totalTimeout = totalSeconds;
  }

 private:
  oxlo_patricia_tree *ipv4, *ipv6;
  long connectTimeout, totalTimeout;
  long long maxBytes = kMaxListBytes;
};

#endif
