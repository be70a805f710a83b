// The light header cell of the disk list: a white face with hairlines along
// its top, right and bottom edges, darkened a little while pressed, and the
// title in the font the window gives it.
#pragma once

#include "ui/widgets/CustomHeaderCell.h"

class CustomTableHeaderView : public KitHeaderCell {
 public:
  static constexpr double kLineWidth = 0.3;

  explicit CustomTableHeaderView(const QString& title = {});

  // The face without the bottom line.
  static QRect interiorForFrame(const QRect& frame);

  void drawBackgroundWithFrame(QPainter* painter, const QRect& frame, bool highlighted) const override;
  void drawInteriorWithFrame(QPainter* painter, const QRect& frame) const override;
};
