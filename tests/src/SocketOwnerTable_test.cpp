#include "SocketOwnerTable.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Log.h"
#include "ProcScan.h"

namespace {

// A record as the BPF program sends it, for this test process.
vontrel_event tcpEvent(uint16_t etype, const char *src, uint16_t sport, const char *dst,
                       uint16_t dport, bool sent = true) {
  vontrel_event e;
  memset(&e, 0, sizeof(e));
  e.ip_version = 4;
  e.proto = 6;
  e.etype = etype;
  e.sent_packet = sent ? 1 : 0;
  uint32_t s, d;
  inet_pton(AF_INET, src, &s);
  inet_pton(AF_INET, dst, &d);
  e.addr.v4.saddr = s;
  e.addr.v4.daddr = d;
  e.sport = sport;
  e.dport = dport;
  e.latency_usec = 1500;
  e.proc.pid = (uint32_t)getpid() + 1;  // a thread id
  e.proc.tid = (uint32_t)getpid();      // the process id
  e.proc.uid = getuid();
  snprintf(e.proc.task, sizeof(e.proc.task), "%s", "unit-test");
  e.father.pid = e.father.tid = (uint32_t)getppid();
  snprintf(e.ifname, sizeof(e.ifname), "%s", "lo");
  return e;
}

// An owner lookup's answer.
struct Owner : vesk_socket_owner {
  int found = 0;
};

Owner lookup(SocketOwnerTable &t, const vesk_address &a, uint16_t port, bool udp, time_t now) {
  Owner o;
  memset(static_cast<vesk_socket_owner *>(&o), 0, sizeof(vesk_socket_owner));
  o.found = t.find(a, port, udp, now, &o);
  return o;
}

Owner find4(SocketOwnerTable &t, const char *address, uint16_t port, bool udp, time_t now) {
  vesk_address a = {4, {0}};
  inet_pton(AF_INET, address, a.bytes);
  return lookup(t, a, port, udp, now);
}

}  // namespace

TEST(SocketOwnerTable, records_of_the_wrong_size_are_refused_and_not_stored) {
  SocketOwnerTable t(nullptr);
  vontrel_event e = tcpEvent(VONTREL_CONNECT, "127.0.0.1", 40000, "127.0.0.1", 80);
  char bigger[257] = {0};
  memcpy(bigger, &e, sizeof(e));
  for (size_t size : {(size_t)255, (size_t)257, (size_t)248}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(t.handleEvent(bigger, size, 1000), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Invalid event size: " + std::to_string(size) + " vs 256\n");
  }
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.handleEvent(&e, sizeof(e), 1000), 0);
  EXPECT_EQ(t.size(), 1u);
}

TEST(SocketOwnerTable, a_connect_is_found_by_its_local_socket_with_the_process_filled_from_proc) {
  SocketOwnerTable t(nullptr);
  vontrel_event e = tcpEvent(VONTREL_CONNECT, "127.0.0.1", 40001, "127.0.0.2", 80);
  ASSERT_EQ(t.handleEvent(&e, sizeof(e), 1000), 0);
  Owner o = find4(t, "127.0.0.1", 40001, false, 1001);
  ASSERT_EQ(o.found, 1);
  EXPECT_EQ(o.pid, (uint32_t)getpid()) << "the process id, not the thread id";
  EXPECT_EQ(o.parent_pid, (uint32_t)getppid());
  EXPECT_EQ(o.uid, getuid());
  EXPECT_STREQ(o.user_name, ProcScan::userName(getuid()).c_str());
  EXPECT_EQ(std::string(o.path), ProcScan::exePath(getpid()));
  EXPECT_NE(std::string(o.cmdline).find("SocketOwnerTable_test"), std::string::npos) << o.cmdline;
  EXPECT_EQ(std::string(o.parent_path), ProcScan::exePath(getppid()));
  EXPECT_STREQ(o.container, "");
  EXPECT_FLOAT_EQ(o.latency_ms, 1.5f);
  // Same port, other protocol or address: not the same socket.
  EXPECT_EQ(find4(t, "127.0.0.1", 40001, true, 1001).found, 0);
  EXPECT_EQ(find4(t, "127.0.0.2", 40001, false, 1001).found, 0);
  EXPECT_EQ(find4(t, "127.0.0.2", 80, false, 1001).found, 0);
}

TEST(SocketOwnerTable, an_accept_is_kept_under_its_destination_side) {
  SocketOwnerTable t(nullptr);
  vontrel_event e = tcpEvent(VONTREL_ACCEPT, "10.0.0.9", 51000, "10.0.0.1", 8080, false);
  ASSERT_EQ(t.handleEvent(&e, sizeof(e), 1000), 0);
  EXPECT_EQ(find4(t, "10.0.0.1", 8080, false, 1000).found, 1);
  EXPECT_EQ(find4(t, "10.0.0.9", 51000, false, 1000).found, 0);
}

TEST(SocketOwnerTable, events_are_filtered_by_interface_and_process) {
  struct Case {
    const char *monitorIf, *eventIf;
    bool zeroPid;
    bool kept;
  } cases[] = {
      {"lo", "lo", false, true},     {"lo", "eth0", false, true},  {"lo", "wlan0", false, false},
      {nullptr, "wlan0", false, true}, {nullptr, "lo", true, false},
  };
  for (const Case &c : cases) {
    SocketOwnerTable t(c.monitorIf);
    vontrel_event e = tcpEvent(VONTREL_CONNECT, "127.0.0.1", 40002, "127.0.0.1", 80);
    snprintf(e.ifname, sizeof(e.ifname), "%s", c.eventIf);
    if (c.zeroPid) e.proc.tid = 0;
    t.handleEvent(&e, sizeof(e), 1000);
    EXPECT_EQ(t.size(), c.kept ? 1u : 0u) << (c.monitorIf ? c.monitorIf : "(none)") << " " << c.eventIf;
  }
}

TEST(SocketOwnerTable, a_retransmission_or_close_does_not_replace_the_owner) {
  SocketOwnerTable t(nullptr);
  vontrel_event e = tcpEvent(VONTREL_CONNECT, "127.0.0.1", 40003, "127.0.0.1", 80);
  t.handleEvent(&e, sizeof(e), 1000);
  for (uint16_t etype : {VONTREL_RETRANSMIT, VONTREL_CONNECT_FAILED, VONTREL_CLOSE}) {
    vontrel_event other = e;
    other.etype = etype;
    other.proc.tid = 1;  // whatever task the softirq interrupted
    other.retransmissions = etype == VONTREL_RETRANSMIT;
    t.handleEvent(&other, sizeof(other), 1001);
  }
  Owner o = find4(t, "127.0.0.1", 40003, false, 1002);
  ASSERT_EQ(o.found, 1);
  EXPECT_EQ(o.pid, (uint32_t)getpid());
}

// A program that reports a refused connect and exits at once: by the time
// its event is handled, /proc/PID still stands but /proc/PID/exe is gone
// (then the whole of /proc/PID). The owner is still that program: its pid,
// uid and command name as the kernel gave them, nothing from another process.
TEST(SocketOwnerTable, a_refused_connect_of_a_program_that_exits_at_once_stays_its_own) {
  // A loopback port that refuses: bound, then closed.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(probe, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(bind(probe, (sockaddr *)&addr, sizeof(addr)), 0);
  ASSERT_EQ(getsockname(probe, (sockaddr *)&addr, &len), 0);
  close(probe);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int rc = connect(s, (sockaddr *)&addr, sizeof(addr));
    _exit(rc != 0 && errno == ECONNREFUSED ? 0 : 1);
  }
  // Exited, not yet reaped: what an exiting program looks like.
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, (id_t)child, &info, WEXITED | WNOWAIT), 0);
  ASSERT_EQ(info.si_status, 0) << "the connect was not refused";
  ASSERT_TRUE(ProcScan::exists((uint32_t)child));
  ASSERT_EQ(ProcScan::exePath((uint32_t)child), "");

  struct Case {
    const char *what;
    uint16_t port;
  } cases[] = {{"exiting", 40020}, {"gone", 40021}};
  for (const Case &c : cases) {
    if (std::string(c.what) == "gone") {
      ASSERT_EQ(waitpid(child, nullptr, 0), child);
      ASSERT_FALSE(ProcScan::exists((uint32_t)child));
    }
    SocketOwnerTable t(nullptr);
    vontrel_event e = tcpEvent(VONTREL_CONNECT_FAILED, "127.0.0.1", c.port, "127.0.0.1",
                               ntohs(addr.sin_port));
    e.proc.pid = e.proc.tid = (uint32_t)child;
    snprintf(e.proc.task, sizeof(e.proc.task), "%s", "refuser");
    e.father.pid = e.father.tid = (uint32_t)getpid();
    ASSERT_EQ(t.handleEvent(&e, sizeof(e), 1000), 0);
    Owner o = find4(t, "127.0.0.1", c.port, false, 1000);
    ASSERT_EQ(o.found, 1) << c.what;
    EXPECT_EQ(o.pid, (uint32_t)child) << c.what;
    EXPECT_EQ(o.uid, getuid()) << c.what;
    EXPECT_STREQ(o.user_name, ProcScan::userName(getuid()).c_str()) << c.what;
    EXPECT_STREQ(o.path, "refuser") << c.what << ": the command name stands for the path";
    EXPECT_STREQ(o.cmdline, "") << c.what;
    EXPECT_EQ(o.parent_pid, (uint32_t)getpid()) << c.what;
    EXPECT_EQ(std::string(o.parent_path), ProcScan::exePath(getpid())) << c.what;
  }
}

TEST(SocketOwnerTable, records_unused_for_180_seconds_go_at_the_next_purge) {
  SocketOwnerTable t(nullptr);
  time_t start = time(nullptr);
  vontrel_event a = tcpEvent(VONTREL_CONNECT, "127.0.0.1", 40004, "127.0.0.1", 80);
  vontrel_event b = tcpEvent(VONTREL_CONNECT, "127.0.0.1", 40005, "127.0.0.1", 80);
  t.handleEvent(&a, sizeof(a), start);
  t.handleEvent(&b, sizeof(b), start);
  // b is used at +100 s, so only a is older than 180 s at +181 s.
  EXPECT_EQ(find4(t, "127.0.0.1", 40005, false, start + 100).found, 1);
  vontrel_event c = tcpEvent(VONTREL_CONNECT, "127.0.0.1", 40006, "127.0.0.1", 80);
  t.handleEvent(&c, sizeof(c), start + 181);
  EXPECT_EQ(find4(t, "127.0.0.1", 40004, false, start + 181).found, 0);
  EXPECT_EQ(find4(t, "127.0.0.1", 40005, false, start + 181).found, 1);
  EXPECT_EQ(find4(t, "127.0.0.1", 40006, false, start + 181).found, 1);
}

TEST(SocketOwnerTable, ipv6_records_have_their_own_table) {
  SocketOwnerTable t(nullptr);
  vontrel_event e = tcpEvent(VONTREL_CONNECT, "127.0.0.1", 40007, "127.0.0.1", 80);
  e.ip_version = 6;
  inet_pton(AF_INET6, "::1", e.addr.v6.saddr);
  inet_pton(AF_INET6, "::1", e.addr.v6.daddr);
  t.handleEvent(&e, sizeof(e), 1000);
  vesk_address a = {6, {0}};
  inet_pton(AF_INET6, "::1", a.bytes);
  EXPECT_EQ(lookup(t, a, 40007, false, 1000).found, 1);
  EXPECT_EQ(find4(t, "0.0.0.0", 40007, false, 1000).found, 0);
}

TEST(SocketOwnerTable, container_ids_come_from_the_cgroup_directory_by_inode) {
  char dir[] = "/tmp/vesk-cgroup-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string base = std::string(dir) + "/";
  std::string scope = base + "docker-0123456789abcdef0123.scope";
  ASSERT_EQ(mkdir(scope.c_str(), 0755), 0);
  struct stat st;
  ASSERT_EQ(stat(scope.c_str(), &st), 0);
  SocketOwnerTable t(nullptr);
  t.setCgroupDirectory(base);
  for (uint64_t cgroup : {(uint64_t)st.st_ino, (uint64_t)1, (uint64_t)st.st_ino + 1000000}) {
    vontrel_event e = tcpEvent(VONTREL_CONNECT, "127.0.0.1", 40008, "127.0.0.1", 80);
    e.cgroup_id = cgroup;
    t.handleEvent(&e, sizeof(e), 1000);
    Owner o = find4(t, "127.0.0.1", 40008, false, 1000);
    EXPECT_STREQ(o.container, cgroup == st.st_ino ? "0123456789ab" : "") << cgroup;
  }
  rmdir(scope.c_str());
  rmdir(dir);
}

TEST(SocketOwnerTable, event_json_is_valid_whatever_the_names_hold) {
  SocketOwnerTable t(nullptr);
  vontrel_event e = tcpEvent(999, "127.0.0.1", 40009, "127.0.0.1", 80);
  memcpy(e.proc.task, "a\"b\\c\n$(x)\x01\xff", 13);
  e.retransmissions = 2;
  std::string json = t.eventJson(e, "/tmp/x\"y\n", "cmd \"q\" $(touch z)", "", "");
  json_object *o = json_tokener_parse(json.c_str());
  ASSERT_NE(o, nullptr) << json;
  json_object *v;
  ASSERT_TRUE(json_object_object_get_ex(o, "TCP_EVENT_TYPE", &v));
  EXPECT_STREQ(json_object_get_string(v), "999");
  ASSERT_TRUE(json_object_object_get_ex(o, "NW_LATENCY_MS", &v));
  EXPECT_NEAR(json_object_get_double(v), 1.5, 1e-9);
  ASSERT_TRUE(json_object_object_get_ex(o, "RETRAN_PKTS", &v));
  json_object *proc, *path;
  ASSERT_TRUE(json_object_object_get_ex(o, "LOCAL_PROCESS", &proc));
  ASSERT_TRUE(json_object_object_get_ex(proc, "PROCESS_PATH", &path));
  EXPECT_STREQ(json_object_get_string(path), "/tmp/x\"y\n");
  EXPECT_FALSE(json_object_object_get_ex(o, "LOCAL_FATHER_PROCESS", &v)) << "no parent command name";
  json_object_put(o);
  char buf[8];
  EXPECT_STREQ(SocketOwnerTable::eventName(VONTREL_CONNECT_FAILED, buf, sizeof(buf)), "CONNECT_FAILED");
  EXPECT_STREQ(SocketOwnerTable::eventName(65535, buf, sizeof(buf)), "65535");
}
