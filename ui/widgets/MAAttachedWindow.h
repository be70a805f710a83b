// A speech bubble that holds one view and points its arrow at a spot, such
// as a button's centre: an overlay child of the window it points into. The
// geometry works in the window's bottom-up coordinates (origin bottom-left),
// the way the bubble's placement sides are defined, and is turned into the
// widget's top-down frame only at the end.
#pragma once

#include <QPainterPath>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QTransform>
#include <QWidget>

namespace bubble {

// Where the bubble sits relative to the point: 0 left, 1 below, 2 right,
// 3 above (centred); 4-11 the same four with the arrow near a corner; 12
// chooses one by the room around the point.
enum Side : unsigned { kLeft = 0, kBelow = 1, kRight = 2, kAbove = 3, kAutomatic = 12 };

struct Metrics {
  float borderWidth = 0.2f;
  float viewMargin = 2.0f;
  float arrowBaseWidth = 15.0f;
  float arrowHeight = 10.0f;
  bool hasArrow = true;
  float cornerRadius = 8.0f;
  bool drawsRoundCornerBesideArrow = true;
  float scale = 1.0f;
};

struct Geometry {
  QRectF window;  // bottom-up, in the coordinates the point is given in
  QRectF view;    // bottom-up, inside the window
  float arrowInset = 0;
};

float ArrowInset(const Metrics& m);
Geometry Place(const Metrics& m, const QSizeF& view, const QPointF& point, unsigned side, float distance);
// `screen`: where the bubble may go; `parent`: the frame of the window it
// points into (the screen again when there is none).
unsigned BestSide(const Metrics& m, const QSizeF& view, const QPointF& point, float distance, const QRectF& screen,
                  const QRectF& parent);
// The outline with its arrow, in the window's bottom-up coordinates.
QPainterPath Outline(const Metrics& m, const Geometry& g, unsigned side);

}  // namespace bubble

// The soft shadow a bubble casts on the window beneath it: a sibling just
// under the bubble, a little larger, painting only outside the bubble's
// outline so the bubble's own translucent fill stays as it is.
class MAAttachedWindowShadow : public QWidget {
 public:
  static constexpr int kSpread = 8;  // how far the shadow reaches past the bubble
  static constexpr int kDrop = 2;    // how far it falls below the bubble

  explicit MAAttachedWindowShadow(QWidget* parent);
  // `outline`: the bubble's outline in its own top-down pixels; `frame`: the
  // bubble's frame in the parent.
  void cast(const QPainterPath& outline, const QRect& frame);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPainterPath outline_;
};

class MAAttachedWindow : public QWidget {
 public:
  // Points at the centre of `anchor` from `side` at `distance`; `window` is
  // the top-level widget the bubble lies over. Hidden, and never shown, once
  // the anchor is gone.
  MAAttachedWindow(QWidget* view, QWidget* anchor, QWidget* window, unsigned side, float distance);
  ~MAAttachedWindow() override;

  unsigned side() const { return side_; }
  const bubble::Geometry& placement() const { return geometry_; }
  // The shadow under the bubble, shown and hidden with it.
  QWidget* shadow() const { return shadow_; }
  // Places the bubble again (after the window or anchor moved).
  void updateGeometry();
  void setVisible(bool visible) override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPointF anchorPoint() const;
  // From the bubble's bottom-up coordinates to its widget's pixels.
  QTransform topDown() const;

  bubble::Metrics metrics_;
  QPointer<QWidget> view_, anchor_, window_;
  QPointer<MAAttachedWindowShadow> shadow_;
  unsigned side_;
  float distance_;
  bubble::Geometry geometry_;
};
