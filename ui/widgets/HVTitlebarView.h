// The custom title bar: HVTitlebarContainer is the strip across the top of a
// TCImageWindow that moves the window when dragged; HVTitlebarView is the
// painted bar inside it, which the windows fill with their own controls.
#pragma once

#include <QPoint>
#include <QWidget>

class TCImageWindow;

class HVTitlebarView : public QWidget {
 public:
  explicit HVTitlebarView(TCImageWindow* window, QWidget* parent);

  // Where the title goes: centred, 2 points below the bar's top edge.
  QRect titleFrame() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  TCImageWindow* window_;
};

class HVTitlebarContainer : public QWidget {
 public:
  explicit HVTitlebarContainer(QWidget* parent);

  // Whether a drag is moving the window by hand (the platform could not).
  bool isMovingByHand() const { return byHand_; }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool byHand_ = false;
  QPoint pressGlobal_;
  QPoint windowOrigin_;
};
