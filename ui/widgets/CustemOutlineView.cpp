#include "ui/widgets/CustemOutlineView.h"

#include <QPainter>

#include "ui/widgets/KitStyle.h"

CustemOutlineView::CustemOutlineView(QWidget* parent) : KitOutlineView(parent) {}

void CustemOutlineView::drawBackgroundInRect(QPainter* painter, const QRect& area) {
  painter->fillRect(area, KitColors::kDarkRow);
}
