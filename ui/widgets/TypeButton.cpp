#include "ui/widgets/TypeButton.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"

TypeButton::TypeButton(const QRect& frame, QWidget* parent) : QAbstractButton(parent) { setGeometry(frame); }

void TypeButton::setTextWithName(const QString& title) {
  if (textField_ == nullptr) {
    textField_ = new QLabel(this);
    textField_->setGeometry(0, 51, 90, 17);
    textField_->setAlignment(Qt::AlignCenter);
    textField_->setFont(KitStyle::Font(14));
    textField_->setAttribute(Qt::WA_TransparentForMouseEvents);
    // A child takes its parent's foreground role, a button's the black
    // button text: the title is drawn in the label's own colour.
    textField_->setForegroundRole(QPalette::WindowText);
    checkBox_ = new QLabel(this);
    checkBox_->setGeometry(37, 74, 16, 16);
    checkBox_->setScaledContents(true);
    checkBox_->setAttribute(Qt::WA_TransparentForMouseEvents);
  }
  textField_->setText(title);
  setTitleColour(KitColors::kCategoryTitle);
  changeSelect(true);
}

void TypeButton::setImageFromFileNormalName(const QString& normal, const QString& active, const QString& hover,
                                            const QString& disable) {
  normalImage_ = KitImages::Named(normal);
  activeImage_ = KitImages::Named(active);
  hoverImage_ = KitImages::Named(hover);
  disableImage_ = KitImages::Named(disable);
  update();
}

void TypeButton::changeSelect(bool selected) {
  select_ = selected;
  if (checkBox_ != nullptr) {
    checkBox_->setPixmap(KitImages::Named(selected ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no")));
  }
}

void TypeButton::setButtonEnabled(bool usable) {
  usable_ = usable;
  update();
}

void TypeButton::setTitleColour(const QColor& colour) {
  if (textField_ == nullptr) return;
  QPalette palette = textField_->palette();
  // Painting sets the colour: change it only when it differs, or the label
  // would repaint without end.
  if (palette.color(QPalette::WindowText) == colour) return;
  palette.setColor(QPalette::WindowText, colour);
  textField_->setPalette(palette);
}

void TypeButton::paintEvent(QPaintEvent*) {
  QColor title = KitColors::kCategoryTitle;
  const QPixmap* image = &disableImage_;
  if (usable()) {
    image = tracking_ ? &activeImage_ : focus_ ? &hoverImage_ : &normalImage_;
    if (!tracking_ && focus_) title.setAlphaF(0.8f);
  } else {
    title = KitColors::kLabelTextDisabled;
  }
  setTitleColour(title);
  if (normalImage_.isNull()) {
    // Without its art the category is still a button: the style's plain
    // one, with the title on the control colour so it reads on any face.
    QStylePainter painter(this);
    QStyleOptionButton option;
    option.initFrom(this);
    option.state |= isDown() ? QStyle::State_Sunken : QStyle::State_Raised;
    painter.drawControl(QStyle::CE_PushButton, option);
    if (textField_ != nullptr) painter.fillRect(textField_->geometry(), KitColors::kControl);
    return;
  }
  if (!image->isNull()) QPainter(this).drawPixmap(dstRect_, *image);
}

void TypeButton::mousePressEvent(QMouseEvent* event) {
  if (!usable()) {
    event->accept();
    return;
  }
  tracking_ = true;
  update();
  QAbstractButton::mousePressEvent(event);
}

void TypeButton::mouseReleaseEvent(QMouseEvent* event) {
  if (!tracking_) return;
  QAbstractButton::mouseReleaseEvent(event);
  tracking_ = false;
  update();
}

void TypeButton::enterEvent(QEnterEvent* event) {
  if (isEnabled()) focus_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void TypeButton::leaveEvent(QEvent* event) {
  focus_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

KVHandButton::KVHandButton(QWidget* parent) : QPushButton(parent) { setCursor(Qt::PointingHandCursor); }
