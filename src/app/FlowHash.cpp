#include "FlowHash.h"

FlowHash::FlowHash(uint32_t buckets, uint32_t cap) : FlowHash(buckets, cap, FlowHashKey::random()) {}

FlowHash::FlowHash(uint32_t buckets, uint32_t cap, const FlowHashKey &key)
    : table_(new Flow *[buckets]()), buckets_(buckets), count_(0), cap_(cap), key_(key) {}

FlowHash::~FlowHash() {
  clear();
  delete[] table_;
}

Flow *FlowHash::find(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
                     uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol,
                     uint8_t *direction) const {
  uint32_t b = Flow::hash(key_, ipVersion, source, destination, sourcePort, destinationPort,
                          l4Protocol) % buckets_;
  for (Flow *f = table_[b]; f; f = f->next) {
    if (f->isIdle(now_)) continue;
    if (f->matches(ipVersion, source, destination, sourcePort, destinationPort, l4Protocol,
                   direction))
      return f;
  }
  return nullptr;
}

bool FlowHash::add(Flow *flow) {
  if (count_ >= cap_) return false;
  uint32_t b = bucketOf(flow);
  flow->bucket = b;
  flow->previous = nullptr;
  flow->next = table_[b];
  if (table_[b]) table_[b]->previous = flow;
  table_[b] = flow;
  appendSeen(flow);
  count_++;
  return true;
}

void FlowHash::unlink(Flow *flow) {
  if (flow->previous)
    flow->previous->next = flow->next;
  else
    table_[flow->bucket] = flow->next;
  if (flow->next) flow->next->previous = flow->previous;
  flow->next = flow->previous = nullptr;
  unlinkSeen(flow);
  count_--;
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
  uint32_t deleted = 0;
  // Flows are in the order of their last packet, so the first one that is
  // not idle ends the step.
  while (deleted < limit && oldestSeen_ && oldestSeen_->isIdle(now_)) {
    Flow *f = oldestSeen_;
    unlink(f);
    delete f;
    deleted++;
  }
  return deleted;
}

void FlowHash::clear() {
  for (uint32_t b = 0; b < buckets_; b++) {
    Flow *f = table_[b];
    while (f) {
      Flow *next = f->next;
      delete f;
      f = next;
    }
    table_[b] = nullptr;
  }
  oldestSeen_ = newestSeen_ = nullptr;
  count_ = 0;
}

bool FlowHash::walk(bool (*callback)(Flow *flow, void *user), void *user) const {
  for (uint32_t b = 0; b < buckets_; b++) {
    for (Flow *f = table_[b]; f; f = f->next) {
      if (f->isIdle(now_)) continue;
      if (callback(f, user)) return true;
    }
  }
  return false;
}
