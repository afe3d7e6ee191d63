#include "QueueReader.h"

#include <arpa/inet.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "Trace.h"
#include "VeskError.h"

// Packets are copied whole (up to 65,535 bytes, also GSO packets that the
// kernel passes unsegmented); the netlink and queue headers around one packet
// need far less than the extra room given here, so a received message is
// never cut and every packet gets its verdict.
static const uint32_t kCopyRange = 0xFFFF;
static const size_t kMessageBufferSize = kCopyRange + 65536;
// Messages read by one receive call: a burst is read, handled and answered
// with as few system calls as its verdicts allow. A burst starts at the
// smallest size; while each receive fills it (packets are waiting) it
// doubles up to the largest, and halves again when a receive finds less
// than half of it waiting. Under a backlog the receive and the batch
// verdict then come once per many packets; a queue that is not behind
// answers its packets as soon as it has read them.
static const unsigned kBurst = QueueReader::kLargestBurst;

unsigned QueueReader::nextBurst(unsigned burst, unsigned received) {
  if (received >= burst && burst < kLargestBurst)
    return burst * 2 > kLargestBurst ? kLargestBurst : burst * 2;
  if (received < burst / 2 && burst > kSmallestBurst)
    return burst / 2 < kSmallestBurst ? kSmallestBurst : burst / 2;
  return burst;
}

static std::string formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));
static std::string formatted(const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

static const uint32_t kQueueLength = QueueReader::Verdicts::kHeldCapacity;
// A failed verdict is logged at most once in this many seconds, with the count.
static const int64_t kFailureReportSeconds = 10;

QueueReader::QueueReader(uint32_t queueId, PacketPath &path, FlowExport &exports)
    : queueId_(queueId),
      path_(path),
      exports_(exports),
      verdicts_(queueId,
                {[](void *self, uint32_t id, uint32_t verdict, uint32_t mark) {
                   return nfq_set_verdict2(static_cast<QueueReader *>(self)->queueHandle_, id,
                                           verdict, mark, 0, nullptr);
                 },
                 [](void *self, uint32_t id, uint32_t verdict, uint32_t mark) {
                   return nfq_set_verdict_batch2(static_cast<QueueReader *>(self)->queueHandle_,
                                                 id, verdict, mark);
                 },
                 this}) {
  receiveBuffer_ = static_cast<uint8_t *>(malloc(kMessageBufferSize * kBurst));
  if (!receiveBuffer_)
    bindingFailed(formatted("Unable to allocate the receive buffer [queueId=%u]", queueId_));
  int q = static_cast<int>(queueId_);
  nfqHandle_ = nfq_open();
  if (!nfqHandle_) {
    bindingFailed(formatted("Unable to get netfilter handle [queueId=%d]", q));
  }
  if (nfq_unbind_pf(nfqHandle_, AF_INET) < 0) {
    bindingFailed(formatted("Unable to unbind IPv4 [queueId=%d]", q));
  }
  if (nfq_bind_pf(nfqHandle_, AF_INET) < 0) {
    bindingFailed(formatted("Unable to bind IPv4 [queueId=%d]", q));
  }
  if (nfq_unbind_pf(nfqHandle_, AF_INET6) < 0)
    VESK_LOG(TRACE_WARNING, "Unable to unbind IPv6 [queueId=%d] (may not be loaded)", q);
  if (nfq_bind_pf(nfqHandle_, AF_INET6) < 0)
    VESK_LOG(TRACE_WARNING, "Unable to bind IPv6 [queueId=%d] (IPv6 will not be processed)", q);
  else
    VESK_LOG(TRACE_NORMAL, "IPv6 support enabled");

  queueHandle_ = nfq_create_queue(nfqHandle_, static_cast<uint16_t>(queueId_), packetCallback, this);
  if (!queueHandle_) {
    bindingFailed(formatted("Unable to attach to NF_QUEUE %d: is it already in use?", q));
  }
  VESK_LOG(TRACE_NORMAL, "Polling NF_QUEUE %d", q);

  nfnl_rcvbufsiz(nfq_nfnlh(nfqHandle_), 536870912);

  if (nfq_set_mode(queueHandle_, NFQNL_COPY_PACKET, kCopyRange) < 0) {
    bindingFailed("Unable to set packet_copy mode");
  }
  if (nfq_set_queue_maxlen(queueHandle_, kQueueLength) < 0) {
    bindingFailed("Unable to set queue len");
  }
  // GSO packets arrive whole instead of being cut into MTU-sized segments
  // for the queue: one packet and one verdict for up to 64 KiB of a stream.
  if (nfq_set_queue_flags(queueHandle_, NFQA_CFG_F_GSO, NFQA_CFG_F_GSO) < 0)
    VESK_LOG(TRACE_WARNING, "Unable to receive GSO packets whole [queueId=%d]", q);

  socket_ = nfq_fd(nfqHandle_);
}

// The reason goes with the exception; whoever binds the queue logs it once.
void QueueReader::bindingFailed(const std::string &message) {
  release();
  throw VeskError(message);
}

QueueReader::~QueueReader() {
  join();
  release();
}

void QueueReader::release() {
  // Unbinding waits for the kernel's answer and meanwhile dispatches the
  // packet messages still waiting on the socket to the packet callback;
  // the flows and rules they would need may already be gone. They get no
  // verdict: the kernel drops what is left in the queue as it goes.
  releasing_ = true;
  if (queueHandle_) {
    nfq_destroy_queue(queueHandle_);
    queueHandle_ = nullptr;
  }
  if (nfqHandle_) {
    nfq_close(nfqHandle_);
    nfqHandle_ = nullptr;
  }
  socket_ = -1;
  free(receiveBuffer_);
  receiveBuffer_ = nullptr;
}

// Wakes a poll thread out of its wait so that a stop takes effect at once
// rather than at the end of the wait.
static void onWake(int) {}
static const int kWakeSignal = SIGUSR2;

void QueueReader::start() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction wake {};
    wake.sa_handler = onWake;  // no SA_RESTART: the wait returns EINTR
    sigemptyset(&wake.sa_mask);
    sigaction(kWakeSignal, &wake, nullptr);
  });
  running_.store(1);
  pollLoopLeft_.store(false);
  thread_ = std::thread(&QueueReader::pollLoop, this);
}

void QueueReader::join() {
  running_.store(0);
  if (!thread_.joinable()) return;
  // A wake that comes just before the wait begins is lost: repeat it.
  for (int i = 0; i < 100 && !pollLoopLeft_.load(); i++) {
    pthread_kill(thread_.native_handle(), kWakeSignal);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  thread_.join();
}

void QueueReader::pollLoop() {
  char name[16];
  snprintf(name, sizeof(name), "NF_QUEUE-%u", queueId_);
  pthread_setname_np(pthread_self(), name);

  struct mmsghdr messages[kBurst];
  struct iovec vectors[kBurst];
  unsigned burst = kSmallestBurst;
  // start() sets running before the thread exists, so the loop starts at
  // once: packets that arrive before start-up has finished are answered too
  // (with the fallback verdict while no rules are in force).
  while (running_.load()) {
    // Read what is waiting without blocking; wait (at most a second) only
    // when the socket is empty, so a busy queue costs no wait call per packet.
    memset(messages, 0, burst * sizeof(messages[0]));
    for (unsigned i = 0; i < burst; i++) {
      vectors[i].iov_base = receiveBuffer_ + i * kMessageBufferSize;
      vectors[i].iov_len = kMessageBufferSize;
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(socket_, messages, burst, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    if (n > 0) {
      burst = nextBurst(burst, static_cast<unsigned>(n));
      for (int i = 0; i < n; i++) handleMessage(messages[i]);
      handleNoted();
      verdicts_.flush();
    } else {
      int err = n < 0 ? errno : EAGAIN;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        struct pollfd ready = {socket_, POLLIN, 0};
        int rc = poll(&ready, 1, 1000);
        now = static_cast<uint32_t>(time(nullptr));
        if (rc == 0) {
          // Verdicts that failed are not left until the next packet comes.
          verdicts_.flush();
          path_.idleSecond(now);
        } else if (rc < 0 && errno != EINTR) {
          VESK_LOG(TRACE_WARNING, "NF_QUEUE poll error: [errno: %d/%s]", errno, strerror(errno));
          sleep(1);
        }
      } else {
        // ENOBUFS means the kernel dropped messages for us; the queue is
        // still bound, so stopping here would black-hole its traffic.
        VESK_LOG(err == EINTR ? TRACE_DEBUG : TRACE_WARNING,
                 "NF_QUEUE receive error: [len: %d][errno: %d]", n, err);
        if (err != ENOBUFS && err != EINTR) sleep(1);
      }
    }
    oxlo_stream_stats stream{};
    if (oxlo_module *module = path_.moduleInForce()) oxlo_stream_statistics(module, &stream);
    exports_.setStreamStatistics(stream);
    exports_.sendStatistics(now, path_.fallbackCount(PacketPath::FALLBACK_TABLE_FULL),
                            path_.fallbackCount(PacketPath::FALLBACK_NOT_TRACKED),
                            path_.fallbackCount(PacketPath::FALLBACK_NO_RULES),
                            path_.fallbackCount(PacketPath::FALLBACK_STREAM_UNREAD),
                            path_.fallbackCount(PacketPath::FALLBACK_NO_MEMORY));
  }
  verdicts_.flush();
  if (verdicts_.held() > 0)
    VESK_LOG(TRACE_WARNING,
             "%u packets without their verdict: dropped when the queue is unbound [queueId=%u]",
             verdicts_.held(), queueId_);
  VESK_LOG(TRACE_NORMAL, "Leaving netfilter packet poll loop");
  pollLoopLeft_.store(true);
}

void QueueReader::handleMessage(const struct mmsghdr &message) {
  size_t len = message.msg_len;
  if ((message.msg_hdr.msg_flags & MSG_TRUNC) || len > kMessageBufferSize) {
    VESK_LOG(TRACE_ERROR, "NF_QUEUE message larger than the receive buffer: [len: %d]",
             static_cast<int>(len));
    return;
  }
  int handled = nfq_handle_packet(nfqHandle_, static_cast<char *>(message.msg_hdr.msg_iov->iov_base),
                                  static_cast<int>(len));
  if (handled < 0)
    VESK_LOG(TRACE_WARNING, "nfq_handle_packet() failed: [len: %d][rc: %d][errno: %d]",
             static_cast<int>(len), handled, errno);
}

int QueueReader::packetCallback(struct nfq_q_handle *qh, struct nfgenmsg *, struct nfq_data *nfa,
                                void *data) {
  // One queue per handle: qh is always this reader's queue.
  (void)qh;
  QueueReader *reader = static_cast<QueueReader *>(data);
  if (reader->releasing_) return 0;
  return reader->handlePacket(nfa);
}

int QueueReader::handlePacket(struct nfq_data *nfa) {
  // The attributes sit where the netlink message puts them, not always
  // aligned for their fields: they are copied out before being read.
  const void *headerAttr = nfq_get_msg_packet_hdr(nfa);
  struct nfqnl_msg_packet_hdr header;
  if (headerAttr) memcpy(&header, headerAttr, sizeof(header));
  uint32_t id = headerAttr ? ntohl(header.packet_id) : 0;

  Noted &p = noted_[notedCount_++];
  p.id = id;
  const void *hwAttr = nfq_get_packet_hw(nfa);
  struct nfqnl_msg_packet_hw hw;
  if (hwAttr) memcpy(&hw, hwAttr, sizeof(hw));
  p.hasMac = hwAttr && ntohs(hw.hw_addrlen) == 6;
  if (p.hasMac) memcpy(p.mac, hw.hw_addr, 6);
  unsigned char *payload = nullptr;
  int length = nfq_get_payload(nfa, &payload);
  // A packet without its bytes is not tracked, and gets the fallback verdict
  // like any other packet no flow takes.
  if (length < 0) length = 0;
  p.payload = payload;
  p.length = static_cast<uint32_t>(length);
  p.inInterface = nfq_get_indev(nfa);
  p.outInterface = nfq_get_outdev(nfa);
  path_.prefetch(p.payload, p.length);
  // A message of many packets: those noted go first.
  if (notedCount_ == kNotedCapacity) handleNoted();
  return 0;
}

void QueueReader::handleNoted() {
  if (notedCount_ == 0) return;
  // One clock for the burst: its packets were received together.
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t nowMs = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
  for (unsigned i = 0; i < notedCount_; i++) {
    const Noted &p = noted_[i];
    uint32_t mark = path_.processPacket(static_cast<uint32_t>(ts.tv_sec), p.hasMac ? p.mac : nullptr,
                                        p.inInterface, p.outInterface, p.payload, p.length, nowMs);
    verdicts_.give(p.id, mark);
  }
  notedCount_ = 0;
}

static const char *kindOf(uint32_t verdict, uint32_t mark) {
  return verdict == NF_DROP ? "drop" : mark != 0 ? "mark" : "accept";
}

// Ids as the kernel compares them: they wrap.
static bool idAfter(uint32_t id, uint32_t other) { return static_cast<int32_t>(id - other) > 0; }

void QueueReader::Verdicts::give(uint32_t id, uint32_t mark) {
  if (mark == 0) {
    accept(id);
    return;
  }
  flush();
  uint32_t verdict = mark == 2 ? NF_DROP : NF_ACCEPT;
  if (!sendAlone(id, verdict, mark)) hold(id, verdict, mark);
}

void QueueReader::Verdicts::accept(uint32_t id) {
  if (heldCount_ > 0) resendHeld();
  if (heldCount_ > 0 || holdOverflowed_) {
    // A batch now would answer the held packets too.
    if (!sendAlone(id, NF_ACCEPT, 0)) hold(id, NF_ACCEPT, 0);
    return;
  }
  // The accepts before a wrap of the ids go first.
  if (batchPending_ && id < batchId_) flush();
  batchId_ = id;
  batchPending_ = true;
}

void QueueReader::Verdicts::flush() {
  if (heldCount_ > 0) resendHeld();
  if (!batchPending_) return;
  // Accepts go alone while packets are held, so the batch waiting ends
  // before all of them; were it otherwise, it must not go.
  for (unsigned i = 0; i < heldCount_; i++)
    if (!idAfter(held_[i].id, batchId_)) return;
  if (holdOverflowed_ && !idAfter(firstLost_, batchId_)) return;
  if (calls_.batch(calls_.context, batchId_, NF_ACCEPT, 0) < 0) {
    failed("batch accept", batchId_);
    return;
  }
  batchPending_ = false;
}

bool QueueReader::Verdicts::sendAlone(uint32_t id, uint32_t verdict, uint32_t mark) {
  if (calls_.single(calls_.context, id, verdict, mark) >= 0) return true;
  failed(kindOf(verdict, mark), id);
  if (calls_.single(calls_.context, id, verdict, mark) >= 0) return true;
  failed(kindOf(verdict, mark), id);
  return false;
}

void QueueReader::Verdicts::hold(uint32_t id, uint32_t verdict, uint32_t mark) {
  if (heldCount_ == kHeldCapacity) {
    if (!holdOverflowed_) {
      VESK_LOG(TRACE_ERROR,
               "More verdicts failed than packets can be queued: no batch verdicts from now on "
               "[id: %u][queueId=%u]",
               id, queueId_);
      firstLost_ = id;
    }
    holdOverflowed_ = true;
    return;
  }
  held_[heldCount_++] = {id, verdict, mark};
}

void QueueReader::Verdicts::resendHeld() {
  unsigned sent = 0;
  while (sent < heldCount_) {
    const Held &h = held_[sent];
    if (calls_.single(calls_.context, h.id, h.verdict, h.mark) < 0) {
      failed(kindOf(h.verdict, h.mark), h.id);
      break;
    }
    sent++;
  }
  if (sent == 0) return;
  memmove(held_, held_ + sent, (heldCount_ - sent) * sizeof(Held));
  heldCount_ -= sent;
}

void QueueReader::Verdicts::failed(const char *what, uint32_t id) {
  int err = errno;
  failures_++;
  failuresSinceReport_++;
  int64_t now = static_cast<int64_t>(time(nullptr));
  if (failures_ > 1 && now - lastReport_ < kFailureReportSeconds) return;
  VESK_LOG(TRACE_WARNING,
           "Unable to send a %s verdict: [id: %u][errno: %d][failures: %llu since the last report, "
           "%llu in all][held: %u][queueId=%u]",
           what, id, err, static_cast<unsigned long long>(failuresSinceReport_),
           static_cast<unsigned long long>(failures_), heldCount_, queueId_);
  failuresSinceReport_ = 0;
  lastReport_ = now;
}
