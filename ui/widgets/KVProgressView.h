// The thin orange progress bar of the scan: a track image with an orange bar
// over it whose width follows the percentage.
#pragma once

#include <QWidget>

class QLabel;

// The orange bar itself: a rounded rectangle with a blue glow.
class NSProgressBar : public QWidget {
 public:
  explicit NSProgressBar(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

class KVProgressView : public QWidget {
 public:
  KVProgressView(const QRect& frame, QWidget* parent = nullptr);

  // `percent` runs from 0 to 100. Values outside that range are held at its
  // ends and a value that is not a number counts as 0, so a confused
  // progress report can never draw a bar wider than the track or a negative
  // one. A bar within one pixel of the end is drawn full.
  void changeProgressValue(float percent);
  double progressValue() const { return percent_; }

  NSProgressBar* bar() const { return bar_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void placeBar();

  QLabel* track_;
  NSProgressBar* bar_;
  double percent_ = 0;
};
