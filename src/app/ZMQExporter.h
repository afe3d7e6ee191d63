// Sends what the firewall learns to corvane over ZMQ: classified flows and
// conntrack flows in batches (TLV or JSON), statistics events and a greeting.
// Every message is two frames: a 24-byte header, then the payload.
#ifndef VESK_ZMQEXPORTER_H
#define VESK_ZMQEXPORTER_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "oxlo_api.h"
#include "oxlo_serializer.h"

class Flow;

#define ZMQ_HEADER_SIZE 24
#define ZMQ_TOPIC_SIZE 16
#define ZMQ_MAX_PAYLOAD 65535
#define ZMQ_BATCH_FLOWS 16
#define ZMQ_SOCKET_BUFFER 8388608

class ZMQExporter {
 public:
  // serverKey: corvane's CURVE public key (40 Z85 characters or 80 hex
  // digits) or null. Throws VeskError("Failure configuring ZMQ endpoint")
  // when the sockets cannot be set up, the key included: never falls back to
  // clear text.
  ZMQExporter(const char *endpoint, const char *serverKey, bool useTLV, bool noCompression);
  ~ZMQExporter();
  ZMQExporter(const ZMQExporter &) = delete;
  ZMQExporter &operator=(const ZMQExporter &) = delete;

  void sendHello();
  // The module is the one that classified the flow (it names protocols and
  // categories in the flow's metadata).
  void exportFlow(Flow *flow, oxlo_module *module);
  // Addresses: IPv4 as a 32-bit host-byte-order value, IPv6 as 16 bytes.
  void exportConntrackFlow(uint32_t start, uint32_t stop, uint8_t l4Protocol, uint8_t ipVersion,
                           const void *source, const void *destination, uint16_t sourcePort,
                           uint16_t destinationPort, uint64_t originPackets,
                           uint64_t originBytes, uint64_t replyPackets, uint64_t replyBytes,
                           uint32_t timeout);
  void flush();
  void tick(uint32_t now);
  bool sendEvent(const char *text, uint32_t length);
  bool send(const char *payload, uint32_t length, const char *topic, void *socket,
            uint8_t version);

  // Largest batch payload (65,535 by default, what the header's length field
  // can tell); lowered by tests to exercise early flushes with small records.
  void setPayloadLimit(uint32_t limit) { payloadLimit_ = limit; }
  uint32_t flowsSent() const { return flowsSent_; }
  uint32_t flowsFailed() const { return flowsFailed_; }

  // CURVE client set-up of one socket (shared with the collector): 0, -2 for
  // a key of the wrong form, -3 when the socket refuses the keys.
  static int curveSetup(void *socket, const char *serverKey);

 private:
  bool setup(const char *endpoint);
  void flushLocked();
  // Ends the previous record, writes one through the callback, and flushes
  // first when the batch would no longer fit one message.
  template <typename Write>
  void addRecord(Write write);
  void writeFlow(Flow *flow, oxlo_module *module);
  void writeMetadata(oxlo_module *module, const Flow *flow,
                     const oxlo_classification &classification);

  bool useTLV_;
  bool noCompression_;
  char *serverKey_ = nullptr;
  void *context_ = nullptr;
  void *flowSocket_ = nullptr;
  void *eventSocket_ = nullptr;
  uint8_t sourceByte_;
  uint32_t nextFlush_;
  std::atomic<int32_t> pacing_{8};  // counted down by every queue thread
  uint32_t messageCounter_ = 0;
  std::mutex batchLock_, sendLock_;
  oxlo_recbuf records_{};
  bool recordsReady_ = false;
  uint32_t batchCount_ = 0;
  uint32_t payloadLimit_ = ZMQ_MAX_PAYLOAD;
  uint32_t flowsSent_ = 0, flowsFailed_ = 0;
};

typedef std::vector<ZMQExporter *> ZMQExporterList;

#endif
