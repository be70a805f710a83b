#include "ui/windows/KVTabButton.h"

#include <QPainter>

#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"

KVTabButton::KVTabButton(const QString& title, QWidget* parent) : QAbstractButton(parent) {
  setText(title);
  setFont(KitStyle::Font(12));
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::NoFocus);
}

void KVTabButton::setImageNamed(const QString& name) {
  imageName_ = name;
  image_ = KitImages::Named(name);
  update();
}

void KVTabButton::setTitleColor(const QColor& color) {
  titleColor_ = color;
  update();
}

QSize KVTabButton::sizeHint() const { return {fontMetrics().horizontalAdvance(text()) + 16, 24}; }

void KVTabButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!image_.isNull()) painter.drawPixmap(rect(), image_);
  if (text().isEmpty()) return;
  painter.setPen(titleColor_);
  painter.setFont(font());
  // A title is plain text, cut at the tail when the tab is too narrow.
  painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine,
                   fontMetrics().elidedText(text(), Qt::ElideRight, std::max(0, width() - 4)));
}
