#pragma once

namespace pallador {

// A descriptor that another thread signals to end a wait of the stack's
// select (its WakeFd). Once signalled it stays readable: it serves one stop.
// Thread: Signal from any thread; the owner creates and destroys it.
class TIdWakeEvent {
 public:
  TIdWakeEvent();  // raises EIdSocketError when the platform refuses one
  ~TIdWakeEvent();
  TIdWakeEvent(const TIdWakeEvent&) = delete;
  TIdWakeEvent& operator=(const TIdWakeEvent&) = delete;

  void Signal();
  int Fd() const { return Fd_; }

 private:
  int Fd_ = -1;
};

}  // namespace pallador
