#include "Log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

Log *trace = nullptr;

static const size_t kMessageSize = 4096;
static const size_t kLineSize = 8250;  // at most 8,249 characters a line
static const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Mute depth of this thread (see Log::Muted).
static thread_local unsigned muted = 0;

Log::Muted::Muted() { muted++; }
Log::Muted::~Muted() { muted--; }

Log::Log() : level_(TRACE_NORMAL), utcOffset_(0) {
  time_t now = time(nullptr);
  struct tm tm;
  if (localtime_r(&now, &tm)) utcOffset_ = tm.tm_gmtoff;
}

void Log::setLevel(unsigned level) { level_ = static_cast<uint8_t>(level > 9 ? 9 : level); }

Log *Log::instance() {
  static std::mutex creating;
  std::lock_guard<std::mutex> guard(creating);
  if (!trace) trace = new Log();
  return trace;
}

std::string Log::printable(const char *text, size_t maxChars) {
  std::string out;
  if (!text) return out;
  size_t i = 0;
  for (; text[i] && i < maxChars; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c > 0x7E || c == '\\') {
      char hex[5];
      snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text[i]) out += "...";
  return out;
}

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

static const char *baseName(const char *path) {
  if (!path) return "";
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

static const char *prefixOf(int level) {
  if (level == TRACE_ERROR) return "ERROR: ";
  if (level == TRACE_WARNING) return "WARNING: ";
  return "";
}

void Log::log(int level, const char *file, int line, const char *format, ...) {
  uint8_t current = getLevel();
  if (current == 0 || current < level || muted) return;

  char message[kMessageSize];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  size_t len = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof(message) ? n : sizeof(message) - 1);
  message[len] = '\0';
  while (len > 0 && message[len - 1] == '\n') message[--len] = '\0';
  char escaped[kMessageSize];
  escapeControls(message, escaped, sizeof(escaped));

  char stamp[64];
  time_t now = time(nullptr);
  struct tm tm;
  if (localtime_r(&now, &tm)) {
    strftime(stamp, sizeof(stamp), "%d/%b/%Y %H:%M:%S", &tm);
    utcOffset_.store(tm.tm_gmtoff, std::memory_order_relaxed);
  } else {
    stamp[0] = '\0';
  }

  // The newline is part of the buffer so the whole line goes out in one write.
  char out[kLineSize + 1];
  int w = snprintf(out, kLineSize, "%s [%s:%d] %s%s", stamp, baseName(file), line,
                   prefixOf(level), escaped);
  size_t outLen = w < 0 ? 0 : (static_cast<size_t>(w) < kLineSize ? w : kLineSize - 1);
  out[outLen] = '\n';
  fwrite(out, 1, outLen + 1, stdout);
  fflush(stdout);

  if (level <= TRACE_WARNING) {
    out[outLen] = '\0';
    const char *bracket = strchr(out, '[');
    syslog(level == TRACE_ERROR ? LOG_ERR : LOG_WARNING, "%s", bracket ? bracket : out);
  }
}

// Minimal formatting helpers for the signal-safe path.
static size_t putText(char *buf, size_t pos, size_t cap, const char *text) {
  while (*text && pos < cap) buf[pos++] = *text++;
  return pos;
}

static size_t putNumber(char *buf, size_t pos, size_t cap, long value, int width) {
  char digits[24];
  int n = 0;
  bool negative = value < 0;
  unsigned long v = negative ? -static_cast<unsigned long>(value) : value;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v && n < 23);
  while (n < width && n < 23) digits[n++] = '0';
  if (negative && pos < cap) buf[pos++] = '-';
  while (n > 0 && pos < cap) buf[pos++] = digits[--n];
  return pos;
}

void Log::logFromSignal(int level, const char *file, int line, const char *message) const {
  uint8_t current = getLevel();
  if (current == 0 || current < level) return;

  // Civil date from days since the epoch (proleptic Gregorian calendar).
  long secs = static_cast<long>(time(nullptr)) + utcOffset_.load(std::memory_order_relaxed);
  long days = secs / 86400, rem = secs % 86400;
  if (rem < 0) { rem += 86400; days--; }
  long z = days + 719468;
  long era = (z >= 0 ? z : z - 146096) / 146097;
  long doe = z - era * 146097;
  long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long mp = (5 * doy + 2) / 153;
  long day = doy - (153 * mp + 2) / 5 + 1;
  long month = mp < 10 ? mp + 3 : mp - 9;
  long year = yoe + era * 400 + (month <= 2);

  char out[512];
  const size_t cap = sizeof(out) - 1;
  size_t pos = putNumber(out, 0, cap, day, 2);
  pos = putText(out, pos, cap, "/");
  pos = putText(out, pos, cap, kMonths[month - 1]);
  pos = putText(out, pos, cap, "/");
  pos = putNumber(out, pos, cap, year, 4);
  pos = putText(out, pos, cap, " ");
  pos = putNumber(out, pos, cap, rem / 3600, 2);
  pos = putText(out, pos, cap, ":");
  pos = putNumber(out, pos, cap, rem / 60 % 60, 2);
  pos = putText(out, pos, cap, ":");
  pos = putNumber(out, pos, cap, rem % 60, 2);
  pos = putText(out, pos, cap, " [");
  pos = putText(out, pos, cap, baseName(file));
  pos = putText(out, pos, cap, ":");
  pos = putNumber(out, pos, cap, line, 1);
  pos = putText(out, pos, cap, "] ");
  pos = putText(out, pos, cap, prefixOf(level));
  pos = putText(out, pos, cap, message);
  out[pos++] = '\n';
  ssize_t rc = write(STDOUT_FILENO, out, pos);
  (void)rc;
}

void Log::startupError(const char *file, int line, const char *format, ...) {
  char message[kMessageSize];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  log(TRACE_ERROR, file, line, "%s", message);
  char escaped[kMessageSize];
  escapeControls(message, escaped, sizeof(escaped));
  fflush(stdout);
  fprintf(stderr, "vesk: %s\n", escaped);
  fflush(stderr);
}
