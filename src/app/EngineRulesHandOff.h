// The one point where a reload hands its queue a new engine-and-rules
// snapshot. The reload publishes; the packet path picks the snapshot up
// between two packets, taking the lock only when the published generation is
// not the one it holds, so the packet path takes no lock per packet or per
// flow and what it holds is never freed under it.
#ifndef VESK_ENGINERULESHANDOFF_H
#define VESK_ENGINERULESHANDOFF_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "EngineRules.h"

class EngineRulesHandOff {
 public:
  // Any thread; publications are ordered by the caller (one reload at a
  // time) and carry increasing generations.
  void publish(EngineRulesPtr next);
  // The packet path's thread: replaces `held` by the snapshot published
  // last when that is another one (or nothing is held). A snapshot let go
  // here is freed on this thread only when nobody else holds it any more.
  void pickUp(EngineRulesPtr &held);

 private:
  std::mutex lock_;
  EngineRulesPtr published_;
  // Generation of published_, read without the lock.
  std::atomic<uint32_t> generation_{0};
};

#endif
