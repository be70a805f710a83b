#include "ui/widgets/SelectTypeTopView.h"

#include <QPaintEvent>
#include <QPainter>

#include "ui/widgets/KitStyle.h"

SelectTypeTopView::SelectTypeTopView(QWidget* parent) : QWidget(parent) {}

void SelectTypeTopView::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.fillRect(event->rect(), KitColors::kTopBand);
}
