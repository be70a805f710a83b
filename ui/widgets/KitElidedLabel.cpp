#include "ui/widgets/KitElidedLabel.h"

#include <QPainter>

KitElidedLabel::KitElidedLabel(QWidget* parent) : QWidget(parent) {}

KitElidedLabel::KitElidedLabel(const QRect& frame, QWidget* parent) : QWidget(parent) { setGeometry(frame); }

void KitElidedLabel::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  update();
}

QString KitElidedLabel::shownText() const { return fontMetrics().elidedText(text_, elideMode_, width()); }

void KitElidedLabel::setTextColor(const QColor& color) {
  textColor_ = color;
  update();
}

void KitElidedLabel::setBackgroundColor(const QColor& color) {
  backgroundColor_ = color;
  update();
}

void KitElidedLabel::setAlignment(Qt::Alignment alignment) {
  alignment_ = alignment;
  update();
}

void KitElidedLabel::setElideMode(Qt::TextElideMode mode) {
  elideMode_ = mode;
  update();
}

QSize KitElidedLabel::sizeHint() const {
  const QFontMetrics metrics = fontMetrics();
  return {metrics.horizontalAdvance(text_), metrics.height()};
}

void KitElidedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (backgroundColor_.isValid()) painter.fillRect(rect(), backgroundColor_);
  if (text_.isEmpty()) return;
  painter.setPen(textColor_);
  painter.drawText(rect(), static_cast<int>(alignment_) | Qt::TextSingleLine, shownText());
}
