#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace pallador {

// The port configuration dialog: the bind and destination address of one
// output, or the bind address of the input. OK is enabled only while the
// addresses shown pass IsValidIP. Thread: main thread.
class TfrmConfigPort : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmConfigPort(QWidget* Owner);

  // Runs on every change of either address field's text, typed or set.
  void edBindIPChange();

  QLabel* lbUniverse;
  QLineEdit* edUniverse;
  QLineEdit* edBindIP;
  QLabel* sLabel2;
  QLineEdit* edDestinationIP;
  QLabel* lbDestinationIP;
  QPushButton* btOk;

 protected:
  void showEvent(QShowEvent* Event) override;
};

}  // namespace pallador
