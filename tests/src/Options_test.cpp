// Option parsing and the configuration file reader.
#include "Options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Trace.h"

namespace {

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!trace) trace = new Trace();
    trace->setLevel(0);  // keep the test output quiet
  }

  Options::Outcome parse(std::vector<std::string> args, Options &options) {
    args.insert(args.begin(), "vesk");
    storage_ = args;
    argv_.clear();
    for (std::string &a : storage_) argv_.push_back(a.data());
    argv_.push_back(nullptr);
    return options.parse(static_cast<int>(storage_.size()), argv_.data());
  }

  std::string writeFile(const std::string &text) {
    char path[] = "/tmp/vesk-options-test-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    files_.push_back(path);
    return path;
  }

  void TearDown() override {
    for (auto &f : files_) unlink(f.c_str());
  }

  std::vector<std::string> storage_;
  std::vector<char *> argv_;
  std::vector<std::string> files_;
};

TEST_F(OptionsTest, queue_argument_table) {
  struct Case {
    const char *arg;
    bool ok;
    uint32_t first, count;
  } cases[] = {
      {"5:3", true, 5, 3},      {"0:40", true, 0, 32},   {"0:0", true, 0, 0},
      {"7", true, 7, 1},        {"65535", true, 65535, 1}, {"65504:32", true, 65504, 32},
      {"65535:2", false, 0, 0}, {"65536", false, 0, 0},   {"-1", false, 0, 0},
      {"abc", false, 0, 0},     {"1:x", false, 0, 0},     {"1:", false, 0, 0},
      {"", false, 0, 0},        {"4294967296", false, 0, 0}, {"1:-3", false, 0, 0},
  };
  for (const Case &c : cases) {
    Options options;
    EXPECT_EQ(options.parseQueueArgument(c.arg), c.ok) << c.arg;
    if (c.ok) {
      EXPECT_EQ(options.firstQueueId, c.first) << c.arg;
      EXPECT_EQ(options.numQueues, c.count) << c.arg;
      EXPECT_TRUE(options.queueGiven);
    } else {
      EXPECT_FALSE(options.queueGiven) << c.arg;
    }
  }
}

TEST_F(OptionsTest, flow_update_is_forced_into_range_and_must_be_a_number) {
  struct Case {
    const char *arg;
    bool ok;
    uint16_t expected;
  } cases[] = {{"1", true, 3},     {"2", true, 3},     {"3", true, 3},    {"60", true, 60},
               {"120", true, 120}, {"121", true, 120}, {"500", true, 120}, {"-4", true, 120},
               {"-0", true, 3},    {"x", false, 0},    {"abc", false, 0}, {"", false, 0},
               {"12s", false, 0},  {" 5", false, 0},   {"-", false, 0},   {"99999999999", false, 0}};
  for (const Case &c : cases) {
    uint16_t period = 0;
    EXPECT_EQ(Options::parseFlowUpdate(c.arg, &period), c.ok) << c.arg;
    if (c.ok) {
      EXPECT_EQ(period, c.expected) << c.arg;
    }
  }
}

TEST_F(OptionsTest, flow_limit_table) {
  struct Case {
    const char *arg;
    bool ok;
    uint32_t expected;
  } cases[] = {{"1", true, 1},           {"16", true, 16},   {"262144", true, 262144},
               {"4194304", true, 4194304}, {"4194305", false, 0}, {"0", false, 0},
               {"-5", false, 0},          {"1k", false, 0},   {"", false, 0}};
  for (const Case &c : cases) {
    uint32_t limit = 0;
    EXPECT_EQ(Options::parseFlowLimit(c.arg, &limit), c.ok) << c.arg;
    if (c.ok) {
      EXPECT_EQ(limit, c.expected) << c.arg;
    }
  }
  Options o;
  EXPECT_EQ(o.flowLimit, 262144u);
  ASSERT_EQ(parse({"-q", "0", "--flow-limit", "16"}, o), Options::RUN);
  EXPECT_EQ(o.flowLimit, 16u);
  Options shortForm;
  ASSERT_EQ(parse({"-q", "0", "-F", "32"}, shortForm), Options::RUN);
  EXPECT_EQ(shortForm.flowLimit, 32u);
}

TEST_F(OptionsTest, applies_options_in_order) {
  Options o;
  ASSERT_EQ(parse({"-q", "5:3", "-s", "-f", "-j", "-v", "-u", "500", "-z", "tcp://a:1",
                   "--zmq-flow-endpoint", "tcp://b:2", "-r", "first.json", "--rules",
                   "second.json", "-p", "tcp://c:3", "-y", "key", "--lan", "x", "--wan", "y"},
                  o),
            Options::RUN);
  EXPECT_TRUE(o.queueGiven);
  EXPECT_EQ(o.firstQueueId, 5u);
  EXPECT_EQ(o.numQueues, 3u);
  EXPECT_TRUE(o.skipConntrackReset && o.flush && o.json && o.verbose);
  EXPECT_EQ(o.flowUpdatePeriod, 120);
  EXPECT_EQ(o.flowEndpoints, (std::vector<std::string>{"tcp://a:1", "tcp://b:2"}));
  EXPECT_EQ(o.rulesPath, "second.json");
  EXPECT_EQ(o.policyEndpoint, "tcp://c:3");
  EXPECT_EQ(o.encryptionKey, "key");
}

TEST_F(OptionsTest, outcome_table) {
  struct Case {
    std::vector<std::string> args;
    Options::Outcome outcome;
  } cases[] = {
      {{"-q", "0", "-h"}, Options::USAGE},
      {{"--help"}, Options::USAGE},
      {{"-V", "-q", "0"}, Options::VERSION},
      {{"-q", "0", "--version"}, Options::VERSION},
      {{"-H"}, Options::USAGE_PROTOCOLS},
      {{"-k", "x"}, Options::USAGE},
      {{"-o", "x"}, Options::USAGE},
      {{"-O", "x"}, Options::USAGE},
      {{"--protocols", "x"}, Options::USAGE},
      {{"-q", "70000"}, Options::FAIL},
      // Start-up errors: the firewall must not run with half its options.
      {{"--bogus", "-q", "0"}, Options::FAIL},
      {{"-q", "0", "-x"}, Options::FAIL},
      {{"-q", "0", "-r"}, Options::FAIL},
      {{"-q", "0", "--rules"}, Options::FAIL},
      {{"-q", "0", "-u", "abc"}, Options::FAIL},
      {{"-q", "0", "--flow-limit", "0"}, Options::FAIL},
      {{"-q", "0", "stray"}, Options::FAIL},
      {{"stray", "-q", "0"}, Options::FAIL},
      {{"-q", "0"}, Options::RUN},
      {{}, Options::RUN},
  };
  for (Case &c : cases) {
    Options o;
    EXPECT_EQ(parse(c.args, o), c.outcome) << ::testing::PrintToString(c.args);
  }
}

// A typo before -r must not start the firewall without its rules: the
// error names the option, on standard error.
TEST_F(OptionsTest, unrecognised_option_is_an_error_on_standard_error) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{"-q", "0", "--rulse", "x.json"}, "vesk: Unrecognised option --rulse: not started"},
      {{"-q", "0", "--rulse=x.json"}, "vesk: Unrecognised option --rulse: not started"},
      {{"-q", "0", "-x"}, "vesk: Unrecognised option -x: not started"},
      {{"-f", "-q"}, "vesk: Missing value for option -q: not started"},
      {{"-q", "0", "--rules"}, "vesk: Missing value for option --rules: not started"},
      {{"-q", "0", "-u", "abc"}, "vesk: Invalid flow-update period 'abc'"},
      {{"-q", "0", "rules.json"}, "vesk: Unexpected argument 'rules.json'"},
  };
  for (Case &c : cases) {
    Options o;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(c.args, o), Options::FAIL) << ::testing::PrintToString(c.args);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

TEST_F(OptionsTest, config_file_lines_become_arguments) {
  std::string path = writeFile(
      "# a comment\n"
      "\n"
      "-q 0\n"
      "--rules \"/tmp/my rules.json\"   \n"
      "-f\n"
      "--flow-update=30\n"
      "-z\ttcp://127.0.0.1:5556\n"
      "  \t--json\n"
      "   \n"
      "  # an indented comment\n");
  std::vector<std::string> args;
  ASSERT_EQ(Options::readConfigFile(path.c_str(), "vesk", args), 0);
  EXPECT_EQ(args, (std::vector<std::string>{"vesk", "-q", "0", "--rules", "/tmp/my rules.json",
                                            "-f", "--flow-update", "30", "-z",
                                            "tcp://127.0.0.1:5556", "--json"}));

  // ...and parse like the command line.
  storage_ = args;
  argv_.clear();
  for (std::string &a : storage_) argv_.push_back(a.data());
  argv_.push_back(nullptr);
  Options o;
  ASSERT_EQ(o.parse(static_cast<int>(storage_.size()), argv_.data()), Options::RUN);
  EXPECT_EQ(o.rulesPath, "/tmp/my rules.json");
  EXPECT_EQ(o.flowUpdatePeriod, 30);
  EXPECT_TRUE(o.flush);
  EXPECT_TRUE(o.queueGiven);
}

TEST_F(OptionsTest, config_file_limits_and_errors) {
  std::string thirtyOne, thirtyTwo;
  for (int i = 0; i < 31; i++) thirtyOne += "-f\n";
  thirtyTwo = thirtyOne + "-f\n";
  std::vector<std::string> args;

  EXPECT_EQ(Options::readConfigFile(writeFile(thirtyOne).c_str(), "vesk", args), 0);
  EXPECT_EQ(args.size(), 32u);
  EXPECT_EQ(Options::readConfigFile(writeFile(thirtyTwo).c_str(), "vesk", args), 1);
  EXPECT_EQ(Options::readConfigFile("/nonexistent/vesk.conf", "vesk", args), -1);

  // Files that are not a configuration end the process with status 1.
  const std::string refused[] = {
      "",                                                 // empty
      "# only\n\n   \n",                                 // no option
      std::string("\x7f" "ELF\x02\x01\x00-q 0\n", 11),   // binary
      "-q 0\n--rules=/tmp/" + std::string(2100, 'r') + "\n",  // a line over 2,047
  };
  for (const std::string &text : refused)
    EXPECT_EQ(Options::readConfigFile(writeFile(text).c_str(), "vesk", args), 1)
        << text.substr(0, 40);
  // 2,047 characters are still one line.
  EXPECT_EQ(Options::readConfigFile(
                writeFile("--rules=" + std::string(2047 - 8, 'r') + "\n").c_str(), "vesk", args),
            0);
  EXPECT_EQ(args.back().size(), 2047u - 8);
}

}  // namespace
