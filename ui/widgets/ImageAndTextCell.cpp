#include "ui/widgets/ImageAndTextCell.h"

#include <QFontMetricsF>
#include <QPainter>

QRect ImageAndTextCell::imageStripForFrame(const QRect& frame) const {
  if (image_.isNull()) return {};
  return {frame.x(), frame.y(), kIconInset + kIconSize, frame.height()};
}

QRect ImageAndTextCell::imageRectForFrame(const QRect& frame) const {
  if (image_.isNull()) return {};
  // The strip's top moved up by 17, then down by half of (height + 16),
  // rounded up: for the usual row heights that centres the icon within a
  // point.
  const int down = (frame.height() + kIconSize + 1) / 2;
  return {frame.x() + kIconInset, frame.y() - 17 + down, kIconSize, kIconSize};
}

QRectF ImageAndTextCell::titleRectForBounds(const QRect& bounds) const {
  QRectF title = KitTextFieldCell::titleRectForBounds(bounds);
  const qreal textHeight = QFontMetricsF(font()).height();
  title.moveTo(title.x() + kTitleShift, bounds.y() - 0.5 + (bounds.height() - textHeight) / 2);
  title.setHeight(textHeight);
  return title;
}

void ImageAndTextCell::drawWithFrame(QPainter* painter, const QRect& frame) const {
  if (image_.isNull()) {
    KitTextFieldCell::drawWithFrame(painter, frame);
    return;
  }
  const QRect strip = imageStripForFrame(frame);
  if (drawsBackground()) painter->fillRect(strip, backgroundColor());
  painter->save();
  painter->setRenderHint(QPainter::SmoothPixmapTransform);
  painter->drawPixmap(imageRectForFrame(frame), image_);
  painter->restore();
  KitTextFieldCell::drawWithFrame(painter, frame.adjusted(strip.width(), 0, 0, 0));
}

QSize ImageAndTextCell::cellSize() const {
  const QSize text = KitTextFieldCell::cellSize();
  return {text.width() + (image_.isNull() ? 0 : kIconSize) + kIconInset, text.height()};
}
