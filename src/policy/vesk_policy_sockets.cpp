/* The facade's socket-monitor functions: process attribution for a host
 * program. Every exception stops here (all the library throws derives from
 * std::exception: its PolicyError, the standard library's own); a monitor
 * that cannot be built is a NULL handle, never an ended process. */
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "EBPFMonitor.h"
#include "LinuxSocketMonitor.h"
#include "Log.h"
#include "SocketLister.h"
#include "vesk_process.h"

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
    VESK_LOG(TRACE_ERROR, "%s", e.what());
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
  } catch (const std::exception &e) {
    VESK_LOG(TRACE_ERROR, "Socket monitor: %s", e.what());
    return -1;
  }
}

int socket_monitor_find_owner(vesk_socket_monitor *monitor, const vesk_address *address,
                              uint16_t port, int udp, vesk_socket_owner *owner) {
  if (!owner) return -1;
  memset(owner, 0, sizeof(*owner));
  owner->user_name = owner->parent_user_name = "";
  owner->package = owner->parent_package = "";
  SocketMonitor *m = unwrap(monitor);
  if (!m || !m->hasOwnerLookup() || !address || (address->family != 4 && address->family != 6))
    return -1;
  try {
    return m->findSocketOwner(*address, port, udp != 0, owner) == 1 ? 0 : -1;
  } catch (const std::exception &e) {
    VESK_LOG(TRACE_ERROR, "Socket owner lookup: %s", e.what());
    return -1;
  }
}

namespace {

void copy_out(char *to, size_t size, const char *from) {
  if (!to || size == 0) return;
  snprintf(to, size, "%s", from ? from : "");
}

int find_family_owner(vesk_socket_monitor *monitor, const vesk_address &address, uint16_t port, int udp,
                      uint32_t *uid, const char **user_name, uint32_t *pid, uint32_t *parent_pid,
                      uint32_t *parent_uid, const char **parent_user_name, char *path, size_t path_size,
                      char *cmdline, size_t cmdline_size, const char **package, char *parent_path,
                      size_t parent_path_size, const char **parent_package, char *container,
                      size_t container_size, float *latency_ms) {
  if (package) *package = "";
  if (parent_package) *parent_package = "";
  if (container && container_size) container[0] = '\0';
  /* The owner record holds three paths: too large for the stack of a
   * caller's thread. */
  std::unique_ptr<vesk_socket_owner> owner(new (std::nothrow) vesk_socket_owner);
  if (!owner || socket_monitor_find_owner(monitor, &address, port, udp, owner.get()) != 0) return -1;
  if (uid) *uid = owner->uid;
  if (user_name) *user_name = owner->user_name;
  if (pid) *pid = owner->pid;
  if (parent_pid) *parent_pid = owner->parent_pid;
  if (parent_uid) *parent_uid = owner->parent_uid;
  if (parent_user_name) *parent_user_name = owner->parent_user_name;
  copy_out(path, path_size, owner->path);
  copy_out(cmdline, cmdline_size, owner->cmdline);
  if (package) *package = owner->package;
  copy_out(parent_path, parent_path_size, owner->parent_path);
  if (parent_package) *parent_package = owner->parent_package;
  copy_out(container, container_size, owner->container);
  if (latency_ms) *latency_ms = owner->latency_ms;
  return 0;
}

}  // namespace

int socket_monitor_find_ipv4_owner(vesk_socket_monitor *monitor, uint32_t address, uint16_t port, int udp,
                                   uint32_t *uid, const char **user_name, uint32_t *pid,
                                   uint32_t *parent_pid, uint32_t *parent_uid, const char **parent_user_name,
                                   char *path, size_t path_size, char *cmdline, size_t cmdline_size,
                                   const char **package, char *parent_path, size_t parent_path_size,
                                   const char **parent_package, char *container, size_t container_size,
                                   float *latency_ms) {
  vesk_address a{};
  a.family = 4;
  const uint32_t wire = htonl(address);
  memcpy(a.bytes, &wire, 4);
  return find_family_owner(monitor, a, port, udp, uid, user_name, pid, parent_pid, parent_uid, parent_user_name,
                           path, path_size, cmdline, cmdline_size, package, parent_path, parent_path_size,
                           parent_package, container, container_size, latency_ms);
}

int socket_monitor_find_ipv6_owner(vesk_socket_monitor *monitor, const uint8_t address[16], uint16_t port,
                                   int udp, uint32_t *uid, const char **user_name, uint32_t *pid,
                                   uint32_t *parent_pid, uint32_t *parent_uid, const char **parent_user_name,
                                   char *path, size_t path_size, char *cmdline, size_t cmdline_size,
                                   const char **package, char *parent_path, size_t parent_path_size,
                                   const char **parent_package, char *container, size_t container_size,
                                   float *latency_ms) {
  vesk_address a{};
  a.family = 6;
  if (address) memcpy(a.bytes, address, 16);
  else a.family = 0; /* no address: not found */
  return find_family_owner(monitor, a, port, udp, uid, user_name, pid, parent_pid, parent_uid, parent_user_name,
                           path, path_size, cmdline, cmdline_size, package, parent_path, parent_path_size,
                           parent_package, container, container_size, latency_ms);
}

void socket_monitor_set_debug(void) {
  if (trace) trace->setLevel(9);
}

char *local_sockets_json(void) {
  if (getuid() != 0) return nullptr;
  try {
    SocketLister lister(htonl(0x7F000001));
    std::string json;
    if (!lister.list(json)) return nullptr;
    return copyText(json);
  } catch (const std::exception &e) {
    VESK_LOG(TRACE_ERROR, "No socket list: %s", e.what());
    return nullptr;
  }
}

char *host_info_json(const char *instance_name) {
  try {
    LinuxSocketMonitor monitor(nullptr, true, true);
    return copyText(monitor.hostDescription(instance_name));
  } catch (const std::exception &e) {
    VESK_LOG(TRACE_ERROR, "No host description: %s", e.what());
    return nullptr;
  }
}

void vesk_policy_free(void *text) { free(text); }

}  // extern "C"
