// The log line format, levels, the signal-safe path, and what the policy
// library relies on: the one process-wide object and the debug switch.
#include "Log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "vesk_rules.h"

namespace {

static const char *kLine =
    R"(^\d{2}/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4} \d{2}:\d{2}:\d{2} \[([^\]]+):(\d+)\] (ERROR: |WARNING: )?(.*)$)";

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

TEST(Log, line_format_and_prefixes) {
  Log t;
  testing::internal::CaptureStdout();
  t.log(TRACE_WARNING, "src/main.cpp", 123, "disk %s", "full");
  t.log(TRACE_ERROR, "/abs/path/src/Flow.cpp", 7, "boom");
  t.log(TRACE_NORMAL, "NoSlash.cpp", 1, "two newlines\n\n");
  t.logFromSignal(TRACE_NORMAL, "src/main.cpp", 9, "Ok I am leaving now");
  std::vector<std::string> out = lines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(out.size(), 4u);

  struct Expect {
    const char *file, *line, *prefix, *message;
  } expected[] = {{"main.cpp", "123", "WARNING: ", "disk full"},
                  {"Flow.cpp", "7", "ERROR: ", "boom"},
                  {"NoSlash.cpp", "1", "", "two newlines"},
                  {"main.cpp", "9", "", "Ok I am leaving now"}};
  std::regex re(kLine);
  for (size_t i = 0; i < out.size(); i++) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out[i], m, re)) << out[i];
    EXPECT_EQ(m[2], expected[i].file);
    EXPECT_EQ(m[3], expected[i].line);
    EXPECT_EQ(m[4], expected[i].prefix);
    EXPECT_EQ(m[5], expected[i].message);
  }
  // Both paths print the same local time (same minute at least).
  EXPECT_EQ(out[0].substr(0, 17), out[3].substr(0, 17));
}

TEST(Log, levels) {
  Log t;
  t.setLevel(12);
  EXPECT_EQ(t.getLevel(), 9);
  t.setLevel(6);
  testing::internal::CaptureStdout();
  for (int level = 0; level <= 9; level++) t.log(level, "x.cpp", level, "level %d", level);
  std::vector<std::string> out = lines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(out.size(), 7u);  // 0..6
  EXPECT_NE(out.back().find("level 6"), std::string::npos);

  t.setLevel(0);  // silences everything, errors included
  testing::internal::CaptureStdout();
  t.log(TRACE_ERROR, "x.cpp", 1, "hidden");
  t.logFromSignal(TRACE_ERROR, "x.cpp", 1, "hidden");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Log, long_message_is_cut_not_overrun) {
  Log t;
  std::string big(10000, 'a');
  testing::internal::CaptureStdout();
  t.log(TRACE_NORMAL, "x.cpp", 1, "%s", big.c_str());
  std::vector<std::string> out = lines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(out.size(), 1u);
  size_t start = out[0].find("] ") + 2;
  EXPECT_EQ(out[0].size() - start, 4095u);
}

std::string logLine(Log *t, int level, const char *text) {
  testing::internal::CaptureStdout();
  t->log(level, "src/Some/Dir/RuleManager.cpp", 123, "%s", text);
  return testing::internal::GetCapturedStdout();
}

TEST(Log, writes_base_name_line_prefix_and_strips_newlines) {
  Log t;
  std::string out = logLine(&t, 1, "careful\n\n");
  EXPECT_NE(out.find(" [RuleManager.cpp:123] WARNING: careful\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("careful\n\n"), std::string::npos);
  out = logLine(&t, 0, "broken");
  EXPECT_NE(out.find("] ERROR: broken\n"), std::string::npos) << out;
  out = logLine(&t, 2, "plain");
  EXPECT_NE(out.find(":123] plain\n"), std::string::npos) << out;
}

TEST(Log, filters_by_level_and_caps_it_at_nine) {
  Log t;
  EXPECT_EQ(logLine(&t, 3, "debug"), "");
  t.setLevel(12);
  EXPECT_EQ(t.getLevel(), 9);
  EXPECT_NE(logLine(&t, 9, "deep"), "");
  t.setLevel(0);
  EXPECT_EQ(logLine(&t, 0, "silenced"), "");
}

TEST(Log, long_messages_are_cut_not_overrun) {
  Log t;
  std::string big(20000, 'x');
  std::string out = logLine(&t, 2, big.c_str());
  EXPECT_LT(out.size(), 8600u);
  EXPECT_EQ(out.back(), '\n');
}

// The policy library has no log of its own: what it says goes to the log
// the program set up, at that log's level.
TEST(Log, policy_library_writes_to_the_process_log) {
  if (!trace) trace = new Log();
  vesk_rule_manager *rm = rule_manager_create(nullptr, 16, 16);
  ASSERT_NE(rm, nullptr);
  EXPECT_EQ(Log::instance(), trace);
  trace->setLevel(0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(rule_manager_load_rules(rm, "/nonexistent/rules.json"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  trace->setLevel(TRACE_NORMAL);
  testing::internal::CaptureStdout();
  EXPECT_EQ(rule_manager_load_rules(rm, "/nonexistent/rules.json"), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("] ERROR: Unable to open file /nonexistent/rules.json"), std::string::npos)
      << out;
  rule_manager_destroy(rm);
}

TEST(Log, one_process_wide_object_raised_by_set_debug) {
  EXPECT_EQ(Log::instance(), Log::instance());
  EXPECT_EQ(trace, Log::instance());
  rule_manager_set_debug();
  EXPECT_EQ(Log::instance()->getLevel(), 9);
}

}  // namespace
