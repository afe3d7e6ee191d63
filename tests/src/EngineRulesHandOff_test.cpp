// The hand-off between a queue's reloads and its packet path: the path
// picks up the latest snapshot only, and a snapshot it still holds is not
// freed by the reloads that replace it.
#include "EngineRulesHandOff.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

EngineRulesPtr snapshot(uint32_t generation) {
  auto engine = std::make_shared<DetectionEngine>(nullptr, nullptr, std::string());
  return std::make_shared<const EngineRules>(engine, nullptr, generation);
}

TEST(EngineRulesHandOff, path_takes_the_latest_and_frees_a_held_snapshot_only_when_letting_go) {
  EngineRulesHandOff handOff;
  EngineRulesPtr held;
  handOff.pickUp(held);
  EXPECT_EQ(held, nullptr) << "nothing published yet";

  handOff.publish(snapshot(0));
  handOff.pickUp(held);
  ASSERT_NE(held, nullptr);
  std::weak_ptr<const EngineRules> first = held;

  // Two reloads while the path is busy: the loader keeps neither of the old.
  handOff.publish(snapshot(1));
  handOff.publish(snapshot(2));
  EXPECT_FALSE(first.expired()) << "freed while the path still holds it";
  handOff.pickUp(held);
  EXPECT_EQ(held->generation(), 2u) << "the latest, not the one in between";
  EXPECT_TRUE(first.expired()) << "let go by the path: freed";

  // Nothing new: the path keeps what it holds.
  const EngineRules *current = held.get();
  handOff.pickUp(held);
  EXPECT_EQ(held.get(), current);
}

}  // namespace
