#include "BlacklistFetch.h"

#include <chrono>

#include "Log.h"

BlacklistFetch::BlacklistFetch(std::vector<std::string> urls, long connectTimeout,
                               long totalTimeout)
    : urls_(std::move(urls)) {
  lists_.setTimeouts(connectTimeout, totalTimeout);
  thread_ = std::thread(&BlacklistFetch::run, this);
}

BlacklistFetch::~BlacklistFetch() {
  abort_.store(true);
  if (thread_.joinable()) thread_.join();
}

void BlacklistFetch::run() {
  unsigned loaded = 0;
  for (const std::string &url : urls_) {
    if (abort_.load()) break;
    if (lists_.download(url.c_str(), &abort_)) loaded++;
  }
  if (!abort_.load())
    VESK_LOG(TRACE_NORMAL, "Blacklists ready: %u of %u lists loaded", loaded,
             (unsigned)urls_.size());
  {
    std::lock_guard<std::mutex> guard(lock_);
    done_.store(true, std::memory_order_release);
  }
  ended_.notify_all();
}

bool BlacklistFetch::wait(unsigned timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  return ended_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return done(); });
}

bool BlacklistFetch::contains(const uint8_t *address, int ipVersion) const {
  // The trees are written only by the download thread, before done is set.
  return done() && lists_.contains(address, ipVersion);
}
