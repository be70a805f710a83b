// The cover flow: a row of pictures on a dark ground, the selected one
// large in the middle with its title under it, its neighbours smaller and
// turned towards it on either side. Left and Right, a click on a side
// picture or the wheel move the selection; the pictures glide there.
//
// The view keeps no items: it asks its data source for the count whenever
// it needs it and for an item only while that item is in view, reading its
// image and title as it draws. Scaled copies of the images it drew are kept
// in a cache, by index, until the item's image or identity changes, its
// cell is reloaded, or the cache is freed. A picture without an image shows
// a placeholder plate with a loading mark.
#pragma once

#include <QColor>
#include <QHash>
#include <QImage>
#include <QPixmap>
#include <QPolygonF>
#include <QString>
#include <QWidget>

class KitImageFlowView;
class QVariantAnimation;

// One picture of the flow. Read on the main thread while the view draws.
class IKitImageFlowItem {
 public:
  virtual ~IKitImageFlowItem() = default;
  // Identifies the picture: a new identity is a new picture.
  virtual QString imageUID() const = 0;
  virtual QString imageTitle() const = 0;
  // A null image shows the placeholder.
  virtual QImage imageRepresentation() const = 0;
};

class IKitImageFlowDataSource {
 public:
  virtual ~IKitImageFlowDataSource() = default;
  virtual qint64 numberOfItemsInImageFlow(KitImageFlowView* view) = 0;
  // The item at `index`, or null; the view uses it only until it returns.
  virtual const IKitImageFlowItem* imageFlowItemAtIndex(KitImageFlowView* view, qint64 index) = 0;
};

class IKitImageFlowDelegate {
 public:
  virtual ~IKitImageFlowDelegate() = default;
  // The user moved the selection to `index` (keys, click or wheel).
  virtual void imageFlowDidSelectItemAtIndex(KitImageFlowView* view, qint64 index) = 0;
};

// The scaled pictures the view keeps between paints.
class KitImageFlowCache {
 public:
  void freeCache() { entries_.clear(); }
  int count() const { return static_cast<int>(entries_.size()); }

 private:
  friend class KitImageFlowView;
  struct Entry {
    QString uid;
    qint64 imageKey = 0;
    QSize slot;
    QPixmap pixmap;
  };
  QHash<qint64, Entry> entries_;
};

class KitImageFlowView : public QWidget {
 public:
  static constexpr int kGlideMs = 220;
  static constexpr int kTitleBand = 26;

  explicit KitImageFlowView(QWidget* parent = nullptr);
  ~KitImageFlowView() override;

  // Neither is owned.
  void setDataSource(IKitImageFlowDataSource* dataSource);
  IKitImageFlowDataSource* dataSource() const { return dataSource_; }
  void setDelegate(IKitImageFlowDelegate* delegate) { delegate_ = delegate; }
  IKitImageFlowDelegate* delegate() const { return delegate_; }

  qint64 selectedIndex() const { return selected_; }
  // Centres `index` without telling the delegate; an index outside the
  // items is ignored.
  void setSelectedIndex(qint64 index);
  // Forgets every scaled picture and draws the items anew; a selection past
  // the new end moves to the last item.
  void reloadData();
  // Draws the item at `index` anew from its current image. Any thread: from
  // another thread the request is carried to the main thread.
  void reloadCellDataAtIndex(qint64 index);
  KitImageFlowCache* cacheManager() { return &cache_; }

  void setBackgroundColor(const QColor& color);
  const QColor& backgroundColor() const { return background_; }

  qint64 numberOfItems() const;
  // The items that can be in view while `selectedIndex()` is centred.
  qint64 firstVisibleIndex() const;
  qint64 lastVisibleIndex() const;
  // Side of the square slot of the centred picture.
  qreal slotSide() const;
  // Where the slot of `index` is drawn now (a quadrilateral: side slots are
  // turned); empty for an index out of view.
  QPolygonF slotPolygon(qint64 index) const;
  // The item whose slot lies under `point`, front-most first; -1 for none.
  qint64 indexAt(const QPointF& point) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  struct Placement {
    QTransform transform;  // maps the slot, centred on (0, 0), into the view
    qreal shade = 0;       // how far the picture is dimmed, 0 to 1
  };
  Placement placement(qreal offset) const;
  qint64 reach() const;
  void glideTo(qint64 index);
  void userSelect(qint64 index);
  QPixmap scaledPicture(qint64 index, const IKitImageFlowItem& item, const QImage& image);
  void drawPlaceholder(QPainter* painter, qreal side) const;
  void pruneCache();

  IKitImageFlowDataSource* dataSource_ = nullptr;
  IKitImageFlowDelegate* delegate_ = nullptr;
  QColor background_{Qt::black};
  qint64 selected_ = 0;
  qreal position_ = 0;  // the index at the centre now, between items while gliding
  QVariantAnimation* glide_ = nullptr;
  int wheelRest_ = 0;
  KitImageFlowCache cache_;
};
