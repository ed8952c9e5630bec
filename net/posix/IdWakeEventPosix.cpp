#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/IdWakeEvent.h"

namespace pallador {

TIdWakeEvent::TIdWakeEvent() : Fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (Fd_ < 0) throw EIdSocketError(ToWsaError(errno));
}

TIdWakeEvent::~TIdWakeEvent() {
  ::close(Fd_);
}

void TIdWakeEvent::Signal() {
  const std::uint64_t one = 1;
  // Non-blocking: a full counter is already readable, which is all a waiter needs.
  [[maybe_unused]] const ssize_t written = ::write(Fd_, &one, sizeof one);
}

}  // namespace pallador
