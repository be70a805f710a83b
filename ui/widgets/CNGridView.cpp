#include "ui/widgets/CNGridView.h"

#include <QGraphicsOpacityEffect>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>

#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitStyle.h"

namespace {
constexpr qreal kP = CNGridGeometry::kItemSize;
}  // namespace

// ---- geometry ---------------------------------------------------------------

quint64 CNGridGeometry::columns() const {
  const qreal c = std::floor(visible.width() / kP);
  return c < 1 ? 1 : static_cast<quint64>(c);
}

quint64 CNGridGeometry::allOverRows() const {
  const quint64 c = columns();
  return (count + c - 1) / c;
}

quint64 CNGridGeometry::visibleRows() const {
  const qreal r = std::ceil(visible.height() / kP);
  return r < 0 ? 0 : static_cast<quint64>(r);
}

qreal CNGridGeometry::inset() const {
  if (!centred) return 0;
  // Never negative: a view narrower than one cell keeps the cell at its
  // left edge rather than cutting off its top and left.
  return std::max<qreal>(0, std::floor((visible.width() - static_cast<qreal>(columns()) * kP) / 2));
}

qreal CNGridGeometry::contentHeight() const { return static_cast<qreal>(allOverRows()) * kP + 2 * inset(); }

QRectF CNGridGeometry::rectForItemAtIndex(quint64 index) const {
  const quint64 c = columns();
  const qreal i = inset();
  return {static_cast<qreal>(index % c) * kP + i, static_cast<qreal>(index / c) * kP + i, kP, kP};
}

qint64 CNGridGeometry::indexForItemAtPoint(const QPointF& point) const {
  const quint64 c = columns();
  const qreal i = inset();
  if (point.x() < i || point.x() >= static_cast<qreal>(c) * kP + i || point.y() < i) return kCNNotFound;
  const auto column = static_cast<quint64>(std::floor((point.x() - i) / kP));
  const auto row = static_cast<quint64>(std::floor((point.y() - i) / kP));
  const quint64 index = row * c + column;
  return index < count ? static_cast<qint64>(index) : kCNNotFound;
}

CNGridGeometry::Range CNGridGeometry::visibleItemRange() const {
  const quint64 c = columns();
  // Rows are counted from the inset, so a top row only partly in view is
  // still placed.
  const qreal y = visible.y() - inset();
  const quint64 first = y <= kP ? 0 : (static_cast<quint64>(std::ceil(y / kP)) - 1) * c;
  if (first >= count) return {first, 0};
  const quint64 length = std::min(count, c * visibleRows() + c);
  return {first, std::min(length, count - first)};
}

// ---- the view ---------------------------------------------------------------

CNGridView::CNGridView(QWidget* parent) : QAbstractScrollArea(parent) {
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setMouseTracking(true);
  viewport()->setAutoFillBackground(true);
  verticalScrollBar()->setSingleStep(kP / 5);
  setBackgroundColor({});
  viewportSize_ = viewport()->size();
}

CNGridView::~CNGridView() {
  // The items die with the viewport, after this object's members: they
  // must not report their end to us.
  for (CNGridViewItemBase* item : std::as_const(adopted_)) disconnect(item, nullptr, this, nullptr);
  adopted_.clear();
}

void CNGridView::setUseCenterAlignment(bool centre) {
  if (centre == useCenterAlignment_) return;
  useCenterAlignment_ = centre;
  refreshGridViewAnimated(false, true);
}

void CNGridView::setBackgroundColor(const QColor&) {
  QPalette palette = viewport()->palette();
  palette.setColor(QPalette::Window, KitColors::kControl);
  palette.setColor(QPalette::Base, KitColors::kControl);
  viewport()->setPalette(palette);
}

void CNGridView::scrollToPoint(const QPointF& point) { verticalScrollBar()->setValue(static_cast<int>(point.y())); }

CNGridGeometry CNGridView::geometryNow() const {
  CNGridGeometry g;
  g.visible = clippedRect();
  g.count = numberOfItems_;
  g.centred = useCenterAlignment_;
  return g;
}

QRectF CNGridView::clippedRect() const {
  return {0, static_cast<qreal>(verticalScrollBar()->value()), static_cast<qreal>(viewport()->width()),
          static_cast<qreal>(viewport()->height())};
}

qint64 CNGridView::indexForItemAtLocation(const QPointF& point) const {
  return geometryNow().indexForItemAtPoint(point + QPointF(0, verticalScrollBar()->value()));
}

int CNGridView::queuedItemCount() const {
  int n = 0;
  for (const auto& queue : reuseable_) n += static_cast<int>(queue.size());
  return n;
}

// ---- reload, layout passes and recycling -------------------------------------

void CNGridView::reloadDataAnimated(bool animated) {
  if (placing_) return;  // a data source reloading from inside itemAtIndex
  // A reload may change what every index means: a selection kept across it
  // would name items that are no longer shown.
  deselectAllItems();
  numberOfItems_ = dataSource_ ? dataSource_->numberOfItemsInSection(this, 0) : 0;
  // The placed items wait for reuse instead of being made anew: the data
  // source takes them out of the queues again for the new indexes.
  const QList<CNGridViewItemBase*> placed = visible_.values();
  visible_.clear();
  newlyPlaced_.clear();
  for (CNGridViewItemBase* item : placed) recycle(item);
  lastHoveredIndex_ = kCNNotFound;
  refreshGridViewAnimated(animated, true);
}

void CNGridView::refreshGridViewAnimated(bool /*animated*/, bool initial) {
  isInitialCall_ = initial;
  updateScrollRange();
  if (passQueued_) return;
  passQueued_ = true;
  QMetaObject::invokeMethod(
      this, [this] { layoutPass(); }, Qt::QueuedConnection);
}

void CNGridView::layoutPass() {
  passQueued_ = false;
  updateScrollRange();
  updateReuseableItems();
  updateVisibleItems();
  arrangeGridViewItems();
}

void CNGridView::updateVisibleRect() {
  updateReuseableItems();
  updateVisibleItems();
  arrangeGridViewItems();
}

void CNGridView::updateScrollRange() {
  const CNGridGeometry g = geometryNow();
  const qreal spare = g.contentHeight() - viewport()->height();
  const int maximum = spare <= 0 ? 0 : static_cast<int>(std::min<qreal>(spare, INT_MAX));
  QScrollBar* bar = verticalScrollBar();
  bar->setPageStep(std::max(1, viewport()->height()));
  bar->setRange(0, maximum);
}

void CNGridView::updateReuseableItems() {
  const CNGridGeometry::Range range = visibleItemRange();
  const auto inRange = [&](qint64 index) {
    return index >= 0 && static_cast<quint64>(index) >= range.location &&
           static_cast<quint64>(index) < range.location + range.length;
  };
  for (auto it = visible_.begin(); it != visible_.end();) {
    CNGridViewItemBase* item = it.value();
    if (inRange(it.key()) || !item->isReuseable()) {
      ++it;
      continue;
    }
    it = visible_.erase(it);
    newlyPlaced_.removeAll(item);
    recycle(item);
  }
}

void CNGridView::recycle(CNGridViewItemBase* item) {
  item->hide();
  item->setGraphicsEffect(nullptr);
  item->prepareForReuse();
  QList<CNGridViewItemBase*>& queue = reuseable_[item->reuseIdentifier()];
  if (!queue.contains(item)) queue.append(item);
}

CNGridViewItemBase* CNGridView::dequeueReusableItemWithIdentifier(const QString& identifier) {
  auto it = reuseable_.find(identifier);
  if (it == reuseable_.end() || it->isEmpty()) return nullptr;
  CNGridViewItemBase* item = it->takeLast();
  item->setRepresentedObject({});
  if (placing_) lent_.append(item);
  return item;
}

void CNGridView::adopt(CNGridViewItemBase* item) {
  if (item->parentWidget() != viewport()) item->setParent(viewport());
  // An item the data source gave back without taking it out of its queue.
  for (auto& queue : reuseable_) queue.removeAll(item);
  if (adopted_.contains(item)) return;
  adopted_.insert(item);
  connect(this, &CNGridView::gridViewDeSelectAllItems, item, &CNGridViewItemBase::deSelectAll);
  connect(item, &QObject::destroyed, this, [this, item] { forget(item); });
}

// An item deleted by someone else: nothing may point at it any more.
void CNGridView::forget(CNGridViewItemBase* item) {
  adopted_.remove(item);
  for (auto& queue : reuseable_) queue.removeAll(item);
  lent_.removeAll(item);
  for (auto it = visible_.begin(); it != visible_.end();) it = it.value() == item ? visible_.erase(it) : ++it;
  for (auto it = selected_.begin(); it != selected_.end();) it = it.value() == item ? selected_.erase(it) : ++it;
  newlyPlaced_.removeAll(item);
}

void CNGridView::updateVisibleItems() {
  if (dataSource_ == nullptr) return;
  const CNGridGeometry::Range visible = visibleItemRange();
  placing_ = true;
  for (quint64 i = visible.location; i < visible.location + visible.length; ++i) {
    const auto index = static_cast<qint64>(i);
    if (visible_.contains(index)) continue;
    CNGridViewItemBase* item = dataSource_->itemAtIndex(this, index, 0);
    // An item taken from a queue but not given back (the data source had
    // nothing for that index) goes back to its queue.
    for (CNGridViewItemBase* lent : std::as_const(lent_)) {
      if (lent != item) reuseable_[lent->reuseIdentifier()].append(lent);
    }
    lent_.clear();
    if (item == nullptr) continue;
    // The same widget cannot stand in two cells.
    if (std::find(visible_.cbegin(), visible_.cend(), item) != visible_.cend()) continue;
    adopt(item);
    item->setIndex(index);
    if (isInitialCall_) newlyPlaced_.append(item);
    visible_.insert(index, item);
    item->show();
  }
  placing_ = false;
}

void CNGridView::arrangeGridViewItems() {
  if (visible_.isEmpty()) return;
  if (isInitialCall_) {
    isInitialCall_ = false;
    fadeIn(newlyPlaced_);
    newlyPlaced_.clear();
  }
  // Every pass puts every placed item at its cell, also after a width
  // change: items keep no cell of a former width.
  const CNGridGeometry g = geometryNow();
  const int offset = verticalScrollBar()->value();
  for (auto it = visible_.cbegin(); it != visible_.cend(); ++it) {
    it.value()->setGeometry(g.rectForItemAtIndex(static_cast<quint64>(it.key())).toRect().translated(0, -offset));
  }
}

void CNGridView::fadeIn(const QList<CNGridViewItemBase*>& items) {
  const int ms = KitAnimations::Duration(kFadeInMs);
  if (ms <= 0) return;
  for (CNGridViewItemBase* item : items) {
    auto* effect = new QGraphicsOpacityEffect(item);
    effect->setOpacity(0);
    item->setGraphicsEffect(effect);
    auto* fade = new QPropertyAnimation(effect, "opacity", effect);
    fade->setDuration(ms);
    fade->setStartValue(0.0);
    fade->setEndValue(1.0);
    // Faded in, the item paints directly again; the effect goes after the
    // animation has returned.
    connect(fade, &QAbstractAnimation::finished, item, [item, effect = QPointer<QGraphicsOpacityEffect>(effect)] {
      QTimer::singleShot(0, item, [item, effect] {
        if (effect && item->graphicsEffect() == effect) item->setGraphicsEffect(nullptr);
      });
    });
    fade->start();
  }
}

void CNGridView::scrollContentsBy(int, int) {
  updateVisibleRect();
  viewport()->update();
}

void CNGridView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  const QSize size = viewport()->size();
  if (size == viewportSize_) return;
  const bool widthChanged = size.width() != viewportSize_.width();
  viewportSize_ = size;
  refreshGridViewAnimated(widthChanged, true);
}

// ---- hover and selection ------------------------------------------------------

void CNGridView::hoverItemAtIndex(qint64 index) {
  emit gridViewWillHoverItem(index);
  if (delegate_) delegate_->willHoverItemAtIndex(this, static_cast<quint64>(index), 0);
  lastHoveredIndex_ = index;
  if (CNGridViewItemBase* item = placedItem(index)) item->setHovered(true);
}

void CNGridView::unHoverItemAtIndex(qint64 index) {
  emit gridViewWillUnhoverItem(index);
  if (delegate_) delegate_->willUnhoverItemAtIndex(this, static_cast<quint64>(index), 0);
  if (CNGridViewItemBase* item = placedItem(index)) item->setHovered(false);
}

void CNGridView::selectItem(CNGridViewItemBase* item) {
  if (item == nullptr || selected_.contains(item->index())) return;
  const qint64 index = item->index();
  emit gridViewWillSelectItem(index);
  if (delegate_) delegate_->willSelectItemAtIndex(this, static_cast<quint64>(index), 0);
  item->setSelected(true);
  selected_.insert(index, item);
  emit gridViewDidSelectItem(index);
  if (delegate_) delegate_->didSelectItemAtIndex(this, static_cast<quint64>(index), 0);
}

void CNGridView::deselectAllItems() {
  if (selected_.isEmpty()) return;
  const QList<CNGridViewItemBase*> items = selected_.values();
  emit gridViewWillDeselectAllItems(items);
  if (delegate_) delegate_->willDeselectAllItems(this, items);
  emit gridViewDeSelectAllItems();
  selected_.clear();
  emit gridViewDidDeselectAllItems();
  if (delegate_) delegate_->gridViewDidDeselectAllItems(this);
}

void CNGridView::mouseMoveEvent(QMouseEvent* event) {
  // Hover follows the pointer only in the active window.
  if (!useHover_ || !isActiveWindow()) return;
  const qint64 index = indexForItemAtLocation(event->position());
  if (index == kCNNotFound && lastHoveredIndex_ == kCNNotFound) return;
  if (lastHoveredIndex_ != kCNNotFound && lastHoveredIndex_ != index) unHoverItemAtIndex(lastHoveredIndex_);
  if (lastHoveredIndex_ != index) hoverItemAtIndex(index);
}

// The pointer left the grid: nothing stays drawn hovered.
void CNGridView::mouseExited() {
  if (lastHoveredIndex_ != kCNNotFound) unHoverItemAtIndex(lastHoveredIndex_);
  lastHoveredIndex_ = kCNNotFound;
}

void CNGridView::mousePressEvent(QMouseEvent* event) {
  // Left clicks and drags select nothing; a right click selects the item
  // under it alone, keeps a selection it lands in, and clears it elsewhere.
  if (event->button() != Qt::RightButton) return;
  const qint64 index = indexForItemAtLocation(event->position());
  if (index == kCNNotFound) {
    deselectAllItems();
    return;
  }
  if (selected_.contains(index)) return;
  deselectAllItems();
  selectItem(placedItem(index));
}

void CNGridView::mouseReleaseEvent(QMouseEvent*) {}
void CNGridView::mouseDoubleClickEvent(QMouseEvent*) {}

bool CNGridView::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::Leave) mouseExited();
  return QAbstractScrollArea::viewportEvent(event);
}
