#include "PolicyTrace.h"

#include <gtest/gtest.h>

#include <string>

#include "vesk_rules.h"

namespace {

std::string logLine(PolicyTrace *t, int level, const char *text) {
  testing::internal::CaptureStdout();
  t->log(level, "src/Some/Dir/RuleManager.cpp", 123, "%s", text);
  return testing::internal::GetCapturedStdout();
}

TEST(PolicyTrace, writes_base_name_line_prefix_and_strips_newlines) {
  PolicyTrace t;
  std::string out = logLine(&t, 1, "careful\n\n");
  EXPECT_NE(out.find(" [RuleManager.cpp:123] WARNING: careful\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("careful\n\n"), std::string::npos);
  out = logLine(&t, 0, "broken");
  EXPECT_NE(out.find("] ERROR: broken\n"), std::string::npos) << out;
  out = logLine(&t, 2, "plain");
  EXPECT_NE(out.find(":123] plain\n"), std::string::npos) << out;
}

TEST(PolicyTrace, filters_by_level_and_caps_it_at_nine) {
  PolicyTrace t;
  EXPECT_EQ(logLine(&t, 3, "debug"), "");
  t.setLevel(12);
  EXPECT_EQ(t.getLevel(), 9);
  EXPECT_NE(logLine(&t, 9, "deep"), "");
  t.setLevel(0);
  EXPECT_EQ(logLine(&t, 0, "silenced"), "");
}

TEST(PolicyTrace, long_messages_are_cut_not_overrun) {
  PolicyTrace t;
  std::string big(20000, 'x');
  std::string out = logLine(&t, 2, big.c_str());
  EXPECT_LT(out.size(), 8600u);
  EXPECT_EQ(out.back(), '\n');
}

TEST(PolicyTrace, one_process_wide_object_raised_by_set_debug) {
  EXPECT_EQ(PolicyTrace::instance(), PolicyTrace::instance());
  EXPECT_EQ(PolicyTrace::existing(), PolicyTrace::instance());
  rule_manager_set_debug();
  EXPECT_EQ(PolicyTrace::instance()->getLevel(), 9);
}

}  // namespace
