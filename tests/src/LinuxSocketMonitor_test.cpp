#include "LinuxSocketMonitor.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ProcScan.h"
#include "vesk_policy.h"

namespace {
// Polls until `done` holds or about two seconds have passed.
template <typename F>
bool pollUntil(LinuxSocketMonitor &m, F done) {
  for (int i = 0; i < 200; i++) {
    m.poll();
    if (done()) return true;
    usleep(10000);
  }
  return false;
}

// The forked child of a test and the pipes to it. However the test ends (a
// failed ASSERT returns early), the child is killed and reaped and the pipes
// closed, so no child outlives the test holding ctest's output open.
struct Child {
  pid_t pid = -1;
  int ready[2] = {-1, -1}, go[2] = {-1, -1};
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (int fd : {ready[0], ready[1], go[0], go[1]})
      if (fd >= 0) close(fd);
  }
};
}  // namespace

// Exit events come per thread: a thread that ends must not take its
// process's sockets with it; the process's own end does.
TEST(LinuxSocketMonitor, a_thread_exit_keeps_the_sockets_and_the_process_exit_drops_them) {
  if (getuid() != 0) GTEST_SKIP() << "the process-event connector needs CAP_NET_ADMIN";
  Child ch;
  ASSERT_EQ(pipe(ch.ready), 0);
  ASSERT_EQ(pipe(ch.go), 0);
  const pid_t parent = getpid();
  ch.pid = fork();
  ASSERT_GE(ch.pid, 0);
  if (ch.pid == 0) {
    // Only the parent writes to `go`: with the child's own write end closed,
    // the reads below end when the parent goes away, whatever it was doing.
    close(ch.go[1]);
    close(ch.ready[0]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    (void)s;
    char c = 1;
    if (write(ch.ready[1], &c, 1) != 1) _exit(1);
    if (read(ch.go[0], &c, 1) != 1) _exit(1);
    pthread_t t;
    pthread_create(&t, nullptr, [](void *) -> void * { return nullptr; }, nullptr);
    pthread_join(t, nullptr);
    // Stays until the parent kills it (or closes the pipe by ending).
    while (read(ch.go[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  const pid_t child = ch.pid;
  char c;
  ASSERT_EQ(read(ch.ready[0], &c, 1), 1);
  std::vector<uint32_t> inodes = ProcScan::socketInodes((uint32_t)child);
  ASSERT_EQ(inodes.size(), 1u);
  uint32_t inode = inodes[0];
  {
    LinuxSocketMonitor m(nullptr, true, true);
    EXPECT_TRUE(m.knowsInode(inode));
    ASSERT_EQ(write(ch.go[1], &c, 1), 1);
    // The thread's exit event: the socket stays.
    pollUntil(m, [] { return false; });
    EXPECT_TRUE(m.knowsInode(inode)) << "a thread's exit dropped its process's socket";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ch.pid = -1;
    EXPECT_TRUE(pollUntil(m, [&] { return !m.knowsInode(inode); })) << "the process exit was missed";
    EXPECT_GE(m.socketFd(), 0);
  }
}

// This monitor has no owner lookups of its own: the facade answers "not
// found" without asking it, and hands out its connector descriptor.
TEST(LinuxSocketMonitor, the_facade_does_not_ask_a_monitor_without_owner_lookups) {
  if (getuid() != 0) GTEST_SKIP() << "the process-event connector needs CAP_NET_ADMIN";
  auto *m = reinterpret_cast<vesk_socket_monitor *>(
      static_cast<SocketMonitor *>(new LinuxSocketMonitor("lo", true, true)));
  const char *pkg = "stale";
  EXPECT_EQ(socket_monitor_find_ipv4_owner(m, 0x7F000001, 22, 0, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0, &pkg,
                                           nullptr, 0, nullptr, nullptr, 0, nullptr),
            -1);
  EXPECT_STREQ(pkg, "");
  EXPECT_GE(socket_monitor_fd(m), 0);
  EXPECT_GE(socket_monitor_poll(m), 0);
  socket_monitor_destroy(m);
}
