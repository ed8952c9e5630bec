#include "platform/Completion.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pallador {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

void FutexWait(std::atomic<std::uint32_t>* Word, std::uint32_t Expected) {
  // Returns on wake-up, on EAGAIN (the word changed) and on EINTR; the caller re-checks.
  syscall(SYS_futex, Word, FUTEX_WAIT_PRIVATE, Expected, nullptr, nullptr, 0);
}

void FutexWake(std::atomic<std::uint32_t>* Word) {
  // A private futex wake only hashes the address; it never reads the memory,
  // so the waiter may already have released it.
  syscall(SYS_futex, Word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

void TCompletion::Wait() {
  std::uint32_t state = kPending;
  if (!State_.compare_exchange_strong(state, kSleeping, std::memory_order_acquire) &&
      state == kSignalled)
    return;
  while (State_.load(std::memory_order_acquire) != kSignalled) FutexWait(&State_, kSleeping);
}

void TCompletion::Signal() {
  std::atomic<std::uint32_t>* word = &State_;
  if (State_.exchange(kSignalled, std::memory_order_acq_rel) == kSleeping) FutexWake(word);
}

}  // namespace pallador
