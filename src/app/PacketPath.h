// The packet path of one queue: each queued IP packet is parsed, put in its
// flow (found or made), classified by the flow's engine and, once its flow
// completes, judged by the rules; the result is the packet's mark. Also the
// upkeep of the flow table: idle flows purged, memory handed back. Runs on
// one thread at a time (the queue's poll thread, or the caller's when the
// queue has none); a reload reaches it only through the hand-off, picked up
// between two packets.
#ifndef VESK_PACKETPATH_H
#define VESK_PACKETPATH_H

#include <cstdint>
#include <memory>

#include "EngineRules.h"
#include "EngineRulesHandOff.h"
#include "FlowExport.h"
#include "FlowHash.h"

class PacketPath {
 public:
  // Ends the process when the flow table cannot be allocated.
  PacketPath(uint32_t queueId, EngineRulesHandOff &handOff, FlowExport &exports);
  ~PacketPath();
  PacketPath(const PacketPath &) = delete;
  PacketPath &operator=(const PacketPath &) = delete;

  // Why a packet got the fallback verdict rather than one of its flow's:
  // the default marker of the policy it falls under, drop when none does.
  enum Fallback : uint8_t {
    FALLBACK_NOT_TRACKED,  // not TCP or UDP, a fragment, cut short
    FALLBACK_TABLE_FULL,   // a new flow and no room in the flow table
    FALLBACK_NO_RULES,     // no rules in force yet
    FALLBACK_STREAM_UNREAD,  // a flow decided without its name: its stream not all read
    FALLBACK_NO_MEMORY,      // a flow's texts or TCP block could not be made
    FALLBACK_KINDS
  };
  // Packets that got the fallback verdict for that reason.
  // The engine in force on this path (queue thread only).
  oxlo_module *moduleInForce() const { return inForce_ ? inForce_->module() : nullptr; }
  uint64_t fallbackCount(Fallback why) const { return fallbacks_[why].total; }

  // Returns the mark for the packet's verdict (2 means drop): the rules'
  // marker for a flow that completes, 0 for the packets before it, the
  // fallback marker for a packet no flow can take.
  // now: time() when the packet was received; nowMs the same instant in
  // milliseconds (0: now x 1,000), the clock the engine's timing checks use.
  uint32_t processPacket(uint32_t now, const uint8_t *sourceMac, uint32_t inInterface,
                         uint32_t outInterface, const uint8_t *packet, uint32_t length,
                         uint64_t nowMs = 0);
  // The packet will be handled soon (a later one of the same burst): its
  // flow's bucket is loaded meanwhile. Changes nothing.
  void prefetch(const uint8_t *packet, uint32_t length);
  // A second without packets: purge, conntrack export, exporters' tick.
  void idleSecond(uint32_t now);

  // Flows given up at the packet ceiling while the engine still read them.
  uint64_t pendingCeilingGiveUps() const { return pendingCeilingGiveUps_; }
  FlowHash *flowTable() const { return flowTable_.get(); }
  uint32_t queueClock() const { return queueClock_; }
  uint64_t queueClockMs() const { return queueClockMs_; }

 private:
  // NULL when no flow takes the packet, with the reason in why.
  Flow *findOrCreateFlow(const uint8_t *sourceMac, uint32_t inInterface, uint32_t outInterface,
                         const uint8_t *packet, uint32_t length, uint8_t *direction,
                         Fallback *why);
  // A flow's engine (`module`, the flow's own) has classified it, or the
  // path has given up: the rules' marker, export, and the end of the flow
  // unless it is dropped.
  uint32_t complete(Flow *flow, oxlo_module *module);
  // The fallback marker of a packet, counted and logged (rate-limited).
  uint16_t fallbackMarker(Fallback why, const uint8_t *sourceMac, const uint8_t *packet,
                          uint32_t length);
  // Counts and logs (rate-limited) a fallback or exception verdict.
  void noteFallback(Fallback why, uint16_t marker);
  // Deletes up to `limit` idle flows; returns freed memory to the system
  // after many deletions, or after any on an idle queue.
  void purge(uint32_t limit, bool idle);

  uint32_t queueId_;
  EngineRulesHandOff &handOff_;
  FlowExport &exports_;
  // The engine and rules in force for this path, picked up from the
  // hand-off; held, so never freed while a packet is on its way.
  EngineRulesPtr inForce_;
  std::unique_ptr<FlowHash> flowTable_;
  uint32_t queueClock_ = 0;
  uint64_t queueClockMs_ = 0;
  uint32_t deletedSinceTrim_ = 0;
  struct FallbackCount {
    uint64_t total = 0;
    uint64_t sinceReport = 0;  // since the last log line about them
    uint32_t lastReport = 0;   // queue clock of that line
  };
  FallbackCount fallbacks_[FALLBACK_KINDS];
  uint64_t pendingCeilingGiveUps_ = 0;
};

#endif
