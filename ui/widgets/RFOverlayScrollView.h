// Overlay scrollers for a scroll area (an outline, a table, any
// QAbstractScrollArea): the content keeps the area's whole width and height,
// and two RFOverlayScroller lie over its right and bottom edges, above every
// other child of the area. The vertical scroller starts below a table's
// header rather than covering it.
//
// In Qt the item views are their own scroll areas, so this is a companion
// the area owns: `new RFOverlayScrollView(view)`. The area's own scroll bars
// stay hidden; they still hold the scroll position, and the overlay
// scrollers follow and drive them.
#pragma once

#include <QObject>
#include <QPointer>

class QAbstractScrollArea;
class QHeaderView;
class KitOwnedTimer;
class QScrollBar;
class RFOverlayScroller;

class RFOverlayScrollView : public QObject {
 public:
  explicit RFOverlayScrollView(QAbstractScrollArea* area);

  QAbstractScrollArea* area() const { return area_; }
  RFOverlayScroller* verticalScroller() const { return vertical_; }
  RFOverlayScroller* horizontalScroller() const { return horizontal_; }

  // The height of the header of the table or outline in the area, 0 when it
  // has none (or hides it); what the vertical scroller leaves free at the
  // top. Read again at every tiling.
  int headerOffset() const { return headerOffset_; }
  int tableHeaderOffsetFromSuperview() const;

  // Places the scrollers over the content's edges, shows each only when its
  // content can scroll, and keeps them above the area's other children.
  void tile();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QHeaderView* tableHeader() const;
  // Takes range, steps and position from the area's own bar.
  void follow(QScrollBar* source, RFOverlayScroller* scroller);

  QAbstractScrollArea* area_;
  RFOverlayScroller* vertical_;
  RFOverlayScroller* horizontal_;
  KitOwnedTimer* retile_;
  int headerOffset_ = 0;
  bool tiling_ = false;
};
