// A queue's table of flows: buckets of doubly linked chains, a cap on the
// number of flows and a purge that visits a fixed slice of buckets per step.
#ifndef VESK_FLOWHASH_H
#define VESK_FLOWHASH_H

#include <cstdint>

#include "Flow.h"

class FlowHash {
 public:
  // Throws std::bad_alloc when the bucket array cannot be allocated.
  FlowHash(uint32_t buckets, uint32_t cap);
  ~FlowHash();
  FlowHash(const FlowHash &) = delete;
  FlowHash &operator=(const FlowHash &) = delete;

  // The first live flow that matches the tuple either way; idle or marked
  // flows are invisible.
  Flow *find(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
             uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol,
             uint8_t *direction) const;
  // False when the table is full.
  bool add(Flow *flow);
  // Takes the flow out of its chain without freeing it.
  void unlink(Flow *flow);
  // Visits the next slice of buckets: deletes flows marked idle on the
  // previous visit and marks the flows that have become idle.
  uint32_t purgeStep();
  void clear();
  // Calls the callback on every live flow until one returns true.
  bool walk(bool (*callback)(Flow *flow, void *user), void *user) const;

  uint32_t count() const { return count_; }
  uint32_t buckets() const { return buckets_; }
  uint32_t cap() const { return cap_; }

 private:
  Flow **table_;
  uint32_t buckets_;
  uint32_t count_;
  uint32_t cap_;
  uint32_t cursor_;
  uint32_t purgeSlice_;
};

#endif
