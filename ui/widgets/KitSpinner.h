// The small busy wheel shown beside progress while a scan works: spokes
// around a centre, the brightest one stepping round. It turns only while
// started and shown; a stopped wheel keeps its last frame.
#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

class KitSpinner : public QWidget {
 public:
  static constexpr int kSpokes = 8;
  static constexpr int kFrameMs = 90;

  explicit KitSpinner(QWidget* parent = nullptr);
  KitSpinner(const QRect& frame, QWidget* parent);

  void startAnimation();
  void stopAnimation();
  bool isAnimating() const { return running_; }
  // Which spoke is brightest: 0 to kSpokes - 1.
  int frame() const { return frame_; }
  // One step round.
  void advance();

  void setColor(const QColor& color);
  const QColor& color() const { return color_; }

  QSize sizeHint() const override { return {16, 16}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void follow();

  QTimer timer_;
  QColor color_{141, 149, 165};
  int frame_ = 0;
  bool running_ = false;
};
