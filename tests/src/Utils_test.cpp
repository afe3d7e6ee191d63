// Host identity, address texts, hexadecimal keys and the text sanitiser.
#include "Utils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "Trace.h"
#include "oxlo_digest.h"

namespace {

TEST(Utils, identity_is_stable_and_built_from_the_command_line_digest) {
  char a0[] = "vesk", a1[] = "-z", a2[] = "tcp://127.0.0.1:5556";
  char *argv[] = {a0, a1, a2};
  char uuid1[65], uuid2[65];
  uint32_t id1 = 0, id2 = 0, id3 = 0;
  Utils::computeIdentity(3, argv, 0x0A000001, uuid1, sizeof(uuid1), &id1);
  Utils::computeIdentity(3, argv, 0x0A000001, uuid2, sizeof(uuid2), &id2);
  EXPECT_STREQ(uuid1, uuid2);
  EXPECT_EQ(id1, id2);
  Utils::computeIdentity(3, argv, 0x0A000002, uuid2, sizeof(uuid2), &id3);
  EXPECT_EQ(id3, id1 + 1) << "the source id starts from the local address";

  // Recompute from SHA-256 of the joined arguments, independently.
  const char *joined = "vesk-ztcp://127.0.0.1:5556";
  uint8_t digest[32];
  oxlo_sha256_digest(reinterpret_cast<const uint8_t *>(joined), strlen(joined), digest);
  uint32_t expected = 0x0A000001;
  for (int i = 0; i < 32; i++) expected += static_cast<uint32_t>(digest[i]) << (i % 15 + 1);
  EXPECT_EQ(id1, expected);
  char hex[65];
  for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02X", digest[i]);
  std::string h(hex);
  EXPECT_EQ(std::string(uuid1), h.substr(0, 8) + "-" + h.substr(9, 4) + "-" + h.substr(14, 4) +
                                    "-" + h.substr(19, 4) + "-" + h.substr(24, 12));
  char small[64];
  Utils::uuidText(digest, small, sizeof(small));
  EXPECT_STREQ(small, "");
}

TEST(Utils, address_and_mac_texts) {
  char buffer[64];
  EXPECT_STREQ(Utils::ipv4Text(0x0A000001, buffer, sizeof(buffer)), "10.0.0.1");
  const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_STREQ(Utils::ipv6Text(v6, buffer, sizeof(buffer)), "2001:db8::1");
  EXPECT_STREQ(Utils::macText(nullptr, buffer, sizeof(buffer)), "00:00:00:00:00:00");
  const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
  EXPECT_STREQ(Utils::macText(mac, buffer, sizeof(buffer)), "00:1A:2B:3C:4D:5E");
}

TEST(Utils, temporary_file_holds_the_default_policy) {
  char path[32];
  ASSERT_TRUE(Utils::writeTempFile(Utils::defaultPolicy(), path));
  EXPECT_EQ(strncmp(path, "/tmp/vesk-", 10), 0);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  unlink(path);
  EXPECT_EQ(text.str(), Utils::defaultPolicy());
  EXPECT_EQ(text.str().back(), '}') << "no newline after the second line";
}

TEST(Utils, hex_pairs_decode_and_bad_input_fails) {
  uint8_t out[4];
  EXPECT_TRUE(Utils::hexToBytes("4a2F", 4, out, sizeof(out)));
  EXPECT_EQ(out[0], 0x4A);
  EXPECT_EQ(out[1], 0x2F);
  EXPECT_EQ(out[2], 0);
  EXPECT_FALSE(Utils::hexToBytes("0102030405", 10, out, sizeof(out)));
  EXPECT_FALSE(Utils::hexToBytes("0g", 2, out, sizeof(out)));
}

TEST(Utils, sanitize_cases) {
  if (!trace) trace = new Trace();
  trace->setLevel(0);
  struct {
    const char *in;
    bool strict, allowDoubleSlash;
    const char *out;
  } cases[] = {
      {"a..b", false, false, "a__b"},
      {"<b>", false, false, "_b_"},
      {"say \"hi\"", false, false, "say _hi_"},
      {"a//b", false, false, "a__b"},
      {"a//b", false, true, "a//b"},
      {"a\\\\b", false, false, "a__b"},
      {"caf\xC3\xA9", false, false, "caf\xC3\xA9"},
      {"tab\there", false, false, "tab_here"},
      {"x=1", true, false, ""},
      {"<script>", true, false, ""},
      {"user@host-1.x", true, false, "user@host_1_x"},
  };
  for (auto &c : cases) {
    char text[64];
    snprintf(text, sizeof(text), "%s", c.in);
    Utils::sanitize(text, c.strict, c.allowDoubleSlash);
    EXPECT_STREQ(text, c.out) << c.in;
  }
}

}  // namespace
