/* Reading processes from /proc: executable paths, command lines, and which
 * process holds which socket inode. Unreadable entries (a process that went
 * away, one we may not look into) simply give nothing. */
#ifndef VESK_PROC_SCAN_H
#define VESK_PROC_SCAN_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class ProcScan {
 public:
  // The target of /proc/PID/exe; a trailing " (deleted)", which the kernel
  // adds for a file removed since it was started, is taken off. Empty when
  // unreadable.
  static std::string exePath(uint32_t pid);
  // The NUL-separated arguments of /proc/PID/cmdline joined with single
  // blanks, at most `limit` bytes.
  static std::string cmdline(uint32_t pid, size_t limit = 256);
  // Whether /proc/PID exists at all.
  static bool exists(uint32_t pid);
  // Socket inodes among the descriptors of one process.
  static std::vector<uint32_t> socketInodes(uint32_t pid);
  // Every process under /proc: inode -> pid, and (when asked) pid -> inodes.
  static void scanAll(std::unordered_map<uint32_t, uint32_t> &inodeToPid,
                      std::unordered_map<uint32_t, std::vector<uint32_t>> *pidToInodes);
  // The inode of a descriptor link text "socket:[N]"; 0 for anything else.
  static uint32_t socketInodeOfLink(const char *link);
  // The user name of a uid ("" when the uid has no entry).
  static std::string userName(uint32_t uid);
  // The group name of a gid ("" when unknown).
  static std::string groupName(uint32_t gid);
};

#endif
