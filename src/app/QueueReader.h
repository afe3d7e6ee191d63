// The NFQUEUE side of a queue: binds the queue, reads its packets in bursts
// on a poll thread of its own, hands each to the packet path and answers
// every one with a verdict: unmarked accepts of a burst in one batch
// verdict, a marked or dropped packet on its own after the ones before it.
// A batch never answers a packet whose own verdict could not be sent.
#ifndef VESK_QUEUEREADER_H
#define VESK_QUEUEREADER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "FlowExport.h"
#include "PacketPath.h"

struct nfq_handle;
struct nfq_q_handle;
struct nfq_data;
struct nfgenmsg;
struct mmsghdr;

class QueueReader {
 public:
  // How verdicts reach the kernel: libnetfilter_queue's calls on the
  // queue's handle by default. Each returns a negative number on failure.
  struct VerdictCalls {
    // The verdict of one packet.
    int (*single)(void *context, uint32_t id, uint32_t verdict, uint32_t mark);
    // The verdict of every queued packet with an id up to this one.
    int (*batch)(void *context, uint32_t id, uint32_t verdict, uint32_t mark);
    void *context;
  };

  // The verdicts of one queue, sent from its poll thread. Unmarked accepts
  // wait for one batch verdict; a drop or a marked accept goes alone, after
  // the accepts before it. The kernel's batch verdict accepts every queued
  // packet up to its id, so a packet whose own verdict failed (once, and
  // once more at once) is held: it is sent again before every later accept
  // and at every flush, and while any is held later accepts go alone (and
  // are held in turn when they fail) and no batch passes its id. One still
  // held when the queue is unbound is dropped by the kernel.
  class Verdicts {
   public:
    Verdicts(uint32_t queueId, VerdictCalls calls) : queueId_(queueId), calls_(calls) {}
    // mark: 0 accept unmarked, 2 drop, any other accept with that mark.
    void give(uint32_t id, uint32_t mark);
    // Sends the held verdicts again, then the batch verdict for the accepts
    // waiting, if any; a failed batch waits for the next flush.
    void flush();
    // Verdicts whose sending failed, each attempt counted.
    uint64_t failures() const { return failures_; }
    // Packets whose own verdict has not been sent yet.
    unsigned held() const { return heldCount_; }

    // The kernel queues at most this many packets (the queue length set at
    // binding), so no more can be held.
    static constexpr unsigned kHeldCapacity = 4096;

   private:
    void accept(uint32_t id);
    // Sends one verdict, and once more when that fails.
    bool sendAlone(uint32_t id, uint32_t verdict, uint32_t mark);
    void hold(uint32_t id, uint32_t verdict, uint32_t mark);
    // In order; the first that fails again ends the attempt.
    void resendHeld();
    void failed(const char *what, uint32_t id);

    struct Held {
      uint32_t id, verdict, mark;
    };
    uint32_t queueId_;
    VerdictCalls calls_;
    bool batchPending_ = false;
    uint32_t batchId_ = 0;
    Held held_[kHeldCapacity];
    unsigned heldCount_ = 0;
    // A failed verdict found the hold full: it can never be sent again, so
    // no batch may pass it (accepts go alone from then on).
    bool holdOverflowed_ = false;
    uint32_t firstLost_ = 0;
    uint64_t failures_ = 0;
    uint64_t failuresSinceReport_ = 0;
    int64_t lastReport_ = 0;
  };

  // Binds the queue. Throws VeskError (logged first) when it cannot be
  // bound; ends the process when the receive buffer cannot be allocated.
  QueueReader(uint32_t queueId, PacketPath &path, FlowExport &exports);
  // Stops and joins the poll thread, then unbinds the queue.
  ~QueueReader();
  QueueReader(const QueueReader &) = delete;
  QueueReader &operator=(const QueueReader &) = delete;

  // Messages one receive call reads: the burst after one that received
  // `received` of `burst` (see the poll loop).
  static constexpr unsigned kSmallestBurst = 16;
  static constexpr unsigned kLargestBurst = 128;
  static unsigned nextBurst(unsigned burst, unsigned received);

  void start();
  void stop() { running_.store(0); }
  bool isRunning() const { return running_.load() != 0; }
  // Stops the poll thread and waits until it has left.
  void join();

 private:
  // Frees whatever construction has built; safe on a partly built reader.
  void release();
  // Releases and throws the message (already logged).
  [[noreturn]] void bindingFailed(const std::string &message);
  void pollLoop();
  void handleMessage(const struct mmsghdr &message);
  // Notes the packet of a message (its bytes stay in the receive buffer
  // until the next receive) and starts loading its flow's bucket.
  int handlePacket(struct nfq_data *nfa);
  // Classifies the packets noted and gives their verdicts, in order.
  void handleNoted();
  static int packetCallback(struct nfq_q_handle *qh, struct nfgenmsg *msg, struct nfq_data *nfa,
                            void *data);

  uint32_t queueId_;
  PacketPath &path_;
  FlowExport &exports_;
  struct nfq_handle *nfqHandle_ = nullptr;
  struct nfq_q_handle *queueHandle_ = nullptr;
  // Set while the queue is unbound: packets still dispatched then are not handled.
  bool releasing_ = false;
  int socket_ = -1;
  uint8_t *receiveBuffer_ = nullptr;  // one message buffer per message of a burst
  // The packets of a burst, noted while its messages are parsed and handled
  // after the last one.
  struct Noted {
    uint32_t id;
    uint32_t inInterface, outInterface;
    const uint8_t *payload;
    uint32_t length;
    bool hasMac;
    uint8_t mac[6];
  };
  static constexpr unsigned kNotedCapacity = 64;
  Noted noted_[kNotedCapacity];
  unsigned notedCount_ = 0;
  std::thread thread_;
  std::atomic<uint8_t> running_{0};
  std::atomic<bool> pollLoopLeft_{true};
  Verdicts verdicts_;
};

#endif
