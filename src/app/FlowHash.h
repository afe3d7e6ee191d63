// A queue's table of flows: buckets of chains under a keyed hash, a cap on
// the number of flows, and a list of the flows by the time they were last
// seen, from which the purge takes idle flows oldest first.
//
// A bucket is one word: the head of its chain, and in the bits above the
// address a small filter of the hashes in the chain (one bit per flow,
// chosen by hash bits the bucket index does not use). A lookup for a tuple
// whose bit is clear, as most lookups of new flows are, ends at the bucket
// without reading a flow record: in a table of a million flows each such
// read is a cache miss. The chains are singly linked, so an insertion
// writes no other record either; a removal walks its chain from the bucket
// (chains are about one flow long) and rebuilds the filter on the way.
//
// The bucket array follows the load: it doubles when there are more flows
// than buckets and halves when fewer than an eighth are used. A resize
// never stops the queue: the new array is filled a few buckets at a time by
// the lookups, insertions and removals that follow, and until the last old
// bucket has moved a flow is in the old array when its old bucket has not
// moved yet, else in the new one. Per-packet work does not grow with the
// number of flows.
//
// Flows and their engine states come from one slab of the table's: a new
// flow costs no allocation of its own once the slab has room, and slab
// chunks grow with the table. The next chunk is made as the current one
// starts to fill and its pages are faulted in by a thread of the table's
// before its slots are used: on a virtual machine the first write to a
// fresh page can cost tens of microseconds, more than the rest of a new
// flow. A large table's chunks are huge pages, one fault each.
#ifndef VESK_FLOWHASH_H
#define VESK_FLOWHASH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "DetectionEngine.h"
#include "Flow.h"

struct oxlo_slab;

class FlowHash {
 public:
  // `buckets` is the smallest bucket count (rounded up to a power of two);
  // the array never shrinks below it and, when `resizable` is false, never
  // grows either (tests). Throws VeskError when the bucket array or the
  // slab cannot be allocated. The hash key is drawn at random unless
  // one is given (tests).
  FlowHash(uint32_t buckets, uint32_t cap);
  FlowHash(uint32_t buckets, uint32_t cap, const FlowHashKey &key, bool resizable = true);
  ~FlowHash();
  FlowHash(const FlowHash &) = delete;
  FlowHash &operator=(const FlowHash &) = delete;

  // The first live flow that matches the tuple either way; idle flows are
  // invisible.
  Flow *find(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
             uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol,
             uint8_t *direction);
  // Starts loading the bucket of the tuple into the cache: a reader of a
  // burst of packets calls it for each before handling the first, so the
  // lookups that follow do not wait for memory one after the other.
  void prefetch(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
                uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol);
  // A new flow with its engine state from the table's slab, not yet in the
  // table, classified by `engine` to its end (the table holds the engine
  // until its last flow goes); NULL without memory. Give it back with
  // release().
  Flow *create(const DetectionEnginePtr &engine, uint32_t queueId, uint32_t now,
               uint8_t l4Protocol, uint8_t ipVersion, const uint8_t *source, uint16_t sourcePort,
               const uint8_t *destination, uint16_t destinationPort, uint32_t inInterface,
               uint32_t outInterface);
  // Deletes a flow that is not in the table (made by create()).
  void release(Flow *flow);
  // The module a flow of this table was made with (NULL: made without one).
  oxlo_module *module(const Flow *flow) const {
    const DetectionEngine *e = engines_[flow->engineIndex].engine.get();
    return e ? e->module() : nullptr;
  }
  // Engines the table's flows hold.
  uint32_t enginesHeld() const;
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

  uint32_t count() const { return count_; }
  // Buckets of the array being filled (the only one when not resizing).
  uint32_t buckets() const { return resizing_ ? table_[1].mask + 1 : table_[0].mask + 1; }
  bool resizing() const { return resizing_; }
  uint32_t cap() const { return cap_; }
  // Frees the slab's empty chunks (an idle queue); a busy one refills them.
  void trim();
  // Bytes of the bucket arrays and of the slab's chunks.
  uint64_t memoryBytes() const;

 private:
  struct Buckets {
    uint64_t *heads = nullptr;  // chain head | filter (see above)
    uint32_t mask = 0;
  };
  // The bucket a hash belongs in now.
  uint64_t *chainOf(uint32_t hash);
  void startResize(uint32_t buckets);
  // Halves the array when fewer than an eighth of its buckets are used.
  void shrinkIfSparse();
  // Moves up to `steps` old buckets to the new array.
  void moveBuckets(uint32_t steps);
  void unlinkSeen(Flow *flow);
  void appendSeen(Flow *flow);

  Buckets table_[2];  // [0] in use; [1] being filled while resizing
  bool resizing_ = false;
  uint32_t moved_ = 0;  // old buckets below this have moved
  uint32_t minBuckets_;
  uint32_t maxBuckets_;
  uint32_t count_ = 0;
  uint32_t now_ = 0;
  uint32_t cap_;
  FlowHashKey key_;
  oxlo_slab *slab_ = nullptr;
  // Faults the slab's next chunk in on a thread of its own (started with
  // the first chunk made ahead).
  struct Prefaulter;
  Prefaulter *prefaulter_ = nullptr;
  static void chunkMadeAhead(void *user, void *slots, size_t bytes, void *chunk);
  // The engines the flows were made with, each with its number of flows:
  // a flow names its engine by its index here, and a reload's new engine
  // leaves the old one to the flows that started on it, freed (when no one
  // else holds it) with the last of them. Few entries: one per engine with
  // live flows.
  struct EngineUse {
    DetectionEnginePtr engine;
    uint32_t flows = 0;
  };
  std::vector<EngineUse> engines_;
  uint16_t lastEngine_ = 0;  // the entry new flows took last
  // The entry of the engine, made when needed; false when the list is full.
  bool engineEntry(const DetectionEnginePtr &engine, uint16_t *index);
  Flow *oldestSeen_ = nullptr;
  Flow *newestSeen_ = nullptr;
};

#endif
