#include "platform/PeriodicTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "WaitUntil.h"

namespace pallador {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;

// Proof that time passed without sleeping for a guessed span: a fresh timer of
// the same period has ticked several times.
void LetPeriodsPass(std::chrono::milliseconds Period, int Count) {
  TPeriodicTimer witness(Period, [] {});
  ASSERT_TRUE(WaitUntil([&] { return witness.Ticks() >= std::uint64_t(Count); }));
}

TEST(PeriodicTimer, TicksRepeatedly) {
  std::atomic<int> calls{0};
  TPeriodicTimer timer(2ms, [&] { ++calls; });
  ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 5; }));
  timer.Kill();
  EXPECT_EQ(timer.Ticks(), std::uint64_t(calls.load()));
}

TEST(PeriodicTimer, KillWaitsForTheRunningCallbackAndNoneFollows) {
  std::atomic<int> calls{0};
  std::atomic<bool> inCallback{false};
  std::atomic<bool> callbackDone{false};
  TPeriodicTimer timer(2ms, [&] {
    ++calls;
    inCallback = true;
    std::this_thread::sleep_for(30ms);  // a slow tick that Kill() has to wait for
    callbackDone = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return inCallback.load(); }));
  timer.Kill();
  EXPECT_TRUE(callbackDone.load());
  const int afterKill = calls.load();
  LetPeriodsPass(2ms, 10);
  EXPECT_EQ(calls.load(), afterKill);
  timer.Kill();  // a second Kill does nothing
}

TEST(PeriodicTimer, ThrowingCallbackKeepsTicking) {
  std::atomic<int> calls{0};
  TPeriodicTimer timer(2ms, [&] {
    ++calls;
    throw std::runtime_error("tick failed");
  });
  EXPECT_TRUE(WaitUntil([&] { return calls.load() >= 3; }));
}

// A stall of six periods (a stopped process, a laptop waking) is followed by
// at most one catch-up tick, not by the six missed ones back to back.
TEST(PeriodicTimer, StallIsFollowedByOneCatchUpTickNotABurst) {
  constexpr auto kPeriod = 40ms;
  using TClock = std::chrono::steady_clock;
  std::mutex lock;
  std::vector<TClock::time_point> starts;  // guarded by lock
  TClock::time_point stallEnd;             // guarded by lock
  TPeriodicTimer timer(kPeriod, [&] {
    std::size_t n = 0;
    {
      std::lock_guard guard(lock);
      starts.push_back(TClock::now());
      n = starts.size();
    }
    if (n == 3) {
      std::this_thread::sleep_for(6 * kPeriod);
      std::lock_guard guard(lock);
      stallEnd = TClock::now();
    }
  });
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard guard(lock);
    return starts.size() >= 12;
  }));
  timer.Kill();
  // Callbacks that started within a quarter period of the stall's end: the
  // grid's next point is at least three quarters away, so only catch-ups count.
  int burst = 0;
  for (std::size_t i = 3; i < starts.size(); ++i) {
    if (starts[i] - stallEnd < kPeriod / 4) ++burst;
  }
  EXPECT_LE(burst, 1);
}

TEST(PeriodicTimer, RejectsAnEmptyPeriodOrCallback) {
  EXPECT_THROW(TPeriodicTimer(0ms, [] {}), std::invalid_argument);
  EXPECT_THROW(TPeriodicTimer(-1ms, [] {}), std::invalid_argument);
  EXPECT_THROW(TPeriodicTimer(1ms, nullptr), std::invalid_argument);
}

TEST(TimeSetEvent, StartsAndKillsPeriodicTimersById) {
  std::atomic<int> a{0};
  std::atomic<int> b{0};
  const std::uint32_t idA = TimeSetEvent(
      2, 10, [&] { ++a; }, TimePeriodic);
  const std::uint32_t idB = TimeSetEvent(
      2, 10, [&] { ++b; }, TimePeriodic);
  ASSERT_NE(idA, 0u);
  ASSERT_NE(idB, 0u);
  EXPECT_NE(idA, idB);
  ASSERT_TRUE(WaitUntil([&] { return a.load() >= 3 && b.load() >= 3; }));

  EXPECT_TRUE(TimeKillEvent(idA));
  const int aAfterKill = a.load();
  EXPECT_FALSE(TimeKillEvent(idA));
  const int bBefore = b.load();
  ASSERT_TRUE(WaitUntil([&] { return b.load() >= bBefore + 5; }));  // the other one runs on
  EXPECT_EQ(a.load(), aAfterKill);
  EXPECT_TRUE(TimeKillEvent(idB));
}

TEST(TimeSetEvent, RefusesWhatItCannotStart) {
  struct TCase {
    const char* What;
    unsigned DelayMs;
    bool WithCallback;
    unsigned Flags;
  };
  const TCase cases[] = {
      {"zero period", 0, true, TimePeriodic},
      {"period above 1000000 ms", 1'000'001, true, TimePeriodic},
      {"one-shot", 75, true, 0},
      {"no callback", 75, false, TimePeriodic},
  };
  for (const TCase& c : cases) {
    std::function<void()> callback;
    if (c.WithCallback) callback = [] {};
    EXPECT_EQ(TimeSetEvent(c.DelayMs, 10, callback, c.Flags), 0u) << c.What;
  }
  EXPECT_FALSE(TimeKillEvent(0));
  EXPECT_FALSE(TimeKillEvent(0xFFFFFFFFu));
}

TEST(TimeSetEvent, CallbackMayKillItsOwnTimer) {
  std::atomic<std::uint32_t> id{0};
  std::atomic<int> calls{0};
  std::atomic<int> callsAtKill{0};
  std::atomic<bool> killed{false};
  id = TimeSetEvent(
      2, 10,
      [&] {
        const int n = ++calls;
        if (!killed && n >= 3 && id.load() != 0) {
          callsAtKill = n;
          killed = TimeKillEvent(id.load());
        }
      },
      TimePeriodic);
  ASSERT_NE(id.load(), 0u);
  ASSERT_TRUE(WaitUntil([&] { return killed.load(); }));
  LetPeriodsPass(2ms, 10);
  EXPECT_EQ(calls.load(), callsAtKill.load());
}

}  // namespace
}  // namespace pallador
