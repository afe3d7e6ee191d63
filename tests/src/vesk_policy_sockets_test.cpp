/* The facade's socket-monitor functions: their answers without a monitor
 * and without root, the JSON texts as root, and a verifier load of the
 * BPF program. Attaching the program is left to the end-to-end test. */
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EBPFMonitor.h"
#include "ProcScan.h"
#include "policy_test_util.h"
#include "vesk_policy.h"

namespace {
// A socket of the test bound to an address; port 0 picks one.
struct Bound {
  int fd = -1;
  uint16_t port = 0;
  Bound(int family, int type, const char *address) {
    fd = socket(family, type, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
      auto *a = (sockaddr_in *)&ss;
      a->sin_family = AF_INET;
      inet_pton(AF_INET, address, &a->sin_addr);
      len = sizeof(*a);
    } else {
      auto *a = (sockaddr_in6 *)&ss;
      a->sin6_family = AF_INET6;
      inet_pton(AF_INET6, address, &a->sin6_addr);
      len = sizeof(*a);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    EXPECT_EQ(bind(fd, (sockaddr *)&ss, len), 0);
    if (type == SOCK_STREAM) listen(fd, 4);
    getsockname(fd, (sockaddr *)&ss, &len);
    port = ntohs(family == AF_INET ? ((sockaddr_in *)&ss)->sin_port : ((sockaddr_in6 *)&ss)->sin6_port);
  }
  ~Bound() { close(fd); }
};

// The records of local_sockets_json for one port.
std::vector<json_object *> recordsFor(json_object *list, uint16_t port) {
  std::vector<json_object *> out;
  for (size_t i = 0; i < json_object_array_length(list); i++) {
    json_object *r = json_object_array_get_idx(list, i), *p;
    if (json_object_object_get_ex(r, "local_port", &p) && json_object_get_int(p) == port)
      out.push_back(r);
  }
  return out;
}

std::string field(json_object *o, const char *key) {
  json_object *v;
  return json_object_object_get_ex(o, key, &v) ? json_object_get_string(v) : "(absent)";
}
}  // namespace

TEST(SocketMonitorFacade, no_monitor_gives_the_neutral_answers) {
  EXPECT_EQ(socket_monitor_fd(nullptr), -1);
  EXPECT_EQ(socket_monitor_poll(nullptr), 0);
  socket_monitor_destroy(nullptr);
  // Every answer clears the owner first, whatever the caller left in it.
  vesk_address v4 = {4, {127, 0, 0, 1}}, v6 = {6, {0}}, bad = {5, {0}};
  const vesk_address *cases[] = {&v4, &v6, &bad, nullptr};
  for (const vesk_address *a : cases) {
    vesk_socket_owner owner;
    memset(&owner, 'x', sizeof(owner));
    owner.package = owner.parent_package = "stale";
    EXPECT_EQ(socket_monitor_find_owner(nullptr, a, 80, a == &v6, &owner), -1);
    EXPECT_STREQ(owner.package, "");
    EXPECT_STREQ(owner.parent_package, "");
    EXPECT_STREQ(owner.container, "");
    EXPECT_STREQ(owner.path, "");
    EXPECT_EQ(owner.pid, 0u);
  }
  EXPECT_EQ(socket_monitor_find_owner(nullptr, &v4, 80, 0, nullptr), -1);
  vesk_policy_free(nullptr);
}

// Run as an ordinary user (forked and switched when the test runs as root):
// every function answers "not available" and the caller goes on.
TEST(SocketMonitorFacade, without_root_the_functions_answer_not_available) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (getuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                          setresuid(65534, 65534, 65534) != 0))
      _exit(10);
    int bad = 0;
    if (local_sockets_json() != nullptr) bad |= 1;
    if (host_info_json("lab-1") != nullptr) bad |= 2;
    vesk_socket_monitor *m = ebpf_socket_monitor_create("lo");
    if (m != nullptr) bad |= 4;
    socket_monitor_destroy(m);
    _exit(20 + bad);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child crashed";
  EXPECT_EQ(WEXITSTATUS(status), 20) << "bits: 1 sockets, 2 host, 4 monitor; 10 setuid failed";
}

TEST(SocketMonitorFacade, local_sockets_lists_udp_and_listening_tcp_with_their_owner) {
  if (getuid() != 0) GTEST_SKIP() << "needs root";
  Bound udpAny(AF_INET, SOCK_DGRAM, "0.0.0.0"), udpLo(AF_INET, SOCK_DGRAM, "127.0.0.1"),
      tcp6(AF_INET6, SOCK_STREAM, "::"), tcpLo(AF_INET, SOCK_STREAM, "127.0.0.1");
  // An established connection to the loopback listener: not listed.
  int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(tcpLo.port);
  to.sin_addr.s_addr = htonl(0x7F000001);
  ASSERT_EQ(connect(client, (sockaddr *)&to, sizeof(to)), 0);
  sockaddr_in from{};
  socklen_t len = sizeof(from);
  getsockname(client, (sockaddr *)&from, &len);

  char *text = local_sockets_json();
  ASSERT_NE(text, nullptr);
  json_object *list = json_tokener_parse(text);
  ASSERT_TRUE(list && json_object_is_type(list, json_type_array)) << text;

  auto any = recordsFor(list, udpAny.port);
  ASSERT_EQ(any.size(), 1u) << text;
  EXPECT_EQ(field(any[0], "ip_version"), "4");
  EXPECT_EQ(field(any[0], "l4_proto"), "17");
  EXPECT_EQ(field(any[0], "local_ip"), "0.0.0.0");
  EXPECT_EQ(field(any[0], "pid"), std::to_string(getpid()));
  EXPECT_EQ(field(any[0], "user_id"), "0");
  EXPECT_EQ(field(any[0], "user_name"), "root");
  EXPECT_EQ(field(any[0], "proc_name"), ProcScan::exePath(getpid()));
  EXPECT_EQ(field(any[0], "proc_pkg"), "");
  auto six = recordsFor(list, tcp6.port);
  ASSERT_EQ(six.size(), 1u);
  EXPECT_EQ(field(six[0], "ip_version"), "6");
  EXPECT_EQ(field(six[0], "l4_proto"), "6");
  EXPECT_EQ(field(six[0], "local_ip"), "::");
  EXPECT_TRUE(recordsFor(list, udpLo.port).empty()) << "127.0.0.1 is left out";
  EXPECT_TRUE(recordsFor(list, ntohs(from.sin_port)).empty()) << "established TCP is not listed";
  json_object_put(list);
  vesk_policy_free(text);
  close(client);
}

TEST(SocketMonitorFacade, host_description_is_valid_json_whatever_the_instance_name) {
  std::string missing = processConnectorMissing();
  if (!missing.empty()) GTEST_SKIP() << missing;
  Bound tcpAny(AF_INET, SOCK_STREAM, "0.0.0.0"), tcpLo(AF_INET, SOCK_STREAM, "127.0.0.1");
  for (const char *name : {"lab-1", "a\"b\\c\n$(touch /tmp/vesk-never)", "", (const char *)nullptr}) {
    char *text = host_info_json(name);
    ASSERT_NE(text, nullptr);
    json_object *o = json_tokener_parse(text);
    ASSERT_NE(o, nullptr) << text;
    json_object *v, *ports, *tcp4;
    if (name && *name) {
      ASSERT_TRUE(json_object_object_get_ex(o, "instance-name", &v));
      EXPECT_STREQ(json_object_get_string(v), name);
    } else {
      EXPECT_EQ(std::string(text).rfind("{\"ip-addresses\":", 0), 0u) << text;
    }
    ASSERT_TRUE(json_object_object_get_ex(o, "ip-addresses", &v));
    for (size_t i = 0; i < json_object_array_length(v); i++) {
      std::string a = json_object_get_string(json_object_array_get_idx(v, i));
      EXPECT_NE(a, "127.0.0.1");
      EXPECT_NE(a, "192.168.122.1");
    }
    ASSERT_TRUE(json_object_object_get_ex(o, "listening-ports", &ports));
    for (const char *t : {"tcp4", "tcp6", "udp4", "udp6"}) {
      ASSERT_TRUE(json_object_object_get_ex(ports, t, &v)) << t;
      EXPECT_TRUE(json_object_is_type(v, json_type_array)) << t << " " << text;
    }
    json_object_object_get_ex(ports, "tcp4", &tcp4);
    int mine = 0, loopback = 0;
    for (size_t i = 0; i < json_object_array_length(tcp4); i++) {
      json_object *r = json_object_array_get_idx(tcp4, i);
      if (field(r, "port") == std::to_string(tcpAny.port)) {
        mine++;
        EXPECT_EQ(field(r, "proc"), ProcScan::exePath(getpid()));
        EXPECT_EQ(field(r, "pkg"), "");
      }
      if (field(r, "port") == std::to_string(tcpLo.port)) loopback++;
    }
    EXPECT_EQ(mine, 1) << text;
    EXPECT_EQ(loopback, 0);
    json_object_put(o);
    vesk_policy_free(text);
  }
  EXPECT_NE(access("/tmp/vesk-never", F_OK), 0);
}

TEST(EBPFMonitor, every_program_of_the_object_passes_the_verifier) {
  if (getuid() != 0) GTEST_SKIP() << "loading BPF programs needs root";
  std::vector<std::string> programs;
  std::string error;
  ASSERT_TRUE(EBPFMonitor::loadOnly(programs, error)) << error;
  std::vector<std::string> expected = {
      "tcp_v4_connect",           "tcp_v6_connect",         "tcp_v4_connect_exit",
      "tcp_v6_connect_exit",      "inet_csk_accept",        "trace_tcp_set_state",
      "trace_tcp_retransmit_skb", "trace_inet_sock_set_state", "trace_tcp_retransmit_tp",
      "handle_netif_receive_skb", "trace_netif_tx_entry",   "raw_netif_receive_skb",
      "raw_net_dev_queue"};
  std::sort(programs.begin(), programs.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(programs, expected);
}
