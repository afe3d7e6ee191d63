// The NFQUEUE side of a queue: binds the queue, reads its packets in bursts
// on a poll thread of its own, hands each to the packet path and answers
// every one with a verdict: unmarked accepts of a burst in one batch
// verdict, a marked or dropped packet on its own after the ones before it.
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
  // Binds the queue. Throws VeskError (logged first) when it cannot be
  // bound; ends the process when the receive buffer cannot be allocated.
  QueueReader(uint32_t queueId, PacketPath &path, FlowExport &exports);
  // Stops and joins the poll thread, then unbinds the queue.
  ~QueueReader();
  QueueReader(const QueueReader &) = delete;
  QueueReader &operator=(const QueueReader &) = delete;

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
  // Sends the batch verdict for the unmarked accepts waiting, if any.
  void flushVerdicts();
  int handlePacket(struct nfq_q_handle *qh, struct nfq_data *nfa);
  static int packetCallback(struct nfq_q_handle *qh, struct nfgenmsg *msg, struct nfq_data *nfa,
                            void *data);

  uint32_t queueId_;
  PacketPath &path_;
  FlowExport &exports_;
  struct nfq_handle *nfqHandle_ = nullptr;
  struct nfq_q_handle *queueHandle_ = nullptr;
  int socket_ = -1;
  uint8_t *receiveBuffer_ = nullptr;  // one message buffer per message of a burst
  std::thread thread_;
  std::atomic<uint8_t> running_{0};
  std::atomic<bool> pollLoopLeft_{true};
  bool verdictPending_ = false;
  uint32_t pendingVerdictId_ = 0;
};

#endif
