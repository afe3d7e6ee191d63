#include "PackageCache.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

extern char **environ;

PackageCache &PackageCache::instance() {
  static PackageCache cache;
  return cache;
}

PackageCache::PackageCache() {
  struct stat st;
  dpkgMissing = stat("/var/lib/dpkg/info", &st) != 0;
}

const char *PackageCache::packageFile(const char *path) {
  if (!path) path = "";
  std::lock_guard<std::mutex> guard(mutex);
  try {
    auto it = packages.find(path);
    if (it == packages.end()) it = packages.emplace(path, lookup(path)).first;
    return it->second.c_str();
  } catch (const std::bad_alloc &) {
    // Out of memory the package is unknown, as for a path no package owns.
    return "";
  }
}

std::string PackageCache::dpkgPattern(const std::string &path) {
  std::string out;
  for (char c : path) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string PackageCache::parseDpkgLine(const std::string &line, const std::string &path) {
  // "diversion by X from: PATH" and "diversion by X to: PATH" name no owner.
  if (line.rfind("diversion by ", 0) == 0) return "";
  std::string tail = ": " + path;
  if (line.size() <= tail.size() || line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
    return "";
  std::string owners = line.substr(0, line.size() - tail.size());
  std::string first = owners.substr(0, owners.find(", "));
  first = first.substr(0, first.find(':'));
  return first;
}

std::string PackageCache::lookup(const std::string &path) {
  if (path.empty() || path[0] != '/') return "";
  if (dpkgMissing) {
    runs++;
    std::string out = runCapture({"/usr/bin/rpm", "-q", "--whatprovides", "--", path});
    std::string line = out.substr(0, out.find('\n'));
    if (line.empty() || line.rfind("error:", 0) == 0 || line.find("not owned") != std::string::npos)
      return "";
    return line;
  }
  // With the merged /usr, dpkg's lists may hold /bin/x for what the kernel
  // shows as /usr/bin/x: ask for the alias when the path itself is unknown.
  std::vector<std::string> candidates{path};
  static const char *const merged[] = {"/usr/bin/", "/usr/sbin/", "/usr/lib/", "/usr/lib64/"};
  for (const char *prefix : merged)
    if (path.rfind(prefix, 0) == 0) candidates.push_back(path.substr(4));
  for (const std::string &candidate : candidates) {
    runs++;
    std::string out =
        runCapture({"/usr/bin/dpkg-query", "--search", "--", dpkgPattern(candidate)});
    size_t start = 0;
    while (start < out.size()) {
      size_t end = out.find('\n', start);
      if (end == std::string::npos) end = out.size();
      std::string package = parseDpkgLine(out.substr(start, end - start), candidate);
      if (!package.empty()) return package;
      start = end + 1;
    }
  }
  return "";
}

std::string PackageCache::runCapture(const std::vector<std::string> &args) {
  if (args.empty()) return "";
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t child = -1;
  int rc = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    return "";
  }

  std::string out;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool killed = false;
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsedMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsedMs >= 10000) {
      kill(child, SIGKILL);
      killed = true;
      break;
    }
    struct pollfd p = {pipefd[0], POLLIN, 0};
    int ready = poll(&p, 1, (int)(10000 - elapsedMs));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buf[4096];
    ssize_t n = read(pipefd[0], buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (out.size() < 65536) out.append(buf, (size_t)std::min<size_t>((size_t)n, 65536 - out.size()));
  }
  close(pipefd[0]);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return killed ? "" : out;
}
