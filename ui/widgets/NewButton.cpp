#include "ui/widgets/NewButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>

namespace {
// One latch for every cell of the process.
bool g_latched = false;
constexpr QSize kIconSize{40, 30};
constexpr QSize kTitleSize{800, 16};

int Centred(const QRect& cell, int height) { return cell.y() + (cell.height() - height + 1) / 2; }
}  // namespace

QRect NewButton::iconImageRectForBounds(const QRect& cell) const {
  if (icon_.isNull()) return {};
  return {QPoint(cell.x() + 8, Centred(cell, kIconSize.height())), kIconSize};
}

QRect NewButton::imageRectForBounds(const QRect& cell) const {
  if (label_.isEmpty()) return {};
  const int x = cell.x() + (icon_.isNull() ? 15 : 40);
  return {QPoint(x, Centred(cell, kTitleSize.height())), kTitleSize};
}

// The title's frame is far wider than any column: the text is cut where
// the cell ends, not where the frame does.
QString NewButton::shownLabel(const QFontMetrics& metrics, const QRect& cell) const {
  const QRect title = imageRectForBounds(cell);
  const int room = std::min(title.right(), cell.right()) - title.left() + 1;
  if (room <= 0) return {};
  return metrics.elidedText(label_, labelElideMode_, room);
}

QRect NewButton::iconDrawnRectForBounds(const QRect& cell) const {
  const QRect box = iconImageRectForBounds(cell);
  if (box.isNull()) return {};
  // The icon keeps its own size in the middle of its box, shrunk (keeping
  // its proportions) only when it is larger: the box is wider than the room
  // between the tick area and the title.
  const QSize own = icon_.deviceIndependentSize().toSize();
  const QSize drawn =
      own.width() > box.width() || own.height() > box.height() ? own.scaled(box.size(), Qt::KeepAspectRatio) : own;
  return {QPoint(box.x() + (box.width() - drawn.width()) / 2, box.y() + (box.height() - drawn.height()) / 2), drawn};
}

void NewButton::drawWithFrame(QPainter* painter, const QRect& cell) const {
  if (!icon_.isNull()) painter->drawPixmap(iconDrawnRectForBounds(cell), icon_);
  if (!label_.isEmpty()) {
    const QRect title = imageRectForBounds(cell);
    painter->save();
    painter->setClipRect(title.intersected(cell));
    painter->setPen(labelColor_);
    painter->drawText(title, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                      shownLabel(painter->fontMetrics(), cell));
    painter->restore();
  }
  if (!tick_.isNull()) {
    const QRect tick(QPoint(0, 0), tick_.deviceIndependentSize().toSize());
    painter->drawPixmap(tick.translated(cell.x(), Centred(cell, tick.height())), tick_);
  }
}

bool NewButton::hitTest(const QPoint& point, const QRect& cell) {
  const QRect tickArea(cell.topLeft(), kTickArea);
  if (!tickArea.contains(point) || g_latched) return false;
  g_latched = true;
  QTimer::singleShot(kLatchMs, [] { g_latched = false; });
  if (delegate_ != nullptr) delegate_->clickButtonAction(this);
  return true;
}

bool NewButton::latched() { return g_latched; }

KitCheckCellFilter::KitCheckCellFilter(QAbstractItemView* view, NewButton* cell, int column,
                                       std::function<void(NewButton*, const QModelIndex&)> prepare)
    : QObject(view), view_(view), cell_(cell), column_(column), prepare_(std::move(prepare)) {
  view->viewport()->installEventFilter(this);
}

bool KitCheckCellFilter::eventFilter(QObject* watched, QEvent* event) {
  // The type first: while the view is being taken apart its viewport still
  // sends events here, and the view must not be touched then.
  if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonDblClick) return false;
  if (view_ == nullptr || watched != view_->viewport()) return false;
  auto* mouse = static_cast<QMouseEvent*>(event);
  if (mouse->button() != Qt::LeftButton) return false;
  const QPoint pos = mouse->position().toPoint();
  const QModelIndex index = view_->indexAt(pos);
  if (!index.isValid() || index.column() != column_) return false;
  if (prepare_) prepare_(cell_, index);
  // Inside the tick area the press is ours alone, even while latched: a
  // second click there must not select the row either.
  const QRect cell = view_->visualRect(index);
  if (!QRect(cell.topLeft(), NewButton::kTickArea).contains(pos)) return false;
  cell_->hitTest(pos, cell);
  return true;
}
