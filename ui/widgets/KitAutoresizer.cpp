#include "ui/widgets/KitAutoresizer.h"

#include "ui/widgets/KitGeometry.h"

#include <QEvent>
#include <QWidget>

#include <cmath>

namespace {

// Shares `delta` among the flexible parts of one axis: leading margin (the
// one at the origin), size and trailing margin. Answers the new leading
// margin and size.
void ShareAxis(qreal delta, bool flexLead, bool flexSize, bool flexTrail, qreal& lead, qreal& size, qreal trail) {
  const int parts = int(flexLead) + int(flexSize) + int(flexTrail);
  if (parts == 0 || delta == 0) return;
  const qreal total = (flexLead ? lead : 0) + (flexSize ? size : 0) + (flexTrail ? trail : 0);
  auto share = [&](qreal part) { return total > 0 ? delta * part / total : delta / parts; };
  const qreal dLead = flexLead ? share(lead) : 0;
  const qreal dSize = flexSize ? share(size) : 0;
  lead += dLead;
  size = std::max<qreal>(0, size + dSize);
}

}  // namespace

KitAutoresizer::KitAutoresizer(QWidget* parent, bool bottomLeftOrigin)
    : QObject(parent), parent_(parent), bottomLeft_(bottomLeftOrigin), size_(parent->size()) {
  parent->installEventFilter(this);
}

void KitAutoresizer::add(QWidget* child, const QRectF& qtFrame, unsigned mask) {
  entries_.insert(child, Entry{child, qtFrame, mask});
  child->setGeometry(KitGeometry::Rounded(qtFrame));
}

void KitAutoresizer::remove(QWidget* child) { entries_.remove(child); }

QRectF KitAutoresizer::Resized(const QRectF& qtFrame, const QSizeF& from, const QSizeF& to, unsigned mask,
                               bool bottomLeftOrigin) {
  qreal x = qtFrame.x(), w = qtFrame.width();
  ShareAxis(to.width() - from.width(), mask & kMinXMargin, mask & kWidthSizable, mask & kMaxXMargin, x, w,
            from.width() - x - w);

  // Along y the leading margin is the one at the layout's origin: the bottom
  // margin for bottom-left layouts (the "minimum y" margin), else the top.
  const qreal top = qtFrame.y(), h0 = qtFrame.height();
  const qreal bottom = from.height() - top - h0;
  qreal lead = bottomLeftOrigin ? bottom : top, h = h0;
  ShareAxis(to.height() - from.height(), mask & kMinYMargin, mask & kHeightSizable, mask & kMaxYMargin, lead, h,
            bottomLeftOrigin ? top : bottom);
  const qreal y = bottomLeftOrigin ? to.height() - lead - h : lead;
  return QRectF(x, y, w, h);
}

bool KitAutoresizer::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent_ && event->type() == QEvent::Resize) {
    const QSizeF now = parent_->size();
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->child.isNull()) {
        it = entries_.erase(it);
        continue;
      }
      it->frame = Resized(it->frame, size_, now, it->mask, bottomLeft_);
      it->child->setGeometry(KitGeometry::Rounded(it->frame));
      ++it;
    }
    size_ = now;
  }
  return QObject::eventFilter(watched, event);
}
