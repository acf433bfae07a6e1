// PthreadLock: holds a pthread mutex for one scope.
#pragma once

#include <pthread.h>

namespace ZuzuvovOvav {

// Locks in the constructor and throws "pthread_mutex_lock failed" when it
// cannot. Unlock() gives the mutex back early and throws
// "pthread_mutex_unlock failed" when it cannot; the destructor gives it back
// when the scope ends still holding it (also when an exception leaves the
// scope), silently, since a destructor must not throw.
class PthreadLock {
 public:
  explicit PthreadLock(pthread_mutex_t* mutex) : mMutex(mutex) {
    if (pthread_mutex_lock(mMutex) != 0) throw "pthread_mutex_lock failed";
    mHeld = true;
  }
  ~PthreadLock() {
    if (mHeld) pthread_mutex_unlock(mMutex);
  }
  PthreadLock(const PthreadLock&) = delete;
  PthreadLock& operator=(const PthreadLock&) = delete;

  void Unlock() {
    mHeld = false;
    if (pthread_mutex_unlock(mMutex) != 0) throw "pthread_mutex_unlock failed";
  }
  // For pthread_cond_wait.
  pthread_mutex_t* Mutex() const { return mMutex; }

 private:
  pthread_mutex_t* mMutex;
  bool mHeld = false;
};

}  // namespace ZuzuvovOvav
