#include "Pool.h"

#include <gtest/gtest.h>

#include "policy_test_util.h"

namespace {

json_object *parse(const char *text) { return json_tokener_parse(text); }

TEST(Pool, keeps_name_as_json_text_and_lists_in_file_order) {
  json_object *j = parse(R"({"pool":{"id":7,"name":"lan","mac":["a","b"],"ip":["10.0.0.0/8"]},"policy":{"id":3}})");
  Pool p(j);
  EXPECT_EQ(p.getId(), 7);
  EXPECT_EQ(p.getPolicyId(), 3);
  EXPECT_EQ(p.getName(), "\"lan\"");
  EXPECT_EQ(p.getMacs(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(p.getAddresses(), (std::vector<std::string>{"10.0.0.0/8"}));
  json_object_put(j);
}

// Address texts of a pool, the prefix each enters (or the warning), checked
// by the flows the prefix does and does not cover.
TEST(Pool, address_texts_enter_prefixes_of_their_own_family) {
  Log::instance()->setLevel(3);
  RuleManager rm(nullptr, 16, 16);
  std::string out = loadText(rm,
      R"({"policy":{"id":1,"default_marker":21,"markers":{}}})" "\n"
      R"({"pool":{"id":1,"ip":["192.168.1.7","192.168.2.0/0","172.16.0.0/264","2001:db8::1",)"
      R"("fe80::/10","::ffff:10.0.0.1","300.1.1.1","zz::1/64","10.9.0.0/16"]},"policy":{"id":1}})");
  Log::instance()->setLevel(2);
  EXPECT_TRUE(contains(out, "Adding  192.168.1.7/32")) << out;
  EXPECT_TRUE(contains(out, "Adding  192.168.2.0/32")) << out;
  EXPECT_TRUE(contains(out, "Adding  172.16.0.0/32")) << out;  // 264 is not wrapped to 8
  EXPECT_TRUE(contains(out, "Adding  2001:db8::1/128")) << out;
  EXPECT_TRUE(contains(out, "Adding  fe80::/10")) << out;
  EXPECT_TRUE(contains(out, "Adding  10.9.0.0/16")) << out;
  EXPECT_TRUE(contains(out, "WARNING: Invalid IPv4 format ::ffff:10.0.0.1: skipping")) << out;
  EXPECT_TRUE(contains(out, "WARNING: Invalid IPv4 format 300.1.1.1: skipping")) << out;
  EXPECT_TRUE(contains(out, "WARNING: Invalid IPv6 format zz::1: skipping")) << out;

  // A text too long for any prefix is refused whole, never cut into one.
  const std::string padded = "10.1.2.3/" + std::string(60, '0') + "24";
  Log::instance()->setLevel(3);
  out = loadText(rm, R"({"policy":{"id":1,"default_marker":21,"markers":{}}})"
                     "\n" R"({"pool":{"id":2,"ip":[")" + padded + R"("]},"policy":{"id":1}})");
  Log::instance()->setLevel(2);
  EXPECT_TRUE(contains(out, "WARNING: Invalid IPv4 format " + padded + ": skipping")) << out;
  EXPECT_EQ(rm.matchFlow(nullptr, nullptr, addr("10.1.2.3").data(), addr("127.0.0.1").data(),
                         facts(0, 7, 0, nullptr, 0, false)),
            1);

  struct {
    const char *address;
    bool ipv6;
    uint16_t marker;
  } cases[] = {
      {"192.168.1.7", false, 21}, {"192.168.1.8", false, 1}, {"192.168.2.0", false, 21},
      {"192.168.2.1", false, 1},  {"172.16.0.0", false, 21}, {"172.17.0.0", false, 1},
      {"2001:db8::1", true, 21},  {"2001:db8::2", true, 1},  {"fe80::abcd", true, 21},
      {"10.9.200.1", false, 21},  {"10.0.0.1", false, 1},
  };
  Addr other = addr("127.0.0.1");
  for (auto &c : cases) {
    Addr a = addr(c.address);
    Addr o = c.ipv6 ? addr("::2") : other;
    EXPECT_EQ(rm.matchFlow(nullptr, nullptr, a.data(), o.data(), facts(0, 7, 0, nullptr, 0, c.ipv6)),
              c.marker)
        << c.address;
  }
}

TEST(Pool, same_prefix_in_two_pools_keeps_the_first_with_a_warning) {
  RuleManager rm(nullptr, 16, 16);
  std::string out = loadText(rm,
      R"({"policy":{"id":1,"default_marker":21,"markers":{}}})" "\n"
      R"({"policy":{"id":2,"default_marker":22,"markers":{}}})" "\n"
      R"({"pool":{"id":1,"ip":["10.0.0.0/8"]},"policy":{"id":1}})" "\n"
      R"({"pool":{"id":2,"ip":["10.0.0.0/8"]},"policy":{"id":2}})");
  EXPECT_TRUE(contains(out, "WARNING: Error while adding 10.0.0.0/8")) << out;
  Addr a = addr("10.1.1.1"), b = addr("127.0.0.1");
  EXPECT_EQ(rm.matchFlow(nullptr, nullptr, a.data(), b.data(), facts(0, 7)), 21);
}

}  // namespace
