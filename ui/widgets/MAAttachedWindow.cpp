#include "ui/widgets/MAAttachedWindow.h"

#include <QPainter>

#include <cmath>

namespace bubble {
namespace {

enum class Family { Left, Below, Right, Above };

Family FamilyOf(unsigned side) {
  switch (side) {
    case 0:
    case 4:
    case 5:
      return Family::Left;
    case 2:
    case 6:
    case 7:
      return Family::Right;
    case 3:
    case 8:
    case 9:
      return Family::Above;
    default:
      return Family::Below;
  }
}

}  // namespace

float ArrowInset(const Metrics& m) {
  return ((m.drawsRoundCornerBesideArrow ? m.cornerRadius : 0.0f) + m.arrowBaseWidth / 2.0f) * m.scale;
}

Geometry Place(const Metrics& m, const QSizeF& view, const QPointF& point, unsigned side, float distance) {
  const double margin = m.viewMargin * m.scale;
  const float a = m.arrowHeight * m.scale;
  const float i = ArrowInset(m);
  QRectF viewFrame(margin, margin, view.width(), view.height());
  double w = view.width() + 2 * margin, h = view.height() + 2 * margin;
  const Family family = FamilyOf(side);
  if (family == Family::Left || family == Family::Right) w += a;
  if (family == Family::Below || family == Family::Above) h += a;
  if (family == Family::Right) viewFrame.translate(a, 0);
  if (family == Family::Above) viewFrame.translate(0, a);

  const float hw = static_cast<float>(w / 2), hh = static_cast<float>(h / 2);
  double x = point.x(), y = point.y();
  switch (side) {
    case 0:
      x -= w;
      y -= hh;
      break;
    case 1:
      y -= h;
      x -= hw;
      break;
    case 2:
      y -= hh;
      break;
    case 3:
      x -= hw;
      break;
    case 4:
      x -= w;
      y -= i;
      break;
    case 5:
      x -= w;
      y -= h - i;
      break;
    case 6:
      y -= i;
      break;
    case 7:
      y -= h - i;
      break;
    case 8:
      x -= w - i;
      break;
    case 9:
      x -= i;
      break;
    case 10:
      y -= h;
      x -= w - i;
      break;
    default:
      x -= i;
      y -= h;
      break;  // 11
  }
  switch (family) {
    case Family::Left:
      x -= distance;
      break;
    case Family::Below:
      y -= distance;
      break;
    case Family::Right:
      x += distance;
      break;
    case Family::Above:
      y += distance;
      break;
  }
  return {QRectF(x, y, w, h), viewFrame, i};
}

unsigned BestSide(const Metrics& m, const QSizeF& view, const QPointF& p, float distance, const QRectF& s,
                  const QRectF& f) {
  const double w = view.width() + 2 * m.viewMargin * m.scale;
  const double h = view.height() + 2 * m.viewMargin * m.scale;
  const float g = m.arrowHeight * m.scale + distance;
  // QRectF's top/bottom are min/max y here: the rectangles are bottom-up.
  unsigned side = kBelow;
  if (s.top() > p.y() - h - g) {
    if (p.x() + w + g < s.right())
      side = kRight;
    else if (s.left() <= p.x() - w - g)
      side = kLeft;
    else if (s.bottom() > p.y() + h + g)
      side = kAbove;
  }
  const float hw = static_cast<float>(w / 2), hh = static_cast<float>(h / 2), i = ArrowInset(m);
  if (side == kLeft || side == kRight) {
    if (f.top() > p.y() - hh) {
      if (s.bottom() > p.y() + h - i) side = side == kLeft ? 4 : 6;
    } else if (p.y() + hh >= f.bottom() && p.y() - h + i >= s.top()) {
      side = side == kLeft ? 5 : 7;
    }
  } else {
    if (f.left() > p.x() - hw) {
      if (s.right() > p.x() + w - i) side = side == kBelow ? 11 : 9;
    } else if (p.x() + hw >= f.right() && p.x() - w + i >= s.left()) {
      side = side == kBelow ? 10 : 8;
    }
  }
  return side;
}

QPainterPath Outline(const Metrics& m, const Geometry& g, unsigned side) {
  const double s = m.scale, r = m.cornerRadius * s, aw = m.arrowBaseWidth * s, haw = aw / 2, a = m.arrowHeight * s;
  const double margin = m.viewMargin * s;
  const QRectF c = g.view.adjusted(-margin, -margin, margin, margin);
  const double minX = std::ceil(c.left() * s + 0.5), midX = (c.left() + c.width() * 0.5) * s;
  const double maxX = std::floor(c.right() * s - 0.5);
  const double minY = std::ceil(c.top() * s + 0.5), midY = (c.top() + c.height() * 0.5) * s;
  const double maxY = std::floor(c.bottom() * s - 0.5);
  auto rounded = [&](unsigned a1, unsigned a2) {
    return r > 0 && (m.drawsRoundCornerBesideArrow || (side != a1 && side != a2));
  };
  const bool tl = rounded(11, 7), tr = rounded(10, 5), br = rounded(8, 4), bl = rounded(9, 6);
  const Family family = FamilyOf(side);
  QPainterPath path;
  auto arrow = [&] {
    if (!m.hasArrow) return;
    const QPointF c0 = path.currentPosition();
    switch (family) {
      case Family::Below:
        path.lineTo(c0.x() + haw, c0.y() + a);
        path.lineTo(c0.x() + aw, c0.y());
        break;
      case Family::Left:
        path.lineTo(c0.x() + a, c0.y() - haw);
        path.lineTo(c0.x(), c0.y() - aw);
        break;
      case Family::Above:
        path.lineTo(c0.x() - haw, c0.y() - a);
        path.lineTo(c0.x() - aw, c0.y());
        break;
      case Family::Right:
        path.lineTo(c0.x() - a, c0.y() + haw);
        path.lineTo(c0.x(), c0.y() + aw);
        break;
    }
  };
  // A quarter circle, clockwise on screen. arcTo's angles assume top-down
  // coordinates, so in ours they run the other way round.
  auto corner = [&](QPointF centre, double startDeg) {
    path.arcTo(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), startDeg, 90);
  };

  path.moveTo(tl ? minX + r : minX, maxY);
  double e = tr ? maxX - r : maxX;
  if (side == 11)
    arrow();
  else if (side == 1) {
    path.lineTo(midX - haw, maxY);
    arrow();
  } else if (side == 10) {
    path.lineTo(e - aw, maxY);
    arrow();
  }
  path.lineTo(e, maxY);
  if (tr) corner({maxX - r, maxY - r}, 270);

  e = br ? minY + r : minY;
  if (side == 5)
    arrow();
  else if (side == 0) {
    path.lineTo(maxX, midY + haw);
    arrow();
  } else if (side == 4) {
    path.lineTo(maxX, e + aw);
    arrow();
  }
  path.lineTo(maxX, e);
  if (br) corner({maxX - r, minY + r}, 0);

  e = bl ? minX + r : minX;
  if (side == 8)
    arrow();
  else if (side == 3) {
    path.lineTo(midX + haw, minY);
    arrow();
  } else if (side == 9) {
    path.lineTo(e + aw, minY);
    arrow();
  }
  path.lineTo(e, minY);
  if (bl) corner({minX + r, minY + r}, 90);

  e = tl ? maxY - r : maxY;
  if (side == 6)
    arrow();
  else if (side == 2) {
    path.lineTo(minX, midY - haw);
    arrow();
  } else if (side == 7) {
    path.lineTo(minX, e - aw);
    arrow();
  }
  path.lineTo(minX, e);
  if (tl) corner({minX + r, maxY - r}, 180);
  path.closeSubpath();
  return path;
}

}  // namespace bubble

MAAttachedWindowShadow::MAAttachedWindowShadow(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  hide();
}

void MAAttachedWindowShadow::cast(const QPainterPath& outline, const QRect& frame) {
  outline_ = outline.translated(kSpread, kSpread);
  setGeometry(frame.adjusted(-kSpread, -kSpread, kSpread, kSpread + kDrop));
  update();
}

void MAAttachedWindowShadow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath outside;
  outside.addRect(rect());
  painter.setClipPath(outside.subtracted(outline_));
  // Rings of growing width, each faint: where they overlap, near the
  // outline, the shadow is darkest, fading out over kSpread points.
  const QPainterPath dropped = outline_.translated(0, kDrop);
  painter.fillPath(dropped, QColor(0, 0, 0, 70));
  for (int ring = kSpread; ring > 0; --ring) {
    painter.strokePath(dropped, QPen(QColor(0, 0, 0, 14), 2.0 * ring, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  }
}

MAAttachedWindow::MAAttachedWindow(QWidget* view, QWidget* anchor, QWidget* window, unsigned side, float distance)
    : QWidget(window), view_(view), anchor_(anchor), window_(window), side_(side), distance_(distance) {
  setAttribute(Qt::WA_TranslucentBackground);
  if (window_ != nullptr) shadow_ = new MAAttachedWindowShadow(window_);
  if (view_ != nullptr) view_->setParent(this);
  if (side_ > 11 && window_ != nullptr) {
    // Over its window the bubble's room is the window itself.
    const QRectF room(0, 0, window_->width(), window_->height());
    side_ = bubble::BestSide(metrics_, view_ ? QSizeF(view_->size()) : QSizeF(), anchorPoint(), distance_, room, room);
  }
  if (side_ > 11) side_ = bubble::kBelow;
  updateGeometry();
}

MAAttachedWindow::~MAAttachedWindow() { delete shadow_.data(); }

QPointF MAAttachedWindow::anchorPoint() const {
  if (anchor_ == nullptr || window_ == nullptr) return {};
  const QPointF centre = anchor_->mapTo(window_, QPointF(anchor_->width() / 2.0, anchor_->height() / 2.0));
  return {centre.x(), window_->height() - centre.y()};
}

void MAAttachedWindow::updateGeometry() {
  if (view_ == nullptr || window_ == nullptr) return;
  geometry_ = bubble::Place(metrics_, view_->size(), anchorPoint(), side_, distance_);
  const QRectF& w = geometry_.window;
  setGeometry(QRectF(w.x(), window_->height() - w.y() - w.height(), w.width(), w.height()).toAlignedRect());
  const QRectF& v = geometry_.view;
  view_->move(static_cast<int>(v.x()), static_cast<int>(w.height() - v.y() - v.height()));
  if (shadow_ != nullptr) shadow_->cast(topDown().map(bubble::Outline(metrics_, geometry_, side_)), geometry());
}

QTransform MAAttachedWindow::topDown() const { return QTransform(1, 0, 0, -1, 0, height()); }

void MAAttachedWindow::setVisible(bool visible) {
  // A bubble pointing at nothing would mislead.
  if (visible && (anchor_ == nullptr || view_ == nullptr)) visible = false;
  if (visible) {
    updateGeometry();
    raise();
  }
  QWidget::setVisible(visible);
  if (shadow_ != nullptr) {
    shadow_->setVisible(visible);
    if (visible) shadow_->stackUnder(this);
  }
}

void MAAttachedWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  // Bottom-up to the widget's top-down pixels.
  painter.setTransform(topDown());
  const QPainterPath path = bubble::Outline(metrics_, geometry_, side_);
  painter.fillPath(path, QColor::fromRgbF(0.1f, 0.1f, 0.1f, 0.75f));
  if (metrics_.borderWidth > 0) {
    painter.setClipPath(path);
    painter.strokePath(path, QPen(Qt::white, metrics_.borderWidth * 2 * metrics_.scale));
  }
}
