#include "ui/widgets/KitGeometry.h"

#include <cmath>

namespace KitGeometry {

QRectF FromBottomLeft(const QRectF& frame, qreal parentHeight) {
  return QRectF(frame.x(), parentHeight - frame.y() - frame.height(), frame.width(), frame.height());
}

QRect FromBottomLeftRounded(const QRectF& frame, qreal parentHeight) {
  return Rounded(FromBottomLeft(frame, parentHeight));
}

QRect Rounded(const QRectF& r) {
  const int left = static_cast<int>(std::lround(r.left()));
  const int top = static_cast<int>(std::lround(r.top()));
  const int right = static_cast<int>(std::lround(r.left() + r.width()));
  const int bottom = static_cast<int>(std::lround(r.top() + r.height()));
  return QRect(left, top, right - left, bottom - top);
}

}  // namespace KitGeometry
