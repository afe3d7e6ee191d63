/* Socket listing through netlink socket diagnostics (sock_diag): one dump
 * request per (family, protocol), every reply read until the kernel's DONE
 * message, however many parts the dump comes in. */
#ifndef VESK_SOCK_DIAG_H
#define VESK_SOCK_DIAG_H

#include <linux/inet_diag.h>

#include <cstdint>
#include <functional>

class SockDiag {
 public:
  enum Result { DONE = 0, NETLINK_ERROR = 1, NO_SOCKET = -1, SEND_FAILED = -2, RECV_FAILED = -3 };

  // Dumps the sockets of one family (AF_INET / AF_INET6) and protocol
  // (IPPROTO_TCP / IPPROTO_UDP) whose state bit is set in `states`, calling
  // `onSocket` for each. A reply that does not come within two seconds ends
  // the dump with RECV_FAILED.
  static Result dump(int family, int protocol, uint8_t extensions, uint32_t states,
                     const std::function<void(const inet_diag_msg &)> &onSocket);
};

#endif
