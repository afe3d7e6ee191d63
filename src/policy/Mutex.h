/* A process-private mutex that remembers who last locked and unlocked it,
 * so a stuck lock can be traced to its holder. */
#ifndef VESK_MUTEX_H
#define VESK_MUTEX_H

#include <pthread.h>

#include <cstdint>

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;

  void lock(const char *tag, int line);
  void unlock(const char *tag, int line);

  bool isLocked() const { return locked != 0; }
  const char *lastLocker() const { return lockerTag; }
  int lastLockerLine() const { return lockerLine; }
  const char *lastUnlocker() const { return unlockerTag; }
  int lastUnlockerLine() const { return unlockerLine; }
  uint64_t numLocks() const { return locks; }
  uint64_t numUnlocks() const { return unlocks; }

 private:
  pthread_mutex_t mutex;
  volatile uint8_t locked;
  char lockerTag[64];
  int lockerLine;
  char unlockerTag[64];
  int unlockerLine;
  uint64_t locks, unlocks;
};

#endif
