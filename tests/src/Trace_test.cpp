// The log line format, levels and the signal-safe path.
#include "Trace.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

static const char *kLine =
    R"(^\d{2}/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4} \d{2}:\d{2}:\d{2} \[([^\]]+):(\d+)\] (ERROR: |WARNING: )?(.*)$)";

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

TEST(Trace, line_format_and_prefixes) {
  Trace t;
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

TEST(Trace, levels) {
  Trace t;
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

TEST(Trace, long_message_is_cut_not_overrun) {
  Trace t;
  std::string big(10000, 'a');
  testing::internal::CaptureStdout();
  t.log(TRACE_NORMAL, "x.cpp", 1, "%s", big.c_str());
  std::vector<std::string> out = lines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(out.size(), 1u);
  size_t start = out[0].find("] ") + 2;
  EXPECT_EQ(out[0].size() - start, 4095u);
}

}  // namespace
