#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>

#include "WaitUntil.h"

namespace pallador {
namespace {

using test::WaitUntil;

class TFnThread : public TThread {
 public:
  explicit TFnThread(std::function<void(TFnThread&)> Body) : Body_(std::move(Body)) {}
  ~TFnThread() override {
    Terminate();
    WaitFor();
  }

  bool TerminatedInside() const { return Terminated(); }

 protected:
  void Execute() override { Body_(*this); }

 private:
  std::function<void(TFnThread&)> Body_;
};

TEST(Thread, IsCreatedSuspended) {
  std::atomic<bool> ran{false};
  {
    TFnThread thread([&](TFnThread&) { ran = true; });
  }
  // Destruction joins a started thread, so a thread started at creation would
  // have run by now.
  EXPECT_FALSE(ran.load());
}

TEST(Thread, RunsUntilTerminateRequestThenJoins) {
  std::atomic<bool> running{false};
  TFnThread thread([&](TFnThread& self) {
    running = true;
    while (!self.TerminatedInside()) std::this_thread::yield();
  });
  thread.Start();
  ASSERT_TRUE(WaitUntil([&] { return running.load(); }));
  EXPECT_FALSE(thread.Finished());
  thread.Terminate();
  EXPECT_TRUE(thread.Terminated());
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  thread.WaitFor();  // a second join returns at once
}

TEST(Thread, ExceptionFromExecuteEndsOnlyTheThread) {
  TFnThread thread([](TFnThread&) { throw std::runtime_error("boom"); });
  thread.Start();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
}

}  // namespace
}  // namespace pallador
