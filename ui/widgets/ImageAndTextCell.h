// A text cell with a small icon before its text: the name column of the disk
// list and of the file list. The icon is always drawn 16 x 16, 3 points in
// from the left; the text follows the icon's strip, 5 points further in and
// centred on the row's height.
#pragma once

#include <QPixmap>

#include "ui/widgets/KitCell.h"

class ImageAndTextCell : public KitTextFieldCell {
 public:
  static constexpr int kIconSize = 16;
  static constexpr int kIconInset = 3;
  static constexpr int kTitleShift = 5;

  // A null image draws the cell like a plain text cell.
  void setImage(const QPixmap& image) { image_ = image; }
  const QPixmap& image() const { return image_; }

  // The icon's strip on the left of `frame` (empty without an image).
  QRect imageStripForFrame(const QRect& frame) const;
  QRect imageRectForFrame(const QRect& frame) const;

  QRectF titleRectForBounds(const QRect& bounds) const override;
  void drawWithFrame(QPainter* painter, const QRect& frame) const override;
  QSize cellSize() const override;

 private:
  QPixmap image_;
};
