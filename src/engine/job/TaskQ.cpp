// Tasks, their worker pools, the Lock and the queue sizes (see TaskQ.h).
#include "TaskQ.h"

#include "HostCpu.h"


#include <cstring>
#include <new>

namespace {

// The error code of the last thread start that failed in a TaskQ
// constructor on this thread, for NewTaskQ's reason.
thread_local int tThreadStartError = 0;

void InitMutexAndCond(pthread_mutex_t* mutex, pthread_cond_t* cond) {
  if (pthread_mutex_init(mutex, nullptr) != 0) throw "pthread_mutex_init failed";
  if (pthread_cond_init(cond, nullptr) != 0) {
    pthread_mutex_destroy(mutex);
    throw "pthread_cond_init failed";
  }
}

}  // namespace

// ---- Task ----

Task::Task(TaskQ* queue) : mQueue(queue) { InitMutexAndCond(&mMutex, &mCond); }

Task::~Task() noexcept(false) {
  if (pthread_cond_destroy(&mCond) != 0) throw "pthread_cond_destroy failed";
  if (pthread_mutex_destroy(&mMutex) != 0) throw "pthread_mutex_destroy failed";
}

void Task::Activate() {
  pthread_mutex_lock(&mMutex);
  mActivated = true;
  pthread_mutex_unlock(&mMutex);
  try {
    mQueue->Push(this);
  } catch (...) {
    pthread_mutex_lock(&mMutex);
    mActivated = false;
    pthread_mutex_unlock(&mMutex);
    throw;
  }
}

void Task::Join() {
  pthread_mutex_lock(&mMutex);
  while (mActivated && !mDone) pthread_cond_wait(&mCond, &mMutex);
  pthread_mutex_unlock(&mMutex);
}

// ---- TaskQ ----

TaskQ::TaskQ(int workers) {
  InitMutexAndCond(&mMutex, &mCond);
  if (workers <= 0) workers = quirel::host::PhysicalCpuCount();
  try {
    mWorkers.reserve(size_t(workers));
  } catch (...) {
    pthread_cond_destroy(&mCond);
    pthread_mutex_destroy(&mMutex);
    throw;
  }
  for (int i = 0; i < workers; i++) {
    pthread_t thread;
    if (int rc = pthread_create(&thread, nullptr, &TaskQ::Run, this); rc != 0) {
      // A queue short of workers could leave tasks waiting for ever; give up
      // on the whole queue instead.
      tThreadStartError = rc;
      StopWorkers();
      pthread_cond_destroy(&mCond);
      pthread_mutex_destroy(&mMutex);
      throw "pthread_create failed";
    }
    mWorkers.push_back(thread);
  }
}

TaskQ::~TaskQ() {
  StopWorkers();
  pthread_cond_destroy(&mCond);
  pthread_mutex_destroy(&mMutex);
}

void TaskQ::StopWorkers() {
  pthread_mutex_lock(&mMutex);
  mStopping = true;
  pthread_cond_broadcast(&mCond);
  pthread_mutex_unlock(&mMutex);
  for (pthread_t thread : mWorkers) pthread_join(thread, nullptr);
  mWorkers.clear();
}

void TaskQ::Push(Task* task) {
  // The list node is made before the lock is taken, so that running out of
  // memory leaves the queue unlocked and the task not handed over.
  std::list<Task*> node{task};
  pthread_mutex_lock(&mMutex);
  mTasks.splice(mTasks.end(), node);
  // Only a worker that announced itself can be asleep; without one, the
  // next worker to look for work finds the task without waiting.
  if (mHasWaiters) {
    mHasWaiters = false;
    pthread_cond_broadcast(&mCond);
  }
  pthread_mutex_unlock(&mMutex);
}

Task* TaskQ::Pop() {
  pthread_mutex_lock(&mMutex);
  while (mTasks.empty()) {
    if (mStopping) {
      pthread_mutex_unlock(&mMutex);
      return nullptr;
    }
    mHasWaiters = true;
    pthread_cond_wait(&mCond, &mMutex);
  }
  Task* task = mTasks.front();
  mTasks.pop_front();
  pthread_mutex_unlock(&mMutex);
  return task;
}

void* TaskQ::Run(void* queue) {
  TaskQ* self = static_cast<TaskQ*>(queue);
  while (Task* task = self->Pop()) {
    bool failed = false;
    try {
      (*task)();
    } catch (...) {
      failed = true;
    }
    // The owner may delete the task as soon as it sees mDone, so nothing of
    // the task is touched after the unlock.
    pthread_mutex_lock(&task->mMutex);
    task->mFailed = failed;
    task->mDone = true;
    pthread_cond_broadcast(&task->mCond);
    pthread_mutex_unlock(&task->mMutex);
  }
  return nullptr;
}

// ---- Queues created on demand ----

namespace {

// Creates the queue; on failure returns null with the literal the
// constructor threw (or "out of memory") in *what and the thread start's
// error code, if that was the failure, in *code.
TaskQ* TryNewTaskQ(int workers, const char** what, int* code) {
  tThreadStartError = 0;
  try {
    return new TaskQ(workers);
  } catch (const char* text) {
    *what = text;
  } catch (const std::bad_alloc&) {
    *what = "out of memory";
  }
  *code = tThreadStartError;
  return nullptr;
}

}  // namespace

TaskQ* NewTaskQ(int workers, std::string* error) {
  const char* what = nullptr;
  int code = 0;
  TaskQ* queue = TryNewTaskQ(workers, &what, &code);
  if (!queue) {
    *error = what;
    if (code != 0) *error += std::string(": ") + std::strerror(code);
  }
  return queue;
}

TaskQ* ProcessTaskQ::Get(std::string* error) {
  if (TaskQ* queue = mQueue.load()) return queue;
  std::lock_guard<std::mutex> lock(mMutex);
  if (TaskQ* queue = mQueue.load()) return queue;
  TaskQ* queue = NewTaskQ(mWorkers(), error);
  mQueue.store(queue);
  return queue;
}

TaskQ* ProcessTaskQ::GetOrThrow() {
  if (TaskQ* queue = mQueue.load()) return queue;
  std::lock_guard<std::mutex> lock(mMutex);
  if (TaskQ* queue = mQueue.load()) return queue;
  const char* what = nullptr;
  int code = 0;
  TaskQ* queue = TryNewTaskQ(mWorkers(), &what, &code);
  if (!queue) throw what;
  mQueue.store(queue);
  return queue;
}

// ---- Lock ----

Lock::Lock(int value) : mValue(value) { InitMutexAndCond(&mMutex, &mCond); }

Lock::~Lock() {
  pthread_cond_destroy(&mCond);
  pthread_mutex_destroy(&mMutex);
}

void Lock::Acquire() { pthread_mutex_lock(&mMutex); }

void Lock::Release() { pthread_mutex_unlock(&mMutex); }

// The value is accessed atomically so that PeekVal needs no lock; every
// change still happens under the mutex, which keeps waiters' checks sound.
void Lock::SetValTo(int value) {
  __atomic_store_n(&mValue, value, __ATOMIC_RELAXED);
  pthread_cond_broadcast(&mCond);
  pthread_mutex_unlock(&mMutex);
}

void Lock::IncValBy(int delta) {
  __atomic_store_n(&mValue, __atomic_load_n(&mValue, __ATOMIC_RELAXED) + delta, __ATOMIC_RELAXED);
  pthread_cond_broadcast(&mCond);
  pthread_mutex_unlock(&mMutex);
}

void Lock::BroadcastCond() { pthread_cond_broadcast(&mCond); }

int Lock::PeekVal() const { return __atomic_load_n(&mValue, __ATOMIC_RELAXED); }

void Lock::WaitForCond(Predicate pred, int arg) {
  while (!pred(__atomic_load_n(&mValue, __ATOMIC_RELAXED), arg)) pthread_cond_wait(&mCond, &mMutex);
}

// ---- queue sizes ----

int CompressionQueueWorkers(int logicalCpus) {
  if (logicalCpus < 1) logicalCpus = 1;
  if (logicalCpus <= 3) return logicalCpus + 1;
  if (logicalCpus <= 11) return logicalCpus;
  if (logicalCpus <= 15) return 10;
  return 12;
}

