// What the kit's outline and table views share. They draw no selection of
// their own: the window names the row to paint selected. Rows all have one
// height, so that a view of a million rows lays out and scrolls without
// measuring rows it never shows, and every column is drawn by its column's
// cell (KitCell.h), dressed for each row by the window as it is painted.
#pragma once

#include <QModelIndex>
#include <QStyledItemDelegate>

class QAbstractItemView;
class QPainter;
class KitCell;

namespace KitItemViews {

// Height of one background stripe, and the rows' height unless a window sets
// another (so that stripes and rows line up).
constexpr int kStripeHeight = 39;
constexpr int kDefaultRowHeight = 39;

// Per-pixel scrolling, no editing, no drag and drop, and a palette under
// which the platform style draws no selection or focus of its own; the view's
// viewport is left for the view to paint.
void Prepare(QAbstractItemView* view);

// Stripes A and B of kStripeHeight, counted from the top of the content
// (scrolled up by `verticalOffset`), over `area` of the viewport.
void PaintStripes(QPainter* painter, const QRect& area, int verticalOffset);

// After a key press: the keyboard moves on from the selected row. Qt moves
// its cursor even where the delegate refused the row, or where a reloading
// delegate had the row selected afresh; this puts it back.
void KeepCursorOnSelection(QAbstractItemView* view);

// The rectangle of visual row `row` across the whole viewport width.
QRect RowRect(int row, int rowHeight, int verticalOffset, int viewportWidth);

}  // namespace KitItemViews

// A view whose columns are drawn by cells.
class IKitCellHost {
 public:
  virtual ~IKitCellHost() = default;
  // The column's cell, filled with the row's value and dressed by the
  // window; null when the column has none.
  virtual KitCell* preparedCell(int column, const QModelIndex& index) = 0;
  virtual int rowHeight() const = 0;
};

// Paints each cell of a view through its host's prepared cell, clipped to
// the cell; every row reports the host's row height.
class KitCellDelegate : public QStyledItemDelegate {
 public:
  KitCellDelegate(IKitCellHost* host, QObject* parent);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  IKitCellHost* host_;
};
