/* The base of the process-attribution back ends: something that can be
 * polled for kernel events and asked which process owns a local socket. */
#ifndef VESK_SOCKET_MONITOR_H
#define VESK_SOCKET_MONITOR_H

#include <cstdint>

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

  // Who owns a local socket. The IPv4 address is a host-order value, the
  // IPv6 one its 16 bytes; `udp` selects UDP, else TCP. On 1 (known) the
  // outputs are filled: names and packages point to texts the monitor or
  // the package cache keeps; paths, command line and container id are
  // written into the caller's buffers, always terminated. 0 when unknown.
  virtual int findIPv4SocketOwner(uint32_t address, uint16_t port, bool udp, uint32_t *uid,
                                  const char **userName, uint32_t *pid, uint32_t *parentPid,
                                  uint32_t *parentUid, const char **parentUserName, char *path,
                                  uint32_t pathSize, char *cmdline, uint32_t cmdlineSize,
                                  const char **package, char *parentPath, uint32_t parentPathSize,
                                  const char **parentPackage, char *container,
                                  uint32_t containerSize, float *latencyMs);
  virtual int findIPv6SocketOwner(const uint8_t *address, uint16_t port, bool udp, uint32_t *uid,
                                  const char **userName, uint32_t *pid, uint32_t *parentPid,
                                  uint32_t *parentUid, const char **parentUserName, char *path,
                                  uint32_t pathSize, char *cmdline, uint32_t cmdlineSize,
                                  const char **package, char *parentPath, uint32_t parentPathSize,
                                  const char **parentPackage, char *container,
                                  uint32_t containerSize, float *latencyMs);

  const char *getInterfaceName() const { return ifname; }

 private:
  char *ifname;
};

#endif
