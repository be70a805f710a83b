#include "ui/widgets/KitSpinner.h"

#include <QPainter>

#include <algorithm>

KitSpinner::KitSpinner(QWidget* parent) : QWidget(parent), timer_(this) {
  timer_.setInterval(kFrameMs);
  connect(&timer_, &QTimer::timeout, this, [this] { advance(); });
}

KitSpinner::KitSpinner(const QRect& frame, QWidget* parent) : KitSpinner(parent) { setGeometry(frame); }

void KitSpinner::startAnimation() {
  running_ = true;
  follow();
}

void KitSpinner::stopAnimation() {
  running_ = false;
  follow();
}

void KitSpinner::advance() {
  frame_ = (frame_ + 1) % kSpokes;
  update();
}

void KitSpinner::setColor(const QColor& color) {
  color_ = color;
  update();
}

// The timer runs only while someone can see the wheel turn.
void KitSpinner::follow() {
  if (running_ && isVisible()) {
    if (!timer_.isActive()) timer_.start();
  } else {
    timer_.stop();
  }
}

void KitSpinner::showEvent(QShowEvent*) { follow(); }
void KitSpinner::hideEvent(QHideEvent*) { follow(); }

void KitSpinner::paintEvent(QPaintEvent*) {
  const qreal side = std::min(width(), height());
  if (side < 4) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(width() / 2.0, height() / 2.0);
  const qreal length = side * 0.26, thickness = std::max<qreal>(1.5, side * 0.12);
  const qreal inner = side * 0.2;
  for (int i = 0; i < kSpokes; ++i) {
    // The spoke of the current frame is fully bright; those behind it fade.
    const int behind = (frame_ - i + kSpokes) % kSpokes;
    QColor colour = color_;
    colour.setAlphaF(1.0 - 0.8 * behind / (kSpokes - 1.0));
    painter.save();
    painter.rotate(360.0 * i / kSpokes);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawRoundedRect(QRectF(-thickness / 2, -inner - length, thickness, length), thickness / 2, thickness / 2);
    painter.restore();
  }
}
