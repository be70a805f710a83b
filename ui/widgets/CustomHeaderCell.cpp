#include "ui/widgets/CustomHeaderCell.h"

#include <QFontMetrics>
#include <QPainter>

#include "ui/widgets/KitStyle.h"

namespace {
// The plain header's face, the colour the kit uses for controls.
const QColor kPlainFace = KitColors::kControl;
const QColor kPlainLine{170, 170, 170};
}  // namespace

KitHeaderCell::KitHeaderCell(const QString& title) : title_(title), font_(KitStyle::Font(12)), textColor_(Qt::black) {}

void KitHeaderCell::drawWithFrame(QPainter* painter, const QRect& frame, bool highlighted) const {
  drawBackgroundWithFrame(painter, frame, highlighted);
  drawInteriorWithFrame(painter, frame);
}

void KitHeaderCell::drawBackgroundWithFrame(QPainter* painter, const QRect& frame, bool highlighted) const {
  painter->fillRect(frame, kPlainFace);
  if (highlighted) painter->fillRect(frame, QColor(0, 0, 0, 26));
  painter->fillRect(QRect(frame.x(), frame.bottom(), frame.width(), 1), kPlainLine);
  painter->fillRect(QRect(frame.right(), frame.y(), 1, frame.height()), kPlainLine);
}

void KitHeaderCell::drawInteriorWithFrame(QPainter* painter, const QRect& frame) const {
  if (title_.isEmpty()) return;
  const QRect title = frame.adjusted(kTitleInset, 0, -kTitleInset, 0);
  painter->save();
  painter->setFont(font_);
  painter->setPen(textColor_);
  painter->drawText(title, Qt::AlignLeft | Qt::AlignVCenter,
                    QFontMetrics(font_).elidedText(title_, Qt::ElideRight, title.width()));
  painter->restore();
}

CustomHeaderCell::CustomHeaderCell(const KitHeaderCell& replaced) : KitHeaderCell(replaced.stringValue()) {
  setFont(KitStyle::Font(12, true));
  setTextColor(KitColors::kHeaderText);
}

// Pressed or not, the same flat face.
void CustomHeaderCell::drawBackgroundWithFrame(QPainter* painter, const QRect& frame, bool) const {
  painter->fillRect(frame, KitColors::kDarkHeader);
}

void CustomHeaderCell::drawInteriorWithFrame(QPainter* painter, const QRect& frame) const {
  if (stringValue().isEmpty()) return;
  painter->save();
  painter->setFont(font());
  painter->setPen(textColor());
  painter->drawText(frame.translated(5, 5), Qt::AlignLeft | Qt::AlignTop, stringValue());
  painter->restore();
}
