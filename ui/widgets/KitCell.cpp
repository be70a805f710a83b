#include "ui/widgets/KitCell.h"

#include <QFontMetrics>
#include <QPainter>

#include "ui/widgets/KitStyle.h"

const QColor KitTextFieldCell::kDefaultTextColor = KitColors::kHeaderText;

KitTextFieldCell::KitTextFieldCell()
    : font_(KitStyle::Font(13)), textColor_(kDefaultTextColor), backgroundColor_(KitColors::kControl) {}

QRectF KitTextFieldCell::titleRectForBounds(const QRect& bounds) const {
  return QRectF(bounds).adjusted(kTextInset, 0, -kTextInset, 0);
}

void KitTextFieldCell::drawInteriorWithFrame(QPainter* painter, const QRect& frame) const {
  const QString text = stringValue();
  if (text.isEmpty()) return;
  const QRectF title = titleRectForBounds(frame);
  const QFontMetrics metrics(font_);
  painter->save();
  painter->setFont(font_);
  painter->setPen(textColor_);
  painter->drawText(title, static_cast<int>(alignment_ | Qt::AlignVCenter),
                    metrics.elidedText(text, Qt::ElideRight, static_cast<int>(title.width())));
  painter->restore();
}

void KitTextFieldCell::drawWithFrame(QPainter* painter, const QRect& frame) const {
  if (drawsBackground_) painter->fillRect(frame, backgroundColor_);
  drawInteriorWithFrame(painter, frame);
}

QSize KitTextFieldCell::cellSize() const {
  const QFontMetrics metrics(font_);
  return {metrics.horizontalAdvance(stringValue()) + 2 * kTextInset, metrics.height()};
}
