#include "Mutex.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "PolicyTrace.h"

Mutex::Mutex() : locked(0), lockerLine(0), unlockerLine(0), locks(0), unlocks(0) {
  pthread_mutex_init(&mutex, nullptr);
  lockerTag[0] = unlockerTag[0] = '\0';
}

Mutex::~Mutex() { pthread_mutex_destroy(&mutex); }

static void remember(char *dst, const char *tag) {
  snprintf(dst, 64, "%s", tag ? tag : "");
}

void Mutex::lock(const char *tag, int line) {
  errno = 0;
  int rc = pthread_mutex_lock(&mutex);
  if (rc != 0)
    POLICY_LOG(POLICY_WARNING, "pthread_mutex_lock() returned %d [%s][errno=%d]", rc, strerror(rc),
               errno);
  else
    locked = 1;
  remember(lockerTag, tag);
  lockerLine = line;
  locks++;
}

void Mutex::unlock(const char *tag, int line) {
  errno = 0;
  int rc = pthread_mutex_unlock(&mutex);
  if (rc != 0)
    POLICY_LOG(POLICY_WARNING, "pthread_mutex_unlock() returned %d [%s][errno=%d]", rc,
               strerror(rc), errno);
  else
    locked = 0;
  remember(unlockerTag, tag);
  unlockerLine = line;
  unlocks++;
}
