#include "app/frConfigPort.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include "app/DMXUtils.h"
#include "app/GarnetTheme.h"

namespace pallador {
namespace {

QLabel* MakeLabel(QWidget* Parent, const QString& Text, const QRect& Geometry) {
  auto* label = new QLabel(Text, Parent);
  label->setGeometry(Geometry);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return label;
}

QLineEdit* MakeEdit(QWidget* Parent, const QRect& Geometry) {
  auto* edit = new QLineEdit(Parent);
  edit->setGeometry(Geometry);
  return edit;
}

}  // namespace

namespace {

// The frame the window manager gave the window; none before it has framed it.
QMargins FrameOf(const QWidget& Window) {
  const QWindow* handle = Window.windowHandle();
  return handle != nullptr ? handle->frameMargins() : QMargins();
}

// Until the window manager has framed a window, take the frame of another
// framed window of the program (a dialog is framed like its owner on the
// usual window managers), or none.
QMargins KnownOrLikelyFrame(const QWidget& Window) {
  const QMargins own = FrameOf(Window);
  if (!own.isNull()) return own;
  for (const QWidget* other : QApplication::topLevelWidgets()) {
    if (other == &Window || !other->isVisible()) continue;
    const QMargins theirs = FrameOf(*other);
    if (!theirs.isNull()) return theirs;
  }
  return {};
}

// Centres the window once more when its frame is known: a window manager
// frames a window between its creation and its first exposure.
class TCentreWhenFramed : public QObject {
 public:
  static constexpr const char* kName = "centreWhenFramed";

  TCentreWhenFramed(QWidget& Window, QWindow& Handle) : QObject(&Window), Window_(Window) {
    setObjectName(kName);
    Handle.installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::Expose && !FrameOf(Window_).isNull()) {
      Watched->removeEventFilter(this);
      CentreOnScreen(Window_);
      deleteLater();
    }
    return false;
  }

 private:
  QWidget& Window_;
};

}  // namespace

void CentreOnScreen(QWidget& Window) {
  QScreen* screen = Window.screen() != nullptr ? Window.screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  // Explicitly, frame included: a window's own centring subtracts a guessed frame.
  const QMargins frame = KnownOrLikelyFrame(Window);
  const QSize outer = Window.size().grownBy(frame);
  const QPoint frameTopLeft = screen->availableGeometry().center() - QRect({}, outer).center();
  const QPoint clientTopLeft = frameTopLeft + QPoint(frame.left(), frame.top());
  if (Window.geometry().topLeft() != clientTopLeft) {
    Window.setGeometry(QRect(clientTopLeft, Window.size()));
  }
  QWindow* handle = Window.windowHandle();
  if (handle != nullptr && FrameOf(Window).isNull() &&
      Window.findChild<QObject*>(TCentreWhenFramed::kName, Qt::FindDirectChildrenOnly) == nullptr) {
    new TCentreWhenFramed(Window, *handle);
  }
}

TfrmConfigPort::TfrmConfigPort(QWidget* Owner)
    : QDialog(Owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("frmConfigPort");
  setWindowTitle("Port configuration");
  setFixedSize(318, 177);
  setFont(DialogFont());

  lbUniverse = MakeLabel(this, "Universe", {15, 48, 110, 13});
  edUniverse = MakeEdit(this, {136, 44, 89, 21});
  edUniverse->setText("0");
  edUniverse->setReadOnly(true);
  edUniverse->setEnabled(false);
  edUniverse->setFocusPolicy(Qt::NoFocus);
  edBindIP = MakeEdit(this, {136, 68, 121, 21});
  sLabel2 = MakeLabel(this, "Bind IP", {15, 72, 110, 13});
  edDestinationIP = MakeEdit(this, {136, 92, 121, 21});
  lbDestinationIP = MakeLabel(this, "Destination IP", {15, 96, 110, 13});

  btOk = new QPushButton("OK", this);
  btOk->setGeometry(96, 131, 129, 30);
  btOk->setIcon(OkGlyph());
  btOk->setIconSize({16, 16});
  btOk->setDefault(true);
  btOk->setEnabled(false);

  setTabOrder(edUniverse, edBindIP);
  setTabOrder(edBindIP, edDestinationIP);
  setTabOrder(edDestinationIP, btOk);

  // textChanged, not textEdited: the check also runs when the window sets a text.
  connect(edBindIP, &QLineEdit::textChanged, this, [this] { edBindIPChange(); });
  connect(edDestinationIP, &QLineEdit::textChanged, this, [this] { edBindIPChange(); });
  connect(btOk, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });
}

void TfrmConfigPort::edBindIPChange() {
  // "Hidden", not "visible": the dialog is filled before it is shown.
  const bool bindValid = IsValidIP(edBindIP->text().toStdString());
  if (!edDestinationIP->isHidden()) {
    btOk->setEnabled(bindValid && IsValidIP(edDestinationIP->text().toStdString()));
  } else {
    btOk->setEnabled(bindValid);
  }
}

void TfrmConfigPort::showEvent(QShowEvent* Event) {
  CentreOnScreen(*this);
  QDialog::showEvent(Event);
}

}  // namespace pallador
