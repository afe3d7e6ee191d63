// The facade with real engine objects: a finalized module, flow states that
// went through the engine, classifications by value.
#include "vesk_rules.h"

#include <gtest/gtest.h>

#include <vector>

#include "oxlo_api.h"
#include "oxlo_risks.h"
#include "policy_test_util.h"

namespace {

struct EngineFlow {
  oxlo_flow_state *flow;
  EngineFlow() : flow(static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()))) {
    memset(flow, 0, oxlo_flow_state_size());
  }
  ~EngineFlow() { oxlo_flow_state_free(flow); }
};

// A UDP packet of the given family between two addresses, ports 40000 -> 5555.
std::vector<uint8_t> udpPacket(const Addr &src, const Addr &dst, bool ipv6) {
  std::vector<uint8_t> p;
  const uint8_t payload[4] = {'v', 'e', 's', 'k'};
  uint8_t udp[8] = {0x9c, 0x40, 0x15, 0xb3, 0, 12, 0, 0};
  if (ipv6) {
    uint8_t h[40] = {0x60, 0, 0, 0, 0, 12, 17, 64};
    memcpy(h + 8, src.data(), 16);
    memcpy(h + 24, dst.data(), 16);
    p.assign(h, h + 40);
  } else {
    uint8_t h[20] = {0x45, 0, 0, 32, 0, 1, 0, 0, 64, 17, 0, 0};
    memcpy(h + 12, src.data(), 4);
    memcpy(h + 16, dst.data(), 4);
    p.assign(h, h + 20);
  }
  p.insert(p.end(), udp, udp + 8);
  p.insert(p.end(), payload, payload + 4);
  return p;
}

class Facade : public testing::Test {
 protected:
  void SetUp() override {
    module = oxlo_module_new(nullptr);
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(oxlo_finalize_initialization(module), 0);
    rules = rule_manager_create(module, 16, 16);
    ASSERT_NE(rules, nullptr);
    RulesFile f(
        R"({"policy":{"id":0,"default_marker":10,"markers":{}}})" "\n"
        R"({"policy":{"id":1,"default_marker":11,"flow_risk":{"risks":[15],"marker":77},)"
        R"("markers":{"protocols":{"DNS":"drop","HTTP":42},)"
        R"("hostnames":{"blocked.example":"drop"}}}})" "\n"
        R"({"pool":{"id":1,"ip":["2001:db8::/32","192.0.2.0/24"]},"policy":{"id":1}})");
    testing::internal::CaptureStdout();
    ASSERT_EQ(rule_manager_load_rules(rules, f.path.c_str()), 0);
    testing::internal::GetCapturedStdout();
  }
  void TearDown() override {
    rule_manager_destroy(rules);
    oxlo_module_free(module);
  }
  uint16_t match(const char *src, const char *dst, bool ipv6, uint16_t app, const char *host,
                 int risk = -1) {
    Addr s = addr(src), d = addr(dst);
    EngineFlow f;
    std::vector<uint8_t> pkt = udpPacket(s, d, ipv6);
    oxlo_classify_packet(module, f.flow, pkt.data(), (uint16_t)pkt.size(), 1000, nullptr);
    if (host) oxlo_flow_store_host_name(f.flow, host, strlen(host), 0);
    if (risk >= 0) {
      EXPECT_EQ(oxlo_flow_risk_raise(module, f.flow, risk, nullptr), 0);
    }
    oxlo_classification c{};
    c.app = app;
    uint8_t mac[6] = {0};
    return rule_manager_match_flow(rules, mac, mac, s.data(), d.data(), f.flow, c);
  }
  oxlo_module *module = nullptr;
  vesk_rule_manager *rules = nullptr;
};

TEST_F(Facade, matches_with_engine_flow_and_classification) {
  EXPECT_EQ(match("192.0.2.7", "198.51.100.1", false, 5, nullptr), 2);
  EXPECT_EQ(match("192.0.2.7", "198.51.100.1", false, 7, nullptr), 42);
  EXPECT_EQ(match("198.51.100.1", "192.0.2.7", false, 91, nullptr), 11);
  EXPECT_EQ(match("198.51.100.1", "203.0.113.1", false, 7, nullptr), 10);
  EXPECT_EQ(match("192.0.2.7", "198.51.100.1", false, 7, "www.blocked.example"), 2);
  EXPECT_EQ(match("192.0.2.7", "198.51.100.1", false, 91, nullptr, 15), 77);
  EXPECT_EQ(match("192.0.2.7", "198.51.100.1", false, 91, nullptr, 16), 11);
  EXPECT_EQ(rule_manager_match_flow(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    oxlo_classification{}),
            1);
}

// The facade hands the policy every host name the engine kept for the flow.
TEST_F(Facade, every_host_of_the_flow_is_matched) {
  Addr s = addr("192.0.2.7"), d = addr("198.51.100.1");
  struct {
    const char *host;
    std::vector<const char *> others;
    uint16_t marker;
  } cases[] = {
      {"allowed.example", {"allowed.example", "Blocked.Example."}, 2},
      {nullptr, {"blocked.example:80"}, 2},
      {"allowed.example", {"blocked.example.evil"}, 42},
  };
  for (auto &c : cases) {
    EngineFlow f;
    std::vector<uint8_t> pkt = udpPacket(s, d, false);
    oxlo_classify_packet(module, f.flow, pkt.data(), (uint16_t)pkt.size(), 1000, nullptr);
    if (c.host) oxlo_flow_store_host_name(f.flow, c.host, strlen(c.host), 0);
    for (const char *o : c.others) oxlo_flow_add_host_candidate(f.flow, o, strlen(o));
    oxlo_classification cl{};
    cl.app = 7;
    uint8_t mac[6] = {0};
    EXPECT_EQ(rule_manager_match_flow(rules, mac, mac, s.data(), d.data(), f.flow, cl), c.marker)
        << (c.host ? c.host : "(none)");
  }
}

// An IPv6 address whose last twelve bytes are zero is still IPv6: the family
// comes from the engine's flow, not from the bytes.
TEST_F(Facade, ipv6_flow_with_zero_low_bytes_uses_the_ipv6_pool) {
  EXPECT_EQ(match("2001:db8::", "2001:4860::", true, 91, nullptr), 11);
  EXPECT_EQ(match("2001:4860::", "2001:db8::", true, 5, nullptr), 2);
  EXPECT_EQ(match("2001:4860::", "2001:4861::", true, 5, nullptr), 10);
}

}  // namespace

namespace {

// A flow the engine could not finish gets the strictest marker its policy
// could still have given it.
TEST(ExceptionMarker, is_the_strictest_marker_the_policy_could_give) {
  struct Case {
    const char *name;
    const char *policy;  // the rules' policy covering 192.0.2.0/24, or none
    uint16_t marker;
  };
  const Case cases[] = {
      {"default pass with a host drop",
       R"({"policy":{"id":1,"default_marker":"pass","markers":{"hostnames":{"blocked.example":"drop"}}}})",
       2},
      {"default pass with only a mark",
       R"({"policy":{"id":1,"default_marker":"pass","markers":{"hostnames":{"a.example":42}}}})", 1},
      {"default drop", R"({"policy":{"id":1,"default_marker":"drop","markers":{}}})", 2},
      {"a protocol drop", R"({"policy":{"id":1,"default_marker":7,"markers":{"protocols":{"DNS":"drop"}}}})",
       2},
      {"no policy", nullptr, 1},
  };
  oxlo_module *module = oxlo_module_new(nullptr);
  ASSERT_NE(module, nullptr);
  ASSERT_EQ(oxlo_finalize_initialization(module), 0);
  const Addr client = addr("192.0.2.7"), server = addr("198.51.100.1");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vesk_rule_manager *rules = rule_manager_create(module, 16, 16);
    ASSERT_NE(rules, nullptr);
    std::string text = c.policy ? std::string(c.policy) + "\n" +
                                      R"({"pool":{"id":1,"ip":["192.0.2.0/24"]},"policy":{"id":1}})"
                                : std::string(R"({"policy":{"id":1,"default_marker":"drop","markers":{}}})");
    RulesFile f(text.c_str());
    testing::internal::CaptureStdout();
    ASSERT_EQ(rule_manager_load_rules(rules, f.path.c_str()), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rule_manager_exception_marker(rules, nullptr, nullptr, client.data(), server.data(), 4),
              c.marker);
    rule_manager_destroy(rules);
  }
  oxlo_module_free(module);
}

}  // namespace
