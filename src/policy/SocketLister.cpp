#include "SocketLister.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <vector>

#include "PackageCache.h"
#include "ProcScan.h"
#include "SockDiag.h"
#include "oxlo_serializer.h"

SocketLister::SocketLister(uint32_t skipAddress) : skip(skipAddress) {}

namespace {
struct Found {
  uint8_t ipVersion, proto;
  uint32_t uid, pid;
  std::string ip;
  uint16_t port;
};
}  // namespace

bool SocketLister::list(std::string &json) {
  inodeToPid.clear();
  ProcScan::scanAll(inodeToPid, nullptr);

  struct Pass {
    int family, protocol;
    uint32_t states;
  };
  // UDP sockets in any state; TCP sockets only when listening.
  static const Pass passes[] = {{AF_INET, IPPROTO_UDP, 255},
                                {AF_INET, IPPROTO_TCP, 1u << 10},
                                {AF_INET6, IPPROTO_UDP, 255},
                                {AF_INET6, IPPROTO_TCP, 1u << 10}};
  std::vector<Found> found;
  for (const Pass &p : passes) {
    SockDiag::Result r = SockDiag::dump(p.family, p.protocol, 2, p.states, [&](const inet_diag_msg &m) {
      if (m.idiag_family != AF_INET && m.idiag_family != AF_INET6) return;
      if (m.idiag_family == AF_INET && m.id.idiag_src[0] == skip) return;
      char text[INET6_ADDRSTRLEN] = "";
      if (!inet_ntop(m.idiag_family, m.id.idiag_src, text, sizeof(text)) || !text[0]) return;
      auto it = inodeToPid.find(m.idiag_inode);
      if (it == inodeToPid.end()) return;
      found.push_back({(uint8_t)(p.family == AF_INET ? 4 : 6), (uint8_t)p.protocol, m.idiag_uid,
                       it->second, text, ntohs(m.id.idiag_sport)});
    });
    if (r == SockDiag::NO_SOCKET) {
      perror("socket: ");
      return false;
    }
    if (r == SockDiag::SEND_FAILED) {
      perror("sendmsg: ");
      return false;
    }
    if (r == SockDiag::RECV_FAILED) return false;
  }

  oxlo_recbuf s;
  if (oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON) != 0) return false;
  bool ok = true;
  for (const Found &f : found) {
    std::string user = ProcScan::userName(f.uid);
    std::string exe = ProcScan::exePath(f.pid);
    const char *pkg = exe.empty() ? "" : PackageCache::instance().packageFile(exe.c_str());
    int rc = oxlo_recbuf_put_u32(&s, "ip_version", f.ipVersion);
    rc |= oxlo_recbuf_put_u32(&s, "l4_proto", f.proto);
    if (!user.empty()) rc |= oxlo_recbuf_put_text(&s, "user_name", user.c_str());
    rc |= oxlo_recbuf_put_u32(&s, "user_id", f.uid);
    rc |= oxlo_recbuf_put_text(&s, "local_ip", f.ip.c_str());
    rc |= oxlo_recbuf_put_u32(&s, "local_port", f.port);
    rc |= oxlo_recbuf_put_u32(&s, "pid", f.pid);
    rc |= oxlo_recbuf_put_text(&s, "proc_name", exe.c_str());
    rc |= oxlo_recbuf_put_text(&s, "proc_pkg", pkg);
    rc |= oxlo_recbuf_end_record(&s);
    if (rc != 0) ok = false;
  }
  // One shape whatever the count: an array, also when empty.
  uint32_t len = 0;
  const char *out = found.empty() ? nullptr : oxlo_recbuf_output(&s, &len);
  std::string text = out ? std::string(out, len) : std::string();
  if (text.empty())
    json = "[]";
  else if (text[0] == '{')
    json = "[" + text + "]";
  else
    json = text;
  oxlo_recbuf_release(&s);
  return ok;
}
