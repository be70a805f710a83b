#include "ui/widgets/KitTableColumn.h"

#include <QMouseEvent>
#include <QPainter>

KitTableColumn::KitTableColumn(const QString& identifier, const QString& title)
    : identifier_(identifier),
      headerCell_(std::make_unique<KitHeaderCell>(title)),
      dataCell_(std::make_unique<KitTextFieldCell>()) {}

void KitTableColumn::setHeaderCell(std::unique_ptr<KitHeaderCell> cell) {
  if (cell != nullptr) headerCell_ = std::move(cell);
}

KitTableColumn* KitTableColumns::at(int index) const {
  return index >= 0 && index < count() ? columns_[static_cast<size_t>(index)].get() : nullptr;
}

KitTableColumn* KitTableColumns::withIdentifier(const QString& identifier) const {
  for (const auto& column : columns_) {
    if (column->identifier() == identifier) return column.get();
  }
  return nullptr;
}

int KitTableColumns::indexOf(const KitTableColumn* column) const {
  for (int i = 0; i < count(); ++i) {
    if (columns_[static_cast<size_t>(i)].get() == column) return i;
  }
  return -1;
}

KitTableColumn* KitTableColumns::append(std::unique_ptr<KitTableColumn> column) {
  columns_.push_back(std::move(column));
  return columns_.back().get();
}

KitHeaderView::KitHeaderView(const KitTableColumns* columns, QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent), columns_(columns) {
  setSectionsClickable(true);
  setSectionsMovable(false);
  setHighlightSections(false);
  setSortIndicatorShown(false);
}

void KitHeaderView::setHeaderHeight(int height) { setFixedHeight(height); }

void KitHeaderView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  // What shows through the dark header's slight transparency.
  painter.fillRect(viewport()->rect(), palette().color(QPalette::Window));
  int end = 0;
  const KitHeaderCell* last = nullptr;
  for (int visual = 0; visual < count(); ++visual) {
    const int logical = logicalIndex(visual);
    if (isSectionHidden(logical)) continue;
    const QRect frame(sectionViewportPosition(logical), 0, sectionSize(logical), viewport()->height());
    KitTableColumn* column = columns_->at(logical);
    if (column == nullptr) continue;
    last = column->headerCell();
    if (frame.right() >= 0 && frame.left() < viewport()->width()) {
      last->drawWithFrame(&painter, frame, logical == pressed_);
    }
    end = frame.x() + frame.width();
  }
  if (last != nullptr && end < viewport()->width()) {
    last->drawBackgroundWithFrame(&painter, QRect(end, 0, viewport()->width() - end, viewport()->height()), false);
  }
}

void KitHeaderView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    pressed_ = logicalIndexAt(event->position().toPoint());
    viewport()->update();
  }
  QHeaderView::mousePressEvent(event);
}

void KitHeaderView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && pressed_ != -1) {
    pressed_ = -1;
    viewport()->update();
  }
  QHeaderView::mouseReleaseEvent(event);
}
