/* A snapshot of one process and its parent, read from /proc. */
#ifndef VESK_PROCESS_INFO_H
#define VESK_PROCESS_INFO_H

#include <cstdint>
#include <string>

class ProcessInfo {
 public:
  // All fields zero (and /proc untouched) for pid 0.
  explicit ProcessInfo(uint32_t pid);

  const std::string &getPath() const { return path; }
  const char *getUserName() const { return userName; }
  uint32_t getPid() const { return pid; }
  uint32_t getUid() const { return uid; }
  uint32_t getVmSize() const { return vmSize; }
  uint32_t getVmPeak() const { return vmPeak; }
  const std::string &getParentPath() const { return parentPath; }
  const char *getParentUserName() const { return parentUserName; }
  uint32_t getParentPid() const { return parentPid; }
  uint32_t getParentUid() const { return parentUid; }
  uint32_t getParentVmSize() const { return parentVmSize; }
  uint32_t getParentVmPeak() const { return parentVmPeak; }

 private:
  struct Status {
    uint32_t uid = 0, ppid = 0, vmSize = 0, vmPeak = 0;
    std::string path;
    char userName[8] = {0};
  };
  // Reads /proc/PID/status; false (and a log line) when it cannot be opened.
  static bool readStatus(uint32_t pid, Status &out);

  std::string path;
  char userName[8];
  uint32_t pid, uid, vmSize, vmPeak;
  std::string parentPath;
  char parentUserName[8];
  uint32_t parentPid, parentUid, parentVmSize, parentVmPeak;
};

#endif
