#include "ui/widgets/KitImageFlowView.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QThread>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>
#include <vector>

#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"

namespace {
constexpr qreal kMargin = 10;
// Measures as fractions of the centre slot's side: the first neighbour's
// distance from the centre, the spacing of the ones behind it, and how
// small the neighbours are.
constexpr qreal kFirstStep = 0.62;
constexpr qreal kNextStep = 0.22;
constexpr qreal kSideScale = 0.75;
constexpr qreal kSideAngle = 52;  // degrees about the vertical axis
constexpr qreal kMaxShade = 0.55;
const QColor kPlaceholderPlate{48, 52, 58};
const QColor kPlaceholderEdge{74, 80, 90};
}  // namespace

KitImageFlowView::KitImageFlowView(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
  glide_ = new QVariantAnimation(this);
  glide_->setEasingCurve(QEasingCurve::OutCubic);
  connect(glide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    position_ = value.toReal();
    update();
  });
}

KitImageFlowView::~KitImageFlowView() = default;

void KitImageFlowView::setDataSource(IKitImageFlowDataSource* dataSource) {
  dataSource_ = dataSource;
  reloadData();
}

void KitImageFlowView::setBackgroundColor(const QColor& color) {
  background_ = color;
  update();
}

qint64 KitImageFlowView::numberOfItems() const {
  return dataSource_ ? std::max<qint64>(0, dataSource_->numberOfItemsInImageFlow(const_cast<KitImageFlowView*>(this)))
                     : 0;
}

void KitImageFlowView::setSelectedIndex(qint64 index) {
  if (index < 0 || index >= numberOfItems()) return;
  glideTo(index);
}

void KitImageFlowView::reloadData() {
  cache_.freeCache();
  const qint64 n = numberOfItems();
  if (selected_ >= n) {
    selected_ = std::max<qint64>(0, n - 1);
    glide_->stop();
    position_ = static_cast<qreal>(selected_);
  }
  update();
}

void KitImageFlowView::reloadCellDataAtIndex(qint64 index) {
  if (QThread::currentThread() != thread()) {
    QMetaObject::invokeMethod(
        this, [this, index] { reloadCellDataAtIndex(index); }, Qt::QueuedConnection);
    return;
  }
  cache_.entries_.remove(index);
  if (index >= firstVisibleIndex() && index <= lastVisibleIndex()) update();
}

// ---- geometry -------------------------------------------------------------------

qreal KitImageFlowView::slotSide() const {
  const qreal area = height() - kTitleBand - 2 * kMargin;
  return std::max<qreal>(0, std::min(area, width() * 0.42));
}

KitImageFlowView::Placement KitImageFlowView::placement(qreal offset) const {
  const qreal side = slotSide();
  const qreal distance = std::abs(offset);
  const qreal near = std::min<qreal>(distance, 1);
  const qreal sign = offset < 0 ? -1 : 1;
  const qreal shift =
      distance <= 1 ? offset * side * kFirstStep : sign * (side * kFirstStep + (distance - 1) * side * kNextStep);
  const qreal centreY = kMargin + (height() - kTitleBand - 2 * kMargin) / 2;
  Placement p;
  p.transform.translate(width() / 2.0 + shift, centreY);
  // Neighbours turn their faces towards the middle.
  p.transform.rotate(-sign * kSideAngle * near, Qt::YAxis);
  const qreal scale = 1 - (1 - kSideScale) * near;
  p.transform.scale(scale, scale);
  p.shade = kMaxShade * std::min<qreal>(distance, 3) / 3;
  return p;
}

qint64 KitImageFlowView::reach() const {
  const qreal side = slotSide();
  if (side <= 0) return 0;
  // Slots whose nearer edge still falls inside the view, and one more.
  const qreal room = width() / 2.0 + side * kSideScale / 2 - side * kFirstStep;
  return std::max<qint64>(1, static_cast<qint64>(std::ceil(room / (side * kNextStep))) + 1);
}

qint64 KitImageFlowView::firstVisibleIndex() const {
  return std::max<qint64>(0, static_cast<qint64>(std::floor(position_)) - reach());
}

qint64 KitImageFlowView::lastVisibleIndex() const {
  return std::min(numberOfItems() - 1, static_cast<qint64>(std::ceil(position_)) + reach());
}

QPolygonF KitImageFlowView::slotPolygon(qint64 index) const {
  if (index < firstVisibleIndex() || index > lastVisibleIndex()) return {};
  const qreal side = slotSide();
  return placement(static_cast<qreal>(index) - position_).transform.map(QRectF(-side / 2, -side / 2, side, side));
}

qint64 KitImageFlowView::indexAt(const QPointF& point) const {
  std::vector<qint64> order;
  for (qint64 i = firstVisibleIndex(); i <= lastVisibleIndex(); ++i) order.push_back(i);
  std::sort(order.begin(), order.end(), [this](qint64 a, qint64 b) {
    return std::abs(static_cast<qreal>(a) - position_) < std::abs(static_cast<qreal>(b) - position_);
  });
  for (qint64 i : order) {
    if (slotPolygon(i).containsPoint(point, Qt::OddEvenFill)) return i;
  }
  return -1;
}

// ---- selection --------------------------------------------------------------------

void KitImageFlowView::glideTo(qint64 index) {
  selected_ = index;
  const int ms = KitAnimations::Duration(kGlideMs);
  glide_->stop();
  if (ms <= 0 || !isVisible()) {
    position_ = static_cast<qreal>(index);
    update();
    return;
  }
  glide_->setDuration(ms);
  glide_->setStartValue(position_);
  glide_->setEndValue(static_cast<qreal>(index));
  glide_->start();
}

void KitImageFlowView::userSelect(qint64 index) {
  if (index < 0 || index >= numberOfItems() || index == selected_) return;
  glideTo(index);
  if (delegate_) delegate_->imageFlowDidSelectItemAtIndex(this, index);
}

void KitImageFlowView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Left:
      userSelect(selected_ - 1);
      break;
    case Qt::Key_Right:
      userSelect(selected_ + 1);
      break;
    default:
      QWidget::keyPressEvent(event);
  }
}

void KitImageFlowView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  setFocus(Qt::MouseFocusReason);
  userSelect(indexAt(event->position()));
}

void KitImageFlowView::wheelEvent(QWheelEvent* event) {
  const QPoint delta = event->angleDelta();
  wheelRest_ += std::abs(delta.x()) > std::abs(delta.y()) ? -delta.x() : -delta.y();
  // One picture per notch; a wheel turned towards the user moves right.
  while (std::abs(wheelRest_) >= 120) {
    const int step = wheelRest_ > 0 ? 1 : -1;
    wheelRest_ -= step * 120;
    userSelect(selected_ + step);
  }
  event->accept();
}

// ---- drawing --------------------------------------------------------------------------

QPixmap KitImageFlowView::scaledPicture(qint64 index, const IKitImageFlowItem& item, const QImage& image) {
  const qreal side = slotSide();
  const QSize slot(static_cast<int>(side), static_cast<int>(side));
  const QString uid = item.imageUID();
  auto it = cache_.entries_.find(index);
  if (it != cache_.entries_.end() && it->uid == uid && it->imageKey == image.cacheKey() && it->slot == slot) {
    return it->pixmap;
  }
  const qreal ratio = devicePixelRatioF();
  QImage scaled = image.scaled(slot * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  scaled.setDevicePixelRatio(ratio);
  KitImageFlowCache::Entry entry{uid, image.cacheKey(), slot, QPixmap::fromImage(scaled)};
  cache_.entries_.insert(index, entry);
  return entry.pixmap;
}

void KitImageFlowView::drawPlaceholder(QPainter* painter, qreal side) const {
  const qreal plate = side * 0.8;
  const QRectF r(-plate / 2, side / 2 - plate, plate, plate);
  QPainterPath path;
  path.addRoundedRect(r, plate * 0.06, plate * 0.06);
  painter->fillPath(path, kPlaceholderPlate);
  painter->strokePath(path, QPen(kPlaceholderEdge, 1.5));
  const QPixmap mark = KitImages::Named(QStringLiteral("loading"));
  if (mark.isNull()) return;
  QSizeF size = mark.deviceIndependentSize();
  size.scale(QSizeF(plate * 0.4, plate * 0.4), Qt::KeepAspectRatio);
  painter->drawPixmap(QRectF(r.center() - QPointF(size.width() / 2, size.height() / 2), size), mark,
                      QRectF(QPointF(0, 0), mark.size()));
}

void KitImageFlowView::pruneCache() {
  const qint64 keep = reach() * 2;
  const qint64 low = static_cast<qint64>(std::floor(position_)) - keep;
  const qint64 high = static_cast<qint64>(std::ceil(position_)) + keep;
  for (auto it = cache_.entries_.begin(); it != cache_.entries_.end();) {
    it = it.key() < low || it.key() > high ? cache_.entries_.erase(it) : ++it;
  }
}

void KitImageFlowView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), background_);
  const qreal side = slotSide();
  if (dataSource_ == nullptr || side <= 0) return;
  const qint64 first = firstVisibleIndex(), last = lastVisibleIndex();
  if (last < first) return;
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);

  // Far pictures first, so nearer ones cover them.
  std::vector<qint64> order;
  for (qint64 i = first; i <= last; ++i) order.push_back(i);
  std::sort(order.begin(), order.end(), [this](qint64 a, qint64 b) {
    return std::abs(static_cast<qreal>(a) - position_) > std::abs(static_cast<qreal>(b) - position_);
  });
  QString title;
  for (qint64 i : order) {
    const IKitImageFlowItem* item = dataSource_->imageFlowItemAtIndex(this, i);
    if (i == selected_ && item) title = item->imageTitle();
    const Placement p = placement(static_cast<qreal>(i) - position_);
    painter.setTransform(p.transform);
    const QImage image = item ? item->imageRepresentation() : QImage();
    QRectF drawn;
    if (!image.isNull() && item) {
      const QPixmap picture = scaledPicture(i, *item, image);
      const QSizeF size = picture.deviceIndependentSize();
      // Pictures stand on the slot's bottom edge.
      drawn = QRectF(-size.width() / 2, side / 2 - size.height(), size.width(), size.height());
      painter.drawPixmap(drawn, picture, QRectF(QPointF(0, 0), picture.size()));
    } else {
      drawPlaceholder(&painter, side);
      const qreal plate = side * 0.8;
      drawn = QRectF(-plate / 2, side / 2 - plate, plate, plate);
    }
    if (p.shade > 0) painter.fillRect(drawn, QColor::fromRgbF(0, 0, 0, static_cast<float>(p.shade)));
  }
  painter.resetTransform();
  pruneCache();

  if (title.isEmpty()) return;
  const qreal centreY = kMargin + (height() - kTitleBand - 2 * kMargin) / 2;
  const QRectF band(kMargin, centreY + side / 2 + 2, width() - 2 * kMargin, kTitleBand);
  painter.setFont(KitStyle::Font(13));
  painter.setPen(Qt::white);
  painter.drawText(band, Qt::AlignHCenter | Qt::AlignVCenter,
                   painter.fontMetrics().elidedText(title, Qt::ElideMiddle, static_cast<int>(band.width())));
}
