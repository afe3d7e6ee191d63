#include "Mutex.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(Mutex, remembers_last_locker_and_unlocker_and_counts) {
  Mutex m;
  EXPECT_FALSE(m.isLocked());
  m.lock("cache", 10);
  EXPECT_TRUE(m.isLocked());
  EXPECT_STREQ(m.lastLocker(), "cache");
  EXPECT_EQ(m.lastLockerLine(), 10);
  m.unlock("cache-done", 20);
  EXPECT_FALSE(m.isLocked());
  EXPECT_STREQ(m.lastUnlocker(), "cache-done");
  EXPECT_EQ(m.lastUnlockerLine(), 20);
  EXPECT_EQ(m.numLocks(), 1u);
  EXPECT_EQ(m.numUnlocks(), 1u);
}

TEST(Mutex, long_tags_are_cut_to_63_characters) {
  Mutex m;
  std::string tag(200, 't');
  m.lock(tag.c_str(), 1);
  EXPECT_EQ(std::string(m.lastLocker()).size(), 63u);
  m.unlock(nullptr, 2);
  EXPECT_STREQ(m.lastUnlocker(), "");
}

TEST(Mutex, excludes_concurrent_writers) {
  Mutex m;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; i++) {
        m.lock("w", __LINE__);
        counter++;
        m.unlock("w", __LINE__);
      }
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(counter, 40000);
}
