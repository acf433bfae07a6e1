// Tests of tasks, task queues, the Lock and the queue sizes.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "HostCpu.h"
#include "TaskQ.h"

namespace {

class FuncTask : public Task {
 public:
  FuncTask(TaskQ* q, std::function<void()> f) : Task(q), mFunc(std::move(f)) {}
  void operator()() override { mFunc(); }
  std::function<void()> mFunc;
};

// Holds tasks inside operator() until the test opens it, so that the test
// decides when workers are busy; counts the tasks that reached it.
struct Gate {
  void Arrive() { Change([&] { arrived++; }); }
  void Open() { Change([&] { open = true; }); }
  void Wait() { WaitUntil([&] { return open; }); }
  void WaitArrived(int n) { WaitUntil([&] { return arrived >= n; }); }
  template <class F> void Change(F f) {
    std::lock_guard<std::mutex> lk(mutex);
    f();
    cond.notify_all();
  }
  template <class P> void WaitUntil(P pred) {
    std::unique_lock<std::mutex> lk(mutex);
    cond.wait(lk, pred);
  }
  std::mutex mutex;
  std::condition_variable cond;
  bool open = false;
  int arrived = 0;
};

// Occupies every worker of a queue until the gate opens.
std::vector<std::unique_ptr<FuncTask>> BlockWorkers(TaskQ* q, Gate* gate) {
  std::vector<std::unique_ptr<FuncTask>> blockers;
  for (int i = 0; i < q->WorkerCount(); i++) {
    blockers.push_back(std::make_unique<FuncTask>(q, [gate] {
      gate->Arrive();
      gate->Wait();
    }));
    blockers.back()->Activate();
  }
  gate->WaitArrived(q->WorkerCount());
  return blockers;
}

}  // namespace

TEST(TaskJoin, ReturnsOnlyAfterTheWorkHasFinishedForEveryJoiner) {
  TaskQ q(2);
  Gate gate;
  std::atomic<bool> finished{false};
  FuncTask task(&q, [&] {
    gate.Wait();
    finished = true;
  });
  task.Activate();

  std::atomic<int> sawUnfinished{0};
  std::vector<std::thread> joiners;
  for (int i = 0; i < 3; i++)
    joiners.emplace_back([&] {
      task.Join();
      if (!finished) sawUnfinished++;
    });
  gate.Open();
  for (auto& t : joiners) t.join();
  EXPECT_EQ(sawUnfinished, 0) << "a joiner returned before the work was done";

  // Joining a task that has already run returns at once, any number of times.
  task.Join();
  task.Join();
  EXPECT_TRUE(finished);

  // Work that throws ends that task only: it is done, failed, and its
  // worker serves the next task. A task never handed over joins at once.
  TaskQ one(1);
  FuncTask thrower(&one, [] { throw std::bad_alloc(); });
  FuncTask next(&one, [] {});
  thrower.Activate();
  next.Activate();
  thrower.Join();
  next.Join();
  EXPECT_TRUE(thrower.mFailed);
  EXPECT_FALSE(next.mFailed);
  FuncTask never(&one, [] {});
  never.Join();
}

TEST(TaskQueue, TasksQueuedBehindBusyWorkersStartInActivationOrder) {
  // With every worker held, the queued tasks can only be taken in FIFO order;
  // the test takes them itself and checks that order.
  TaskQ q(3);
  Gate gate;
  auto blockers = BlockWorkers(&q, &gate);
  std::vector<std::unique_ptr<FuncTask>> tasks;
  for (int i = 0; i < 20; i++) tasks.push_back(std::make_unique<FuncTask>(&q, [] {}));
  for (auto& t : tasks) t->Activate();
  for (auto& t : tasks) EXPECT_EQ(q.Pop(), t.get());

  // Hand them back and let the workers run them; nothing may be lost.
  std::atomic<int> ran{0};
  for (auto& t : tasks) {
    t->mFunc = [&] { ran++; };
    t->Activate();
  }
  gate.Open();
  for (auto& t : tasks) t->Join();
  for (auto& b : blockers) b->Join();
  EXPECT_EQ(ran, 20);
}

TEST(TaskQueue, ConcurrentProducersGetEveryTaskRunOnceAndOneWorkerKeepsTheirOrder) {
  for (int workers : {1, 4}) {
    SCOPED_TRACE(workers);
    TaskQ q(workers);
    constexpr int kProducers = 8, kPerProducer = 400;
    std::vector<std::atomic<int>> runs(kProducers * kPerProducer);
    std::vector<int> lastSeen(kProducers, -1);  // written only when there is one worker
    std::atomic<int> outOfOrder{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++)
      producers.emplace_back([&, p] {
        // Each producer joins and deletes its own tasks, as owners do.
        std::vector<std::unique_ptr<FuncTask>> mine;
        for (int i = 0; i < kPerProducer; i++) {
          mine.push_back(std::make_unique<FuncTask>(&q, [&, p, i] {
            runs[size_t(p * kPerProducer + i)]++;
            if (workers > 1) return;
            if (lastSeen[size_t(p)] != i - 1) outOfOrder++;
            lastSeen[size_t(p)] = i;
          }));
          mine.back()->Activate();
        }
        for (auto& t : mine) t->Join();
      });
    for (auto& t : producers) t.join();
    int wrong = 0;
    for (auto& r : runs) wrong += r.load() != 1;
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(outOfOrder, 0);
  }
}

TEST(TaskQueue, TasksMayQueueAndJoinTasksOnTheirOwnAndOtherQueues) {
  // A task fans out into children on its own queue (room for them: 4
  // workers, 1 parent) and into grandchildren on a second queue, and joins
  // them all from inside operator(), as the page tasks do with compression.
  TaskQ q(4);
  TaskQ other(2);
  std::atomic<int> leaves{0};
  FuncTask parent(&q, [&] {
    std::vector<std::unique_ptr<FuncTask>> children;
    for (int c = 0; c < 3; c++) {
      children.push_back(std::make_unique<FuncTask>(&q, [&] {
        std::vector<std::unique_ptr<FuncTask>> leafs;
        for (int l = 0; l < 5; l++) {
          leafs.push_back(std::make_unique<FuncTask>(&other, [&] { leaves++; }));
          leafs.back()->Activate();
        }
        for (auto& l : leafs) l->Join();
      }));
      children.back()->Activate();
    }
    for (auto& c : children) c->Join();
  });
  parent.Activate();
  parent.Join();
  EXPECT_EQ(leaves, 15);
}

TEST(TaskQueue, DestroyingAQueueRunsWhatWasQueuedAndStopsItsWorkers) {
  // Tasks and the gate outlive the queue, as their owners would.
  std::atomic<int> ran{0};
  Gate gate;
  std::vector<std::unique_ptr<FuncTask>> blockers, tasks;
  {
    TaskQ q(2);
    blockers = BlockWorkers(&q, &gate);
    for (int i = 0; i < 50; i++) {
      tasks.push_back(std::make_unique<FuncTask>(&q, [&] { ran++; }));
      tasks.back()->Activate();
    }
    gate.Open();
  }  // destroyed with tasks still queued
  EXPECT_EQ(ran, 50) << "tasks queued before destruction must still run";
  for (auto& t : tasks) t->Join();  // and be marked done, so no joiner hangs

  // Idle queues come and go without hanging or leaking threads.
  for (int i = 0; i < 20; i++) {
    TaskQ q(3);
    if (i % 2) {
      FuncTask t(&q, [] {});
      t.Activate();
      t.Join();
    }
  }
}

TEST(TaskQueue, WorkerCountsFollowTheMachine) {
  TaskQ q(0);
  EXPECT_EQ(q.WorkerCount(), quirel::host::PhysicalCpuCount());
  EXPECT_GE(quirel::host::PhysicalCpuCount(), 1);
  EXPECT_LE(quirel::host::PhysicalCpuCount(), quirel::host::LogicalCpuCount());

  const int table[][2] = {{-1, 2}, {0, 2}, {1, 2}, {2, 3}, {3, 4},   {4, 4},   {11, 11},
                          {12, 10}, {15, 10}, {16, 12}, {64, 12}};
  for (auto& row : table)
    EXPECT_EQ(CompressionQueueWorkers(row[0]), row[1]) << "for " << row[0] << " CPUs";
}

TEST(TaskLock, WaitersWakeWhenTheValueSatisfiesTheirPredicate) {
  Lock lock(0);
  auto atLeast = [](int value, int arg) { return value >= arg; };
  std::atomic<int> woke{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; i++)
    waiters.emplace_back([&] {
      lock.Acquire();
      lock.WaitForCond(atLeast, 3);
      int seen = lock.mValue;
      lock.Release();
      if (seen >= 3) woke++;
    });
  for (int i = 0; i < 3; i++) {
    lock.Acquire();
    lock.IncValBy(1);  // releases the lock
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woke, 3);
  lock.Acquire();
  lock.SetValTo(-7);
  EXPECT_EQ(lock.PeekVal(), -7);
}
