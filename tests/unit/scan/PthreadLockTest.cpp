// Tests of PthreadLock: the failures it reports and the mutex always given back.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>

#include "PthreadLock.h"

namespace {

using ZuzuvovOvav::PthreadLock;

// An error-checking mutex, so that misuse fails instead of hanging.
struct CheckedMutex {
  CheckedMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~CheckedMutex() { pthread_mutex_destroy(&mutex); }
  // True when no thread holds the mutex.
  bool Free() {
    if (pthread_mutex_trylock(&mutex) != 0) return false;
    pthread_mutex_unlock(&mutex);
    return true;
  }
  pthread_mutex_t mutex;
};

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer stops the program at the misuse these rows commit on purpose.
constexpr bool kMisuseAllowed = false;
#else
constexpr bool kMisuseAllowed = true;
#endif

TEST(PthreadLock, ReportsFailuresAndAlwaysGivesTheMutexBack) {
  struct Row {
    const char* what;
    std::function<void(pthread_mutex_t*)> use;
    const char* thrown;  // null: nothing
    bool misuse = false;
  };
  const Row rows[] = {
      {"scope ends", [](pthread_mutex_t* m) { PthreadLock lock(m); }, nullptr},
      {"unlocked early", [](pthread_mutex_t* m) {
         PthreadLock lock(m);
         lock.Unlock();
       },
       nullptr},
      {"locked again by its holder", [](pthread_mutex_t* m) {
         PthreadLock lock(m);
         PthreadLock again(m);
       },
       "pthread_mutex_lock failed", true},
      {"unlocked twice", [](pthread_mutex_t* m) {
         PthreadLock lock(m);
         lock.Unlock();
         lock.Unlock();
       },
       "pthread_mutex_unlock failed", true},
      {"an exception leaves the scope", [](pthread_mutex_t* m) {
         PthreadLock lock(m);
         throw "elsewhere";
       },
       "elsewhere"},
  };
  for (const Row& row : rows) {
    if (row.misuse && !kMisuseAllowed) continue;
    SCOPED_TRACE(row.what);
    CheckedMutex m;
    std::string thrown;
    try {
      row.use(&m.mutex);
    } catch (const char* text) {
      thrown = text;
    }
    EXPECT_EQ(thrown, row.thrown ? row.thrown : "");
    EXPECT_TRUE(m.Free());
  }
}

}  // namespace
