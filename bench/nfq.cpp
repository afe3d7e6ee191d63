// Throughput through NFQUEUE queues, in one run: iperf3 between two
// namespaces of its own with no queue; through the accept-all program with
// GSO (the floor any queue program pays) and without; through vesk with
// every packet queued; through vesk behind the README's CONNMARK rules; one
// queue against four (-q 0:4 and --queue-balance 0:3), with eight TCP
// streams, each from a client address of its own
// (the kernel spreads a balanced queue by address pair only, so streams
// between two hosts all land on one queue); and new TCP connections per
// second, short ones of one request and one answer, with and without vesk;
// ab's short HTTP requests a second (32 at a time) with no queue, behind the
// README's rules through vesk, and behind the same rules through a floor
// program that marks the first packet of a connection. First, in this
// process, vesk's own time for each packet of a short HTTP connection
// (SYN, SYN-ACK, ACK, request) without the kernel.
//   nfq [seconds per run, default 4] [vesk binary]   Needs root for the part
//   through the kernel; traffic stays in the namespaces.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>

#include "Configuration.h"
#include "NetfilterInterface.h"
#include "Trace.h"
#include "netns_bench.h"

using namespace bench;

// Receiver-side throughput in bits per second from iperf3's JSON, or 0.
static double iperf(int seconds, int streams) {
  std::string json = capture(inClient() + "iperf3 -c 10.78.0.2 -t " + std::to_string(seconds) +
                             " -P " + std::to_string(streams) + " -J 2>/dev/null");
  size_t at = json.find("\"sum_received\"");
  if (at == std::string::npos) return 0;
  at = json.find("\"bits_per_second\"", at);
  if (at == std::string::npos) return 0;
  return atof(json.c_str() + json.find(':', at) + 1);
}

static void rules(const std::string &kind, int queues) {
  std::string s = inServer() + "iptables -t mangle ", i = " -i " + serverIf(),
              o = " -o " + serverIf();
  sh(s + "-F");
  std::string target = queues > 1 ? "NFQUEUE --queue-balance 0:" + std::to_string(queues - 1)
                                  : "NFQUEUE --queue-num 0";
  if (kind == "all") {
    // No bypass: a program that is not serving the queue stops the traffic
    // instead of flattering the figures.
    sh(s + "-A PREROUTING" + i + " -j " + target);
    sh(s + "-A OUTPUT" + o + " -j " + target);
  } else if (kind == "recipe") {
    sh(s + "-A PREROUTING" + i + " -j CONNMARK --restore-mark");
    sh(s + "-A OUTPUT" + o + " -j CONNMARK --restore-mark");
    sh(s + "-A PREROUTING" + i + " -m mark --mark 0 -j " + target + " --queue-bypass");
    sh(s + "-A OUTPUT" + o + " -m mark --mark 0 -j " + target + " --queue-bypass");
    sh(s + "-A INPUT" + i + " -m mark ! --mark 0 -j CONNMARK --save-mark");
    sh(s + "-A POSTROUTING" + o + " -m mark ! --mark 0 -j CONNMARK --save-mark");
  }
}

// Packets the queue rules sent to queues so far.
static long queued() {
  return atol(capture(inServer() + "iptables -t mangle -L -v -n -x | awk '/NFQUEUE/ {s += $1} "
                                   "END {print s+0}'").c_str());
}

static double run(const char *name, const std::vector<std::string> &program,
                  const std::string &ready, int seconds, int streams) {
  pid_t pid = 0;
  if (!program.empty() && !(pid = startReady(name, program, ready))) return 0;
  long before = queued();
  double bps = iperf(seconds, streams);
  long q = queued() - before;
  if (pid) stop(pid);
  printf("%-44s %9.2f Gbit/s  (%ld packets queued)\n", name, bps / 1e9, q);
  fflush(stdout);
  return bps;
}

// ---- streams from several client addresses ----

constexpr int kAddresses = 8;  // client 10.78.0.11 .. 10.78.0.18
constexpr int kSpreadPort = 5300;

std::string clientAddress(int i) { return "10.78.0." + std::to_string(11 + i); }

// Packets each queue has taken so far (the id sequence of
// /proc/net/netfilter/nfnetlink_queue), by queue number.
static std::vector<long> perQueue() {
  std::vector<long> out;
  std::istringstream in(capture(inServer() + "cat /proc/net/netfilter/nfnetlink_queue"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    long v[9] = {};
    for (long &x : v) f >> x;
    if (!f.fail() && v[0] >= 0 && v[0] < 64) {
      if (static_cast<size_t>(v[0]) >= out.size()) out.resize(v[0] + 1);
      out[v[0]] = v[7];
    }
  }
  return out;
}

// `streams` iperf3 clients at once, each from its own address to a server
// of its own: received bits per second, summed.
static double spreadLoad(int seconds, int streams) {
  std::string script = workDir + "/spread.sh", out = workDir + "/spread";
  {
    std::ofstream f(script);
    for (int i = 0; i < streams; i++)
      f << "iperf3 -c 10.78.0.2 -B " << clientAddress(i) << " -p " << kSpreadPort + i << " -t "
        << seconds << " -J > " << out << i << " 2>/dev/null &\n";
    f << "wait\n";
  }
  sh(inClient() + "sh " + script);
  double total = 0;
  for (int i = 0; i < streams; i++) {
    std::ifstream f(out + std::to_string(i));
    std::string json((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t at = json.find("\"sum_received\"");
    if (at == std::string::npos) continue;
    at = json.find("\"bits_per_second\"", at);
    if (at != std::string::npos) total += atof(json.c_str() + json.find(':', at) + 1);
  }
  return total;
}

static double spreadRun(const char *name, const std::vector<std::string> &program,
                        const std::string &ready, int seconds, int streams) {
  pid_t pid = 0;
  if (!program.empty() && !(pid = startReady(name, program, ready))) return 0;
  std::vector<long> before = perQueue();
  double v = spreadLoad(seconds, streams);
  std::vector<long> after = perQueue();
  if (pid) stop(pid);
  printf("%-44s %9.2f Gbit/s", name, v / 1e9);
  if (program.size() > 2 && program[2].find(':') != std::string::npos) {
    long all = 0;
    for (size_t q = 0; q < after.size(); q++) all += after[q] - (q < before.size() ? before[q] : 0);
    printf("  (queues:");
    for (size_t q = 0; q < after.size(); q++)
      printf(" %ld%%", all > 0 ? 100 * (after[q] - (q < before.size() ? before[q] : 0)) / all : 0);
    printf(")");
  }
  printf("\n");
  fflush(stdout);
  return v;
}


// ---- in process: vesk's time per packet of a short connection ----

static void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
static void put32(uint8_t *p, uint32_t v) {
  put16(p, static_cast<uint16_t>(v >> 16));
  put16(p + 2, static_cast<uint16_t>(v));
}

// An IPv4 TCP packet; SYNs carry the usual 20 bytes of options.
static uint32_t tcpPacket(uint8_t *p, uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport,
                          uint32_t seq, uint32_t ack, uint8_t flags, const char *payload) {
  bool syn = flags & 0x02;
  uint32_t header = syn ? 40 : 20, n = payload ? static_cast<uint32_t>(strlen(payload)) : 0;
  uint32_t length = 20 + header + n;
  memset(p, 0, 20 + header);
  p[0] = 0x45;
  put16(p + 2, static_cast<uint16_t>(length));
  p[6] = 0x40;
  p[8] = 64;
  p[9] = 6;
  put32(p + 12, src);
  put32(p + 16, dst);
  uint8_t *t = p + 20;
  put16(t, sport);
  put16(t + 2, dport);
  put32(t + 4, seq);
  put32(t + 8, ack);
  t[12] = static_cast<uint8_t>((header / 4) << 4);
  t[13] = flags;
  put16(t + 14, 64240);
  if (syn) {
    const uint8_t options[20] = {2, 4, 0x05, 0xB4, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 3, 3, 7};
    memcpy(t + 20, options, sizeof(options));
  }
  if (n) memcpy(t + header, payload, n);
  return length;
}

static void connectionPath() {
  if (!trace) trace = new Trace();
  trace->setLevel(0);
  globalRunning = 1;
  ZMQExporterList exporters;
  NetfilterInterface queue(NetfilterInterface::Unbound(), 0, &exporters);
  if (!bench::loadPassRules(queue)) return;
  const char *request =
      "GET / HTTP/1.0\r\nHost: 10.78.0.2:8081\r\nUser-Agent: ApacheBench/2.3\r\nAccept: */*\r\n\r\n";
  const uint32_t server = 0x0A4E0002u, kConnections = 40000, kWarm = 4000;
  double seconds[4] = {};
  uint32_t marked = 0;
  uint8_t p[256];
  size_t heapAtStart = 0;
  for (uint32_t c = 0; c < kConnections + kWarm; c++) {
    if (c == kWarm) heapAtStart = mallinfo2().uordblks;
    uint32_t client = 0x0A4E0001u + (c / 50000) * 256;
    uint16_t port = static_cast<uint16_t>(10000 + c % 50000);
    uint32_t now = 1000000 + c / 10000;
    uint32_t lengths[4];
    uint8_t packets[4][256];
    lengths[0] = tcpPacket(packets[0], client, port, server, 8081, 100, 0, 0x02, nullptr);
    lengths[1] = tcpPacket(packets[1], server, 8081, client, port, 500, 101, 0x12, nullptr);
    lengths[2] = tcpPacket(packets[2], client, port, server, 8081, 101, 501, 0x10, nullptr);
    lengths[3] = tcpPacket(packets[3], client, port, server, 8081, 101, 501, 0x18, request);
    for (int k = 0; k < 4; k++) {
      memcpy(p, packets[k], lengths[k]);
      auto start = std::chrono::steady_clock::now();
      uint32_t mark = queue.processPacket(now, nullptr, 1, 2, p, lengths[k]);
      if (c >= kWarm) {
        seconds[k] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (k == 3 && mark != 0) marked++;
      }
    }
  }
  static const char *const names[4] = {"SYN", "SYN-ACK", "ACK", "request"};
  printf("in process, vesk's time per packet of a short HTTP connection (%u connections, %u "
         "decided on the request):\n ",
         kConnections, marked);
  double total = 0;
  for (int k = 0; k < 4; k++) {
    printf(" %s %.2f us", names[k], seconds[k] * 1e6 / kConnections);
    total += seconds[k];
  }
  printf("  (all four %.2f us)\n", total * 1e6 / kConnections);
  printf("  heap in use grew by %.0f bytes per connection\n",
         (static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heapAtStart)) / kConnections);
  fflush(stdout);
}

// ab's requests per second, 32 at a time, of short HTTP/1.0 connections.
static double abRate(const char *name, const std::vector<std::string> &program,
                     const std::string &ready, int seconds) {
  pid_t pid = 0;
  if (!program.empty() && !(pid = startReady(name, program, ready))) return 0;
  long before = queued();
  std::string out = capture(inClient() + "ab -q -c 32 -t " + std::to_string(seconds) +
                            " -n 10000000 http://10.78.0.2:8081/ 2>&1");
  long q = queued() - before;
  if (pid) stop(pid);
  double rate = 0;
  size_t at = out.find("Requests per second:");
  if (at != std::string::npos) rate = atof(out.c_str() + at + 20);
  long failed = 0;
  at = out.find("Failed requests:");
  if (at != std::string::npos) failed = atol(out.c_str() + at + 16);
  printf("%-44s %9.0f requests/s  (%ld failed, %ld packets queued)\n", name, rate, failed, q);
  fflush(stdout);
  return rate;
}

// ---- short connections: a small server and client of this program ----

static int serve(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || listen(s, 4096) != 0) return 1;
  printf("serving\n");
  fflush(stdout);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; t++)
    workers.emplace_back([s] {
      char buf[256];
      for (;;) {
        int c = accept(s, nullptr, nullptr);
        if (c < 0) continue;
        // An HTTP answer, so that ab can be the client too.
        static const char answer[] =
            "HTTP/1.0 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nok\n";
        if (recv(c, buf, sizeof(buf), 0) > 0) send(c, answer, sizeof(answer) - 1, MSG_NOSIGNAL);
        close(c);  // the server closes first: its side keeps the TIME_WAIT
      }
    });
  for (auto &w : workers) w.join();
  return 0;
}

// Connections completed (request sent, answer read) in `seconds`.
static int connectLoop(int seconds, int threads) {
  std::atomic<long> done{0};
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; t++)
    workers.emplace_back([&] {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(8081);
      inet_pton(AF_INET, "10.78.0.2", &a.sin_addr);
      char buf[16];
      while (std::chrono::steady_clock::now() < end) {
        int c = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv = {1, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        if (connect(c, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
            send(c, "GET\n", 4, MSG_NOSIGNAL) == 4 && recv(c, buf, sizeof(buf), 0) > 0)
          done++;
        close(c);
      }
    });
  for (auto &w : workers) w.join();
  printf("%ld\n", done.load());
  return 0;
}

static double connectionRate(const char *name, const std::vector<std::string> &program,
                             const std::string &ready, int seconds) {
  pid_t pid = 0;
  if (!program.empty() && !(pid = startReady(name, program, ready))) return 0;
  std::string self = selfDir() + "/nfq";
  long n = atol(capture(inClient() + self + " --connect " + std::to_string(seconds) + " 8").c_str());
  if (pid) stop(pid);
  double rate = static_cast<double>(n) / seconds;
  printf("%-44s %9.0f connections/s\n", name, rate);
  fflush(stdout);
  return rate;
}

int main(int argc, char **argv) {
  if (argc > 2 && strcmp(argv[1], "--serve") == 0) return serve(atoi(argv[2]));
  if (argc > 3 && strcmp(argv[1], "--connect") == 0) return connectLoop(atoi(argv[2]), atoi(argv[3]));
  connectionPath();
  if (geteuid() != 0) {
    printf("nfq: the part through the kernel skipped: needs root (it creates network namespaces)\n");
    return 0;
  }
  if (sh("command -v iperf3") != 0) {
    printf("nfq: skipped: iperf3 is not installed\n");
    return 0;
  }
  int seconds = argc > 1 ? atoi(argv[1]) : 4;
  if (seconds < 1 || seconds > 60) seconds = 4;
  std::string dir = selfDir(), vesk = argc > 2 ? argv[2] : dir + "/../vesk",
              acceptAll = dir + "/nfq_accept_all";
  if (!setUp("nfqb")) {
    printf("nfq: cannot create the namespaces\n");
    cleanup();
    return 1;
  }
  spawn(nsServer, {"iperf3", "-s"}, workDir + "/iperf3.log");
  waitForText(workDir + "/iperf3.log", "Server listening", 10);
  printf("other engineers' jobs may load this machine's CPUs: compare ratios of one run\n");

  const std::string ready = "Running [UUID:";
  rules("none", 1);
  double none = run("no queue", {}, "", seconds, 1);
  rules("all", 1);
  double floor = run("accept-all, GSO packets whole", {acceptAll, "0"}, "accepting", seconds, 1);
  double noGso = run("accept-all, no GSO", {acceptAll, "0", "--no-gso"}, "accepting", seconds, 1);
  double all = run("vesk, every packet queued", {vesk, "-q", "0", "-s"}, ready, seconds, 1);
  rules("recipe", 1);
  double recipe = run("vesk behind the README's rules", {vesk, "-q", "0", "-s"}, ready, seconds, 1);
  for (int i = 0; i < kAddresses; i++) {
    sh(inClient() + "ip addr add " + clientAddress(i) + "/24 dev " + clientIf());
    spawn(nsServer, {"iperf3", "-s", "--forceflush", "-p", std::to_string(kSpreadPort + i)},
          workDir + "/iperf3-" + std::to_string(i) + ".log");
  }
  for (int i = 0; i < kAddresses; i++)
    waitForText(workDir + "/iperf3-" + std::to_string(i) + ".log", "Server listening", 10);
  rules("none", 1);
  double none8 = spreadRun("no queue, 8 TCP streams", {}, "", seconds, kAddresses);
  rules("all", 1);
  double floor8 = spreadRun("accept-all, 1 queue, 8 TCP streams", {acceptAll, "0"}, "accepting",
                            seconds, kAddresses);
  double one8 = spreadRun("vesk, 1 queue, 8 TCP streams", {vesk, "-q", "0", "-s"}, ready, seconds,
                          kAddresses);
  rules("all", 4);
  double four8 = spreadRun("vesk, 4 queues, 8 TCP streams", {vesk, "-q", "0:4", "-s"}, ready,
                           seconds, kAddresses);

  rules("none", 1);
  spawn(nsServer, {dir + "/nfq", "--serve", "8081"}, workDir + "/serve.log");
  waitForText(workDir + "/serve.log", "serving", 10);
  double rateNone = connectionRate("new connections/s, no queue", {}, "", seconds);
  rules("all", 1);
  double rateFloor = connectionRate("new connections/s, accept-all, every packet",
                                    {acceptAll, "0"}, "accepting", seconds);
  double rateVesk = connectionRate("new connections/s, vesk, every packet", {vesk, "-q", "0", "-s"},
                                   ready, seconds);
  rules("none", 1);
  double abNone = abRate("ab -c 32, no queue", {}, "", seconds);
  rules("recipe", 1);
  double abFloor = abRate("ab -c 32, README's rules, floor marking first",
                          {acceptAll, "0", "--mark", "1"}, "accepting", seconds);
  double abVesk = abRate("ab -c 32, README's rules, vesk", {vesk, "-q", "0", "-s"}, ready, seconds);
  rules("none", 1);

  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  printf("\nratios of this run:\n");
  printf("  GSO floor / no queue                   %6.2f\n", ratio(floor, none));
  printf("  floor without GSO / GSO floor          %6.2f\n", ratio(noGso, floor));
  printf("  vesk every packet / GSO floor          %6.2f  (bulk, all queued: at least 0.9)\n",
         ratio(all, floor));
  printf("  vesk behind the README's rules / none  %6.2f  (target 0.90)\n", ratio(recipe, none));
  printf("  4 queues / 1 queue, 8 TCP streams        %6.2f  (target 3; no queue: %.2f Gbit/s)\n",
         ratio(four8, one8), none8 / 1e9);
  printf("  1 queue, 8 TCP streams: vesk / accept-all %5.2f\n", ratio(one8, floor8));
  printf("  new connections/s vesk / no queue      %6.2f\n", ratio(rateVesk, rateNone));
  printf("  new connections/s vesk / accept-all    %6.2f\n", ratio(rateVesk, rateFloor));
  printf("  ab requests/s, README's rules: vesk / no queue      %6.2f  (target 0.85)\n",
         ratio(abVesk, abNone));
  printf("  ab requests/s, README's rules: vesk / marking floor %6.2f  (target 0.95)\n",
         ratio(abVesk, abFloor));
  cleanup();
  return 0;
}
