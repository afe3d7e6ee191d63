// One NFQUEUE queue served by its own poll thread: packets in, verdicts and
// marks out. Owns the queue's detection module, flow table, conntrack handle
// and rules.
#ifndef VESK_NETFILTERINTERFACE_H
#define VESK_NETFILTERINTERFACE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "DetectionEngine.h"
#include "FlowHash.h"
#include "ZMQExporter.h"
#include "oxlo_api.h"
#include "vesk_policy.h"

struct nfq_handle;
struct nfq_q_handle;
struct nfq_data;
struct nfgenmsg;
struct nfct_handle;
struct mmsghdr;

// 0 until start-up has finished, 1 while running, 0 again on shutdown.
// Until it is set, queued packets are accepted unmarked without parsing.
extern std::atomic<uint8_t> globalRunning;

class NetfilterInterface {
 public:
  // Throws the number 1 when the queue cannot be bound, the text "Unable to
  // open conntrack" when conntrack cannot be opened.
  NetfilterInterface(uint32_t queueId, ZMQExporterList *exporters, bool firstQueue);
  // A queue's packet path without the kernel: detection module, flow table
  // and rules, but no NFQUEUE or conntrack binding (replay and tests).
  struct Unbound {};
  NetfilterInterface(Unbound, uint32_t queueId, ZMQExporterList *exporters);
  ~NetfilterInterface();

  void start();
  void stop() { running_.store(0); }
  bool isRunning() const { return running_.load() != 0; }

  // Loads a rules file into a new rule manager and makes it current. Runs on
  // the main thread. A load that fails keeps the rules in force: a file that
  // cannot be read, one of which no line could be taken, or one without a
  // default policy (id 0) while the rules in force have one. When the
  // engine data the file names ("custom_protocols", "category_file") differs
  // in content from what the module in use was built from, a fresh module is
  // built with it before it is finalized, the rules are loaded against it,
  // and the poll thread swaps module and rules between two packets (at once
  // when the queue has no poll thread). Flows in progress stay in the flow
  // table and finish on the module that started them.
  // blacklists: the blacklist downloads of this reload, shared by every
  // queue: taken when set, else set to this load's own (if it has any).
  bool loadRules(const char *path, vesk_blacklists **blacklists = nullptr);

  // Stops and joins the poll thread, then releases everything.
  void teardown();

  // The packet path of one queued IP packet: parse, track, classify,
  // complete. Returns the mark for its verdict (2 means drop).
  // now: time() when the packet was received; nowMs the same instant in
  // milliseconds (0: now x 1,000), the clock the engine's timing checks use.
  uint32_t processPacket(uint32_t now, const uint8_t *sourceMac, uint32_t inInterface,
                         uint32_t outInterface, const uint8_t *packet, uint32_t length,
                         uint64_t nowMs = 0);

  // A second without packets: purge, conntrack export, exporters' tick.
  void idleSecond(uint32_t now);

  // The current rules' marker for a flow (1, pass, when there are none).
  uint16_t matchRules(const uint8_t *sourceMac, const uint8_t *destinationMac,
                      const uint8_t *source, const uint8_t *destination, oxlo_flow_state *state,
                      const oxlo_classification &classification);

  uint32_t queueId() const { return queueId_; }
  // Flows given up at the packet ceiling while the engine still read them.
  uint64_t pendingCeilingGiveUps() const { return pendingCeilingGiveUps_; }
  FlowHash *flowTable() const { return flowTable_; }
  uint32_t queueClock() const { return queueClock_; }
  uint64_t queueClockMs() const { return queueClockMs_; }
  oxlo_module *module() const { return engine_ ? engine_->module() : nullptr; }
  // The module new flows are classified by, shared with them.
  const DetectionEnginePtr &engine() const { return engine_; }

  // Rules in force and the one they replaced (for tests and diagnostics).
  vesk_rule_manager *currentRules() const { return currentRules_; }
  vesk_rule_manager *previousRules() const { return previousRules_; }

 private:
  void createModule();
  // A finalized module with the engine data that `data` names (NULL: none).
  oxlo_module *buildModule(vesk_rule_manager *data);
  // Rules and the module they were resolved against, swapped together when
  // the engine data changes.
  struct EngineSwap {
    DetectionEnginePtr engine;
    vesk_rule_manager *rules = nullptr;
  };
  // Poll thread: installs a pending swap, if any, and hands what it
  // displaced back to the waiting reload.
  void applyPendingSwap();
  // Rules alone, against the module in use.
  bool swapRules(const char *path, vesk_blacklists **blacklists);
  // Whether a load's result may replace the rules in force; logs why not.
  bool loadAcceptable(int rc, vesk_rule_manager *rules, const char *path);
  // Loads the file into rules, sharing the reload's blacklist downloads;
  // false (logged) when the result must not replace the rules in force.
  bool loadInto(vesk_rule_manager *rules, const char *path, vesk_blacklists **blacklists);
  void installSwap(EngineSwap &next);
  static void freeSwap(EngineSwap &set);
  void release();
  Flow *findOrCreateFlow(const uint8_t *sourceMac, uint32_t inInterface, uint32_t outInterface,
                         const uint8_t *packet, uint32_t length, uint8_t *direction);
  // Deletes up to `limit` idle flows; returns freed memory to the system
  // after many deletions, or after any on an idle queue.
  void purge(uint32_t limit, bool idle);
  void pollLoop();
  void handleMessage(const struct mmsghdr &message);
  // Sends the batch verdict for the unmarked accepts waiting, if any.
  void flushVerdicts();
  int handlePacket(struct nfq_q_handle *qh, struct nfq_data *nfa);
  static int packetCallback(struct nfq_q_handle *qh, struct nfgenmsg *msg, struct nfq_data *nfa,
                            void *data);

  // Fan-out to every exporter of the list, in order. sendEvent is true only
  // when every exporter sent the event.
  void exportFlow(Flow *flow);
  void exportConntrackFlow(uint32_t start, uint32_t stop, uint8_t l4Protocol, uint8_t ipVersion,
                           const void *source, const void *destination, uint16_t sourcePort,
                           uint16_t destinationPort, uint64_t originPackets, uint64_t originBytes,
                           uint64_t replyPackets, uint64_t replyBytes, uint32_t timeout);
  void flushExporters();
  void tickExporters(uint32_t now);
  bool sendEvent(const char *text, uint32_t length);

  // Conntrack export and statistics, run on the poll thread.
  void exportConntrack(uint32_t now);
  void sendStatistics(uint32_t now);

  struct nfct_handle *conntrack_ = nullptr;
  uint32_t queueId_;
  uint32_t queueClock_ = 0;
  uint64_t queueClockMs_ = 0;
  // Counts rules installations: a connection dropped under older rules is
  // judged anew.
  std::atomic<uint32_t> rulesGeneration_{0};
  uint32_t nextConntrackExport_ = 0;
  uint32_t nextStatistics_ = 0;
  uint32_t lastStatistics_ = 0;
  struct nfq_handle *nfqHandle_ = nullptr;
  struct nfq_q_handle *queueHandle_ = nullptr;
  DetectionEnginePtr engine_;
  FlowHash *flowTable_ = nullptr;
  int socket_ = -1;
  std::thread thread_;
  std::atomic<uint8_t> running_{0};
  std::atomic<bool> pollLoopLeft_{true};
  uint8_t firstQueue_;
  char localAddressText_[32];
  uint64_t previousBytes_ = 0, previousPackets_ = 0, bytes_ = 0, packets_ = 0;
  ZMQExporterList *exporters_;

  // The poll thread matches flows under this lock; the main thread takes it
  // only to swap managers, so a manager is never destroyed while in use.
  std::mutex rulesLock_;
  std::mutex reloadLock_;  // reloads never overlap
  vesk_rule_manager *currentRules_ = nullptr;
  vesk_rule_manager *previousRules_ = nullptr;
  // The modules those rules were resolved against: kept while they live.
  DetectionEnginePtr currentRulesEngine_, previousRulesEngine_;
  // A swap waiting for the poll thread, and what it displaced.
  std::mutex swapLock_;
  std::condition_variable swapDone_;
  bool swapPending_ = false;
  EngineSwap pendingSwap_, displacedSwap_;

  uint8_t *receiveBuffer_ = nullptr;  // one message buffer per message of a burst
  bool verdictPending_ = false;
  uint32_t pendingVerdictId_ = 0;
  uint32_t deletedSinceTrim_ = 0;
  uint64_t pendingCeilingGiveUps_ = 0;
  bool tornDown_ = false;
};

#endif
