/* The blacklist downloads of one rules load, run on a thread of their own
 * so that neither start-up nor a signal waits for a slow server. Shared by
 * the rule managers of every queue that loaded the same list of URLs; the
 * lists answer only once every download has ended. */
#ifndef VESK_BLACKLIST_FETCH_H
#define VESK_BLACKLIST_FETCH_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Blacklists.h"

class BlacklistFetch {
 public:
  // Starts downloading the URLs (in order) at once.
  explicit BlacklistFetch(std::vector<std::string> urls, long connectTimeout = 10,
                          long totalTimeout = 120);
  // Stops a download in progress (within about 100 ms) and waits for it.
  ~BlacklistFetch();
  BlacklistFetch(const BlacklistFetch &) = delete;
  BlacklistFetch &operator=(const BlacklistFetch &) = delete;

  const std::vector<std::string> &urls() const { return urls_; }
  // True once every download has ended; waits at most timeoutMs for it.
  bool wait(unsigned timeoutMs);
  bool done() const { return done_.load(std::memory_order_acquire); }
  // False until every download has ended.
  bool contains(const uint8_t *address, int ipVersion) const;

 private:
  void run();

  std::vector<std::string> urls_;
  Blacklists lists_;
  std::atomic<bool> abort_{false};
  std::atomic<bool> done_{false};
  std::mutex lock_;
  std::condition_variable ended_;
  std::thread thread_;
};

#endif
