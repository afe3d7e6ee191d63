/* The base of the process-attribution back ends: something that can be
 * polled for kernel events and asked which process owns a local socket. */
#ifndef VESK_SOCKET_MONITOR_H
#define VESK_SOCKET_MONITOR_H

#include <cstdint>

#include "vesk_process.h"

class SocketMonitor {
 public:
  // The interface name is copied; none is kept when it holds ':' (an alias
  // label, not a device).
  explicit SocketMonitor(const char *ifname);
  virtual ~SocketMonitor();
  SocketMonitor(const SocketMonitor &) = delete;
  SocketMonitor &operator=(const SocketMonitor &) = delete;

  // Handles waiting events without blocking; the back end's count.
  virtual int poll() { return 0; }
  // A descriptor the caller can wait on, -1 when there is none.
  virtual int socketFd() { return -1; }
  // Whether the owner lookups below answer anything at all.
  virtual bool hasOwnerLookup() const { return false; }

  // Who owns a local socket (the address in the facade's family-tagged
  // form, the port host order; `udp` selects UDP, else TCP). On 1 (known)
  // *owner is filled: names and packages point to texts the monitor or the
  // package cache keeps. 0 when unknown; the caller has cleared *owner.
  virtual int findSocketOwner(const vesk_address &address, uint16_t port, bool udp,
                              vesk_socket_owner *owner);

  const char *getInterfaceName() const { return ifname; }

 private:
  char *ifname;
};

#endif
