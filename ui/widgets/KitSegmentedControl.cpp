#include "ui/widgets/KitSegmentedControl.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {
constexpr qreal kRadius = 4;
const QColor kFrame{74, 80, 90};
const QColor kPlate{37, 41, 45};
const QColor kChosen{37, 58, 87};
}  // namespace

KitSegmentedControl::KitSegmentedControl(QWidget* parent) : QWidget(parent) {}

KitSegmentedControl::KitSegmentedControl(const QRect& frame, int segments, QWidget* parent) : QWidget(parent) {
  setGeometry(frame);
  setSegmentCount(segments);
}

void KitSegmentedControl::setSegmentCount(int count) {
  segments_.resize(std::max(0, count));
  if (selected_ >= count) selected_ = -1;
  update();
}

void KitSegmentedControl::setImage(const QPixmap& image, int segment) {
  if (segment < 0 || segment >= segmentCount()) return;
  segments_[segment].image = image;
  update();
}

QPixmap KitSegmentedControl::image(int segment) const {
  return segment >= 0 && segment < segmentCount() ? segments_[segment].image : QPixmap();
}

void KitSegmentedControl::setWidth(qreal width, int segment) {
  if (segment < 0 || segment >= segmentCount()) return;
  segments_[segment].width = std::max<qreal>(0, width);
  update();
}

qreal KitSegmentedControl::widthForSegment(int segment) const {
  return segment >= 0 && segment < segmentCount() ? segments_[segment].width : 0;
}

void KitSegmentedControl::setSelectedSegment(int segment) {
  if (segment < -1 || segment >= segmentCount()) return;
  selected_ = segment;
  update();
}

QRectF KitSegmentedControl::segmentRect(int segment) const {
  if (segment < 0 || segment >= segmentCount()) return {};
  qreal fixed = 0;
  int flexible = 0;
  for (const Segment& s : segments_) {
    fixed += s.width;
    if (s.width <= 0) ++flexible;
  }
  const qreal share = flexible > 0 ? std::max<qreal>(0, width() - fixed) / flexible : 0;
  qreal x = 0;
  for (int i = 0; i < segment; ++i) x += segments_[i].width > 0 ? segments_[i].width : share;
  const qreal w = segments_[segment].width > 0 ? segments_[segment].width : share;
  return {x, 0, w, static_cast<qreal>(height())};
}

int KitSegmentedControl::segmentAt(const QPointF& point) const {
  for (int i = 0; i < segmentCount(); ++i) {
    const QRectF r = segmentRect(i);
    if (point.x() >= r.left() && point.x() < r.right() && point.y() >= 0 && point.y() < height()) return i;
  }
  return -1;
}

QSize KitSegmentedControl::sizeHint() const {
  qreal w = 0;
  int h = 22;
  for (const Segment& s : segments_) {
    const QSizeF image = s.image.deviceIndependentSize();
    w += s.width > 0 ? s.width : image.width() + 8;
    h = std::max(h, static_cast<int>(image.height()) + 2);
  }
  return {static_cast<int>(w), h};
}

void KitSegmentedControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  if (!isEnabled()) painter.setOpacity(0.45);
  const QRectF outline = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  QPainterPath shape;
  shape.addRoundedRect(outline, kRadius, kRadius);
  painter.fillPath(shape, kPlate);
  painter.save();
  painter.setClipPath(shape);
  for (int i = 0; i < segmentCount(); ++i) {
    const QRectF r = segmentRect(i);
    if (i == selected_) painter.fillRect(r, kChosen);
    const QPixmap& image = segments_[i].image;
    if (!image.isNull()) {
      QSizeF size = image.deviceIndependentSize();
      if (size.width() > r.width() || size.height() > r.height()) size.scale(r.size(), Qt::KeepAspectRatio);
      const QRectF target(r.x() + (r.width() - size.width()) / 2, r.y() + (r.height() - size.height()) / 2,
                          size.width(), size.height());
      painter.drawPixmap(target, image, QRectF(QPointF(0, 0), image.size()));
    }
    if (i > 0) {
      painter.setPen(QPen(kFrame, 1));
      painter.drawLine(QPointF(r.x(), 0), QPointF(r.x(), height()));
    }
  }
  painter.restore();
  painter.setPen(QPen(kFrame, 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(shape);
}

void KitSegmentedControl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  pressed_ = segmentAt(event->position());
}

// A click is a press and a release on the same segment.
void KitSegmentedControl::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  const int segment = segmentAt(event->position());
  const bool clicked = segment >= 0 && segment == pressed_;
  pressed_ = -1;
  if (!clicked) return;
  setSelectedSegment(segment);
  emit segmentClicked(segment);
}

void KitSegmentedControl::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) {
    pressed_ = -1;
    update();
  }
  QWidget::changeEvent(event);
}
