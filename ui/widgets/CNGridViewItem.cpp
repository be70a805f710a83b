#include "ui/widgets/CNGridViewItem.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QThread>

#include <algorithm>

#include "ui/widgets/CNGridViewItemLayout.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitServices.h"
#include "ui/widgets/KitStyle.h"

namespace {
constexpr int kSide = 150;
constexpr qreal kPlateOffset = 5;
constexpr qreal kPlateRadius = 10;
// A loader pauses this long after handing over each thumbnail, so a burst
// of small thumbnails cannot flood the main thread.
constexpr unsigned long kDeliveryPauseMs = 10;
}  // namespace

const QString CNGridViewItemBase::kCNDefaultItemIdentifier = QStringLiteral("CNGridViewItem");

CNGridViewItemBase::CNGridViewItemBase(QWidget* parent) : QWidget(parent), reuseIdentifier_(kCNDefaultItemIdentifier) {
  resize(kSide, kSide);
  // Pointer moves over an item travel on to the grid, which does the
  // hovering; they reach it only through widgets that track the mouse.
  setMouseTracking(true);
}

void CNGridViewItemBase::prepareForReuse() {
  index_ = kCNNotFound;
  setSelected(false);
  selectable_ = true;
  setHovered(false);
}

void CNGridViewItemBase::setSelected(bool selected) {
  if (selected == selected_) return;
  selected_ = selected;
  update();
}

void CNGridViewItemBase::setHovered(bool hovered) {
  if (hovered == hovered_) return;
  hovered_ = hovered;
  update();
}

void CNGridViewItemBase::mouseMoveEvent(QMouseEvent* event) { event->ignore(); }

CNGridViewItem::CNGridViewItem(QWidget* parent) : CNGridViewItemBase(parent) { initProperties(); }

CNGridViewItem::CNGridViewItem(std::shared_ptr<CNGridViewItemLayout> layout, const QString& reuseIdentifier,
                               QWidget* parent)
    : CNGridViewItemBase(parent), currentLayout_(std::move(layout)) {
  setReuseIdentifier(reuseIdentifier);
  initProperties();
}

void CNGridViewItem::initProperties() {
  itemImage_ = {};
  itemTitle_.clear();
  if (itemButton_ == nullptr) {
    itemButton_ = new KitImageCheckButton(QRect(16, 121, 13, 13), this);
    itemButton_->setMouseTracking(true);
    connect(itemButton_, &QAbstractButton::clicked, this, [this] { setItemSelectBoxClickAction(); });
  }
  if (titleLabel_ == nullptr) {
    titleLabel_ = new KitElidedLabel(QRect(30, 120, 120, 25), this);
    titleLabel_->setFont(KitStyle::Font(11));
    titleLabel_->setBackgroundColor(KitColors::kControl);
    titleLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    titleLabel_->setElideMode(Qt::ElideRight);
    titleLabel_->setMouseTracking(true);
  }
  useLayout_ = true;
}

void CNGridViewItem::prepareForReuse() {
  CNGridViewItemBase::prepareForReuse();
  setItemImage({});
  itemTitle_.clear();
  node_.reset();
}

void CNGridViewItem::setItemImage(const QPixmap& image) {
  itemImage_ = image;
  update();
}

void CNGridViewItem::setCurrentLayout(std::shared_ptr<CNGridViewItemLayout> layout) {
  currentLayout_ = std::move(layout);
  update();
}

void CNGridViewItem::setItemSelectBoxClickAction() {
  const IKitScanState& scan = KitServices::ScanState();
  if (scan.IsScanRunning() && !scan.IsPause()) return;
  if (delegate_ != nullptr) delegate_->doSelectItem(index());
  // The box shows what the row now is, whatever the delegate made of the
  // click (it may refuse it, and a partly ticked row becomes ticked).
  if (node_) {
    itemButton_->setImage(
        KitImages::Named(node_->state() == 2 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no")));
  }
}

void CNGridViewItem::updateImageViewWithImage(const QPointer<CNGridViewItem>& item, const QImage& image,
                                              const KitRowRef& node) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || !node) return;
  // Compared on the main thread, where the item is recycled: a check here
  // could pass just before the item moves on to another row.
  auto store = [item, image, node] {
    if (item && item->node_ == node) item->refImageWithImage(image);
  };
  if (QThread::currentThread() == app->thread()) {
    store();
    return;
  }
  QMetaObject::invokeMethod(app, store, Qt::QueuedConnection);
  QThread::msleep(kDeliveryPauseMs);
}

void CNGridViewItem::refImageWithImage(const QImage& image) {
  if (image.width() <= 0 || image.height() <= 0) return;
  setItemImage(QPixmap::fromImage(image));
}

QRectF CNGridViewItem::ThumbnailRect(const QSizeF& image, const QRectF& bounds) {
  const QRectF plate = bounds.adjusted(kPlateOffset, kPlateOffset, 0, 0);
  // The longer side is brought down to 90 and the other follows, so a photo
  // keeps its shape; a smaller image is shown at its own size.
  const qreal longer = std::max<qreal>(image.width(), image.height());
  const qreal scale = longer > kThumbnailMax ? kThumbnailMax / longer : 1.0;
  const qreal w = image.width() * scale;
  const qreal h = image.height() * scale;
  return {(plate.width() - w) / 2 + kPlateOffset, (plate.height() - h) / 2 - kPlateOffset, w, h};
}

void CNGridViewItem::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF bounds = rect();
  QPainterPath plate;
  plate.addRoundedRect(bounds.adjusted(kPlateOffset, kPlateOffset, 0, 0), kPlateRadius, kPlateRadius);
  painter.fillPath(
      plate, isHovered() ? CNGridViewPalette::itemBackgroundHoverColor() : CNGridViewPalette::itemBackgroundColor());
  if (isSelected()) {
    const std::shared_ptr<CNGridViewItemLayout> layout =
        currentLayout_ ? currentLayout_ : CNGridViewItemLayout::defaultLayout();
    painter.strokePath(plate, QPen(layout->selectionRingColor, layout->selectionRingLineWidth));
  }
  if (!itemImage_.isNull()) {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(ThumbnailRect(itemImage_.deviceIndependentSize(), bounds), itemImage_,
                       QRectF(QPointF(0, 0), itemImage_.size()));
  }
}
