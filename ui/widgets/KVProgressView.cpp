#include "ui/widgets/KVProgressView.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"

namespace {
constexpr int kBarHeight = 6;
constexpr qreal kGlowBlur = 2.0;
}  // namespace

NSProgressBar::NSProgressBar(QWidget* parent) : QWidget(parent) {}

void NSProgressBar::paintEvent(QPaintEvent*) {
  const QRectF r = QRectF(rect()).adjusted(1.0, 1.0, -1.0, -1.0);
  if (r.width() <= 0 || r.height() <= 0) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(r, 1.0, 1.0);
  // A soft glow: the outline stroked a little wider in the glow colour
  // beneath the fill, fading outwards.
  for (int i = static_cast<int>(kGlowBlur); i >= 1; --i) {
    QColor glow = KitColors::kGlow;
    glow.setAlphaF(0.5 / i);
    painter.strokePath(path, QPen(glow, 2.0 * i));
  }
  painter.fillPath(path, KitColors::kBarOrange);
}

KVProgressView::KVProgressView(const QRect& frame, QWidget* parent) : QWidget(parent) {
  setGeometry(frame);
  track_ = new QLabel(this);
  track_->setScaledContents(true);
  track_->setPixmap(KitImages::Named(QStringLiteral("progress_bar_bg")));
  bar_ = new NSProgressBar(this);
  track_->setGeometry(0, 0, width(), kBarHeight);
  placeBar();
}

void KVProgressView::changeProgressValue(float percent) {
  double p = std::isnan(percent) ? 0.0 : static_cast<double>(percent);
  percent_ = std::clamp(p, 0.0, 100.0);
  placeBar();
  update();
}

void KVProgressView::resizeEvent(QResizeEvent*) {
  track_->setGeometry(0, 0, width(), kBarHeight);
  placeBar();
}

void KVProgressView::placeBar() {
  const double full = width();
  double w = percent_ / 100.0 * full;
  if (w > full - 1.0) w = full;
  bar_->setGeometry(0, 0, static_cast<int>(std::lround(w)), kBarHeight);
  bar_->update();
}
