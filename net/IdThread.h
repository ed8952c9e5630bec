#pragma once

#include <mutex>

#include "platform/Thread.h"

namespace pallador {

class TIdBaseThread : public TThread {};

// A thread with a stop flag kept under the thread's own lock. The flag starts
// set (a new thread is stopped); Start() clears it, Stop() sets it and the
// terminate request.
class TIdThread : public TIdBaseThread {
 public:
  void Start();
  void Stop();
  bool Stopped();

 private:
  std::mutex StopLock_;
  bool Stopped_ = true;  // guarded by StopLock_
};

}  // namespace pallador
