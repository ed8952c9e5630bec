#pragma once

#include <QDialog>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <pugixml.hpp>
#include <string>

#include "interfaces/ConfigDocument.h"
#include "interfaces/classInterfaceInfo.h"
#include "net/classUDPFactory.h"
#include "platform/Component.h"

class QLabel;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace pallador {

class TfrmConfigPort;

inline constexpr const char* kApplicationTitle = "Orvane Pallador";

// The main window: the sixteen output universes, the input, and the frame of
// the application (settings, pool, slots, transmit clock).
// Thread: main thread, except TransmitTick on the transmit clock's thread.
// Lock guards the slots' port objects and the pool against the tick: the main
// thread holds it while it reconnects and while it reads the ports' status.
class TfrmMain : public QDialog, public TComponent {
  Q_OBJECT

 public:
  TfrmMain();
  ~TfrmMain() override;

  void FormCreate();
  void FormClose();
  void TransmitTick();

  void btReconnectOutputsClick();
  void FillUniverseList();
  void tmrStatusTimer();
  void ckUniversesClick();
  void ckUniversesKeyPress();
  void ckUniversesDblClick();
  void btInputClick();

  QPushButton* btInput;
  QPushButton* btReconnectOutputs;
  QTreeWidget* ckUniverses;
  QLabel* sLabel1;
  QLabel* lbInputStatus;
  QTimer* tmrStatus;

  std::unique_ptr<std::mutex> Lock;
  std::uint32_t TimerId = 0;
  std::string ConfigFileName;
  std::unique_ptr<TConfigDocument> ConfigDocument;
  pugi::xml_node ConfigRoot;
  std::unique_ptr<TUDPFactory> UDPFactory;
  std::unique_ptr<TInterfacesInfo> InterfacesInfo;

  // Shows a port dialog modally and returns its result; exec() unless a test replaces it.
  std::function<int(TfrmConfigPort&)> ShowModal;

 protected:
  void closeEvent(QCloseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void showEvent(QShowEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  // Locks Lock while it exists; without it no clock runs and there is nothing to exclude.
  std::unique_lock<std::mutex> LockTick();

  bool Closed_ = false;
  bool Centred_ = false;
};

// The one main window; the transmit clock reaches the window only through it.
extern std::atomic<TfrmMain*> frmMain;

// The transmit clock's callback: runs TransmitTick on frmMain.
void TimerCallback();

// Creates the main window, sets frmMain, then runs FormCreate.
std::unique_ptr<TfrmMain> CreateMainWindow();

// Closes a port dialog that may be open, then the main window, as the close
// button would: FormClose runs and the message loop ends (a stop signal).
void CloseMainWindow() noexcept;

// Runs calls queued for the main thread from Qt's event loop.
void ConnectMainThreadQueue();
void DisconnectMainThreadQueue();

}  // namespace pallador
