#include "app/ScreenCentre.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

namespace pallador {
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
// frames a window between its creation and its first exposure, activation or
// move, whichever comes first.
class TCentreWhenFramed : public QObject {
 public:
  static constexpr const char* kName = "centreWhenFramed";

  TCentreWhenFramed(QWidget& Window, QWindow& Handle) : QObject(&Window), Window_(Window) {
    setObjectName(kName);
    Handle.installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    const QEvent::Type type = Event->type();
    const bool settled = type == QEvent::Expose || type == QEvent::Move || type == QEvent::FocusIn;
    if (settled && !FrameOf(Window_).isNull()) {
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

}  // namespace pallador
