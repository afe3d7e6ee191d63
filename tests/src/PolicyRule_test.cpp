#include "PolicyRule.h"
#include "oxlo_protocol_ids.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "PolicyError.h"
#include "policy_test_util.h"

namespace {

struct Built {
  std::unique_ptr<PolicyRule> rule;
  std::string log;
};

Built build(RuleManager &rm, const std::string &policyBody) {
  std::string text = "{\"policy\":{" + policyBody + "}}";
  json_object *j = json_tokener_parse(text.c_str());
  EXPECT_NE(j, nullptr) << text;
  Built b;
  testing::internal::CaptureStdout();
  try {
    b.rule.reset(new PolicyRule(rm.getModule(), j));
  } catch (const PolicyError &e) {
    b.log = e.what();
  }
  b.log += testing::internal::GetCapturedStdout();
  json_object_put(j);
  return b;
}

TEST(PolicyRule, marker_values) {
  Log::instance();
  struct {
    const char *json;
    bool ok;
    uint16_t marker;
    const char *warning;
  } cases[] = {
      {"\"drop\"", true, 2, nullptr},  {"\"DROP\"", true, 2, nullptr},
      {"\"Drop\"", true, 2, nullptr},  {"\"pass\"", true, 1, nullptr},
      {"\"PaSs\"", true, 1, nullptr},  {"\"7\"", true, 7, nullptr},
      {"7", true, 7, nullptr},         {"0", true, 0, nullptr},
      {"65535", true, 65535, nullptr}, {"\"65535\"", true, 65535, nullptr},
      {"\"block\"", true, 1, "Unexpected value block for policy marker: default to PASS"},
      {"65538", false, 0, "Invalid marker 65538"},
      {"\"65538\"", false, 0, "Invalid marker 65538"},
      {"-1", false, 0, "Invalid marker -1"},
      {"18446744073709551615", false, 0, "Invalid marker"},
      {"1.5", false, 0, nullptr},      {"[]", false, 0, nullptr},
  };
  for (auto &c : cases) {
    json_object *v = json_tokener_parse(c.json);
    ASSERT_NE(v, nullptr) << c.json;
    uint16_t m = 9999;
    bool wrongType;
    testing::internal::CaptureStdout();
    bool ok = PolicyRule::readMarker(v, &m, &wrongType);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ok, c.ok) << c.json;
    if (c.ok) {
      EXPECT_EQ(m, c.marker) << c.json;
    }
    if (c.warning) {
      EXPECT_TRUE(contains(out, c.warning)) << c.json << ": " << out;
    }
    json_object_put(v);
  }
}

TEST(PolicyRule, parses_name_root_risks_and_sections) {
  RuleManager rm(nullptr, 16, 16);
  Built b = build(rm, R"("id":3,"root":9,"name":"office","flow_risk":{"risks":[15,31,64,"x"],"marker":"drop"},)"
                      R"("default_marker":"pass","markers":{"categories":{"5":1,"164":2,"Web":"drop","NoSuchCategory":1},)"
                      R"("countries":{"IT":"drop","ITA":2,"FR":[]},"continents":{"EU":44},)"
                      R"("asn":{"15169":"drop","4294967296":2,"12x":2}}})");
  ASSERT_TRUE(b.rule) << b.log;
  PolicyRule &r = *b.rule;
  EXPECT_EQ(r.getId(), 3);
  EXPECT_EQ(r.getRootId(), 9);
  EXPECT_EQ(r.getName(), "\"office\"");
  EXPECT_EQ(r.getRiskBitmap(), (1ULL << 15) | (1ULL << 31));
  EXPECT_EQ(r.getRiskMarker(), 2);
  EXPECT_TRUE(contains(b.log, "Unknown flow risk 64")) << b.log;
  EXPECT_EQ(r.getCategoryMarkers(), (std::map<uint16_t, uint16_t>{{5, 2}}));
  EXPECT_TRUE(contains(b.log, "WARNING: Unknown category 164 [164]")) << b.log;
  EXPECT_TRUE(contains(b.log, "WARNING: Unknown category NoSuchCategory")) << b.log;
  EXPECT_EQ(r.getCountryMarkers(), (std::map<uint16_t, uint16_t>{{'I' * 256 + 'T', 2}}));
  EXPECT_TRUE(contains(b.log, "WARNING: Unknown country ITA")) << b.log;
  EXPECT_TRUE(contains(b.log, "WARNING: Unexpected type for markers.countries")) << b.log;
  EXPECT_EQ(r.getContinentMarkers(), (std::map<uint8_t, uint16_t>{{3, 44}}));
  EXPECT_EQ(r.getAsnMarkers(), (std::map<uint32_t, uint16_t>{{15169, 2}}));
  EXPECT_TRUE(contains(b.log, "Unknown autonomous system 4294967296")) << b.log;

  Built bitmap = build(rm, R"("id":4,"flow_risk":{"bitmap":-9223372036854775808,"marker":5},"default_marker":1,"markers":{}})");
  ASSERT_TRUE(bitmap.rule) << bitmap.log;
  EXPECT_EQ(bitmap.rule->getRiskBitmap(), 1ULL << 63);
  Built noroot = build(rm, R"("id":4,"default_marker":1,"markers":{}})");
  EXPECT_EQ(noroot.rule->getRootId(), 255);
}

// Marker selection for classified flows, in the policy's order of checks.
TEST(PolicyRule, selects_marker_for_classified_flows) {
  RuleManager rm(nullptr, 16, 16);
  Built b = build(rm, R"("id":1,"default_marker":40,"flow_risk":{"risks":[15],"marker":41},)"
                      R"("markers":{"protocols":{"7":30,"5":31,"91":"drop"},"categories":{"5":20,"9":"drop"},)"
                      R"("hostnames":{"example.com":"drop","mail.example.org":50,".shop.example.net":51,"ads":2,"x.local":2,"acme.":"drop","corp.":52}}})");
  ASSERT_TRUE(b.rule) << b.log;
  EXPECT_EQ(b.rule->hostNameCount(), 7u);
  Built risky = build(rm, R"("id":2,"default_marker":40,"flow_risk":{"bitmap":1,"marker":"drop"},"markers":{"protocols":{"7":"pass"}}})");
  ASSERT_TRUE(risky.rule) << risky.log;

  Addr s = addr("10.0.0.1"), d = addr("1.1.1.1");
  struct {
    PolicyRule *rule;
    PolicyFlowFacts flow;
    uint16_t marker;
    const char *why;
  } cases[] = {
      {b.rule.get(), facts(0, 7), 30, "app protocol"},
      {b.rule.get(), facts(5, 7), 30, "app before master"},
      {b.rule.get(), facts(5, 188), 31, "master when app has no marker"},
      {b.rule.get(), facts(5, 0), 40, "no app id: no protocol marker"},
      {b.rule.get(), facts(0, 188, 5), 20, "category"},
      {b.rule.get(), facts(0, 188, 9), 2, "category drop"},
      {b.rule.get(), facts(0, 7, 9), 30, "protocol before category"},
      {b.rule.get(), facts(0, 188, 3), 40, "default"},
      {b.rule.get(), facts(0, 7, 0, "www.example.com"), 2, "host drop (domain) beats protocol"},
      {b.rule.get(), facts(0, 7, 0, "EXAMPLE.com"), 2, "host exact, any case"},
      {b.rule.get(), facts(0, 7, 0, "example.com.evil"), 30, "not a parent domain"},
      {b.rule.get(), facts(0, 7, 0, "www.acme.co.uk"), 2, "organisation under a two-label suffix"},
      {b.rule.get(), facts(0, 7, 0, "acme.de"), 2, "organisation under a one-label suffix"},
      {b.rule.get(), facts(0, 188, 0, "mail.corp.com.au"), 52, "organisation, soft marker"},
      {b.rule.get(), facts(0, 7, 0, "acme.evil.com"), 30, "organisation label not in place"},
      {b.rule.get(), facts(0, 188, 0, "mail.example.org"), 50, "host marker when nothing else"},
      {b.rule.get(), facts(0, 7, 0, "mail.example.org"), 30, "protocol overrides host pass"},
      {b.rule.get(), facts(0, 188, 0, "example.org"), 40, "parent does not match child entry"},
      {b.rule.get(), facts(0, 188, 0, "a.shop.example.net"), 51, "leading dot entry"},
      {b.rule.get(), facts(0, 188, 0, "ads"), 40, "name without a dot never matches"},
      {b.rule.get(), facts(0, 188, 0, "x.local"), 40, ".local never matches"},
      {b.rule.get(), facts(0, 188, 0, nullptr, 1ULL << 15), 41, "risk marker"},
      {b.rule.get(), facts(0, 7, 0, nullptr, 1ULL << 15), 30, "protocol after risk pass"},
      {b.rule.get(), facts(0, 188, 0, "mail.example.org", 1ULL << 15), 50, "last applying marker"},
      {risky.rule.get(), facts(0, 7, 0, nullptr, 1), 2, "risk drop wins at once"},
      {risky.rule.get(), facts(0, 7, 0, nullptr, 2), 1, "other risk"},
  };
  for (auto &c : cases)
    EXPECT_EQ(c.rule->evaluate(nullptr, c.flow, s.data(), d.data(), true), c.marker) << c.why;
}

// Only an all-digit key is an id; a name that begins with a digit is a name.
TEST(PolicyRule, protocol_keys_by_name_and_id) {
  RuleManager rm(nullptr, 16, 16);
  const uint16_t last = OXLO_PROTOCOL_BUILTIN_COUNT - 1;
  const std::string last_id = std::to_string(last), past_id = std::to_string(last + 1);
  Built b = build(rm, R"("id":1,"default_marker":1,"markers":{"protocols":{"1kxun":"drop","http":5,")" + last_id +
                      R"(":6,")" + past_id + R"(":7,"0":8,"65543":9,"NoSuchProto":10,"7x":11}}})");
  ASSERT_TRUE(b.rule) << b.log;
  EXPECT_EQ(b.rule->getProtocolMarkers(), (std::map<uint16_t, uint16_t>{{295, 2}, {7, 5}, {last, 6}}))
      << b.log;
  const std::string past = "Unknown protocol " + past_id;
  for (const char *w : {past.c_str(), "Unknown protocol 0", "Unknown protocol 65543",
                        "Unknown protocol NoSuchProto", "Unknown protocol 7x"})
    EXPECT_TRUE(contains(b.log, w)) << w << "\n" << b.log;
}

TEST(PolicyRule, bad_items_are_skipped_and_the_policy_still_loads) {
  RuleManager rm(nullptr, 16, 16);
  Built b = build(rm, R"("id":1,"default_marker":1,"markers":{"protocols":{"99999":2,"7":{"a":1},"8":65538},)"
                      R"("categories":{"5":[1]},"hostnames":{"a.com":[],"b.com":65538,"c.com":3}}})");
  ASSERT_TRUE(b.rule) << b.log;
  EXPECT_TRUE(contains(b.log, "Unknown protocol 99999")) << b.log;
  EXPECT_TRUE(contains(b.log, "Unexpected type for markers.protocols")) << b.log;
  EXPECT_TRUE(contains(b.log, "Invalid marker 65538")) << b.log;
  EXPECT_TRUE(contains(b.log, "Unexpected type for markers.categories")) << b.log;
  EXPECT_TRUE(contains(b.log, "Unexpected type for hostnames key a.com")) << b.log;
  EXPECT_TRUE(b.rule->getProtocolMarkers().empty());
  EXPECT_EQ(b.rule->hostNameCount(), 1u);
}

// Host names meet in one canonical form on both sides: a rule written
// "Blocked.Example." holds for every spelling of the host, and not for a
// name that only looks like it.
TEST(PolicyRule, host_names_match_in_canonical_form) {
  RuleManager rm(nullptr, 16, 16);
  Built b = build(rm, R"("id":1,"default_marker":40,"markers":{"hostnames":{"Blocked.Example.":"drop",)"
                      R"(" mark.example:8080 ":60,"Acme.":52}}})");
  ASSERT_TRUE(b.rule) << b.log;
  EXPECT_EQ(b.rule->hostNameCount(), 3u);
  Addr s = addr("10.0.0.1"), d = addr("1.1.1.1");
  struct {
    const char *host;
    uint16_t marker;
  } cases[] = {
      {"blocked.example", 2},      {"BLOCKED.example.", 2},   {" blocked.example\t", 2},
      {"blocked.example:80", 2},   {"www.blocked.example.", 2}, {"mark.example", 60},
      {"www.acme.co.uk", 52},      // a single label with its dot still names the organisation
      {"blocked.example.evil", 40}, {"xblocked.example", 40},    {"blocked.exampl", 40},
      {"mark.example.evil", 40},
  };
  for (auto &c : cases)
    EXPECT_EQ(b.rule->evaluate(nullptr, facts(0, 7, 0, c.host), s.data(), d.data(), true), c.marker)
        << c.host;
}

// A request that names several hosts is matched on each; the strictest
// marker wins: drop, then a packet mark, then pass.
TEST(PolicyRule, strictest_marker_of_the_flow_hosts_wins) {
  RuleManager rm(nullptr, 16, 16);
  Built b = build(rm, R"("id":1,"default_marker":40,"markers":{"hostnames":{"blocked.example":"drop",)"
                      R"("mark.example":60,"mark2.example":61,"ok.example":"pass"}}})");
  ASSERT_TRUE(b.rule) << b.log;
  Addr s = addr("10.0.0.1"), d = addr("1.1.1.1");
  struct {
    const char *host;
    std::vector<const char *> others;
    uint16_t marker;
  } cases[] = {
      {"ok.example", {"blocked.example"}, 2},
      {"blocked.example", {"ok.example"}, 2},
      {"ok.example", {"mark.example", "Blocked.Example."}, 2},
      {"ok.example", {"mark.example"}, 60},
      {"mark.example", {"ok.example"}, 60},
      {"mark.example", {"mark2.example"}, 60},
      {"ok.example", {"elsewhere.example"}, 1},
      {"elsewhere.example", {"other.example"}, 40},
      {nullptr, {"blocked.example"}, 2},
      {"", {"x.example", "blocked.example.evil"}, 40},
  };
  for (auto &c : cases) {
    PolicyFlowFacts f = facts(0, 7, 0, c.host);
    for (const char *o : c.others) f.otherHosts[f.otherHostCount++] = o;
    EXPECT_EQ(b.rule->evaluate(nullptr, f, s.data(), d.data(), true), c.marker)
        << (c.host ? c.host : "(none)") << " + " << c.others[0];
  }
}

}  // namespace
