#include "ui/widgets/RFOverlayScrollView.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>
#include <QTreeView>

#include "ui/widgets/KitOwnedTimer.h"
#include "ui/widgets/RFOverlayScroller.h"

RFOverlayScrollView::RFOverlayScrollView(QAbstractScrollArea* area)
    : QObject(area),
      area_(area),
      vertical_(new RFOverlayScroller(Qt::Vertical, area)),
      horizontal_(new RFOverlayScroller(Qt::Horizontal, area)) {
  area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  for (auto [source, scroller] :
       {std::pair{area->verticalScrollBar(), vertical_}, std::pair{area->horizontalScrollBar(), horizontal_}}) {
    connect(source, &QScrollBar::rangeChanged, this, [this, source, scroller] { follow(source, scroller); });
    connect(source, &QScrollBar::valueChanged, scroller, &QScrollBar::setValue);
    connect(scroller, &QScrollBar::valueChanged, source, &QScrollBar::setValue);
    follow(source, scroller);
  }
  retile_ = new KitOwnedTimer(this);
  area->installEventFilter(this);
  if (QHeaderView* header = tableHeader()) header->installEventFilter(this);
  tile();
}

QHeaderView* RFOverlayScrollView::tableHeader() const {
  if (auto* tree = qobject_cast<QTreeView*>(area_)) return tree->header();
  if (auto* table = qobject_cast<QTableView*>(area_)) return table->horizontalHeader();
  return nullptr;
}

int RFOverlayScrollView::tableHeaderOffsetFromSuperview() const {
  const QHeaderView* header = tableHeader();
  return header != nullptr && !header->isHidden() ? header->height() : 0;
}

void RFOverlayScrollView::follow(QScrollBar* source, RFOverlayScroller* scroller) {
  scroller->setRange(source->minimum(), source->maximum());
  scroller->setPageStep(source->pageStep());
  scroller->setSingleStep(source->singleStep());
  scroller->setValue(source->value());
  scroller->setVisible(source->maximum() > source->minimum());
}

void RFOverlayScrollView::tile() {
  if (tiling_) return;
  tiling_ = true;
  headerOffset_ = tableHeaderOffsetFromSuperview();
  const QRect bounds = area_->rect();
  const int width = RFOverlayScroller::kVerticalWidth;
  vertical_->setGeometry(bounds.width() - width, headerOffset_, width, bounds.height() - headerOffset_);
  horizontal_->setGeometry(0, bounds.height() - RFOverlayScroller::kHorizontalHeight, bounds.width() - width,
                           RFOverlayScroller::kHorizontalHeight);
  follow(area_->verticalScrollBar(), vertical_);
  follow(area_->horizontalScrollBar(), horizontal_);
  vertical_->raise();
  horizontal_->raise();
  tiling_ = false;
}

bool RFOverlayScrollView::eventFilter(QObject* watched, QEvent* event) {
  if (watched != area_) {
    // The table's header: its height is the scroller's offset. It also hides
    // while the area is being taken apart, when the area must not be
    // touched, so the tiling waits for the event loop (and dies with us).
    const QEvent::Type type = event->type();
    if (type == QEvent::Resize || type == QEvent::Show || type == QEvent::Hide) retile_->start(0, [this] { tile(); });
  } else {
    switch (event->type()) {
      case QEvent::Resize:
      case QEvent::Show:
      case QEvent::LayoutRequest:
        tile();
        break;
      case QEvent::ChildAdded:
        // A child added later must not cover the scrollers.
        vertical_->raise();
        horizontal_->raise();
        break;
      default:
        break;
    }
  }
  return QObject::eventFilter(watched, event);
}
