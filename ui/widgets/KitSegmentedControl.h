// A row of segments of which one is chosen, each showing its own image: the
// results window's switch between list, cover flow and grid. A click on a
// segment chooses it and then announces it, also when it was already
// chosen (the window acts on every press). Disabled, it ignores the mouse
// and draws faded.
#pragma once

#include <QPixmap>
#include <QVector>
#include <QWidget>

class KitSegmentedControl : public QWidget {
  Q_OBJECT

 public:
  explicit KitSegmentedControl(QWidget* parent = nullptr);
  KitSegmentedControl(const QRect& frame, int segments, QWidget* parent);

  void setSegmentCount(int count);
  int segmentCount() const { return static_cast<int>(segments_.size()); }
  void setImage(const QPixmap& image, int segment);
  QPixmap image(int segment) const;
  // 0 shares the room left by the segments of a set width equally.
  void setWidth(qreal width, int segment);
  qreal widthForSegment(int segment) const;
  // -1 for none; an index outside the segments is ignored.
  void setSelectedSegment(int segment);
  int selectedSegment() const { return selected_; }

  // Where segment `segment` lies in the control; -1 for a point on none.
  QRectF segmentRect(int segment) const;
  int segmentAt(const QPointF& point) const;

  QSize sizeHint() const override;

 signals:
  // The user clicked `segment` (now the selected one).
  void segmentClicked(int segment);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct Segment {
    QPixmap image;
    qreal width = 0;
  };
  QVector<Segment> segments_;
  int selected_ = -1;
  int pressed_ = -1;
};
