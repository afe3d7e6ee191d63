#include "FlowHash.h"

FlowHash::FlowHash(uint32_t buckets, uint32_t cap)
    : table_(new Flow *[buckets]()),
      buckets_(buckets),
      count_(0),
      cap_(cap),
      cursor_(buckets - 1),
      purgeSlice_(buckets < 64 ? 1 : buckets / 32) {}

FlowHash::~FlowHash() {
  clear();
  delete[] table_;
}

Flow *FlowHash::find(uint8_t ipVersion, const uint8_t *source, const uint8_t *destination,
                     uint16_t sourcePort, uint16_t destinationPort, uint8_t l4Protocol,
                     uint8_t *direction) const {
  uint32_t b = Flow::hash(ipVersion, source, destination, sourcePort, destinationPort,
                          l4Protocol) % buckets_;
  for (Flow *f = table_[b]; f; f = f->next) {
    if (f->idleMark || f->isIdle()) continue;
    if (f->matches(ipVersion, source, destination, sourcePort, destinationPort, l4Protocol,
                   direction))
      return f;
  }
  return nullptr;
}

bool FlowHash::add(Flow *flow) {
  if (count_ >= cap_) return false;
  uint32_t b = flow->hash() % buckets_;
  flow->bucket = b;
  flow->previous = nullptr;
  flow->next = table_[b];
  if (table_[b]) table_[b]->previous = flow;
  table_[b] = flow;
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
  count_--;
}

uint32_t FlowHash::purgeStep() {
  uint32_t deleted = 0;
  for (uint32_t i = 0; i < purgeSlice_; i++) {
    cursor_ = cursor_ + 1 >= buckets_ ? 0 : cursor_ + 1;
    Flow *f = table_[cursor_];
    while (f) {
      Flow *next = f->next;
      if (f->idleMark) {
        unlink(f);
        delete f;
        deleted++;
      } else if (f->isIdle()) {
        f->idleMark = 1;
      }
      f = next;
    }
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
  count_ = 0;
}

bool FlowHash::walk(bool (*callback)(Flow *flow, void *user), void *user) const {
  for (uint32_t b = 0; b < buckets_; b++) {
    for (Flow *f = table_[b]; f; f = f->next) {
      if (f->idleMark || f->isIdle()) continue;
      if (callback(f, user)) return true;
    }
  }
  return false;
}
