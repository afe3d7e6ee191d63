#include "Blacklists.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "BlacklistFetch.h"
#include "RuleManager.h"
#include "policy_test_util.h"
#include "vesk_rules.h"

extern char **environ;

namespace {

// How long the test server's /slow stalls after its first line.
constexpr double kSlowStallSeconds = 30;

std::set<std::string> tempLists() {
  std::set<std::string> names;
  DIR *d = opendir("/tmp");
  if (!d) return names;
  while (struct dirent *e = readdir(d))
    if (strncmp(e->d_name, "ipset_tempfile-", 15) == 0) names.insert(e->d_name);
  closedir(d);
  return names;
}

// Our download removes its file before returning; files of downloads that
// other tests run at the same time vanish within their time-outs.
void expectNoLeftover(const std::set<std::string> &before) {
  std::set<std::string> left;
  for (int i = 0; i < 50; i++) {
    left.clear();
    for (const std::string &n : tempLists())
      if (!before.count(n)) left.insert(n);
    if (left.empty()) return;
    usleep(100000);
  }
  ADD_FAILURE() << "temporary list left behind: " << *left.begin();
}

TEST(Blacklists, list_lines_and_address_forms) {
  Log::instance();
  RulesFile list(
      "# comment\n"
      "\n"
      "203.0.113.0/24\n"
      "2001:db8::/32\r\n"
      "some name,198.51.100.7,ignored\n"
      "onlyonefield,\n"
      "10.0.0.0/0\n"
      "172.16.0.0/33\n"
      "2001:db9::/129\n"
      "192.168.0.0/abc\n"
      "not an address\n"
      "::ffff:0:0/200\n");
  Blacklists b;
  EXPECT_TRUE(b.loadFile(list.path.c_str()));
  struct {
    const char *address;
    bool covered;
  } cases[] = {
      {"203.0.113.77", true},  {"203.0.114.1", false}, {"2001:db8::1", true},
      {"2001:db9::1", false},  {"198.51.100.7", true}, {"198.51.100.8", false},
      {"10.0.0.0", true},      {"10.0.0.1", false},    // /0 means the address alone
      {"172.16.0.1", false},   {"192.168.0.1", false}, // over-long and bad lengths refused
      {"::ffff:0:1", false},
  };
  for (auto &c : cases) EXPECT_EQ(b.containsText(c.address), c.covered) << c.address;

  EXPECT_FALSE(b.add("10.0.0.0/33"));
  EXPECT_FALSE(b.add("fe80::/129"));
  EXPECT_TRUE(b.add("fe80::/10"));
  EXPECT_TRUE(b.containsText("fe80::1"));
  EXPECT_FALSE(b.containsText("254.128.0.1"));
  EXPECT_TRUE(b.remove("203.0.113.0/24"));
  EXPECT_FALSE(b.containsText("203.0.113.77"));
  EXPECT_FALSE(b.remove("203.0.113.0/24"));

  Addr a = addr("198.51.100.7"), six = addr("2001:db8::5");
  EXPECT_TRUE(b.contains(a.data(), 4));
  EXPECT_TRUE(b.contains(six.data(), 6));
  EXPECT_FALSE(b.contains(a.data(), 6));
  EXPECT_FALSE(b.contains(nullptr, 4));

  testing::internal::CaptureStdout();
  EXPECT_FALSE(b.loadFile("/nonexistent/list.txt"));
  EXPECT_TRUE(contains(testing::internal::GetCapturedStdout(),
                       "WARNING: Unable to open file /nonexistent/list.txt"));
}

// Downloads against a loopback HTTP server this test starts.
class BlacklistDownload : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::string script = std::string(VESK_SOURCE_DIR) + "/tests/src/blacklist_http_server.py";
    startedPath() = "/tmp/vesk-blacklist-slow-" + std::to_string(getpid());
    unlink(startedPath().c_str());
    char *argv[] = {(char *)"/usr/bin/python3", (char *)script.c_str(),
                    (char *)startedPath().c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&serverPid, argv[0], &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    char buf[16] = {0};
    ssize_t n = read(out[0], buf, sizeof(buf) - 1);
    close(out[0]);
    ASSERT_GT(n, 0) << "server did not start";
    port = atoi(buf);
    ASSERT_GT(port, 0);
  }
  static void TearDownTestSuite() {
    if (serverPid > 0) {
      kill(serverPid, SIGTERM);
      waitpid(serverPid, nullptr, 0);
      serverPid = 0;
    }
    unlink(startedPath().c_str());
  }
  // Where the server notes each /slow response that has begun.
  static std::string &startedPath() {
    static std::string path;
    return path;
  }
  static unsigned slowStarted() {
    std::ifstream in(startedPath());
    std::string line;
    unsigned n = 0;
    while (std::getline(in, line)) n++;
    return n;
  }
  // Waits (bounded) until more /slow responses than `before` have begun.
  static bool waitSlowStarted(unsigned before) {
    for (int i = 0; i < 500; i++) {
      if (slowStarted() > before) return true;
      usleep(10000);
    }
    return false;
  }
  static std::string url(const char *path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  static pid_t serverPid;
  static int port;
};
pid_t BlacklistDownload::serverPid = 0;
int BlacklistDownload::port = 0;

TEST_F(BlacklistDownload, good_list_loads_and_leaves_no_temporary_file) {
  Log::instance();
  std::set<std::string> before = tempLists();
  Blacklists b;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(b.download(url("/good.txt").c_str()));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "Downloading " + url("/good.txt") + "...")) << out;
  EXPECT_TRUE(b.containsText("203.0.113.77"));
  EXPECT_TRUE(b.containsText("2001:db8::1"));
  EXPECT_TRUE(b.containsText("198.51.100.7"));
  expectNoLeftover(before);
}

TEST_F(BlacklistDownload, http_error_and_stalled_server_fail_and_change_nothing) {
  Log::instance();
  std::set<std::string> before = tempLists();
  Blacklists b;
  b.setTimeouts(2, 2);
  ASSERT_TRUE(b.add("203.0.113.0/24"));
  for (const char *path : {"/missing", "/slow"}) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(b.download(url(path).c_str())) << path;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(contains(out, "ERROR: Error while downloading " + url(path))) << out;
  }
  EXPECT_FALSE(b.containsText("192.0.2.99"));  // the 404 page's body
  EXPECT_FALSE(b.containsText("192.0.2.50"));  // the stalled partial list
  EXPECT_TRUE(b.containsText("203.0.113.77"));
  expectNoLeftover(before);

  // Nothing listens on port 9 of loopback: a refused connection fails too.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(b.download("http://127.0.0.1:9/list.txt"));
  testing::internal::GetCapturedStdout();
}

TEST_F(BlacklistDownload, rules_file_blacklists_line_feeds_the_manager) {
  vesk_rule_manager *m = rule_manager_create(nullptr, 16, 16);
  ASSERT_NE(m, nullptr);
  RulesFile rules("{\"blacklists\":[\"" + url("/missing") + "\",\"file:///dev/zero\",\"" +
                  url("/good.txt") + "\"]}\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(rule_manager_load_rules(m, rules.path.c_str()), 0);
  vesk_blacklists *fetch = rule_manager_blacklists(m);
  ASSERT_NE(fetch, nullptr);
  EXPECT_EQ(blacklists_wait(fetch, 10000), 1);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(log, "Skipping blacklist file:///dev/zero: only http and https")) << log;
  EXPECT_TRUE(contains(log, "Blacklists ready: 1 of 2 lists loaded")) << log;
  Addr in = addr("203.0.113.5"), out = addr("192.0.2.99"), six = addr("2001:db8::1");
  EXPECT_TRUE(rule_manager_is_blacklisted(m, in.data(), 4));
  EXPECT_FALSE(rule_manager_is_blacklisted(m, out.data(), 4));
  EXPECT_TRUE(rule_manager_is_blacklisted(m, six.data(), 6));
  EXPECT_FALSE(rule_manager_is_blacklisted(nullptr, in.data(), 4));

  // A second manager of the same reload takes the same downloads; one
  // naming other URLs starts its own.
  vesk_rule_manager *m2 = rule_manager_create(nullptr, 16, 16);
  rule_manager_share_blacklists(m2, fetch);
  testing::internal::CaptureStdout();
  EXPECT_EQ(rule_manager_load_rules(m2, rules.path.c_str()), 0);
  log = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(contains(log, "Downloading")) << log;
  EXPECT_TRUE(rule_manager_is_blacklisted(m2, in.data(), 4));
  RulesFile other("{\"blacklists\":[\"" + url("/good.txt") + "\"]}\n");
  vesk_rule_manager *m3 = rule_manager_create(nullptr, 16, 16);
  rule_manager_share_blacklists(m3, fetch);
  testing::internal::CaptureStdout();
  EXPECT_EQ(rule_manager_load_rules(m3, other.path.c_str()), 0);
  vesk_blacklists *own = rule_manager_blacklists(m3);
  EXPECT_EQ(blacklists_wait(own, 10000), 1);
  log = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(log, "Downloading " + url("/good.txt"))) << log;
  blacklists_release(own);
  blacklists_release(fetch);
  rule_manager_destroy(m3);
  rule_manager_destroy(m2);
  rule_manager_destroy(m);
}

// Schemes other than http and https are never fetched; a list over the cap
// is cut off; a stalled download ends at once when asked to.
TEST_F(BlacklistDownload, downloads_are_bounded_and_abortable) {
  Log::instance();
  std::set<std::string> before = tempLists();
  Blacklists b;
  testing::internal::CaptureStdout();
  for (const char *u : {"file:///dev/zero", "ftp://127.0.0.1/x", "gopher://127.0.0.1/"})
    EXPECT_FALSE(b.download(u)) << u;
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(contains(out, "Downloading")) << out;

  b.setMaxBytes(1 << 20);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(b.download(url("/big").c_str()));
  out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "list larger than 1048576 bytes")) << out;
  EXPECT_FALSE(b.containsText("198.51.100.1"));
  // A list that announces its size is refused at once, with both sizes.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(b.download(url("/huge").c_str()));
  out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "server announces 200000000 bytes, more than the limit of 1048576 bytes"))
      << out;
  EXPECT_FALSE(b.containsText("198.51.100.2"));

  // Aborted once the server has begun its answer and stalls.
  std::atomic<bool> abort{false};
  unsigned started = slowStarted();
  std::thread stopper([&abort, started] {
    waitSlowStarted(started);
    abort.store(true);
  });
  auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(b.download(url("/slow").c_str(), &abort));
  testing::internal::GetCapturedStdout();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stopper.join();
  // The bound tells an aborted download from one that waited for the server:
  // far above any scheduling delay, far below the stall.
  EXPECT_LT(seconds, kSlowStallSeconds / 2) << "the stalled server sends nothing for 30 s";
  expectNoLeftover(before);

  // Dropping the last reference to a fetch in progress stops it too.
  start = std::chrono::steady_clock::now();
  {
    testing::internal::CaptureStdout();
    started = slowStarted();
    BlacklistFetch fetch({url("/slow")});
    EXPECT_TRUE(waitSlowStarted(started)) << "the download never reached the server";
    EXPECT_FALSE(fetch.done());
    EXPECT_FALSE(fetch.contains(addr("192.0.2.50").data(), 4));
  }
  testing::internal::GetCapturedStdout();
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, kSlowStallSeconds / 2);
}

}  // namespace
