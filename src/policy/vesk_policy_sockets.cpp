/* The facade's socket-monitor functions: process attribution for a host
 * program. Every C++ exception stops here; a monitor that cannot be built
 * is a NULL handle, never an ended process. */
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "EBPFMonitor.h"
#include "LinuxSocketMonitor.h"
#include "PolicyTrace.h"
#include "SocketLister.h"
#include "vesk_policy.h"

static SocketMonitor *unwrap(vesk_socket_monitor *m) { return reinterpret_cast<SocketMonitor *>(m); }

static char *copyText(const std::string &text) {
  char *out = (char *)malloc(text.size() + 1);
  if (out) memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

extern "C" {

vesk_socket_monitor *ebpf_socket_monitor_create(const char *ifname) {
  try {
    return reinterpret_cast<vesk_socket_monitor *>(new EBPFMonitor(ifname));
  } catch (const std::exception &e) {
    POLICY_LOG(POLICY_ERROR, "%s", e.what());
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

void socket_monitor_destroy(vesk_socket_monitor *monitor) { delete unwrap(monitor); }

int socket_monitor_fd(vesk_socket_monitor *monitor) {
  return monitor ? unwrap(monitor)->socketFd() : -1;
}

int socket_monitor_poll(vesk_socket_monitor *monitor) {
  if (!monitor) return 0;
  try {
    return unwrap(monitor)->poll();
  } catch (...) {
    return -1;
  }
}

static void clearOutputs(const char **package, const char **parentPackage, char *container,
                         uint32_t containerSize) {
  if (package) *package = "";
  if (parentPackage) *parentPackage = "";
  if (container && containerSize) container[0] = '\0';
}

// The owner lookups of both address families: outputs cleared first, a
// monitor without owner lookup (or an unusable argument) answers -1, and
// nothing thrown crosses the C interface.
extern "C++" {
template <typename Find>
int ownerLookup(vesk_socket_monitor *monitor, bool usable, const char **package,
                const char **parentPackage, char *container, uint32_t containerSize,
                Find find) {
  clearOutputs(package, parentPackage, container, containerSize);
  SocketMonitor *m = unwrap(monitor);
  if (!m || !m->hasOwnerLookup() || !usable) return -1;
  try {
    return find(*m) == 1 ? 0 : -1;
  } catch (...) {
    return -1;
  }
}
}

int socket_monitor_find_ipv4_owner(vesk_socket_monitor *monitor, uint32_t address, uint16_t port,
                                   int udp, uint32_t *uid, const char **user_name, uint32_t *pid,
                                   uint32_t *parent_pid, uint32_t *parent_uid,
                                   const char **parent_user_name, char *path, uint32_t path_size,
                                   char *cmdline, uint32_t cmdline_size, const char **package,
                                   char *parent_path, uint32_t parent_path_size,
                                   const char **parent_package, char *container,
                                   uint32_t container_size, float *latency_ms) {
  return ownerLookup(monitor, true, package, parent_package, container, container_size,
                     [&](SocketMonitor &m) {
                       return m.findIPv4SocketOwner(address, port, udp != 0, uid, user_name, pid,
                                                  parent_pid, parent_uid, parent_user_name, path,
                                                  path_size, cmdline, cmdline_size, package,
                                                  parent_path, parent_path_size, parent_package,
                                                  container, container_size, latency_ms);
                     });
}

int socket_monitor_find_ipv6_owner(vesk_socket_monitor *monitor, const uint8_t *address,
                                   uint16_t port, int udp, uint32_t *uid, const char **user_name,
                                   uint32_t *pid, uint32_t *parent_pid, uint32_t *parent_uid,
                                   const char **parent_user_name, char *path, uint32_t path_size,
                                   char *cmdline, uint32_t cmdline_size, const char **package,
                                   char *parent_path, uint32_t parent_path_size,
                                   const char **parent_package, char *container,
                                   uint32_t container_size, float *latency_ms) {
  return ownerLookup(monitor, address != nullptr, package, parent_package, container, container_size,
                     [&](SocketMonitor &m) {
                       return m.findIPv6SocketOwner(address, port, udp != 0, uid, user_name, pid,
                                                  parent_pid, parent_uid, parent_user_name, path,
                                                  path_size, cmdline, cmdline_size, package,
                                                  parent_path, parent_path_size, parent_package,
                                                  container, container_size, latency_ms);
                     });
}

void socket_monitor_set_debug(void) {
  PolicyTrace *t = PolicyTrace::existing();
  if (t) t->setLevel(9);
}

char *local_sockets_json(void) {
  if (getuid() != 0) return nullptr;
  try {
    SocketLister lister(htonl(0x7F000001));
    std::string json;
    if (!lister.list(json)) return nullptr;
    return copyText(json);
  } catch (...) {
    return nullptr;
  }
}

char *host_info_json(const char *instance_name) {
  try {
    LinuxSocketMonitor monitor(nullptr, true, true);
    return copyText(monitor.hostDescription(instance_name));
  } catch (const std::exception &e) {
    POLICY_LOG(POLICY_ERROR, "No host description: %s", e.what());
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

void vesk_policy_free(void *text) { free(text); }

}  // extern "C"
