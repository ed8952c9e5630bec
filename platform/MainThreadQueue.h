#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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
// Thread: Synchronize, Notify and SetWakeHook from any thread; ProcessQueue and
// WaitFor on the main thread. Lock_ guards the list and the wake-up state.
class TMainThreadQueue {
 public:
  using TCallFn = void (*)(void* Context);

  TMainThreadQueue() = default;
  TMainThreadQueue(const TMainThreadQueue&) = delete;
  TMainThreadQueue& operator=(const TMainThreadQueue&) = delete;

  // Worker side. Called on the main thread itself, the call runs at once.
  void Synchronize(TCallFn Fn, void* Context);
  template <class F>
  void Synchronize(F&& Call) {
    using Fn = std::remove_reference_t<F>;
    Synchronize([](void* c) { (*static_cast<Fn*>(c))(); },
                const_cast<void*>(static_cast<const void*>(std::addressof(Call))));
  }

  // Main thread: runs every call queued so far, in order; returns how many ran.
  // Calls queued while it runs are left for the next wake-up.
  std::size_t ProcessQueue();

  // Main thread: runs queued calls until Done() holds. Done is re-checked after
  // each call and whenever Notify() is called (from any thread).
  void WaitFor(const std::function<bool()>& Done);
  void Notify();

  // Called on the worker thread after a call was queued, when the main thread
  // is not inside WaitFor; the application posts ProcessQueue to its event loop.
  // One wake-up covers every call queued until the next ProcessQueue starts.
  // The main thread calls it too, for calls still queued when WaitFor ends or
  // when a hook is set. It must not call back into the queue.
  void SetWakeHook(std::function<void()> Hook);

  // Calls queued and not yet taken by the main thread.
  std::size_t QueuedCount();

  static bool IsMainThread();

 private:
  struct TItem;
  using THook = std::shared_ptr<const std::function<void()>>;

  TItem* PopBefore(std::uint64_t Limit);
  static void Run(TItem& Item);

  std::mutex Lock_;
  std::condition_variable MainWake_;  // the main thread sleeps on it inside WaitFor
  TItem* Head_ = nullptr;
  TItem* Tail_ = nullptr;
  std::uint64_t NextSeq_ = 0;
  std::uint64_t Notifications_ = 0;
  int WaitDepth_ = 0;         // WaitFor frames on the main thread
  bool WakePending_ = false;  // the hook ran and its ProcessQueue has not started yet
  THook WakeHook_;
};

// The process-wide queue.
TMainThreadQueue& MainThread();

}  // namespace pallador
