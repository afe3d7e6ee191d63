#include "FlowHash.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "VeskError.h"
#include "oxlo_memory.h"
#include "oxlo_slab.h"

// Old buckets moved per lookup, insertion or removal while resizing: a
// resize started at N flows ends within N/8 new flows, long before the next
// one is due (at 2N).
static const uint32_t kMovesPerStep = 4;
// Empty old buckets skipped per moved one at most, so a step stays short
// in a sparse array.
static const uint32_t kEmptyVisitsPerMove = 10;
// A flow record and its engine state share one slot; the state needs no
// more than 8-byte alignment, and every byte counts in a table of a million.
static const size_t kFlowBytes = Flow::slotBytes();
// Engine entries at most (flows name theirs in 16 bits).
static const size_t kMaxEngines = 65536;

// A bucket: the chain's head in the low 48 bits (user-space addresses are
// below 2^47), above them 16 filter bits, one set per flow of the chain by
// the top four bits of its hash (the bucket index takes the low bits).
static const unsigned kFilterShift = 48;
static const uint64_t kHeadMask = (uint64_t(1) << kFilterShift) - 1;

static Flow *headOf(uint64_t bucket) { return reinterpret_cast<Flow *>(bucket & kHeadMask); }
static uint64_t filterBit(uint32_t hash) { return uint64_t(1) << (kFilterShift + (hash >> 28)); }
static uint64_t bucketOf(Flow *head, uint64_t filter) {
  return reinterpret_cast<uintptr_t>(head) | (filter & ~kHeadMask);
}

// A bucket array of zeros. Past a huge page it is mapped in huge pages:
// every lookup reads it at random, and the kernel's zero pages cost no pass
// over it either way.
static uint64_t *newHeads(uint32_t buckets) {
  size_t bytes = static_cast<size_t>(buckets) * sizeof(uint64_t);
  if (bytes >= OXLO_HUGE_PAGE) return static_cast<uint64_t *>(oxlo_heap_huge_alloc(bytes));
  return static_cast<uint64_t *>(calloc(buckets, sizeof(uint64_t)));
}

static void freeHeads(uint64_t *heads, uint32_t buckets) {
  size_t bytes = static_cast<size_t>(buckets) * sizeof(uint64_t);
  if (bytes >= OXLO_HUGE_PAGE)
    oxlo_heap_huge_free(heads, bytes);
  else
    free(heads);
}

// A flow record and its engine state.
static size_t slotBytes() { return kFlowBytes + oxlo_flow_state_size(); }

static uint32_t roundUpPowerOfTwo(uint32_t n) {
  uint32_t p = 1;
  while (p < n && p < (1u << 31)) p <<= 1;
  return p;
}

// Slots per slab chunk for a table of this many buckets: small tables take
// little memory, large ones few allocations. The chunks of a large table
// fill a huge page each: a flood's new flows then cost one page fault per
// 2 MiB of slots instead of one per 4 KiB, each a costly exit on a virtual
// machine.
static uint32_t chunkSlotsFor(uint32_t buckets, size_t slotBytes) {
  uint32_t n = buckets / 16;
  if (n < 64) return 64;
  if (n <= 4096) return n;
  return static_cast<uint32_t>((OXLO_HUGE_PAGE + slotBytes - 1) / slotBytes);
}

// Chunks waiting for their pages to be written (one per table at a time, so
// the bound is never met in practice); past it a chunk is handed back
// unwritten and its pages are faulted in by the packets, as without this.
static const size_t kPrefaultQueue = 4;

// Maps the pages of the range writable. The kernel does it in one call
// without writing the bytes (a fresh mapping reads as zeros already);
// where it cannot, the range is written.
static void faultIn(void *start, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t from = reinterpret_cast<uintptr_t>(start) & ~(page - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(start) + bytes + page - 1) & ~(page - 1);
  if (madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE) == 0) return;
#endif
  memset(start, 0, bytes);
}

struct FlowHash::Prefaulter {
  struct Range {
    void *slots;
    size_t bytes;
    void *chunk;
  };
  std::mutex lock;
  std::condition_variable wake;
  std::deque<Range> ranges;
  bool stop = false;
  std::thread thread;

  Prefaulter() : thread([this] { run(); }) {}
  ~Prefaulter() {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
    }
    wake.notify_one();
    thread.join();
  }
  void post(const Range &r) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (ranges.size() >= kPrefaultQueue) {
        oxlo_slab_ahead_ready(r.chunk);
        return;
      }
      ranges.push_back(r);
    }
    wake.notify_one();
  }
  void run() {
    // Named apart from the queue's thread it was started by, for profiles
    // and per-thread CPU figures.
    pthread_setname_np(pthread_self(), "flow-prefault");
    std::unique_lock<std::mutex> guard(lock);
    while (true) {
      wake.wait(guard, [this] { return stop || !ranges.empty(); });
      if (stop) return;
      Range r = ranges.front();
      ranges.pop_front();
      guard.unlock();
      // The slab hands none of these slots out before they are marked
      // ready, so faulting them in (or writing them) races with nothing.
      faultIn(r.slots, r.bytes);
      oxlo_slab_ahead_ready(r.chunk);
      guard.lock();
    }
  }
};

void FlowHash::chunkMadeAhead(void *user, void *slots, size_t bytes, void *chunk) {
  FlowHash *table = static_cast<FlowHash *>(user);
  if (!table->prefaulter_) {
    try {
      table->prefaulter_ = new Prefaulter();
    } catch (const std::exception &) {
      oxlo_slab_ahead_ready(chunk);  // no thread: the packets fault the pages in
      return;
    }
  }
  table->prefaulter_->post({slots, bytes, chunk});
}

FlowHash::FlowHash(uint32_t buckets, uint32_t cap) : FlowHash(buckets, cap, FlowHashKey::random()) {}

FlowHash::FlowHash(uint32_t buckets, uint32_t cap, const FlowHashKey &key, bool resizable)
    : minBuckets_(roundUpPowerOfTwo(buckets ? buckets : 1)), cap_(cap), key_(key) {
  // More buckets than flows buy nothing.
  maxBuckets_ = resizable ? roundUpPowerOfTwo(cap > minBuckets_ ? cap : minBuckets_) : minBuckets_;
  table_[0].heads = newHeads(minBuckets_);
  table_[0].mask = minBuckets_ - 1;
  slab_ = oxlo_slab_new(slotBytes(), chunkSlotsFor(minBuckets_, slotBytes()));
  if (!table_[0].heads || !slab_) {
    if (table_[0].heads) freeHeads(table_[0].heads, minBuckets_);
    oxlo_slab_destroy(slab_);
    throw VeskError("Unable to allocate flow hash");
  }
  oxlo_slab_set_ahead(slab_, chunkMadeAhead, this);
}

FlowHash::~FlowHash() {
  delete prefaulter_;  // before the chunks it may be faulting in go
  clear();
  for (Buckets &b : table_)
    if (b.heads) freeHeads(b.heads, b.mask + 1);
  oxlo_slab_destroy(slab_);
}

uint64_t *FlowHash::chainOf(uint32_t hash) {
  uint32_t old = hash & table_[0].mask;
  if (resizing_ && old < moved_) return &table_[1].heads[hash & table_[1].mask];
  return &table_[0].heads[old];
}

void FlowHash::startResize(uint32_t buckets) {
  uint64_t *heads = newHeads(buckets);
  if (!heads) return;  // the table works on at a higher load; retried later
  table_[1].heads = heads;
  table_[1].mask = buckets - 1;
  moved_ = 0;
  resizing_ = true;
  oxlo_slab_set_chunk_slots(slab_, chunkSlotsFor(buckets, slotBytes()));
}

void FlowHash::moveBuckets(uint32_t steps) {
  uint32_t oldBuckets = table_[0].mask + 1;
  uint32_t emptyVisits = steps * kEmptyVisitsPerMove;
  while (steps > 0 && moved_ < oldBuckets) {
    Flow *f = headOf(table_[0].heads[moved_]);
    if (!f) {
      moved_++;
      if (--emptyVisits == 0) break;
      continue;
    }
    while (f) {
      Flow *next = f->next;
      uint64_t *bucket = &table_[1].heads[f->hashValue & table_[1].mask];
      f->next = headOf(*bucket);
      *bucket = bucketOf(f, *bucket | filterBit(f->hashValue));
      f = next;
    }
    table_[0].heads[moved_++] = 0;
    steps--;
  }
  if (moved_ < oldBuckets) {
    // The heads the next step moves, on their way to the cache meanwhile
    // (the old array is read in order; the flows are anywhere).
    for (uint32_t i = moved_, n = 0; i < oldBuckets && i < moved_ + 16 && n < kMovesPerStep; i++)
      if (Flow *head = headOf(table_[0].heads[i])) {
        __builtin_prefetch(head, 1);
        n++;
      }
    return;
  }
  freeHeads(table_[0].heads, table_[0].mask + 1);
  table_[0] = table_[1];
  table_[1] = Buckets();
  resizing_ = false;
  moved_ = 0;
}

void FlowHash::prefetch(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
                        uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol) {
  __builtin_prefetch(chainOf(Flow::hash(key_, ipVersion, source, destination, sourcePort,
                                        destinationPort, l4Protocol)));
}

Flow *FlowHash::find(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
                     uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol,
                     uint8_t *direction) {
  if (resizing_) moveBuckets(kMovesPerStep);
  uint32_t h = Flow::hash(key_, ipVersion, source, destination, sourcePort, destinationPort,
                          l4Protocol);
  uint64_t bucket = *chainOf(h);
  if (!(bucket & filterBit(h))) return nullptr;
  for (Flow *f = headOf(bucket); f; f = f->next) {
    if (f->hashValue != h || f->isIdle(now_)) continue;
    if (f->matches(ipVersion, source, destination, sourcePort, destinationPort, l4Protocol,
                   direction))
      return f;
  }
  return nullptr;
}

bool FlowHash::engineEntry(const DetectionEnginePtr &engine, uint16_t *index) {
  if (lastEngine_ < engines_.size() && engines_[lastEngine_].flows > 0 &&
      engines_[lastEngine_].engine == engine) {
    *index = lastEngine_;
    return true;
  }
  size_t free = engines_.size();
  for (size_t i = 0; i < engines_.size(); i++) {
    if (engines_[i].flows > 0 && engines_[i].engine == engine) {
      *index = lastEngine_ = static_cast<uint16_t>(i);
      return true;
    }
    if (engines_[i].flows == 0 && free == engines_.size()) free = i;
  }
  if (free == engines_.size()) {
    if (engines_.size() >= kMaxEngines) return false;
    try {
      engines_.emplace_back();
    } catch (const std::bad_alloc &) {
      return false;
    }
  }
  engines_[free].engine = engine;
  *index = lastEngine_ = static_cast<uint16_t>(free);
  return true;
}

Flow *FlowHash::create(const DetectionEnginePtr &engine, uint32_t queueId, uint32_t now,
                       uint8_t l4Protocol, uint8_t ipVersion, const uint8_t *source,
                       uint16_t sourcePort, const uint8_t *destination,
                       uint16_t destinationPort, uint32_t inInterface, uint32_t outInterface) {
  uint8_t *slot = static_cast<uint8_t *>(oxlo_slab_take(slab_));
  if (!slot) return nullptr;
  uint16_t index;
  if (!engineEntry(engine, &index)) {
    oxlo_slab_give(slot);
    return nullptr;
  }
  oxlo_flow_state_init(slot + kFlowBytes);
  Flow *flow = new (slot) Flow(index, queueId, now, l4Protocol, ipVersion, source, sourcePort,
                               destination, destinationPort, inInterface, outInterface);
  engines_[index].flows++;
  flow->print(module(flow), "[CREATE FLOW]");
  return flow;
}

void FlowHash::release(Flow *flow) {
  if (!flow) return;
  uint16_t index = flow->engineIndex;
  flow->print(module(flow), "[DELETE FLOW]");
  // The state gives what it holds back to the engine's module before the
  // module can go.
  flow->~Flow();
  oxlo_slab_give(flow);
  EngineUse &use = engines_[index];
  if (--use.flows == 0) use.engine.reset();
}

uint32_t FlowHash::enginesHeld() const {
  uint32_t n = 0;
  for (const EngineUse &use : engines_) n += use.flows > 0;
  return n;
}

bool FlowHash::add(Flow *flow) {
  if (count_ >= cap_) return false;
  if (resizing_) moveBuckets(kMovesPerStep);
  // An address a bucket cannot hold (none is, without an explicit mapping
  // above 2^48) is a flow the table cannot take.
  if (reinterpret_cast<uintptr_t>(flow) & ~kHeadMask) return false;
  flow->hashValue = flow->hash(key_);
  uint64_t *bucket = chainOf(flow->hashValue);
  flow->next = headOf(*bucket);
  *bucket = bucketOf(flow, *bucket | filterBit(flow->hashValue));
  appendSeen(flow);
  count_++;
  uint32_t buckets = table_[0].mask + 1;
  if (!resizing_ && count_ > buckets && buckets < maxBuckets_) startResize(buckets * 2);
  return true;
}

void FlowHash::unlink(Flow *flow) {
  // The filter is rebuilt from the flows that stay.
  uint64_t *bucket = chainOf(flow->hashValue);
  Flow *head = headOf(*bucket);
  uint64_t filter = 0;
  for (Flow **link = &head; *link;) {
    Flow *f = *link;
    if (f == flow) {
      *link = f->next;
      continue;
    }
    filter |= filterBit(f->hashValue);
    link = &f->next;
  }
  *bucket = head ? bucketOf(head, filter) : 0;
  flow->next = nullptr;
  unlinkSeen(flow);
  count_--;
  if (resizing_)
    moveBuckets(kMovesPerStep);
  else
    shrinkIfSparse();
}

void FlowHash::shrinkIfSparse() {
  uint32_t buckets = table_[0].mask + 1;
  if (buckets > minBuckets_ && count_ < buckets / 8) startResize(buckets / 2);
}

void FlowHash::appendSeen(Flow *flow) {
  flow->newerSeen = nullptr;
  flow->olderSeen = newestSeen_;
  if (newestSeen_)
    newestSeen_->newerSeen = flow;
  else
    oldestSeen_ = flow;
  newestSeen_ = flow;
}

void FlowHash::unlinkSeen(Flow *flow) {
  if (flow->olderSeen)
    flow->olderSeen->newerSeen = flow->newerSeen;
  else
    oldestSeen_ = flow->newerSeen;
  if (flow->newerSeen)
    flow->newerSeen->olderSeen = flow->olderSeen;
  else
    newestSeen_ = flow->olderSeen;
  flow->olderSeen = flow->newerSeen = nullptr;
}

void FlowHash::touch(Flow *flow) {
  if (newestSeen_ == flow) return;
  unlinkSeen(flow);
  appendSeen(flow);
}

uint32_t FlowHash::purgeStep(uint32_t limit) {
  // An idle queue still finishes a resize, and shrinks an emptied table;
  // a large step (an idle second's) moves buckets in proportion.
  if (resizing_)
    moveBuckets(limit / 16 > kMovesPerStep ? limit / 16 : kMovesPerStep);
  else
    shrinkIfSparse();
  uint32_t deleted = 0;
  // Flows are in the order of their last packet, so the first one that is
  // not idle ends the step.
  while (deleted < limit && oldestSeen_ && oldestSeen_->isIdle(now_)) {
    Flow *f = oldestSeen_;
    unlink(f);
    release(f);
    deleted++;
  }
  return deleted;
}

void FlowHash::clear() {
  // Every flow is on the list by last packet, whichever array holds it.
  while (oldestSeen_) {
    Flow *f = oldestSeen_;
    oldestSeen_ = f->newerSeen;
    release(f);
  }
  newestSeen_ = nullptr;
  for (Buckets &b : table_)
    if (b.heads)
      for (uint32_t i = 0; i <= b.mask; i++) b.heads[i] = 0;
  count_ = 0;
}

bool FlowHash::walk(bool (*callback)(Flow *flow, void *user), void *user) const {
  for (Flow *f = oldestSeen_; f;) {
    Flow *next = f->newerSeen;  // the callback may not touch the list
    if (!f->isIdle(now_) && callback(f, user)) return true;
    f = next;
  }
  return false;
}

void FlowHash::trim() { oxlo_slab_trim(slab_, 0); }

uint64_t FlowHash::memoryBytes() const {
  uint64_t bytes = oxlo_slab_bytes(slab_);
  for (const Buckets &b : table_)
    if (b.heads) bytes += (static_cast<uint64_t>(b.mask) + 1) * sizeof(Flow *);
  return bytes;
}
