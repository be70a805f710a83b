// Frames in the kit's layouts are given with the origin at the parent's
// bottom-left corner and y growing upwards; Qt places widgets from the top
// left. These helpers convert between the two.
#pragma once

#include <QRect>
#include <QRectF>

namespace KitGeometry {

// The Qt rectangle of `frame` (bottom-left origin) inside a parent
// `parentHeight` high. The conversion is its own inverse.
QRectF FromBottomLeft(const QRectF& frame, qreal parentHeight);
// Whole pixels: each edge rounded, so frames that touch keep touching.
QRect Rounded(const QRectF& rect);
QRect FromBottomLeftRounded(const QRectF& frame, qreal parentHeight);

}  // namespace KitGeometry
