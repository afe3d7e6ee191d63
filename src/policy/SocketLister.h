/* The machine's UDP sockets and listening TCP sockets with the process that
 * holds each one, its user and the package of its program, as JSON. */
#ifndef VESK_SOCKET_LISTER_H
#define VESK_SOCKET_LISTER_H

#include <cstdint>
#include <string>
#include <unordered_map>

class SocketLister {
 public:
  // IPv4 sockets bound to `skipAddress` (network order) are left out.
  explicit SocketLister(uint32_t skipAddress);

  // A JSON array of records {"ip_version","l4_proto","user_name","user_id",
  // "local_ip","local_port","pid","proc_name","proc_pkg"}; false when the
  // sockets cannot be listed (no netlink, a failed dump).
  bool list(std::string &json);

 private:
  uint32_t skip;
  std::unordered_map<uint32_t, uint32_t> inodeToPid;
};

#endif
