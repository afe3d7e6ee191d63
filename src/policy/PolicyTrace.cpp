#include "PolicyTrace.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

static std::atomic<PolicyTrace *> theTrace{nullptr};
static std::once_flag traceOnce;

// Mute depth of this thread (see PolicyTrace::Muted).
static thread_local unsigned muted = 0;

// A log line is one line of text whatever a message quotes: control bytes
// (a newline or escape sequence from a pushed file, say) become "\xNN".
static void escapeControls(const char *in, char *out, size_t size) {
  size_t o = 0;
  for (; *in && o + 1 < size; in++) {
    unsigned char c = static_cast<unsigned char>(*in);
    if (c >= 0x20 && c != 0x7F) {
      out[o++] = static_cast<char>(c);
    } else if (o + 5 < size) {
      snprintf(out + o, 5, "\\x%02X", c);
      o += 4;
    } else {
      break;
    }
  }
  out[o] = '\0';
}

PolicyTrace::PolicyTrace() : level(2) {}

PolicyTrace::Muted::Muted() { muted++; }
PolicyTrace::Muted::~Muted() { muted--; }

std::string PolicyTrace::printable(const char *text, size_t maxChars) {
  std::string out;
  if (!text) return out;
  size_t i = 0;
  for (; text[i] && i < maxChars; i++) {
    unsigned char c = (unsigned char)text[i];
    if (c < 0x20 || c > 0x7E || c == '\\') {
      char hex[5];
      snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    } else {
      out += (char)c;
    }
  }
  if (text[i]) out += "...";
  return out;
}

void PolicyTrace::setLevel(unsigned newLevel) { level = newLevel >= 10 ? 9 : newLevel; }

PolicyTrace *PolicyTrace::instance() {
  std::call_once(traceOnce, [] { theTrace.store(new PolicyTrace()); });
  return theTrace.load();
}

PolicyTrace *PolicyTrace::existing() { return theTrace.load(); }

void PolicyTrace::log(int msgLevel, const char *file, int line, const char *format, ...) {
  if (level == 0 || msgLevel > level || muted) return;

  const char *slash = file ? strrchr(file, '/') : nullptr;
  const char *base = slash ? slash + 1 : (file ? file : "");

  char message[8192];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  size_t len = strlen(message);
  while (len > 0 && message[len - 1] == '\n') message[--len] = '\0';
  char escaped[8192];
  escapeControls(message, escaped, sizeof(escaped));

  char stamp[64];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof(stamp), "%d/%b/%Y %H:%M:%S", &local);

  const char *prefix = msgLevel == 0 ? "ERROR: " : (msgLevel == 1 ? "WARNING: " : "");
  char out[8592];
  int n = snprintf(out, sizeof(out) - 1, "%s [%s:%d] %s%s", stamp, base, line, prefix, escaped);
  if (n < 0) return;
  size_t outLen = (size_t)n < sizeof(out) - 2 ? (size_t)n : sizeof(out) - 2;
  out[outLen] = '\n';
  fwrite(out, 1, outLen + 1, stdout);
  fflush(stdout);

  if (msgLevel == 0 || msgLevel == 1) {
    out[outLen] = '\0';
    const char *fromBracket = out + strlen(stamp) + 1;
    syslog(msgLevel == 0 ? LOG_ERR : LOG_WARNING, "%s", fromBracket);
  }
}
