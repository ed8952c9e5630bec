#pragma once

#include <cstddef>
#include <functional>
#include <type_traits>

namespace pallador {

// Synchronous calls on the main thread. A worker queues a call, wakes the main
// thread through the wake hook and blocks until the main thread has run it; an
// exception thrown by the call is rethrown in the worker. The main thread runs
// queued calls in FIFO order (ProcessQueue), and keeps running them while it
// waits for a condition (WaitFor), e.g. a thread's end during a join.
//
// The queue item lives on the blocked worker's stack: queuing allocates nothing.
// The main thread is the thread that initialised the process (static init).
class TMainThreadQueue {
 public:
  using TCallFn = void (*)(void* Context);

  // Worker side. Called on the main thread itself, the call runs at once.
  void Synchronize(TCallFn Fn, void* Context);
  template <class F>
  void Synchronize(F&& Call) {
    using Fn = std::remove_reference_t<F>;
    Synchronize([](void* c) { (*static_cast<Fn*>(c))(); }, static_cast<void*>(&Call));
  }

  // Main thread: runs every call queued so far, in order; returns how many ran.
  std::size_t ProcessQueue();

  // Main thread: runs queued calls until Done() holds. Done is re-checked after
  // each call and whenever Notify() is called (from any thread).
  void WaitFor(const std::function<bool()>& Done);
  void Notify();

  // Called on the worker thread after a call was queued, when the main thread
  // is not inside WaitFor; the application posts ProcessQueue to its event loop.
  void SetWakeHook(std::function<void()> Hook);

  static bool IsMainThread();
};

// The process-wide queue.
TMainThreadQueue& MainThread();

}  // namespace pallador
