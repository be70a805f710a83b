// The item grid: a flat list of items shown as 150 x 150 cells, row after
// row, in a scroll area of its own. It asks its data source for the number
// of items and for an item widget per index, and keeps as widgets only the
// items of the rows in view: items that scroll out of sight wait in reuse
// queues (one per reuse identifier) until the data source takes them out
// again for other indexes. It tracks the item under the pointer (hover) and
// a selection that a right click makes, and announces both to a delegate
// and as signals, each signal before the matching delegate call.
//
// Selected items are never recycled, but the others are, whatever is
// selected; a reload clears the selection. A reload's items appear after
// the current event has been handled; scrolling places items at once.
//
// Geometry is in the grid's own coordinates: the top-left corner of the
// first cell's row is (inset, inset), and y grows downwards through every
// row; the viewport shows the part starting at the scroll offset.
#pragma once

#include <QAbstractScrollArea>
#include <QHash>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QRectF>
#include <QSet>

#include "ui/widgets/CNGridViewItem.h"

class CNGridView;

class ICNGridViewDataSource {
 public:
  virtual ~ICNGridViewDataSource() = default;
  // Both are asked with section 0.
  virtual quint64 numberOfItemsInSection(CNGridView* grid, qint64 section) = 0;
  // A new item, or one from the grid's reuse queue, filled for `index`; null
  // leaves the cell empty. The grid takes the item over.
  virtual CNGridViewItemBase* itemAtIndex(CNGridView* grid, qint64 index, qint64 section) = 0;
};

// Every call is optional and comes after the matching signal.
class ICNGridViewDelegate {
 public:
  virtual ~ICNGridViewDelegate() = default;
  virtual void willHoverItemAtIndex(CNGridView*, quint64 /*index*/, quint64 /*section*/) {}
  virtual void willUnhoverItemAtIndex(CNGridView*, quint64 /*index*/, quint64 /*section*/) {}
  virtual void willSelectItemAtIndex(CNGridView*, quint64 /*index*/, quint64 /*section*/) {}
  virtual void didSelectItemAtIndex(CNGridView*, quint64 /*index*/, quint64 /*section*/) {}
  virtual void willDeselectAllItems(CNGridView*, const QList<CNGridViewItemBase*>& /*items*/) {}
  virtual void gridViewDidDeselectAllItems(CNGridView*) {}
};

// The layout arithmetic of the grid, for one visible rectangle and count.
struct CNGridGeometry {
  static constexpr int kItemSize = 150;
  struct Range {
    quint64 location = 0;
    quint64 length = 0;
    bool operator==(const Range&) const = default;
  };

  QRectF visible;     // the part of the grid in view, in grid coordinates
  quint64 count = 0;  // items
  bool centred = false;

  // At least 1, also when the view is narrower than a cell.
  quint64 columns() const;
  quint64 allOverRows() const;
  quint64 visibleRows() const;
  // Left and top margin: what centres the columns, or 0.
  qreal inset() const;
  qreal contentHeight() const;
  QRectF rectForItemAtIndex(quint64 index) const;
  // kCNNotFound outside the cells, in the margins or past the last item.
  qint64 indexForItemAtPoint(const QPointF& point) const;
  // The items of the rows in view plus the row below.
  Range visibleItemRange() const;
};

class CNGridView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  static constexpr int kFadeInMs = 350;

  explicit CNGridView(QWidget* parent = nullptr);
  ~CNGridView() override;

  // Neither is owned.
  void setDataSource(ICNGridViewDataSource* dataSource) { dataSource_ = dataSource; }
  ICNGridViewDataSource* dataSource() const { return dataSource_; }
  void setDelegate(ICNGridViewDelegate* delegate) { delegate_ = delegate; }
  ICNGridViewDelegate* delegate() const { return delegate_; }
  bool useHover() const { return useHover_; }
  void setUseHover(bool use) { useHover_ = use; }
  bool useCenterAlignment() const { return useCenterAlignment_; }
  void setUseCenterAlignment(bool centre);

  void reloadData() { reloadDataAnimated(false); }
  // Clears the selection, re-reads the count and places the items in view
  // anew after the current event; with `animated` they fade in.
  void reloadDataAnimated(bool animated);
  // An item from that identifier's queue with its represented object
  // cleared, or null when the queue is empty.
  CNGridViewItemBase* dequeueReusableItemWithIdentifier(const QString& identifier);

  // The layouts' calls: the grid always lets its content rest (no rubber
  // band on Linux) and always shows the control colour.
  void setScrollElasticity(bool) {}
  void setBackgroundColor(const QColor& ignored);
  void scrollToPoint(const QPointF& point);

  void selectItem(CNGridViewItemBase* item);
  void deselectAllItems();
  QList<CNGridViewItemBase*> selectedItems() const { return selected_.values(); }
  QList<qint64> selectedIndexes() const { return selected_.keys(); }

  void hoverItemAtIndex(qint64 index);
  void unHoverItemAtIndex(qint64 index);
  qint64 hoveredIndex() const { return lastHoveredIndex_; }

  CNGridGeometry geometryNow() const;
  QRectF rectForItemAtIndex(quint64 index) const { return geometryNow().rectForItemAtIndex(index); }
  // `point` in the viewport's coordinates.
  qint64 indexForItemAtLocation(const QPointF& point) const;
  quint64 columnsInGridView() const { return geometryNow().columns(); }
  quint64 allOverRowsInGridView() const { return geometryNow().allOverRows(); }
  quint64 visibleRowsInGridView() const { return geometryNow().visibleRows(); }
  CNGridGeometry::Range visibleItemRange() const { return geometryNow().visibleItemRange(); }
  QRectF clippedRect() const;
  qreal contentInset() const { return geometryNow().inset(); }
  quint64 numberOfItems() const { return numberOfItems_; }

  // The placed item of `index`, or null.
  CNGridViewItemBase* placedItem(qint64 index) const { return visible_.value(index, nullptr); }
  QList<qint64> placedIndexes() const { return visible_.keys(); }
  int queuedItemCount() const;

 signals:
  // Each before the matching delegate call.
  void gridViewWillHoverItem(qint64 index);
  void gridViewWillUnhoverItem(qint64 index);
  void gridViewWillSelectItem(qint64 index);
  void gridViewDidSelectItem(qint64 index);
  void gridViewWillDeselectAllItems(const QList<CNGridViewItemBase*>& items);
  // Clears the selection mark of every item of this grid.
  void gridViewDeSelectAllItems();
  void gridViewDidDeselectAllItems();

 protected:
  void scrollContentsBy(int dx, int dy) override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  void refreshGridViewAnimated(bool animated, bool initial);
  void layoutPass();
  void updateVisibleRect();
  void updateScrollRange();
  void updateReuseableItems();
  void updateVisibleItems();
  void arrangeGridViewItems();
  void recycle(CNGridViewItemBase* item);
  void adopt(CNGridViewItemBase* item);
  void forget(CNGridViewItemBase* item);
  void fadeIn(const QList<CNGridViewItemBase*>& items);
  void mouseExited();

  ICNGridViewDataSource* dataSource_ = nullptr;
  ICNGridViewDelegate* delegate_ = nullptr;
  QMap<qint64, CNGridViewItemBase*> visible_;
  QHash<QString, QList<CNGridViewItemBase*>> reuseable_;
  QMap<qint64, CNGridViewItemBase*> selected_;
  QSet<CNGridViewItemBase*> adopted_;
  QList<CNGridViewItemBase*> newlyPlaced_;
  QList<CNGridViewItemBase*> lent_;  // dequeued while the data source fills a cell
  qint64 lastHoveredIndex_ = kCNNotFound;
  quint64 numberOfItems_ = 0;
  bool isInitialCall_ = true;
  bool useHover_ = true;
  bool useCenterAlignment_ = false;
  bool passQueued_ = false;
  bool placing_ = false;
  QSize viewportSize_;
};
