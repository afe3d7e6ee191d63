#include "NetfilterInterface.h"
#include "PublicSuffixPaths.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <pthread.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <chrono>
#include <new>

#include "Configuration.h"
#include "PacketTuple.h"
#include "Trace.h"
#include "Utils.h"
#include "oxlo_hosts.h"

std::atomic<uint8_t> globalRunning{0};

// Packets are copied whole (up to 65,535 bytes, also GSO packets that the
// kernel passes unsegmented); the netlink and queue headers around one packet
// need far less than the extra room given here, so a received message is
// never cut and every packet gets its verdict.
static const uint32_t kCopyRange = 0xFFFF;
static const size_t kMessageBufferSize = kCopyRange + 65536;
// Messages read by one receive call: a burst is read, handled and answered
// with as few system calls as its verdicts allow.
static const unsigned kBurst = 16;


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

oxlo_module *NetfilterInterface::buildModule(vesk_rule_manager *data) {
  oxlo_module *module = oxlo_module_new(nullptr);
  if (!module) return nullptr;
  oxlo_set_config(module, nullptr, "flow.track_payload", "1");
  for (const char *path : kPublicSuffixPaths) {
    struct stat st;
    if (stat(path, &st) != 0) continue;
    if (oxlo_load_public_suffix_list(module, path) == 0)
      trace->log(TRACE_DEBUG, __FILE__, __LINE__, "Successfully loaded %s", path);
    else
      trace->log(TRACE_WARNING, __FILE__, __LINE__, "Error while loading %s", path);
    break;
  }
  // Engine data goes in before finalization: afterwards it would be ignored.
  if (const char *custom = rule_manager_custom_protocols_path(data)) {
    if (oxlo_load_custom_protocols_file(module, custom) == 0)
      trace->log(TRACE_NORMAL, __FILE__, __LINE__, "Loaded custom protocols %s [queueId=%u]",
                 custom, queueId_);
    else
      trace->log(TRACE_WARNING, __FILE__, __LINE__, "Unable to load custom protocols %s", custom);
  }
  for (uint32_t i = 0; i < rule_manager_category_file_count(data); i++) {
    const char *file = rule_manager_category_file_path(data, i);
    const char *tag = rule_manager_category_file_tag(data, i);
    int n = oxlo_load_category_file(module, file, const_cast<char *>(tag));
    if (n < 0)
      trace->log(TRACE_WARNING, __FILE__, __LINE__, "Unable to load category file %s", file);
    else
      trace->log(TRACE_NORMAL, __FILE__, __LINE__, "Loaded %d categories from %s [queueId=%u]",
                 n, file, queueId_);
  }
  if (oxlo_finalize_initialization(module) != 0) {
    oxlo_module_free(module);
    return nullptr;
  }
  return module;
}

// Detection module and flow table: what every queue needs, bound or not.
void NetfilterInterface::createModule() {
  oxlo_module *module = buildModule(nullptr);
  if (!module) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Global structure initialization failed");
    exit(-1);
  }
  engine_ = std::make_shared<DetectionEngine>(module, nullptr, std::string());

  try {
    flowTable_ = new FlowHash(kFlowBuckets, configuration.flowLimit);
  } catch (const std::bad_alloc &) {
    flowTable_ = nullptr;
  }
  receiveBuffer_ = static_cast<uint8_t *>(malloc(kMessageBufferSize * kBurst));
  if (!flowTable_ || !receiveBuffer_) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to allocate flow hash");
    exit(-1);
  }
}

NetfilterInterface::NetfilterInterface(Unbound, uint32_t queueId, ZMQExporterList *exporters)
    : queueId_(queueId), firstQueue_(0), exporters_(exporters) {
  localAddressText_[0] = '\0';
  createModule();
  tornDown_ = false;
}

NetfilterInterface::NetfilterInterface(uint32_t queueId, ZMQExporterList *exporters,
                                       bool firstQueue)
    : queueId_(queueId), firstQueue_(firstQueue ? 1 : 0), exporters_(exporters) {
  localAddressText_[0] = '\0';
  createModule();

  int q = static_cast<int>(queueId_);
  nfqHandle_ = nfq_open();
  if (!nfqHandle_) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to get netfilter handle [queueId=%d]", q);
    release();
    throw 1;
  }
  if (nfq_unbind_pf(nfqHandle_, AF_INET) < 0) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to unbind IPv4 [queueId=%d]", q);
    release();
    throw 1;
  }
  if (nfq_bind_pf(nfqHandle_, AF_INET) < 0) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to bind IPv4 [queueId=%d]", q);
    release();
    throw 1;
  }
  if (nfq_unbind_pf(nfqHandle_, AF_INET6) < 0)
    trace->log(TRACE_WARNING, __FILE__, __LINE__,
               "Unable to unbind IPv6 [queueId=%d] (may not be loaded)", q);
  if (nfq_bind_pf(nfqHandle_, AF_INET6) < 0)
    trace->log(TRACE_WARNING, __FILE__, __LINE__,
               "Unable to bind IPv6 [queueId=%d] (IPv6 will not be processed)", q);
  else
    trace->log(TRACE_NORMAL, __FILE__, __LINE__, "IPv6 support enabled");

  queueHandle_ = nfq_create_queue(nfqHandle_, static_cast<uint16_t>(queueId_), packetCallback, this);
  if (!queueHandle_) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__,
               "Unable to attach to NF_QUEUE %d: is it already in use?", q);
    release();
    throw 1;
  }
  trace->log(TRACE_NORMAL, __FILE__, __LINE__, "Polling NF_QUEUE %d", q);

  nfnl_rcvbufsiz(nfq_nfnlh(nfqHandle_), 536870912);

  if (nfq_set_mode(queueHandle_, NFQNL_COPY_PACKET, kCopyRange) < 0) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to set packet_copy mode");
    release();
    throw 1;
  }
  if (nfq_set_queue_maxlen(queueHandle_, 4096) < 0) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to set queue len");
    release();
    throw 1;
  }
  // GSO packets arrive whole instead of being cut into MTU-sized segments
  // for the queue: one packet and one verdict for up to 64 KiB of a stream.
  if (nfq_set_queue_flags(queueHandle_, NFQA_CFG_F_GSO, NFQA_CFG_F_GSO) < 0)
    trace->log(TRACE_WARNING, __FILE__, __LINE__,
               "Unable to receive GSO packets whole [queueId=%d]", q);

  socket_ = nfq_fd(nfqHandle_);
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  nextConntrackExport_ = now + configuration.flowUpdatePeriod;
  nextStatistics_ = now + configuration.statisticsPeriod;

  conntrack_ = nfct_open(CONNTRACK, 0);
  if (!conntrack_) {
    release();
    throw "Unable to open conntrack";
  }

  Utils::ipv4Text(configuration.localAddress, localAddressText_, sizeof(localAddressText_));
}

NetfilterInterface::~NetfilterInterface() { teardown(); }

// Frees whatever construction or use has built; safe on a partly built object.
void NetfilterInterface::release() {
  delete flowTable_;  // every flow, with its "[DELETE FLOW]" line
  flowTable_ = nullptr;
  if (queueHandle_) {
    nfq_destroy_queue(queueHandle_);
    queueHandle_ = nullptr;
  }
  if (nfqHandle_) {
    nfq_close(nfqHandle_);
    nfqHandle_ = nullptr;
  }
  socket_ = -1;
  if (conntrack_) {
    nfct_close(conntrack_);
    conntrack_ = nullptr;
  }
  rule_manager_destroy(previousRules_);
  previousRules_ = nullptr;
  rule_manager_destroy(currentRules_);
  currentRules_ = nullptr;
  // Rules before the modules they were resolved against; the flows, which
  // held the older modules, are gone with the flow table.
  previousRulesEngine_.reset();
  currentRulesEngine_.reset();
  engine_.reset();
  free(receiveBuffer_);
  receiveBuffer_ = nullptr;
}

// Wakes a poll thread out of its wait so that a stop takes effect at once
// rather than at the end of the wait.
static void onWake(int) {}
static const int kWakeSignal = SIGUSR2;

void NetfilterInterface::start() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction wake {};
    wake.sa_handler = onWake;  // no SA_RESTART: the wait returns EINTR
    sigemptyset(&wake.sa_mask);
    sigaction(kWakeSignal, &wake, nullptr);
  });
  running_.store(1);
  pollLoopLeft_.store(false);
  thread_ = std::thread(&NetfilterInterface::pollLoop, this);
}

void NetfilterInterface::teardown() {
  if (tornDown_) return;
  tornDown_ = true;
  // The poll thread uses everything released below: it must be gone first.
  running_.store(0);
  if (thread_.joinable()) {
    // A wake that comes just before the wait begins is lost: repeat it.
    for (int i = 0; i < 100 && !pollLoopLeft_.load(); i++) {
      pthread_kill(thread_.native_handle(), kWakeSignal);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    thread_.join();
  }
  release();
}

bool NetfilterInterface::loadAcceptable(int rc, vesk_rule_manager *rules, const char *path) {
  const char *why = nullptr;
  if (rc == -1)
    why = "the file cannot be read";
  else if (rc == -3)
    why = "the file is larger than 4 MiB";
  else if (rc != 0)
    why = "a line of it cannot be taken: see the lines before";
  else if (rule_manager_has_default_policy(currentRules_) && !rule_manager_has_default_policy(rules))
    why = "it has no default policy (id 0) while the rules in force have one";
  if (!why) return true;
  // Swapping in what was read would open the firewall: every flow no pool
  // covers would pass.
  trace->log(TRACE_ERROR, __FILE__, __LINE__,
             "Rules from %s refused (%s): keeping the rules in force [queueId=%u]", path, why,
             queueId_);
  return false;
}

bool NetfilterInterface::loadInto(vesk_rule_manager *rules, const char *path,
                                  vesk_blacklists **blacklists) {
  if (blacklists && *blacklists) rule_manager_share_blacklists(rules, *blacklists);
  int rc = rule_manager_load_rules(rules, path);
  if (!loadAcceptable(rc, rules, path)) return false;
  if (blacklists && !*blacklists) *blacklists = rule_manager_blacklists(rules);
  return true;
}

bool NetfilterInterface::loadRules(const char *path, vesk_blacklists **blacklists) {
  std::lock_guard<std::mutex> reload(reloadLock_);
  vesk_rule_manager *data = rule_manager_scan_engine_data(module(), path);
  // Unreadable: the load below fails the same way and keeps the rules.
  std::string signature = data ? DetectionEngine::signatureOf(data) : engine_->signature();
  // The module is rebuilt only when what its data files hold has changed.
  if (signature == engine_->signature()) {
    rule_manager_destroy(data);
    return swapRules(path, blacklists);
  }

  EngineSwap next;
  oxlo_module *module = buildModule(signature.empty() ? nullptr : data);
  if (module) {
    next.engine = std::make_shared<DetectionEngine>(module, data, signature);
  } else {
    rule_manager_destroy(data);
  }
  next.rules = next.engine ? rule_manager_create(next.engine->module(), 16, 16) : nullptr;
  if (!next.rules) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to enable rules manager");
    freeSwap(next);
    return false;
  }
  if (!loadInto(next.rules, path, blacklists)) {
    freeSwap(next);
    return false;
  }

  if (!thread_.joinable()) {
    // No poll thread: the caller drives the packet path itself.
    installSwap(next);
    freeSwap(next);
    trace->log(TRACE_NORMAL, __FILE__, __LINE__, "Loaded rules from %s", path);
    return true;
  }
  bool installed = false;
  {
    std::unique_lock<std::mutex> lock(swapLock_);
    pendingSwap_ = next;
    swapPending_ = true;
    // The poll thread wakes at least once a second.
    while (swapPending_ && running_.load())
      swapDone_.wait_for(lock, std::chrono::milliseconds(100));
    if (swapPending_) {
      next = pendingSwap_;
      pendingSwap_ = EngineSwap();
      swapPending_ = false;
    } else {
      next = displacedSwap_;
      displacedSwap_ = EngineSwap();
      installed = true;
    }
  }
  freeSwap(next);
  if (!installed) {
    trace->log(TRACE_WARNING, __FILE__, __LINE__, "Queue stopped before the new rules took over");
    return false;
  }
  trace->log(TRACE_NORMAL, __FILE__, __LINE__, "Loaded rules from %s", path);
  return true;
}

bool NetfilterInterface::swapRules(const char *path, vesk_blacklists **blacklists) {
  vesk_rule_manager *rules = rule_manager_create(module(), 16, 16);
  if (!rules) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to enable rules manager");
    return false;
  }
  if (!loadInto(rules, path, blacklists)) {
    rule_manager_destroy(rules);
    return false;
  }
  EngineSwap displaced;
  {
    std::lock_guard<std::mutex> lock(rulesLock_);
    displaced.rules = previousRules_;
    previousRules_ = currentRules_;
    currentRules_ = rules;
    rulesGeneration_++;
  }
  rulesInForce_.store(true);
  displaced.engine = std::move(previousRulesEngine_);
  previousRulesEngine_ = std::move(currentRulesEngine_);
  currentRulesEngine_ = engine_;
  // The poll thread only ever uses the current manager, under the lock.
  freeSwap(displaced);
  trace->log(TRACE_NORMAL, __FILE__, __LINE__, "Loaded rules from %s", path);
  return true;
}

// Runs between two packets. The flow table stays: flows in progress keep
// the module that started them; new flows get the new one.
void NetfilterInterface::installSwap(EngineSwap &next) {
  EngineSwap old;
  {
    std::lock_guard<std::mutex> lock(rulesLock_);
    old.rules = previousRules_;
    previousRules_ = currentRules_;
    currentRules_ = next.rules;
    rulesGeneration_++;
  }
  rulesInForce_.store(currentRules_ != nullptr);
  old.engine = std::move(previousRulesEngine_);
  previousRulesEngine_ = std::move(currentRulesEngine_);
  currentRulesEngine_ = next.engine;
  engine_ = std::move(next.engine);
  next = old;
}

void NetfilterInterface::applyPendingSwap() {
  std::lock_guard<std::mutex> lock(swapLock_);
  if (!swapPending_) return;
  installSwap(pendingSwap_);
  displacedSwap_ = pendingSwap_;
  pendingSwap_ = EngineSwap();
  swapPending_ = false;
  swapDone_.notify_all();
}

void NetfilterInterface::freeSwap(EngineSwap &set) {
  // The rules first: they were resolved against the module.
  rule_manager_destroy(set.rules);
  set.rules = nullptr;
  set.engine.reset();
}

void NetfilterInterface::pollLoop() {
  char name[16];
  snprintf(name, sizeof(name), "NF_QUEUE-%u", queueId_);
  pthread_setname_np(pthread_self(), name);

  struct mmsghdr messages[kBurst];
  struct iovec vectors[kBurst];
  // start() sets running before the thread exists, so the loop starts at
  // once: packets that arrive before start-up has finished are answered too
  // (accepted unmarked).
  while (running_.load()) {
    applyPendingSwap();
    // Read what is waiting without blocking; wait (at most a second) only
    // when the socket is empty, so a busy queue costs no wait call per packet.
    memset(messages, 0, sizeof(messages));
    for (unsigned i = 0; i < kBurst; i++) {
      vectors[i].iov_base = receiveBuffer_ + i * kMessageBufferSize;
      vectors[i].iov_len = kMessageBufferSize;
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(socket_, messages, kBurst, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    if (n > 0) {
      for (int i = 0; i < n; i++) handleMessage(messages[i]);
      flushVerdicts();
    } else {
      int err = n < 0 ? errno : EAGAIN;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        struct pollfd ready = {socket_, POLLIN, 0};
        int rc = poll(&ready, 1, 1000);
        now = static_cast<uint32_t>(time(nullptr));
        if (rc == 0) {
          idleSecond(now);
        } else if (rc < 0 && errno != EINTR) {
          trace->log(TRACE_WARNING, __FILE__, __LINE__, "NF_QUEUE poll error: [errno: %d/%s]",
                     errno, strerror(errno));
          sleep(1);
        }
      } else {
        // ENOBUFS means the kernel dropped messages for us; the queue is
        // still bound, so stopping here would black-hole its traffic.
        trace->log(err == EINTR ? TRACE_DEBUG : TRACE_WARNING, __FILE__, __LINE__,
                   "NF_QUEUE receive error: [len: %d][errno: %d]", n, err);
        if (err != ENOBUFS && err != EINTR) sleep(1);
      }
    }
    sendStatistics(now);
  }
  flushVerdicts();
  trace->log(TRACE_NORMAL, __FILE__, __LINE__, "Leaving netfilter packet poll loop");
  pollLoopLeft_.store(true);
}

void NetfilterInterface::handleMessage(const struct mmsghdr &message) {
  size_t len = message.msg_len;
  if ((message.msg_hdr.msg_flags & MSG_TRUNC) || len > kMessageBufferSize) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__,
               "NF_QUEUE message larger than the receive buffer: [len: %d]",
               static_cast<int>(len));
    return;
  }
  int handled = nfq_handle_packet(nfqHandle_, static_cast<char *>(message.msg_hdr.msg_iov->iov_base),
                                  static_cast<int>(len));
  if (handled < 0)
    trace->log(TRACE_WARNING, __FILE__, __LINE__,
               "nfq_handle_packet() failed: [len: %d][rc: %d][errno: %d]", static_cast<int>(len),
               handled, errno);
}

// One verdict for every packet up to the latest unmarked accept: the kernel
// applies a batch verdict to all queued packets with an id up to the given
// one.
void NetfilterInterface::flushVerdicts() {
  if (!verdictPending_) return;
  verdictPending_ = false;
  if (nfq_set_verdict_batch2(queueHandle_, pendingVerdictId_, NF_ACCEPT, 0) < 0)
    trace->log(TRACE_WARNING, __FILE__, __LINE__, "Unable to send verdicts: [id: %u][errno: %d]",
               pendingVerdictId_, errno);
}

int NetfilterInterface::packetCallback(struct nfq_q_handle *qh, struct nfgenmsg *, struct nfq_data *nfa,
                                       void *data) {
  return static_cast<NetfilterInterface *>(data)->handlePacket(qh, nfa);
}

int NetfilterInterface::handlePacket(struct nfq_q_handle *qh, struct nfq_data *nfa) {
  // The attributes sit where the netlink message puts them, not always
  // aligned for their fields: they are copied out before being read.
  const void *headerAttr = nfq_get_msg_packet_hdr(nfa);
  struct nfqnl_msg_packet_hdr header;
  if (headerAttr) memcpy(&header, headerAttr, sizeof(header));
  uint32_t id = headerAttr ? ntohl(header.packet_id) : 0;
  uint32_t verdict = NF_ACCEPT;
  uint32_t mark = 0;

  const void *hwAttr = nfq_get_packet_hw(nfa);
  struct nfqnl_msg_packet_hw hw;
  if (hwAttr) memcpy(&hw, hwAttr, sizeof(hw));
  const uint8_t *mac = hwAttr && ntohs(hw.hw_addrlen) == 6 ? hw.hw_addr : nullptr;
  unsigned char *payload = nullptr;
  int length = nfq_get_payload(nfa, &payload);
  // A packet without its bytes is not tracked, and gets the fallback verdict
  // like any other packet no flow takes.
  if (length < 0) length = 0;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t nowMs = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
  mark = processPacket(static_cast<uint32_t>(ts.tv_sec), mac, nfq_get_indev(nfa), nfq_get_outdev(nfa),
                       payload, static_cast<uint32_t>(length), nowMs);

  if (mark == 0 && queueHandle_ == qh) {
    // Unmarked accepts wait for the batch verdict at the end of the burst;
    // ids wrap, and a batch covers only ids up to its own.
    if (verdictPending_ && id < pendingVerdictId_) flushVerdicts();
    pendingVerdictId_ = id;
    verdictPending_ = true;
    return 0;
  }
  // A marked or dropped packet goes alone, after the ones before it.
  flushVerdicts();
  if (mark == 2) verdict = NF_DROP;
  return nfq_set_verdict2(qh, id, verdict, mark, 0, nullptr);
}

uint32_t NetfilterInterface::processPacket(uint32_t now, const uint8_t *sourceMac,
                                           uint32_t inInterface, uint32_t outInterface,
                                           const uint8_t *packet, uint32_t length,
                                           uint64_t nowMs) {
  uint32_t mark = 0;
  queueClock_ = now;
  queueClockMs_ = nowMs ? nowMs : static_cast<uint64_t>(now) * 1000;
  flowTable_->setClock(now);

  uint8_t direction = 1;
  Fallback why = FALLBACK_NOT_TRACKED;
  // Without rules there is no verdict to wait for: nothing is tracked.
  Flow *flow = rulesInForce_.load(std::memory_order_relaxed)
                   ? findOrCreateFlow(sourceMac, inInterface, outInterface, packet, length,
                                      &direction, &why)
                   : (why = FALLBACK_NO_RULES, nullptr);
  if (flow && flow->detectionCompleted && flow->marker == 2 &&
      flow->dropGeneration != rulesGeneration_.load()) {
    // Rules loaded since the drop judge the connection anew.
    flowTable_->unlink(flow);
    flowTable_->release(flow);
    flow = findOrCreateFlow(sourceMac, inInterface, outInterface, packet, length, &direction, &why);
  }
  if (flow) {
    const bool dropped = flow->detectionCompleted && flow->marker == 2;
    flow->processPacket(direction, packet, static_cast<uint16_t>(length > 0xFFFF ? 0xFFFF : length),
                        queueClock_, queueClockMs_);
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
      if (!flow->detectionCompleted && flow->packets() > kGiveUpPackets) {
        if (flow->packets() > kPendingCeilingPackets) {
          pendingCeilingGiveUps_++;
          trace->log(TRACE_DEBUG, __FILE__, __LINE__, "Flow still pending after %u packets: given up",
                     kPendingCeilingPackets);
          flow->giveUp();
        } else if (!oxlo_flow_detection_pending(flow->engine ? flow->engine->module() : module(),
                                                flow->engineState)) {
          flow->giveUp();
        }
      }
      if (flow->detectionCompleted) {
        uint8_t source[16], destination[16];
        flow->ruleAddresses(source, destination);
        flow->marker = matchRules(flow->sourceMac, flow->destinationMac, source, destination,
                                  flow->engineState, flow->classification);
        mark = flow->marker;
        flow->print("[OXLO OVER]");
        exportFlow(flow);
        // Otherwise the flow ends here: the next packet of the connection
        // starts anew (it is queued only when the CONNMARK rules let it).
        if (mark == 2) {
          flow->dropGeneration = rulesGeneration_.load();
        } else {
          flowTable_->unlink(flow);
          flowTable_->release(flow);
        }
      }
    }
  } else {
    mark = fallbackMarker(why, sourceMac, packet, length);
  }
  purge(kPacketPurge, false);
  exportConntrack(now);
  return mark;
}

void NetfilterInterface::idleSecond(uint32_t now) {
  // The clock moves on an idle queue too: else the flows of a burst that has
  // ended never go idle and their memory is never freed.
  queueClock_ = now;
  flowTable_->setClock(now);
  purge(kIdlePurge, true);
  exportConntrack(now);
  tickExporters(now);
}

void NetfilterInterface::purge(uint32_t limit, bool idle) {
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

Flow *NetfilterInterface::findOrCreateFlow(const uint8_t *sourceMac, uint32_t inInterface,
                                           uint32_t outInterface, const uint8_t *packet,
                                           uint32_t length, uint8_t *direction,
                                           Fallback *why) {
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
    flow = flowTable_->create(engine_, queueId_, queueClock_, t.l4Protocol, t.ipVersion, t.source,
                              t.sourcePort, t.destination, t.destinationPort, inInterface,
                              outInterface);
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

uint16_t NetfilterInterface::fallbackMarker(Fallback why, const uint8_t *sourceMac,
                                           const uint8_t *packet, uint32_t length) {
  uint8_t source[16], destination[16];
  int version = packetAddresses(packet, length, source, destination);
  uint16_t marker;
  {
    std::lock_guard<std::mutex> lock(rulesLock_);
    marker = rule_manager_fallback_marker(currentRules_, sourceMac, nullptr, source, destination,
                                          version);
  }
  FallbackCount &count = fallbacks_[why];
  count.total++;
  count.sinceReport++;
  if (count.total == 1 || queueClock_ - count.lastReport >= kFallbackReportSeconds) {
    static const char *const reasons[FALLBACK_KINDS] = {
        "Packet not tracked (not TCP or UDP, a fragment, or cut short)",
        "Flow table full, no flow idle",
        "No rules in force yet"};
    trace->log(why == FALLBACK_NOT_TRACKED ? TRACE_NORMAL : TRACE_WARNING, __FILE__, __LINE__,
               "%s: fallback verdict, its policy's default marker or drop [marker: %u]"
               "[flows: %u/%u][packets: %llu since the last report, %llu in all][queueId=%u]",
               reasons[why], marker, flowTable_->count(), flowTable_->cap(),
               static_cast<unsigned long long>(count.sinceReport),
               static_cast<unsigned long long>(count.total), queueId_);
    count.sinceReport = 0;
    count.lastReport = queueClock_;
  }
  return marker;
}

uint16_t NetfilterInterface::matchRules(const uint8_t *sourceMac, const uint8_t *destinationMac,
                                        const uint8_t *source, const uint8_t *destination,
                                        oxlo_flow_state *state,
                                        const oxlo_classification &classification) {
  std::lock_guard<std::mutex> lock(rulesLock_);
  if (!currentRules_) return 1;
  return rule_manager_match_flow(currentRules_, sourceMac, destinationMac, source, destination,
                                 state, classification);
}

void NetfilterInterface::exportFlow(Flow *flow) {
  // The metadata is written by the module that classified the flow, which a
  // reload may have replaced for new flows since.
  oxlo_module *owner = flow->engine ? flow->engine->module() : module();
  for (ZMQExporter *exporter : *exporters_) exporter->exportFlow(flow, owner);
}

void NetfilterInterface::exportConntrackFlow(uint32_t start, uint32_t stop, uint8_t l4Protocol,
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

void NetfilterInterface::flushExporters() {
  for (ZMQExporter *exporter : *exporters_) exporter->flush();
}

void NetfilterInterface::tickExporters(uint32_t now) {
  for (ZMQExporter *exporter : *exporters_) exporter->tick(now);
}

bool NetfilterInterface::sendEvent(const char *text, uint32_t length) {
  bool all = true;
  for (ZMQExporter *exporter : *exporters_) all = exporter->sendEvent(text, length) && all;
  return all;
}
