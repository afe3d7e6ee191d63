#include "Blacklists.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <unistd.h>

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "Log.h"
#include "PolicyJson.h"

Blacklists::Blacklists() : connectTimeout(10), totalTimeout(120) {
  ipv4 = oxlo_patricia_new(32);
  ipv6 = oxlo_patricia_new(128);
  if (!ipv4 || !ipv6) {
    oxlo_patricia_free(ipv4, nullptr);
    oxlo_patricia_free(ipv6, nullptr);
    throw std::bad_alloc();
  }
}

Blacklists::~Blacklists() {
  oxlo_patricia_free(ipv4, nullptr);
  oxlo_patricia_free(ipv6, nullptr);
}

// Parses "address[/length]" into a prefix of the address's family. No length,
// or a length of 0, means the full address; a length beyond the family's
// bits, or one that is not a number, is refused.
static bool parsePrefix(const char *text, oxlo_prefix *prefix) {
  char buf[64];
  if (!text || strlen(text) >= sizeof(buf)) return false;
  strcpy(buf, text);
  uint64_t bits = 0;
  char *slash = strchr(buf, '/');
  if (slash) {
    *slash = '\0';
    const char *p = slash + 1;
    if (!*p) return false;
    for (const char *q = p; *q; q++)
      if (*q < '0' || *q > '9') return false;
    if (!policyLeadingUnsigned(p, 1000, &bits)) return false;
  }
  if (strchr(buf, ':')) {
    struct in6_addr a;
    if (inet_pton(AF_INET6, buf, &a) != 1 || bits > 128) return false;
    return oxlo_prefix_set_ipv6(prefix, &a, bits ? (int)bits : 128, 128) == 0;
  }
  struct in_addr a;
  if (inet_pton(AF_INET, buf, &a) != 1 || bits > 32) return false;
  return oxlo_prefix_set_ipv4(prefix, &a, bits ? (int)bits : 32, 32) == 0;
}

bool Blacklists::add(const char *text) {
  oxlo_prefix prefix;
  if (!parsePrefix(text, &prefix)) return false;
  return oxlo_patricia_lookup(prefix.family == OXLO_PREFIX_FAMILY_IPV6 ? ipv6 : ipv4, &prefix) != nullptr;
}

bool Blacklists::remove(const char *text) {
  oxlo_prefix prefix;
  if (!parsePrefix(text, &prefix)) return false;
  oxlo_patricia_tree *tree = prefix.family == OXLO_PREFIX_FAMILY_IPV6 ? ipv6 : ipv4;
  oxlo_patricia_node *node = oxlo_patricia_search_exact(tree, &prefix);
  if (!node) return false;
  oxlo_patricia_remove(tree, node);
  return true;
}

bool Blacklists::contains(const uint8_t *address, int ipVersion) const {
  oxlo_prefix prefix;
  if (!address) return false;
  if (ipVersion == 4) {
    if (oxlo_prefix_set_ipv4(&prefix, (const struct in_addr *)address, 32, 32) != 0) return false;
    return oxlo_patricia_search_best_inclusive(ipv4, &prefix) != nullptr;
  }
  if (ipVersion == 6) {
    if (oxlo_prefix_set_ipv6(&prefix, (const struct in6_addr *)address, 128, 128) != 0) return false;
    return oxlo_patricia_search_best_inclusive(ipv6, &prefix) != nullptr;
  }
  return false;
}

bool Blacklists::containsText(const char *text) const {
  uint8_t addr[16] = {0};
  if (!text) return false;
  if (strchr(text, ':')) return inet_pton(AF_INET6, text, addr) == 1 && contains(addr, 6);
  return inet_pton(AF_INET, text, addr) == 1 && contains(addr, 4);
}

bool Blacklists::loadFile(const char *path) {
  FILE *f = fopen(path, "r");
  if (!f) {
    VESK_LOG(TRACE_WARNING, "Unable to open file %s", path);
    return false;
  }
  char *line = nullptr;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, f)) != -1) {
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = '\0';
    if (len == 0 || line[0] == '#') continue;
    char *address = line;
    char *comma = strchr(line, ',');
    if (comma) {
      // The address is the second field; a line with one field is skipped.
      address = comma + 1;
      char *end = strchr(address, ',');
      if (end) *end = '\0';
      if (!*address && !end) continue;
    }
    add(address);
  }
  free(line);
  fclose(f);
  return true;
}

bool Blacklists::urlAllowed(const char *url) {
  return url && (strncasecmp(url, "http://", 7) == 0 || strncasecmp(url, "https://", 8) == 0);
}

namespace {

// Where a download writes, and how much it has written.
struct Sink {
  FILE *file;
  long long written, limit;
  bool tooLarge;
  long long announced;  // the response's Content-Length, -1 when none
};

// Notes the size the server announces, which a refusal names: curl refuses
// a response whose Content-Length is over the limit before its body, and
// tells no size then.
size_t readHeader(char *data, size_t size, size_t count, void *user) {
  Sink *sink = static_cast<Sink *>(user);
  size_t n = size * count;
  std::string line(data, n);
  if (line.compare(0, 5, "HTTP/") == 0) sink->announced = -1;  // a new response (redirect)
  static const char kName[] = "content-length:";
  if (n > sizeof(kName) - 1 && strncasecmp(line.c_str(), kName, sizeof(kName) - 1) == 0) {
    char *end = nullptr;
    long long v = strtoll(line.c_str() + sizeof(kName) - 1, &end, 10);
    if (end && v >= 0) sink->announced = v;
  }
  return n;
}

size_t writeCapped(char *data, size_t size, size_t count, void *user) {
  Sink *sink = static_cast<Sink *>(user);
  size_t n = size * count;
  if (sink->written + (long long)n > sink->limit) {
    sink->tooLarge = true;
    return 0;  // ends the transfer with a write error
  }
  sink->written += (long long)n;
  return fwrite(data, 1, n, sink->file);
}

// Runs one transfer to its end, or until abort is set.
CURLcode perform(CURL *curl, const std::atomic<bool> *abort) {
  CURLM *multi = curl_multi_init();
  if (!multi) return CURLE_OUT_OF_MEMORY;
  curl_multi_add_handle(multi, curl);
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;
  int running = 1;
  while (running && !(abort && abort->load())) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    if (!running) break;
    curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  int left;
  while (CURLMsg *msg = curl_multi_info_read(multi, &left))
    if (msg->msg == CURLMSG_DONE) result = msg->data.result;
  curl_multi_remove_handle(multi, curl);
  curl_multi_cleanup(multi);
  return result;
}

}  // namespace

bool Blacklists::download(const char *url, const std::atomic<bool> *abort) {
  if (!urlAllowed(url)) {
    VESK_LOG(TRACE_WARNING, "Skipping blacklist %s: only http and https URLs are downloaded",
             Log::printable(url).c_str());
    return false;
  }
  CURL *curl = curl_easy_init();
  if (!curl) {
    VESK_LOG(TRACE_ERROR, "Unable to init curl");
    return false;
  }
  char path[] = "/tmp/ipset_tempfile-XXXXXX";
  int fd = mkstemp(path);
  FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (!f) {
    VESK_LOG(TRACE_ERROR, "Unable to open temporary file %s", path);
    if (fd >= 0) {
      close(fd);
      unlink(path);
    }
    curl_easy_cleanup(curl);
    return false;
  }

  VESK_LOG(TRACE_NORMAL, "Downloading %s...", url);
  Sink sink = {f, 0, maxBytes, false, -1};
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeCapped);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, readHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // A rules file may come from the network: never read local files or
  // other schemes, also not through a redirect.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, (curl_off_t)maxBytes);
  // An error page is not a list, and a stalled server must not hang the load.
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectTimeout);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, totalTimeout);
  CURLcode rc = perform(curl, abort);
  curl_easy_cleanup(curl);
  bool written = fclose(f) == 0;

  bool ok = false;
  if (rc == CURLE_OK && written) {
    ok = loadFile(path);
  } else {
    VESK_LOG(TRACE_ERROR, "Error while downloading %s", url);
    if (sink.announced > maxBytes)
      VESK_LOG(TRACE_WARNING,
               "Download of %s refused: the server announces %lld bytes, more than the limit "
               "of %lld bytes", url, sink.announced, maxBytes);
    else if (sink.tooLarge || rc == CURLE_FILESIZE_EXCEEDED)
      VESK_LOG(TRACE_WARNING, "Download of %s stopped: list larger than %lld bytes", url,
               maxBytes);
    else if (rc != CURLE_OK)
      VESK_LOG(TRACE_DEBUG, "Download failure: %s", curl_easy_strerror(rc));
  }
  unlink(path);
  return ok;
}
