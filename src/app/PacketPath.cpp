#include "PacketPath.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <exception>

#include "Configuration.h"
#include "PacketTuple.h"
#include "Trace.h"

// Buckets of an empty flow table; the table doubles them as flows come.
static const uint32_t kFlowBuckets = 1024;
// Seconds between two log lines about packets that got the fallback verdict
// for the same reason: a flood must not become a flood of log lines.
static const uint32_t kFallbackReportSeconds = 10;
// Beyond this many packets (both directions) an unclassified flow gets the
// engine's best guess.
static const uint32_t kGiveUpPackets = 32;
// A flow the engine still reads is given up here whatever it says: the
// stream bounds (32 KiB per direction, one byte or more per segment) end a
// wait well before.
static const uint32_t kPendingCeilingPackets = 200000;
// Idle flows deleted after each packet and on each idle second: a packet
// pays for a few, so a flood's flows go at the rate new ones come in, and an
// idle queue clears its table within seconds.
static const uint32_t kPacketPurge = 8;
static const uint32_t kIdlePurge = 65536;
// Freed flows leave free pages inside the allocator's heaps; after this many
// deletions they are handed back to the system.
static const uint32_t kTrimAfterDeletions = 65536;

PacketPath::PacketPath(uint32_t queueId, EngineRulesHandOff &handOff, FlowExport &exports)
    : queueId_(queueId), handOff_(handOff), exports_(exports) {
  handOff_.pickUp(inForce_);
  try {
    flowTable_ = std::make_unique<FlowHash>(kFlowBuckets, configuration.flowLimit);
  } catch (const std::exception &) {  // VeskError from the table, or std::bad_alloc
    VESK_LOG(TRACE_ERROR, "Unable to allocate flow hash");
    exit(-1);
  }
}

PacketPath::~PacketPath() {
  // Every flow, with its "[DELETE FLOW]" line, before the snapshot held.
  flowTable_.reset();
}

uint32_t PacketPath::processPacket(uint32_t now, const uint8_t *sourceMac, uint32_t inInterface,
                                   uint32_t outInterface, const uint8_t *packet, uint32_t length,
                                   uint64_t nowMs) {
  // The one point where a reload takes effect on this path.
  handOff_.pickUp(inForce_);
  uint32_t mark = 0;
  queueClock_ = now;
  queueClockMs_ = nowMs ? nowMs : static_cast<uint64_t>(now) * 1000;
  flowTable_->setClock(now);

  uint8_t direction = 1;
  Fallback why = FALLBACK_NOT_TRACKED;
  // Without rules there is no verdict to wait for: nothing is tracked.
  Flow *flow = inForce_->hasRules() ? findOrCreateFlow(sourceMac, inInterface, outInterface,
                                                       packet, length, &direction, &why)
                                    : (why = FALLBACK_NO_RULES, nullptr);
  if (flow && flow->detectionCompleted && flow->marker == 2 &&
      flow->dropGeneration != inForce_->generation()) {
    // Rules loaded since the drop judge the connection anew.
    flowTable_->unlink(flow);
    flowTable_->release(flow);
    flow = findOrCreateFlow(sourceMac, inInterface, outInterface, packet, length, &direction, &why);
  }
  if (flow) {
    const bool dropped = flow->detectionCompleted && flow->marker == 2;
    oxlo_module *module = flowTable_->module(flow);
    flow->processPacket(module, direction, packet,
                        static_cast<uint16_t>(length > 0xFFFF ? 0xFFFF : length), queueClock_,
                        queueClockMs_);
    flowTable_->touch(flow);
    if (dropped) {
      // A dropped connection stays dropped until it falls idle: the drop
      // never reaches the CONNMARK save rule, and a new flow started on a
      // retransmitted tail (the rest of a request or hello whose first part
      // passed) would not carry the name the rule matched.
      mark = 2;
    } else {
      // No give-up while the engine waits for the rest of a PDU (its stream
      // bounds end the wait); the ceiling is the last resort.
      const oxlo_flow_state *state = flow->engineState();
      const char *host = oxlo_flow_host_name(state);
      if (!flow->detectionCompleted &&
          (oxlo_flow_out_of_memory(state) ||
           (oxlo_flow_stream_incomplete(state) && (!host || !*host)))) {
        // The engine stopped reading the flow for want of memory, or its
        // stream can no longer be read as the server reads it and no name
        // was: decided now, on this packet, with the exception verdict
        // (complete), before the rest reaches the server.
        flow->giveUp(module);
      } else if (!flow->detectionCompleted && flow->packets() > kGiveUpPackets) {
        if (flow->packets() > kPendingCeilingPackets) {
          pendingCeilingGiveUps_++;
          VESK_LOG(TRACE_DEBUG, "Flow still pending after %u packets: given up",
                   kPendingCeilingPackets);
          flow->giveUp(module);
        } else if (!oxlo_flow_detection_pending(module ? module : inForce_->module(),
                                                flow->engineState())) {
          flow->giveUp(module);
        }
      }
      if (flow->detectionCompleted) mark = complete(flow, module);
    }
  } else {
    mark = fallbackMarker(why, sourceMac, packet, length);
  }
  purge(kPacketPurge, false);
  exports_.exportConntrack(now);
  return mark;
}

uint32_t PacketPath::complete(Flow *flow, oxlo_module *module) {
  uint8_t source[16], destination[16];
  flow->ruleAddresses(source, destination);
  flow->marker = inForce_->matchFlow(flow->sourceMac, flow->destinationMac, source, destination,
                                     flow->engineState(), flow->classification(module));
  // A flow whose stream could not all be read before a name was: what the
  // server read may name a host the rules drop. It gets the strictest
  // marker its policy could have given.
  // A flow whose texts or TCP block could not be made was not read at all
  // (a name it carried was lost): the same.
  const char *host = oxlo_flow_host_name(flow->engineState());
  if (flow->marker != 2 && oxlo_flow_out_of_memory(flow->engineState())) {
    flow->marker = inForce_->exceptionMarker(flow->sourceMac, source, destination, flow->ipVersion);
    noteFallback(FALLBACK_NO_MEMORY, flow->marker);
  } else if (flow->marker != 2 && oxlo_flow_stream_incomplete(flow->engineState()) &&
             (!host || !*host)) {
    flow->marker = inForce_->exceptionMarker(flow->sourceMac, source, destination, flow->ipVersion);
    noteFallback(FALLBACK_STREAM_UNREAD, flow->marker);
  }
  uint32_t mark = flow->marker;
  flow->print(module, "[OXLO OVER]");
  // The metadata is written by the module that classified the flow, which a
  // reload may have replaced for new flows since.
  exports_.exportFlow(flow, module ? module : inForce_->module());
  // Otherwise the flow ends here: the next packet of the connection starts
  // anew (it is queued only when the CONNMARK rules let it).
  if (mark == 2) {
    flow->dropGeneration = inForce_->generation();
  } else {
    flowTable_->unlink(flow);
    flowTable_->release(flow);
  }
  return mark;
}

void PacketPath::prefetch(const uint8_t *packet, uint32_t length) {
  PacketTuple t;
  if (parsePacketTuple(packet, length, &t))
    flowTable_->prefetch(t.ipVersion, t.source, t.destination, t.sourcePort, t.destinationPort,
                         t.l4Protocol);
}

void PacketPath::idleSecond(uint32_t now) {
  // Also lets go of a snapshot a reload has replaced while no packet came.
  handOff_.pickUp(inForce_);
  // The clock moves on an idle queue too: else the flows of a burst that has
  // ended never go idle and their memory is never freed.
  queueClock_ = now;
  flowTable_->setClock(now);
  purge(kIdlePurge, true);
  exports_.exportConntrack(now);
  exports_.tick(now);
}

void PacketPath::purge(uint32_t limit, bool idle) {
  deletedSinceTrim_ += flowTable_->purgeStep(limit);
  // An idle queue hands the flow slab's empty chunks back; a busy one keeps
  // some to refill, their pages still mapped, instead of taking page faults
  // on fresh ones. Freed memory goes back to the system after many
  // deletions, or after a thousand on an idle queue.
  if (idle && deletedSinceTrim_ >= 1024) flowTable_->trim();
  if (deletedSinceTrim_ >= kTrimAfterDeletions || (idle && deletedSinceTrim_ >= 1024)) {
    malloc_trim(0);
    deletedSinceTrim_ = 0;
  }
}

Flow *PacketPath::findOrCreateFlow(const uint8_t *sourceMac, uint32_t inInterface,
                                   uint32_t outInterface, const uint8_t *packet, uint32_t length,
                                   uint8_t *direction, Fallback *why) {
  PacketTuple t;
  *why = FALLBACK_NOT_TRACKED;
  if (!parsePacketTuple(packet, length, &t)) return nullptr;

  Flow *flow = flowTable_->find(t.ipVersion, t.source, t.destination, t.sourcePort,
                                t.destinationPort, t.l4Protocol, direction);
  bool existed = flow != nullptr;
  if (!flow) {
    // At the limit the oldest idle flow makes room; flows still alive are
    // never evicted, so a flood cannot push a connection out mid-way.
    if (flowTable_->count() >= flowTable_->cap()) purge(1, false);
    if (flowTable_->count() >= flowTable_->cap()) {
      *why = FALLBACK_TABLE_FULL;
      return nullptr;
    }
    flow = flowTable_->create(inForce_->engine(), queueId_, queueClock_, t.l4Protocol,
                              t.ipVersion, t.source, t.sourcePort, t.destination,
                              t.destinationPort, inInterface, outInterface);
    if (!flow) {
      *why = FALLBACK_TABLE_FULL;  // no memory for it: no room either
      return nullptr;
    }
    if (!flowTable_->add(flow)) {
      flowTable_->release(flow);
      *why = FALLBACK_TABLE_FULL;
      return nullptr;
    }
    *direction = 1;
  }

  if (*direction) {
    if (sourceMac && !(flow->macFlags & FLOW_MAC_SOURCE)) {
      memcpy(flow->sourceMac, sourceMac, 6);
      flow->macFlags |= FLOW_MAC_SOURCE;
    }
  } else {
    if (sourceMac && !(flow->macFlags & FLOW_MAC_DESTINATION)) {
      memcpy(flow->destinationMac, sourceMac, 6);
      flow->macFlags |= FLOW_MAC_DESTINATION;
    }
    // The reply's way in is the way out for the flow's first direction.
    if (existed && flow->packetsDst2Src == 0) flow->outInterface = inInterface & 0xFFFF;
  }
  return flow;
}

uint16_t PacketPath::fallbackMarker(Fallback why, const uint8_t *sourceMac, const uint8_t *packet,
                                    uint32_t length) {
  uint8_t source[16], destination[16];
  int version = packetAddresses(packet, length, source, destination);
  // A new flow the table has no room for is one the engine cannot finish:
  // the strictest marker its policy could give, so a flood does not make a
  // host the rules drop by name reachable.
  uint16_t marker = why == FALLBACK_TABLE_FULL
                        ? inForce_->exceptionMarker(sourceMac, source, destination, version)
                        : inForce_->fallbackMarker(sourceMac, source, destination, version);
  noteFallback(why, marker);
  return marker;
}

void PacketPath::noteFallback(Fallback why, uint16_t marker) {
  FallbackCount &count = fallbacks_[why];
  count.total++;
  count.sinceReport++;
  if (count.total == 1 || queueClock_ - count.lastReport >= kFallbackReportSeconds) {
    static const char *const reasons[FALLBACK_KINDS] = {
        "Packet not tracked (not TCP or UDP, a fragment, or cut short)",
        "Flow table full, no flow idle",
        "No rules in force yet",
        "Flow decided before its stream could all be read",
        "Flow not read: no memory for its texts or TCP block"};
    VESK_LOG(why == FALLBACK_NOT_TRACKED ? TRACE_NORMAL : TRACE_WARNING,
             "%s: fallback verdict, its policy's default or strictest marker, or drop [marker: %u]"
             "[flows: %u/%u][packets: %llu since the last report, %llu in all][queueId=%u]",
             reasons[why], marker, flowTable_->count(), flowTable_->cap(),
             static_cast<unsigned long long>(count.sinceReport),
             static_cast<unsigned long long>(count.total), queueId_);
    count.sinceReport = 0;
    count.lastReport = queueClock_;
  }
}
