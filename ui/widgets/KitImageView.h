// An image in a frame, scaled and placed the way the layouts ask: stretched
// on both axes (plates, tracks, backgrounds), shrunk to fit keeping its
// proportions (thumbnails), fitted up or down, or at its own size; placed
// at the centre, an edge or a corner. KitImageCheckButton is a flat button
// that shows one image stretched over its frame: the tick boxes of grid
// items and tiles.
#pragma once

#include <QAbstractButton>
#include <QPixmap>
#include <QRectF>
#include <QWidget>

class KitImageView : public QWidget {
 public:
  // The numbering of the layouts' image-scaling values.
  enum Scaling {
    kScaleProportionallyDown = 0,
    kScaleAxesIndependently = 1,
    kScaleNone = 2,
    kScaleProportionallyUpOrDown = 3,
  };
  // The numbering of the layouts' image-alignment values.
  enum Alignment {
    kAlignCenter = 0,
    kAlignTop = 1,
    kAlignTopLeft = 2,
    kAlignTopRight = 3,
    kAlignLeft = 4,
    kAlignBottom = 5,
    kAlignBottomLeft = 6,
    kAlignBottomRight = 7,
    kAlignRight = 8,
  };

  explicit KitImageView(QWidget* parent = nullptr);
  KitImageView(const QRect& frame, QWidget* parent);

  // A null pixmap shows nothing.
  void setImage(const QPixmap& image);
  const QPixmap& image() const { return image_; }
  void setImageScaling(Scaling scaling);
  Scaling imageScaling() const { return scaling_; }
  void setImageAlignment(Alignment alignment);
  Alignment imageAlignment() const { return alignment_; }

  // Where an image of `image` size lands in `bounds`.
  static QRectF ImageRect(const QSizeF& image, const QRectF& bounds, Scaling scaling, Alignment alignment);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap image_;
  Scaling scaling_ = kScaleProportionallyDown;
  Alignment alignment_ = kAlignCenter;
};

class KitImageCheckButton : public QAbstractButton {
 public:
  explicit KitImageCheckButton(QWidget* parent = nullptr);
  KitImageCheckButton(const QRect& frame, QWidget* parent);

  void setImage(const QPixmap& image);
  const QPixmap& image() const { return image_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap image_;
};
