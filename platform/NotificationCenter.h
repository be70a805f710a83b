// Named notifications between the application core and the windows.
//
// Observers are called on the main thread (the thread of the
// QCoreApplication), one after the other in the order they were added. A post
// from the main thread is delivered before Post returns; a post from any other
// thread, and every PostOnMainThread, is queued to the main thread's event
// loop and delivered once, later. A notification without observers is
// dropped.
#pragma once

#include <QString>
#include <QVariant>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QObject;

namespace platform {

struct Notification {
  QString name;
  QVariant object;  // what the poster attached (a map for "RefreshDetachDevice")
};

using ObserverId = quint64;
using NotificationCallback = std::function<void(const Notification&)>;

class NotificationCenter {
 public:
  // The one centre of the process.
  static NotificationCenter& DefaultCenter();

  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Calls `callback` for every notification named `name` (every name when
  // empty). When `owner` is given the observer goes away with it, and
  // RemoveObserver(owner) removes all of the owner's observers at once.
  // Answers an id for RemoveObserver(id).
  ObserverId AddObserver(const QString& name, QObject* owner, NotificationCallback callback);

  // An observer removed while a notification is being delivered is not called
  // for it any more. Removing from another thread while the main thread
  // delivers is safe, but a call that has already started runs to its end.
  void RemoveObserver(ObserverId id);
  void RemoveObserver(QObject* owner, const QString& name = {});

  // See the comment at the top. Both answer false when there is no
  // application object to deliver on.
  bool Post(const QString& name, const QVariant& object = {});
  bool PostOnMainThread(const QString& name, const QVariant& object = {});

  // Observers currently registered for `name` (for tests and diagnostics).
  int ObserverCount(const QString& name) const;

 private:
  struct Entry {
    ObserverId id;
    QString name;
    QObject* owner;
    std::shared_ptr<NotificationCallback> callback;
  };
  void Deliver(const Notification& notification);
  bool IsRegistered(ObserverId id) const;

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  ObserverId nextId_ = 1;
};

}  // namespace platform
