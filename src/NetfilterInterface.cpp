#include "NetfilterInterface.h"

#include <arpa/inet.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Configuration.h"
#include "Trace.h"
#include "Utils.h"

std::atomic<uint8_t> globalRunning{0};

// Packets are copied whole (up to 65,535 bytes); the netlink and queue
// headers around one packet need far less than the extra room given here, so
// a received message is never cut and every packet gets its verdict.
static const uint32_t kCopyRange = 0xFFFF;
static const size_t kReceiveBufferSize = kCopyRange + 65536;

static const char *const kPublicSuffixPaths[] = {
    "/usr/share/oxlo/public_suffix_list.dat", "/etc/vesk/public_suffix_list.dat",
    "./packages/etc/vesk/public_suffix_list.dat"};

NetfilterInterface::NetfilterInterface(uint32_t queueId, ZMQExporterList *exporters,
                                       bool firstQueue)
    : queueId_(queueId), firstQueue_(firstQueue ? 1 : 0), exporters_(exporters) {
  localAddressText_[0] = '\0';

  module_ = oxlo_module_new(nullptr);
  if (!module_) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Global structure initialization failed");
    exit(-1);
  }
  oxlo_set_config(module_, nullptr, "flow.track_payload", "1");
  for (const char *path : kPublicSuffixPaths) {
    struct stat st;
    if (stat(path, &st) != 0) continue;
    if (oxlo_load_public_suffix_list(module_, path) == 0)
      trace->log(TRACE_DEBUG, __FILE__, __LINE__, "Successfully loaded %s", path);
    else
      trace->log(TRACE_WARNING, __FILE__, __LINE__, "Error while loading %s", path);
    break;
  }
  oxlo_finalize_initialization(module_);

  receiveBuffer_ = static_cast<uint8_t *>(malloc(kReceiveBufferSize));
  if (!receiveBuffer_) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to allocate flow hash");
    exit(-1);
  }

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
  if (queueHandle_) {
    nfq_destroy_queue(queueHandle_);
    queueHandle_ = nullptr;
  }
  if (nfqHandle_) {
    nfq_close(nfqHandle_);
    nfqHandle_ = nullptr;
  }
  socket_ = -1;
  if (module_) {
    oxlo_module_free(module_);
    module_ = nullptr;
  }
  if (conntrack_) {
    nfct_close(conntrack_);
    conntrack_ = nullptr;
  }
  rule_manager_destroy(previousRules_);
  previousRules_ = nullptr;
  rule_manager_destroy(currentRules_);
  currentRules_ = nullptr;
  free(receiveBuffer_);
  receiveBuffer_ = nullptr;
}

void NetfilterInterface::start() {
  running_.store(1);
  thread_ = std::thread(&NetfilterInterface::pollLoop, this);
}

void NetfilterInterface::teardown() {
  if (tornDown_) return;
  tornDown_ = true;
  // The poll thread uses everything released below: it must be gone first.
  running_.store(0);
  if (thread_.joinable()) thread_.join();
  release();
}

bool NetfilterInterface::loadRules(const char *path) {
  std::lock_guard<std::mutex> reload(reloadLock_);
  vesk_rule_manager *rules = rule_manager_create(module_, 16, 16);
  if (!rules) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to enable rules manager");
    return false;
  }
  int rc = rule_manager_load_rules(rules, path);
  trace->log(TRACE_NORMAL, __FILE__, __LINE__, "Loaded rules from %s", path);
  if (rc != 0) {
    // Swapping in an empty manager would silently pass everything.
    trace->log(TRACE_ERROR, __FILE__, __LINE__,
               "Unable to read rules from %s: keeping the rules in force [queueId=%u]", path,
               queueId_);
    rule_manager_destroy(rules);
    return false;
  }
  vesk_rule_manager *displaced;
  {
    std::lock_guard<std::mutex> lock(rulesLock_);
    displaced = previousRules_;
    previousRules_ = currentRules_;
    currentRules_ = rules;
  }
  // The poll thread only ever uses the current manager, under the lock.
  rule_manager_destroy(displaced);
  return true;
}

void NetfilterInterface::pollLoop() {
  char name[16];
  snprintf(name, sizeof(name), "NF_QUEUE-%u", queueId_);
  pthread_setname_np(pthread_self(), name);

  while (running_.load() && !globalRunning.load()) sleep(1);

  while (running_.load()) {
    fd_set mask;
    FD_ZERO(&mask);
    FD_SET(socket_, &mask);
    struct timeval wait = {1, 0};
    int rc = select(socket_ + 1, &mask, nullptr, nullptr, &wait);
    uint32_t now = static_cast<uint32_t>(time(nullptr));

    if (rc <= 0) {
      if (rc < 0 && errno != EINTR) {
        trace->log(TRACE_WARNING, __FILE__, __LINE__, "NF_QUEUE select error: [errno: %d/%s]",
                   errno, strerror(errno));
        sleep(1);
      }
      exportConntrack(now);
      for (ZMQExporter *exporter : *exporters_) exporter->tick(now);
    } else {
      ssize_t len = recv(socket_, receiveBuffer_, kReceiveBufferSize, MSG_TRUNC);
      if (len < 0) {
        // ENOBUFS means the kernel dropped messages for us; the queue is
        // still bound, so stopping here would black-hole its traffic.
        int err = errno;
        if (err != EAGAIN && err != EWOULDBLOCK)
          trace->log(err == EINTR ? TRACE_DEBUG : TRACE_WARNING, __FILE__, __LINE__,
                     "NF_QUEUE receive error: [len: %d][errno: %d]", static_cast<int>(len), err);
        if (err != ENOBUFS && err != EINTR && err != EAGAIN && err != EWOULDBLOCK) sleep(1);
      } else if (static_cast<size_t>(len) > kReceiveBufferSize) {
        trace->log(TRACE_ERROR, __FILE__, __LINE__,
                   "NF_QUEUE message larger than the receive buffer: [len: %d]",
                   static_cast<int>(len));
      } else {
        int handled = nfq_handle_packet(nfqHandle_, reinterpret_cast<char *>(receiveBuffer_),
                                        static_cast<int>(len));
        if (handled < 0)
          trace->log(TRACE_WARNING, __FILE__, __LINE__,
                     "nfq_handle_packet() failed: [len: %d][rc: %d][errno: %d]",
                     static_cast<int>(len), handled, errno);
      }
    }
    sendStatistics(now);
  }
  trace->log(TRACE_NORMAL, __FILE__, __LINE__, "Leaving netfilter packet poll loop");
}

int NetfilterInterface::packetCallback(struct nfq_q_handle *qh, struct nfgenmsg *, struct nfq_data *nfa,
                                       void *data) {
  return static_cast<NetfilterInterface *>(data)->handlePacket(qh, nfa);
}

int NetfilterInterface::handlePacket(struct nfq_q_handle *qh, struct nfq_data *nfa) {
  struct nfqnl_msg_packet_hdr *header = nfq_get_msg_packet_hdr(nfa);
  uint32_t id = header ? ntohl(header->packet_id) : 0;
  uint32_t verdict = NF_ACCEPT;
  uint32_t mark = 0;

  if (globalRunning.load(std::memory_order_relaxed)) {
    queueClock_ = static_cast<uint32_t>(time(nullptr));
    exportConntrack(queueClock_);
  }

  if (mark == 2) verdict = NF_DROP;
  return nfq_set_verdict2(qh, id, verdict, mark, 0, nullptr);
}
