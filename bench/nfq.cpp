// Throughput through an NFQUEUE queue: iperf3 between two namespaces of its
// own, every packet queued, once with vesk on the queue and once with the
// accept-all program (the floor any queue program pays), three times each in
// turn. Prints the throughputs, their medians and the ratio of the medians.
//   nfq [seconds per run, default 5] Needs root; traffic stays in the namespaces.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

static std::string nsClient, nsServer, workDir;
static std::vector<pid_t> children;

static int sh(const std::string &command) {
  int rc = system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

static std::string capture(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

static pid_t spawn(const std::string &ns, const std::vector<std::string> &args,
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

static void stop(pid_t pid) {
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; i++) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

static void cleanup() {
  for (pid_t pid : children) {
    if (kill(pid, 0) == 0) stop(pid);
  }
  children.clear();
  sh("ip netns del " + nsClient);
  sh("ip netns del " + nsServer);
  if (!workDir.empty()) sh("rm -rf " + workDir);
}

static void onSignal(int) {
  cleanup();
  _exit(1);
}

static bool waitForText(const std::string &path, const std::string &text, int seconds) {
  for (int i = 0; i < seconds * 10; i++) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    if (ss.str().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Receiver-side throughput in bits per second from iperf3's JSON, or 0.
static double iperf(int seconds) {
  std::string json = capture("ip netns exec " + nsClient + " iperf3 -c 10.78.0.2 -t " +
                             std::to_string(seconds) + " -J 2>/dev/null");
  size_t at = json.find("\"sum_received\"");
  if (at == std::string::npos) return 0;
  at = json.find("\"bits_per_second\"", at);
  if (at == std::string::npos) return 0;
  return atof(json.c_str() + json.find(':', at) + 1);
}

static double measure(const char *name, const std::vector<std::string> &program,
                      const std::string &ready, int seconds) {
  pid_t pid = 0;
  if (!program.empty()) {
    std::string log = workDir + "/" + name + ".log";
    pid = spawn(nsServer, program, log);
    if (!waitForText(log, ready, 15)) {
      fprintf(stderr, "%s did not start:\n%s\n", name, capture("cat " + log).c_str());
      stop(pid);
      return 0;
    }
  }
  double bps = iperf(seconds);
  if (pid) stop(pid);
  printf("%-28s %10.1f Mbit/s\n", name, bps / 1e6);
  fflush(stdout);
  return bps;
}

static const int kRounds = 3;

static double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int main(int argc, char **argv) {
  if (geteuid() != 0) {
    printf("nfq: skipped: needs root (it creates network namespaces)\n");
    return 0;
  }
  if (sh("command -v iperf3") != 0) {
    printf("nfq: skipped: iperf3 is not installed\n");
    return 0;
  }
  int seconds = argc > 1 ? atoi(argv[1]) : 5;
  if (seconds < 1 || seconds > 60) seconds = 5;

  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  std::string benchDir = std::string(self).substr(0, std::string(self).rfind('/'));
  std::string vesk = benchDir + "/../vesk", acceptAll = benchDir + "/nfq_accept_all";

  std::string id = std::to_string(getpid());
  nsClient = "vesk-nfqb-c-" + id;
  nsServer = "vesk-nfqb-s-" + id;
  char dir[] = "/tmp/vesk-nfq-bench.XXXXXX";
  if (!mkdtemp(dir)) return 1;
  workDir = dir;
  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);

  bool ok = sh("ip netns add " + nsClient) == 0 && sh("ip netns add " + nsServer) == 0 &&
            sh("ip link add vbc" + id + " netns " + nsClient + " type veth peer name vbs" + id +
               " netns " + nsServer) == 0;
  if (!ok) {
    printf("nfq: cannot create the namespaces\n");
    cleanup();
    return 1;
  }
  std::string c = "ip netns exec " + nsClient + " ", s = "ip netns exec " + nsServer + " ";
  sh(c + "ip link set lo up");
  sh(s + "ip link set lo up");
  sh(c + "ip addr add 10.78.0.1/24 dev vbc" + id);
  sh(s + "ip addr add 10.78.0.2/24 dev vbs" + id);
  sh(c + "ip link set vbc" + id + " up");
  sh(s + "ip link set vbs" + id + " up");
  spawn(nsServer, {"iperf3", "-s"}, workDir + "/iperf3.log");
  waitForText(workDir + "/iperf3.log", "Server listening", 10);

  double none = measure("no queue", {}, "", seconds);
  // Every packet of both directions goes through the queue, no bypass: a
  // program that is not serving the queue stops the traffic instead of
  // flattering the figures.
  sh(s + "iptables -t mangle -A PREROUTING -i vbs" + id + " -j NFQUEUE --queue-num 0");
  sh(s + "iptables -t mangle -A OUTPUT -o vbs" + id + " -j NFQUEUE --queue-num 0");
  // The machine may be shared: alternate the two programs and keep the
  // median of each, so a burst of load elsewhere skews neither figure.
  std::vector<double> floors, vesks;
  for (int round = 0; round < kRounds; round++) {
    floors.push_back(
        measure("accept-all queue program", {acceptAll, "0"}, "accepting on queue", seconds));
    vesks.push_back(measure("vesk", {vesk, "-q", "0", "-s"}, "Running [UUID:", seconds));
  }
  double floor = median(floors), withVesk = median(vesks);
  printf("median accept-all:            %10.1f Mbit/s\n", floor / 1e6);
  printf("median vesk:                  %10.1f Mbit/s\n", withVesk / 1e6);

  printf("ratio vesk / accept-all:      %10.2f (target 0.80)\n", floor > 0 ? withVesk / floor : 0.0);
  printf("ratio accept-all / no queue:  %10.2f\n", none > 0 ? floor / none : 0.0);
  cleanup();
  return 0;
}
