// What a queue sends out: each completed flow to every exporter of the list,
// in order; the kernel's view of the traffic: the first queue periodically
// exports the conntrack table as conntrack flow records, and every queue
// periodically sends a statistics event summed over the whole table. Runs on
// the queue's thread, through the queue's own conntrack handle.
#ifndef VESK_FLOWEXPORT_H
#define VESK_FLOWEXPORT_H

#include <cstdint>

#include "Flow.h"
#include "ZMQExporter.h"
#include "oxlo_api.h"

struct nfct_handle;

class FlowExport {
 public:
  // Without conntrack until openConntrack (replay and tests).
  FlowExport(uint32_t queueId, ZMQExporterList *exporters);
  ~FlowExport();
  FlowExport(const FlowExport &) = delete;
  FlowExport &operator=(const FlowExport &) = delete;

  // Opens the conntrack handle and schedules the first export and
  // statistics one period from now. Throws VeskError "Unable to open
  // conntrack" when the handle cannot be opened.
  void openConntrack(bool firstQueue);

  // owner: the module that classified the flow, which wrote its metadata.
  void exportFlow(Flow *flow, oxlo_module *owner);
  void tick(uint32_t now);
  // Conntrack export when due (first queue only).
  void exportConntrack(uint32_t now);
  // A statistics event when due; the packets that got the fallback verdict
  // because the flow table was full, because they were not tracked, or
  // because no rules were in force yet; the flows that got the exception
  // verdict because their stream could not all be read, or because no
  // memory was left for their texts or TCP block.
  void sendStatistics(uint32_t now, uint64_t tableFull, uint64_t notTracked, uint64_t beforeRules,
                      uint64_t streamUnread, uint64_t noMemory);
  // The TCP stream counters of the engine in force, for the next event.
  void setStreamStatistics(const oxlo_stream_stats &stats) { stream_ = stats; }

 private:
  void exportConntrackFlow(uint32_t start, uint32_t stop, uint8_t l4Protocol, uint8_t ipVersion,
                           const void *source, const void *destination, uint16_t sourcePort,
                           uint16_t destinationPort, uint64_t originPackets, uint64_t originBytes,
                           uint64_t replyPackets, uint64_t replyBytes, uint32_t timeout);
  void flush();
  // True only when every exporter sent the event.
  bool sendEvent(const char *text, uint32_t length);

  uint32_t queueId_;
  ZMQExporterList *exporters_;
  struct nfct_handle *conntrack_ = nullptr;
  bool firstQueue_ = false;
  uint32_t nextConntrackExport_ = 0;
  uint32_t nextStatistics_ = 0;
  uint32_t lastStatistics_ = 0;
  uint64_t previousBytes_ = 0, previousPackets_ = 0, bytes_ = 0, packets_ = 0;
  char localAddressText_[32];
  oxlo_stream_stats stream_{};
};

#endif
