// The process's log, shared by the firewall and the policy library: one
// trace level, one line per call on standard output ("time [file:line]
// PREFIXmessage"), errors and warnings also to syslog.
#ifndef VESK_LOG_H
#define VESK_LOG_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#define TRACE_ERROR 0
#define TRACE_WARNING 1
#define TRACE_NORMAL 2
#define TRACE_DEBUG 3

class Log {
 public:
  // Level TRACE_NORMAL.
  Log();

  // Values of 10 and above are stored as 9; 0 silences everything.
  void setLevel(unsigned level);
  uint8_t getLevel() const { return level_.load(std::memory_order_relaxed); }

  // Writes the line when `level` is not above the trace level and the
  // calling thread is not muted.
  void log(int level, const char *file, int line, const char *format, ...)
      __attribute__((format(printf, 5, 6)));

  // An error that stops start-up: logged like any error, and written on
  // standard error as "vesk: <message>" for whoever started the program.
  void startupError(const char *file, int line, const char *format, ...)
      __attribute__((format(printf, 4, 5)));

  // For signal handlers: formats and writes one line using only
  // async-signal-safe calls (no stdio, no locale, no syslog).
  void logFromSignal(int level, const char *file, int line, const char *message) const;

  // Untrusted text made fit for one log line: control bytes, '\\' and bytes
  // above 0x7E as "\xNN", cut after maxChars input bytes with "..." added.
  static std::string printable(const char *text, size_t maxChars = 256);

  // While one is alive, the calling thread's messages are not written: a
  // rules load that has already logged enough of a long file mutes the rest.
  class Muted {
   public:
    Muted();
    ~Muted();
    Muted(const Muted &) = delete;
    Muted &operator=(const Muted &) = delete;
  };

  // The process's log: `trace` when it is set, else one made now (level
  // TRACE_NORMAL) and kept until the process ends. The policy library calls
  // it before it starts threads of its own, so that a program using the
  // library without setting `trace` still gets its messages.
  static Log *instance();

 private:
  std::atomic<uint8_t> level_;
  // Offset of local time from UTC, refreshed by every ordinary log call so
  // that the signal-safe path can print local time without the tz machinery.
  std::atomic<long> utcOffset_;
};

// The one process-wide log object: created first thing by main (or by
// Log::instance()); until then the macros below write nothing.
extern Log *trace;

// Log calls go through these, so that every line names its own file and line.
#define VESK_LOG(level, ...) \
  (trace ? trace->log(level, __FILE__, __LINE__, __VA_ARGS__) : (void)0)
#define VESK_STARTUP_ERROR(...) \
  (trace ? trace->startupError(__FILE__, __LINE__, __VA_ARGS__) : (void)0)
#define VESK_LOG_FROM_SIGNAL(level, message) \
  (trace ? trace->logFromSignal(level, __FILE__, __LINE__, message) : (void)0)

#endif
