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

std::map<std::string, std::string> KVUSBNotifier::ListDisks() {
  std::map<std::string, std::string> disks;
  std::unique_ptr<IMediaSource> source = m_factory();
  std::vector<MediaRecord> media;
  if (source == nullptr || result::IsFailure(source->ListMedia(media))) return m_disks;  // nothing known changed
  for (const MediaRecord& record : media) {
    if (record.whole) disks[record.name] = RecordedRegistryName(record.registryName);
  }
  return disks;
}

bool KVUSBNotifier::Start() {
  m_primed = false;
  m_disks = ListDisks();
  std::printf("USB Device Added Notification.\n");
  platform::NotificationCenter::DefaultCenter().Post(kAttach);

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
  std::map<std::string, std::string> now = ListDisks();
  QStringList appeared;
  std::vector<std::string> gone;
  for (const auto& [name, registry] : m_disks) {
    const auto it = now.find(name);
    // A device name reused for another medium (a loop device given another
    // file) is one disk gone and one come.
    if (it == now.end() || it->second != registry) gone.push_back(registry);
  }
  for (const auto& [name, registry] : now) {
    const auto it = m_disks.find(name);
    if (it == m_disks.end() || it->second != registry) appeared << QString::fromStdString(name);
  }
  m_disks = std::move(now);
  platform::NotificationCenter& center = platform::NotificationCenter::DefaultCenter();
  for (const std::string& registry : gone) {
    std::printf("usb detatch name = %s\n", registry.c_str());
    center.Post(kDetach, QVariantMap{{QStringLiteral("USBPath"), QString::fromStdString(registry)}});
  }
  if (!appeared.isEmpty()) {
    m_lastAttached = appeared;
    std::printf("USB Device Added Notification.\n");
    center.Post(kAttach);
  }
}

bool USBNotifier_init() {
  static KVUSBNotifier* watcher = nullptr;
  static bool started = false;
  if (watcher == nullptr) {
    watcher = new KVUSBNotifier();
    started = watcher->Start();
  }
  return started;
}
