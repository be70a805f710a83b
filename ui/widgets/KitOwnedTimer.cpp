#include "ui/widgets/KitOwnedTimer.h"

KitOwnedTimer::KitOwnedTimer(QObject* owner) : QObject(owner), timer_(this) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] {
    // The call may start the timer again or destroy the owner (and us): take
    // it out first and touch nothing of ours afterwards.
    auto call = std::move(call_);
    call_ = nullptr;
    if (call) call();
  });
}

void KitOwnedTimer::start(int milliseconds, std::function<void()> call) {
  call_ = std::move(call);
  timer_.start(milliseconds);
}

void KitOwnedTimer::cancel() {
  timer_.stop();
  call_ = nullptr;
}
