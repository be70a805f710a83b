#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QThreadPool>

namespace platform {

bool IsMainThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

bool RunOnMainThread(std::function<void()> fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  return QMetaObject::invokeMethod(
      app,
      [fn = std::move(fn)] {
        if (fn) fn();
      },
      Qt::QueuedConnection);
}

bool RunOnMainThreadAndWait(const std::function<void()>& fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  if (QThread::currentThread() == app->thread()) {
    if (fn) fn();
    return true;
  }
  return QMetaObject::invokeMethod(
      app,
      [&fn] {
        if (fn) fn();
      },
      Qt::BlockingQueuedConnection);
}

void RunInBackground(std::function<void()> work, std::function<void()> thenOnMain) {
  QThreadPool::globalInstance()->start([work = std::move(work), thenOnMain = std::move(thenOnMain)]() mutable {
    if (work) work();
    if (thenOnMain) RunOnMainThread(std::move(thenOnMain));
  });
}

}  // namespace platform
