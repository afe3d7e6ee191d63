// The flow table: directions, idle flows, chains, the purge and the cap.
#include "FlowHash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "oxlo_memory.h"

#include "NetfilterInterface.h"
#include "Trace.h"
#include "flow_packets.h"
#include "queue_test_util.h"

using namespace flowtest;

namespace {

const uint32_t kA = 0x0A000001, kB = 0x0A000002;  // 10.0.0.1, 10.0.0.2
const uint8_t kMacA[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const uint8_t kMacB[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};

class FlowHashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!trace) trace = new Trace();
    trace->setLevel(0);
    globalRunning = 1;
    queue.reset(new NetfilterInterface(NetfilterInterface::Unbound(), 7, &exporters));
    givePassRules(*queue);
  }
  void TearDown() override { queue.reset(); }

  // Sends a TCP packet of the A:40000 <-> B:40001 connection (no payload, so
  // the engine cannot complete it).
  uint32_t send(uint32_t now, bool request, uint8_t flags, uint32_t inIf, uint32_t outIf,
                const uint8_t *mac) {
    std::vector<uint8_t> p =
        request ? ipv4(6, kA, kB, transport(6, 40000, 40001, flags))
                : ipv4(6, kB, kA, transport(6, 40001, 40000, flags));
    return queue->processPacket(now, mac, inIf, outIf, p.data(), static_cast<uint32_t>(p.size()));
  }

  Flow *findAB(uint8_t *direction) {
    uint8_t a[16] = {}, b[16] = {};
    memcpy(a, &kA, 4);
    memcpy(b, &kB, 4);
    return queue->flowTable()->find(4, a, b, 40000, 40001, 6, direction);
  }

  Flow *makeFlow(FlowHash &table, uint16_t sport, uint16_t dport) {
    uint8_t a[16] = {}, b[16] = {};
    memcpy(a, &kA, 4);
    memcpy(b, &kB, 4);
    return table.create(queue->engine(), queue->queueId(), queue->queueClock(), 17, 4, a, sport, b,
                        dport, 1, 2);
  }

  ZMQExporterList exporters;
  std::unique_ptr<NetfilterInterface> queue;
};

TEST_F(FlowHashTest, queue_table_starts_small_under_its_limit) {
  EXPECT_EQ(queue->flowTable()->buckets(), 1024u);
  EXPECT_EQ(queue->flowTable()->cap(), 262144u);
}

// The published SipHash-2-4 vectors (key 00 01 .. 0f, input 00 01 .. n-1):
// the tuple hash is that function, not a look-alike.
TEST_F(FlowHashTest, tuple_hash_is_siphash_2_4) {
  FlowHashKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  uint8_t in[16];
  for (int i = 0; i < 16; i++) in[i] = static_cast<uint8_t>(i);
  const struct {
    size_t length;
    uint64_t hash;
  } cases[] = {{0, 0x726fdb47dd0e0e31ULL}, {1, 0x74f839c593dc67fdULL},
               {7, 0xab0200f58b01d137ULL}, {8, 0x93f5f5799a932462ULL},
               {15, 0xa129ca6149be45e5ULL}};
  for (const auto &c : cases) EXPECT_EQ(key.sip(in, c.length), c.hash) << c.length;
}

TEST_F(FlowHashTest, hash_is_the_same_both_ways_and_depends_on_the_key) {
  uint8_t a[16] = {1, 2, 3, 4}, b[16] = {9, 8, 7, 6};
  uint8_t a6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  uint8_t b6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  FlowHashKey k1 = FlowHashKey::random(), k2 = FlowHashKey::random();
  EXPECT_EQ(Flow::hash(k1, 4, a, b, 1, 2, 6), Flow::hash(k1, 4, b, a, 2, 1, 6));
  EXPECT_EQ(Flow::hash(k1, 6, a6, b6, 1, 2, 17), Flow::hash(k1, 6, b6, a6, 2, 1, 17));
  // Same address both ends: the ports decide the order.
  EXPECT_EQ(Flow::hash(k1, 4, a, a, 7, 9, 17), Flow::hash(k1, 4, a, a, 9, 7, 17));
  EXPECT_NE(Flow::hash(k1, 4, a, b, 1, 2, 6), Flow::hash(k1, 4, a, b, 2, 1, 6));
  EXPECT_NE(Flow::hash(k1, 4, a, b, 1, 2, 6), Flow::hash(k1, 4, a, b, 1, 2, 17));
  // Two keys (two tables, two runs) place the same tuples differently.
  int same = 0;
  for (uint16_t p = 1; p <= 64; p++)
    same += Flow::hash(k1, 4, a, b, p, 53, 17) % 32768 == Flow::hash(k2, 4, a, b, p, 53, 17) % 32768;
  EXPECT_LT(same, 4);
}

// Tuples that a plain sum of ports and addresses puts in one bucket spread
// over the buckets under the keyed hash.
TEST_F(FlowHashTest, tuples_with_equal_sums_spread_over_the_buckets) {
  FlowHashKey key = FlowHashKey::random();
  std::vector<uint32_t> chains(32768);
  for (uint32_t i = 0; i < 40000; i++) {
    uint32_t src = kA + i, dst = kB - i;  // address sum constant
    uint16_t sport = static_cast<uint16_t>(1024 + i % 30000);
    uint16_t dport = static_cast<uint16_t>(40000 - i % 30000);  // port sum constant
    uint8_t s[16] = {}, d[16] = {};
    memcpy(s, &src, 4);
    memcpy(d, &dst, 4);
    chains[Flow::hash(key, 4, s, d, sport, dport, 17) % 32768]++;
  }
  uint32_t longest = *std::max_element(chains.begin(), chains.end());
  EXPECT_LE(longest, 16u);  // about 1.2 per bucket on average
}

TEST_F(FlowHashTest, reply_finds_the_request_flow) {
  send(1000, true, 0x02, 3, 4, kMacA);  // SYN
  ASSERT_EQ(queue->flowTable()->count(), 1u);
  send(1001, false, 0x12, 9, 0, kMacB);  // SYN-ACK
  send(1002, true, 0x10, 5, 6, kMacB);   // ACK from a new interface and MAC
  send(1003, false, 0x10, 11, 0, kMacA);

  ASSERT_EQ(queue->flowTable()->count(), 1u);
  uint8_t direction = 9;
  Flow *f = findAB(&direction);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(direction, 1);
  EXPECT_EQ(f->packetsSrc2Dst, 2u);
  EXPECT_EQ(f->packetsDst2Src, 2u);
  EXPECT_EQ(f->bytesSrc2Dst, 80u);
  EXPECT_EQ(f->bytesDst2Src, 80u);
  EXPECT_EQ(f->inInterface, 3u);
  EXPECT_EQ(f->outInterface, 9u);  // the first reply's input interface
  EXPECT_EQ(0, memcmp(f->sourceMac, kMacA, 6));
  EXPECT_EQ(0, memcmp(f->destinationMac, kMacB, 6));
  EXPECT_EQ(f->macFlags, FLOW_MAC_SOURCE | FLOW_MAC_DESTINATION);
  EXPECT_EQ(f->firstSeen, 1000u);
  EXPECT_EQ(f->lastSeen, 1003u);
  EXPECT_EQ(f->sourcePort, 40000);
  uint32_t src;
  memcpy(&src, f->sourceAddress, 4);
  EXPECT_EQ(src, kA);  // host byte order in the first word

  uint8_t a[16] = {}, b[16] = {};
  memcpy(a, &kA, 4);
  memcpy(b, &kB, 4);
  EXPECT_EQ(queue->flowTable()->find(4, b, a, 40001, 40000, 6, &direction), f);
  EXPECT_EQ(direction, 0);
  EXPECT_EQ(queue->flowTable()->find(4, a, b, 40000, 40001, 17, &direction), nullptr);
}

TEST_F(FlowHashTest, idle_flow_is_invisible_and_replaced) {
  send(1000, true, 0x02, 1, 2, nullptr);
  uint8_t direction;
  ASSERT_NE(findAB(&direction), nullptr);
  send(1030, true, 0x10, 1, 2, nullptr);  // 30 s later: still alive
  EXPECT_EQ(queue->flowTable()->count(), 1u);
  send(1061, true, 0x10, 1, 2, nullptr);  // 31 s of silence: a second flow
  Flow *f = findAB(&direction);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->firstSeen, 1061u);
  // The same packet's purge deleted the idle one.
  EXPECT_EQ(queue->flowTable()->count(), 1u);
}

TEST_F(FlowHashTest, unlink_anywhere_in_a_chain_keeps_the_others) {
  for (int victim = 0; victim < 3; victim++) {
    FlowHash table(1, 100, FlowHashKey::random(), false);  // one bucket: one chain
    Flow *flows[3] = {makeFlow(table, 1000, 2000), makeFlow(table, 1001, 1999),
                      makeFlow(table, 1002, 1998)};
    for (Flow *f : flows) {
      f->lastSeen = queue->queueClock();
      ASSERT_TRUE(table.add(f));
    }
    // flows[2] is the head, flows[0] the tail.
    table.unlink(flows[2 - victim]);
    table.release(flows[2 - victim]);
    EXPECT_EQ(table.count(), 2u);
    for (int i = 0; i < 3; i++) {
      if (i == 2 - victim) continue;
      uint8_t d;
      EXPECT_EQ(table.find(4, flows[i]->sourceAddress, flows[i]->destinationAddress,
                           flows[i]->sourcePort, flows[i]->destinationPort, 17, &d),
                flows[i])
          << "victim " << victim << " flow " << i;
    }
  }
}

// A bucket's filter of the hashes in its chain follows the chain: with
// every flow in one bucket (so every filter bit is taken several times
// over), each removal leaves every other flow findable and the removed one
// not, until the bucket is empty and a flow that comes back is found again.
TEST_F(FlowHashTest, chain_filter_follows_removals) {
  FlowHash table(1, 1000, FlowHashKey::random(), false);
  const int n = 80;
  std::vector<Flow *> flows;
  for (int i = 0; i < n; i++) {
    Flow *f = makeFlow(table, static_cast<uint16_t>(3000 + i), 53);
    f->lastSeen = queue->queueClock();
    ASSERT_TRUE(table.add(f));
    flows.push_back(f);
  }
  auto found = [&](Flow *f) {
    uint8_t d;
    return table.find(4, f->sourceAddress, f->destinationAddress, f->sourcePort,
                      f->destinationPort, 17, &d) == f;
  };
  for (int k = 0; k < n; k++) {
    int victim = (k * 37) % n;
    Flow *gone = flows[victim];
    table.unlink(gone);
    flows[victim] = nullptr;
    EXPECT_FALSE(found(gone)) << "removal " << k;
    for (Flow *f : flows) {
      if (!f) continue;
      ASSERT_TRUE(found(f)) << "after removal " << k;
    }
    gone->lastSeen = queue->queueClock();
    if (k == n - 1) {
      ASSERT_TRUE(table.add(gone));  // the empty bucket takes a flow again
      EXPECT_TRUE(found(gone));
      table.unlink(gone);
    }
    table.release(gone);
  }
  EXPECT_EQ(table.count(), 0u);
}

// The purge takes idle flows in the order of their last packet, at most
// `limit` per step, and never looks past the first flow still in use.
TEST_F(FlowHashTest, purge_deletes_idle_flows_oldest_first) {
  FlowHash table(64, 100);
  table.setClock(1010);
  Flow *flows[5];
  for (int i = 0; i < 5; i++) {
    flows[i] = makeFlow(table, static_cast<uint16_t>(10 + i), 6);
    flows[i]->lastSeen = 1000 + i;
    ASSERT_TRUE(table.add(flows[i]));
  }
  // flows[0] sees a packet last: it goes to the end of the list.
  flows[0]->lastSeen = 1010;
  table.touch(flows[0]);
  EXPECT_EQ(table.purgeStep(100), 0u);  // nothing idle yet

  table.setClock(1034);  // flows[1..3] idle (> 30 s), [4] 30 s
  EXPECT_EQ(table.purgeStep(2), 2u);
  EXPECT_EQ(table.count(), 3u);
  EXPECT_EQ(table.purgeStep(100), 1u);  // flows[3]; flows[4] is not idle
  EXPECT_EQ(table.count(), 2u);
  uint8_t d;
  EXPECT_EQ(table.find(4, flows[4]->sourceAddress, flows[4]->destinationAddress, 14, 6, 17, &d),
            flows[4]);

  table.setClock(1041);  // everything idle now
  EXPECT_EQ(table.purgeStep(100), 2u);
  EXPECT_EQ(table.count(), 0u);
  EXPECT_EQ(table.purgeStep(100), 0u);
}

// Under a flood of new flows the table does not fill up with flows that
// have gone idle: each packet deletes a few of them.
TEST_F(FlowHashTest, packets_purge_a_flood_of_idle_flows) {
  for (uint32_t i = 0; i < 3000; i++) {
    std::vector<uint8_t> p = ipv4(17, kA + i, kB, transport(17, 5000, 9, 0, 4));
    queue->processPacket(1000, nullptr, 1, 2, p.data(), static_cast<uint32_t>(p.size()));
  }
  ASSERT_EQ(queue->flowTable()->count(), 3000u);
  // 31 s later, 100 packets of new flows: each deletes idle flows too.
  for (uint32_t i = 0; i < 100; i++) {
    std::vector<uint8_t> p = ipv4(17, kA + 100000 + i, kB, transport(17, 5000, 9, 0, 4));
    queue->processPacket(1031, nullptr, 1, 2, p.data(), static_cast<uint32_t>(p.size()));
  }
  uint32_t left = queue->flowTable()->count();
  EXPECT_LT(left, 3000u - 100u * 4);
  EXPECT_GE(left, 100u);
}

// The bucket array doubles as flows come and halves as they go, a few
// buckets at a time: at every point of a grow and of a shrink (checked
// also in the middle of each resize) every flow in the table is found,
// both ways, and a flow taken out is not.
TEST_F(FlowHashTest, every_flow_stays_findable_across_grow_and_shrink) {
  FlowHash table(16, 100000);
  std::vector<Flow *> flows;
  auto tuple = [](uint32_t i, uint8_t *s, uint8_t *d, uint8_t *version) {
    memset(s, 0, 16);
    memset(d, 0, 16);
    *version = i % 5 == 0 ? 6 : 4;
    if (*version == 6) {
      s[0] = d[0] = 0xfd;
      memcpy(s + 12, &i, 4);
      d[15] = 1;
    } else {
      uint32_t a = kA + i;
      memcpy(s, &a, 4);
      memcpy(d, &kB, 4);
    }
  };
  auto port = [](uint32_t i) { return static_cast<uint16_t>(1024 + i % 50000); };
  uint32_t checksWhileResizing = 0, largest = 0;
  auto checkAll = [&](const char *phase) {
    if (table.resizing()) checksWhileResizing++;
    for (size_t k = 0; k < flows.size(); k++) {
      Flow *f = flows[k];
      if (!f) continue;
      uint8_t d;
      ASSERT_EQ(table.find(f->ipVersion, f->sourceAddress, f->destinationAddress, f->sourcePort,
                           f->destinationPort, 17, &d),
                f)
          << phase << " flow " << k << " of " << table.count();
      ASSERT_EQ(d, 1);
      ASSERT_EQ(table.find(f->ipVersion, f->destinationAddress, f->sourceAddress,
                           f->destinationPort, f->sourcePort, 17, &d),
                f);
      ASSERT_EQ(d, 0);
    }
  };
  const uint32_t n = 20000;
  for (uint32_t i = 0; i < n; i++) {
    uint8_t s[16], d[16], v;
    tuple(i, s, d, &v);
    Flow *f = table.create(queue->engine(), 7, 0, 17, v, s, port(i), d, 53, 1, 2);
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(table.add(f));
    flows.push_back(f);
    largest = std::max(largest, table.buckets());
    if (i % 251 == 0 || (table.resizing() && i % 37 == 0)) checkAll("grow");
    if (HasFatalFailure()) return;
  }
  checkAll("grown");
  if (HasFatalFailure()) return;
  EXPECT_GE(largest, 16384u);  // one bucket per flow or better, not 16
  EXPECT_EQ(table.count(), n);

  // Out in a scrambled order, down to nothing.
  std::vector<uint32_t> order(n);
  for (uint32_t i = 0; i < n; i++) order[i] = (i * 7919u) % n;
  for (uint32_t k = 0; k < n; k++) {
    Flow *f = flows[order[k]];
    uint8_t s[16], d[16];
    memcpy(s, f->sourceAddress, 16);
    memcpy(d, f->destinationAddress, 16);
    uint8_t v = f->ipVersion;
    uint16_t sp = f->sourcePort;
    table.unlink(f);
    table.release(f);
    flows[order[k]] = nullptr;
    uint8_t dir;
    ASSERT_EQ(table.find(v, s, d, sp, 53, 17, &dir), nullptr);
    if (k % 251 == 0 || (table.resizing() && k % 37 == 0)) checkAll("shrink");
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(table.count(), 0u);
  EXPECT_GT(checksWhileResizing, 10u);
  // Purge steps (an idle queue's seconds) shrink the empty table on down.
  for (int i = 0; i < 1000; i++) table.purgeStep(8);
  EXPECT_FALSE(table.resizing());
  EXPECT_EQ(table.buckets(), 16u);
}

// A large table's slab chunks are whole huge pages (one fault per 2 MiB of
// new flows); the chunks faulted in ahead by the table's thread hold flows
// like any other, and a trim of the emptied table gives them all back.
TEST_F(FlowHashTest, large_table_takes_its_flows_from_huge_page_chunks) {
  FlowHash table(131072, 100000);
  const uint64_t buckets = 131072 * sizeof(uint64_t);
  std::vector<Flow *> flows;
  const uint32_t n = 12000;  // a few chunks: each made ahead as the last starts
  for (uint32_t i = 0; i < n; i++) {
    Flow *f = makeFlow(table, static_cast<uint16_t>(1024 + i % 50000),
                       static_cast<uint16_t>(i / 50000));
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(table.add(f));
    flows.push_back(f);
  }
  const uint64_t slab = table.memoryBytes() - buckets;
  EXPECT_EQ(slab % OXLO_HUGE_PAGE, 0u);
  EXPECT_GE(slab, 3 * OXLO_HUGE_PAGE);  // 12k flows of some 400 bytes
  EXPECT_LE(slab, 5 * OXLO_HUGE_PAGE);  // and the chunk made ahead
  for (uint32_t i = 0; i < n; i += 997) {
    Flow *f = flows[i];
    uint8_t d;
    EXPECT_EQ(table.find(4, f->sourceAddress, f->destinationAddress, f->sourcePort,
                         f->destinationPort, 17, &d),
              f);
  }
  for (Flow *f : flows) {
    table.unlink(f);
    table.release(f);
  }
  // The chunk made ahead is the table thread's until it is faulted in.
  for (int i = 0; i < 1000 && table.memoryBytes() > buckets; i++) {
    table.trim();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_LE(table.memoryBytes(), buckets);
}

TEST_F(FlowHashTest, full_table_refuses_the_next_flow) {
  FlowHash table(16, 3);
  Flow *flows[4];
  for (int i = 0; i < 4; i++) flows[i] = makeFlow(table, static_cast<uint16_t>(100 + i), 200);
  for (int i = 0; i < 3; i++) EXPECT_TRUE(table.add(flows[i]));
  EXPECT_FALSE(table.add(flows[3]));
  EXPECT_EQ(table.count(), 3u);
  table.release(flows[3]);
}

// A flow keeps the engine it was made with, not the queue's: once the queue
// has moved on to a new engine (a reload), the old one lives on with its
// flows, is freed with the last of them, and its entry serves the next
// engine.
TEST_F(FlowHashTest, old_engine_lives_until_its_last_flow_goes) {
  auto makeEngine = [] {
    oxlo_module *module = oxlo_module_new(nullptr);
    EXPECT_EQ(oxlo_finalize_initialization(module), 0);
    return std::make_shared<DetectionEngine>(module, nullptr, "");
  };
  FlowHash table(16, 100);
  auto make = [&](const DetectionEnginePtr &engine, uint16_t sport) {
    uint8_t a[16] = {}, b[16] = {};
    memcpy(a, &kA, 4);
    memcpy(b, &kB, 4);
    Flow *f = table.create(engine, 7, 0, 17, 4, a, sport, b, 53, 1, 2);
    EXPECT_TRUE(f && table.add(f));
    return f;
  };
  auto drop = [&](Flow *f) {
    table.unlink(f);
    table.release(f);
  };
  DetectionEnginePtr first = makeEngine(), second = makeEngine();
  std::weak_ptr<DetectionEngine> firstAlive = first;
  oxlo_module *firstModule = first->module();
  Flow *old[2] = {make(first, 1), make(first, 2)};
  first.reset();  // the reload: the queue lets go of it
  Flow *young = make(second, 3);
  ASSERT_TRUE(old[0] && old[1] && young);
  EXPECT_EQ(table.module(old[0]), firstModule);
  EXPECT_EQ(table.module(old[1]), firstModule);
  EXPECT_EQ(table.module(young), second->module());
  EXPECT_EQ(table.enginesHeld(), 2u);
  uint16_t oldEntry = old[0]->engineIndex;

  drop(old[0]);
  EXPECT_FALSE(firstAlive.expired()) << "a flow still uses it";
  drop(old[1]);
  EXPECT_TRUE(firstAlive.expired()) << "freed with its last flow";
  EXPECT_EQ(table.enginesHeld(), 1u);

  DetectionEnginePtr third = makeEngine();
  Flow *next = make(third, 4);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->engineIndex, oldEntry);
  EXPECT_EQ(table.module(next), third->module());
  EXPECT_EQ(table.module(young), second->module());
  std::weak_ptr<DetectionEngine> thirdAlive = third;
  third.reset();
  table.clear();
  EXPECT_TRUE(thirdAlive.expired());
  EXPECT_EQ(table.enginesHeld(), 0u);
}

TEST_F(FlowHashTest, unclassified_flow_prints_unknown) {
  trace->setLevel(3);
  testing::internal::CaptureStdout();
  send(1000, true, 0x02, 1, 2, kMacA);
  std::string out = testing::internal::GetCapturedStdout();
  trace->setLevel(0);
  EXPECT_NE(out.find("[CREATE FLOW][nf:7][IPv4][TCP][00:00:00:00:00:00 <-> 00:00:00:00:00:00]"
                     "[10.0.0.1:40000 <-> 10.0.0.2:40001][Unknown/0][processed-pkts: 0]"
                     "[ifIdx: 1 <-> 2][info: ][marker: 0]"),
            std::string::npos)
      << out;
}

}  // namespace

namespace {

// After a flood has ended no packet comes to move the queue clock: the idle
// seconds of the queue still age its flows and delete them all.
TEST_F(FlowHashTest, idle_seconds_purge_the_flows_of_an_ended_burst) {
  for (uint32_t i = 0; i < 2000; i++) {
    std::vector<uint8_t> p = ipv4(17, kA + i, kB, transport(17, 5000, 9, 0, 4));
    queue->processPacket(1000, nullptr, 1, 2, p.data(), static_cast<uint32_t>(p.size()));
  }
  ASSERT_EQ(queue->flowTable()->count(), 2000u);
  queue->idleSecond(1030);
  EXPECT_EQ(queue->flowTable()->count(), 2000u);  // 30 s: not idle yet
  queue->idleSecond(1031);
  EXPECT_EQ(queue->flowTable()->count(), 0u);
}

}  // namespace
