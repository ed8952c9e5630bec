// Cost of the synchronous hand-off to the main thread, and the accuracy of the
// periodic timer. Run pinned (taskset -c 0) and unpinned: on a small VM the
// cross-CPU wake-up dominates the round trip.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MainThreadQueue.h"
#include "platform/PeriodicTimer.h"

namespace {

using namespace pallador;
using TClock = std::chrono::steady_clock;

constexpr int Calls = 20000;

double Percentile(std::vector<double> Values, double Fraction) {
  if (Values.empty()) return 0;
  std::sort(Values.begin(), Values.end());
  const auto index = static_cast<std::size_t>(Fraction * static_cast<double>(Values.size() - 1));
  return Values[index];
}

void Report(benchmark::State& State, const std::vector<double>& RoundTripsUs, double Seconds) {
  State.counters["median_us"] = Percentile(RoundTripsUs, 0.5);
  State.counters["p99_us"] = Percentile(RoundTripsUs, 0.99);
  State.counters["calls_per_s"] = static_cast<double>(RoundTripsUs.size()) / Seconds;
}

// Worker: Calls synchronous calls, each timed from queuing to return.
template <class TSync>
std::vector<double> TimedCalls(TSync Sync, std::atomic<bool>& Done) {
  std::vector<double> us;
  us.reserve(Calls);
  std::uint64_t sink = 0;
  for (int i = 0; i < Calls; ++i) {
    const auto start = TClock::now();
    Sync([&] { ++sink; });
    us.push_back(std::chrono::duration<double, std::micro>(TClock::now() - start).count());
  }
  benchmark::DoNotOptimize(sink);
  Done = true;
  return us;
}

// The main thread serves from WaitFor, as during a join.
void BM_Synchronize_MainInWaitFor(benchmark::State& State) {
  for (auto _ : State) {
    std::atomic<bool> done{false};
    std::vector<double> us;
    const auto start = TClock::now();
    std::thread worker([&] {
      us = TimedCalls([](auto&& Call) { MainThread().Synchronize(Call); }, done);
      MainThread().Notify();
    });
    MainThread().WaitFor([&] { return done.load(); });
    worker.join();
    Report(State, us, std::chrono::duration<double>(TClock::now() - start).count());
  }
}
BENCHMARK(BM_Synchronize_MainInWaitFor)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The main thread sleeps in poll() on an eventfd that the wake hook signals,
// as an event loop does.
void BM_Synchronize_MainInEventLoop(benchmark::State& State) {
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    State.SkipWithError("eventfd failed");
    return;
  }
  auto signal = [wakeFd] {
    const std::uint64_t one = 1;
    benchmark::DoNotOptimize(write(wakeFd, &one, sizeof one));
  };
  MainThread().SetWakeHook(signal);
  for (auto _ : State) {
    std::atomic<bool> done{false};
    std::vector<double> us;
    const auto start = TClock::now();
    std::thread worker([&] {
      us = TimedCalls([](auto&& Call) { MainThread().Synchronize(Call); }, done);
      signal();
    });
    while (!done.load()) {
      pollfd fd{wakeFd, POLLIN, 0};
      poll(&fd, 1, 1000);
      std::uint64_t count = 0;
      benchmark::DoNotOptimize(read(wakeFd, &count, sizeof count));
      MainThread().ProcessQueue();
    }
    worker.join();
    Report(State, us, std::chrono::duration<double>(TClock::now() - start).count());
  }
  MainThread().SetWakeHook(nullptr);
  close(wakeFd);
}
BENCHMARK(BM_Synchronize_MainInEventLoop)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Reference: the same hand-off with the worker blocking on a mutex and a
// condition variable instead of its own futex word.
class TCondVarQueue {
 public:
  template <class F>
  void Synchronize(F& Call) {
    TItem item{&Call, [](void* c) { (*static_cast<F*>(c))(); }};
    {
      std::lock_guard guard(Lock_);
      Queue_.push_back(&item);
    }
    MainWake_.notify_one();
    std::unique_lock lock(Lock_);
    Done_.wait(lock, [&] { return item.Done; });
  }

  // Serves until Stop() holds.
  template <class TStop>
  void Serve(TStop Stop) {
    std::unique_lock lock(Lock_);
    while (!Stop()) {
      if (Queue_.empty()) {
        MainWake_.wait_for(lock, std::chrono::milliseconds(50));
        continue;
      }
      TItem* item = Queue_.front();
      Queue_.erase(Queue_.begin());
      lock.unlock();
      item->Fn(item->Context);
      lock.lock();
      item->Done = true;
      Done_.notify_all();
    }
  }

  void Wake() { MainWake_.notify_one(); }

 private:
  struct TItem {
    void* Context;
    void (*Fn)(void*);
    bool Done = false;
  };
  std::mutex Lock_;
  std::condition_variable MainWake_;
  std::condition_variable Done_;
  std::vector<TItem*> Queue_;
};

void BM_Reference_MutexAndCondVar(benchmark::State& State) {
  for (auto _ : State) {
    TCondVarQueue queue;
    std::atomic<bool> done{false};
    std::vector<double> us;
    const auto start = TClock::now();
    std::thread worker([&] {
      us = TimedCalls([&](auto&& Call) { queue.Synchronize(Call); }, done);
      queue.Wake();
    });
    queue.Serve([&] { return done.load(); });
    worker.join();
    Report(State, us, std::chrono::duration<double>(TClock::now() - start).count());
  }
}
BENCHMARK(BM_Reference_MutexAndCondVar)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// 40 ticks of the 75 ms transmit clock. Lateness is measured against the grid
// start + n x period with start taken just before the timer was created, so it
// is an upper bound by the thread's start-up time; drift is the last tick's
// lateness less the first's.
void BM_PeriodicTimer_75ms(benchmark::State& State) {
  constexpr int Ticks = 40;
  constexpr auto Period = std::chrono::milliseconds(75);
  for (auto _ : State) {
    std::vector<TClock::time_point> stamps(Ticks);
    std::atomic<int> count{0};
    std::mutex lock;
    std::condition_variable finished;
    const auto start = TClock::now();
    TPeriodicTimer timer(Period, [&] {
      const int n = count.load();
      if (n >= Ticks) return;
      stamps[static_cast<std::size_t>(n)] = TClock::now();
      count.store(n + 1);
      if (n + 1 == Ticks) {
        std::lock_guard guard(lock);
        finished.notify_one();
      }
    });
    {
      std::unique_lock guard(lock);
      finished.wait_for(guard, Period * (Ticks + 20), [&] { return count.load() >= Ticks; });
    }
    timer.Kill();
    if (count.load() < Ticks) {
      State.SkipWithError("the timer fell short of 40 ticks");
      return;
    }
    std::vector<double> lateMs;
    for (int i = 0; i < Ticks; ++i) {
      const auto ideal = start + Period * (i + 1);
      lateMs.push_back(
          std::chrono::duration<double, std::milli>(stamps[static_cast<std::size_t>(i)] - ideal)
              .count());
    }
    double sum = 0;
    for (double l : lateMs) sum += l;
    State.counters["late_mean_ms"] = sum / Ticks;
    State.counters["late_p99_ms"] = Percentile(lateMs, 0.99);
    State.counters["late_max_ms"] = *std::max_element(lateMs.begin(), lateMs.end());
    State.counters["drift_ms"] = lateMs.back() - lateMs.front();
    State.counters["period_mean_ms"] =
        std::chrono::duration<double, std::milli>(stamps.back() - stamps.front()).count() /
        (Ticks - 1);
  }
}
BENCHMARK(BM_PeriodicTimer_75ms)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
