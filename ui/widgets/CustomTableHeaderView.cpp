#include "ui/widgets/CustomTableHeaderView.h"

#include <QPainter>
#include <QPainterPath>

CustomTableHeaderView::CustomTableHeaderView(const QString& title) : KitHeaderCell(title) {}

QRect CustomTableHeaderView::interiorForFrame(const QRect& frame) { return frame.adjusted(0, 0, 0, -1); }

void CustomTableHeaderView::drawBackgroundWithFrame(QPainter* painter, const QRect& frame, bool highlighted) const {
  const QRect interior = interiorForFrame(frame);
  painter->fillRect(interior, Qt::white);
  if (highlighted) painter->fillRect(interior, QColor(0, 0, 0, 26));  // black at 0.1
  // The lines run along the rectangles' outer boundaries (a QRectF's right
  // and bottom are one past the last pixel), half on this header, half on
  // its neighbour, as headers side by side share their edges.
  const QRectF face(interior);
  const QRectF whole(frame);
  QPainterPath lines;
  lines.moveTo(face.right(), face.top());
  lines.lineTo(face.right(), face.bottom());
  lines.moveTo(whole.left(), whole.bottom());
  lines.lineTo(whole.right(), whole.bottom());
  lines.moveTo(face.left(), face.top());
  lines.lineTo(face.right(), face.top());
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setPen(QPen(Qt::black, kLineWidth));
  painter->drawPath(lines);
  painter->restore();
}

void CustomTableHeaderView::drawInteriorWithFrame(QPainter* painter, const QRect& frame) const {
  KitHeaderCell::drawInteriorWithFrame(painter, interiorForFrame(frame));
}
