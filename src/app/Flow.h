// One TCP or UDP connection as one queue sees it, from its first packet until
// it is classified (or given up on) and exported, or purged as idle.
#ifndef VESK_FLOW_H
#define VESK_FLOW_H

#include <cstddef>
#include <cstdint>

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
#define FLOW_RESULT_NONE 0    // no packet classified yet: empty
#define FLOW_RESULT_ENGINE 1  // the engine state's
#define FLOW_RESULT_GUESS 2   // the guess

// Lives only in a slot of a flow table (FlowHash::create), the engine's
// state of the flow right behind it in the same slot. The module that
// classifies it is kept by the table (engineIndex); the calls that need it
// are handed it by the caller.
class Flow {
 public:
  // Addresses are 16 bytes: IPv4 in host byte order in the first 32-bit
  // word (rest zero), IPv6 as in the packet. Ports in host byte order.
  // queueId is the queue's number (for the trace). The engine state behind
  // the record must be fresh (oxlo_flow_state_init).
  Flow(uint16_t engineIndex, uint32_t queueId, uint32_t now, uint8_t l4Protocol, uint8_t ipVersion,
       const uint8_t *source, uint16_t sourcePort, const uint8_t *destination,
       uint16_t destinationPort, uint32_t inInterface, uint32_t outInterface);
  // Clears the engine state (what it holds goes, the block stays).
  ~Flow();
  Flow(const Flow &) = delete;
  Flow &operator=(const Flow &) = delete;

  // Bytes of the record in its slot: the engine state starts there.
  static constexpr size_t slotBytes();
  oxlo_flow_state *engineState();
  const oxlo_flow_state *engineState() const;

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

  // module: the flow's own (FlowHash::module). now: the queue's clock in
  // seconds, nowMs in milliseconds.
  void processPacket(oxlo_module *module, uint8_t direction, const uint8_t *packet,
                     uint16_t length, uint32_t now, uint64_t nowMs);
  // Takes the engine's best guess as the final classification.
  void giveUp(oxlo_module *module);
  // The classification the flow has now: none before its first packet, then
  // what the engine returned for its last packet (rebuilt from the engine
  // state, which holds all of it), or the guess it was given up with.
  oxlo_classification classification(oxlo_module *module) const;
  // The addresses in network order, as the rules match them (16 bytes each).
  void ruleAddresses(uint8_t *source, uint8_t *destination) const;
  bool isIdle(uint32_t now) const { return now - lastSeen > FLOW_IDLE_SECONDS; }
  uint32_t packets() const { return packetsSrc2Dst + packetsDst2Src; }
  // Packed protocol id: application << 16 | master.
  static uint32_t protocolPair(const oxlo_classification &c) {
    return (static_cast<uint32_t>(c.app) << 16) | c.master;
  }
  void print(oxlo_module *module, const char *tag) const;

  // What a lookup reads comes first, within 64 bytes; the record has no
  // holes: a table of a million flows pays for every byte of it.
  Flow *next;  // the chain of its bucket
  uint32_t hashValue;  // set by FlowHash::add
  uint32_t lastSeen;
  uint16_t sourcePort, destinationPort;
  uint8_t l4Protocol;
  uint8_t ipVersion;
  uint16_t engineIndex;  // the table's entry of the module that classifies the flow
  uint8_t sourceAddress[16];
  uint8_t destinationAddress[16];
  // The table's list of flows from the least to the most recently seen.
  Flow *olderSeen, *newerSeen;
  uint32_t inInterface;
  uint32_t outInterface;
  uint32_t packetsSrc2Dst, packetsDst2Src;
  uint32_t bytesSrc2Dst, bytesDst2Src;
  uint32_t firstSeen;
  uint32_t dropGeneration = 0;  // rules generation of a drop marker
  uint32_t guess = OXLO_GUESS_EMPTY;  // the engine's guess (oxlo_flow_guess) once given up
  uint8_t sourceMac[6], destinationMac[6];
  uint16_t marker;
  uint16_t queueId;  // queue numbers are 16 bits
  uint8_t macFlags;
  uint8_t detectionCompleted;
  uint8_t exported;
  uint8_t result;  // FLOW_RESULT_*: where the classification comes from
};

// The engine state follows the record, 8-aligned.
constexpr size_t Flow::slotBytes() { return (sizeof(Flow) + 7) & ~static_cast<size_t>(7); }

inline oxlo_flow_state *Flow::engineState() {
  return reinterpret_cast<oxlo_flow_state *>(reinterpret_cast<uint8_t *>(this) + slotBytes());
}
inline const oxlo_flow_state *Flow::engineState() const {
  return reinterpret_cast<const oxlo_flow_state *>(reinterpret_cast<const uint8_t *>(this) +
                                                   slotBytes());
}

#endif
