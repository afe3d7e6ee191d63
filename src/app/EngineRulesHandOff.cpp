#include "EngineRulesHandOff.h"

#include <utility>

void EngineRulesHandOff::publish(EngineRulesPtr next) {
  uint32_t generation = next->generation();
  {
    std::lock_guard<std::mutex> lock(lock_);
    published_.swap(next);
    generation_.store(generation, std::memory_order_release);
  }
  // next, the snapshot published before, is let go outside the lock.
}

void EngineRulesHandOff::pickUp(EngineRulesPtr &held) {
  if (held && held->generation() == generation_.load(std::memory_order_acquire)) return;
  EngineRulesPtr next;
  {
    std::lock_guard<std::mutex> lock(lock_);
    next = published_;
  }
  if (next) held.swap(next);
  // next, what was held, is let go outside the lock.
}
