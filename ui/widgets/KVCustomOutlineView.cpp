#include "ui/widgets/KVCustomOutlineView.h"

KVCustomOutlineView::KVCustomOutlineView(QWidget* parent) : KitOutlineView(parent) {}

void KVCustomOutlineView::drawBackgroundInRect(QPainter* painter, const QRect& area) {
  KitItemViews::PaintStripes(painter, area, verticalOffset());
}
