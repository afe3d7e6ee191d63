/* The facade's socket-monitor functions: process attribution for a host
 * program. Every exception stops here (all the library throws derives from
 * std::exception: its PolicyError, the standard library's own); a monitor
 * that cannot be built is a NULL handle, never an ended process. */
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
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
