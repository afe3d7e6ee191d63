#include "Flow.h"

#include <arpa/inet.h>

#include <cstring>
#include <new>

#include "NetfilterInterface.h"
#include "Trace.h"
#include "Utils.h"

static uint32_t word(const uint8_t *address, int i) {
  uint32_t w;
  memcpy(&w, address + 4 * i, sizeof(w));
  return w;
}

Flow::Flow(NetfilterInterface *owner_, uint32_t now, uint8_t l4Protocol_, uint8_t ipVersion_,
           const uint8_t *source, uint16_t sourcePort_, const uint8_t *destination,
           uint16_t destinationPort_, uint32_t inInterface_, uint32_t outInterface_)
    : inInterface(inInterface_),
      outInterface(outInterface_),
      sourceAddress{},
      destinationAddress{},
      sourcePort(sourcePort_),
      destinationPort(destinationPort_),
      l4Protocol(l4Protocol_),
      sourceMac{},
      destinationMac{},
      ipVersion(ipVersion_),
      macFlags(0),
      packetsSrc2Dst(0),
      packetsDst2Src(0),
      bytesSrc2Dst(0),
      bytesDst2Src(0),
      detectionCompleted(0),
      exported(0),
      engineState(nullptr),
      classification{},
      owner(owner_),
      engine(owner_->engine()),
      next(nullptr),
      previous(nullptr),
      bucket(0),
      idleMark(0),
      firstSeen(now),
      lastSeen(0),
      marker(0) {
  size_t n = ipVersion == 4 ? 4 : 16;
  memcpy(sourceAddress, source, n);
  memcpy(destinationAddress, destination, n);

  size_t size = oxlo_flow_state_size();
  engineState = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(size));
  if (!engineState) throw "Not enough memory";
  memset(engineState, 0, size);
  print("[CREATE FLOW]");
}

Flow::~Flow() {
  print("[DELETE FLOW]");
  oxlo_flow_state_free(engineState);
}

uint32_t Flow::hash(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
                    uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol) {
  uint32_t h = static_cast<uint32_t>(sourcePort) + destinationPort + l4Protocol;
  if (ipVersion == 4) return h + word(source, 0) + word(destination, 0);
  uint32_t s = word(source, 0) ^ word(source, 1) ^ word(source, 2) ^ word(source, 3);
  uint32_t d = word(destination, 0) ^ word(destination, 1) ^ word(destination, 2) ^
               word(destination, 3);
  return h + s + d;
}

uint32_t Flow::hash() const {
  return hash(ipVersion, sourceAddress, destinationAddress, sourcePort, destinationPort,
              l4Protocol);
}

bool Flow::matches(uint8_t ipVersion_, const uint8_t *source, const uint8_t *destination,
                   uint16_t sourcePort_, uint16_t destinationPort_, uint8_t l4Protocol_,
                   uint8_t *direction) const {
  if (l4Protocol_ != l4Protocol || ipVersion_ != ipVersion) return false;
  size_t n = ipVersion == 4 ? 4 : 16;
  if (sourcePort_ == sourcePort && destinationPort_ == destinationPort &&
      memcmp(source, sourceAddress, n) == 0 && memcmp(destination, destinationAddress, n) == 0) {
    *direction = 1;
    return true;
  }
  if (sourcePort_ == destinationPort && destinationPort_ == sourcePort &&
      memcmp(source, destinationAddress, n) == 0 && memcmp(destination, sourceAddress, n) == 0) {
    *direction = 0;
    return true;
  }
  return false;
}

void Flow::processPacket(uint8_t direction, const uint8_t *packet, uint16_t length) {
  uint32_t clock = owner->queueClock();
  if (!detectionCompleted) {
    classification = oxlo_classify_packet(engine->module(), engineState, packet, length,
                                          owner->queueClockMs(), nullptr);
    if (classification.app != 0) detectionCompleted = 1;
  }
  if (direction) {
    packetsSrc2Dst++;
    bytesSrc2Dst += length;
  } else {
    packetsDst2Src++;
    bytesDst2Src += length;
  }
  lastSeen = clock;
}

void Flow::giveUp() {
  if (detectionCompleted) return;
  classification = oxlo_classification_fallback(engine->module(), engineState, l4Protocol);
  detectionCompleted = 1;
}

void Flow::computeMarker() {
  uint8_t source[16] = {}, destination[16] = {};
  if (ipVersion == 4) {
    uint32_t s = htonl(word(sourceAddress, 0)), d = htonl(word(destinationAddress, 0));
    memcpy(source, &s, 4);
    memcpy(destination, &d, 4);
  } else {
    memcpy(source, sourceAddress, 16);
    memcpy(destination, destinationAddress, 16);
  }
  marker = owner->matchRules(sourceMac, destinationMac, source, destination, engineState,
                             classification);
}

bool Flow::isIdle() const { return owner->queueClock() - lastSeen > FLOW_IDLE_SECONDS; }

void Flow::print(const char *tag) const {
  if (!trace || trace->getLevel() < TRACE_DEBUG) return;
  char srcMac[24], dstMac[24], src[64], dst[64], proto[80];
  const char *host = oxlo_flow_host_name_by_protocol(engineState, classification);
  trace->log(TRACE_DEBUG, __FILE__, __LINE__,
             "%s[nf:%d][IPv%u][%s][%s <-> %s][%s:%u <-> %s:%u][%s/%u][processed-pkts: %u]"
             "[ifIdx: %u <-> %u][info: %s][marker: %u]",
             tag, static_cast<int>(owner->queueId()), ipVersion, l4Protocol == 6 ? "TCP" : "UDP",
             Utils::macText(sourceMac, srcMac, sizeof(srcMac)),
             Utils::macText(destinationMac, dstMac, sizeof(dstMac)),
             Utils::addressText(ipVersion, sourceAddress, src, sizeof(src)), sourcePort,
             Utils::addressText(ipVersion, destinationAddress, dst, sizeof(dst)), destinationPort,
             oxlo_format_protocol_names(engine->module(), protocolPair(), proto, sizeof(proto)),
             classification.app, packets() & 0xFF, inInterface, outInterface, host ? host : "",
             marker);
}
