// The scroller of an overlay scroll view (RFOverlayScrollView): no track,
// only a thin grey knob lying over the content. It shows while the content
// scrolls or the pointer is over it, and fades away after 1.5 s of rest.
#pragma once

#include <QScrollBar>
#include <QVariantAnimation>

class KitOwnedTimer;

class RFOverlayScroller : public QScrollBar {
  Q_OBJECT

 public:
  // A knob this thick or thinner is drawn 5 points thick.
  static constexpr int kThinKnobLimit = 15;
  static constexpr int kKnobThickness = 5;
  static constexpr int kKnobInset = 5;
  // The vertical scroller's width and the horizontal one's height.
  static constexpr int kVerticalWidth = 15;
  static constexpr int kHorizontalHeight = 12;
  static constexpr int kEnterMs = 100;
  static constexpr int kFadeMs = 300;
  static constexpr int kIdleMs = 1500;

  explicit RFOverlayScroller(Qt::Orientation orientation, QWidget* parent = nullptr);

  // 1 shown, 0 faded away.
  qreal alphaValue() const { return alpha_; }
  // The knob as drawn, in the scroller's coordinates.
  QRect knobRect() const;
  // Fades the scroller away (not while the pointer is over it).
  void fadeOut();
  bool isFadePending() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void sliderChange(SliderChange change) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void animateAlpha(qreal to, int milliseconds);
  void setAlpha(qreal alpha);

  qreal alpha_ = 1.0;
  bool hovered_ = false;
  QVariantAnimation animation_;
  KitOwnedTimer* idle_;
};
