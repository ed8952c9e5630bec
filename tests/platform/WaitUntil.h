#pragma once

#include <chrono>
#include <thread>

namespace pallador::test {

// Polls Condition until it holds or the deadline passes; returns the last result.
template <class TCondition>
bool WaitUntil(TCondition Condition, std::chrono::milliseconds Deadline = std::chrono::seconds(5)) {
  const auto end = std::chrono::steady_clock::now() + Deadline;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > end) return Condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace pallador::test
