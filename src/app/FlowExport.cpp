// Flow export, conntrack export and statistics of one queue.
#include "FlowExport.h"

#include <arpa/inet.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "Configuration.h"
#include "NetfilterInterface.h"
#include "Trace.h"
#include "Utils.h"
#include "VeskError.h"
#include "oxlo_serializer.h"

FlowExport::FlowExport(uint32_t queueId, ZMQExporterList *exporters)
    : queueId_(queueId), exporters_(exporters) {
  localAddressText_[0] = '\0';
}

FlowExport::~FlowExport() {
  if (conntrack_) nfct_close(conntrack_);
}

void FlowExport::openConntrack(bool firstQueue) {
  firstQueue_ = firstQueue;
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  nextConntrackExport_ = now + configuration.flowUpdatePeriod;
  nextStatistics_ = now + configuration.statisticsPeriod;
  conntrack_ = nfct_open(CONNTRACK, 0);
  if (!conntrack_) throw VeskError("Unable to open conntrack");
  Utils::ipv4Text(configuration.localAddress, localAddressText_, sizeof(localAddressText_));
}

void FlowExport::exportFlow(Flow *flow, oxlo_module *owner) {
  for (ZMQExporter *exporter : *exporters_) exporter->exportFlow(flow, owner);
}

void FlowExport::exportConntrackFlow(uint32_t start, uint32_t stop, uint8_t l4Protocol,
                                     uint8_t ipVersion, const void *source,
                                     const void *destination, uint16_t sourcePort,
                                     uint16_t destinationPort, uint64_t originPackets,
                                     uint64_t originBytes, uint64_t replyPackets,
                                     uint64_t replyBytes, uint32_t timeout) {
  for (ZMQExporter *exporter : *exporters_)
    exporter->exportConntrackFlow(start, stop, l4Protocol, ipVersion, source, destination,
                                  sourcePort, destinationPort, originPackets, originBytes,
                                  replyPackets, replyBytes, timeout);
}

void FlowExport::flush() {
  for (ZMQExporter *exporter : *exporters_) exporter->flush();
}

void FlowExport::tick(uint32_t now) {
  for (ZMQExporter *exporter : *exporters_) exporter->tick(now);
}

bool FlowExport::sendEvent(const char *text, uint32_t length) {
  bool all = true;
  for (ZMQExporter *exporter : *exporters_) all = exporter->sendEvent(text, length) && all;
  return all;
}

typedef int (*ConntrackCallback)(enum nf_conntrack_msg_type, struct nf_conntrack *, void *);

// Dumps the IPv4 then the IPv6 table through the callback. False when the
// filter cannot be made.
static bool dumpConntrack(struct nfct_handle *handle, ConntrackCallback callback, void *data) {
  struct nfct_filter_dump *filter = nfct_filter_dump_create();
  if (!filter) return false;
  nfct_callback_register(handle, NFCT_T_ALL, callback, data);
  static const struct {
    uint8_t family;
    const char *message;
  } families[] = {
      {AF_INET, "Unknown error occurred in nfct_query (IPv4): %s[%u]"},
      {AF_INET6, "Unknown error occurred in nfct_query (IPv6): %s[%u]"},
  };
  for (const auto &f : families) {
    nfct_filter_dump_set_attr_u8(filter, NFCT_FILTER_DUMP_L3NUM, f.family);
    if (nfct_query(handle, NFCT_Q_DUMP_FILTER, filter) < 0)
      VESK_LOG(TRACE_ERROR, f.message, strerror(errno), static_cast<unsigned>(errno));
  }
  nfct_filter_dump_destroy(filter);
  nfct_callback_unregister(handle);
  return true;
}

static int keepDumping() { return globalRunning.load() ? NFCT_CB_CONTINUE : NFCT_CB_STOP; }

void FlowExport::exportConntrack(uint32_t now) {
  if (!firstQueue_ || !conntrack_ || now < nextConntrackExport_) return;
  struct Dump {
    FlowExport *self;
    uint32_t count;
  } dump = {this, 0};
  auto callback = [](enum nf_conntrack_msg_type, struct nf_conntrack *ct, void *data) -> int {
    Dump *d = static_cast<Dump *>(data);
    uint8_t family = nfct_get_attr_u8(ct, ATTR_ORIG_L3PROTO);
    uint8_t ipVersion;
    uint8_t source[16] = {}, destination[16] = {};
    if (family == AF_INET) {
      ipVersion = 4;
      uint32_t a = ntohl(nfct_get_attr_u32(ct, ATTR_ORIG_IPV4_SRC));
      uint32_t b = ntohl(nfct_get_attr_u32(ct, ATTR_ORIG_IPV4_DST));
      memcpy(source, &a, 4);
      memcpy(destination, &b, 4);
    } else if (family == AF_INET6) {
      ipVersion = 6;
      const void *a = nfct_get_attr(ct, ATTR_ORIG_IPV6_SRC);
      const void *b = nfct_get_attr(ct, ATTR_ORIG_IPV6_DST);
      if (a) memcpy(source, a, 16);
      if (b) memcpy(destination, b, 16);
    } else {
      return keepDumping();
    }
    uint32_t timeout = nfct_get_attr_u32(ct, ATTR_TIMEOUT);
    uint64_t originPackets = nfct_get_attr_u64(ct, ATTR_ORIG_COUNTER_PACKETS);
    uint64_t replyPackets = nfct_get_attr_u64(ct, ATTR_REPL_COUNTER_PACKETS);
    uint64_t originBytes = nfct_get_attr_u64(ct, ATTR_ORIG_COUNTER_BYTES);
    uint64_t replyBytes = nfct_get_attr_u64(ct, ATTR_REPL_COUNTER_BYTES);
    uint16_t sourcePort = ntohs(nfct_get_attr_u16(ct, ATTR_ORIG_PORT_SRC));
    uint16_t destinationPort = ntohs(nfct_get_attr_u16(ct, ATTR_ORIG_PORT_DST));
    uint8_t l4Protocol = nfct_get_attr_u8(ct, ATTR_ORIG_L4PROTO);
    uint32_t start =
        static_cast<uint32_t>(nfct_get_attr_u64(ct, ATTR_TIMESTAMP_START) / 1000000000ULL);
    uint32_t stop =
        static_cast<uint32_t>(nfct_get_attr_u64(ct, ATTR_TIMESTAMP_STOP) / 1000000000ULL);
    if (stop == 0) stop = static_cast<uint32_t>(time(nullptr));
    d->self->exportConntrackFlow(start, stop, l4Protocol, ipVersion, source, destination,
                                 sourcePort, destinationPort, originPackets, originBytes,
                                 replyPackets, replyBytes, timeout);
    d->count++;
    return keepDumping();
  };
  if (!dumpConntrack(conntrack_, callback, &dump)) return;
  flush();
  VESK_LOG(TRACE_DEBUG, "Exported %u conntrack flows", dump.count);
  nextConntrackExport_ = static_cast<uint32_t>(time(nullptr)) + configuration.flowUpdatePeriod;
}

void FlowExport::sendStatistics(uint32_t now, uint64_t tableFull, uint64_t notTracked,
                                uint64_t beforeRules, uint64_t streamUnread,
                                uint64_t noMemory) {
  if (!conntrack_ || now < nextStatistics_) return;
  bytes_ = packets_ = 0;
  auto callback = [](enum nf_conntrack_msg_type, struct nf_conntrack *ct, void *data) -> int {
    FlowExport *self = static_cast<FlowExport *>(data);
    self->packets_ += nfct_get_attr_u64(ct, ATTR_ORIG_COUNTER_PACKETS) +
                      nfct_get_attr_u64(ct, ATTR_REPL_COUNTER_PACKETS);
    self->bytes_ += nfct_get_attr_u64(ct, ATTR_ORIG_COUNTER_BYTES) +
                    nfct_get_attr_u64(ct, ATTR_REPL_COUNTER_BYTES);
    return keepDumping();
  };
  if (!dumpConntrack(conntrack_, callback, this)) return;
  nextStatistics_ = now + configuration.statisticsPeriod;

  // The first check only primes the sums.
  if (previousBytes_ != 0 || previousPackets_ != 0) {
    uint32_t elapsed = now - lastStatistics_;
    oxlo_recbuf event;
    if (oxlo_recbuf_init(&event, OXLO_SER_FORMAT_JSON) == 0) {
      char name[32];
      snprintf(name, sizeof(name), "nfq@%u", queueId_);
      oxlo_recbuf_put_u32(&event, "time", now);
      oxlo_recbuf_put_u64(&event, "bytes", bytes_);
      oxlo_recbuf_put_u64(&event, "packets", packets_);
      oxlo_recbuf_put_u64(&event, "packet_drops", 0);
      oxlo_recbuf_open_block(&event, "iface");
      oxlo_recbuf_put_text(&event, "name", name);
      oxlo_recbuf_put_u32(&event, "speed", 1000);
      oxlo_recbuf_put_text(&event, "ip", configuration.publicAddress);
      oxlo_recbuf_close_block(&event);
      oxlo_recbuf_open_block(&event, "probe");
      oxlo_recbuf_put_text(&event, "public_ip", configuration.publicAddress);
      oxlo_recbuf_put_text(&event, "ip", localAddressText_);
      oxlo_recbuf_put_text(&event, "version", "1.0");
      oxlo_recbuf_put_text(&event, "osname", "Ubuntu 24.04.4 LTS");
      oxlo_recbuf_put_text(&event, "uuid", configuration.uuid);
      oxlo_recbuf_put_u32(&event, "unique_source_id", configuration.uniqueSourceId);
      oxlo_recbuf_close_block(&event);
      oxlo_recbuf_put_text(&event, "mode", "packet_collection");
      oxlo_recbuf_put_text(&event, "capture_interface", "NFQUEUE");
      // elapsed is never 0 here (the period is at least a second), but a
      // clock set back must not divide by zero.
      if (bytes_ >= previousBytes_ && packets_ > previousPackets_ && elapsed > 0) {
        oxlo_recbuf_open_block(&event, "avg");
        oxlo_recbuf_put_u64(&event, "bps", (bytes_ - previousBytes_) * 8 / elapsed);
        oxlo_recbuf_put_u64(&event, "pps", (packets_ - previousPackets_) / elapsed);
        oxlo_recbuf_close_block(&event);
      }
      oxlo_recbuf_open_block(&event, "timeout");
      oxlo_recbuf_put_u64(&event, "lifetime", 60);
      oxlo_recbuf_put_u64(&event, "idle", 60);
      oxlo_recbuf_close_block(&event);
      oxlo_recbuf_open_block(&event, "drops");
      oxlo_recbuf_put_u64(&event, "export_queue_too_long", 0);
      // Packets that got the fallback verdict (the default marker of their
      // policy) because the flow table was full, because they are not
      // tracked, or because no rules were in force yet.
      oxlo_recbuf_put_i64(&event, "too_many_flows", static_cast<int64_t>(tableFull));
      oxlo_recbuf_put_u64(&event, "not_tracked", notTracked);
      oxlo_recbuf_put_u64(&event, "before_rules", beforeRules);
      // Flows decided before their stream could all be read (the strictest
      // marker of their policy).
      oxlo_recbuf_put_u64(&event, "stream_unread", streamUnread);
      // Flows not read because their texts or TCP block could not be
      // allocated (the strictest marker of their policy too).
      oxlo_recbuf_put_u64(&event, "no_memory", noMemory);
      oxlo_recbuf_close_block(&event);
      // The engine's TCP stream view: each bound hit, where a direction
      // stopped waiting and was decided on what was known.
      oxlo_recbuf_open_block(&event, "tcp_stream");
      oxlo_recbuf_put_u64(&event, "byte_cap_hits", stream_.byte_cap_hits);
      oxlo_recbuf_put_u64(&event, "segment_cap_hits", stream_.segment_cap_hits);
      oxlo_recbuf_put_u64(&event, "gap_timeouts", stream_.gap_timeouts);
      oxlo_recbuf_put_u64(&event, "module_cap_hits", stream_.module_cap_hits);
      oxlo_recbuf_put_u64(&event, "idle_packet_cap_hits", stream_.idle_packet_cap_hits);
      oxlo_recbuf_put_u64(&event, "memory_failures", stream_.memory_failures);
      oxlo_recbuf_put_u64(&event, "segments_held", stream_.segments_held);
      oxlo_recbuf_put_u64(&event, "segments_stale", stream_.segments_stale);
      oxlo_recbuf_put_u64(&event, "segments_out_of_window", stream_.segments_out_of_window);
      oxlo_recbuf_put_u64(&event, "overlaps_differing", stream_.overlaps_differing);
      oxlo_recbuf_put_u64(&event, "bytes_now", stream_.bytes_now);
      oxlo_recbuf_close_block(&event);
      oxlo_recbuf_open_block(&event, "sampling");
      oxlo_recbuf_put_u32(&event, "pkt_rate", 1);
      oxlo_recbuf_put_u32(&event, "collection_rate", 1);
      oxlo_recbuf_put_u32(&event, "flow_export_rate", 1);
      oxlo_recbuf_close_block(&event);
      uint32_t len = 0;
      char *text = oxlo_recbuf_output(&event, &len);
      if (text) sendEvent(text, len);
      oxlo_recbuf_release(&event);
    }
  }
  previousBytes_ = bytes_;
  previousPackets_ = packets_;
  lastStatistics_ = now;
}
