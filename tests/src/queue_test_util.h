// Rules for a queue under test: a queue tracks packets only once it has
// rules in force, so tests that are not about the rules give it these.
#ifndef VESK_QUEUE_TEST_UTIL_H
#define VESK_QUEUE_TEST_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "NetfilterInterface.h"

// A default policy (id 0) that passes every flow.
inline void givePassRules(NetfilterInterface &queue) {
  char path[] = "/tmp/vesk-pass-rules-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text =
      "{\"policy\":{\"id\":0,\"name\":\"pass\",\"default_marker\":\"pass\",\"markers\":{}}}\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  bool loaded = queue.loadRules(path);
  unlink(path);
  ASSERT_TRUE(loaded);
}

#endif
