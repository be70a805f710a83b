// The push button of every window: drawn entirely from four images (normal,
// pressed, hovered, disabled), with an optional centred label, and with a
// "usable" switch of its own besides the widget's enabled state. A button
// that is not usable draws its disabled image, greys its label and ignores
// presses, whatever the widget's own state.
#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QRect>

class TCImageButton : public QAbstractButton {
 public:
  // Buttons made in code start usable; buttons placed by a window's layout
  // start unusable until the window calls setButtonEnabled(true).
  enum class Creation { InCode, FromLayout };

  explicit TCImageButton(QWidget* parent = nullptr, Creation creation = Creation::InCode);
  TCImageButton(const QRect& frame, QWidget* parent, Creation creation = Creation::InCode);

  // Looks the four images up by name; a missing name leaves that state
  // without an image (nothing is drawn in it). The image is drawn at the
  // normal image's size from the button's top-left corner.
  void setImageFromFileNormalName(const QString& normal, const QString& active, const QString& hover,
                                  const QString& disable);
  // The four images of a stem ("start" gives "start_normal" and so on).
  void setImageStem(const QString& stem);
  // A centred label in white (grey while unusable); the image is then drawn
  // at `frame`'s size. Calling it again replaces the text.
  void setTextWithName(const QString& text, const QRect& frame);

  // The button's own image, as a plain button carries one: shown, centred,
  // only while the button has no normal image and so draws as the style's
  // plain button; the state images take its place otherwise.
  void setImage(const QPixmap& image);
  const QPixmap& image() const { return image_; }

  void setButtonEnabled(bool usable);
  bool isButtonEnabled() const { return usable_; }
  // The pointer is over the button (hover).
  bool isFocus() const { return focus_; }
  // The mouse button went down on the usable button and is not yet released.
  bool isTracking() const { return tracking_; }
  QLabel* label() const { return label_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void placeLabel();

  bool usable_;
  bool focus_ = false;
  bool tracking_ = false;
  QPixmap normalImage_, activeImage_, hoverImage_, disableImage_;
  QPixmap image_;
  QRectF dstRect_, srcRect_;
  QPointer<QLabel> label_;
};
