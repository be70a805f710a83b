// The media watcher: tells the windows when disks appear or go away, so the
// disk page can list the devices again and the results window can notice
// that the scanned medium was pulled out.
//
// A udev monitor on the block subsystem wakes the watcher; events that come
// together (a disk and its partitions, a card put into a reader) are taken
// as one batch, after which the watcher lists the machine's disks the way
// device enumeration does and compares the list with the previous one:
// - "RefreshAttachDevice" (no object) once per batch in which any disk
//   appeared, and once when the watcher starts;
// - "RefreshDetachDevice" once per disk that went away, its object a map
//   whose "USBPath" is the registry name device enumeration gave that disk
//   (the name the results window compares).
// It lives on the thread that starts it (the main thread), where the
// notifications are posted.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>

class IMediaSource;
class QSocketNotifier;
struct udev;
struct udev_monitor;

class KVUSBNotifier : public QObject {
 public:
  using SourceFactory = std::function<std::unique_ptr<IMediaSource>()>;

  // A watcher of the media `factory`'s sources list (the machine's when
  // empty). Nothing happens before Start.
  explicit KVUSBNotifier(SourceFactory factory = {}, QObject* parent = nullptr);
  ~KVUSBNotifier() override;

  // Takes the first list, posts the first "RefreshAttachDevice" and starts
  // listening to udev. False (after the first post) when no udev monitor can
  // be opened; Recheck still works then.
  bool Start();
  // Takes the events so far as a batch now: lists the disks again and posts
  // what changed.
  void Recheck();
  bool IsPrimed() const { return m_primed; }
  // The disks (kernel names) that appeared in the latest batch that had any.
  const QStringList& LastAttached() const { return m_lastAttached; }

  // How long a batch collects events.
  static constexpr int kBatchMilliseconds = 300;

 private:
  // Kernel name of each disk -> its registry name.
  std::map<std::string, std::string> ListDisks();
  void OnUdevReadable();

  SourceFactory m_factory;
  std::map<std::string, std::string> m_disks;
  bool m_primed = false;
  QStringList m_lastAttached;
  QTimer m_batch;
  struct udev* m_udev = nullptr;
  struct udev_monitor* m_monitor = nullptr;
  QSocketNotifier* m_notifier = nullptr;
};

// Starts the process's watcher on the calling (main) thread; it is never
// stopped. Later calls do nothing and answer the first call's answer.
bool USBNotifier_init();
