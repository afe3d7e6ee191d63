// A bounded flood of new UDP flows through vesk: 36-byte packets, each of a
// new flow, at a fixed rate, while a client makes HTTP requests to a server
// behind the same queue. Prints the share of requests answered, vesk's CPU
// time per queued packet while its table holds about 1k, 10k, 100k and 250k
// flows, packets the kernel dropped, and vesk's memory before the flood, at
// its end and after the flood's flows were purged.
//   flood [packets per second, default 15000]   Needs root; namespaces of its own.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cmath>

#include "netns_bench.h"

using namespace bench;

static const uint32_t kFloodPackets = 262000;

// Sends `count` UDP packets of 8 payload bytes at `rate` per second, each
// of a tuple not used before: 6 source ports times 50,000 destination ports.
static int sendFlood(int rate, uint32_t count) {
  int sockets[6];
  for (int i = 0; i < 6; i++) {
    sockets[i] = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(20001 + i));
    if (bind(sockets[i], reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) return 1;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  inet_pton(AF_INET, "10.78.0.2", &to.sin_addr);
  auto start = std::chrono::steady_clock::now();
  for (uint32_t n = 0; n < count; n++) {
    to.sin_port = htons(static_cast<uint16_t>(10000 + n % 50000));
    sendto(sockets[(n / 50000) % 6], "floodxx", 8, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    if (n % 64 == 63)
      std::this_thread::sleep_until(start + std::chrono::microseconds(
                                                static_cast<int64_t>((n + 1) * 1e6 / rate)));
  }
  return 0;
}

static uint64_t cpuNanoseconds(pid_t pid) {
  uint64_t total = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  if (!d) return 0;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/schedstat");
    uint64_t ns = 0;
    in >> ns;
    total += ns;
  }
  closedir(d);
  return total;
}

// Queue 0 in vesk's namespace: packets queued so far, and those the kernel
// dropped (queue full, or the socket's buffer full).
static void queueCounters(pid_t pid, uint64_t *queued, uint64_t *dropped) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/net/netfilter/nfnetlink_queue");
  uint64_t q, portid, waiting, mode, range, full, user, sequence, one;
  *queued = *dropped = 0;
  if (in >> q >> portid >> waiting >> mode >> range >> full >> user >> sequence >> one) {
    *queued = sequence;
    *dropped = full + user;
  }
}

static long rssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return 0;
}

struct Sample {
  uint64_t queued, cpu;
};

// CPU time per queued packet between the samples around `flows` packets.
static double costAt(const std::vector<Sample> &samples, uint64_t from, uint64_t to) {
  const Sample *a = nullptr, *b = nullptr;
  for (const Sample &s : samples) {
    if (!a && s.queued >= from) a = &s;
    if (s.queued <= to) b = &s;
  }
  if (!a || !b || b->queued <= a->queued) return 0;
  return static_cast<double>(b->cpu - a->cpu) / static_cast<double>(b->queued - a->queued) / 1e3;
}

int main(int argc, char **argv) {
  if (argc > 3 && strcmp(argv[1], "--send") == 0)
    return sendFlood(atoi(argv[2]), static_cast<uint32_t>(atol(argv[3])));
  if (geteuid() != 0) {
    printf("flood: skipped: needs root (it creates network namespaces)\n");
    return 0;
  }
  int rate = argc > 1 ? atoi(argv[1]) : 15000;
  if (rate < 100 || rate > 1000000) rate = 15000;
  std::string dir = selfDir(), vesk = dir + "/../vesk";
  if (!setUp("flood")) {
    printf("flood: cannot create the namespaces\n");
    cleanup();
    return 1;
  }
  std::string s = inServer();
  std::string i = " -i " + serverIf(), o = " -o " + serverIf();
  sh(s + "iptables -t mangle -A PREROUTING" + i + " -j NFQUEUE --queue-num 0");
  sh(s + "iptables -t mangle -A OUTPUT" + o + " -j NFQUEUE --queue-num 0");
  // The flood's ports are closed: no ICMP answers double the traffic.
  sh(s + "iptables -A INPUT -p udp --dport 10000:60000 -j DROP");
  spawn(nsServer, {"/usr/bin/python3", "-m", "http.server", "80", "--bind", "10.78.0.2"},
        workDir + "/http.log");
  for (int n = 0; n < 50 && sh(s + "ss -Hlnt 'sport = :80' | grep -q .") != 0; n++)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  pid_t pid = startReady("vesk", {vesk, "-q", "0", "-s"}, "Running [UUID:");
  if (!pid) {
    cleanup();
    return 1;
  }
  printf("other engineers' jobs may load this machine's CPUs: compare figures of one run\n");
  long rssBefore = rssKiB(pid);

  // Requests: one every 250 ms while the flood runs, each allowed 2 s.
  std::atomic<bool> flooding{true};
  std::atomic<int> asked{0}, answered{0};
  std::thread client([&] {
    while (flooding) {
      asked++;
      if (sh(inClient() + "curl -s -m 2 -o /dev/null http://10.78.0.2/") == 0) answered++;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  });
  uint64_t q0, d0;
  queueCounters(pid, &q0, &d0);
  pid_t sender = spawn(nsClient, {dir + "/flood", "--send", std::to_string(rate),
                                  std::to_string(kFloodPackets)},
                       workDir + "/sender.log");
  std::vector<Sample> samples;
  auto start = std::chrono::steady_clock::now();
  while (waitpid(sender, nullptr, WNOHANG) == 0) {
    uint64_t q, d;
    queueCounters(pid, &q, &d);
    samples.push_back({q - q0, cpuNanoseconds(pid)});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  flooding = false;
  client.join();
  uint64_t q1, d1;
  queueCounters(pid, &q1, &d1);
  long rssPeak = rssKiB(pid);

  printf("flood: %u packets of new flows in %.1f s (%.0f/s); %lu queued, %lu dropped by the kernel\n",
         kFloodPackets, seconds, kFloodPackets / seconds, static_cast<unsigned long>(q1 - q0),
         static_cast<unsigned long>(d1 - d0));
  printf("HTTP requests answered during the flood: %d of %d (%.1f%%)\n", answered.load(),
         asked.load(), asked ? 100.0 * answered / asked : 0.0);
  struct Level {
    const char *name;
    uint64_t from, to;
  } levels[] = {{"1k", 200, 2000}, {"10k", 5000, 15000}, {"100k", 90000, 110000},
                {"250k", 240000, 258000}};
  double base = 0;
  for (const Level &l : levels) {
    double us = costAt(samples, l.from, l.to);
    if (base == 0) base = us;
    printf("CPU time per packet at %-5s flows: %6.2f us  (%.2f times the cost at 1k)\n", l.name,
           us, base > 0 ? us / base : 0.0);
  }
  double perFlow = (rssPeak - rssBefore) * 1024.0 / kFloodPackets;
  printf("vesk RSS: %ld MiB before, %ld MiB with the flood's flows (%.0f bytes per flow)\n",
         rssBefore / 1024, rssPeak / 1024, perFlow);
  // Flows go idle 30 s after their packet; an idle queue purges them then.
  long rssAfter = rssPeak;
  for (int t = 0; t < 50; t++) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    rssAfter = rssKiB(pid);
    if (t > 32 && rssAfter < rssBefore + (rssPeak - rssBefore) / 4) break;
  }
  printf("vesk RSS after the flood's flows were purged: %ld MiB\n", rssAfter / 1024);
  cleanup();
  return 0;
}
