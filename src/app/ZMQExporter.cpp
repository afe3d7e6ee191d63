#include "ZMQExporter.h"
#include "oxlo_risk_ids.h"

#include <arpa/inet.h>
#include <zlib.h>
#include <zmq.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>

#include "Configuration.h"
#include "Flow.h"
#include "Trace.h"
#include "Utils.h"
#include "VeskError.h"
#include "oxlo_flow_json.h"
#include "oxlo_hosts.h"
#include "oxlo_names.h"
#include "oxlo_risks.h"

// The keys of the export records. Where NetFlow v9 / IPFIX has an element
// for a field, its id and name are used; the collector's own ids (57000 and
// up) carry what those have no element for.
namespace ExportKey {
constexpr uint32_t kInBytes = 1;
constexpr uint32_t kInPackets = 2;
constexpr uint32_t kProtocol = 4;
constexpr uint32_t kL4SourcePort = 7;
constexpr uint32_t kIpv4SourceAddress = 8;
constexpr uint32_t kInputInterface = 10;
constexpr uint32_t kL4DestinationPort = 11;
constexpr uint32_t kIpv4DestinationAddress = 12;
constexpr uint32_t kOutputInterface = 14;
constexpr uint32_t kLastSwitched = 21;
constexpr uint32_t kFirstSwitched = 22;
constexpr uint32_t kOutBytes = 23;
constexpr uint32_t kOutPackets = 24;
constexpr uint32_t kIpv6SourceAddress = 27;
constexpr uint32_t kIpv6DestinationAddress = 28;
constexpr uint32_t kFlowInactiveTimeout = 37;
constexpr uint32_t kInSourceMac = 56;
constexpr uint32_t kOutDestinationMac = 57;
constexpr uint32_t kIpVersion = 60;
constexpr uint32_t kExporterIpv4Address = 130;
constexpr uint32_t kInitiatorOctets = 231;
constexpr uint32_t kResponderOctets = 232;
constexpr uint32_t kInitiatorPackets = 298;
constexpr uint32_t kResponderPackets = 299;
constexpr uint32_t kProtocolIds = 57590;  // "master.application" text
constexpr uint32_t kHttpUrl = 57652;
constexpr uint32_t kHttpMethod = 57832;
constexpr uint32_t kRiskMask = 57981;
constexpr uint32_t kRiskScore = 57999;
constexpr uint32_t kHostName = 58011;
constexpr uint32_t kRiskMessages = 58027;
constexpr uint32_t kConfidence = 58032;
constexpr uint32_t kSourceId = 58061;
constexpr uint32_t kFlowMetadata = 58065;  // the engine's JSON block
}  // namespace ExportKey

static std::atomic<bool> collectorHintShown{false};

// A CURVE public key in Z85: 40 characters of the Z85 alphabet that decode
// to 32 bytes. Anything else (NULs from a hex text of zeros, say) is no key.
static bool isZ85Key(const char *z85) {
  static const char alphabet[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-:+=^!/*?&<>()[]{}@%$#";
  for (int i = 0; i < 40; i++)
    if (z85[i] == '\0' || !strchr(alphabet, z85[i])) return false;
  uint8_t key[32];
  char text[41];
  memcpy(text, z85, 40);
  text[40] = '\0';
  return zmq_z85_decode(key, text) != nullptr;
}

int ZMQExporter::curveSetup(void *socket, const char *serverKey) {
  char z85[41];
  size_t len = strlen(serverKey);
  if (len == 40) {
    memcpy(z85, serverKey, 41);
    if (!isZ85Key(z85)) {
      VESK_LOG(TRACE_ERROR, "Invalid ZMQ encryption key format: refused");
      return -2;
    }
  } else if (len == 80) {
    if (!Utils::hexToBytes(serverKey, len, reinterpret_cast<uint8_t *>(z85), sizeof(z85))) {
      VESK_LOG(TRACE_ERROR, "Invalid ZMQ encryption hex key format: refused");
      return -2;
    }
    z85[40] = '\0';
    if (!isZ85Key(z85)) {
      VESK_LOG(TRACE_ERROR, "Invalid ZMQ encryption hex key format: refused");
      return -2;
    }
  } else {
    VESK_LOG(TRACE_ERROR, "Invalid ZMQ encryption key format: refused [len: %u]",
             static_cast<unsigned>(len));
    return -2;
  }
  char publicKey[41], secretKey[41];
  if (zmq_curve_keypair(publicKey, secretKey) != 0) {
    VESK_LOG(TRACE_ERROR, "Error generating ZMQ client key pair");
    return -3;
  }
  if (zmq_setsockopt(socket, ZMQ_CURVE_SERVERKEY, z85, 41) != 0) {
    VESK_LOG(TRACE_ERROR, "Error setting ZMQ_CURVE_SERVERKEY = %s (%d)", z85, errno);
    return -3;
  }
  if (zmq_setsockopt(socket, ZMQ_CURVE_PUBLICKEY, publicKey, 41) != 0) {
    VESK_LOG(TRACE_ERROR, "Error setting ZMQ_CURVE_PUBLICKEY = %s", publicKey);
    return -3;
  }
  if (zmq_setsockopt(socket, ZMQ_CURVE_SECRETKEY, secretKey, 41) != 0) {
    VESK_LOG(TRACE_ERROR, "Error setting ZMQ_CURVE_SECRETKEY = %s", secretKey);
    return -3;
  }
  return 0;
}

ZMQExporter::ZMQExporter(const char *endpoint, const char *serverKey, bool useTLV,
                         bool noCompression)
    : useTLV_(useTLV), noCompression_(noCompression) {
  std::random_device random;
  sourceByte_ = static_cast<uint8_t>(random() & 0xFF);
  nextFlush_ = static_cast<uint32_t>(time(nullptr)) + 5;
  if (serverKey) serverKey_ = strdup(serverKey);
  if (!setup(endpoint)) {
    free(serverKey_);
    serverKey_ = nullptr;
    throw VeskError("Failure configuring ZMQ endpoint");
  }
}

bool ZMQExporter::setup(const char *endpoint) {
  context_ = zmq_ctx_new();
  if (!context_) {
    VESK_LOG(TRACE_ERROR, "Unable to initialize ZMQ %s (context)", endpoint);
    return false;
  }
  auto fail = [this]() {
    if (eventSocket_) zmq_close(eventSocket_);
    if (flowSocket_) zmq_close(flowSocket_);
    eventSocket_ = flowSocket_ = nullptr;
    zmq_ctx_destroy(context_);
    context_ = nullptr;
    return false;
  };
  // At shutdown the last batch gets up to a second to leave; a peer that
  // went away does not hold the process longer.
  int linger = 1000;

  flowSocket_ = zmq_socket(context_, ZMQ_PUB);
  if (!flowSocket_) {
    VESK_LOG(TRACE_ERROR, "Unable to initialize ZMQ %s (flow_publisher)", endpoint);
    return fail();
  }
  if (serverKey_ && curveSetup(flowSocket_, serverKey_) != 0) {
    VESK_LOG(TRACE_ERROR, "Unable to set ZMQ encryption");
    return fail();
  }
  int bufferSize = ZMQ_SOCKET_BUFFER;
  if (zmq_setsockopt(flowSocket_, ZMQ_SNDBUF, &bufferSize, sizeof(bufferSize)) != 0)
    VESK_LOG(TRACE_WARNING, "Unable to set ZMQ buffer size");
  zmq_setsockopt(flowSocket_, ZMQ_LINGER, &linger, sizeof(linger));
  if (zmq_connect(flowSocket_, endpoint) != 0) {
    VESK_LOG(TRACE_ERROR, "Unable to connect to ZMQ endpoint %s", endpoint);
    return fail();
  }

  // XPUB (a PUB that also hears subscriptions) lets the greeting wait for
  // the collector's subscription instead of being dropped by a publisher
  // that has no subscriber yet.
  eventSocket_ = zmq_socket(context_, ZMQ_XPUB);
  if (!eventSocket_) {
    VESK_LOG(TRACE_ERROR, "Unable to initialize ZMQ %s (flow_publisher)", endpoint);
    return fail();
  }
  if (serverKey_ && curveSetup(eventSocket_, serverKey_) != 0) {
    VESK_LOG(TRACE_ERROR, "Unable to set ZMQ encryption");
    return fail();
  }
  struct {
    int option;
    int value;
    const char *failure;
    const char *success;
  } keepalive[] = {
      {ZMQ_TCP_KEEPALIVE, 1, "Unable to set TCP keepalive", "TCP keepalive set"},
      {ZMQ_TCP_KEEPALIVE_IDLE, 30, "Unable to set TCP keepalive idle to %u seconds",
       "TCP keepalive idle set to %u seconds"},
      {ZMQ_TCP_KEEPALIVE_CNT, 3, "Unable to set TCP keepalive count to %u",
       "TCP keepalive count set to %u"},
      {ZMQ_TCP_KEEPALIVE_INTVL, 3, "Unable to set TCP keepalive interval to %u seconds",
       "TCP keepalive interval set to %u seconds"},
  };
  for (auto &k : keepalive) {
    if (zmq_setsockopt(eventSocket_, k.option, &k.value, sizeof(k.value)) != 0)
      VESK_LOG(TRACE_ERROR, k.failure, static_cast<unsigned>(k.value));
    else
      VESK_LOG(TRACE_DEBUG, k.success, static_cast<unsigned>(k.value));
  }
  zmq_setsockopt(eventSocket_, ZMQ_LINGER, &linger, sizeof(linger));
  if (zmq_connect(eventSocket_, endpoint) != 0) {
    VESK_LOG(TRACE_ERROR, "Unable to connect to ZMQ endpoint %s", endpoint);
    return fail();
  }

  if (!collectorHintShown.exchange(true)) {
    const char *colon = strrchr(endpoint, ':');
    const char *port = colon && colon[1] ? colon + 1 : "5556";
    VESK_LOG(TRACE_NORMAL,
             "IMPORTANT: Remember to start corvane in collector mode by adding a trailing 'c' "
             "after the port");
    VESK_LOG(TRACE_NORMAL, "IMPORTANT: Example: corvane -i tcp://*:%sc", port);
  }
  if (oxlo_recbuf_init(&records_, useTLV_ ? OXLO_SER_FORMAT_TLV : OXLO_SER_FORMAT_JSON) != 0) {
    VESK_LOG(TRACE_ERROR, "Unable to initialize ZMQ %s (record buffer)", endpoint);
    return fail();
  }
  recordsReady_ = true;
  return true;
}

ZMQExporter::~ZMQExporter() {
  {
    std::lock_guard<std::mutex> lock(batchLock_);
    flushLocked();  // the last batch is not lost at shutdown
  }
  if (recordsReady_) oxlo_recbuf_release(&records_);
  free(serverKey_);
  if (flowSocket_) zmq_close(flowSocket_);
  if (eventSocket_) zmq_close(eventSocket_);
  if (context_) zmq_ctx_destroy(context_);
}

bool ZMQExporter::send(const char *payload, uint32_t length, const char *topic, void *socket,
                       uint8_t version) {
  char *compressed = nullptr;
  const char *out = payload;
  uint32_t outLength = length;
  if (version == 2 && !noCompression_) {
    uLongf bound = length + 14;
    compressed = static_cast<char *>(malloc(bound + 1));
    if (compressed) {
      int rc = compress(reinterpret_cast<Bytef *>(compressed + 1), &bound,
                        reinterpret_cast<const Bytef *>(payload), length);
      if (rc == Z_OK) {
        compressed[0] = 0;
        out = compressed;
        outLength = static_cast<uint32_t>(bound) + 1;
      } else {
        VESK_LOG(TRACE_ERROR, "compress error [%d]", rc);
      }
    }
  }
  if (outLength > ZMQ_MAX_PAYLOAD) {
    // The length field cannot tell it; a receiver would cut the payload.
    VESK_LOG(TRACE_ERROR, "ZMQ payload of %u bytes too long for topic %s: not sent", outLength,
             topic);
    free(compressed);
    return false;
  }

  // Only the thread that takes the count from 1 to 0 pauses; the count
  // never goes below 0.
  int32_t left = pacing_.load();
  while (left > 0 && !pacing_.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  bool sent = false;
  {
    std::lock_guard<std::mutex> lock(sendLock_);
    uint8_t header[ZMQ_HEADER_SIZE] = {};
    strncpy(reinterpret_cast<char *>(header), topic, ZMQ_TOPIC_SIZE - 1);
    header[16] = version;
    header[17] = sourceByte_;
    uint16_t len16 = htons(static_cast<uint16_t>(outLength));
    memcpy(header + 18, &len16, 2);
    uint32_t counter = htonl(messageCounter_);
    memcpy(header + 20, &counter, 4);
    if (socket && zmq_send(socket, header, sizeof(header), ZMQ_SNDMORE) >= 0 &&
        zmq_send(socket, out, outLength, 0) >= 0) {
      messageCounter_++;
      sent = true;
    }
  }
  free(compressed);
  return sent;
}

void ZMQExporter::sendHello() {
  static const char hello[] = "Hello, this is vesk!";
  // A publisher drops what it sends before a subscription arrived: give the
  // collector up to a second to subscribe, then greet it either way.
  zmq_pollitem_t item = {eventSocket_, 0, ZMQ_POLLIN, 0};
  if (eventSocket_ && zmq_poll(&item, 1, 1000) > 0) {
    char subscription[256];
    while (zmq_recv(eventSocket_, subscription, sizeof(subscription), ZMQ_DONTWAIT) >= 0) {
    }
  }
  send(hello, sizeof(hello), "hello", eventSocket_, 2);
}

bool ZMQExporter::sendEvent(const char *text, uint32_t length) {
  VESK_LOG(TRACE_DEBUG, "%.*s", static_cast<int>(length), text);
  return send(text, length, "event", eventSocket_, 2);
}

template <typename Write>
void ZMQExporter::addRecord(Write write) {
  std::lock_guard<std::mutex> lock(batchLock_);
  if (!recordsReady_) return;
  for (int attempt = 0; attempt < 2; attempt++) {
    oxlo_recbuf_save_state(&records_);
    if (batchCount_ > 0) oxlo_recbuf_end_record(&records_);
    write();
    uint32_t len = 0;
    oxlo_recbuf_output(&records_, &len);
    // Keep room for the compression header of a JSON payload.
    uint32_t limit = useTLV_ || payloadLimit_ < 128 ? payloadLimit_ : payloadLimit_ - 64;
    if (len <= limit || batchCount_ == 0) break;
    // The record does not fit beside the others: send them, then write it
    // again as the first of a new batch.
    oxlo_recbuf_restore_state(&records_);
    flushLocked();
  }
  batchCount_++;
  if (batchCount_ >= ZMQ_BATCH_FLOWS || configuration.flush) flushLocked();
}

// The flow metadata key: the engine's metadata of the flow, '{"oxlo":{...}}', written in
// a JSON buffer of its own whatever the batch's encoding.
void ZMQExporter::writeMetadata(oxlo_module *module, const Flow *flow,
                                const oxlo_classification &classification) {
  oxlo_recbuf json;
  if (oxlo_recbuf_init(&json, OXLO_SER_FORMAT_JSON) != 0) {
    VESK_LOG(TRACE_ERROR, "Unable to write the flow metadata (no memory)");
    return;
  }
  uint32_t length = 0;
  const char *text = nullptr;
  if (oxlo_flow_info_serialize(module, flow->engineState(), &json, classification) == 0)
    text = oxlo_recbuf_output(&json, &length);
  if (!text || oxlo_recbuf_put_id_text_len(&records_, ExportKey::kFlowMetadata, text, length) != 0)
    VESK_LOG(TRACE_ERROR, "Flow metadata of %u bytes not exported", length);
  oxlo_recbuf_release(&json);
}

void ZMQExporter::writeFlow(Flow *flow, oxlo_module *module) {
  oxlo_recbuf *s = &records_;
  oxlo_recbuf_put_id_u32(s, ExportKey::kInBytes, flow->bytesSrc2Dst);
  oxlo_recbuf_put_id_u32(s, ExportKey::kInPackets, flow->packetsSrc2Dst);
  oxlo_recbuf_put_id_u32(s, ExportKey::kOutBytes, flow->bytesDst2Src);
  oxlo_recbuf_put_id_u32(s, ExportKey::kOutPackets, flow->packetsDst2Src);
  oxlo_recbuf_put_id_u32(s, ExportKey::kFirstSwitched, flow->firstSeen);
  oxlo_recbuf_put_id_u32(s, ExportKey::kLastSwitched, flow->lastSeen);
  if (flow->ipVersion == 4) {
    uint32_t source, destination;
    memcpy(&source, flow->sourceAddress, 4);
    memcpy(&destination, flow->destinationAddress, 4);
    oxlo_recbuf_put_id_u32(s, ExportKey::kIpv4SourceAddress, source);
    oxlo_recbuf_put_id_u32(s, ExportKey::kIpv4DestinationAddress, destination);
  } else {
    char text[64];
    oxlo_recbuf_put_id_text(s, ExportKey::kIpv6SourceAddress,
                            Utils::ipv6Text(flow->sourceAddress, text, sizeof(text)));
    oxlo_recbuf_put_id_text(s, ExportKey::kIpv6DestinationAddress,
                            Utils::ipv6Text(flow->destinationAddress, text, sizeof(text)));
  }
  oxlo_recbuf_put_id_u32(s, ExportKey::kL4SourcePort, flow->sourcePort);
  oxlo_recbuf_put_id_u32(s, ExportKey::kL4DestinationPort, flow->destinationPort);
  oxlo_recbuf_put_id_u32(s, ExportKey::kProtocol, flow->l4Protocol);
  oxlo_recbuf_put_id_u32(s, ExportKey::kIpVersion, flow->ipVersion);
  oxlo_recbuf_put_id_u32(s, ExportKey::kInputInterface, flow->inInterface);
  oxlo_recbuf_put_id_u32(s, ExportKey::kOutputInterface, flow->outInterface);
  char mac[24];
  if (flow->macFlags & FLOW_MAC_SOURCE)
    oxlo_recbuf_put_id_text(s, ExportKey::kInSourceMac,
                            Utils::macText(flow->sourceMac, mac, sizeof(mac)));
  if (flow->macFlags & FLOW_MAC_DESTINATION)
    oxlo_recbuf_put_id_text(s, ExportKey::kOutDestinationMac,
                            Utils::macText(flow->destinationMac, mac, sizeof(mac)));
  oxlo_recbuf_put_id_u32(s, ExportKey::kSourceId, configuration.uniqueSourceId);
  char protocol[16];
  // "%u.%u" of master and application, or the single id when one is 0 or
  // both are the same ("7" for plain HTTP, never "0.7").
  const oxlo_classification classification = flow->classification(module);
  oxlo_format_protocol_ids(Flow::protocolPair(classification), protocol, sizeof(protocol));
  oxlo_recbuf_put_id_text(s, ExportKey::kProtocolIds, protocol);
  const oxlo_flow_state *state = flow->engineState();  // always there: it shares the flow's slot
  writeMetadata(module, flow, classification);
  const char *host = oxlo_flow_host_name_by_protocol(state, classification);
  oxlo_recbuf_put_id_text(s, ExportKey::kHostName, host ? host : "");
  oxlo_risk_mask risks = oxlo_flow_risk_bits(state);
  // The collector is not told of one-way traffic: a flow exported at its
  // classification has often not seen its reply yet.
  risks &= ~(1ULL << OXLO_UNIDIRECTIONAL_TRAFFIC);
  oxlo_recbuf_put_id_u64(s, ExportKey::kRiskMask, risks);
  uint16_t clientScore = 0, serverScore = 0;
  oxlo_recbuf_put_id_u32(s, ExportKey::kRiskScore,
                         oxlo_risk_mask_score(risks, &clientScore, &serverScore));
  char messages[512] = "";
  oxlo_flow_risk_messages_text(state, messages, sizeof(messages), 1);
  oxlo_recbuf_put_id_text(s, ExportKey::kRiskMessages, messages);
  oxlo_recbuf_put_id_u32(s, ExportKey::kConfidence,
                         static_cast<uint32_t>(oxlo_flow_confidence(state)));
  const char *url = oxlo_flow_http_url(state);
  if (url && url[0]) {
    oxlo_recbuf_put_id_text(s, ExportKey::kHttpUrl, url);
    const char *verb =
        oxlo_http_verb_name(static_cast<oxlo_http_verb>(oxlo_flow_http_method(state)));
    oxlo_recbuf_put_id_text(s, ExportKey::kHttpMethod, verb ? verb : "");
  }
  oxlo_recbuf_put_id_u32(s, ExportKey::kExporterIpv4Address, configuration.localAddress);
  flow->exported = 1;
}

void ZMQExporter::exportFlow(Flow *flow, oxlo_module *module) {
  addRecord([&]() { writeFlow(flow, module); });
}

void ZMQExporter::exportConntrackFlow(uint32_t start, uint32_t stop, uint8_t l4Protocol,
                                      uint8_t ipVersion, const void *source,
                                      const void *destination, uint16_t sourcePort,
                                      uint16_t destinationPort, uint64_t originPackets,
                                      uint64_t originBytes, uint64_t replyPackets,
                                      uint64_t replyBytes, uint32_t timeout) {
  if (originPackets == 0 && replyPackets == 0) return;
  addRecord([&]() {
    oxlo_recbuf *s = &records_;
    oxlo_recbuf_put_id_u32(s, ExportKey::kInitiatorOctets, static_cast<uint32_t>(originBytes));
    oxlo_recbuf_put_id_u32(s, ExportKey::kInitiatorPackets, static_cast<uint32_t>(originPackets));
    oxlo_recbuf_put_id_u32(s, ExportKey::kResponderOctets, static_cast<uint32_t>(replyBytes));
    oxlo_recbuf_put_id_u32(s, ExportKey::kResponderPackets, static_cast<uint32_t>(replyPackets));
    if (start != 0) oxlo_recbuf_put_id_u32(s, ExportKey::kFirstSwitched, start);
    oxlo_recbuf_put_id_u32(s, ExportKey::kLastSwitched,
                           stop ? stop : static_cast<uint32_t>(time(nullptr)));
    oxlo_recbuf_put_id_u32(s, ExportKey::kIpVersion, ipVersion == 6 ? 6 : 4);
    if (ipVersion == 6) {
      char text[64];
      oxlo_recbuf_put_id_text(
          s, ExportKey::kIpv6SourceAddress,
          Utils::ipv6Text(static_cast<const uint8_t *>(source), text, sizeof(text)));
      oxlo_recbuf_put_id_text(
          s, ExportKey::kIpv6DestinationAddress,
          Utils::ipv6Text(static_cast<const uint8_t *>(destination), text, sizeof(text)));
    } else {
      uint32_t a, b;
      memcpy(&a, source, 4);
      memcpy(&b, destination, 4);
      oxlo_recbuf_put_id_u32(s, ExportKey::kIpv4SourceAddress, a);
      oxlo_recbuf_put_id_u32(s, ExportKey::kIpv4DestinationAddress, b);
    }
    oxlo_recbuf_put_id_u32(s, ExportKey::kL4SourcePort, sourcePort);
    oxlo_recbuf_put_id_u32(s, ExportKey::kL4DestinationPort, destinationPort);
    oxlo_recbuf_put_id_u32(s, ExportKey::kProtocol, l4Protocol);
    oxlo_recbuf_put_id_u32(s, ExportKey::kSourceId, configuration.uniqueSourceId);
    oxlo_recbuf_put_id_u32(s, ExportKey::kFlowInactiveTimeout, timeout);
    oxlo_recbuf_put_id_u32(s, ExportKey::kExporterIpv4Address, configuration.localAddress);
  });
}

void ZMQExporter::flushLocked() {
  if (batchCount_ == 0 || !recordsReady_) return;
  uint32_t len = 0;
  char *out = oxlo_recbuf_output(&records_, &len);
  bool sent = out && send(out, len, "flow", flowSocket_, useTLV_ ? 3 : 2);
  if (sent)
    flowsSent_ += batchCount_;
  else
    flowsFailed_ += batchCount_;
  oxlo_recbuf_reset(&records_);
  batchCount_ = 0;
}

void ZMQExporter::flush() {
  std::lock_guard<std::mutex> lock(batchLock_);
  flushLocked();
}

void ZMQExporter::tick(uint32_t now) {
  std::lock_guard<std::mutex> lock(batchLock_);
  if (nextFlush_ < now) {
    flushLocked();
    nextFlush_ = now + 5;
  }
}
