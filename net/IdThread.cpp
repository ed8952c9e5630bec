#include "net/IdThread.h"

namespace pallador {

void TIdThread::Start() {
  {
    const std::scoped_lock lock(StopLock_);
    Stopped_ = Terminated();
  }
  TIdBaseThread::Start();
}

void TIdThread::Stop() {
  const std::scoped_lock lock(StopLock_);
  if (!Stopped_) {
    Terminate();
    Stopped_ = true;
  }
}

bool TIdThread::Stopped() {
  const std::scoped_lock lock(StopLock_);
  return Stopped_;
}

}  // namespace pallador
