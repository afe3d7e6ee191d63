// One NFQUEUE queue: packets in, verdicts and marks out. Wires together
// what a queue is made of, each in a class of its own: the rules loader with
// the queue's engine-and-rules snapshots (RulesLoader), the packet path with
// the flow table (PacketPath), flow, conntrack and statistics export
// (FlowExport) and the NFQUEUE reader with its poll thread (QueueReader).
#ifndef VESK_NETFILTERINTERFACE_H
#define VESK_NETFILTERINTERFACE_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "DetectionEngine.h"
#include "FlowExport.h"
#include "FlowHash.h"
#include "PacketPath.h"
#include "QueueReader.h"
#include "RulesLoader.h"
#include "ZMQExporter.h"
#include "oxlo_api.h"
#include "vesk_rules.h"

// 0 until start-up has finished, 1 while running, 0 again on shutdown.
extern std::atomic<uint8_t> globalRunning;

class NetfilterInterface {
 public:
  // Throws VeskError when the queue cannot be bound (its reason logged
  // before) and VeskError "Unable to open conntrack" when conntrack cannot
  // be opened.
  NetfilterInterface(uint32_t queueId, ZMQExporterList *exporters, bool firstQueue);
  // A queue's packet path without the kernel: detection module, flow table
  // and rules, but no NFQUEUE or conntrack binding (replay and tests).
  struct Unbound {};
  NetfilterInterface(Unbound, uint32_t queueId, ZMQExporterList *exporters);
  ~NetfilterInterface();
  NetfilterInterface(const NetfilterInterface &) = delete;
  NetfilterInterface &operator=(const NetfilterInterface &) = delete;

  // Starts the poll thread (a queue that is bound).
  void start();
  void stop();
  bool isRunning() const { return reader_ && reader_->isRunning(); }

  // Loads a rules file and makes it current (see RulesLoader::load). Runs
  // on the main thread. The packet path takes module and rules up together
  // between two packets; flows in progress stay in the flow table and
  // finish on the module that started them.
  bool loadRules(const char *path, vesk_blacklists **blacklists = nullptr,
                 const char *shownAs = nullptr) {
    return loader_->load(path, blacklists, shownAs);
  }

  // Stops and joins the poll thread, then releases everything.
  void teardown();

  using Fallback = PacketPath::Fallback;
  using enum PacketPath::Fallback;
  uint64_t fallbackCount(Fallback why) const { return path_->fallbackCount(why); }

  // The packet path of one queued IP packet (see PacketPath::processPacket),
  // for a queue without a poll thread.
  uint32_t processPacket(uint32_t now, const uint8_t *sourceMac, uint32_t inInterface,
                         uint32_t outInterface, const uint8_t *packet, uint32_t length,
                         uint64_t nowMs = 0) {
    return path_->processPacket(now, sourceMac, inInterface, outInterface, packet, length, nowMs);
  }
  void idleSecond(uint32_t now) { path_->idleSecond(now); }

  uint32_t queueId() const { return queueId_; }
  uint64_t pendingCeilingGiveUps() const { return path_->pendingCeilingGiveUps(); }
  FlowHash *flowTable() const { return path_ ? path_->flowTable() : nullptr; }
  uint32_t queueClock() const { return path_->queueClock(); }
  uint64_t queueClockMs() const { return path_->queueClockMs(); }

  // What the latest load published (read on the thread that loads rules):
  // the module new flows are classified by, shared with them, and the rules
  // in force with the ones they replaced.
  const DetectionEnginePtr &engine() const { return loader_->current()->engine(); }
  oxlo_module *module() const { return loader_ ? engine()->module() : nullptr; }
  vesk_rule_manager *currentRules() const { return loader_->currentRules(); }
  vesk_rule_manager *previousRules() const { return loader_->previousRules(); }

 private:
  // Loader, export and packet path: what every queue needs, bound or not.
  void createPath(ZMQExporterList *exporters);
  // Stops the poll thread, then releases the packet path (every flow, with
  // its "[DELETE FLOW]" line), the queue binding, export (conntrack handle)
  // and the loader (rules before their modules).
  void release();

  uint32_t queueId_;
  std::unique_ptr<RulesLoader> loader_;
  std::unique_ptr<FlowExport> export_;
  std::unique_ptr<PacketPath> path_;
  std::unique_ptr<QueueReader> reader_;  // bound queues only
};

#endif
