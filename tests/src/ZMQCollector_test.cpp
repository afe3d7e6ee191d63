// Policy intake against a local publisher: plain and compressed "ips"
// pushes, dropped "message" payloads, and malformed messages that must not
// reach the reload.
#include "ZMQCollector.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <zmq.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Trace.h"
#include "VeskError.h"
#include "zmq_test_util.h"

namespace {

std::vector<std::string> received;

unsigned remember(const char *path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  received.push_back(text.str());
  return 0;
}

std::string compressed(const std::string &text) {
  std::vector<char> out(compressBound(text.size()) + 1);
  uLongf len = out.size() - 1;
  compress(reinterpret_cast<Bytef *>(out.data() + 1), &len,
           reinterpret_cast<const Bytef *>(text.data()), text.size());
  out[0] = 0;
  return std::string(out.data(), len + 1);
}

class CollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!trace) trace = new Trace();
    trace->setLevel(0);
    received.clear();
    context = zmq_ctx_new();
    pub = zmq_socket(context, ZMQ_PUB);
    url = zmqtest::endpoint("collector-test");
    ASSERT_EQ(zmq_bind(pub, url.c_str()), 0);
    collector.reset(new ZMQCollector(url.c_str(), nullptr));
    // Wait (bounded) until the subscription has reached the publisher.
    for (int i = 0; i < 200 && received.empty(); i++) {
      publish("ips", "{}");
      collector->poll(remember);
    }
    ASSERT_FALSE(received.empty());
    for (int i = 0; i < 20; i++) collector->poll(remember);
    received.clear();
  }
  void TearDown() override {
    collector.reset();
    zmq_close(pub);
    zmq_ctx_destroy(context);
  }

  // A header in the exporter's layout, with the length field little-endian
  // (as the intake reads it) unless given.
  void publish(const char *topic, const std::string &payload, int lengthField = -1,
               bool withPayload = true, size_t headerSize = 24) {
    std::string header(headerSize, '\0');
    memcpy(&header[0], topic, std::min(strlen(topic), headerSize));
    unsigned len = lengthField < 0 ? static_cast<unsigned>(payload.size())
                                   : static_cast<unsigned>(lengthField);
    if (headerSize >= 20) {
      header[16] = 2;
      header[18] = static_cast<char>(len & 0xFF);
      header[19] = static_cast<char>(len >> 8);
    }
    zmq_send(pub, header.data(), header.size(), withPayload ? ZMQ_SNDMORE : 0);
    if (withPayload) zmq_send(pub, payload.data(), payload.size(), 0);
  }

  void pollAll() {
    for (int i = 0; i < 30; i++) collector->poll(remember);
  }

  void *context = nullptr, *pub = nullptr;
  std::string url;
  std::unique_ptr<ZMQCollector> collector;
};

TEST_F(CollectorTest, plain_and_compressed_ips_pushes_are_handed_to_the_reload) {
  const std::string rules = "{ \"policy\": { \"id\": 0, \"default_marker\": \"drop\" }}";
  publish("ips", rules);
  pollAll();
  publish("ips", compressed(rules + "\n"));
  publish("message", "just news");
  pollAll();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], rules);
  EXPECT_EQ(received[1], rules + "\n");
}

// Pushes past the 16-bit length field, up to the 4 MiB of a rules file:
// the field then carries the size modulo 65,536 (or 65,535), and a plain
// text of more than 4 MiB is refused.
TEST_F(CollectorTest, pushes_up_to_four_mib_are_taken) {
  const std::string line = "{\"policy\": {\"id\": 0}}\n";
  std::string mib;
  while (mib.size() + line.size() <= 1024u * 1024u) mib += line;
  std::string four = mib;
  while (four.size() + line.size() <= ZMQ_COLLECTOR_MAX_TEXT) four += line;
  four.append(ZMQ_COLLECTOR_MAX_TEXT - four.size(), '\n');
  struct Case {
    const char *name;
    std::string payload;
    int lengthField;
    bool taken;
  };
  const Case cases[] = {
      {"1 MiB plain", mib, -1, true},
      {"1 MiB compressed", compressed(mib), -1, true},
      {"4 MiB plain", four, -1, true},
      {"1 MiB plain, length field saturated", mib, 0xFFFF, true},
      {"1 MiB plain, length field of another size", mib, 1000, false},
      {"4 MiB + 1 plain", four + "\n", -1, false},
  };
  for (const Case &c : cases) {
    received.clear();
    publish("ips", c.payload, c.lengthField);
    for (int i = 0; i < 100 && received.empty(); i++) collector->poll(remember, 20);
    EXPECT_EQ(received.size(), c.taken ? 1u : 0u) << c.name;
    if (c.taken && !received.empty()) {
      EXPECT_EQ(received[0].size(), c.name[0] == '4' ? four.size() : mib.size()) << c.name;
    }
  }
}

// Every waiting message is taken in one poll; each push replaces the whole
// policy, so only the last good one of a backlog is loaded.
TEST_F(CollectorTest, backlog_is_taken_at_once_and_the_last_good_push_wins) {
  // The backlog passes two I/O threads before it waits in the collector's
  // socket, and nothing tells the test when all of it is there. So it is
  // sent in rounds, each polled after a longer pause: a round polled while
  // part of it was still on the way is drained and sent again. A collector
  // that takes one message per poll, or keeps the first good push, fails
  // every round.
  std::vector<std::string> last;
  bool handed = false, more = true;
  for (int round = 0, pauseMs = 20; round < 8; round++, pauseMs *= 2) {
    for (int i = 0; i < 20; i++) publish("ips", "junk \x01\x02");
    publish("ips", "{\"policy\": 1}");
    publish("ips", "{\"policy\": 2}");
    for (int i = 0; i < 5; i++) publish("ips", "junk");
    usleep(static_cast<useconds_t>(pauseMs) * 1000);
    received.clear();
    handed = collector->poll(remember);
    last = received;
    more = collector->poll(remember);
    if (handed && last.size() == 1 && last[0] == "{\"policy\": 2}" && !more) break;
    pollAll();
  }
  EXPECT_TRUE(handed);
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0], "{\"policy\": 2}");
  EXPECT_FALSE(more);
}

// A frame larger than any whole payload is refused by the socket (which
// drops the connection); intake goes on once the publisher is back.
TEST_F(CollectorTest, oversize_message_is_refused_and_intake_goes_on) {
  publish("ips", std::string(ZMQ_COLLECTOR_MAX_FRAME + 1000, '{'));
  pollAll();
  EXPECT_TRUE(received.empty());
  const std::string rules = "{\"policy\": 3}";
  for (int i = 0; i < 100 && received.empty(); i++) {
    publish("ips", rules);
    collector->poll(remember, 50);
  }
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back(), rules);
}

TEST_F(CollectorTest, malformed_messages_never_reach_the_reload) {
  std::string good = "# rules\n{ }\r\n\n{\"pool\": {}}";
  // Length field shorter than the frame: truncated, dropped.
  publish("ips", "0123456789", 4);
  // A header alone, then a good message: the next poll starts on a header.
  publish("ips", "", -1, false);
  // A header of the wrong size.
  publish("ips", "abc", -1, true, 10);
  // A compressed payload whose stream is corrupt.
  std::string broken = compressed(good);
  broken[broken.size() / 2] ^= 0x55;
  broken.resize(broken.size() - 2);
  publish("ips", broken);
  // Rules text that is not whole JSON lines.
  publish("ips", "{ \"policy\": { \"id\": ");
  publish("ips", "# only a comment\n\n");
  publish("ips", compressed("[1, 2]"));
  publish("ips", good);
  pollAll();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], good);
}

TEST(CollectorDecode, grows_its_buffer_up_to_the_bound) {
  if (!trace) trace = new Trace();
  trace->setLevel(0);
  // Compresses far better than 5 to 1: the first buffer is too small.
  std::string big(3u * 1024u * 1024u, 'r');
  std::string z = compressed(big);
  char *text = nullptr;
  size_t len = 0;
  ASSERT_TRUE(ZMQCollector::decodePayload(reinterpret_cast<const uint8_t *>(z.data()), z.size(),
                                          &text, &len));
  EXPECT_EQ(len, big.size());
  EXPECT_EQ(text[len], '\0');
  EXPECT_EQ(std::string(text, len), big);
  free(text);

  std::string tooBig(ZMQ_COLLECTOR_MAX_TEXT + 1, 'r');
  z = compressed(tooBig);
  EXPECT_FALSE(ZMQCollector::decodePayload(reinterpret_cast<const uint8_t *>(z.data()), z.size(),
                                           &text, &len));
  EXPECT_EQ(text, nullptr);

  const uint8_t plain[3] = {'a', 'b', 'c'};
  ASSERT_TRUE(ZMQCollector::decodePayload(plain, 3, &text, &len));
  EXPECT_STREQ(text, "abc");
  free(text);
}

TEST(CollectorSetup, invalid_curve_key_refuses_the_collector) {
  if (!trace) trace = new Trace();
  trace->setLevel(0);
  EXPECT_THROW(ZMQCollector("ipc:///tmp/vesk-collector-key", "not-a-key"), VeskError);
}

}  // namespace
