#include "ui/widgets/KitImageView.h"

#include <QPainter>

#include <algorithm>

KitImageView::KitImageView(QWidget* parent) : QWidget(parent) {}

KitImageView::KitImageView(const QRect& frame, QWidget* parent) : QWidget(parent) { setGeometry(frame); }

void KitImageView::setImage(const QPixmap& image) {
  image_ = image;
  update();
}

void KitImageView::setImageScaling(Scaling scaling) {
  scaling_ = scaling;
  update();
}

void KitImageView::setImageAlignment(Alignment alignment) {
  alignment_ = alignment;
  update();
}

QRectF KitImageView::ImageRect(const QSizeF& image, const QRectF& bounds, Scaling scaling, Alignment alignment) {
  if (image.isEmpty() || bounds.isEmpty()) return {};
  if (scaling == kScaleAxesIndependently) return bounds;
  QSizeF size = image;
  if (scaling == kScaleProportionallyUpOrDown ||
      (scaling == kScaleProportionallyDown && (size.width() > bounds.width() || size.height() > bounds.height()))) {
    size.scale(bounds.size(), Qt::KeepAspectRatio);
  }
  // Horizontal: left, centre or right; vertical: top, centre or bottom.
  int h = 0, v = 0;  // -1 left/top, 0 centre, 1 right/bottom
  switch (alignment) {
    case kAlignTop:
      v = -1;
      break;
    case kAlignTopLeft:
      h = -1;
      v = -1;
      break;
    case kAlignTopRight:
      h = 1;
      v = -1;
      break;
    case kAlignLeft:
      h = -1;
      break;
    case kAlignBottom:
      v = 1;
      break;
    case kAlignBottomLeft:
      h = -1;
      v = 1;
      break;
    case kAlignBottomRight:
      h = 1;
      v = 1;
      break;
    case kAlignRight:
      h = 1;
      break;
    case kAlignCenter:
      break;
  }
  const qreal x = bounds.x() + (bounds.width() - size.width()) * (h + 1) / 2.0;
  const qreal y = bounds.y() + (bounds.height() - size.height()) * (v + 1) / 2.0;
  return {x, y, size.width(), size.height()};
}

void KitImageView::paintEvent(QPaintEvent*) {
  if (image_.isNull()) return;
  const QRectF target = ImageRect(image_.deviceIndependentSize(), rect(), scaling_, alignment_);
  if (target.isEmpty()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawPixmap(target, image_, QRectF(QPointF(0, 0), image_.size()));
}

KitImageCheckButton::KitImageCheckButton(QWidget* parent) : QAbstractButton(parent) { setFocusPolicy(Qt::NoFocus); }

KitImageCheckButton::KitImageCheckButton(const QRect& frame, QWidget* parent) : KitImageCheckButton(parent) {
  setGeometry(frame);
}

void KitImageCheckButton::setImage(const QPixmap& image) {
  image_ = image;
  update();
}

QSize KitImageCheckButton::sizeHint() const {
  return image_.isNull() ? QSize(13, 13) : image_.deviceIndependentSize().toSize();
}

void KitImageCheckButton::paintEvent(QPaintEvent*) {
  if (image_.isNull()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawPixmap(QRectF(rect()), image_, QRectF(QPointF(0, 0), image_.size()));
}
