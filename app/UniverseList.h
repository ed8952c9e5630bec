#pragma once

#include <QTreeWidget>

namespace pallador {

// The universe list: a report view with a check box per row. As in the
// platform's report-view list, a press anywhere on a row, its check box
// included, first makes that row current and selected; only then does the box
// toggle (on release). While the list has the focus, the current row carries
// a focus mark, a thin outline that also shows on the selected row.
// Thread: main thread.
class TUniverseList : public QTreeWidget {
  Q_OBJECT

 public:
  explicit TUniverseList(QWidget* Parent);

 protected:
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseDoubleClickEvent(QMouseEvent* Event) override;
  void drawRow(QPainter* Painter, const QStyleOptionViewItem& Option,
               const QModelIndex& Index) const override;

 private:
  void SelectRowAt(const QPoint& Position);
};

}  // namespace pallador
