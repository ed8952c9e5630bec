#include "app/UniverseList.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QPainter>

#include "app/GarnetTheme.h"

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

void TUniverseList::drawRow(QPainter* Painter, const QStyleOptionViewItem& Option,
                            const QModelIndex& Index) const {
  QTreeWidget::drawRow(Painter, Option, Index);
  const QModelIndex current = currentIndex();
  if (!hasFocus() || !current.isValid() || current.row() != Index.row()) return;
  // Across the columns, over the row's own grid line.
  const QRect row(-header()->offset(), Option.rect.top(), header()->length(), Option.rect.height());
  Painter->save();
  Painter->setRenderHint(QPainter::Antialiasing, false);
  Painter->setPen(GarnetFocusColour);
  Painter->setBrush(Qt::NoBrush);
  Painter->drawRect(row.adjusted(0, 0, -1, -1));
  Painter->restore();
}

}  // namespace pallador
