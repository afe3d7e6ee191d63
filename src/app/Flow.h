// One TCP or UDP connection as one queue sees it, from its first packet until
// it is classified (or given up on) and exported, or purged as idle.
#ifndef VESK_FLOW_H
#define VESK_FLOW_H

#include <cstddef>
#include <cstdint>

#include "DetectionEngine.h"
#include "oxlo_api.h"

// A 128-bit key drawn when a flow table is made. The flow hash is SipHash-2-4
// under this key: without the key, which tuples share a bucket cannot be
// worked out, neither beforehand nor from collisions seen (by timing), so a
// flood of chosen tuples cannot pile up in one bucket.
struct FlowHashKey {
  uint64_t k0, k1;
  static FlowHashKey random();
  uint64_t sip(const uint8_t *data, size_t length) const;
};

#define FLOW_IDLE_SECONDS 30
#define FLOW_MAC_SOURCE 0x01
#define FLOW_MAC_DESTINATION 0x02

class Flow {
 public:
  // Addresses are 16 bytes: IPv4 in host byte order in the first 32-bit
  // word (rest zero), IPv6 as in the packet. Ports in host byte order.
  // The queue hands down the module it classifies with and its number (for
  // the trace). Throws VeskError "Not enough memory" when the engine state
  // cannot be allocated.
  Flow(DetectionEnginePtr engine, uint32_t queueId, uint32_t now, uint8_t l4Protocol, uint8_t ipVersion,
       const uint8_t *source, uint16_t sourcePort, const uint8_t *destination,
       uint16_t destinationPort, uint32_t inInterface, uint32_t outInterface);
  // The same with an engine state made by the caller (FlowHash::create puts
  // both in one slab slot); the destructor clears it and leaves the block.
  Flow(oxlo_flow_state *state, DetectionEnginePtr engine, uint32_t queueId, uint32_t now,
       uint8_t l4Protocol, uint8_t ipVersion, const uint8_t *source, uint16_t sourcePort,
       const uint8_t *destination, uint16_t destinationPort, uint32_t inInterface,
       uint32_t outInterface);
  ~Flow();
  Flow(const Flow &) = delete;
  Flow &operator=(const Flow &) = delete;

  // Keyed with the table's random key, the same for both directions of a
  // connection.
  static uint32_t hash(const FlowHashKey &key, uint8_t ipVersion, const uint8_t *source,
                       const uint8_t *destination, uint16_t sourcePort, uint16_t destinationPort,
                       uint8_t l4Protocol);
  uint32_t hash(const FlowHashKey &key) const;
  // True when the tuple is this flow's either way; direction 1 for the way of
  // the flow's first packet, 0 for the reverse.
  bool matches(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
               uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol,
               uint8_t *direction) const;

  // now: the queue's clock in seconds, nowMs in milliseconds.
  void processPacket(uint8_t direction, const uint8_t *packet, uint16_t length, uint32_t now,
                     uint64_t nowMs);
  // Takes the engine's best guess as the final classification.
  void giveUp();
  // The addresses in network order, as the rules match them (16 bytes each).
  void ruleAddresses(uint8_t *source, uint8_t *destination) const;
  bool isIdle(uint32_t now) const { return now - lastSeen > FLOW_IDLE_SECONDS; }
  uint32_t packets() const { return packetsSrc2Dst + packetsDst2Src; }
  // Packed protocol id: application << 16 | master.
  uint32_t protocolPair() const {
    return (static_cast<uint32_t>(classification.app) << 16) | classification.master;
  }
  void print(const char *tag) const;

  uint32_t inInterface;
  uint32_t outInterface;
  uint8_t sourceAddress[16];
  uint8_t destinationAddress[16];
  uint16_t sourcePort, destinationPort;
  uint8_t l4Protocol;
  uint8_t sourceMac[6], destinationMac[6];
  uint8_t ipVersion;
  uint8_t macFlags;
  // The small fields fill the gaps between the larger ones: a table of a
  // million flows pays for every byte of this record.
  uint8_t detectionCompleted;
  uint8_t exported;
  uint8_t inSlab;  // made by FlowHash::create
  uint16_t marker;
  uint32_t packetsSrc2Dst, packetsDst2Src;
  uint32_t bytesSrc2Dst, bytesDst2Src;
  oxlo_flow_state *engineState;
  oxlo_classification classification;
  uint32_t queueId;
  uint32_t hashValue;  // set by FlowHash::add
  // The module that classifies this flow from its first packet to its end,
  // also when a reload has given the queue a new one meanwhile.
  DetectionEnginePtr engine;
  Flow *next, *previous;
  // The table's list of flows from the least to the most recently seen.
  Flow *olderSeen, *newerSeen;
  uint32_t firstSeen, lastSeen;
  uint32_t dropGeneration = 0;  // rules generation of a drop marker
};

#endif
