#include "Flow.h"

#include <arpa/inet.h>

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <random>
#include <utility>

#include "Trace.h"
#include "Utils.h"
#include "VeskError.h"

static uint32_t word(const uint8_t *address, int i) {
  uint32_t w;
  memcpy(&w, address + 4 * i, sizeof(w));
  return w;
}

Flow::Flow(uint16_t engineIndex_, uint32_t queueId_, uint32_t now, uint8_t l4Protocol_,
           uint8_t ipVersion_, const uint8_t *source, uint16_t sourcePort_,
           const uint8_t *destination, uint16_t destinationPort_, uint32_t inInterface_,
           uint32_t outInterface_)
    : next(nullptr),
      hashValue(0),
      lastSeen(0),
      sourcePort(sourcePort_),
      destinationPort(destinationPort_),
      l4Protocol(l4Protocol_),
      ipVersion(ipVersion_),
      engineIndex(engineIndex_),
      sourceAddress{},
      destinationAddress{},
      olderSeen(nullptr),
      newerSeen(nullptr),
      inInterface(inInterface_),
      outInterface(outInterface_),
      packetsSrc2Dst(0),
      packetsDst2Src(0),
      bytesSrc2Dst(0),
      bytesDst2Src(0),
      firstSeen(now),
      sourceMac{},
      destinationMac{},
      marker(0),
      queueId(static_cast<uint16_t>(queueId_)),
      macFlags(0),
      detectionCompleted(0),
      exported(0),
      result(FLOW_RESULT_NONE) {
  size_t n = ipVersion == 4 ? 4 : 16;
  memcpy(sourceAddress, source, n);
  memcpy(destinationAddress, destination, n);
}

Flow::~Flow() { oxlo_flow_state_clear(engineState()); }

FlowHashKey FlowHashKey::random() {
  FlowHashKey key;
  size_t got = 0;
  uint8_t *bytes = reinterpret_cast<uint8_t *>(&key);
  while (got < sizeof(key)) {
    ssize_t n = getrandom(bytes + got, sizeof(key) - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      // No kernel randomness: a key that still differs per process and run.
      std::random_device device;
      std::mt19937_64 generator((static_cast<uint64_t>(device()) << 32) ^ device() ^
                                static_cast<uint64_t>(time(nullptr)) ^ getpid());
      key.k0 = generator();
      key.k1 = generator();
      return key;
    }
  }
  return key;
}

static inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

static inline void sipRound(uint64_t &v0, uint64_t &v1, uint64_t &v2, uint64_t &v3) {
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

// SipHash-2-4 of the bytes under the key (words read little-endian).
uint64_t FlowHashKey::sip(const uint8_t *data, size_t length) const {
  uint64_t v0 = k0 ^ 0x736f6d6570736575ULL, v1 = k1 ^ 0x646f72616e646f6dULL;
  uint64_t v2 = k0 ^ 0x6c7967656e657261ULL, v3 = k1 ^ 0x7465646279746573ULL;
  size_t whole = length & ~static_cast<size_t>(7);
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = 0;
    for (int j = 7; j >= 0; j--) m = m << 8 | data[i + j];
    v3 ^= m;
    sipRound(v0, v1, v2, v3);
    sipRound(v0, v1, v2, v3);
    v0 ^= m;
  }
  uint64_t last = static_cast<uint64_t>(length) << 56;
  for (size_t j = 0; j < (length & 7); j++) last |= static_cast<uint64_t>(data[whole + j]) << (8 * j);
  v3 ^= last;
  sipRound(v0, v1, v2, v3);
  sipRound(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  for (int r = 0; r < 4; r++) sipRound(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

// The connection's two ends in a fixed order (the smaller end first), so
// both directions give the same value, then the protocol and IP version.
uint32_t Flow::hash(const FlowHashKey &key, uint8_t ipVersion, const uint8_t *source,
                    const uint8_t *destination, uint16_t sourcePort, uint16_t destinationPort,
                    uint8_t l4Protocol) {
  size_t n = ipVersion == 4 ? 4 : 16;
  int order = memcmp(source, destination, n);
  if (order == 0) order = sourcePort < destinationPort ? -1 : sourcePort > destinationPort;
  const uint8_t *low = order <= 0 ? source : destination;
  const uint8_t *high = order <= 0 ? destination : source;
  uint16_t lowPort = order <= 0 ? sourcePort : destinationPort;
  uint16_t highPort = order <= 0 ? destinationPort : sourcePort;

  uint8_t tuple[38];
  memcpy(tuple, low, n);
  memcpy(tuple + n, high, n);
  size_t at = 2 * n;
  memcpy(tuple + at, &lowPort, 2);
  memcpy(tuple + at + 2, &highPort, 2);
  tuple[at + 4] = l4Protocol;
  tuple[at + 5] = ipVersion;
  return static_cast<uint32_t>(key.sip(tuple, at + 6));
}

uint32_t Flow::hash(const FlowHashKey &key) const {
  return hash(key, ipVersion, sourceAddress, destinationAddress, sourcePort, destinationPort,
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

void Flow::processPacket(oxlo_module *module, uint8_t direction, const uint8_t *packet,
                         uint16_t length, uint32_t now, uint64_t nowMs) {
  if (!detectionCompleted) {
    oxlo_classification c =
        oxlo_classify_packet(module, engineState(), packet, length, nowMs, nullptr);
    result = FLOW_RESULT_ENGINE;
    // Classified is not finished while the engine still reads the flow for
    // what a rule can match (the rest of a request or hello).
    if (c.app != 0 && !oxlo_flow_detection_pending(module, engineState())) detectionCompleted = 1;
  }
  if (direction) {
    packetsSrc2Dst++;
    bytesSrc2Dst += length;
  } else {
    packetsDst2Src++;
    bytesDst2Src += length;
  }
  lastSeen = now;
}

void Flow::giveUp(oxlo_module *module) {
  if (detectionCompleted) return;
  guess = oxlo_flow_guess(module, engineState(), l4Protocol);
  result = FLOW_RESULT_GUESS;
  detectionCompleted = 1;
}

oxlo_classification Flow::classification(oxlo_module *module) const {
  switch (result) {
    case FLOW_RESULT_ENGINE:
      return oxlo_flow_classification(module, engineState());
    case FLOW_RESULT_GUESS:
      return oxlo_guess_classification(module, guess);
    default:
      return oxlo_classification{};
  }
}

void Flow::ruleAddresses(uint8_t *source, uint8_t *destination) const {
  memset(source, 0, 16);
  memset(destination, 0, 16);
  if (ipVersion == 4) {
    uint32_t s = htonl(word(sourceAddress, 0)), d = htonl(word(destinationAddress, 0));
    memcpy(source, &s, 4);
    memcpy(destination, &d, 4);
  } else {
    memcpy(source, sourceAddress, 16);
    memcpy(destination, destinationAddress, 16);
  }
}

void Flow::print(oxlo_module *module, const char *tag) const {
  if (!trace || trace->getLevel() < TRACE_DEBUG) return;
  char srcMac[24], dstMac[24], src[64], dst[64], proto[80];
  oxlo_classification c = classification(module);
  const char *host = oxlo_flow_host_name_by_protocol(engineState(), c);
  VESK_LOG(TRACE_DEBUG,
           "%s[nf:%d][IPv%u][%s][%s <-> %s][%s:%u <-> %s:%u][%s/%u][processed-pkts: %u]"
           "[ifIdx: %u <-> %u][info: %s][marker: %u]",
           tag, static_cast<int>(queueId), ipVersion, l4Protocol == 6 ? "TCP" : "UDP",
           Utils::macText(sourceMac, srcMac, sizeof(srcMac)),
           Utils::macText(destinationMac, dstMac, sizeof(dstMac)),
           Utils::addressText(ipVersion, sourceAddress, src, sizeof(src)), sourcePort,
           Utils::addressText(ipVersion, destinationAddress, dst, sizeof(dst)), destinationPort,
           oxlo_format_protocol_names(module, protocolPair(c), proto, sizeof(proto)), c.app,
           packets() & 0xFF, inInterface, outInterface, host ? host : "", marker);
}
