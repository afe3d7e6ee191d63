#include "SockDiag.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "ProcScan.h"

// Enough sockets that the kernel answers the dump in many parts.
TEST(SockDiag, a_dump_in_many_parts_lists_every_socket_with_its_inode) {
  const int kSockets = 700;
  std::vector<int> fds;
  std::set<uint16_t> ports;
  for (int i = 0; i < kSockets; i++) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    ASSERT_EQ(bind(fd, (sockaddr *)&a, sizeof(a)), 0);
    socklen_t len = sizeof(a);
    getsockname(fd, (sockaddr *)&a, &len);
    ports.insert(ntohs(a.sin_port));
    fds.push_back(fd);
  }
  std::set<uint32_t> mine;
  for (uint32_t inode : ProcScan::socketInodes((uint32_t)getpid())) mine.insert(inode);

  std::set<uint16_t> seen;
  size_t withInode = 0;
  EXPECT_EQ(SockDiag::dump(AF_INET, IPPROTO_UDP, 0, 0xFFFFFFFF, [&](const inet_diag_msg &m) {
              uint16_t port = ntohs(m.id.idiag_sport);
              if (!ports.count(port) || m.id.idiag_src[0] != htonl(0x7F000001)) return;
              seen.insert(port);
              withInode += mine.count(m.idiag_inode);
            }),
            SockDiag::DONE);
  EXPECT_EQ(seen, ports);
  EXPECT_EQ(withInode, (size_t)kSockets);
  for (int fd : fds) close(fd);
}

TEST(SockDiag, a_listening_tcp_socket_is_told_apart_by_state) {
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  ASSERT_EQ(bind(fd, (sockaddr *)&a, sizeof(a)), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  socklen_t len = sizeof(a);
  getsockname(fd, (sockaddr *)&a, &len);
  uint16_t port = ntohs(a.sin6_port);
  for (uint32_t states : {1u << 10, 1u << 1}) {
    bool found = false;
    EXPECT_EQ(SockDiag::dump(AF_INET6, IPPROTO_TCP, 0, states, [&](const inet_diag_msg &m) {
                if (ntohs(m.id.idiag_sport) == port) found = true;
              }),
              SockDiag::DONE);
    EXPECT_EQ(found, states == (1u << 10)) << states;
  }
  close(fd);
}
