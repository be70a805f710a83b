// The cells of the item grid. CNGridViewItemBase holds what the grid needs
// to place, recycle, select and hover an item; CNGridViewItem shows one
// found file: a rounded plate that darkens under the pointer, a ring while
// selected, the thumbnail, a tick box and the file name.
//
// Thumbnails are made on loader threads. A loader hands its image back with
// the static updateImageViewWithImage(), from any thread: the image is
// carried to the main thread and stored only if the item still exists and
// still shows the row the image was made for, so a thumbnail never lands on
// an item that was recycled for another file meanwhile.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <limits>
#include <memory>

#include "ui/widgets/KitRow.h"

class CNGridViewItemLayout;
class KitElidedLabel;
class KitImageCheckButton;

// "No index": an item not placed in a grid, a point on no item.
inline constexpr qint64 kCNNotFound = std::numeric_limits<qint64>::max();

class CNGridViewItemBase : public QWidget {
  Q_OBJECT

 public:
  // The reuse identifier items get unless told otherwise.
  static const QString kCNDefaultItemIdentifier;

  explicit CNGridViewItemBase(QWidget* parent = nullptr);

  // Back to a blank item before it waits in a reuse queue.
  virtual void prepareForReuse();
  // Selected items are never recycled.
  bool isReuseable() const { return !selected_; }

  const QString& reuseIdentifier() const { return reuseIdentifier_; }
  void setReuseIdentifier(const QString& identifier) { reuseIdentifier_ = identifier; }
  qint64 index() const { return index_; }
  void setIndex(qint64 index) { index_ = index; }
  // The caller's object; the grid clears it when it hands the item out again.
  const QVariant& representedObject() const { return representedObject_; }
  void setRepresentedObject(const QVariant& object) { representedObject_ = object; }
  bool isSelected() const { return selected_; }
  void setSelected(bool selected);
  // Stored for callers; the grid does not consult it.
  bool isSelectable() const { return selectable_; }
  void setSelectable(bool selectable) { selectable_ = selectable; }
  bool isHovered() const { return hovered_; }
  void setHovered(bool hovered);

  // What the grid's select-all and deselect-all announcements do to each of
  // its items.
  void selectAll() { setSelected(true); }
  void deSelectAll() { setSelected(false); }

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  QString reuseIdentifier_;
  qint64 index_ = kCNNotFound;
  QVariant representedObject_;
  bool selected_ = false;
  bool selectable_ = true;
  bool hovered_ = false;
};

class ICNGridViewItemDelegate {
 public:
  virtual ~ICNGridViewItemDelegate() = default;
  // The tick box of the item at `index` was clicked (and allowed).
  virtual void doSelectItem(qint64 index) = 0;
};

class CNGridViewItem : public CNGridViewItemBase {
  Q_OBJECT

 public:
  static constexpr int kThumbnailMax = 90;

  explicit CNGridViewItem(QWidget* parent = nullptr);
  // A null layout draws with the default one.
  CNGridViewItem(std::shared_ptr<CNGridViewItemLayout> layout, const QString& reuseIdentifier,
                 QWidget* parent = nullptr);

  // Also drops the image, the title and the row: a queued item shows no
  // file, so late thumbnails for its old row are dropped.
  void prepareForReuse() override;

  // The tick box's action: refused while a scan runs unpaused; otherwise
  // the delegate toggles the row, and the box then shows the row's tick.
  void setItemSelectBoxClickAction();

  // Any thread. See the comment at the top of the file.
  static void updateImageViewWithImage(const QPointer<CNGridViewItem>& item, const QImage& image,
                                       const KitRowRef& node);
  // Main thread: stores a non-empty image and redraws; an empty one leaves
  // the image shown (the placeholder) in place.
  void refImageWithImage(const QImage& image);

  // Where an image of `image` size is drawn in an item of `bounds`: scaled
  // down, keeping its proportions, until neither side exceeds 90; centred
  // across the plate and a little above its middle.
  static QRectF ThumbnailRect(const QSizeF& image, const QRectF& bounds);

  ICNGridViewItemDelegate* delegate() const { return delegate_; }
  void setDelegate(ICNGridViewItemDelegate* delegate) { delegate_ = delegate; }
  const QPixmap& itemImage() const { return itemImage_; }
  void setItemImage(const QPixmap& image);
  KitImageCheckButton* itemButton() const { return itemButton_; }
  KitElidedLabel* titleLabel() const { return titleLabel_; }
  // The caller's title; the item never writes it into the label.
  const QString& itemTitle() const { return itemTitle_; }
  void setItemTitle(const QString& title) { itemTitle_ = title; }
  const KitRowRef& node() const { return node_; }
  void setNode(const KitRowRef& node) { node_ = node; }
  bool useLayout() const { return useLayout_; }
  void setUseLayout(bool use) { useLayout_ = use; }
  const std::shared_ptr<CNGridViewItemLayout>& currentLayout() const { return currentLayout_; }
  void setCurrentLayout(std::shared_ptr<CNGridViewItemLayout> layout);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void initProperties();

  bool useLayout_ = true;
  ICNGridViewItemDelegate* delegate_ = nullptr;
  QPixmap itemImage_;
  KitImageCheckButton* itemButton_ = nullptr;
  KitElidedLabel* titleLabel_ = nullptr;
  QString itemTitle_;
  KitRowRef node_;
  std::shared_ptr<CNGridViewItemLayout> currentLayout_;
};
