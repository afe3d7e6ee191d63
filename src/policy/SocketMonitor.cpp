#include "SocketMonitor.h"

#include <cstdlib>
#include <cstring>

SocketMonitor::SocketMonitor(const char *name)
    : ifname(name && !strchr(name, ':') ? strdup(name) : nullptr) {}

SocketMonitor::~SocketMonitor() { free(ifname); }

int SocketMonitor::findIPv4SocketOwner(uint32_t, uint16_t, bool, uint32_t *, const char **,
                                       uint32_t *, uint32_t *, uint32_t *, const char **, char *,
                                       uint32_t, char *, uint32_t, const char **, char *, uint32_t,
                                       const char **, char *, uint32_t, float *) {
  return 0;
}

int SocketMonitor::findIPv6SocketOwner(const uint8_t *, uint16_t, bool, uint32_t *, const char **,
                                       uint32_t *, uint32_t *, uint32_t *, const char **, char *,
                                       uint32_t, char *, uint32_t, const char **, char *, uint32_t,
                                       const char **, char *, uint32_t, float *) {
  return 0;
}
