#include "platform/MainThreadQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "WaitUntil.h"
#include "platform/Thread.h"

namespace pallador {
namespace {

using test::WaitUntil;

class MainThreadQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TMainThreadQueue::IsMainThread()); }
  void TearDown() override { MainThread().SetWakeHook(nullptr); }
};

// A thread that makes one synchronous call and keeps what it saw.
class TSyncThread : public TThread {
 public:
  explicit TSyncThread(std::function<void()> Call) : Call_(std::move(Call)) {}
  ~TSyncThread() override { WaitFor(); }

  bool RanOnMain = false;  // written on the main thread, read after the join

 protected:
  void Execute() override {
    MainThread().Synchronize([this] {
      RanOnMain = TMainThreadQueue::IsMainThread();
      if (Call_) Call_();
    });
  }

 private:
  std::function<void()> Call_;
};

TEST_F(MainThreadQueueTest, RunsCallsOfSeveralWorkersInQueueOrder) {
  std::vector<int> order;
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i) {
    workers.emplace_back([i, &order] { MainThread().Synchronize([&] { order.push_back(i); }); });
    // The next worker starts only once this one's call is queued.
    ASSERT_TRUE(WaitUntil([&] { return MainThread().QueuedCount() == std::size_t(i) + 1; }));
  }
  EXPECT_EQ(MainThread().ProcessQueue(), 4u);
  for (auto& w : workers) w.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(MainThread().QueuedCount(), 0u);
}

TEST_F(MainThreadQueueTest, WorkerBlocksUntilItsCallRanOnTheMainThread) {
  int value = 0;  // written by the call, read by the worker after Synchronize
  int seenByWorker = -1;
  bool ranOnMain = false;
  std::thread worker([&] {
    MainThread().Synchronize([&] {
      ranOnMain = TMainThreadQueue::IsMainThread();
      value = 42;
    });
    seenByWorker = value;
  });
  ASSERT_TRUE(WaitUntil([] { return MainThread().QueuedCount() == 1; }));
  EXPECT_EQ(MainThread().ProcessQueue(), 1u);
  worker.join();
  EXPECT_TRUE(ranOnMain);
  EXPECT_EQ(seenByWorker, 42);
}

TEST_F(MainThreadQueueTest, ExceptionOfTheCallIsRethrownInTheWorker) {
  std::string caught;
  std::thread worker([&] {
    try {
      MainThread().Synchronize([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
  });
  ASSERT_TRUE(WaitUntil([] { return MainThread().QueuedCount() == 1; }));
  EXPECT_NO_THROW(MainThread().ProcessQueue());
  worker.join();
  EXPECT_EQ(caught, "handler failed");
}

TEST_F(MainThreadQueueTest, SynchronizeOnTheMainThreadRunsAtOnce) {
  bool ran = false;
  const auto call = [&] { ran = true; };
  MainThread().Synchronize(call);
  EXPECT_TRUE(ran);
  EXPECT_THROW(MainThread().Synchronize([] { throw std::logic_error("x"); }), std::logic_error);
}

// The shutdown case: the main thread joins a thread that is blocked waiting for
// the main thread. Without serving the queue during the join this never ends.
TEST_F(MainThreadQueueTest, JoinOnTheMainThreadServesTheBlockedThread) {
  TSyncThread thread(nullptr);
  thread.Start();
  ASSERT_TRUE(WaitUntil([] { return MainThread().QueuedCount() == 1; }));
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(thread.RanOnMain);
}

// A call that joins another blocked thread (a handler shutting a server down)
// must still find that thread's call, which was queued after its own.
TEST_F(MainThreadQueueTest, JoinInsideACallServesCallsQueuedBehindIt) {
  TSyncThread second(nullptr);
  TSyncThread first([&] { second.WaitFor(); });
  first.Start();
  ASSERT_TRUE(WaitUntil([] { return MainThread().QueuedCount() == 1; }));
  second.Start();
  ASSERT_TRUE(WaitUntil([] { return MainThread().QueuedCount() == 2; }));
  EXPECT_EQ(MainThread().ProcessQueue(), 1u);  // the second call ran inside the first
  first.WaitFor();
  EXPECT_TRUE(first.RanOnMain);
  EXPECT_TRUE(second.RanOnMain);
}

TEST_F(MainThreadQueueTest, WakeHookRunsOnTheWorkerAfterQueuing) {
  std::atomic<bool> hookOnWorker{false};
  std::atomic<std::size_t> queuedAtHook{0};
  MainThread().SetWakeHook([&] {
    queuedAtHook = MainThread().QueuedCount();
    hookOnWorker = !TMainThreadQueue::IsMainThread();
  });
  std::thread worker([] { MainThread().Synchronize([] {}); });
  ASSERT_TRUE(WaitUntil([&] { return hookOnWorker.load(); }));
  EXPECT_EQ(queuedAtHook.load(), 1u);
  EXPECT_EQ(MainThread().ProcessQueue(), 1u);
  worker.join();
}

// An event loop that sleeps until the hook wakes it: every call of a flood from
// several workers must be run, none stranded without a wake-up.
TEST_F(MainThreadQueueTest, EventLoopDrivenByTheHookRunsEveryCall) {
  constexpr int Workers = 4;
  constexpr int CallsPerWorker = 2000;
  std::mutex loopLock;
  std::condition_variable loopWake;
  int posted = 0;  // guarded by loopLock
  MainThread().SetWakeHook([&] {
    {
      std::lock_guard guard(loopLock);
      ++posted;
    }
    loopWake.notify_one();
  });

  int finished = 0;  // guarded by loopLock
  int ran = 0;
  std::vector<std::thread> workers;
  for (int w = 0; w < Workers; ++w) {
    workers.emplace_back([&] {
      for (int i = 0; i < CallsPerWorker; ++i) MainThread().Synchronize([&] { ++ran; });
      {
        std::lock_guard guard(loopLock);
        ++finished;
      }
      loopWake.notify_one();
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::unique_lock lock(loopLock);
  while (finished < Workers) {
    if (!loopWake.wait_until(lock, deadline, [&] { return posted > 0 || finished == Workers; }))
      break;
    if (posted > 0) {
      --posted;
      lock.unlock();
      MainThread().ProcessQueue();
      lock.lock();
    }
  }
  const int finishedByHook = finished;
  lock.unlock();
  // Serve whatever was stranded, so that a failure ends cleanly.
  MainThread().WaitFor([&] {
    std::lock_guard guard(loopLock);
    return finished == Workers;
  });
  for (auto& w : workers) w.join();
  EXPECT_EQ(finishedByHook, Workers) << "a call was queued without a wake-up";
  EXPECT_EQ(ran, Workers * CallsPerWorker);
}

}  // namespace
}  // namespace pallador
