#include "ui/widgets/RFOverlayScroller.h"

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOptionSlider>

#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitOwnedTimer.h"
#include "ui/widgets/KitStyle.h"

namespace {

// The scroller's geometry for Qt's scroll bar: no arrows, the track the whole
// length, a knob as long as the visible share of the content. QScrollBar
// takes its hit tests and dragging from here, so they match the painting.
class OverlayScrollerStyle : public QProxyStyle {
 public:
  static constexpr int kMinimumKnob = 20;

  int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
    if (metric == PM_ScrollBarExtent) return RFOverlayScroller::kVerticalWidth;
    if (metric == PM_ScrollBarSliderMin) return kMinimumKnob;
    return QProxyStyle::pixelMetric(metric, option, widget);
  }

  QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                       const QWidget* widget) const override {
    const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (control != CC_ScrollBar || slider == nullptr) {
      return QProxyStyle::subControlRect(control, option, part, widget);
    }
    const bool vertical = slider->orientation == Qt::Vertical;
    const QRect whole = slider->rect;
    const int length = vertical ? whole.height() : whole.width();
    const qint64 range = static_cast<qint64>(slider->maximum) - slider->minimum;
    int knob = length;
    if (range > 0) {
      knob = static_cast<int>(static_cast<qint64>(length) * slider->pageStep / (range + slider->pageStep));
      knob = std::clamp(knob, std::min(kMinimumKnob, length), length);
    }
    const int start = sliderPositionFromValue(slider->minimum, slider->maximum, slider->sliderPosition, length - knob,
                                              slider->upsideDown);
    auto along = [&](int from, int size) {
      return vertical ? QRect(whole.x(), whole.y() + from, whole.width(), size)
                      : QRect(whole.x() + from, whole.y(), size, whole.height());
    };
    switch (part) {
      case SC_ScrollBarGroove:
        return whole;
      case SC_ScrollBarSlider:
        return along(start, knob);
      case SC_ScrollBarSubPage:
        return along(0, start);
      case SC_ScrollBarAddPage:
        return along(start + knob, length - start - knob);
      default:
        return {};
    }
  }

  SubControl hitTestComplexControl(ComplexControl control, const QStyleOptionComplex* option, const QPoint& point,
                                   const QWidget* widget) const override {
    if (control != CC_ScrollBar) return QProxyStyle::hitTestComplexControl(control, option, point, widget);
    for (SubControl part : {SC_ScrollBarSlider, SC_ScrollBarSubPage, SC_ScrollBarAddPage}) {
      if (subControlRect(control, option, part, widget).contains(point)) return part;
    }
    return SC_None;
  }
};

QStyle* OverlayStyle() {
  static QPointer<OverlayScrollerStyle> style;
  if (style == nullptr) {
    style = new OverlayScrollerStyle;
    style->setParent(qApp);  // lives as long as the application
  }
  return style;
}

}  // namespace

RFOverlayScroller::RFOverlayScroller(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent), idle_(new KitOwnedTimer(this)) {
  setStyle(OverlayStyle());
  setMouseTracking(true);
  setContextMenuPolicy(Qt::NoContextMenu);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  connect(&animation_, &QVariantAnimation::valueChanged, this,
          [this](const QVariant& value) { setAlpha(value.toReal()); });
}

QRect RFOverlayScroller::knobRect() const {
  QStyleOptionSlider option;
  initStyleOption(&option);
  QRect knob = style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
  if (knob.width() <= kThinKnobLimit) {
    knob.setX(knob.x() + kKnobInset);
    knob.setWidth(kKnobThickness);
  }
  if (knob.height() <= kThinKnobLimit) {
    knob.moveTop(kKnobInset);
    knob.setHeight(kKnobThickness);
  }
  return knob;
}

void RFOverlayScroller::paintEvent(QPaintEvent*) {
  if (alpha_ <= 0.0) return;
  QPainter painter(this);
  painter.setOpacity(alpha_);
  painter.fillRect(knobRect(), KitColors::kKnob);
}

// Shown, the scroller rests before it fades, as after a scroll.
void RFOverlayScroller::showEvent(QShowEvent* event) {
  QScrollBar::showEvent(event);
  setAlpha(1.0);
  idle_->start(kIdleMs, [this] { fadeOut(); });
}

void RFOverlayScroller::setAlpha(qreal alpha) {
  if (alpha == alpha_) return;
  alpha_ = alpha;
  update();
}

void RFOverlayScroller::animateAlpha(qreal to, int milliseconds) {
  animation_.stop();
  const int duration = KitAnimations::Duration(milliseconds);
  if (duration <= 0 || alpha_ == to) {
    setAlpha(to);
    return;
  }
  animation_.setStartValue(alpha_);
  animation_.setEndValue(to);
  animation_.setDuration(duration);
  animation_.start();
}

// Every scroll shows the scroller and starts its rest again; one fade is
// ever pending.
void RFOverlayScroller::sliderChange(SliderChange change) {
  QScrollBar::sliderChange(change);
  if (change != SliderValueChange) return;
  animateAlpha(1.0, kEnterMs);
  idle_->start(kIdleMs, [this] { fadeOut(); });
}

void RFOverlayScroller::fadeOut() {
  idle_->cancel();
  if (hovered_) return;
  animateAlpha(0.0, kFadeMs);
}

bool RFOverlayScroller::isFadePending() const { return idle_->isPending(); }

void RFOverlayScroller::enterEvent(QEnterEvent* event) {
  QScrollBar::enterEvent(event);
  hovered_ = true;
  animateAlpha(1.0, kEnterMs);
  idle_->cancel();
}

void RFOverlayScroller::leaveEvent(QEvent* event) {
  QScrollBar::leaveEvent(event);
  hovered_ = false;
  fadeOut();
}

void RFOverlayScroller::mouseMoveEvent(QMouseEvent* event) {
  QScrollBar::mouseMoveEvent(event);
  animation_.stop();
  setAlpha(1.0);
}
