// A queue's table of flows: buckets of doubly linked chains under a keyed
// hash, a cap on the number of flows, and a list of the flows by the time
// they were last seen, from which the purge takes idle flows oldest first.
// Per-packet work does not grow with the number of flows.
#ifndef VESK_FLOWHASH_H
#define VESK_FLOWHASH_H

#include <cstdint>

#include "Flow.h"

class FlowHash {
 public:
  // Throws std::bad_alloc when the bucket array cannot be allocated. The
  // hash key is drawn at random unless one is given (tests).
  FlowHash(uint32_t buckets, uint32_t cap);
  FlowHash(uint32_t buckets, uint32_t cap, const FlowHashKey &key);
  ~FlowHash();
  FlowHash(const FlowHash &) = delete;
  FlowHash &operator=(const FlowHash &) = delete;

  // The first live flow that matches the tuple either way; idle flows are
  // invisible.
  Flow *find(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
             uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol,
             uint8_t *direction) const;
  // False when the table is full.
  bool add(Flow *flow);
  // Takes the flow out of its chain without freeing it.
  void unlink(Flow *flow);
  // The flow has just seen a packet: it becomes the last one the purge
  // reaches.
  void touch(Flow *flow);
  // Deletes up to `limit` idle flows, oldest first; stops at the first flow
  // that is not idle. Returns the number deleted.
  uint32_t purgeStep(uint32_t limit);
  // The owner's clock, which tells idle flows (seconds); lookups, walks and
  // purges skip or take the flows idle at that time.
  void setClock(uint32_t now) { now_ = now; }
  uint32_t clock() const { return now_; }
  void clear();
  // Calls the callback on every live flow until one returns true.
  bool walk(bool (*callback)(Flow *flow, void *user), void *user) const;

  uint32_t bucketOf(const Flow *flow) const { return flow->hash(key_) % buckets_; }
  uint32_t count() const { return count_; }
  uint32_t buckets() const { return buckets_; }
  uint32_t cap() const { return cap_; }

 private:
  void unlinkSeen(Flow *flow);
  void appendSeen(Flow *flow);

  Flow **table_;
  uint32_t buckets_;
  uint32_t count_;
  uint32_t now_ = 0;
  uint32_t cap_;
  FlowHashKey key_;
  Flow *oldestSeen_ = nullptr;
  Flow *newestSeen_ = nullptr;
};

#endif
