#pragma once

// Tests are the main thread: they run the calls that workers hand to it.

#include <chrono>
#include <functional>
#include <thread>

#include "platform/MainThreadQueue.h"

namespace pallador::testsupport {

// Runs queued main-thread calls until Done() holds or Timeout passes; returns Done().
inline bool PumpUntil(const std::function<bool()>& Done,
                      std::chrono::milliseconds Timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  while (!Done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (MainThread().ProcessQueue() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace pallador::testsupport
