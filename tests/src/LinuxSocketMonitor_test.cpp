#include "LinuxSocketMonitor.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ProcScan.h"
#include "policy_test_util.h"
#include "vesk_policy.h"

namespace {
// Polls until `done` holds or about `tenMs` x 10 ms have passed (ten seconds
// by default: a loaded machine may take a while to deliver process events).
template <typename F>
bool pollUntil(LinuxSocketMonitor &m, F done, int tenMs = 1000) {
  for (int i = 0; i < tenMs; i++) {
    m.poll();
    if (done()) return true;
    usleep(10000);
  }
  return false;
}

// A forked child, killed and reaped when the test leaves the scope, on
// whatever path.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};
}  // namespace

// Exit events come per thread: a thread that ends must not take its
// process's sockets with it; the process's own end does.
TEST(LinuxSocketMonitor, a_thread_exit_keeps_the_sockets_and_the_process_exit_drops_them) {
  std::string missing = processConnectorMissing();
  if (!missing.empty()) GTEST_SKIP() << missing;
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  Child owner;
  owner.pid = fork();
  pid_t child = owner.pid;
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Ends with the test: no end of a pipe kept that would hold it waiting.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(ready[0]);
    close(go[1]);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    (void)s;
    char c = 1;
    if (write(ready[1], &c, 1) != 1) _exit(1);
    if (read(go[0], &c, 1) != 1) _exit(1);
    pthread_t t;
    pthread_create(&t, nullptr, [](void *) -> void * { return nullptr; }, nullptr);
    pthread_join(t, nullptr);
    pause();
    _exit(0);
  }
  close(ready[1]);
  close(go[0]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  std::vector<uint32_t> inodes = ProcScan::socketInodes((uint32_t)child);
  ASSERT_EQ(inodes.size(), 1u);
  uint32_t inode = inodes[0];
  {
    LinuxSocketMonitor m(nullptr, true, true);
    EXPECT_TRUE(m.knowsInode(inode));
    ASSERT_EQ(write(go[1], &c, 1), 1);
    // The thread's exit event: the socket stays.
    pollUntil(m, [] { return false; }, 200);
    EXPECT_TRUE(m.knowsInode(inode)) << "a thread's exit dropped its process's socket";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    owner.pid = -1;
    EXPECT_TRUE(pollUntil(m, [&] { return !m.knowsInode(inode); })) << "the process exit was missed";
    EXPECT_GE(m.socketFd(), 0);
  }
  close(ready[0]);
  close(go[1]);
}

// This monitor has no owner lookups of its own: the facade answers "not
// found" without asking it, and hands out its connector descriptor.
TEST(LinuxSocketMonitor, the_facade_does_not_ask_a_monitor_without_owner_lookups) {
  std::string missing = processConnectorMissing();
  if (!missing.empty()) GTEST_SKIP() << missing;
  auto *m = reinterpret_cast<vesk_socket_monitor *>(
      static_cast<SocketMonitor *>(new LinuxSocketMonitor("lo", true, true)));
  vesk_socket_owner owner;
  owner.package = "stale";
  vesk_address loopback = {4, {127, 0, 0, 1}};
  EXPECT_EQ(socket_monitor_find_owner(m, &loopback, 22, 0, &owner), -1);
  EXPECT_STREQ(owner.package, "");
  EXPECT_GE(socket_monitor_fd(m), 0);
  EXPECT_GE(socket_monitor_poll(m), 0);
  socket_monitor_destroy(m);
}
