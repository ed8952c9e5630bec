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

  // Installs the handlers; false when the pipe or a handler can't be set up.
  bool Install();

 signals:
  void Received(int Signal);

 private:
  void ReadPipe();

  QSocketNotifier* Notifier_ = nullptr;
  bool Installed_ = false;
};

}  // namespace pallador
