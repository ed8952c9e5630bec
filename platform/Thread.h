#pragma once

#include <atomic>
#include <thread>

namespace pallador {

// A thread created suspended: Start() runs Execute() on a new thread,
// Terminate() only sets the terminate request that Execute() polls, WaitFor()
// joins. WaitFor() called on the main thread keeps serving the main-thread
// queue, so a thread blocked in a synchronous call can finish.
// Whoever starts a thread joins it. Execute() is virtual, so a derived class
// calls Terminate() and WaitFor() in its own destructor: once that has run, the
// thread may no longer reach Execute(). The base destructor does the same only
// as a last resort.
// Thread: Start and WaitFor by the owner; Terminate and the flags from any thread.
class TThread {
 public:
  TThread() = default;
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts Execute() once; later calls do nothing.
  void Start();
  void Terminate() { Terminated_.store(true); }
  bool Terminated() const { return Terminated_.load(); }
  bool Finished() const { return Finished_.load(); }
  // Returns at once when the thread was never started or is already joined;
  // throws std::logic_error when called from the thread itself.
  void WaitFor();

 protected:
  // Anything it throws is caught and dropped; the thread then ends normally.
  virtual void Execute() = 0;

 private:
  void Run() noexcept;

  std::thread Thread_;
  std::atomic<bool> Started_{false};
  std::atomic<bool> Terminated_{false};
  std::atomic<bool> Finished_{false};
};

}  // namespace pallador
