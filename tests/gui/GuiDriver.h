#pragma once

// Driving the windows from tests: modal dialogs from inside their exec() loop,
// and the places in the universe list to click.

#include <gtest/gtest.h>

#include <QApplication>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <ostream>

#include "app/frConfigPort.h"

// Failure messages show a QString as its text (found by argument-dependent lookup).
inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}

namespace pallador::testsupport {

// Runs Body on the next port dialog that becomes modal, inside its exec() loop.
// A watchdog ends a dialog that is still open five seconds later, so a failing
// test can't hang.
class TModalDriver {
 public:
  explicit TModalDriver(std::function<void(TfrmConfigPort&)> Body) : Body_(std::move(Body)) {
    QObject::connect(&Poll_, &QTimer::timeout, [this] { Check(); });
    Poll_.start(5);
  }
  bool Ran() const { return Ran_; }

 private:
  void Check() {
    auto* dialog = qobject_cast<TfrmConfigPort*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    Poll_.stop();
    Ran_ = true;
    // The timer dies with the dialog, so the call never meets a freed one.
    QTimer::singleShot(5000, dialog, [dialog] {
      if (dialog->isVisible()) {
        ADD_FAILURE() << "the port dialog was still open: watchdog closed it";
        dialog->done(-1);
      }
    });
    Body_(*dialog);
  }

  std::function<void(TfrmConfigPort&)> Body_;
  QTimer Poll_;
  bool Ran_ = false;
};

inline QModelIndex Cell(QTreeWidget& List, int Row, int Column) {
  return List.model()->index(Row, Column);
}

inline QPoint CellCentre(QTreeWidget& List, int Row, int Column) {
  return List.visualRect(Cell(List, Row, Column)).center();
}

// Where a click toggles the row's check box.
inline QPoint CheckBoxCentre(QTreeWidget& List, int Row) {
  QStyleOptionViewItem option;
  option.initFrom(&List);
  option.rect = List.visualRect(Cell(List, Row, 0));
  option.features = QStyleOptionViewItem::HasCheckIndicator;
  return List.style()
      ->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, &List)
      .center();
}

}  // namespace pallador::testsupport
