#include "app/KVUSBNotifier.h"

#include <libudev.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QVariantMap>

#include <cstdio>
#include <vector>

#include "DeviceData.h"
#include "base/CatchExeception.h"
#include "enumeration/MediaSource.h"
#include "platform/NotificationCenter.h"

namespace {

const QString kAttach = QStringLiteral("RefreshAttachDevice");
const QString kDetach = QStringLiteral("RefreshDetachDevice");

// The registry name as the disk's enumeration record keeps it (cut to the
// record's field), so "USBPath" equals what the device list shows.
std::string RecordedRegistryName(const std::string& name) {
  CCollectDiskDeviceInfoStruct record;
  SetRecordText(record.registryName, name.c_str());
  return record.registryName;
}

}  // namespace

KVUSBNotifier::KVUSBNotifier(SourceFactory factory, QObject* parent) : QObject(parent), m_factory(std::move(factory)) {
  if (!m_factory) m_factory = [] { return std::make_unique<CLinuxMediaSource>(); };
  m_batch.setSingleShot(true);
  m_batch.setInterval(kBatchMilliseconds);
  QObject::connect(&m_batch, &QTimer::timeout, this, [this] { Recheck(); });
}

KVUSBNotifier::~KVUSBNotifier() {
  delete m_notifier;
  if (m_monitor != nullptr) udev_monitor_unref(m_monitor);
  if (m_udev != nullptr) udev_unref(m_udev);
}

std::map<std::string, KVUSBNotifier::Medium> KVUSBNotifier::ListMedia() {
  std::map<std::string, Medium> media;
  std::unique_ptr<IMediaSource> source = m_factory();
  std::vector<MediaRecord> records;
  if (source == nullptr || result::IsFailure(source->ListMedia(records))) return m_media;  // nothing known changed
  for (const MediaRecord& record : records) {
    Medium& medium = media[record.name];
    medium.whole = record.whole;
    if (record.whole) {
      medium.identity = RecordedRegistryName(record.registryName);
    } else {
      medium.disk = record.parent;
      medium.identity = record.parent + ":" + std::to_string(record.start512) + ":" + std::to_string(record.sizeBytes);
    }
  }
  return media;
}

bool KVUSBNotifier::registerForUSBNotifications() {
  m_primed = false;
  m_media = ListMedia();
  usbDeviceAdded({});

  m_udev = udev_new();
  // Without a udev daemon (containers) nobody re-broadcasts the kernel's
  // events: listen to the kernel itself.
  const char* events = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
  m_monitor = m_udev != nullptr ? udev_monitor_new_from_netlink(m_udev, events) : nullptr;
  if (m_monitor == nullptr || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", nullptr) < 0 ||
      udev_monitor_enable_receiving(m_monitor) < 0) {
    CatchExeception::WriteLog("matching notification registration failed: %d\r\n", m_monitor == nullptr ? -1 : 0);
    return false;
  }
  m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read);
  QObject::connect(m_notifier, &QSocketNotifier::activated, this, [this] { OnUdevReadable(); });
  m_primed = true;
  return true;
}

void KVUSBNotifier::OnUdevReadable() {
  // Drain what is there; the batch timer decides when to look.
  while (struct udev_device* device = udev_monitor_receive_device(m_monitor)) udev_device_unref(device);
  m_batch.start();
}

void KVUSBNotifier::Recheck() {
  m_batch.stop();
  std::map<std::string, Medium> now = ListMedia();
  // A device name reused for another medium (a loop device given another
  // file, a partition made again elsewhere) is one gone and one come.
  const auto changed = [](const std::map<std::string, Medium>& in, const std::string& name, const Medium& medium) {
    const auto it = in.find(name);
    return it == in.end() || it->second != medium;
  };
  std::vector<std::string> gone;
  for (const auto& [name, medium] : m_media) {
    if (!changed(now, name, medium)) continue;
    if (medium.whole) {
      gone.push_back(medium.identity);
    } else if (const auto disk = m_media.find(medium.disk);
               disk != m_media.end() && !changed(now, medium.disk, disk->second)) {
      gone.push_back(name);  // its disk stays: the partition alone went
    }
  }
  QStringList appeared;
  for (const auto& [name, medium] : now) {
    if (changed(m_media, name, medium)) appeared << QString::fromStdString(name);
  }
  m_media = std::move(now);
  usbDeviceRemoved(gone);
  if (!appeared.isEmpty()) usbDeviceAdded(appeared);
}

void KVUSBNotifier::usbDeviceAdded(const QStringList& appeared) {
  if (!appeared.isEmpty()) m_lastAttached = appeared;
  std::printf("USB Device Added Notification.\n");
  platform::NotificationCenter::DefaultCenter().Post(kAttach);
}

void KVUSBNotifier::usbDeviceRemoved(const std::vector<std::string>& names) {
  platform::NotificationCenter& center = platform::NotificationCenter::DefaultCenter();
  for (const std::string& name : names) {
    std::printf("usb detatch name = %s\n", name.c_str());
    center.Post(kDetach, QVariantMap{{QStringLiteral("USBPath"), QString::fromStdString(name)}});
  }
}

bool USBNotifier_init() {
  static KVUSBNotifier* watcher = nullptr;
  static bool started = false;
  if (watcher == nullptr) {
    watcher = new KVUSBNotifier();
    started = watcher->registerForUSBNotifications();
  }
  return started;
}
