#include "platform/WakeEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace pallador {

TWakeEvent::TWakeEvent() : Fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (Fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TWakeEvent::~TWakeEvent() {
  ::close(Fd_);
}

void TWakeEvent::Signal() noexcept {
  const std::uint64_t one = 1;
  // Non-blocking: a counter at its limit is readable already, which is all it must be.
  [[maybe_unused]] const ssize_t written = ::write(Fd_, &one, sizeof one);
}

void TWakeEvent::Clear() noexcept {
  std::uint64_t count = 0;
  // Reading an eventfd returns and resets the whole count; nothing to read is fine.
  [[maybe_unused]] const ssize_t read = ::read(Fd_, &count, sizeof count);
}

}  // namespace pallador
