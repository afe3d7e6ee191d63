// New flows at rate, in one run.
//
// In this process, through a queue's packet path without the kernel: the
// bytes and allocations a new unclassified UDP and TCP flow costs, and the
// time of a packet that starts a new flow while the table holds about 1k,
// 100k and 1M flows.
//
// Through vesk in namespaces of its own: floods of 36-byte UDP packets, each
// of a new flow, at 15k, 50k and 100k a second for 10 s each (a fresh vesk
// each), while a client makes HTTP requests to a server behind the same
// queue: packets the kernel dropped, requests answered, vesk's CPU time per
// queued packet, and vesk's memory with the 100k/s flood's 1M flows live and
// after they expired.
//   flood [vesk binary, default ../vesk]   Needs root for the second part.
#include <arpa/inet.h>
#include <dirent.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cmath>
#include <new>

#include "Configuration.h"
#include "NetfilterInterface.h"
#include "Trace.h"
#include "netns_bench.h"
#include "new_flow_packets.h"
#include "oxlo_memory.h"

using namespace bench;

// ---- allocation counts of this process ----

static std::atomic<uint64_t> allocations{0};

// The replaced operator new takes its blocks from malloc, so free is its
// matching release.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void *p = malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }

static void *countedAlloc(size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return malloc(n);
}
static void *countedCalloc(size_t c, size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return calloc(c, n);
}
static void *countedRealloc(void *p, size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return realloc(p, n);
}
static void *countedAligned(size_t a, size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  void *p = nullptr;
  return posix_memalign(&p, a, n) == 0 ? p : nullptr;
}

static uint64_t heapBytes() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd + oxlo_huge_bytes();  // large tables are mapped apart
}

struct InProcess {
  ZMQExporterList exporters;
  NetfilterInterface queue;
  uint32_t next = 0;  // the next flow number
  InProcess() : queue(NetfilterInterface::Unbound(), 0, &exporters) {}

  bool loadPassRules() { return bench::loadPassRules(queue); }
  void send(uint32_t now, uint32_t count, bool tcp) {
    uint8_t p[64];
    for (uint32_t n = 0; n < count; n++) {
      uint32_t length = newFlowPacket(next++, tcp, p);
      queue.processPacket(now, nullptr, 1, 2, p, length);
    }
  }
  // Lets every flow go idle and purges them (two idle seconds).
  void expireAll(uint32_t *now) {
    *now += 40;
    for (int i = 0; i < 40 && queue.flowTable()->count() > 0; i++) queue.idleSecond((*now)++);
  }
};

static void inProcessPart() {
  configuration.flowLimit = 1100000;
  if (!trace) trace = new Trace();
  trace->setLevel(0);
  globalRunning = 1;
  InProcess p;
  if (!p.loadPassRules()) {
    printf("in-process: cannot load rules\n");
    return;
  }
  uint32_t now = 1000000;
  // Warm-up: the first flows pay for lazily built engine tables.
  p.send(now, 2000, false);
  p.send(now, 2000, true);
  p.expireAll(&now);

  printf("in-process, a new unclassified flow (heap bytes held per flow, allocations per flow):\n");
  for (bool tcp : {false, true}) {
    const uint32_t n = 50000;
    uint64_t bytes = heapBytes(), calls = allocations.load();
    p.send(now, n, tcp);
    uint32_t live = p.queue.flowTable()->count();
    uint64_t held = heapBytes() - bytes, made = allocations.load() - calls;
    printf("  %-10s %6.0f bytes  %5.2f allocations  (%u of %u flows live)\n",
           tcp ? "TCP SYN" : "UDP", live ? static_cast<double>(held) / live : 0.0,
           static_cast<double>(made) / n, live, n);
    p.expireAll(&now);
  }

  printf("in-process, time of a packet that starts a new flow:\n");
  struct Level {
    const char *name;
    uint32_t flows, timed, rounds;
  } levels[] = {{"1k", 1000, 500, 40}, {"100k", 100000, 10000, 2}, {"1M", 1000000, 20000, 1}};
  for (const Level &l : levels) {
    double seconds = 0;
    uint32_t peak = 0;
    for (uint32_t r = 0; r < l.rounds; r++) {
      p.send(now, l.flows, false);
      auto start = std::chrono::steady_clock::now();
      p.send(now, l.timed, false);
      seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      peak = std::max(peak, p.queue.flowTable()->count());
      if (l.flows == 1000000) {
        long kib = 0;
        std::ifstream in("/proc/self/status");
        std::string line;
        while (std::getline(in, line))
          if (line.rfind("VmRSS:", 0) == 0) kib = atol(line.c_str() + 6);
        printf("  (this process with %u flows: RSS %ld MiB)\n", peak, kib / 1024);
      }
      p.expireAll(&now);
    }
    printf("  table of %-5s flows: %6.2f us per new-flow packet  (%u timed, table up to %u)\n",
           l.name, seconds * 1e6 / (static_cast<double>(l.timed) * l.rounds), l.timed * l.rounds,
           peak);
    fflush(stdout);
  }
}

// ---- the flood through vesk ----

// Sends `count` UDP packets of 8 payload bytes at `rate` per second, each
// of a tuple not used before: 20 source ports times 50,000 destination ports.
static int sendFlood(int rate, uint32_t count) {
  const int kSockets = 20;
  int sockets[kSockets];
  for (int i = 0; i < kSockets; i++) {
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
    sendto(sockets[(n / 50000) % kSockets], "floodxx", 8, 0, reinterpret_cast<sockaddr *>(&to),
           sizeof(to));
    if (n % 64 == 63)
      std::this_thread::sleep_until(start + std::chrono::microseconds(
                                                static_cast<int64_t>((n + 1) * 1e6 / rate)));
  }
  return 0;
}

// CPU time of all of the process's threads, and in *busiest that of the
// queue's (the busiest thread named for a queue), whose pace decides the
// kernel's drops.
static uint64_t cpuNanoseconds(pid_t pid, uint64_t *busiest) {
  uint64_t total = 0;
  *busiest = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  if (!d) return 0;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/schedstat");
    uint64_t ns = 0;
    in >> ns;
    total += ns;
    std::ifstream named(dir + "/" + e->d_name + "/comm");
    std::string comm;
    named >> comm;
    if (comm.rfind("NF_QUEUE", 0) == 0) *busiest = std::max(*busiest, ns);
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
  uint64_t queued, cpu, queueCpu;
};

// CPU time per queued packet between the samples around `from`..`to`: of
// the whole process, or of its busiest thread.
static double costAt(const std::vector<Sample> &samples, uint64_t from, uint64_t to,
                     bool queueThread = false) {
  const Sample *a = nullptr, *b = nullptr;
  for (const Sample &s : samples) {
    if (!a && s.queued >= from) a = &s;
    if (s.queued <= to) b = &s;
  }
  if (!a || !b || b->queued <= a->queued) return 0;
  uint64_t cpu = queueThread ? b->queueCpu - a->queueCpu : b->cpu - a->cpu;
  return static_cast<double>(cpu) / static_cast<double>(b->queued - a->queued) / 1e3;
}

static void floodRun(const std::string &vesk, int rate, bool last) {
  const uint32_t packets = static_cast<uint32_t>(rate) * 10;
  pid_t pid = startReady("vesk-" + std::to_string(rate),
                         {vesk, "-q", "0", "-s", "--flow-limit", "1100000"}, "Running [UUID:");
  if (!pid) return;
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
  pid_t sender = spawn(nsClient, {selfDir() + "/flood", "--send", std::to_string(rate),
                                  std::to_string(packets)},
                       workDir + "/sender.log");
  std::vector<Sample> samples;
  auto start = std::chrono::steady_clock::now();
  while (waitpid(sender, nullptr, WNOHANG) == 0) {
    uint64_t q, d;
    queueCounters(pid, &q, &d);
    uint64_t queueCpu;
    uint64_t cpu = cpuNanoseconds(pid, &queueCpu);
    samples.push_back({q - q0, cpu, queueCpu});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  flooding = false;
  client.join();
  uint64_t q1, d1;
  queueCounters(pid, &q1, &d1);
  uint64_t queued = q1 - q0, dropped = d1 - d0;
  // The queue's sequence counts the packets it took; dropped ones come on top.
  printf("%6d new UDP flows/s: %u sent in %.1f s (%.0f/s), %lu queued, %lu dropped by the kernel "
         "(%.2f%% of those meant for the queue); HTTP requests answered %d of %d\n",
         rate, packets, seconds, packets / seconds, static_cast<unsigned long>(queued),
         static_cast<unsigned long>(dropped),
         queued + dropped ? 100.0 * dropped / static_cast<double>(queued + dropped) : 0.0,
         answered.load(), asked.load());
  struct Level {
    const char *name;
    uint64_t from, to;
  } levels[] = {{"first 10k", 0, 10000}, {"~100k", 90000, 110000}, {"~1M", 900000, 1000000},
                {"all", 0, queued}};
  printf("        vesk CPU per queued packet:");
  for (const Level &l : levels)
    if (l.to <= queued + 1000) printf("  %s flows %.2f us", l.name, costAt(samples, l.from, l.to));
  printf("\n        of which the queue's thread:");
  for (const Level &l : levels)
    if (l.to <= queued + 1000)
      printf("  %s flows %.2f us", l.name, costAt(samples, l.from, l.to, true));
  printf("\n");
  long rssPeak = rssKiB(pid);
  printf("        vesk RSS %ld MiB before, %ld MiB with the flood's flows (%.0f bytes per flow)\n",
         rssBefore / 1024, rssPeak / 1024,
         queued ? (rssPeak - rssBefore) * 1024.0 / static_cast<double>(queued) : 0.0);
  if (last) {
    // Flows go idle 30 s after their packet; an idle queue purges them then.
    long rssAfter = rssPeak, previous = 0;
    for (int t = 0; t < 60; t++) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      rssAfter = rssKiB(pid);
      if (t > 35 && rssAfter == previous) break;  // purged, trimmed, settled
      previous = rssAfter;
    }
    printf("        vesk RSS after the flood's flows expired: %ld MiB\n", rssAfter / 1024);
  }
  fflush(stdout);
  stop(pid);
}

int main(int argc, char **argv) {
  if (argc > 3 && strcmp(argv[1], "--send") == 0)
    return sendFlood(atoi(argv[2]), static_cast<uint32_t>(atol(argv[3])));
  printf("other engineers' jobs may load this machine's CPUs: compare figures of one run\n");
  oxlo_set_memory_hooks(countedAlloc, free, countedCalloc, countedRealloc, countedAligned, free,
                        nullptr, nullptr);
  std::string dir = selfDir(), vesk = argc > 1 ? argv[1] : dir + "/../vesk";
  inProcessPart();
  if (geteuid() != 0) {
    printf("flood: the part through vesk skipped: needs root (it creates network namespaces)\n");
    return 0;
  }
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
  printf("through %s:\n", vesk.c_str());
  for (int rate : {15000, 50000, 100000}) floodRun(vesk, rate, rate == 100000);
  cleanup();
  return 0;
}
