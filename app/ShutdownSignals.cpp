#include "app/ShutdownSignals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <csignal>

namespace pallador {
namespace {

constexpr std::array<int, 3> kHandledSignals{SIGINT, SIGTERM, SIGHUP};
std::array<int, 2> Pipe{-1, -1};

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kHandledSignals) sigaddset(&set, signal);
  return set;
}

extern "C" void OnSignal(int Signal) {
  const int savedErrno = errno;
  const auto byte = static_cast<unsigned char>(Signal);
  // Async-signal-safe; a full pipe already holds a pending request.
  [[maybe_unused]] const ssize_t written = ::write(Pipe[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

TShutdownSignals::TShutdownSignals(QObject* Parent) : QObject(Parent) {}

TShutdownSignals::~TShutdownSignals() {
  if (!Installed_) return;
  for (const int signal : kHandledSignals) std::signal(signal, SIG_DFL);
  delete Notifier_;
  ::close(Pipe[0]);
  ::close(Pipe[1]);
  Pipe = {-1, -1};
}

bool TShutdownSignals::Install() {
  if (Installed_ || Pipe[0] >= 0) return false;
  const sigset_t stop = StopSignals();
  if (::pipe2(Pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    // Without handlers a stop signal must at least end the process.
    ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    return false;
  }
  Installed_ = true;
  Notifier_ = new QSocketNotifier(Pipe[0], QSocketNotifier::Read, this);
  connect(Notifier_, &QSocketNotifier::activated, this, [this] { ReadPipe(); });

  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  bool ok = true;
  for (const int signal : kHandledSignals) ok = ::sigaction(signal, &action, nullptr) == 0 && ok;
  return ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr) == 0 && ok;
}

void TShutdownSignals::HoldUntilInstalled() {
  const sigset_t stop = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

void TShutdownSignals::ReadPipe() {
  unsigned char byte = 0;
  try {
    while (::read(Pipe[0], &byte, 1) == 1) emit Received(byte);
  } catch (...) {
    // A failing receiver must not take the event loop down.
  }
}

}  // namespace pallador
