#include "app/UniverseList.h"

#include <QItemSelectionModel>
#include <QMouseEvent>

namespace pallador {

TUniverseList::TUniverseList(QWidget* Parent) : QTreeWidget(Parent) {}

void TUniverseList::SelectRowAt(const QPoint& Position) {
  // The view itself skips this for a press on a check box: the box takes that
  // press, and the row that was selected before would stay current.
  const QModelIndex index = indexAt(Position);
  if (!index.isValid() || selectionModel() == nullptr) return;
  selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TUniverseList::mousePressEvent(QMouseEvent* Event) {
  SelectRowAt(Event->position().toPoint());
  QTreeWidget::mousePressEvent(Event);
}

void TUniverseList::mouseDoubleClickEvent(QMouseEvent* Event) {
  SelectRowAt(Event->position().toPoint());
  QTreeWidget::mouseDoubleClickEvent(Event);
}

}  // namespace pallador
