#include "app/frMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeWidget>
#include <array>
#include <chrono>
#include <thread>
#include <vector>

#include "app/AppPath.h"
#include "app/GarnetTheme.h"
#include "app/frConfigPort.h"
#include "platform/MainThreadQueue.h"
#include "platform/PeriodicTimer.h"
#include "platform/WakeEvent.h"

namespace pallador {

std::atomic<TfrmMain*> frmMain{nullptr};

namespace {

constexpr int kUniverseRowCount = 16;
constexpr int kColumnActive = 0;
constexpr int kColumnStatus = 5;
constexpr std::array<int, 6> kColumnWidths{50, 60, 85, 100, 100, 178};

// Qt slots and timer callbacks end here: nothing escapes into the event loop
// or the timer thread, and nothing is shown or logged.
template <class F>
void Guarded(F&& Call) noexcept {
  try {
    Call();
  } catch (...) {
  }
}

QString Text(const std::string& Value) {
  return QString::fromStdString(Value);
}

}  // namespace

void TimerCallback() {
  Guarded([] {
    if (TfrmMain* window = frmMain.load()) window->TransmitTick();
  });
}

std::unique_ptr<TfrmMain> CreateMainWindow() {
  auto window = std::make_unique<TfrmMain>();
  frmMain.store(window.get());
  window->FormCreate();
  return window;
}

void CloseMainWindow() noexcept {
  Guarded([] {
    if (QWidget* modal = QApplication::activeModalWidget();
        modal != nullptr && modal != frmMain.load()) {
      modal->close();
    }
    // Queued: a dialog's exec() must unwind before its window closes.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
          Guarded([] {
            if (TfrmMain* window = frmMain.load()) window->close();
          });
        },
        Qt::QueuedConnection);
  });
}

namespace {

// The event loop's wake-up for the main-thread queue: a descriptor watched by a
// socket notifier. A queued call would cost several allocations per received
// datagram; signalling the descriptor costs none. The hook shares the event, so
// a listener still inside the old hook never meets a destroyed one.
struct TQueueWake {
  std::shared_ptr<TWakeEvent> Event = std::make_shared<TWakeEvent>();
  QSocketNotifier Notifier{Event->Fd(), QSocketNotifier::Read};
};
std::unique_ptr<TQueueWake> QueueWake;  // main thread only

}  // namespace

void ConnectMainThreadQueue() {
  DisconnectMainThreadQueue();
  auto wake = std::make_unique<TQueueWake>();
  QObject::connect(&wake->Notifier, &QSocketNotifier::activated, &wake->Notifier,
                   [event = wake->Event.get()] {
                     // Cleared first: a call queued from here on signals it again.
                     event->Clear();
                     Guarded([] { MainThread().ProcessQueue(); });
                   });
  MainThread().SetWakeHook([event = wake->Event] { event->Signal(); });
  QueueWake = std::move(wake);
}

void DisconnectMainThreadQueue() {
  MainThread().SetWakeHook({});
  QueueWake.reset();
}

TfrmMain::TfrmMain()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      ShowModal([](TfrmConfigPort& Dialog) { return Dialog.exec(); }) {
  setObjectName("frmMain");
  setWindowTitle(kApplicationTitle);
  setFixedSize(608, 411);
  setFont(DialogFont());

  btInput = new QPushButton("Input: ", this);
  btInput->setGeometry(16, 16, 225, 25);

  btReconnectOutputs = new QPushButton("Connect", this);
  btReconnectOutputs->setGeometry(349, 16, 244, 25);
  QFont bold = font();
  bold.setBold(true);
  btReconnectOutputs->setFont(bold);

  ckUniverses = new QTreeWidget(this);
  ckUniverses->setGeometry(16, 83, 577, 295);
  ckUniverses->setColumnCount(static_cast<int>(kColumnWidths.size()));
  ckUniverses->setHeaderLabels(
      {"Active", "Type", "DMX Universe", "Bind IP", "Destination IP", "Status"});
  ckUniverses->setRootIsDecorated(false);
  ckUniverses->setItemsExpandable(false);
  ckUniverses->setIndentation(0);
  ckUniverses->setUniformRowHeights(true);
  ckUniverses->setAllColumnsShowFocus(true);
  ckUniverses->setSortingEnabled(false);
  ckUniverses->setSelectionBehavior(QAbstractItemView::SelectRows);
  ckUniverses->setSelectionMode(QAbstractItemView::SingleSelection);
  ckUniverses->setEditTriggers(QAbstractItemView::NoEditTriggers);
  QHeaderView* header = ckUniverses->header();
  header->setSectionsClickable(false);
  header->setSectionsMovable(false);
  header->setStretchLastSection(false);
  for (int c = 0; c < static_cast<int>(kColumnWidths.size()); ++c) {
    header->setSectionResizeMode(c, QHeaderView::Fixed);
    header->resizeSection(c, kColumnWidths.at(static_cast<std::size_t>(c)));
    ckUniverses->headerItem()->setTextAlignment(
        c, c == kColumnActive ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignCenter);
  }

  sLabel1 = new QLabel("Double click to set Bind IP and Destination IP", this);
  sLabel1->setGeometry(16, 384, 577, 17);
  sLabel1->setAlignment(Qt::AlignCenter);

  lbInputStatus = new QLabel(this);
  lbInputStatus->setGeometry(16, 48, 577, 17);

  tmrStatus = new QTimer(this);
  tmrStatus->setInterval(1000);

  setTabOrder(btInput, btReconnectOutputs);
  setTabOrder(btReconnectOutputs, ckUniverses);

  connect(btInput, &QPushButton::clicked, this, [this] { Guarded([this] { btInputClick(); }); });
  connect(btReconnectOutputs, &QPushButton::clicked, this,
          [this] { Guarded([this] { btReconnectOutputsClick(); }); });
  // clicked() comes on release, after the box has toggled, and never from a rebuild.
  connect(ckUniverses, &QAbstractItemView::clicked, this,
          [this] { Guarded([this] { ckUniversesClick(); }); });
  connect(tmrStatus, &QTimer::timeout, this, [this] { Guarded([this] { tmrStatusTimer(); }); });
  ckUniverses->installEventFilter(this);
  ckUniverses->viewport()->installEventFilter(this);

  tmrStatus->start();
}

TfrmMain::~TfrmMain() {
  ckUniverses->viewport()->removeEventFilter(this);
  ckUniverses->removeEventFilter(this);
  Guarded([this] { FormClose(); });
  TfrmMain* self = this;
  frmMain.compare_exchange_strong(self, nullptr);
}

void TfrmMain::FormCreate() {
  ConfigFileName = AppPath() + ConfigFileBaseName;
  ConfigDocument = std::make_unique<TConfigDocument>();
  ConfigDocument->LoadFromFile(ConfigFileName);
  ConfigRoot = ConfigDocument->ConfigRoot();
  UDPFactory = std::make_unique<TUDPFactory>(this);
  InterfacesInfo = std::make_unique<TInterfacesInfo>(this, UDPFactory.get());
  // The first child element of that name: a processing instruction or a
  // comment named "interfaces" is content to keep, not the slot list.
  if (pugi::xml_node interfaces = ConfigDocument->FindInterfacesNode()) {
    InterfacesInfo->LoadFromNode(interfaces);
  }
  Lock = std::make_unique<std::mutex>();
  TimerId = TimeSetEvent(75, 10, &TimerCallback, TimePeriodic);
  FillUniverseList();
  btReconnectOutputs->click();
}

void TfrmMain::FormClose() {
  if (Closed_) return;
  Closed_ = true;
  tmrStatus->stop();

  // The tick may be waiting for Lock: stop the clock without holding it.
  if (TimerId != 0) TimeKillEvent(TimerId);
  TimerId = 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Lock.reset();

  bool slotsWritten = false;
  if (ConfigDocument && InterfacesInfo) {
    Guarded([&] {
      pugi::xml_node interfaces = ConfigDocument->InterfacesNode();
      interfaces.remove_children();
      InterfacesInfo->SaveToNode(interfaces);
      slotsWritten = true;
    });
  }
  UDPFactory.reset();
  // A half-written slot list would replace good settings with the defaults at
  // the next start: keep the old file then.
  if (slotsWritten) Guarded([this] { ConfigDocument->SaveToFile(ConfigFileName); });
}

void TfrmMain::TransmitTick() {
  const std::unique_lock<std::mutex> lock = LockTick();
  if (InterfacesInfo) InterfacesInfo->UpdateAll();
}

std::unique_lock<std::mutex> TfrmMain::LockTick() {
  return Lock ? std::unique_lock<std::mutex>(*Lock) : std::unique_lock<std::mutex>();
}

void TfrmMain::btReconnectOutputsClick() {
  // After closing, the pool is gone: there is nothing left to connect.
  if (Closed_ || !InterfacesInfo) return;
  {
    const std::unique_lock<std::mutex> lock = LockTick();
    InterfacesInfo->DisconnectAll();
    InterfacesInfo->ConnectAll();
  }
  tmrStatusTimer();
}

void TfrmMain::FillUniverseList() {
  if (!InterfacesInfo) return;
  btInput->setText("Input: " + Text(InterfacesInfo->Slot(0).Port));

  const QList<QTreeWidgetItem*> selected = ckUniverses->selectedItems();
  const int selectedRow =
      selected.isEmpty() ? -1 : ckUniverses->indexOfTopLevelItem(selected.first());

  ckUniverses->setUpdatesEnabled(false);
  ckUniverses->clear();
  for (int r = 0; r < kUniverseRowCount; ++r) {
    const TInterfaceInfo& slot = InterfacesInfo->Slot(r + 1);
    auto* item =
        new QTreeWidgetItem(QStringList{QString(), "Art-Net", QString::number(r), Text(slot.Port),
                                        Text(slot.Destination), QString()});
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable |
                   Qt::ItemNeverHasChildren);
    item->setCheckState(kColumnActive, slot.Active ? Qt::Checked : Qt::Unchecked);
    for (int c = kColumnActive + 1; c < static_cast<int>(kColumnWidths.size()); ++c) {
      item->setTextAlignment(c, Qt::AlignCenter);
    }
    ckUniverses->addTopLevelItem(item);
  }
  ckUniverses->setUpdatesEnabled(true);

  if (selectedRow >= 0) ckUniverses->setCurrentItem(ckUniverses->topLevelItem(selectedRow));
}

void TfrmMain::tmrStatusTimer() {
  if (Closed_ || !InterfacesInfo) return;
  std::vector<std::string> status(static_cast<std::size_t>(InterfacesInfo->Count()));
  {
    // The tick writes a port's error state; read it in one piece.
    const std::unique_lock<std::mutex> lock = LockTick();
    // A port still waiting for its network opens here once it is there.
    InterfacesInfo->RetryPortsWaitingForNetwork(std::chrono::steady_clock::now());
    for (int i = 0; i < InterfacesInfo->Count(); ++i) {
      status[static_cast<std::size_t>(i)] = InterfacesInfo->Slot(i).Status();
    }
  }

  lbInputStatus->setText(Text(status.at(0)));
  for (int r = 0; r < kUniverseRowCount && r < ckUniverses->topLevelItemCount(); ++r) {
    QTreeWidgetItem* item = ckUniverses->topLevelItem(r);
    if (item->checkState(kColumnActive) == Qt::Checked) {
      const QString text = Text(status.at(static_cast<std::size_t>(r + 1)));
      if (item->text(kColumnStatus) != text) item->setText(kColumnStatus, text);
    } else if (!item->text(kColumnStatus).isEmpty()) {
      item->setText(kColumnStatus, QString());
    }
  }
}

void TfrmMain::ckUniversesClick() {
  if (!InterfacesInfo) return;
  bool changed = false;
  for (int r = 0; r < kUniverseRowCount && r < ckUniverses->topLevelItemCount(); ++r) {
    const bool ticked = ckUniverses->topLevelItem(r)->checkState(kColumnActive) == Qt::Checked;
    TInterfaceInfo& slot = InterfacesInfo->Slot(r + 1);
    if (ticked != slot.Active) {
      slot.Active = ticked;
      changed = true;
    }
  }
  if (changed) btReconnectOutputs->click();
}

void TfrmMain::ckUniversesKeyPress() {
  ckUniversesClick();
}

void TfrmMain::ckUniversesDblClick() {
  if (!InterfacesInfo) return;
  const QList<QTreeWidgetItem*> selected = ckUniverses->selectedItems();
  if (selected.isEmpty()) return;
  const int row = ckUniverses->indexOfTopLevelItem(selected.first());
  if (row < 0 || row >= kUniverseRowCount) return;
  TInterfaceInfo& slot = InterfacesInfo->Slot(row + 1);

  TfrmConfigPort dialog(this);
  dialog.edUniverse->setText(QString::number(slot.Universe));
  dialog.edBindIP->setText(Text(slot.Port));
  dialog.edDestinationIP->setText(Text(slot.Destination));
  if (ShowModal(dialog) == QDialog::Accepted) {
    slot.Port = dialog.edBindIP->text().toStdString();
    slot.Destination = dialog.edDestinationIP->text().toStdString();
    FillUniverseList();
    tmrStatusTimer();
  }
}

void TfrmMain::btInputClick() {
  if (!InterfacesInfo) return;
  TInterfaceInfo& slot = InterfacesInfo->Slot(0);

  TfrmConfigPort dialog(this);
  // This order leaves OK disabled at opening: the bind address is checked
  // while the empty destination field still counts.
  dialog.lbUniverse->hide();
  dialog.lbDestinationIP->hide();
  dialog.edUniverse->hide();
  dialog.edBindIP->setText(Text(slot.Port));
  dialog.edDestinationIP->hide();
  if (ShowModal(dialog) == QDialog::Accepted) {
    slot.Port = dialog.edBindIP->text().toStdString();
    FillUniverseList();
  }
}

void TfrmMain::closeEvent(QCloseEvent* Event) {
  Guarded([this] { FormClose(); });
  QDialog::closeEvent(Event);
}

void TfrmMain::keyPressEvent(QKeyEvent* Event) {
  // A dialog closes on Esc; the main window must not.
  if (Event->key() == Qt::Key_Escape) {
    Event->accept();
    return;
  }
  QDialog::keyPressEvent(Event);
}

void TfrmMain::showEvent(QShowEvent* Event) {
  if (!Centred_) {
    Centred_ = true;
    CentreOnScreen(*this);
  }
  QDialog::showEvent(Event);
}

bool TfrmMain::eventFilter(QObject* Watched, QEvent* Event) {
  bool consumed = false;
  Guarded([&] {
    if (Watched == ckUniverses && Event->type() == QEvent::KeyPress) {
      const auto* key = static_cast<QKeyEvent*>(Event);
      if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
        // Space toggles the current row's box whichever cell is current; the
        // view alone would toggle only a checkable current cell.
        if (QTreeWidgetItem* item = ckUniverses->currentItem()) {
          item->setCheckState(kColumnActive, item->checkState(kColumnActive) == Qt::Checked
                                                 ? Qt::Unchecked
                                                 : Qt::Checked);
        }
        consumed = true;
      }
      if (!key->text().isEmpty()) ckUniversesKeyPress();
    } else if (Watched == ckUniverses->viewport() && Event->type() == QEvent::MouseButtonDblClick &&
               static_cast<const QMouseEvent*>(Event)->button() == Qt::LeftButton) {
      // Opened from the event loop, not from inside the view's mouse handling,
      // because the list is rebuilt after the dialog.
      QMetaObject::invokeMethod(
          this, [this] { Guarded([this] { ckUniversesDblClick(); }); }, Qt::QueuedConnection);
    }
  });
  return consumed || QDialog::eventFilter(Watched, Event);
}

}  // namespace pallador
