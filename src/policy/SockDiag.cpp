#include "SockDiag.h"

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Log.h"

namespace {
struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 request;
};
static_assert(sizeof(DiagRequest) == 72, "sock_diag request layout");

// The kernel sizes dump parts to what a reader asks for, up to 32 KiB; a
// buffer that size never sees a message cut short.
constexpr size_t kReceiveBuffer = 32768;
// A dump of a very busy host still ends; this only guards against a kernel
// that never sends DONE.
constexpr int kMaxParts = 1 << 16;
}  // namespace

SockDiag::Result SockDiag::dump(int family, int protocol, uint8_t extensions, uint32_t states,
                                const std::function<void(const inet_diag_msg &)> &onSocket) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return NO_SOCKET;
  struct timeval tv = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

  DiagRequest req;
  memset(&req, 0, sizeof(req));
  req.header.nlmsg_len = sizeof(req);
  req.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.header.nlmsg_seq = 1;
  req.request.sdiag_family = (uint8_t)family;
  req.request.sdiag_protocol = (uint8_t)protocol;
  req.request.idiag_ext = extensions;
  req.request.idiag_states = states;

  sockaddr_nl kernel;
  memset(&kernel, 0, sizeof(kernel));
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &req, sizeof(req), 0, (sockaddr *)&kernel, sizeof(kernel)) != (ssize_t)sizeof(req)) {
    close(fd);
    return SEND_FAILED;
  }

  alignas(nlmsghdr) static thread_local char buf[kReceiveBuffer];
  for (int part = 0; part < kMaxParts; part++) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return RECV_FAILED;
    }
    size_t left = (size_t)n;
    for (const nlmsghdr *h = (const nlmsghdr *)buf; NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) {
        close(fd);
        return DONE;
      }
      if (h->nlmsg_type == NLMSG_ERROR) {
        VESK_LOG(TRACE_ERROR, "Error in netlink message");
        close(fd);
        return NETLINK_ERROR;
      }
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
      onSocket(*(const inet_diag_msg *)NLMSG_DATA(h));
    }
  }
  close(fd);
  return RECV_FAILED;
}
