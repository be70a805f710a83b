#include "ui/widgets/KitItemViews.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QItemSelectionModel>
#include <QPainter>

#include <algorithm>

#include "ui/widgets/KitCell.h"
#include "ui/widgets/KitStyle.h"

namespace KitItemViews {

void Prepare(QAbstractItemView* view) {
  view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setDragEnabled(false);
  view->setAcceptDrops(false);
  view->setFrameShape(QFrame::NoFrame);
  view->setAutoScroll(false);
  // The style paints a selection, an alternate row and a focus frame from
  // these roles; transparent, they paint nothing in any colour group.
  QPalette palette = view->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    palette.setColor(group, QPalette::Highlight, Qt::transparent);
    palette.setColor(group, QPalette::AlternateBase, Qt::transparent);
    palette.setColor(group, QPalette::HighlightedText, palette.color(group, QPalette::Text));
  }
  view->setPalette(palette);
  view->viewport()->setAutoFillBackground(false);
}

void PaintStripes(QPainter* painter, const QRect& area, int verticalOffset) {
  if (area.isEmpty()) return;
  const int contentTop = area.top() + verticalOffset;
  const int contentBottom = area.bottom() + verticalOffset;
  for (int k = std::max(0, contentTop / kStripeHeight); k * kStripeHeight <= contentBottom; ++k) {
    const QRect stripe(area.left(), k * kStripeHeight - verticalOffset, area.width(), kStripeHeight);
    painter->fillRect(stripe.intersected(area), k % 2 == 0 ? KitColors::kStripeA : KitColors::kStripeB);
  }
}

void KeepCursorOnSelection(QAbstractItemView* view) {
  const QModelIndexList selected = view->selectionModel()->selectedRows();
  if (selected.isEmpty()) return;
  const QModelIndex row = selected.first();
  if (view->currentIndex().siblingAtColumn(0) != row) {
    view->selectionModel()->setCurrentIndex(row, QItemSelectionModel::NoUpdate);
  }
}

QRect RowRect(int row, int rowHeight, int verticalOffset, int viewportWidth) {
  return {0, row * rowHeight - verticalOffset, viewportWidth, rowHeight};
}

}  // namespace KitItemViews

QItemSelectionModel::SelectionFlags KitSelectionGate::filter(const QItemSelectionModel* selection,
                                                             const QModelIndex& index, const QEvent* event,
                                                             QItemSelectionModel::SelectionFlags flags,
                                                             const std::function<bool(bool*)>& ask) {
  if (!index.isValid() || !flags.testFlag(QItemSelectionModel::Select)) return flags;
  const QEvent::Type type = event != nullptr ? event->type() : QEvent::None;
  // Dragging over the selected row asks nothing again, and a release asks
  // only when its press did not (a press on the selected row).
  if (type == QEvent::MouseMove && selection->isSelected(index)) return flags;
  if (type == QEvent::MouseButtonRelease && pressAsked_) return QItemSelectionModel::NoUpdate;
  if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) pressAsked_ = true;
  event_ = event;
  bool reloaded = false;
  const bool allowed = ask(&reloaded);
  event_ = nullptr;
  return allowed && !reloaded ? flags : QItemSelectionModel::NoUpdate;
}

KitCellDelegate::KitCellDelegate(IKitCellHost* host, QObject* parent) : QStyledItemDelegate(parent), host_(host) {}

void KitCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  KitCell* cell = host_->preparedCell(index.column(), index);
  if (cell == nullptr) return;
  painter->save();
  painter->setClipRect(option.rect, Qt::IntersectClip);
  cell->drawWithFrame(painter, option.rect);
  painter->restore();
}

QSize KitCellDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return {0, host_->rowHeight()};
}
