// The media watcher: tells the windows when disks appear or go away, so the
// disk page can list the devices again and the results window can notice
// that the scanned medium was pulled out.
//
// A udev monitor on the block subsystem wakes the watcher; events that come
// together (a disk and its partitions, a card put into a reader) are taken
// as one batch, after which the watcher lists the machine's disks and their
// partitions the way device enumeration does and compares the list with the
// previous one:
// - "RefreshAttachDevice" (no object) once per batch in which any disk or
//   partition appeared (also a partition made on a disk already attached),
//   and once when the watcher registers (usbDeviceAdded);
// - "RefreshDetachDevice" once per disk that went away, its object a map
//   whose "USBPath" is the registry name device enumeration gave that disk
//   (the name the results window compares), and once per partition that
//   went away from a disk still attached, with the partition's kernel name
//   ("sdb2"), which no window takes for a scanned disk (usbDeviceRemoved).
//   The partitions of a disk that went away are not posted apart.
// A partition is the same partition while its name, start and size stay.
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
#include <vector>

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
  bool registerForUSBNotifications();
  // Takes the events so far as a batch now: lists the media again and posts
  // what changed.
  void Recheck();
  // Posts one "RefreshAttachDevice" for media (kernel names) that appeared.
  void usbDeviceAdded(const QStringList& appeared);
  // Posts one "RefreshDetachDevice" per name, with the name as "USBPath".
  void usbDeviceRemoved(const std::vector<std::string>& names);
  bool IsPrimed() const { return m_primed; }
  // The disks and partitions (kernel names) that appeared in the latest
  // batch that had any.
  const QStringList& LastAttached() const { return m_lastAttached; }

  // How long a batch collects events.
  static constexpr int kBatchMilliseconds = 300;

 private:
  // A disk by its registry name, a partition by its disk, start and size.
  struct Medium {
    bool whole = false;
    std::string disk;  // a partition's disk (kernel name)
    std::string identity;
    bool operator!=(const Medium& other) const { return whole != other.whole || identity != other.identity; }
  };
  // Kernel name of each disk and partition -> what it is.
  std::map<std::string, Medium> ListMedia();
  void OnUdevReadable();

  SourceFactory m_factory;
  std::map<std::string, Medium> m_media;
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
