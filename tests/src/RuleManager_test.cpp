#include "RuleManager.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "PolicyText.h"
#include "Pool.h"
#include "policy_test_util.h"
#include "vesk_rules.h"

namespace {

const char *PASS_POLICY = R"({"policy":{"id":1,"name":"pass rule","default_marker":"pass","markers":{}}})";

struct LineCase {
  const char *line;
  bool parsed;
  const char *message;  // expected in the log, or NULL
};

// Each accepted and rejected form of a rules-file line with its message.
const LineCase LINE_CASES[] = {
    {"{}", false, "Unknown rule format"},
    {"[1,2]", false, "Unknown rule format"},
    {"{\"something\":1}", false, "Unknown rule format"},
    {"{\"pool\":", false, "[JSON Error @ line 1][unexpected end of data]"},
    {"not json", false, "[JSON Error @ line 1]["},
    {R"({"pool":{"id":1,"ip":[]}})", false, "[JSON Error @ line 1][Missing 'policy' token]"},
    {R"({"pool":{"id":1,"ip":[]},"policy":{}})", false, "[Missing 'policy.id' token]"},
    {R"({"pool":{"name":"x","ip":[]},"policy":{"id":1}})", false, "[Missing 'pool.id' token]"},
    {R"({"pool":{"id":1},"policy":{"id":1}})", false,
     "[You need to specify 'pool.ip' and/or 'pool.mac' tokens]"},
    {R"({"pool":{"id":1,"ip":"10.0.0.1"},"policy":{"id":1}})", false, "[You need to specify"},
    {R"({"pool":{"id":70000,"ip":[]},"policy":{"id":1}})", false, "[Invalid 'pool.id' value]"},
    {R"({"pool":{"id":1,"ip":[]},"policy":{"id":65538}})", false, "[Invalid 'policy.id' value]"},
    {R"({"pool":{"id":-1,"ip":[]},"policy":{"id":1}})", false, "[Invalid 'pool.id' value]"},
    {R"({"pool":{"id":1,"ip":["10.0.0.0/8"]},"policy":{"id":1}})", true, nullptr},
    {R"({"pool":{"id":1,"name":"lan","mac":["00:11:22:33:44:55"]},"policy":{"id":1}})", true, nullptr},
    {R"({"policy":{"id":65538,"default_marker":"drop","markers":{}}})", false,
     "[Invalid 'policy.id' value]"},
    {R"({"policy":{"id":"3","default_marker":"drop","markers":{}}})", true, nullptr},
    {R"({"policy":{"id":"3x","default_marker":"drop","markers":{}}})", false,
     "[Invalid 'policy.id' value]"},
    {R"({"policy":{"id":"65536","default_marker":"drop","markers":{}}})", false,
     "[Invalid 'policy.id' value]"},
    {R"({"policy":{"id":3,"root":3,"default_marker":"pass","markers":{}}})", false,
     "[Loop detected 'policy.id' == 'policy.root']"},
    {R"({"policy":{"id":3,"root":70000,"default_marker":"pass","markers":{}}})", false,
     "[Invalid 'policy.root' value]"},
    {R"({"policy":{"id":3}})", false, "[Missing 'policy.default_marker' section]"},
    {R"({"policy":{"id":3,"default_marker":"pass"}})", false, "[Missing 'policy.markers' section]"},
    {R"({"policy":{"id":3,"default_marker":65538,"markers":{}}})", false,
     "[Invalid 'policy.default_marker' value]"},
    {R"({"policy":{"id":3,"default_marker":"65538","markers":{}}})", false,
     "[Invalid 'policy.default_marker' value]"},
    {R"({"policy":{"id":3,"default_marker":[],"markers":{}}})", true,
     "Unexpected type for default_marker"},
    {R"({"policy":{"id":3,"flow_risk":{"marker":2},"default_marker":1,"markers":{}}})", false,
     "[Missing 'policy.flow_risk.bitmap' token]"},
    {R"({"policy":{"id":3,"flow_risk":{"risks":5,"marker":2},"default_marker":1,"markers":{}}})",
     false, "[Invalid 'policy.flow_risk.risks' token type]"},
    {R"({"policy":{"id":3,"flow_risk":{"risks":[1]},"default_marker":1,"markers":{}}})", false,
     "[Missing 'policy.flow_risk.marker' token]"},
    {R"({"policy":{"id":3,"flow_risk":{"risks":[1],"marker":[]},"default_marker":1,"markers":{}}})",
     false, "[Invalid 'policy.flow_risk.marker' token type]"},
    {R"({"policy":{"id":3,"flow_risk":{"risks":[1],"marker":65538},"default_marker":1,"markers":{}}})",
     false, "[Invalid 'policy.flow_risk.marker' value]"},
    {R"({"policy":{"id":3,"default_marker":"pass","markers":{"protocols":[]}}})", true, nullptr},
    {R"({"policy":{"id":3,"default_marker":"pass","markers":{"protocols":[1]}}})", true,
     "Unexpected type for markers.protocols"},
    {R"({"policy":{"id":3,"default_marker":"pass","markers":{"countries":5}}})", true,
     "Unexpected type for markers.countries"},
    {R"({"blacklists":"http://127.0.0.1:9/x"})", true, "Invalid blacklists format"},
    {R"({"blacklists":[]})", true, nullptr},
    {R"({"geoip":{"asn":"/nonexistent/asn.mmdb"}})", true,
     "Skipping GeoIP information: Oxlo compiled without GeoIP support"},
    {R"({"custom_protocols":"/nonexistent/protos.txt"})", true,
     "Unable to open protocols file /nonexistent/protos.txt"},
    {R"({"category_file":"/some/dir/cats.txt"})", true, nullptr},
};

TEST(RuleManager, parses_each_line_form_with_its_message) {
  for (const LineCase &c : LINE_CASES) {
    RuleManager rm(nullptr, 16, 16);
    testing::internal::CaptureStdout();
    bool parsed = rm.parseLine(c.line, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(parsed, c.parsed) << c.line << "\n" << out;
    if (c.message) {
      EXPECT_TRUE(contains(out, c.message)) << c.line << "\n" << out;
    } else if (c.parsed) {
      EXPECT_FALSE(contains(out, "WARNING")) << c.line << "\n" << out;
    }
  }
}

TEST(RuleManager, unreadable_rules_file_fails_visibly) {
  RuleManager rm(nullptr, 16, 16);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(rm.loadRules("/nonexistent/rules.json"));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "ERROR: Unable to open file /nonexistent/rules.json [2/")) << out;
  EXPECT_FALSE(rm.fileWasRead());

  // What is not a regular file after its links is refused without being
  // read: a device that never ends, a fifo whose open would block without a
  // writer, a directory, a socket; each refused at once.
  char dir[] = "/tmp/vesk-rules-kinds-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string d = dir;
  ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0600), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un sun {};
  sun.sun_family = AF_UNIX;
  snprintf(sun.sun_path, sizeof(sun.sun_path), "%s/sock", dir);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);
  ASSERT_EQ(symlink("/dev/zero", (d + "/zero-link").c_str()), 0);
  for (const std::string &path : {std::string("/dev/zero"), d + "/zero-link", d + "/fifo",
                                  d + "/sock", std::string("/tmp")}) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(rm.loadRules(path.c_str())) << path;
    out = testing::internal::GetCapturedStdout();
    // A socket cannot even be opened; the rest are refused once open.
    EXPECT_TRUE(contains(out, "ERROR: Rules file " + path + " refused: not a regular file") ||
                contains(out, "ERROR: Unable to open file " + path + " ["))
        << out;
    EXPECT_FALSE(rm.fileWasRead()) << path;
  }
  close(sock);
  for (const char *name : {"/fifo", "/sock", "/zero-link"}) unlink((d + name).c_str());
  rmdir(dir);

  vesk_rule_manager *m = rule_manager_create(nullptr, 16, 16);
  ASSERT_NE(m, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(rule_manager_load_rules(m, "/nonexistent/rules.json"), -1);
  EXPECT_EQ(rule_manager_load_rules(nullptr, "/tmp/x"), -1);
  testing::internal::GetCapturedStdout();
  rule_manager_destroy(m);
  rule_manager_destroy(nullptr);
}

// A file that yields no rule line must not replace the rules in force: the
// facade tells it apart from a file that loaded.
TEST(RuleManager, load_without_any_taken_line_is_reported) {
  static const char kBinary[] = "\x7f" "ELF\x02\x01\x00\x00\n\xff\xfe{\x00}";
  struct Case {
    const char *name;
    std::string text;
    int rc;
  };
  const Case cases[] = {
      {"empty", "", -2},
      {"comments and blank lines", "# a\n\n# b\n", -2},
      {"only refused lines", "{}\n[1]\nnot json\n", -2},
      {"binary", std::string(kBinary, sizeof(kBinary) - 1), -2},
      {"one good line among bad ones", std::string("{}\n") + PASS_POLICY + "\n", -2},
  };
  for (const Case &c : cases) {
    vesk_rule_manager *m = rule_manager_create(nullptr, 16, 16);
    RulesFile f(c.text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rule_manager_load_rules(m, f.path.c_str()), c.rc) << c.name;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rule_manager_has_default_policy(m), 0) << c.name;
    rule_manager_destroy(m);
  }
  vesk_rule_manager *m = rule_manager_create(nullptr, 16, 16);
  RulesFile f(R"({"policy":{"id":0,"default_marker":"drop","markers":{}}})");
  testing::internal::CaptureStdout();
  EXPECT_EQ(rule_manager_load_rules(m, f.path.c_str()), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rule_manager_has_default_policy(m), 1);
  EXPECT_EQ(rule_manager_has_default_policy(nullptr), 0);
  rule_manager_destroy(m);
}

// A file with any line that cannot be taken is refused whole: a file caught
// half-written (a complete pass line and a cut second line) must not replace
// the rules in force with its first line. So is a file past the size limit.
TEST(RuleManager, load_with_a_line_not_taken_is_refused_whole) {
  const std::string pass = R"({"policy":{"id":0,"name":"open","default_marker":"pass","markers":{}}})";
  const std::string drop = R"({"policy":{"id":5,"name":"drop","default_marker":"drop","markers":{}}})";
  struct Case {
    const char *name;
    std::string text;
    int rc;
    const char *message;
  };
  const Case cases[] = {
      {"complete lines", pass + "\n" + drop + "\n", 0, nullptr},
      {"a cut second line", pass + "\n" + R"({"pool":{"id":1,"ip":["10.77.0)", -2,
       "[JSON Error @ line 2]"},
      {"a duplicate policy id", pass + "\n" + pass + "\n", -2, "Skipping duplicate policy [id: 0]"},
      {"a pool of a policy that is not there",
       pass + "\n" + R"({"pool":{"id":1,"ip":["10.0.0.9"]},"policy":{"id":7}})", -2,
       "unable to find policy [id: 7]"},
      {"an unknown key", pass + "\n" +
           R"({"policy":{"id":5,"default_marker":"pass","markers":{"hosts":{"a.b":"drop"}}}})", -2,
       "[line 2] Unknown key \"hosts\" in \"policy.markers\""},
      {"too large", pass + "\n#" + std::string(RuleManager::kMaxFileBytes, 'x') + "\n", -3,
       "more than the limit of 4194304 bytes"},
      {"exactly the limit",
       pass + "\n#" + std::string(RuleManager::kMaxFileBytes - pass.size() - 3, 'x') + "\n", 0,
       nullptr},
  };
  for (const Case &c : cases) {
    vesk_rule_manager *m = rule_manager_create(nullptr, 16, 16);
    RulesFile f(c.text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rule_manager_load_rules(m, f.path.c_str()), c.rc) << c.name;
    std::string out = testing::internal::GetCapturedStdout();
    if (c.message) {
      EXPECT_TRUE(contains(out, c.message)) << c.name << ": " << out.substr(0, 2000);
    }
    rule_manager_destroy(m);
  }
}

// Every object of a line holds only the keys its kind of line reads; a key
// it does not know is reported with the line number and the line not taken.
TEST(RuleManager, unknown_keys_are_reported_with_their_line) {
  struct Case {
    const char *line;
    const char *message;  // NULL: the line is taken
  } cases[] = {
      {R"({"policy":{"id":3,"root":4,"name":"n","flow_risk":{"risks":[1],"marker":2},"default_marker":1,"markers":{"categories":{},"protocols":{},"hostnames":{},"countries":{},"continents":{},"asn":{}}}})",
       nullptr},
      {R"({"pool":{"id":1,"name":"n","mac":[],"ip":[]},"policy":{"id":3}})", nullptr},
      {R"({"geoip":{"asn":"/x","city":"/y"}})", nullptr},
      {R"({"policy":{"id":3,"default_marker":1,"markers":{}},"comment":"x"})",
       "Unknown key \"comment\" in the line"},
      {R"({"policy":{"id":3,"default":1,"default_marker":1,"markers":{}}})",
       "Unknown key \"default\" in \"policy\""},
      {R"({"policy":{"id":3,"flow_risk":{"risks":[1],"marker":2,"bits":1},"default_marker":1,"markers":{}}})",
       "Unknown key \"bits\" in \"policy.flow_risk\""},
      {R"({"policy":{"id":3,"default_marker":1,"markers":{"protocol":{"HTTP":"drop"}}}})",
       "Unknown key \"protocol\" in \"policy.markers\""},
      {R"({"pool":{"id":1,"ips":["10.0.0.1"],"mac":[]},"policy":{"id":3}})",
       "Unknown key \"ips\" in \"pool\""},
      {R"({"pool":{"id":1,"ip":[]},"policy":{"id":3,"name":"x"}})",
       "Unknown key \"name\" in \"policy\""},
      {R"({"geoip":{"asn":"/x","country":"/y"}})", "Unknown key \"country\" in \"geoip\""},
      {R"({"blacklists":[],"whitelists":[]})", "Unknown key \"whitelists\" in the line"},
  };
  for (const Case &c : cases) {
    RuleManager rm(nullptr, 16, 16);
    testing::internal::CaptureStdout();
    bool taken = rm.parseLine(c.line, 7);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(taken, c.message == nullptr) << c.line << "\n" << out;
    if (c.message) {
      EXPECT_TRUE(contains(out, std::string("ERROR: [line 7] ") + c.message)) << out;
    }
  }
}

// A long file of bad lines costs a bounded log; quoted text is escaped and
// cut, so a line with terminal escapes or newlines stays one log line.
TEST(RuleManager, log_of_a_load_is_bounded_and_escaped) {
  RuleManager rm(nullptr, 16, 16);
  std::string text = "{\"x\": \"\x1b[31m\\u000aforged\", \"pad\": \"" + std::string(1000, 'a') + "\"}\n";
  for (int i = 0; i < 5000; i++) text += "{}\n";
  text += PASS_POLICY;
  bool hasDefault;
  std::string out = loadText(rm, text, &hasDefault);
  EXPECT_EQ(rm.acceptedLines(), 1u);
  size_t lines = std::count(out.begin(), out.end(), '\n');
  EXPECT_LT(lines, 400u) << "5002 rule lines";
  EXPECT_TRUE(contains(out, "Further lines of ")) << out.substr(0, 2000);
  EXPECT_TRUE(contains(out, "5002 rule lines, 1 taken"));
  EXPECT_TRUE(contains(out, "[line 1] Loading {\"x\": \"\\x1B[31m\\x5Cu000aforged")) << out.substr(0, 600);
  EXPECT_FALSE(contains(out, "\x1b"));
  EXPECT_FALSE(contains(out, std::string(300, 'a')));
}

TEST(RuleManager, skips_comments_and_empty_lines_and_counts_lines_from_one) {
  RuleManager rm(nullptr, 16, 16);
  bool hasDefault;
  std::string out = loadText(rm,
                             "# comment\n"
                             "\n" +
                                 std::string(PASS_POLICY) +
                                 "\n"
                                 "{}\n"
                                 "{\"policy\":{\"id\":0,\"default_marker\":\"drop\",\"markers\":{}}}",
                             &hasDefault);
  EXPECT_TRUE(rm.fileWasRead());
  EXPECT_TRUE(hasDefault);  // last line without '\n' still loads
  EXPECT_TRUE(contains(out, "[line 3] Loading {\"policy\"")) << out;
  EXPECT_TRUE(contains(out, "WARNING: Invalid parsing of line 4")) << out;
  EXPECT_FALSE(contains(out, "line 1]"));
  EXPECT_EQ(rm.getPolicies().size(), 2u);
}

TEST(RuleManager, builtin_default_policy_loads_without_warnings_and_passes) {
  vesk_rule_manager *m = rule_manager_create(nullptr, 16, 16);
  RulesFile f(std::string(R"({"pool":{"id":1,"name":"empty pool","ip":[],"mac":[]},"policy":{"id":1}})") +
              "\n" + PASS_POLICY + "\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(rule_manager_load_rules(m, f.path.c_str()), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(contains(out, "WARNING")) << out;
  EXPECT_FALSE(contains(out, "ERROR")) << out;
  Addr a = addr("10.0.0.1"), b = addr("10.0.0.2");
  uint8_t mac[6] = {0};
  oxlo_classification c{};
  c.app = 7;
  EXPECT_EQ(rule_manager_match_flow(m, mac, mac, a.data(), b.data(), nullptr, c), 1);
  rule_manager_destroy(m);
}

TEST(RuleManager, duplicates_and_limits) {
  RuleManager rm(nullptr, 16, 16);
  std::string text =
      R"({"policy":{"id":3,"name":"first","default_marker":"pass","markers":{}}})"
      "\n"
      R"({"policy":{"id":3,"name":"second","default_marker":"drop","markers":{}}})"
      "\n";
  for (int i = 1; i <= 17; i++)
    text += "{\"pool\":{\"id\":" + std::to_string(i) + ",\"ip\":[]},\"policy\":{\"id\":3}}\n";
  text += R"({"pool":{"id":1,"ip":[]},"policy":{"id":3}})";
  std::string out = loadText(rm, text);
  EXPECT_TRUE(contains(out, "Skipping duplicate policy [id: 3]")) << out;
  EXPECT_EQ(rm.getPolicies().at(3)->getName(), "\"first\"");
  EXPECT_TRUE(contains(out, "Skipping pool id 17: too many pools (16) defined")) << out;
  EXPECT_TRUE(contains(out, "Skipping duplicate pool [id: 1]")) << out;
  EXPECT_EQ(rm.getPools().size(), 16u);

  RuleManager small(nullptr, 1, 16);
  out = loadText(small, R"({"policy":{"id":1,"default_marker":1,"markers":{}}})"
                        "\n"
                        R"({"policy":{"id":2,"default_marker":1,"markers":{}}})");
  EXPECT_TRUE(contains(out, "Skipping policy id 2: too many policies (1) defined")) << out;
}

TEST(RuleManager, resolve_drops_missing_roots_loops_and_their_pools) {
  RuleManager rm(nullptr, 16, 16);
  std::string out = loadText(rm,
                             R"({"policy":{"id":4,"name":"a","root":5,"default_marker":2,"markers":{}}})"
                             "\n"
                             R"({"policy":{"id":5,"name":"b","root":4,"default_marker":2,"markers":{}}})"
                             "\n"
                             R"({"policy":{"id":6,"root":9,"default_marker":2,"markers":{}}})"
                             "\n"
                             R"({"policy":{"id":7,"root":8,"default_marker":2,"markers":{}}})"
                             "\n"
                             R"({"policy":{"id":8,"default_marker":2,"markers":{}}})"
                             "\n"
                             R"({"pool":{"id":1,"name":"p4","ip":["10.4.0.0/16"]},"policy":{"id":4}})"
                             "\n"
                             R"({"pool":{"id":2,"ip":["10.7.0.0/16"]},"policy":{"id":7}})");
  EXPECT_TRUE(contains(out, "Skipping policy [id: 4][name: \"a\"]: circular depedency on [id: 5][name: \"b\"]")) << out;
  EXPECT_TRUE(contains(out, "Skipping policy [id: 5][name: \"b\"]: unable to find root policy [id: 4]")) << out;
  EXPECT_TRUE(contains(out, "Skipping policy [id: 6][name: ]: unable to find root policy [id: 9]")) << out;
  EXPECT_TRUE(contains(out, "Skipping pool [id: 1][name: \"p4\"]: unable to find policy [id: 4]")) << out;
  ASSERT_EQ(rm.getPolicies().size(), 2u);
  EXPECT_EQ(rm.getPolicies().at(7)->getRoot(), rm.getPolicies().at(8));
  EXPECT_EQ(rm.getPools().size(), 1u);
  EXPECT_EQ(rm.getDefaultPolicy(), nullptr);
  // No default policy: a flow no pool covers passes.
  Addr a = addr("10.4.0.1"), b = addr("8.8.8.8"), c = addr("10.7.0.1");
  EXPECT_EQ(rm.matchFlow(nullptr, nullptr, a.data(), b.data(), facts(0, 7)), 1);
  EXPECT_EQ(rm.matchFlow(nullptr, nullptr, c.data(), b.data(), facts(0, 7)), 2);
}

// Pools resolved per flow: MAC first, then source, then destination address.
TEST(RuleManager, resolves_policy_per_flow) {
  RuleManager rm(nullptr, 16, 16);
  std::string out = loadText(rm,
      R"({"policy":{"id":0,"default_marker":10,"markers":{}}})" "\n"
      R"({"policy":{"id":1,"default_marker":11,"markers":{}}})" "\n"
      R"({"policy":{"id":2,"default_marker":12,"markers":{}}})" "\n"
      R"({"policy":{"id":3,"default_marker":13,"markers":{}}})" "\n"
      R"({"policy":{"id":4,"default_marker":14,"markers":{}}})" "\n"
      R"({"policy":{"id":5,"default_marker":15,"markers":{}}})" "\n"
      R"({"pool":{"id":1,"ip":["10.0.0.0/8"]},"policy":{"id":1}})" "\n"
      R"({"pool":{"id":2,"ip":["10.1.0.0/16","2001:db8::/32"]},"policy":{"id":2}})" "\n"
      R"({"pool":{"id":3,"ip":["fe80::/10"]},"policy":{"id":3}})" "\n"
      R"({"pool":{"id":4,"mac":["aa:bb:cc:dd:ee:01","not-a-mac","00:11:22:33:44"]},"policy":{"id":4}})" "\n"
      R"({"pool":{"id":5,"mac":["AA:BB:CC:DD:EE:01"]},"policy":{"id":5}})");
  EXPECT_TRUE(contains(out, "WARNING: Invalid MAC format not-a-mac: skipping")) << out;
  EXPECT_TRUE(contains(out, "WARNING: Invalid MAC format 00:11:22:33:44: skipping")) << out;

  struct {
    const char *src, *dst;
    const uint8_t *srcMac;
    bool ipv6;
    uint16_t marker;
  } cases[] = {
      {"10.2.3.4", "8.8.8.8", nullptr, false, 11},   // /8 by source
      {"8.8.8.8", "10.1.3.4", nullptr, false, 12},   // longest prefix, by destination
      {"8.8.8.8", "9.9.9.9", nullptr, false, 10},    // default policy
      {"2001:db8::5", "2001:4860::1", nullptr, true, 12},
      {"fe80::1", "ff02::1", nullptr, true, 13},     // fe80::/10 stays IPv6
      {"febf::1", "ff02::1", nullptr, true, 13},
      {"fec0::1", "ff02::1", nullptr, true, 10},
      {"254.128.0.5", "8.8.8.8", nullptr, false, 10}, // not an IPv4 /10 either
  };
  for (auto &c : cases) {
    Addr s = addr(c.src), d = addr(c.dst);
    uint8_t zero[6] = {0};
    EXPECT_EQ(rm.matchFlow(zero, zero, s.data(), d.data(), facts(0, 7, 0, nullptr, 0, c.ipv6)), c.marker)
        << c.src << " -> " << c.dst;
  }

  // MAC map first; the later pool decides a MAC listed twice.
  uint8_t known[6] = {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x01}, other[6] = {1, 2, 3, 4, 5, 6};
  Addr s = addr("10.2.3.4"), d = addr("8.8.8.8");
  EXPECT_EQ(rm.matchFlow(known, other, s.data(), d.data(), facts(0, 7)), 15);
  EXPECT_EQ(rm.matchFlow(other, known, s.data(), d.data(), facts(0, 7)), 15);
  EXPECT_EQ(rm.matchFlow(other, other, s.data(), d.data(), facts(0, 7)), 11);
}

TEST(RuleManager, engine_data_is_recorded_for_the_next_module_not_loaded_live) {
  char dir[] = "/tmp/vesk-engine-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string protos = std::string(dir) + "/protos.txt", cats = std::string(dir) + "/my_cats.txt";
  FILE *f = fopen(protos.c_str(), "w");
  fputs("tcp:8123@MyProto\n", f);
  fclose(f);
  vesk_rule_manager *m = rule_manager_create(nullptr, 16, 16);
  RulesFile rules("{\"custom_protocols\":\"" + protos + "\"}\n{\"category_file\":\"" + cats + "\"}\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(rule_manager_load_rules(m, rules.path.c_str()), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ(rule_manager_custom_protocols_path(m), protos.c_str());
  ASSERT_EQ(rule_manager_category_file_count(m), 1u);
  EXPECT_STREQ(rule_manager_category_file_path(m, 0), cats.c_str());
  EXPECT_STREQ(rule_manager_category_file_tag(m, 0), "my_cats.txt");
  EXPECT_EQ(rule_manager_category_file_path(m, 1), nullptr);
  rule_manager_destroy(m);
  EXPECT_EQ(rule_manager_custom_protocols_path(nullptr), nullptr);
  EXPECT_EQ(rule_manager_category_file_count(nullptr), 0u);
  unlink(protos.c_str());
  rmdir(dir);
}

TEST(PolicyText, mac_country_continent_and_address_texts) {
  uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(policyMacKey(mac), 0x554433221100ULL);
  EXPECT_EQ(policyParseMacKey("00:11:22:33:44:55"), 0x554433221100ULL);
  EXPECT_EQ(policyParseMacKey("aa:BB:cc:dd:ee:ff"), 0xffeeddccbbaaULL);
  for (const char *bad : {"", "00:11:22:33:44", "00:11:22:33:44:55:66", "0:11:22:33:44:55x",
                          "+0:11:22:33:44:55", "zz:11:22:33:44:55", "00-11-22-33-44-55"})
    EXPECT_EQ(policyParseMacKey(bad), 0u) << bad;
  uint64_t key;
  EXPECT_FALSE(RuleManager::parseMac("not-a-mac", &key));
  EXPECT_TRUE(RuleManager::parseMac("00:00:00:00:00:00", &key));
  EXPECT_EQ(key, 0u);

  EXPECT_EQ(policyCountryKey("IT"), 'I' * 256 + 'T');
  EXPECT_EQ(policyCountryKey("I"), 'I' * 256);
  EXPECT_EQ(policyCountryKey("ITA"), 0);
  struct {
    const char *text;
    uint8_t id;
  } continents[] = {{"AF", 1}, {"AS", 2}, {"EU", 3}, {"NA", 4}, {"SA", 5}, {"OC", 0},
                    {"af", 1}, {"AN", 3}, {"", 0}};
  for (auto &c : continents) EXPECT_EQ(policyContinentId(c.text), c.id) << c.text;

  char buf[64];
  EXPECT_STREQ(policyIpv4Text(0xC0A80107, buf, sizeof(buf)), "192.168.1.7");
  Addr a = addr("2001:db8::1");
  EXPECT_STREQ(policyIpv6Text(a.data(), buf, sizeof(buf)), "2001:db8::1");
  EXPECT_STREQ(policyIpv6Text(a.data(), buf, 4), "");
}

}  // namespace
