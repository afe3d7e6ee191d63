#include "ProcessInfo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "ProcScan.h"

ProcessInfo::ProcessInfo(uint32_t id)
    : pid(0), uid(0), vmSize(0), vmPeak(0), parentPid(0), parentUid(0), parentVmSize(0),
      parentVmPeak(0) {
  userName[0] = parentUserName[0] = '\0';
  if (id == 0) return;
  Status self;
  if (!readStatus(id, self)) return;
  pid = id;
  uid = self.uid;
  vmSize = self.vmSize;
  vmPeak = self.vmPeak;
  path = self.path;
  memcpy(userName, self.userName, sizeof(userName));
  parentPid = self.ppid;
  if (parentPid == 0) return;
  Status parent;
  if (!readStatus(parentPid, parent)) return;
  parentUid = parent.uid;
  parentVmSize = parent.vmSize;
  parentVmPeak = parent.vmPeak;
  parentPath = parent.path;
  memcpy(parentUserName, parent.userName, sizeof(parentUserName));
}

// The decimal number after a "Tag:" and its white space.
static uint32_t numberAfter(const char *line, size_t tagLen) {
  return (uint32_t)strtoul(line + tagLen, nullptr, 10);
}

bool ProcessInfo::readStatus(uint32_t id, Status &out) {
  char file[48];
  snprintf(file, sizeof(file), "/proc/%u/status", id);
  FILE *f = fopen(file, "re");
  if (!f) {
    VESK_LOG(TRACE_DEBUG, "Unable to read %s", file);
    return false;
  }
  char line[256];
  while (fgets(line, sizeof(line), f)) {
    if (strncmp(line, "Uid:", 4) == 0) {
      out.uid = numberAfter(line, 4);
      out.path = ProcScan::exePath(id);
      snprintf(out.userName, sizeof(out.userName), "%s", ProcScan::userName(out.uid).c_str());
    } else if (strncmp(line, "PPid:", 5) == 0) {
      out.ppid = numberAfter(line, 5);
    } else if (strncmp(line, "VmPeak:", 7) == 0) {
      out.vmPeak = numberAfter(line, 7);
    } else if (strncmp(line, "VmSize:", 7) == 0) {
      out.vmSize = numberAfter(line, 7);
      break;
    }
  }
  fclose(f);
  return true;
}
