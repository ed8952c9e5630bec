#pragma once

#include <QObject>

class QSocketNotifier;

namespace pallador {

// Turns SIGINT, SIGTERM and SIGHUP into the Received signal on the main
// thread (self-pipe read by the event loop), so that a kill or a logout closes
// the main window normally and its settings are saved. One instance per process.
class TShutdownSignals : public QObject {
  Q_OBJECT

 public:
  explicit TShutdownSignals(QObject* Parent = nullptr);
  ~TShutdownSignals() override;

  // Blocks the stop signals on the calling thread, and on the threads it
  // starts, until Install: a signal during the start then waits for the
  // handlers instead of ending the process without saving. Call it first in main.
  static void HoldUntilInstalled();

  // Installs the handlers, then takes the stop signals (also when the program
  // was started with them blocked); false when the pipe or a handler can't be set up.
  bool Install();

 signals:
  void Received(int Signal);

 private:
  void ReadPipe();

  QSocketNotifier* Notifier_ = nullptr;
  bool Installed_ = false;
};

}  // namespace pallador
