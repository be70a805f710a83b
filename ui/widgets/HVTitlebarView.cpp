#include "ui/widgets/HVTitlebarView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>

#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCImageWindow.h"

namespace {
constexpr qreal kCornerRadius = 4.0;

// The bar's outline: square at the bottom, rounded at the two top corners.
QPainterPath TopRoundedPath(const QRectF& r, qreal radius) {
  QPainterPath path;
  path.moveTo(r.left(), r.bottom());
  path.lineTo(r.left(), r.top() + radius);
  path.arcTo(QRectF(r.left(), r.top(), 2 * radius, 2 * radius), 180, -90);
  path.lineTo(r.right() - radius, r.top());
  path.arcTo(QRectF(r.right() - 2 * radius, r.top(), 2 * radius, 2 * radius), 90, -90);
  path.lineTo(r.right(), r.bottom());
  path.closeSubpath();
  return path;
}
}  // namespace

HVTitlebarView::HVTitlebarView(TCImageWindow* window, QWidget* parent) : QWidget(parent), window_(window) {}

QRect HVTitlebarView::titleFrame() const {
  const QFontMetrics metrics(KitStyle::Font(13));
  const QSize size(metrics.horizontalAdvance(window_->windowTitle()), metrics.height());
  return QRect(width() / 2 - size.width() / 2, 2, size.width(), size.height());
}

void HVTitlebarView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  // One flat colour, active or not; the separator at the lower edge is drawn
  // in the same colour, so it only matters where the content is lighter.
  painter.fillPath(TopRoundedPath(rect(), kCornerRadius), KitColors::kTitleBar);
  if (window_->showsBaselineSeparator()) painter.fillRect(QRect(0, height() - 1, width(), 1), KitColors::kTitleBar);
  if (window_->showsTitle()) {
    QColor colour = KitColors::kTitleText;
    if (!window_->isActiveWindow()) colour.setAlphaF(0.5);
    painter.setFont(KitStyle::Font(13));
    painter.setPen(QColor(255, 255, 255, 128));  // the title's light shadow, one point below
    painter.drawText(titleFrame().translated(0, 1), Qt::AlignCenter, window_->windowTitle());
    painter.setPen(colour);
    painter.drawText(titleFrame(), Qt::AlignCenter, window_->windowTitle());
  }
}

void HVTitlebarView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && window_->minimiseOnDoubleClick()) window_->showMinimized();
  event->accept();
}

HVTitlebarContainer::HVTitlebarContainer(QWidget* parent) : QWidget(parent) {}

void HVTitlebarContainer::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  QWidget* w = window();
  byHand_ = false;
  if (w->isMaximized() || w->isFullScreen()) return;
  // Let the window manager move the window where it can (Wayland allows
  // nothing else); without one, move it ourselves.
  if (w->windowHandle() && w->windowHandle()->startSystemMove()) return;
  byHand_ = true;
  pressGlobal_ = event->globalPosition().toPoint();
  windowOrigin_ = w->pos();
}

void HVTitlebarContainer::mouseMoveEvent(QMouseEvent* event) {
  if (!byHand_ || !(event->buttons() & Qt::LeftButton)) return QWidget::mouseMoveEvent(event);
  window()->move(windowOrigin_ + event->globalPosition().toPoint() - pressGlobal_);
}

void HVTitlebarContainer::mouseReleaseEvent(QMouseEvent* event) {
  byHand_ = false;
  QWidget::mouseReleaseEvent(event);
}
