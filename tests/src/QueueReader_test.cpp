// The verdicts of a queue against a stand-in for the kernel's queue: a
// batch verdict accepts every queued packet up to its id, so a drop or mark
// whose own verdict failed must never be covered by one.
#include <gtest/gtest.h>
#include <linux/netfilter.h>

#include <cerrno>
#include <deque>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "QueueReader.h"
#include "Trace.h"

namespace {

const int kAlways = -1;

// Packets wait in arrival order; verdicts answer them as the kernel does.
struct FakeKernel {
  std::deque<uint32_t> queued;
  std::map<uint32_t, std::string> answered;  // "accept", "drop" or "mark N"
  std::map<uint32_t, int> failuresLeft;      // single verdicts for this id that fail
  int batchFailuresLeft = 0;
  unsigned batches = 0;
  unsigned unknownIds = 0;  // verdicts for packets no longer queued

  static bool after(uint32_t id, uint32_t other) { return static_cast<int32_t>(id - other) > 0; }

  static int single(void *self, uint32_t id, uint32_t verdict, uint32_t mark) {
    FakeKernel &k = *static_cast<FakeKernel *>(self);
    int &left = k.failuresLeft[id];
    if (left != 0) {
      if (left > 0) left--;
      errno = ENOBUFS;
      return -1;
    }
    for (auto it = k.queued.begin(); it != k.queued.end(); ++it) {
      if (*it != id) continue;
      k.queued.erase(it);
      k.answered[id] = verdict == NF_DROP ? "drop"
                       : mark == 0        ? "accept"
                                          : "mark " + std::to_string(mark);
      return 0;
    }
    k.unknownIds++;
    return 0;
  }

  static int batch(void *self, uint32_t id, uint32_t verdict, uint32_t) {
    FakeKernel &k = *static_cast<FakeKernel *>(self);
    if (k.batchFailuresLeft > 0) {
      k.batchFailuresLeft--;
      errno = ENOBUFS;
      return -1;
    }
    EXPECT_EQ(verdict, static_cast<uint32_t>(NF_ACCEPT));
    k.batches++;
    while (!k.queued.empty() && !after(k.queued.front(), id)) {
      k.answered[k.queued.front()] = "accept";
      k.queued.pop_front();
    }
    return 0;
  }

  QueueReader::VerdictCalls calls() { return {single, batch, this}; }
  std::string state(uint32_t id) const {
    auto it = answered.find(id);
    return it == answered.end() ? "queued" : it->second;
  }
};

// Failures are logged.
std::unique_ptr<QueueReader::Verdicts> verdictsTo(FakeKernel &kernel) {
  if (!trace) trace = new Trace();
  return std::make_unique<QueueReader::Verdicts>(0, kernel.calls());
}

struct Packet {
  uint32_t id;
  uint32_t mark;      // the rules' verdict: 0 accept, 2 drop, else mark
  int failures;       // of its own verdict: a count or kAlways
  bool burstEnds;     // the reader flushes after it
  const char *final;  // what the kernel did with it in the end
};

struct VerdictCase {
  const char *name;
  int batchFailures;
  std::vector<Packet> packets;
};

const VerdictCase kCases[] = {
    {"drop_fails_once_goes_on_the_retry",
     0,
     {{1, 0, 0, false, "accept"},
      {2, 0, 0, false, "accept"},
      {3, 2, 1, false, "drop"},
      {4, 0, 0, false, "accept"},
      {5, 0, 0, true, "accept"}}},
    {"drop_fails_twice_goes_before_the_next_accept",
     0,
     {{1, 0, 0, false, "accept"},
      {2, 2, 2, false, "drop"},
      {3, 0, 0, false, "accept"},
      {4, 0, 0, true, "accept"}}},
    {"drop_failing_always_is_never_accepted",
     0,
     {{1, 0, 0, false, "accept"},
      {2, 2, kAlways, false, "queued"},
      {3, 0, 0, true, "accept"},
      {4, 0, 0, false, "accept"},
      {5, 0, 0, true, "accept"}}},
    {"drop_held_over_a_burst_end_goes_later",
     0,
     {{1, 2, 3, true, "drop"}, {2, 0, 0, true, "accept"}}},
    {"mark_failing_always_is_never_accepted_unmarked",
     0,
     {{1, 0, 0, false, "accept"}, {2, 7, kAlways, false, "queued"}, {3, 0, 0, true, "accept"}}},
    {"mark_fails_twice_keeps_its_mark",
     0,
     {{1, 0, 0, false, "accept"}, {2, 7, 2, false, "mark 7"}, {3, 0, 0, true, "accept"}}},
    {"accepts_interleaved_with_failing_verdicts",
     0,
     {{1, 0, 0, false, "accept"},
      {2, 2, 2, false, "drop"},
      {3, 0, 0, false, "accept"},
      {4, 1, 1, false, "mark 1"},
      {5, 0, 0, false, "accept"},
      {6, 2, kAlways, false, "queued"},
      {7, 0, 0, false, "accept"},
      {8, 2, 0, false, "drop"},
      {9, 0, 0, true, "accept"},
      {10, 0, 0, false, "accept"},
      {11, 1, 0, true, "mark 1"}}},
    {"accept_alone_that_fails_is_held_too",
     0,
     {{1, 2, 3, false, "drop"}, {2, 0, 2, false, "accept"}, {3, 0, 0, true, "accept"}}},
    {"drop_failing_always_across_the_id_wrap",
     0,
     {{0xFFFFFFFE, 0, 0, false, "accept"},
      {0xFFFFFFFF, 2, kAlways, false, "queued"},
      {0, 0, 0, false, "accept"},
      {1, 0, 0, true, "accept"}}},
    {"failed_batch_waits_for_the_next_flush",
     1,
     {{1, 0, 0, false, "accept"},
      {2, 0, 0, true, "accept"},
      {3, 2, 0, false, "drop"},
      {4, 0, 0, true, "accept"}}},
};

void PrintTo(const VerdictCase &c, std::ostream *os) { *os << c.name; }

class VerdictSending : public testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictSending, batch_never_accepts_a_packet_whose_verdict_failed) {
  const VerdictCase &c = GetParam();
  FakeKernel kernel;
  kernel.batchFailuresLeft = c.batchFailures;
  auto verdicts = verdictsTo(kernel);
  unsigned stillQueued = 0;
  for (const Packet &p : c.packets) {
    kernel.queued.push_back(p.id);
    kernel.failuresLeft[p.id] = p.failures;
    verdicts->give(p.id, p.mark);
    if (p.burstEnds) verdicts->flush();
    if (std::string(p.final) == "queued") stillQueued++;
  }
  // The stop path's last flush.
  verdicts->flush();
  for (const Packet &p : c.packets) EXPECT_EQ(kernel.state(p.id), p.final) << "id " << p.id;
  EXPECT_EQ(verdicts->held(), stillQueued);
  EXPECT_EQ(kernel.queued.size(), stillQueued);
  EXPECT_EQ(kernel.unknownIds, 0u);
}

INSTANTIATE_TEST_SUITE_P(QueueReader, VerdictSending, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<VerdictCase> &info) {
                           return std::string(info.param.name);
                         });

TEST(QueueReaderVerdicts, unfailing_accepts_of_a_burst_go_in_one_batch) {
  FakeKernel kernel;
  auto verdicts = verdictsTo(kernel);
  for (uint32_t id = 1; id <= 16; id++) {
    kernel.queued.push_back(id);
    verdicts->give(id, 0);
  }
  verdicts->flush();
  EXPECT_EQ(kernel.batches, 1u);
  EXPECT_TRUE(kernel.queued.empty());
  EXPECT_EQ(verdicts->failures(), 0u);
}

// More failing verdicts than the kernel can queue: the one that finds the
// hold full cannot be sent again, so no batch may go after it, even once
// the others have gone.
TEST(QueueReaderVerdicts, full_hold_stops_batches_for_good) {
  FakeKernel kernel;
  auto verdicts = verdictsTo(kernel);
  const uint32_t drops = QueueReader::Verdicts::kHeldCapacity + 1;
  for (uint32_t id = 1; id <= drops; id++) {
    kernel.queued.push_back(id);
    kernel.failuresLeft[id] = kAlways;
    verdicts->give(id, 2);
  }
  EXPECT_EQ(verdicts->held(), QueueReader::Verdicts::kHeldCapacity);
  for (uint32_t id = 1; id <= drops; id++) kernel.failuresLeft[id] = 0;
  for (uint32_t id = drops + 1; id <= drops + 4; id++) {
    kernel.queued.push_back(id);
    verdicts->give(id, 0);
  }
  verdicts->flush();
  EXPECT_EQ(kernel.batches, 0u);
  EXPECT_EQ(verdicts->held(), 0u);
  EXPECT_EQ(kernel.state(drops), "queued");
  for (uint32_t id = 1; id < drops; id++) ASSERT_EQ(kernel.state(id), "drop") << "id " << id;
  for (uint32_t id = drops + 1; id <= drops + 4; id++) EXPECT_EQ(kernel.state(id), "accept");
}

}  // namespace

namespace {

// A backlog grows the burst (fewer receive and verdict calls per packet),
// never past its bound; a queue that keeps up comes back to small bursts.
TEST(QueueReaderBursts, burst_follows_the_backlog_within_its_bounds) {
  const unsigned lo = QueueReader::kSmallestBurst, hi = QueueReader::kLargestBurst;
  struct Case {
    unsigned burst, received, next;
  } cases[] = {
      {lo, lo, lo * 2},         // full: packets wait
      {lo * 2, lo * 2, lo * 4},
      {hi, hi, hi},             // bounded
      {hi, hi / 2, hi},         // half of it: stays
      {hi, hi / 2 - 1, hi / 2}, // less than half: halves
      {lo, 1, lo},              // never below the smallest
      {lo * 2, lo * 2 - 1, lo * 2},
  };
  for (const Case &c : cases)
    EXPECT_EQ(QueueReader::nextBurst(c.burst, c.received), c.next)
        << c.burst << " after " << c.received;
  // A long backlog then an idle queue: up to the bound and back down.
  unsigned b = lo;
  for (int i = 0; i < 20; i++) b = QueueReader::nextBurst(b, b);
  EXPECT_EQ(b, hi);
  for (int i = 0; i < 20; i++) b = QueueReader::nextBurst(b, 1);
  EXPECT_EQ(b, lo);
}

}  // namespace
