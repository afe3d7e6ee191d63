#include "ZMQExporter.h"

ZMQExporter::ZMQExporter(const char *endpoint, const char *serverKey, bool useTLV,
                         bool noCompression) {
  (void)endpoint;
  (void)serverKey;
  (void)useTLV;
  (void)noCompression;
  throw "Failure configuring ZMQ endpoint";
}

ZMQExporter::~ZMQExporter() {}
void ZMQExporter::sendHello() {}
void ZMQExporter::exportFlow(Flow *) {}
void ZMQExporter::exportConntrackFlow(uint32_t, uint32_t, uint8_t, uint8_t, const void *,
                                      const void *, uint16_t, uint16_t, uint64_t, uint64_t,
                                      uint64_t, uint64_t, uint32_t) {}
void ZMQExporter::flush() {}
void ZMQExporter::tick(uint32_t) {}
bool ZMQExporter::sendEvent(const char *, uint32_t) { return false; }
