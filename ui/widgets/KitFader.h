// Fading windows: a window fades in when first shown, and a close request
// (its close button, or close()) fades it out and then closes it, exactly
// once: requests during the fade do nothing. A window that was running a
// modal session ends it before it closes. With animations off the fades take
// no time, but the close still comes from the event loop, as a fade's would.
#pragma once

#include <QObject>
#include <QPointer>

class QPropertyAnimation;
class QWidget;
class KitOwnedTimer;

class KitFader : public QObject {
 public:
  static constexpr int kFadeMilliseconds = 250;

  // Owned by `window`; from now on it fades every close of the window.
  explicit KitFader(QWidget* window, bool endsModalSession = false);

  void fadeIn();
  // Starts the fade-out; false when one is already under way.
  bool requestClose();
  bool isClosing() const { return closing_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void finishClose();

  QWidget* window_;
  bool endsModal_;
  bool closing_ = false;
  bool closingNow_ = false;
  QPropertyAnimation* animation_;
  KitOwnedTimer* timer_;
};
