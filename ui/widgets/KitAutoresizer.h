// Autoresizing rules for child widgets placed by frame: each child says which
// of its margins and sizes may change when its parent is resized, and the
// parent's growth or shrinkage is shared among those parts in proportion to
// their sizes. When nothing may change along an axis the child keeps its
// distance from the parent's origin: the left edge, and the bottom edge for a
// parent laid out from the bottom-left (or the top edge for one laid out from
// the top-left).
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QSizeF>

class QWidget;

class KitAutoresizer : public QObject {
 public:
  enum Mask : unsigned {
    kNotSizable = 0,
    kMinXMargin = 1,
    kWidthSizable = 2,
    kMaxXMargin = 4,
    kMinYMargin = 8,
    kHeightSizable = 16,
    kMaxYMargin = 32,
  };

  // `bottomLeftOrigin`: whether the parent's layout counts y upwards from its
  // bottom edge (as the kit's frames do) or downwards from its top.
  explicit KitAutoresizer(QWidget* parent, bool bottomLeftOrigin = true);

  // Places `child` at `qtFrame` (top-left coordinates, for the parent's
  // current size) and keeps it there by `mask` from now on.
  void add(QWidget* child, const QRectF& qtFrame, unsigned mask);
  void remove(QWidget* child);

  // The rule itself: where a child at `qtFrame` goes when its parent changes
  // from `from` to `to`.
  static QRectF Resized(const QRectF& qtFrame, const QSizeF& from, const QSizeF& to, unsigned mask,
                        bool bottomLeftOrigin);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Entry {
    QPointer<QWidget> child;
    QRectF frame;  // kept unrounded, so repeated resizes do not drift
    unsigned mask;
  };
  QWidget* parent_;
  bool bottomLeft_;
  QSizeF size_;
  QHash<QWidget*, Entry> entries_;
};
