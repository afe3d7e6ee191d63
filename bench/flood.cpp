// New flows at rate, in one run.
//
// In this process, through a queue's packet path without the kernel: the
// bytes and allocations a new unclassified UDP and TCP flow costs, and the
// time of a packet that starts a new flow while the table holds about 1k,
// 100k and 1M flows.
//
// Through the kernel, in namespaces of its own: floods of 36-byte UDP
// packets, each of a new flow, from 32 client addresses, at 50k, 100k and
// 200k a second for 10 s each, on one queue and on four (--queue-balance),
// first through the accept-all floor (one nfq_accept_all per queue), then
// through a fresh vesk on the same flood, while a client makes HTTP requests
// to a server behind the same queues: for each, the packets the kernel
// dropped (the queues' own counters), requests answered and CPU time per
// queued packet, and vesk's against the floor's; vesk's memory with the
// flood's flows live, and after the 100k/s flood's flows expired.
//   flood [--rates N,N..] [--queues N,N..] [--pairs N] [--through-only]
//         [--no-expiry] [vesk binary, default ../vesk]
// Needs root for the part through the kernel. --pairs repeats each floor and
// vesk run back to back; --through-only skips the part in this process.
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

// ---- the flood through the kernel: the accept-all floor against vesk ----

// The flood comes from this many client addresses (10.78.0.11 on): the
// kernel spreads a balanced queue by address pair only.
constexpr int kClientAddresses = 32;
constexpr int kSourcePorts = 20;
constexpr uint32_t kDestinationPorts = 50000;

static std::string floodAddress(int i) { return "10.78.0." + std::to_string(11 + i); }

// Sends `count` UDP packets of 8 payload bytes at `rate` per second, each of
// a tuple not used before (addresses, then destination ports, then source
// ports vary), from one thread per 50,000 packets a second so that the
// sender keeps the pace. Prints the seconds it took.
static int sendFlood(int rate, uint32_t count) {
  if (rate <= 0) return 1;
  const uint32_t perPort = kClientAddresses * kDestinationPorts;
  const int ports =
      static_cast<int>(std::min<uint32_t>((count + perPort - 1) / perPort, kSourcePorts));
  std::vector<int> sockets(static_cast<size_t>(kClientAddresses * ports), -1);
  for (int a = 0; a < kClientAddresses; a++)
    for (int p = 0; p < ports; p++) {
      int s = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_port = htons(static_cast<uint16_t>(20001 + p));
      inet_pton(AF_INET, floodAddress(a).c_str(), &at.sin_addr);
      if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&at), sizeof(at)) != 0) {
        fprintf(stderr, "cannot bind %s:%d\n", floodAddress(a).c_str(), 20001 + p);
        return 1;
      }
      sockets[static_cast<size_t>(a * ports + p)] = s;
    }
  const uint32_t threads = static_cast<uint32_t>((rate + 49999) / 50000);
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> senders;
  for (uint32_t t = 0; t < threads; t++)
    senders.emplace_back([&, t] {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      inet_pton(AF_INET, "10.78.0.2", &to.sin_addr);
      const double perThread = static_cast<double>(rate) / threads;
      uint32_t sent = 0;
      for (uint32_t n = t; n < count; n += threads, sent++) {
        uint32_t a = n % kClientAddresses, rest = n / kClientAddresses;
        uint32_t p = std::min<uint32_t>(rest / kDestinationPorts, static_cast<uint32_t>(ports - 1));
        to.sin_port = htons(static_cast<uint16_t>(10000 + rest % kDestinationPorts));
        sendto(sockets[a * ports + p], "floodxx", 8, 0, reinterpret_cast<sockaddr *>(&to),
               sizeof(to));
        if (sent % 64 == 63)
          std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(
                                                    (sent + 1) * 1e6 / perThread)));
      }
    });
  for (std::thread &t : senders) t.join();
  printf("%.3f\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return 0;
}

// CPU time of all the threads of the processes, and in *queueThreads that
// of the threads named for a queue (vesk's), whose pace decides the
// kernel's drops.
static uint64_t cpuNanoseconds(const std::vector<pid_t> &pids, uint64_t *queueThreads) {
  uint64_t total = 0;
  *queueThreads = 0;
  for (pid_t pid : pids) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d) continue;
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(dir + "/" + e->d_name + "/schedstat");
      uint64_t ns = 0;
      in >> ns;
      total += ns;
      std::ifstream named(dir + "/" + e->d_name + "/comm");
      std::string comm;
      named >> comm;
      if (comm.rfind("NF_QUEUE", 0) == 0) *queueThreads += ns;
    }
    closedir(d);
  }
  return total;
}

// The server namespace's queues below `queues`: packets each took so far
// (its id sequence) and those the kernel dropped (queue full, or the
// socket's buffer full), read through a process in that namespace.
struct QueueCounts {
  std::vector<uint64_t> queued, dropped;
  uint64_t allQueued() const {
    uint64_t n = 0;
    for (uint64_t q : queued) n += q;
    return n;
  }
  uint64_t allDropped() const {
    uint64_t n = 0;
    for (uint64_t d : dropped) n += d;
    return n;
  }
};

static QueueCounts queueCounters(pid_t pid, int queues) {
  QueueCounts c;
  c.queued.assign(static_cast<size_t>(queues), 0);
  c.dropped.assign(static_cast<size_t>(queues), 0);
  std::ifstream in("/proc/" + std::to_string(pid) + "/net/netfilter/nfnetlink_queue");
  uint64_t q, portid, waiting, mode, range, full, user, sequence, one;
  while (in >> q >> portid >> waiting >> mode >> range >> full >> user >> sequence >> one)
    if (q < static_cast<uint64_t>(queues)) {
      c.queued[q] = sequence;
      c.dropped[q] = full + user;
    }
  return c;
}

static long rssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return 0;
}

static void queueRules(int queues) {
  std::string s = inServer() + "iptables -t mangle ", i = " -i " + serverIf(),
              o = " -o " + serverIf();
  std::string target = queues > 1 ? "NFQUEUE --queue-balance 0:" + std::to_string(queues - 1)
                                  : "NFQUEUE --queue-num 0";
  sh(s + "-F");
  sh(s + "-A PREROUTING" + i + " -j " + target);
  sh(s + "-A OUTPUT" + o + " -j " + target);
}

struct FloodResult {
  bool ran = false;
  uint64_t sent = 0, queued = 0, dropped = 0;
  double cpuPerPacket = 0, queueCpuPerPacket = 0, sendSeconds = 0;
  int answered = 0, asked = 0;
  std::vector<uint64_t> perQueue;
  double dropPercent() const {
    uint64_t meant = queued + dropped;  // the queue's sequence counts only those it took
    return meant ? 100.0 * static_cast<double>(dropped) / static_cast<double>(meant) : 0.0;
  }
};

// One flood of `rate` new flows a second for 10 s through the program
// (floor: one accept-all process per queue; else vesk on all the queues),
// while a client makes an HTTP request every 250 ms (each allowed 2 s).
// With `expiry`, vesk's memory is followed until the flood's flows expired.
static FloodResult floodRun(const std::string &vesk, bool floor, int queues, int rate,
                            bool expiry) {
  FloodResult r;
  const uint32_t packets = static_cast<uint32_t>(rate) * 10;
  std::vector<pid_t> pids;
  std::string tag = std::to_string(queues) + "q-" + std::to_string(rate);
  if (floor) {
    for (int q = 0; q < queues; q++) {
      pid_t pid = startReady("floor-" + tag + "-" + std::to_string(q),
                             {selfDir() + "/nfq_accept_all", std::to_string(q)}, "accepting");
      if (pid) pids.push_back(pid);
    }
  } else {
    pid_t pid = startReady("vesk-" + tag,
                           {vesk, "-q", "0:" + std::to_string(queues), "-s", "--flow-limit",
                            "1100000"},
                           "Running [UUID:");
    if (pid) pids.push_back(pid);
  }
  auto stopAll = [&] {
    for (pid_t pid : pids) stop(pid);
  };
  if (pids.size() != (floor ? static_cast<size_t>(queues) : 1u)) {
    stopAll();
    return r;
  }
  long rssBefore = rssKiB(pids[0]);
  std::atomic<bool> flooding{true};
  std::atomic<int> asked{0}, answered{0};
  std::thread client([&] {
    while (flooding) {
      asked++;
      if (sh(inClient() + "curl -s -m 2 -o /dev/null http://10.78.0.2/") == 0) answered++;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  });
  QueueCounts before = queueCounters(pids[0], queues);
  uint64_t queueCpu0, cpu0 = cpuNanoseconds(pids, &queueCpu0);
  std::string senderLog = workDir + "/sender-" + tag + ".log";
  pid_t sender = spawn(nsClient, {selfDir() + "/flood", "--send", std::to_string(rate),
                                  std::to_string(packets)},
                       senderLog);
  waitpid(sender, nullptr, 0);
  // What is still queued gets its verdict; nothing arrives any more.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  flooding = false;
  client.join();
  QueueCounts after = queueCounters(pids[0], queues);
  uint64_t queueCpu1, cpu1 = cpuNanoseconds(pids, &queueCpu1);
  {
    std::ifstream in(senderLog);
    in >> r.sendSeconds;
  }
  r.ran = true;
  r.sent = packets;
  r.queued = after.allQueued() - before.allQueued();
  r.dropped = after.allDropped() - before.allDropped();
  for (int q = 0; q < queues; q++)
    r.perQueue.push_back(after.queued[static_cast<size_t>(q)] -
                         before.queued[static_cast<size_t>(q)]);
  if (r.queued) {
    r.cpuPerPacket = static_cast<double>(cpu1 - cpu0) / static_cast<double>(r.queued) / 1e3;
    r.queueCpuPerPacket =
        static_cast<double>(queueCpu1 - queueCpu0) / static_cast<double>(r.queued) / 1e3;
  }
  r.answered = answered.load();
  r.asked = asked.load();
  if (!floor) {
    long rssPeak = rssKiB(pids[0]);
    printf("      vesk RSS %ld MiB before, %ld MiB with the flood's flows (%.0f bytes per flow)\n",
           rssBefore / 1024, rssPeak / 1024,
           r.queued ? (rssPeak - rssBefore) * 1024.0 / static_cast<double>(r.queued) : 0.0);
    if (expiry) {
      // Flows go idle 30 s after their packet; an idle queue purges them then.
      long rssAfter = rssPeak, previous = 0;
      for (int t = 0; t < 60; t++) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        rssAfter = rssKiB(pids[0]);
        if (t > 35 && rssAfter == previous) break;  // purged, trimmed, settled
        previous = rssAfter;
      }
      printf("      vesk RSS after the flood's flows expired: %ld MiB\n", rssAfter / 1024);
    }
  }
  stopAll();
  return r;
}

static void printResult(const char *who, const FloodResult &r, bool showQueues) {
  // The queues' counts hold the HTTP requests' packets too; a flood
  // packet the kernel lost before the queue (a full backlog) is in none.
  printf("    %-5s %5.2f%% dropped (%lu of %lu meant for the queues, %lu flood packets sent), "
         "%6.2f us CPU per queued packet",
         who, r.dropPercent(), static_cast<unsigned long>(r.dropped),
         static_cast<unsigned long>(r.queued + r.dropped), static_cast<unsigned long>(r.sent),
         r.cpuPerPacket);
  if (r.queueCpuPerPacket > 0) printf(" (queue threads %.2f us)", r.queueCpuPerPacket);
  printf(", sent in %.1f s, HTTP %d/%d", r.sendSeconds, r.answered, r.asked);
  if (showQueues && r.queued) {
    printf(", queues:");
    for (uint64_t q : r.perQueue) printf(" %lu%%", static_cast<unsigned long>(100 * q / r.queued));
  }
  printf("\n");
}

static std::vector<int> numberList(const char *text) {
  std::vector<int> out;
  for (const char *p = text; *p;) {
    out.push_back(atoi(p));
    const char *comma = strchr(p, ',');
    if (!comma) break;
    p = comma + 1;
  }
  return out;
}

int main(int argc, char **argv) {
  if (argc > 3 && strcmp(argv[1], "--send") == 0)
    return sendFlood(atoi(argv[2]), static_cast<uint32_t>(atol(argv[3])));
  std::vector<int> rates = {50000, 100000, 200000}, queueCounts = {1, 4};
  int pairs = 1;
  bool inProcess = true, expiry = true;
  std::string dir = selfDir(), vesk = dir + "/../vesk";
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--rates") == 0 && i + 1 < argc)
      rates = numberList(argv[++i]);
    else if (strcmp(argv[i], "--queues") == 0 && i + 1 < argc)
      queueCounts = numberList(argv[++i]);
    else if (strcmp(argv[i], "--pairs") == 0 && i + 1 < argc)
      pairs = std::max(1, atoi(argv[++i]));
    else if (strcmp(argv[i], "--through-only") == 0)
      inProcess = false;
    else if (strcmp(argv[i], "--no-expiry") == 0)
      expiry = false;
    else if (argv[i][0] == '-') {
      printf("usage: flood [--rates N,N..] [--queues N,N..] [--pairs N] [--through-only] "
             "[--no-expiry] [vesk binary]\n");
      return 2;
    } else
      vesk = argv[i];
  }
  printf("other engineers' jobs may load this machine's CPUs: compare figures of one run\n");
  oxlo_set_memory_hooks(countedAlloc, free, countedCalloc, countedRealloc, countedAligned, free,
                        nullptr, nullptr);
  if (inProcess) inProcessPart();
  if (geteuid() != 0) {
    printf("flood: the part through the kernel skipped: needs root (it creates network "
           "namespaces)\n");
    return 0;
  }
  if (!setUp("flood")) {
    printf("flood: cannot create the namespaces\n");
    cleanup();
    return 1;
  }
  std::string s = inServer();
  for (int a = 0; a < kClientAddresses; a++)
    sh(inClient() + "ip addr add " + floodAddress(a) + "/24 dev " + clientIf());
  // The flood's ports are closed: no ICMP answers double the traffic.
  sh(s + "iptables -A INPUT -p udp --dport 10000:60000 -j DROP");
  spawn(nsServer, {"/usr/bin/python3", "-m", "http.server", "80", "--bind", "10.78.0.2"},
        workDir + "/http.log");
  for (int n = 0; n < 50 && sh(s + "ss -Hlnt 'sport = :80' | grep -q .") != 0; n++)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  printf("floods of 36-byte UDP packets, each of a new flow, for 10 s, from %d addresses: the "
         "accept-all floor, then %s, on the same flood (drops from the queues' own counters)\n",
         kClientAddresses, vesk.c_str());
  printf("load before: %s", capture("cat /proc/loadavg").c_str());
  for (int queues : queueCounts) {
    queueRules(queues);
    for (int rate : rates)
      for (int pair = 1; pair <= pairs; pair++) {
        printf("  %d queue%s, %d new UDP flows/s, pair %d:\n", queues, queues > 1 ? "s" : "", rate,
               pair);
        fflush(stdout);
        FloodResult f = floodRun(vesk, true, queues, rate, false);
        bool last = expiry && queues == 1 && rate == 100000 && pair == pairs;
        FloodResult v = floodRun(vesk, false, queues, rate, last);
        if (!f.ran || !v.ran) {
          printf("    a program did not start\n");
          continue;
        }
        printResult("floor", f, queues > 1);
        printResult("vesk", v, queues > 1);
        printf("    vesk - floor: %+.2f points dropped; CPU per packet %.2fx the floor's\n",
               v.dropPercent() - f.dropPercent(),
               f.cpuPerPacket > 0 ? v.cpuPerPacket / f.cpuPerPacket : 0.0);
        fflush(stdout);
      }
  }
  printf("load after: %s", capture("cat /proc/loadavg").c_str());
  cleanup();
  return 0;
}
