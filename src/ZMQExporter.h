// STAND-IN: the flow export to corvane is not built yet. This class has the
// exporter's interface so start-up and the queues are written against it,
// but its constructor always fails, so no exporter is ever created.
#ifndef VESK_ZMQEXPORTER_H
#define VESK_ZMQEXPORTER_H

#include <cstdint>
#include <vector>

class Flow;

class ZMQExporter {
 public:
  ZMQExporter(const char *endpoint, const char *serverKey, bool useTLV, bool noCompression);
  ~ZMQExporter();

  void sendHello();
  void exportFlow(Flow *flow);
  void exportConntrackFlow(uint32_t start, uint32_t stop, uint8_t l4Protocol, uint8_t ipVersion,
                           const void *source, const void *destination, uint16_t sourcePort,
                           uint16_t destinationPort, uint64_t originPackets,
                           uint64_t originBytes, uint64_t replyPackets, uint64_t replyBytes,
                           uint32_t timeout);
  void flush();
  void tick(uint32_t now);
  bool sendEvent(const char *text, uint32_t length);
};

typedef std::vector<ZMQExporter *> ZMQExporterList;

#endif
