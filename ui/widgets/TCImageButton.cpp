#include "ui/widgets/TCImageButton.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"

TCImageButton::TCImageButton(QWidget* parent, Creation creation)
    : QAbstractButton(parent), usable_(creation == Creation::InCode) {
  // Keyboard activation would bypass the usable switch; the windows' buttons
  // are pointer controls.
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_Hover, false);
}

TCImageButton::TCImageButton(const QRect& frame, QWidget* parent, Creation creation) : TCImageButton(parent, creation) {
  setGeometry(frame);
}

void TCImageButton::setImageFromFileNormalName(const QString& normal, const QString& active, const QString& hover,
                                               const QString& disable) {
  normalImage_ = KitImages::Named(normal);
  activeImage_ = KitImages::Named(active);
  hoverImage_ = KitImages::Named(hover);
  disableImage_ = KitImages::Named(disable);
  dstRect_ = QRectF(QPointF(0, 0), normalImage_.deviceIndependentSize());
  srcRect_ = dstRect_;
  updateGeometry();
  update();
}

void TCImageButton::setImageStem(const QString& stem) {
  const KitImages::Stem names = KitImages::StemNames(stem);
  setImageFromFileNormalName(names.normal, names.press, names.hover, names.disable);
}

void TCImageButton::setTextWithName(const QString& text, const QRect& frame) {
  dstRect_ = QRectF(QPointF(0, 0), frame.size());
  if (label_.isNull()) {
    label_ = new QLabel(this);
    label_->setAlignment(Qt::AlignCenter);
    label_->setFont(KitStyle::Font(14));
    // The label only shows text: presses go to the button beneath it.
    label_->setAttribute(Qt::WA_TransparentForMouseEvents);
    label_->setAutoFillBackground(false);
  }
  label_->setText(text);
  placeLabel();
  label_->show();
  update();
}

void TCImageButton::placeLabel() {
  if (label_) label_->setGeometry(0, (height() - 18) / 2, width(), 18);
}

void TCImageButton::setImage(const QPixmap& image) {
  image_ = image;
  update();
}

void TCImageButton::setButtonEnabled(bool usable) {
  usable_ = usable;
  if (!usable && tracking_) {
    // A press under way when the button becomes unusable must not click.
    tracking_ = false;
    setDown(false);
  }
  repaint();
}

QSize TCImageButton::sizeHint() const {
  if (!dstRect_.isEmpty()) return dstRect_.size().toSize();
  return QAbstractButton::sizeHint().expandedTo(QSize(16, 16));
}

void TCImageButton::paintEvent(QPaintEvent*) {
  const bool drawsUsable = isEnabled() && usable_;
  if (label_) {
    QPalette palette = label_->palette();
    const QColor colour = drawsUsable ? KitColors::kLabelText : KitColors::kLabelTextDisabled;
    if (palette.color(QPalette::WindowText) != colour) {
      palette.setColor(QPalette::WindowText, colour);
      label_->setPalette(palette);
    }
  }
  if (normalImage_.isNull()) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    option.initFrom(this);
    option.state |= isDown() ? QStyle::State_Sunken : QStyle::State_Raised;
    if (label_.isNull()) option.text = text();
    if (!image_.isNull()) {
      option.icon = QIcon(image_);
      option.iconSize = image_.deviceIndependentSize().toSize();
    }
    painter.drawControl(QStyle::CE_PushButton, option);
    return;
  }
  const QPixmap* image = &disableImage_;
  if (drawsUsable) image = tracking_ ? &activeImage_ : focus_ ? &hoverImage_ : &normalImage_;
  if (image->isNull()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const qreal ratio = image->devicePixelRatio();
  const QRectF source(srcRect_.topLeft() * ratio, srcRect_.size() * ratio);
  painter.drawPixmap(dstRect_, *image, source);
}

void TCImageButton::mousePressEvent(QMouseEvent* event) {
  if (!usable_) {
    event->accept();  // ignored entirely: no pressed look, no click
    return;
  }
  if (event->button() == Qt::LeftButton) {
    tracking_ = true;
    repaint();
  }
  QAbstractButton::mousePressEvent(event);
}

void TCImageButton::mouseReleaseEvent(QMouseEvent* event) {
  if (!usable_ && !tracking_) {
    event->accept();
    return;
  }
  QAbstractButton::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton) {
    tracking_ = false;
    update();
  }
}

void TCImageButton::keyPressEvent(QKeyEvent* event) {
  if (!usable_) {
    event->ignore();
    return;
  }
  QAbstractButton::keyPressEvent(event);
}

void TCImageButton::enterEvent(QEnterEvent* event) {
  if (isEnabled()) {
    focus_ = true;
    update();
  }
  QAbstractButton::enterEvent(event);
}

void TCImageButton::leaveEvent(QEvent* event) {
  focus_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

void TCImageButton::changeEvent(QEvent* event) {
  // A disabled widget gets no leave event: forget hover and press now, or the
  // button would come back hovered after the pointer has long gone.
  if (event->type() == QEvent::EnabledChange && !isEnabled()) {
    focus_ = false;
    tracking_ = false;
  }
  QAbstractButton::changeEvent(event);
}

void TCImageButton::resizeEvent(QResizeEvent* event) {
  placeLabel();
  QAbstractButton::resizeEvent(event);
}
