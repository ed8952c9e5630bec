#pragma once

#include <atomic>
#include <cstdint>

namespace pallador {

// A one-shot event for one waiter and one signaller. The waiter may destroy
// the object as soon as Wait() returns, even while Signal() is still inside
// its wake-up call: Signal() touches the object only through one atomic
// exchange and then hands the kernel nothing but its address.
// The waiter sleeps in the kernel; nothing spins.
class TCompletion {
 public:
  void Wait();
  void Signal();

 private:
  static constexpr std::uint32_t kPending = 0;
  static constexpr std::uint32_t kSleeping = 1;
  static constexpr std::uint32_t kSignalled = 2;

  std::atomic<std::uint32_t> State_{kPending};
};

}  // namespace pallador
