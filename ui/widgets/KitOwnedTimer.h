// A delayed call owned by the object that asked for it: a child QObject, so
// it dies with its owner and the call can never reach a destroyed object.
// Starting it again replaces the pending call (the one-pending-request rule
// of the kit's fades and latches).
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

class KitOwnedTimer : public QObject {
 public:
  explicit KitOwnedTimer(QObject* owner);

  // Runs `call` once after `milliseconds`, replacing any pending call.
  void start(int milliseconds, std::function<void()> call);
  void cancel();
  bool isPending() const { return timer_.isActive(); }

 private:
  QTimer timer_;
  std::function<void()> call_;
};
