#include "ui/widgets/THSearchField.h"

#include <QAction>
#include <QPainter>
#include <QPainterPath>

#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"

void THSearchFieldCell::setUp() {
  const QPixmap image = KitImages::Named(QStringLiteral("search_normal"));
  searchImage_ = image.isNull() ? image
                                : image.scaled(kSearchImageSize, kSearchImageSize, Qt::IgnoreAspectRatio,
                                               Qt::SmoothTransformation);
}

void THSearchFieldCell::drawInteriorWithFrame(QPainter& painter, const QRect&, const QWidget& controlView) const {
  const QRectF bounds = controlView.rect();
  const qreal radius = bounds.height() / 4;
  QPainterPath backing;
  backing.addRoundedRect(bounds, radius, radius);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillPath(backing, Qt::black);
  painter.restore();
}

QPalette THSearchFieldCell::setUpFieldEditorAttributes(QPalette palette) const {
  // The caret is drawn in the text colour.
  palette.setColor(QPalette::Text, KitColors::kLabelText);
  palette.setColor(QPalette::Base, Qt::transparent);
  palette.setColor(QPalette::PlaceholderText, KitColors::kPlaceholder);
  return palette;
}

THSearchField::THSearchField(QWidget* parent) : QLineEdit(parent), cell_(std::make_unique<THSearchFieldCell>()) {
  setFrame(false);
  setPalette(cell_->setUpFieldEditorAttributes(palette()));
  setClearButtonEnabled(true);
  // The style's clear mark is dark, unseen on black: the kit's own instead.
  const QPixmap clear = KitImages::Named(QStringLiteral("search_clear"));
  if (auto* action = findChild<QAction*>(QStringLiteral("_q_qlineeditclearaction")); action && !clear.isNull())
    action->setIcon(QIcon(clear));
  if (!cell_->searchButtonImage().isNull()) addAction(QIcon(cell_->searchButtonImage()), LeadingPosition);
}

void THSearchField::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    cell_->drawInteriorWithFrame(painter, rect(), *this);
  }
  QLineEdit::paintEvent(event);
}
