// The application's log: one trace level, one line per call on standard
// output, errors and warnings also to syslog.
#ifndef VESK_TRACE_H
#define VESK_TRACE_H

#include <atomic>
#include <cstdint>

#define TRACE_ERROR 0
#define TRACE_WARNING 1
#define TRACE_NORMAL 2
#define TRACE_DEBUG 3

class Trace {
 public:
  Trace();

  // Values of 10 and above are stored as 9.
  void setLevel(uint8_t level);
  uint8_t getLevel() const { return level_.load(std::memory_order_relaxed); }

  void log(uint8_t level, const char *file, int line, const char *format, ...)
      __attribute__((format(printf, 5, 6)));

  // An error that stops start-up: logged like any error, and written on
  // standard error as "vesk: <message>" for whoever started the program.
  void startupError(const char *file, int line, const char *format, ...)
      __attribute__((format(printf, 4, 5)));

  // For signal handlers: formats and writes one line using only
  // async-signal-safe calls (no stdio, no locale, no syslog).
  void logFromSignal(uint8_t level, const char *file, int line, const char *message) const;

 private:
  std::atomic<uint8_t> level_;
  // Offset of local time from UTC, refreshed by every ordinary log call so
  // that the signal-safe path can print local time without the tz machinery.
  std::atomic<long> utcOffset_;
};

// The one process-wide log object, created first thing by main.
extern Trace *trace;

// Log calls go through these, so that every line names its own file and line.
#define VESK_LOG(level, ...) trace->log(level, __FILE__, __LINE__, __VA_ARGS__)
#define VESK_STARTUP_ERROR(...) trace->startupError(__FILE__, __LINE__, __VA_ARGS__)
#define VESK_LOG_FROM_SIGNAL(level, message) \
  trace->logFromSignal(level, __FILE__, __LINE__, message)

#endif
