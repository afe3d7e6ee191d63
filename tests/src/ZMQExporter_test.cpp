// The exporter against a local subscriber: message header, greeting,
// batching, the flush option, JSON payloads, payload size limit, shutdown
// flush, CURVE keys and the risks a flow is exported with.
#include "ZMQExporter.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risk_ids.h"

#include <gtest/gtest.h>
#include <zmq.h>

#include <memory>
#include <string>
#include <thread>

#include "Configuration.h"
#include "FlowHash.h"
#include "oxlo_private.h"
#include "oxlo_risks.h"
#include "Trace.h"
#include "Utils.h"
#include "VeskError.h"
#include "zmq_test_util.h"

using namespace zmqtest;

namespace {

class ExporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!trace) trace = new Trace();
    trace->setLevel(0);
    configuration.flush = 0;
    configuration.uniqueSourceId = 0xA1B2C3D4;
    configuration.localAddress = 0x0A000002;
    context = zmq_ctx_new();
    url = endpoint("exporter-test");
  }
  void TearDown() override {
    configuration.flush = 0;
    if (sub) zmq_close(sub);
    zmq_ctx_destroy(context);
  }

  // A subscriber bound where the exporter connects; with a secret key it is
  // a CURVE server.
  void bindSubscriber(const char *secretKey = nullptr) {
    sub = zmq_socket(context, ZMQ_SUB);
    if (secretKey) {
      int one = 1;
      zmq_setsockopt(sub, ZMQ_CURVE_SERVER, &one, sizeof(one));
      zmq_setsockopt(sub, ZMQ_CURVE_SECRETKEY, secretKey, 40);
    }
    zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
    ASSERT_EQ(zmq_bind(sub, url.c_str()), 0);
  }

  // PUB drops what it sends before the subscription arrives: greet until a
  // greeting gets through, then forget the greetings.
  bool connected(ZMQExporter *exporter) {
    Message m;
    for (int i = 0; i < 100; i++) {
      exporter->sendHello();
      if (receive(sub, &m, 50)) {
        while (receive(sub, &m, 100)) {
        }
        return true;
      }
    }
    return false;
  }

  void conntrackFlow(ZMQExporter *e, uint32_t n, uint32_t start = 100) {
    uint32_t a = 0x0A000001 + n, b = 0x0A000002;
    e->exportConntrackFlow(start, 200, 6, 4, &a, &b, 40000 + n, 80, 3, 300, 2, 200, 120);
  }

  void *context = nullptr;
  void *sub = nullptr;
  std::string url;
};

TEST_F(ExporterTest, greeting_is_a_compressed_version_2_message_with_header) {
  bindSubscriber();
  ZMQExporter exporter(url.c_str(), nullptr, true, false);
  ASSERT_TRUE(connected(&exporter));
  exporter.sendHello();
  Message m;
  ASSERT_TRUE(receive(sub, &m));
  EXPECT_EQ(m.topic, "hello");
  EXPECT_EQ(m.version, 2);
  EXPECT_EQ(m.lengthField, m.payload.size());
  ASSERT_FALSE(m.payload.empty());
  EXPECT_EQ(m.payload[0], 0);
  EXPECT_EQ(inflate(m.payload), std::string("Hello, this is vesk!", 21));
  Message next;
  exporter.sendHello();
  ASSERT_TRUE(receive(sub, &next));
  EXPECT_EQ(next.counter, m.counter + 1);
  EXPECT_EQ(next.source, m.source);
}

TEST_F(ExporterTest, sixteen_records_make_a_batch_and_shutdown_sends_the_rest) {
  bindSubscriber();
  auto exporter = std::make_unique<ZMQExporter>(url.c_str(), nullptr, true, false);
  ASSERT_TRUE(connected(exporter.get()));
  uint32_t none = 0;
  // No packets either way: not exported.
  exporter->exportConntrackFlow(1, 2, 6, 4, &none, &none, 1, 2, 0, 0, 0, 0, 5);
  for (uint32_t i = 0; i < 17; i++) conntrackFlow(exporter.get(), i, i == 0 ? 0 : 100);
  Message m;
  ASSERT_TRUE(receive(sub, &m));
  EXPECT_EQ(m.topic, "flow");
  EXPECT_EQ(m.version, 3);
  EXPECT_EQ(m.lengthField, m.payload.size());
  std::vector<Record> batch = records(m.payload);
  ASSERT_EQ(batch.size(), 16u);
  EXPECT_EQ(batch[0].count(22), 0u) << "a zero start time has no key 22";
  EXPECT_EQ(batch[1][22].number, 100u);
  EXPECT_EQ(batch[1][21].number, 200u);
  EXPECT_EQ(batch[1][8].number, 0x0A000002u);
  EXPECT_EQ(batch[1][12].number, 0x0A000002u);
  EXPECT_EQ(batch[1][7].number, 40001u);
  EXPECT_EQ(batch[1][11].number, 80u);
  EXPECT_EQ(batch[1][231].number, 300u);
  EXPECT_EQ(batch[1][298].number, 3u);
  EXPECT_EQ(batch[1][232].number, 200u);
  EXPECT_EQ(batch[1][299].number, 2u);
  EXPECT_EQ(batch[1][37].number, 120u);
  EXPECT_EQ(batch[1][58061].number, 0xA1B2C3D4u);
  EXPECT_EQ(batch[1][130].number, 0x0A000002u);
  EXPECT_EQ(exporter->flowsSent(), 16u);
  EXPECT_FALSE(receive(sub, &m, 200)) << "the 17th record waits for its batch";
  exporter.reset();
  ASSERT_TRUE(receive(sub, &m)) << "the last batch is sent at shutdown";
  EXPECT_EQ(records(m.payload).size(), 1u);
}

TEST_F(ExporterTest, flush_option_sends_every_record_alone_and_tick_sends_idle_batches) {
  bindSubscriber();
  ZMQExporter exporter(url.c_str(), nullptr, true, false);
  ASSERT_TRUE(connected(&exporter));
  configuration.flush = 1;
  Message m;
  for (uint32_t i = 0; i < 3; i++) {
    conntrackFlow(&exporter, i);
    ASSERT_TRUE(receive(sub, &m));
    EXPECT_EQ(records(m.payload).size(), 1u);
  }
  configuration.flush = 0;
  for (uint32_t i = 0; i < 3; i++) conntrackFlow(&exporter, i);
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  exporter.tick(now);  // the first flush is due 5 s after creation
  EXPECT_FALSE(receive(sub, &m, 200));
  exporter.tick(now + 6);
  ASSERT_TRUE(receive(sub, &m));
  EXPECT_EQ(records(m.payload).size(), 3u);
}

TEST_F(ExporterTest, json_batches_are_compressed_version_2) {
  bindSubscriber();
  ZMQExporter exporter(url.c_str(), nullptr, false, false);
  ASSERT_TRUE(connected(&exporter));
  conntrackFlow(&exporter, 1);
  conntrackFlow(&exporter, 2);
  exporter.flush();
  Message m;
  ASSERT_TRUE(receive(sub, &m));
  EXPECT_EQ(m.version, 2);
  ASSERT_EQ(m.payload[0], 0);
  std::string json = inflate(m.payload);
  EXPECT_EQ(json.front(), '[');
  EXPECT_NE(json.find("\"231\":300"), std::string::npos) << json;
  EXPECT_NE(json.find("\"7\":40002"), std::string::npos) << json;
}

// A batch goes out early when the next record would take its payload past
// the limit (65,535 bytes, what the header's length field can tell; lowered
// here so small records reach it): no record is cut or lost, in TLV and JSON.
TEST_F(ExporterTest, batch_is_sent_before_its_payload_passes_the_limit) {
  bindSubscriber();
  for (bool tlv : {true, false}) {
    ZMQExporter exporter(url.c_str(), nullptr, tlv, true);
    ASSERT_TRUE(connected(&exporter));
    const uint32_t limit = 400;
    exporter.setPayloadLimit(limit);
    for (uint32_t i = 0; i < 16; i++) conntrackFlow(&exporter, i);
    exporter.flush();
    std::vector<uint64_t> ports;
    Message m;
    int messages = 0;
    while (receive(sub, &m, 300)) {
      messages++;
      EXPECT_EQ(m.lengthField, m.payload.size());
      EXPECT_LE(m.payload.size(), limit);
      if (tlv) {
        for (auto &r : records(m.payload)) ports.push_back(r[7].number);
      } else {
        // Whole JSON: one object, or an array of them.
        EXPECT_TRUE((m.payload.front() == '{' && m.payload.back() == '}') ||
                    (m.payload.front() == '[' && m.payload.back() == ']'))
            << m.payload;
        for (size_t at = m.payload.find("\"7\":"); at != std::string::npos;
             at = m.payload.find("\"7\":", at + 1))
          ports.push_back(strtoull(m.payload.c_str() + at + 4, nullptr, 10));
      }
    }
    EXPECT_GT(messages, 2) << (tlv ? "TLV" : "JSON");
    ASSERT_EQ(ports.size(), 16u) << (tlv ? "TLV" : "JSON");
    for (uint32_t i = 0; i < 16; i++) EXPECT_EQ(ports[i], 40000u + i);
    EXPECT_EQ(exporter.flowsSent(), 16u);
  }
}

TEST_F(ExporterTest, invalid_curve_keys_refuse_the_exporter) {
  std::string zeros(80, '0');          // 40 NUL bytes once decoded
  std::string nulMix = "3030303030" + std::string(70, '0');  // "00000" and NULs
  std::string outsideAlphabet(40, '~');
  std::string hexOfSpaces;
  for (int i = 0; i < 40; i++) hexOfSpaces += "20";
  const char *bad[] = {"short", "0123456789012345678901234567890123456789X",
                       "zz23456789012345678901234567890123456789"
                       "0123456789012345678901234567890123456789",
                       zeros.c_str(), nulMix.c_str(), outsideAlphabet.c_str(),
                       hexOfSpaces.c_str()};
  for (const char *key : bad)
    EXPECT_THROW(ZMQExporter(url.c_str(), key, true, false), VeskError) << key;
}

// A key pair made here; the exporter gets the public key as Z85 text and as
// its 80 hexadecimal digits, and both reach the CURVE server.
TEST_F(ExporterTest, curve_key_in_both_forms_reaches_the_server) {
  char publicKey[41], secretKey[41];
  ASSERT_EQ(zmq_curve_keypair(publicKey, secretKey), 0);
  bindSubscriber(secretKey);
  char hex[81];
  for (int i = 0; i < 40; i++) snprintf(hex + 2 * i, 3, "%02x", static_cast<uint8_t>(publicKey[i]));
  for (const char *key : {static_cast<const char *>(publicKey), static_cast<const char *>(hex)}) {
    ZMQExporter exporter(url.c_str(), key, true, false);
    EXPECT_TRUE(connected(&exporter)) << key;
  }
}

}  // namespace

namespace {

// The collector is not told of one-way traffic: risk 46 (unidirectional)
// is left out of the exported mask and its score, every other risk stays.
TEST_F(ExporterTest, flow_risks_are_exported_without_unidirectional_traffic) {
  bindSubscriber();
  ZMQExporter exporter(url.c_str(), nullptr, true, false);
  ASSERT_TRUE(connected(&exporter));
  oxlo_module *module = oxlo_module_new(nullptr);
  ASSERT_NE(module, nullptr);
  ASSERT_EQ(oxlo_finalize_initialization(module), 0);
  auto engine = std::make_shared<DetectionEngine>(module, nullptr, "");
  const uint8_t a[16] = {10, 0, 0, 1}, b[16] = {10, 0, 0, 2};
  struct {
    std::vector<int> raised;
    uint64_t exported;
  } cases[] = {
      {{OXLO_URL_POSSIBLE_SQL_INJECTION, OXLO_UNIDIRECTIONAL_TRAFFIC}, 1ull << OXLO_URL_POSSIBLE_SQL_INJECTION},
      {{OXLO_UNIDIRECTIONAL_TRAFFIC}, 0},
      {{OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT}, 1ull << OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT},
  };
  configuration.flush = 1;
  FlowHash table(16, 16);
  for (const auto &c : cases) {
    Flow *flow = table.create(engine, 0, 100, 6, 4, a, 40000, b, 80, 1, 2);
    ASSERT_NE(flow, nullptr);
    for (int r : c.raised) oxlo_flow_risk_raise(module, flow->engineState(), r, nullptr);
    exporter.exportFlow(flow, module);
    table.release(flow);
    Message m;
    ASSERT_TRUE(receive(sub, &m));
    std::vector<Record> batch = records(m.payload);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0][57981].number, c.exported);
    uint16_t client = 0, server = 0;
    EXPECT_EQ(batch[0][57999].number, oxlo_risk_mask_score(c.exported, &client, &server));
  }
}

}  // namespace
