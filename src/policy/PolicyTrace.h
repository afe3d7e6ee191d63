/* The policy library's log object: one process-wide instance, created on
 * first need by the first rule manager and kept until the process ends. */
#ifndef VESK_POLICY_TRACE_H
#define VESK_POLICY_TRACE_H

#include <cstddef>
#include <cstdint>
#include <string>

class PolicyTrace {
 public:
  PolicyTrace();
  void setLevel(unsigned level);
  uint8_t getLevel() const { return level; }
  // Writes one line "time [file:line] PREFIXmessage" to standard output when
  // the message's level is not above the trace level; errors and warnings
  // also go to syslog.
  void log(int msgLevel, const char *file, int line, const char *format, ...)
      __attribute__((format(printf, 5, 6)));

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

  // The instance, created with level 2 on the first call.
  static PolicyTrace *instance();
  // The instance if it was created, else NULL.
  static PolicyTrace *existing();

 private:
  volatile uint8_t level;
};

// Source files log through this so every line names its own file and line.
#define POLICY_LOG(lvl, ...)                                               \
  do {                                                                     \
    PolicyTrace *policy_trace_ = PolicyTrace::existing();                  \
    if (policy_trace_) policy_trace_->log(lvl, __FILE__, __LINE__, __VA_ARGS__); \
  } while (0)

enum { POLICY_ERROR = 0, POLICY_WARNING = 1, POLICY_NORMAL = 2, POLICY_DEBUG = 3 };

#endif
