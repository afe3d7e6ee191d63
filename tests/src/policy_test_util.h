/* Helpers shared by the policy library's tests: rules files from text, log
 * capture, addresses in the facade's 16-byte form. */
#ifndef VESK_POLICY_TEST_UTIL_H
#define VESK_POLICY_TEST_UTIL_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Log.h"
#include "RuleManager.h"

using Addr = std::array<uint8_t, 16>;

inline Addr addr(const char *text) {
  Addr a{};
  if (strchr(text, ':'))
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
  else
    EXPECT_EQ(inet_pton(AF_INET, text, a.data()), 1) << text;
  return a;
}

// Why the process-event connector cannot be joined here, or "" when it
// can. It answers in the initial network namespace only: in a container or
// under `ip netns exec` its listen request is refused at once.
inline std::string processConnectorMissing() {
  if (getuid() != 0) return "the process-event connector needs CAP_NET_ADMIN";
  int s = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
  if (s < 0) return std::string("no connector socket: ") + strerror(errno);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = CN_IDX_PROC;
  alignas(nlmsghdr) char msg[sizeof(nlmsghdr) + sizeof(cn_msg) + sizeof(uint32_t)] = {};
  auto *header = reinterpret_cast<nlmsghdr *>(msg);
  header->nlmsg_len = sizeof(msg);
  header->nlmsg_type = NLMSG_DONE;
  header->nlmsg_pid = static_cast<uint32_t>(getpid());
  auto *cn = reinterpret_cast<cn_msg *>(msg + sizeof(nlmsghdr));
  cn->id.idx = CN_IDX_PROC;
  cn->id.val = CN_VAL_PROC;
  cn->len = sizeof(uint32_t);
  // The same request as the monitor's (an "ignore" would lower the kernel's
  // listener count under other listeners on older kernels).
  uint32_t op = PROC_CN_MCAST_LISTEN;
  memcpy(msg + sizeof(nlmsghdr) + sizeof(cn_msg), &op, sizeof(op));
  std::string why;
  if (bind(s, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0)
    why = std::string("cannot bind the connector: ") + strerror(errno);
  else if (send(s, msg, sizeof(msg), 0) != static_cast<ssize_t>(sizeof(msg)))
    why = errno == ECONNREFUSED
              ? "the process-event connector exists only in the initial network namespace"
              : std::string("connector refused: ") + strerror(errno);
  close(s);
  return why;
}

// A rules file in a temporary path, removed at the end of the scope.
struct RulesFile {
  std::string path;
  explicit RulesFile(const std::string &text) {
    char tmpl[] = "/tmp/vesk-rules-XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    path = tmpl;
    EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
  }
  ~RulesFile() { unlink(path.c_str()); }
};

// Loads text as a rules file into rm; returns everything logged.
inline std::string loadText(RuleManager &rm, const std::string &text, bool *result = nullptr) {
  RulesFile f(text);
  testing::internal::CaptureStdout();
  bool r = rm.loadRules(f.path.c_str());
  if (result) *result = r;
  return testing::internal::GetCapturedStdout();
}

inline PolicyFlowFacts facts(uint16_t master, uint16_t app, uint32_t category = 0,
                             const char *host = nullptr, uint64_t risks = 0, bool ipv6 = false) {
  return PolicyFlowFacts{master, app, category, host, risks, ipv6};
}

inline bool contains(const std::string &haystack, const std::string &needle) {
  return haystack.find(needle) != std::string::npos;
}

#endif
