#include "platform/Thread.h"

#include <stdexcept>

#include "platform/MainThreadQueue.h"

namespace pallador {

TThread::~TThread() {
  Terminate();
  if (!Thread_.joinable()) return;
  if (Thread_.get_id() == std::this_thread::get_id()) {
    Thread_.detach();  // a thread cannot join itself
    return;
  }
  try {
    WaitFor();
  } catch (...) {
    // Only the wait's lock can fail; the thread then ends unjoined.
    if (Thread_.joinable()) Thread_.detach();
  }
}

void TThread::Start() {
  if (Started_.exchange(true)) return;
  try {
    Thread_ = std::thread([this] { Run(); });
  } catch (...) {
    Started_.store(false);
    throw;
  }
}

void TThread::WaitFor() {
  if (!Thread_.joinable()) return;
  if (Thread_.get_id() == std::this_thread::get_id())
    throw std::logic_error("A thread cannot wait for itself.");
  // The thread may be blocked in a synchronous call that only the main thread
  // can run; keep serving those until it has finished.
  if (TMainThreadQueue::IsMainThread()) MainThread().WaitFor([this] { return Finished(); });
  Thread_.join();
}

void TThread::Run() noexcept {
  try {
    Execute();
  } catch (...) {
    // A thread's failure ends the thread, never the process.
  }
  Finished_.store(true);
  MainThread().Notify();
}

}  // namespace pallador
