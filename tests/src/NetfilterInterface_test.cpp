// The queue's packet path without the kernel: header parsing, flow
// completion, marks, and the rules swap.
#include "NetfilterInterface.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "Trace.h"
#include "oxlo_private.h"
#include "flow_packets.h"
#include "queue_test_util.h"
#include "Configuration.h"

using namespace flowtest;

namespace {

const uint32_t kA = 0x0A000001, kB = 0x0A000002;

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!trace) trace = new Trace();
    trace->setLevel(0);
    globalRunning = 1;
    queue.reset(new NetfilterInterface(NetfilterInterface::Unbound(), 3, &exporters));
    givePassRules(*queue);
  }
  void TearDown() override {
    queue.reset();
    for (auto &f : files) unlink(f.c_str());
  }

  uint32_t send(const std::vector<uint8_t> &p, uint32_t now = 1000) {
    return queue->processPacket(now, nullptr, 1, 2, p.data(), static_cast<uint32_t>(p.size()));
  }

  std::string rulesFile(const std::string &defaultMarker) {
    char path[] = "/tmp/vesk-queue-test-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    std::ofstream out(path);
    // Policy 0 is the default policy: it applies to every flow.
    out << "{ \"policy\": { \"id\": 0, \"name\": \"rule\", \"default_marker\": " << defaultMarker
        << ", \"markers\": { \"categories\": { }, \"protocols\": { }}}}\n";
    files.push_back(path);
    return path;
  }

  // Sends UDP packets of one connection until the flow completes; returns
  // the number of packets it took and the completing packet's mark.
  std::pair<int, uint32_t> runUntilComplete(uint16_t sport) {
    for (int i = 1; i <= 40; i++) {
      uint32_t mark = send(ipv4(17, kA, kB, transport(17, sport, 40001, 0, 0)));
      if (mark != 0) return {i, mark};
      EXPECT_EQ(mark, 0u) << "packet " << i << " is not the final one";
    }
    return {0, 0};
  }

  ZMQExporterList exporters;
  std::unique_ptr<NetfilterInterface> queue;
  std::vector<std::string> files;
};

TEST_F(QueueTest, header_parsing_decides_what_is_tracked) {
  struct Case {
    const char *name;
    std::vector<uint8_t> packet;
    bool tracked;
  } cases[] = {
      {"ipv4 tcp", ipv4(6, kA, kB, transport(6, 40000, 40001)), true},
      {"ipv4 udp", ipv4(17, kA, kB, transport(17, 40000, 40001)), true},
      {"ipv4 tcp of 30 bytes", ipv4(6, kA, kB, std::vector<uint8_t>(10, 0)), false},
      {"ipv4 udp of 27 bytes", ipv4(17, kA, kB, std::vector<uint8_t>(7, 0)), false},
      {"ipv4 udp first fragment", ipv4(17, kA, kB, transport(17, 1, 2), 0x2000), false},
      {"ipv4 udp later fragment", ipv4(17, kA, kB, transport(17, 1, 2), 0x0010), false},
      {"ipv4 tcp later fragment", ipv4(6, kA, kB, transport(6, 1, 2), 0x0010), false},
      {"ipv4 tcp first fragment", ipv4(6, kA, kB, transport(6, 40000, 40001), 0x2000), true},
      {"ipv4 header length below 20", ipv4(6, kA, kB, transport(6, 1, 2), 0, 4), false},
      {"ipv4 header length beyond packet", ipv4(17, kA, kB, transport(17, 1, 2), 0, 15), false},
      {"ipv4 icmp", ipv4(1, kA, kB, std::vector<uint8_t>(8, 0)), false},
      {"ipv6 tcp", ipv6(6, 1, 2, transport(6, 40000, 40001)), true},
      {"ipv6 hop-by-hop and routing before tcp",
       ipv6(6, 1, 2, transport(6, 40000, 40001), {{0, 8, 0}, {43, 24, 0}}), true},
      {"ipv6 first fragment udp", ipv6(17, 1, 2, transport(17, 40000, 40001), {{44, 8, 0}}),
       true},
      {"ipv6 later fragment", ipv6(17, 1, 2, transport(17, 1, 2), {{44, 8, 100}}), false},
      {"ipv6 extension cut short", [] {
         auto p = ipv6(6, 1, 2, {}, {{60, 16, 0}});
         p.resize(50);
         return p;
       }(), false},
      {"ipv6 tcp cut short", [] {
         auto p = ipv6(6, 1, 2, transport(6, 1, 2));
         p.resize(55);
         return p;
       }(), false},
      {"ipv6 of 39 bytes", std::vector<uint8_t>(39, 0x60), false},
      {"version 5", [] {
         auto p = ipv4(6, kA, kB, transport(6, 1, 2));
         p[0] = 0x55;
         return p;
       }(), false},
      {"empty", {}, false},
  };
  for (Case &c : cases) {
    queue.reset(new NetfilterInterface(NetfilterInterface::Unbound(), 3, &exporters));
    givePassRules(*queue);
    // A packet that is not tracked gets the fallback verdict (here the
    // default policy's pass) rather than an unmarked accept.
    EXPECT_EQ(send(c.packet), c.tracked ? 0u : 1u) << c.name;
    EXPECT_EQ(queue->flowTable()->count(), c.tracked ? 1u : 0u) << c.name;
    EXPECT_EQ(queue->fallbackCount(NetfilterInterface::FALLBACK_NOT_TRACKED), c.tracked ? 0u : 1u)
        << c.name;
  }
}

// Before the first rules are in force nothing is tracked and every packet
// is dropped: there is no policy yet whose marker it could get.
TEST_F(QueueTest, packets_before_the_first_rules_are_dropped) {
  queue.reset(new NetfilterInterface(NetfilterInterface::Unbound(), 3, &exporters));
  EXPECT_EQ(send(ipv4(6, kA, kB, transport(6, 40000, 40001))), 2u);
  EXPECT_EQ(send(ipv4(1, kA, kB, std::vector<uint8_t>(8, 0))), 2u);
  EXPECT_EQ(queue->flowTable()->count(), 0u);
  EXPECT_EQ(queue->fallbackCount(NetfilterInterface::FALLBACK_NO_RULES), 2u);
  givePassRules(*queue);
  EXPECT_EQ(send(ipv4(6, kA, kB, transport(6, 40000, 40001))), 0u);
  EXPECT_EQ(queue->flowTable()->count(), 1u);
}

// At its limit the table makes room from idle flows only; a packet no flow
// can take then gets the default marker of its pool's policy, drop where no
// policy covers it, and never an unmarked accept.
TEST_F(QueueTest, full_flow_table_gives_the_pool_policys_default_marker) {
  const uint32_t kBlocked = 0x0A000009;  // 10.0.0.9, in the drop pool
  char path[] = "/tmp/vesk-queue-test-XXXXXX";
  close(mkstemp(path));
  files.push_back(path);
  std::ofstream(path)
      << R"({"pool":{"id":1,"name":"blocked","ip":["10.0.0.9"]},"policy":{"id":5}})" "\n"
      << R"({"policy":{"id":5,"name":"drop","default_marker":"drop","markers":{}}})" "\n"
      << R"({"policy":{"id":0,"name":"rest","default_marker":9,"markers":{}}})" "\n";
  uint32_t saved = configuration.flowLimit;
  configuration.flowLimit = 4;
  queue.reset(new NetfilterInterface(NetfilterInterface::Unbound(), 3, &exporters));
  configuration.flowLimit = saved;
  ASSERT_TRUE(queue->loadRules(path));
  ASSERT_EQ(queue->flowTable()->cap(), 4u);

  for (uint16_t port = 1; port <= 4; port++)
    EXPECT_EQ(send(ipv4(17, kA, kB, transport(17, port, 9, 0, 4)), 1000), 0u);
  ASSERT_EQ(queue->flowTable()->count(), 4u);
  struct Case {
    const char *name;
    uint32_t to;
    uint8_t protocol;
    uint32_t mark;
  } cases[] = {
      {"new UDP flow to the blocked host", kBlocked, 17, 2},
      {"new TCP flow to the blocked host", kBlocked, 6, 2},
      {"new UDP flow elsewhere", kB, 17, 9},
      {"new TCP flow elsewhere", kB, 6, 9},
  };
  for (const Case &c : cases)
    EXPECT_EQ(send(ipv4(c.protocol, kA, c.to, transport(c.protocol, 50000, 80, 0x02)), 1010),
              c.mark)
        << c.name;
  EXPECT_EQ(queue->fallbackCount(NetfilterInterface::FALLBACK_TABLE_FULL), 4u);
  // A known flow goes on being tracked at the limit.
  EXPECT_EQ(send(ipv4(17, kA, kB, transport(17, 1, 9, 0, 4)), 1010), 0u);
  // Packets that are not tracked get the same fallback.
  EXPECT_EQ(send(ipv4(1, kA, kBlocked, std::vector<uint8_t>(8, 0)), 1010), 2u);
  EXPECT_EQ(send(ipv4(1, kA, kB, std::vector<uint8_t>(8, 0)), 1010), 9u);

  // Once flows are idle a new flow takes the place of the oldest one.
  EXPECT_EQ(send(ipv4(17, kA, kBlocked, transport(17, 50001, 80, 0, 4)), 1041), 0u);
  EXPECT_GE(queue->flowTable()->count(), 1u);
  EXPECT_EQ(queue->fallbackCount(NetfilterInterface::FALLBACK_TABLE_FULL), 4u);
}

// Allocations of the engine fail while armed (this test's, below).
std::atomic<bool> failAllocations{false};
void *failingAlloc(size_t n) { return failAllocations ? nullptr : malloc(n); }
void *failingCalloc(size_t n, size_t size) { return failAllocations ? nullptr : calloc(n, size); }
void *failingRealloc(void *p, size_t n) { return failAllocations ? nullptr : realloc(p, n); }

// A TCP segment of kA:port -> kB:80 (or back) with sequence numbers, the
// urgent pointer and a payload.
std::vector<uint8_t> segment(bool fromClient, uint16_t port, uint8_t flags, uint32_t seq,
                             uint32_t ack, const std::string &payload = "",
                             uint16_t urgent = 0) {
  std::vector<uint8_t> t = transport(6, fromClient ? port : 80, fromClient ? 80 : port, flags);
  for (int i = 0; i < 4; i++) {
    t[4 + i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
    t[8 + i] = static_cast<uint8_t>(ack >> (24 - 8 * i));
  }
  put16(t, 18, urgent);
  t.insert(t.end(), payload.begin(), payload.end());
  return fromClient ? ipv4(6, kA, kB, t) : ipv4(6, kB, kA, t);
}

// Each cause of the exception verdict (the strictest marker of the policy:
// drop, as it drops a host name) has a counter of its own: a stream that
// could not all be read (urgent data in the request, decided on that
// packet), no memory for a flow's texts (its host name lost), and no room
// in the flow table for a new flow.
TEST_F(QueueTest, the_exception_verdict_is_counted_per_cause) {
  char path[] = "/tmp/vesk-queue-test-XXXXXX";
  close(mkstemp(path));
  files.push_back(path);
  std::ofstream(path) << R"({"policy":{"id":0,"name":"p","default_marker":9,)"
                      << R"("markers":{"hostnames":{"blocked.vesk.test":"drop"}}}})" "\n";
  oxlo_set_memory_hooks(failingAlloc, free, failingCalloc, failingRealloc, nullptr, nullptr,
                        nullptr, nullptr);
  uint32_t saved = configuration.flowLimit;
  configuration.flowLimit = 3;
  queue.reset(new NetfilterInterface(NetfilterInterface::Unbound(), 3, &exporters));
  configuration.flowLimit = saved;
  ASSERT_TRUE(queue->loadRules(path));

  const std::string request = "GET / HTTP/1.1\r\nHost: open.vesk.test\r\n\r\n";
  // The handshake of a connection from port, then its client's first bytes.
  auto connect = [&](uint16_t port) {
    EXPECT_EQ(send(segment(true, port, 0x02, 100, 0)), 0u);
    EXPECT_EQ(send(segment(false, port, 0x12, 500, 101)), 0u);
    EXPECT_EQ(send(segment(true, port, 0x10, 101, 501)), 0u);
  };
  auto counts = [&]() {
    return std::vector<uint64_t>{queue->fallbackCount(NetfilterInterface::FALLBACK_STREAM_UNREAD),
                                 queue->fallbackCount(NetfilterInterface::FALLBACK_NO_MEMORY),
                                 queue->fallbackCount(NetfilterInterface::FALLBACK_TABLE_FULL)};
  };
  // An allowed name read whole passes with the default marker, uncounted.
  connect(50000);
  EXPECT_EQ(send(segment(true, 50000, 0x18, 101, 501, request)), 9u);
  EXPECT_EQ(counts(), (std::vector<uint64_t>{0, 0, 0}));

  connect(50001);
  const std::string spelled = "GET / HTTP/1.1\r\nHost: blockXed.vesk.test\r\n\r\n";
  EXPECT_EQ(send(segment(true, 50001, 0x38, 101, 501, spelled,
                         static_cast<uint16_t>(spelled.find('X') + 1))),
            2u);
  EXPECT_EQ(counts(), (std::vector<uint64_t>{1, 0, 0}));

  connect(50002);
  failAllocations = true;
  const uint32_t mark = send(segment(true, 50002, 0x18, 101, 501, request));
  failAllocations = false;
  EXPECT_EQ(mark, 2u);
  EXPECT_EQ(counts(), (std::vector<uint64_t>{1, 1, 0}));

  // Two dropped flows stay in the table (the passed one left it) and one
  // more takes the last place: no room for the next.
  connect(50003);
  EXPECT_EQ(send(segment(true, 50004, 0x02, 100, 0)), 2u);
  EXPECT_EQ(counts(), (std::vector<uint64_t>{1, 1, 1}));
}

// Rules without a default policy cover only their pools: a host outside
// them gets what its flows would get (pass); a packet that cannot be placed
// at all is dropped.
TEST_F(QueueTest, fallback_outside_every_pool_follows_the_rules) {
  char path[] = "/tmp/vesk-queue-test-XXXXXX";
  close(mkstemp(path));
  files.push_back(path);
  std::ofstream(path)
      << R"({"pool":{"id":1,"ip":["10.0.0.1"]},"policy":{"id":1}})" "\n"
      << R"({"policy":{"id":1,"name":"lan","default_marker":"pass","markers":{}}})" "\n";
  queue.reset(new NetfilterInterface(NetfilterInterface::Unbound(), 3, &exporters));
  ASSERT_TRUE(queue->loadRules(path));
  EXPECT_EQ(send(ipv4(1, kA, kB, std::vector<uint8_t>(8, 0))), 1u);
  EXPECT_EQ(send(ipv4(1, kB + 5, kB, std::vector<uint8_t>(8, 0))), 1u);
  EXPECT_EQ(send({}), 2u);
}

TEST_F(QueueTest, unclassified_flow_is_completed_by_its_33rd_packet) {
  auto [packets, mark] = runUntilComplete(40000);
  ASSERT_GT(packets, 0) << "the flow never completed";
  EXPECT_LE(packets, 33);
  EXPECT_EQ(mark, 1u);  // no rules: pass
  // The next packet of the connection starts a new flow.
  send(ipv4(17, kA, kB, transport(17, 40000, 40001, 0, 0)));
  EXPECT_EQ(queue->flowTable()->count(), 1u);
}

TEST_F(QueueTest, marker_becomes_the_final_packets_mark) {
  struct Case {
    const char *marker;
    uint32_t mark;
  } cases[] = {{"\"drop\"", 2}, {"7", 7}, {"\"pass\"", 1}};
  uint16_t port = 41000;
  for (const Case &c : cases) {
    ASSERT_TRUE(queue->loadRules(rulesFile(c.marker).c_str()));
    auto [packets, mark] = runUntilComplete(port++);
    ASSERT_GT(packets, 0);
    EXPECT_EQ(mark, c.mark) << c.marker;
  }
}

// A dropped connection stays dropped: later packets of it (a retransmitted
// tail of a request whose first part passed) get the drop without starting a
// new flow, until the flow falls idle; a passed one ends at once.
TEST_F(QueueTest, dropped_connection_stays_dropped_until_idle) {
  ASSERT_TRUE(queue->loadRules(rulesFile("\"drop\"").c_str()));
  auto [packets, mark] = runUntilComplete(43000);
  ASSERT_GT(packets, 0);
  ASSERT_EQ(mark, 2u);
  EXPECT_EQ(queue->flowTable()->count(), 1u);
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(send(ipv4(17, kA, kB, transport(17, 43000, 40001, 0, 0)), 1010), 2u);
    EXPECT_EQ(send(ipv4(17, kB, kA, transport(17, 40001, 43000, 0, 0)), 1010), 2u);
  }
  EXPECT_EQ(queue->flowTable()->count(), 1u);
  // New rules judge the connection anew: its next packet starts a flow.
  auto [again, againMark] = runUntilComplete(43001);
  ASSERT_EQ(againMark, 2u);
  ASSERT_TRUE(queue->loadRules(rulesFile("7").c_str()));
  EXPECT_EQ(send(ipv4(17, kA, kB, transport(17, 43001, 40001, 0, 0)), 1010), 0u);
  // After the idle time (the clock moved on by another connection's packet)
  // the purge removes it, and the connection then starts a new flow.
  send(ipv4(17, kA, kB, transport(17, 44000, 40001, 0, 0)), 1100);
  queue->flowTable()->purgeStep(1000);
  EXPECT_EQ(send(ipv4(17, kA, kB, transport(17, 43000, 40001, 0, 0)), 1100), 0u);
}

// The engine's flow clock has the queue's milliseconds: a SYN-ACK 1.7 s
// after the SYN, within the next whole second, is 1,700 ms late, which the
// slow-handshake check needs to see.
TEST_F(QueueTest, engine_clock_has_milliseconds) {
  const auto syn = ipv4(6, kA, kB, transport(6, 45000, 80, 0x02));
  const auto synack = ipv4(6, kB, kA, transport(6, 80, 45000, 0x12));
  queue->processPacket(1000, nullptr, 1, 2, syn.data(), static_cast<uint32_t>(syn.size()), 1000100);
  queue->processPacket(1001, nullptr, 1, 2, synack.data(), static_cast<uint32_t>(synack.size()), 1001800);
  uint8_t a[16] = {}, b[16] = {};
  memcpy(a, &kA, 4);
  memcpy(b, &kB, 4);
  uint8_t direction = 0;
  Flow *flow = queue->flowTable()->find(4, a, b, 45000, 80, 6, &direction);
  ASSERT_NE(flow, nullptr);
  EXPECT_EQ(flow->engineState()->tcp->syn_ms, 1000100u);
  EXPECT_EQ(flow->engineState()->tcp->synack_ms, 1001800u);
  EXPECT_EQ(queue->queueClockMs(), 1001800u);
}

TEST_F(QueueTest, reloads_keep_one_previous_manager) {
  ASSERT_TRUE(queue->loadRules(rulesFile("7").c_str()));
  vesk_rule_manager *first = queue->currentRules();
  ASSERT_TRUE(queue->loadRules(rulesFile("8").c_str()));
  EXPECT_EQ(queue->previousRules(), first);
  vesk_rule_manager *second = queue->currentRules();
  ASSERT_TRUE(queue->loadRules(rulesFile("9").c_str()));
  EXPECT_EQ(queue->previousRules(), second);
  EXPECT_NE(queue->currentRules(), second);
}

TEST_F(QueueTest, failed_load_keeps_the_rules_in_force) {
  ASSERT_TRUE(queue->loadRules(rulesFile("\"drop\"").c_str()));
  vesk_rule_manager *current = queue->currentRules();
  EXPECT_FALSE(queue->loadRules("/nonexistent/rules.json"));
  EXPECT_EQ(queue->currentRules(), current);
  auto [packets, mark] = runUntilComplete(42000);
  ASSERT_GT(packets, 0);
  EXPECT_EQ(mark, 2u);
}

// A file caught half-written, one with a key the parser does not know and
// one past the size limit are refused whole: the drop in force stays.
TEST_F(QueueTest, reload_of_a_file_not_taken_whole_keeps_the_drop) {
  ASSERT_TRUE(queue->loadRules(rulesFile("\"drop\"").c_str()));
  vesk_rule_manager *current = queue->currentRules();
  const std::string pass =
      R"({"policy":{"id":0,"name":"open","default_marker":"pass","markers":{}}})";
  const std::string cases[] = {
      pass + "\n" + R"({"pool":{"id":1,"name":"blo)",
      pass + "\n" + R"({"policy":{"id":3,"default_marker":1,"markers":{"hosts":{}}}})" + "\n",
      pass + "\n#" + std::string(5 * 1024 * 1024, 'x') + "\n",
  };
  uint16_t port = 46000;
  for (const std::string &text : cases) {
    char path[] = "/tmp/vesk-queue-test-XXXXXX";
    close(mkstemp(path));
    files.push_back(path);
    std::ofstream(path) << text;
    EXPECT_FALSE(queue->loadRules(path)) << text.substr(0, 120);
    EXPECT_EQ(queue->currentRules(), current);
    auto [packets, mark] = runUntilComplete(port++);
    ASSERT_GT(packets, 0);
    EXPECT_EQ(mark, 2u) << text.substr(0, 120);
  }
}

// Reloads on one thread while another completes flows: the sanitizer build
// catches a manager freed under a running match.
TEST_F(QueueTest, reloads_during_traffic_never_free_a_manager_in_use) {
  std::string a = rulesFile("7"), b = rulesFile("8");
  ASSERT_TRUE(queue->loadRules(a.c_str()));
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread traffic([&] {
    uint16_t port = 1;
    while (!done.load()) {
      auto p = ipv4(17, kA, kB, transport(17, port++, 40001, 0, 0));
      for (int i = 0; i < 40; i++) {
        uint32_t mark = send(p);
        if (mark != 0 && mark != 7 && mark != 8) bad++;
        if (queue->flowTable()->count() == 0) break;
      }
    }
  });
  for (int i = 0; i < 200; i++) ASSERT_TRUE(queue->loadRules(i % 2 ? a.c_str() : b.c_str()));
  done = true;
  traffic.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace

namespace {

// A TCP packet of A:sport -> B:port carrying `payload` (IPv4 or IPv6),
// `cut` bytes short of what its headers announce (a copy range shorter than
// the packet).
std::vector<uint8_t> tcpWith(bool v6, uint16_t sport, uint16_t port, const std::string &payload,
                             uint8_t flags = 0x18, size_t cut = 0) {
  std::vector<uint8_t> l4 = transport(6, sport, port, flags, payload.size());
  memcpy(l4.data() + 20, payload.data(), payload.size());
  // The SYN takes sequence number 0: the bytes after it start at 1.
  if (!(flags & 0x02)) l4[7] = 1;
  std::vector<uint8_t> p = v6 ? ipv6(6, 1, 2, l4) : ipv4(6, kA, kB, l4);
  p.resize(p.size() - cut);
  return p;
}

std::string put16(size_t v) { return {char(v >> 8), char(v & 0xFF)}; }

// A ClientHello with a server name and a padding extension that makes the
// handshake message `size` bytes long (at most one record), then 48 KiB of
// early data in three records, as a client sends them in one flight.
std::string helloAndEarlyData(size_t size = 16000) {
  std::string name = "big.vesk.test";
  std::string sni = put16(name.size() + 3) + '\0' + put16(name.size()) + name;
  std::string body = std::string("\x03\x03", 2) + std::string(32, 'r') + '\0' + put16(2) +
                     std::string("\x13\x01", 2) + std::string("\x01\x00", 2);
  std::string ext = put16(0) + put16(sni.size()) + sni;
  size_t fixed = 4 + body.size() + 2 + ext.size() + 4;
  ext += put16(21) + put16(size - fixed) + std::string(size - fixed, '\0');
  body += put16(ext.size()) + ext;
  std::string message = std::string("\x01", 1) + '\0' + put16(body.size()) + body;
  std::string records = std::string("\x16\x03\x01", 3) + put16(message.size()) + message;
  for (int i = 0; i < 3; i++)
    records += std::string("\x17\x03\x03", 3) + put16(16384) + std::string(16384, 'e');
  return records;
}

}  // namespace

// The queue passes GSO packets whole: up to 64 KiB of a stream in one
// packet, sometimes longer than the queue copies. Such packets are parsed,
// classified and counted like any other.
TEST_F(QueueTest, packets_up_to_64_KiB_are_classified) {
  std::string get = "GET /" + std::string(60000, 'a') + " HTTP/1.1\r\nHost: big.vesk.test\r\n\r\n";
  // A cut packet loses its tail: here the end of a request body.
  std::string post = "POST /up HTTP/1.1\r\nHost: big.vesk.test\r\nContent-Length: 60000\r\n\r\n" +
                     std::string(60000, 'b');
  struct Case {
    const char *name;
    bool v6;
    uint16_t port;
    std::string payload;
    size_t cut;
    bool classified;
  } cases[] = {
      {"HTTP request of 60 KB", false, 80, get, 0, true},
      {"HTTP request cut by the copy range", false, 80, post, 4, true},
      {"HTTP request of 60 KB over IPv6", true, 80, get, 0, true},
      {"IPv6 packet cut by the copy range", true, 80, post, 4, true},
      {"ClientHello of 16 KB and 48 KB of early data", false, 443, helloAndEarlyData(), 0, true},
      {"64 KiB of noise to the TLS port", false, 443, std::string(65400, '\x16'), 0, false},
      {"64 KiB of noise to the DNS port", true, 53, std::string(65400, '\xff'), 0, false},
  };
  uint16_t sport = 42000;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sport++;
    send(tcpWith(c.v6, sport, c.port, "", 0x02));
    send(tcpWith(c.v6, sport, c.port, "", 0x10));
    ASSERT_EQ(queue->flowTable()->count(), 1u);
    std::vector<uint8_t> p = tcpWith(c.v6, sport, c.port, c.payload, 0x18, c.cut);
    ASSERT_GT(p.size(), 60000u);
    send(p);
    EXPECT_EQ(queue->flowTable()->count() == 0, c.classified);
    if (queue->flowTable()->count()) {
      uint8_t a[16] = {}, b[16] = {}, d = 0;
      if (c.v6) {
        a[0] = b[0] = 0xfd;
        a[15] = 1;
        b[15] = 2;
      } else {
        memcpy(a, &kA, 4);
        memcpy(b, &kB, 4);
      }
      Flow *f = queue->flowTable()->find(c.v6 ? 6 : 4, a, b, sport, c.port, 6, &d);
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->bytesSrc2Dst, 2 * (c.v6 ? 60 : 40) + p.size());
      f->giveUp(queue->flowTable()->module(f));
      queue->flowTable()->unlink(f);
      queue->flowTable()->release(f);
    }
  }
}
