#include "ui/widgets/KitFader.h"

#include <QCloseEvent>
#include <QPropertyAnimation>
#include <QWidget>

#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitModal.h"
#include "ui/widgets/KitOwnedTimer.h"

KitFader::KitFader(QWidget* window, bool endsModalSession)
    : QObject(window),
      window_(window),
      endsModal_(endsModalSession),
      animation_(new QPropertyAnimation(window, "windowOpacity", this)),
      timer_(new KitOwnedTimer(this)) {
  window->installEventFilter(this);
  // The close follows the animation's end, never a comparison of the
  // opacity with 0: without a compositor the opacity does not even change.
  connect(animation_, &QPropertyAnimation::finished, this, [this] {
    if (closing_) finishClose();
  });
}

void KitFader::fadeIn() {
  closing_ = false;
  if (!window_->isVisible()) window_->setWindowOpacity(0.0);
  window_->show();
  animation_->stop();
  animation_->setDuration(KitAnimations::Duration(kFadeMilliseconds));
  animation_->setStartValue(window_->windowOpacity());
  animation_->setEndValue(1.0);
  if (animation_->duration() == 0) {
    window_->setWindowOpacity(1.0);
  } else {
    animation_->start();
  }
}

bool KitFader::requestClose() {
  if (closing_) return false;
  closing_ = true;
  animation_->stop();
  const int duration = KitAnimations::Duration(kFadeMilliseconds);
  if (duration == 0) {
    timer_->start(0, [this] { finishClose(); });
    return true;
  }
  animation_->setDuration(duration);
  animation_->setStartValue(window_->windowOpacity());
  animation_->setEndValue(0.0);
  animation_->start();
  return true;
}

void KitFader::finishClose() {
  if (endsModal_) KitModal::StopModal(0);
  QPointer<KitFader> self = this;  // a window that deletes itself on close takes us with it
  closingNow_ = true;
  const bool closed = window_->close();
  if (!self) return;
  closingNow_ = false;
  closing_ = false;  // closed (it may be shown again) or refused: either way it can close again
  if (!closed) window_->setWindowOpacity(1.0);
}

bool KitFader::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_ && event->type() == QEvent::Close && !closingNow_) {
    event->ignore();
    requestClose();
    return true;
  }
  return QObject::eventFilter(watched, event);
}
