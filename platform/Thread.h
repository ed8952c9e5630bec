#pragma once

#include <atomic>
#include <thread>

namespace pallador {

// A thread created suspended: Start() runs Execute() on a new thread,
// Terminate() only sets the terminate request that Execute() polls, WaitFor()
// joins. WaitFor() called on the main thread keeps serving the main-thread
// queue, so a thread blocked in a synchronous call can finish.
// Whoever starts a thread joins it; the destructor joins a thread still running
// after requesting termination.
class TThread {
 public:
  TThread() = default;
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  void Terminate() { Terminated_.store(true); }
  bool Terminated() const { return Terminated_.load(); }
  bool Finished() const { return Finished_.load(); }
  void WaitFor();

 protected:
  virtual void Execute() = 0;

 private:
  void Run();

  std::thread Thread_;
  std::atomic<bool> Terminated_{false};
  std::atomic<bool> Finished_{false};
};

}  // namespace pallador
