// What the kit's outline and table views share. They draw no selection of
// their own: the window names the row to paint selected. Rows all have one
// height, so that a view of a million rows lays out and scrolls without
// measuring rows it never shows, and every column is drawn by its column's
// cell (KitCell.h), dressed for each row by the window as it is painted.
#pragma once

#include <QItemSelectionModel>
#include <QModelIndex>
#include <QStyledItemDelegate>

#include <functional>

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

// The delegate's say over the rows the user selects. Qt asks a view how a
// press, a drag or a key changes its selection; the gate asks the delegate
// once per user action, with the event at hand, and copes with a delegate
// that reloads the view while it decides.
class KitSelectionGate {
 public:
  // Called as a press reaches the view.
  void pressStarting() { pressAsked_ = false; }
  // The event being decided on, while the delegate is asked; else null.
  const QEvent* currentEvent() const { return event_; }
  // `flags`: Qt's answer for selecting `index` on `event`. `ask` asks the
  // delegate and answers whether the row may be selected; it sets
  // `*reloaded` when the delegate reloaded the view meanwhile, after it
  // selected the row anew itself (Qt's index is gone then).
  QItemSelectionModel::SelectionFlags filter(const QItemSelectionModel* selection, const QModelIndex& index,
                                             const QEvent* event, QItemSelectionModel::SelectionFlags flags,
                                             const std::function<bool(bool* reloaded)>& ask);

 private:
  const QEvent* event_ = nullptr;
  bool pressAsked_ = false;
};

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
