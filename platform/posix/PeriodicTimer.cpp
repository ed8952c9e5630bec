#include "platform/PeriodicTimer.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace pallador {
namespace {

using TClock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

constexpr int kClockPriority = 10;

void TuneClockThread() {
  // Both are best effort: without the rights the timer runs at normal priority.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  sched_param param{};
  param.sched_priority = kClockPriority;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

}  // namespace

// Shared with the clock thread, so that a timer freed from inside its own
// callback stays valid until that thread has left.
struct TPeriodicTimer::TImpl {
  struct TState {
    std::mutex Lock;
    std::condition_variable Wake;
    bool Stop = false;  // guarded by Lock
    std::chrono::nanoseconds Period{};
    TCallback Callback;
    std::atomic<std::uint64_t> Ticks{0};
  };

  static void Loop(const std::shared_ptr<TState>& State) noexcept;

  std::shared_ptr<TState> State;
  std::thread Thread;
};

void TPeriodicTimer::TImpl::Loop(const std::shared_ptr<TState>& State) noexcept {
  try {
    TuneClockThread();
    TState& state = *State;
    // Deadlines are start + n x period. The wait below is absolute on the
    // monotonic clock (pthread_cond_clockwait), so no error accumulates, and
    // unlike a plain sleep Kill() can end it at once.
    TClock::time_point next = TClock::now();
    std::unique_lock lock(state.Lock);
    for (;;) {
      next += state.Period;
      if (state.Wake.wait_until(lock, next, [&] { return state.Stop; })) break;
      // After a stall (a stopped process, a long page fault, a laptop waking,
      // a slow tick) the missed ticks are not made up back to back: nodes want
      // a steady stream. This one tick runs late, and the grid goes on from
      // its next point.
      const TClock::duration behind = TClock::now() - next;
      if (behind >= state.Period) next += (behind / state.Period) * state.Period;
      lock.unlock();
      try {
        state.Callback();
      } catch (...) {
        // A failed tick is dropped; the next one runs on time.
      }
      state.Ticks.fetch_add(1, std::memory_order_relaxed);
      lock.lock();
    }
  } catch (...) {
    // Only the lock can throw here; the timer then simply stops ticking.
  }
}

TPeriodicTimer::TPeriodicTimer(std::chrono::nanoseconds Period, TCallback Callback)
    : Impl_(std::make_unique<TImpl>()) {
  if (Period <= std::chrono::nanoseconds::zero())
    throw std::invalid_argument("The period of a timer must be positive.");
  if (!Callback) throw std::invalid_argument("A timer needs a callback.");
  Impl_->State = std::make_shared<TImpl::TState>();
  Impl_->State->Period = Period;
  Impl_->State->Callback = std::move(Callback);
  Impl_->Thread = std::thread([state = Impl_->State] { TImpl::Loop(state); });
}

TPeriodicTimer::~TPeriodicTimer() {
  Kill();
  // Freed from its own callback: the thread ends by itself after this tick.
  if (Impl_->Thread.joinable()) Impl_->Thread.detach();
}

void TPeriodicTimer::Kill() {
  if (!Impl_->Thread.joinable()) return;
  {
    std::lock_guard guard(Impl_->State->Lock);
    Impl_->State->Stop = true;
  }
  Impl_->State->Wake.notify_all();
  // From inside the callback there is no waiting for ourselves; no further
  // callback follows the one in progress.
  if (Impl_->Thread.get_id() == std::this_thread::get_id()) return;
  Impl_->Thread.join();
}

std::uint64_t TPeriodicTimer::Ticks() const {
  return Impl_->State->Ticks.load(std::memory_order_relaxed);
}

namespace {

// Longest period a multimedia timer accepts.
constexpr unsigned kMaxDelayMs = 1'000'000;

// The live timers by id. Timers still registered at process exit are killed
// when the registry goes.
struct TTimerRegistry {
  std::mutex Lock;
  std::map<std::uint32_t, std::unique_ptr<TPeriodicTimer>> Timers;  // guarded by Lock
  std::uint32_t LastId = 0;                                         // guarded by Lock

  std::uint32_t NextId() {
    do ++LastId;
    while (LastId == 0 || Timers.contains(LastId));
    return LastId;
  }
};

TTimerRegistry& Registry() {
  static TTimerRegistry registry;
  return registry;
}

}  // namespace

std::uint32_t TimeSetEvent(unsigned DelayMs, unsigned /*ResolutionMs*/,
                           std::function<void()> Callback, unsigned Flags) {
  // Only periodic timers are offered. The requested resolution needs no
  // handling: deadlines are met to well under a millisecond.
  if ((Flags & TimePeriodic) == 0 || DelayMs == 0 || DelayMs > kMaxDelayMs || !Callback) return 0;
  try {
    auto timer =
        std::make_unique<TPeriodicTimer>(std::chrono::milliseconds(DelayMs), std::move(Callback));
    TTimerRegistry& registry = Registry();
    std::lock_guard guard(registry.Lock);
    const std::uint32_t id = registry.NextId();
    registry.Timers.emplace(id, std::move(timer));
    return id;
  } catch (...) {
    return 0;
  }
}

bool TimeKillEvent(std::uint32_t TimerId) {
  std::unique_ptr<TPeriodicTimer> timer;
  {
    TTimerRegistry& registry = Registry();
    std::lock_guard guard(registry.Lock);
    auto it = registry.Timers.find(TimerId);
    if (it == registry.Timers.end()) return false;
    timer = std::move(it->second);
    registry.Timers.erase(it);
  }
  // Killed outside the registry's lock: a callback that starts or stops a
  // timer must not wait for us while we wait for it.
  timer->Kill();
  return true;
}

}  // namespace pallador
