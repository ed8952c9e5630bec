#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace pallador {

// A periodic timer on its own thread, standing in for a multimedia timer.
// Deadlines are absolute (start + n x period on the monotonic clock), so the
// timer never drifts; the thread asks for real-time priority and keeps normal
// priority when that is refused. A late tick runs at once; after a stall of
// several periods the missed ticks are skipped (one late tick, then the
// grid's next point).
// Kill() returns only when no callback runs or will run; called from the
// callback itself, it only prevents further callbacks. A callback's exception
// is caught and dropped. Thread: any thread; Kill is idempotent.
class TPeriodicTimer {
 public:
  using TCallback = std::function<void()>;

  TPeriodicTimer(std::chrono::nanoseconds Period, TCallback Callback);
  ~TPeriodicTimer();
  TPeriodicTimer(const TPeriodicTimer&) = delete;
  TPeriodicTimer& operator=(const TPeriodicTimer&) = delete;

  void Kill();
  std::uint64_t Ticks() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl_;
};

// timeSetEvent / timeKillEvent in the shape the application uses them:
// TimeSetEvent starts a periodic timer and returns its id (0 on failure; only
// TimePeriodic timers of 1 to 1000000 ms are offered); TimeKillEvent stops it
// as Kill() does (false for an unknown id). Thread-safe.
constexpr unsigned TimePeriodic = 1;
std::uint32_t TimeSetEvent(unsigned DelayMs, unsigned ResolutionMs, std::function<void()> Callback,
                           unsigned Flags);
bool TimeKillEvent(std::uint32_t TimerId);

}  // namespace pallador
