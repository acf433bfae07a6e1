// Joinable units of work on fixed pools of worker threads.
//
// A Task is created by its owner, handed to its queue once with Activate(),
// run once by one worker, and joined by whoever needs its result; only after
// Join() has returned may the owner read the task's results or delete it.
// The queue never owns its tasks. Tasks start in activation order; with
// several workers they may finish in any order. A task that blocks inside
// operator() keeps its worker for that whole time: the pool never grows.
//
// Thread safety: Activate, Join, Push and Pop may be called from any thread.
// Failures of the thread primitives in the constructors and in the Task
// destructor are thrown as a C string (const char*) and print nothing.
#pragma once

#include <pthread.h>

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <vector>

class TaskQ;

class Task {
 public:
  explicit Task(TaskQ* queue);
  // Throws when the condition or mutex cannot be destroyed, which happens
  // only when a thread still waits in Join(): a task must be joined before
  // its owner deletes it.
  virtual ~Task() noexcept(false);

  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // The work itself; runs on a worker of the task's queue.
  virtual void operator()() = 0;

  // Hands the task to its queue. Call once per task. Throws std::bad_alloc,
  // with the task not handed over, when the queue has no memory for it.
  void Activate();
  // Waits until the task's work has returned; at once if it already has, or
  // if the task was never handed to its queue (its owner gave up before).
  // Any number of threads may join the same task.
  void Join();

  pthread_mutex_t mMutex;  // guards mDone and mActivated
  pthread_cond_t mCond;    // broadcast when mDone becomes true
  TaskQ* const mQueue;
  bool mDone = false;
  bool mActivated = false;
  // The work ended by an exception, which the worker caught: a worker thread
  // never ends the process. Read after Join.
  bool mFailed = false;
};

class TaskQ {
 public:
  // Starts `workers` threads; for 0 or less, one per physical CPU.
  explicit TaskQ(int workers);
  // The engine's own queues live for the whole process and are never
  // destroyed. A queue that is destroyed lets its workers finish every task
  // already pushed, then stops and joins them; a task still blocking inside
  // operator() therefore holds the destructor up.
  ~TaskQ();

  TaskQ(const TaskQ&) = delete;
  TaskQ& operator=(const TaskQ&) = delete;

  void Push(Task* task);
  // Takes the oldest task, waiting while there is none. Returns null only
  // once the queue is being destroyed and no task is left.
  Task* Pop();
  // Entry of a worker thread; the argument is the queue.
  static void* Run(void* queue);

  int WorkerCount() const { return int(mWorkers.size()); }

  bool mHasWaiters = false;  // a worker waits for work: the next push wakes
  pthread_mutex_t mMutex;    // guards mTasks, mHasWaiters and mStopping
  pthread_cond_t mCond;      // broadcast when work is available
  std::list<Task*> mTasks;   // FIFO: pushed at the back, taken from the front

 private:
  void StopWorkers();

  bool mStopping = false;
  std::vector<pthread_t> mWorkers;
};

// A mutex with a condition and an integer value. The value changes only
// with the lock held: Acquire(), optionally WaitForCond(), then SetValTo()
// or IncValBy(), which change the value, broadcast and release the lock.
class Lock {
 public:
  using Predicate = bool (*)(int value, int arg);

  explicit Lock(int value = 0);
  ~Lock();

  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Acquire();
  void Release();
  // Caller holds the lock; it is released on return.
  void SetValTo(int value);
  void IncValBy(int delta);
  void BroadcastCond();
  // Unsynchronised read of the value, for traces and hints only.
  int PeekVal() const;
  // Caller holds the lock; waits until pred(value, arg) is true and returns
  // with the lock still held.
  void WaitForCond(Predicate pred, int arg);

  pthread_mutex_t mMutex;
  pthread_cond_t mCond;
  int mValue;
};

// Creates a queue without throwing: null, with the reason in *error ("out of
// memory", or the failed call and the system's words for its error), when
// the queue's memory or threads cannot be had.
TaskQ* NewTaskQ(int workers, std::string* error);

// A queue of the process that is started on first use, not when the program
// is loaded: a program that never needs it (a query, --help) starts no
// thread, and one that cannot start it learns why instead of dying at load.
// Once started the queue lives until the process ends. Constant-initialised,
// so it may be a namespace-scope static.
class ProcessTaskQ {
 public:
  explicit constexpr ProcessTaskQ(int (*workers)()) : mWorkers(workers) {}
  ProcessTaskQ(const ProcessTaskQ&) = delete;
  ProcessTaskQ& operator=(const ProcessTaskQ&) = delete;

  // The queue, started now when it is not running yet; null with the reason
  // in *error when it cannot be started (a later call tries again).
  TaskQ* Get(std::string* error);
  // As Get, but throws the reason as a C string (the queue's own failure
  // convention) for callers that cannot report a failure.
  TaskQ* GetOrThrow();

 private:
  int (*const mWorkers)();
  std::mutex mMutex;  // serialises starting
  std::atomic<TaskQ*> mQueue{nullptr};
};

// Workers of the document queue, whatever the machine.
constexpr int kDocumentQueueWorkers = 5;

// Workers of the compression queue for a machine of `logicalCpus` CPUs:
// 1-3 gives one more than the count, 4-11 the count, 12-15 gives 10 and
// 16 or more 12. A count below 1 (the query failed) counts as 1.
int CompressionQueueWorkers(int logicalCpus);

