#pragma once

namespace pallador {

// A descriptor that an event loop watches for reading, made readable from any
// thread by Signal and quiet again by Clear. Signalling allocates nothing and
// coalesces: any number of signals before a Clear read as one.
// Thread: Signal from any thread; Clear and Fd on the watching thread.
class TWakeEvent {
 public:
  TWakeEvent();  // throws std::system_error when the system refuses one
  ~TWakeEvent();
  TWakeEvent(const TWakeEvent&) = delete;
  TWakeEvent& operator=(const TWakeEvent&) = delete;

  void Signal() noexcept;
  void Clear() noexcept;
  int Fd() const noexcept { return Fd_; }

 private:
  int Fd_ = -1;
};

}  // namespace pallador
