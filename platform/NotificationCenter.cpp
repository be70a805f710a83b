#include "platform/NotificationCenter.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <algorithm>

#include "platform/MainThread.h"

namespace platform {

NotificationCenter& NotificationCenter::DefaultCenter() {
  static NotificationCenter* center = new NotificationCenter;  // never destroyed: workers may post at exit
  return *center;
}

ObserverId NotificationCenter::AddObserver(const QString& name, QObject* owner, NotificationCallback callback) {
  ObserverId id = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = nextId_++;
    entries_.push_back(Entry{id, name, owner, std::make_shared<NotificationCallback>(std::move(callback))});
  }
  if (owner != nullptr) {
    QObject::connect(
        owner, &QObject::destroyed, owner, [this, id] { RemoveObserver(id); }, Qt::DirectConnection);
  }
  return id;
}

void NotificationCenter::RemoveObserver(ObserverId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [id](const Entry& e) { return e.id == id; }),
                 entries_.end());
}

void NotificationCenter::RemoveObserver(QObject* owner, const QString& name) {
  if (owner == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const Entry& e) { return e.owner == owner && (name.isEmpty() || e.name == name); }),
                 entries_.end());
}

bool NotificationCenter::IsRegistered(ObserverId id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(), [id](const Entry& e) { return e.id == id; });
}

int NotificationCenter::ObserverCount(const QString& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(entries_.begin(), entries_.end(),
                                        [&](const Entry& e) { return e.name.isEmpty() || e.name == name; }));
}

void NotificationCenter::Deliver(const Notification& notification) {
  std::vector<std::pair<ObserverId, std::shared_ptr<NotificationCallback>>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
      if (e.name.isEmpty() || e.name == notification.name) targets.emplace_back(e.id, e.callback);
    }
  }
  for (const auto& [id, callback] : targets) {
    // An earlier observer may have removed this one (or destroyed its owner).
    if (IsRegistered(id)) (*callback)(notification);
  }
}

bool NotificationCenter::Post(const QString& name, const QVariant& object) {
  if (QCoreApplication::instance() == nullptr) return false;
  if (!IsMainThread()) return PostOnMainThread(name, object);
  Deliver(Notification{name, object});
  return true;
}

bool NotificationCenter::PostOnMainThread(const QString& name, const QVariant& object) {
  Notification notification{name, object};
  return RunOnMainThread([this, notification] { Deliver(notification); });
}

}  // namespace platform
