#include "PackageCache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "ProcessInfo.h"
#include "ProcScan.h"

namespace {
// What dpkg-query itself says owns a path, read directly (no shell).
std::string dpkgAnswer(const std::string &path) {
  std::string out = PackageCache::runCapture({"/usr/bin/dpkg-query", "--search", "--", path});
  size_t colon = out.find(':');
  return colon == std::string::npos ? "" : out.substr(0, colon);
}

struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/vesk-pkg-XXXXXX";
    path = mkdtemp(t);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};
}  // namespace

TEST(PackageCache, answers_what_dpkg_query_answers_and_asks_once_per_path) {
  if (access("/var/lib/dpkg/info", F_OK) != 0) GTEST_SKIP() << "no dpkg database";
  PackageCache &cache = PackageCache::instance();
  EXPECT_STREQ(cache.packageFile("/usr/bin/dpkg-query"), dpkgAnswer("/usr/bin/dpkg-query").c_str());
  EXPECT_STREQ(cache.packageFile("/usr/bin/dpkg-query"), "dpkg");

  unsigned long before = cache.queries();
  const char *first = cache.packageFile("/tmp/vesk-no-such-program");
  unsigned long afterFirst = cache.queries();
  const char *second = cache.packageFile("/tmp/vesk-no-such-program");
  EXPECT_STREQ(first, "");
  EXPECT_EQ(first, second) << "the cached text itself";
  EXPECT_GT(afterFirst, before);
  EXPECT_EQ(cache.queries(), afterFirst) << "no second run for a path that has no package";
}

TEST(PackageCache, merged_usr_paths_find_the_package_listed_under_the_old_path) {
  if (access("/var/lib/dpkg/info", F_OK) != 0) GTEST_SKIP() << "no dpkg database";
  if (dpkgAnswer("/bin/sleep").empty()) GTEST_SKIP() << "coreutils does not list /bin/sleep";
  EXPECT_STREQ(PackageCache::instance().packageFile("/usr/bin/sleep"), "coreutils");
}

TEST(PackageCache, glob_characters_in_a_path_match_only_themselves) {
  if (access("/var/lib/dpkg/info", F_OK) != 0) GTEST_SKIP() << "no dpkg database";
  // As a pattern these would name dpkg-query and every file under /usr/bin.
  for (const char *path : {"/usr/bin/dpkg-quer?", "/usr/bin/dpkg-q*", "/usr/bin/[d]pkg-query"})
    EXPECT_STREQ(PackageCache::instance().packageFile(path), "") << path;
}

TEST(PackageCache, hostile_paths_run_nothing) {
  TempDir dir;
  std::string marker = dir.path + "/pwned";
  const std::string names[] = {
      "x;touch " + marker,       "$(touch " + marker + ")", "`touch " + marker + "`",
      "a\" 'b\n; touch " + marker, "x 2>/dev/null; touch " + marker + " #",
  };
  for (const std::string &name : names) {
    std::string path = dir.path + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n";
    EXPECT_STREQ(PackageCache::instance().packageFile(path.c_str()), "") << path;
  }
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a lookup ran a command";
}

TEST(PackageCache, dpkg_answer_lines) {
  struct Case {
    const char *line, *path, *package;
  } cases[] = {
      {"curl: /usr/bin/curl", "/usr/bin/curl", "curl"},
      {"libc6:amd64: /usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/lib/x86_64-linux-gnu/libc.so.6", "libc6"},
      {"pkg-a, pkg-b: /usr/share/x", "/usr/share/x", "pkg-a"},
      {"diversion by dash from: /bin/sh", "/bin/sh", ""},
      {"libcurl4-openssl-dev:amd64: /usr/bin/curl-config", "/usr/bin/curl", ""},
      {"dpkg-query: no path found matching pattern /x", "/x", ""},
      {"", "/x", ""},
  };
  for (const Case &c : cases)
    EXPECT_EQ(PackageCache::parseDpkgLine(c.line, c.path), c.package) << c.line;
  EXPECT_EQ(PackageCache::dpkgPattern("/a*b?c[d]e\\f"), "/a\\*b\\?c\\[d\\]e\\\\f");
}

TEST(PackageCache, a_program_that_cannot_start_gives_nothing) {
  EXPECT_EQ(PackageCache::runCapture({"/nonexistent/program"}), "");
  EXPECT_EQ(PackageCache::runCapture({"/bin/echo", "a b", "$(x)"}), "a b $(x)\n");
}

TEST(ProcessInfo, pid_zero_is_all_zeros) {
  ProcessInfo p(0);
  EXPECT_EQ(p.getPid(), 0u);
  EXPECT_EQ(p.getUid(), 0u);
  EXPECT_EQ(p.getParentPid(), 0u);
  EXPECT_TRUE(p.getPath().empty());
  EXPECT_STREQ(p.getUserName(), "");
}

TEST(ProcessInfo, reads_the_process_and_its_parent) {
  ProcessInfo p((uint32_t)getpid());
  EXPECT_EQ(p.getPid(), (uint32_t)getpid());
  EXPECT_EQ(p.getUid(), getuid());
  EXPECT_EQ(p.getParentPid(), (uint32_t)getppid());
  EXPECT_EQ(p.getPath(), ProcScan::exePath(getpid()));
  EXPECT_GT(p.getVmSize(), 0u);
  EXPECT_GE(p.getVmPeak(), p.getVmSize());
  EXPECT_EQ(p.getParentPath(), ProcScan::exePath(getppid()));
  std::string user = ProcScan::userName(getuid()).substr(0, 7);
  EXPECT_EQ(p.getUserName(), user);
  EXPECT_EQ(ProcessInfo(999999999).getPid(), 0u) << "no such process";
}

TEST(ProcScan, a_deleted_program_keeps_its_path_and_blanks_inside_a_path_are_kept) {
  TempDir dir;
  for (const std::string name : {"s", "a (b)"}) {
    std::string path = dir.path + "/" + name;
    ASSERT_EQ(PackageCache::runCapture({"/bin/cp", "/bin/sleep", path}), "");
    pid_t child = fork();
    if (child == 0) {
      execl(path.c_str(), "sleep", "5", (char *)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 200 && ProcScan::exePath(child) != path; i++) usleep(10000);
    EXPECT_EQ(ProcScan::exePath(child), path);
    unlink(path.c_str());
    EXPECT_EQ(ProcScan::exePath(child), path) << "deleted";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  EXPECT_EQ(ProcScan::socketInodeOfLink("socket:[12345]"), 12345u);
  EXPECT_EQ(ProcScan::socketInodeOfLink("pipe:[12345]"), 0u);
  EXPECT_EQ(ProcScan::socketInodeOfLink("socket:[]"), 0u);
  EXPECT_EQ(ProcScan::socketInodeOfLink("socket:[99999999999]"), 0u);
}
