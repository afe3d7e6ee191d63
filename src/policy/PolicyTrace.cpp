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

PolicyTrace::PolicyTrace() : level(2) {}

void PolicyTrace::setLevel(unsigned newLevel) { level = newLevel >= 10 ? 9 : newLevel; }

PolicyTrace *PolicyTrace::instance() {
  std::call_once(traceOnce, [] { theTrace.store(new PolicyTrace()); });
  return theTrace.load();
}

PolicyTrace *PolicyTrace::existing() { return theTrace.load(); }

void PolicyTrace::log(int msgLevel, const char *file, int line, const char *format, ...) {
  if (level == 0 || msgLevel > level) return;

  const char *slash = file ? strrchr(file, '/') : nullptr;
  const char *base = slash ? slash + 1 : (file ? file : "");

  char message[8192];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  size_t len = strlen(message);
  while (len > 0 && message[len - 1] == '\n') message[--len] = '\0';

  char stamp[64];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof(stamp), "%d/%b/%Y %H:%M:%S", &local);

  const char *prefix = msgLevel == 0 ? "ERROR: " : (msgLevel == 1 ? "WARNING: " : "");
  char out[8592];
  int n = snprintf(out, sizeof(out) - 1, "%s [%s:%d] %s%s", stamp, base, line, prefix, message);
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
