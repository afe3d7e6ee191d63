// Helpers of the benchmarks that run traffic between two network namespaces
// of their own (client 10.78.0.1, server 10.78.0.2, a veth pair between):
// shell commands, child processes stopped by PID, clean-up on any exit.
#ifndef VESK_BENCH_NETNS_BENCH_H
#define VESK_BENCH_NETNS_BENCH_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline std::string nsClient, nsServer, workDir, vethId;
inline std::vector<pid_t> children;

inline int sh(const std::string &command) {
  int rc = system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline std::string capture(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

inline std::string inClient() { return "ip netns exec " + nsClient + " "; }
inline std::string inServer() { return "ip netns exec " + nsServer + " "; }

// Starts a program in a namespace, output to a log file; remembered for
// clean-up.
inline pid_t spawn(const std::string &ns, const std::vector<std::string> &args,
                   const std::string &logPath) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    std::vector<std::string> full = {"ip", "netns", "exec", ns};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp("ip", argv.data());
    _exit(127);
  }
  children.push_back(pid);
  return pid;
}

inline void stop(pid_t pid) {
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; i++) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

inline void cleanup() {
  for (pid_t pid : children)
    if (kill(pid, 0) == 0) stop(pid);
  children.clear();
  sh("ip netns del " + nsClient);
  sh("ip netns del " + nsServer);
  if (!workDir.empty()) sh("rm -rf " + workDir);
}

inline void onSignal(int) {
  cleanup();
  _exit(1);
}

inline bool waitForText(const std::string &path, const std::string &text, int seconds) {
  for (int i = 0; i < seconds * 10; i++) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    if (ss.str().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// The directory of this benchmark binary (vesk is one level up).
inline std::string selfDir() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return ".";
  self[n] = '\0';
  std::string s(self);
  return s.substr(0, s.rfind('/'));
}

// Namespaces named after this process, the veth pair, addresses.
inline bool setUp(const std::string &tag) {
  std::string id = std::to_string(getpid());
  nsClient = "vesk-" + tag + "-c-" + id;
  nsServer = "vesk-" + tag + "-s-" + id;
  vethId = id;
  std::string dir = "/tmp/vesk-" + tag + "-bench.XXXXXX";
  std::vector<char> d(dir.begin(), dir.end());
  d.push_back('\0');
  if (!mkdtemp(d.data())) return false;
  workDir = d.data();
  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);
  bool ok = sh("ip netns add " + nsClient) == 0 && sh("ip netns add " + nsServer) == 0 &&
            sh("ip link add vbc" + id + " netns " + nsClient + " type veth peer name vbs" + id +
               " netns " + nsServer) == 0;
  if (!ok) return false;
  std::string c = inClient(), s = inServer();
  sh(c + "ip link set lo up");
  sh(s + "ip link set lo up");
  sh(c + "ip addr add 10.78.0.1/24 dev vbc" + id);
  sh(s + "ip addr add 10.78.0.2/24 dev vbs" + id);
  sh(c + "ip link set vbc" + id + " up");
  sh(s + "ip link set vbs" + id + " up");
  for (int i = 0; i < 50 && sh(c + "ping -c1 -W1 10.78.0.2") != 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return true;
}

inline std::string serverIf() { return "vbs" + vethId; }
inline std::string clientIf() { return "vbc" + vethId; }

// Starts a program in the server namespace and waits for its ready text.
inline pid_t startReady(const std::string &name, const std::vector<std::string> &program,
                        const std::string &ready) {
  std::string file = name;
  for (char &c : file)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  std::string log = workDir + "/" + file + ".log";
  pid_t pid = spawn(nsServer, program, log);
  if (!waitForText(log, ready, 15)) {
    fprintf(stderr, "%s did not start:\n%s\n", name.c_str(), capture("cat " + log).c_str());
    stop(pid);
    return 0;
  }
  return pid;
}

// Loads a pass-all rules file into an in-process queue (through a temporary
// file, as loadRules reads one). false when it cannot.
template <typename Queue>
bool loadPassRules(Queue &queue) {
  char path[] = "/tmp/vesk-bench-rules-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return false;
  const std::string text =
      "{\"policy\":{\"id\":0,\"name\":\"pass\",\"default_marker\":\"pass\",\"markers\":{}}}\n";
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  ok = ok && queue.loadRules(path);
  unlink(path);
  return ok;
}

}  // namespace bench

#endif
