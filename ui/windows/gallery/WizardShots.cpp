#include "WizardShots.h"

#include <QApplication>

#include "app/KVUIDeviceData.h"
#include "platform/NotificationCenter.h"
#include "ui/windows/KVProgressWindow.h"
#include "ui/windows/KVRootWindowController.h"
#include "ui/windows/KVSmallWindow.h"

namespace {

_DiskVolumeData Record(const char* name, uint64_t size, int fileSystem, int disk, int volume) {
  _DiskVolumeData record;
  record.name = name;
  record.size = size;
  record.fileSystem = fileSystem;
  record.diskIndex = disk;
  record.volumeIndex = volume;
  return record;
}

// A desktop's disk with two volumes, a USB stick and an attached image.
std::shared_ptr<const std::vector<_DiskVolumeData>> Machine() {
  auto disks = std::make_shared<std::vector<_DiskVolumeData>>();
  _DiskVolumeData desktop = Record("WDC WD10EZEX", 1000204886016, -1, 0, -1);
  desktop.children = {Record("System", 499944259584, 3, 0, 0), Record("Data", 500060192768, 7, 0, 1)};
  _DiskVolumeData stick = Record("SanDisk Cruzer", 16008609792, -1, 1, -1);
  stick.isUsb = 1;
  stick.children = {Record("CRUZER", 16007561216, 2, 1, 0)};
  _DiskVolumeData image = Record("holiday-card.img", 104857600, -1, 2, -1);
  image.isDmg = 1;
  image.children = {Record("FAT16LBL", 33554432, 1, 2, 0), Record("FAT32LBL", 67108864, 2, 2, 1)};
  *disks = {desktop, stick, image};
  return disks;
}

}  // namespace

bool ShootWizardWindows(const std::function<bool(QWidget* window, const QString& file)>& shoot) {
  bool ok = true;
  KVRootWindowController root(KVWizardServices::OverDevices(Machine()));
  root.window()->show();
  ok = shoot(root.window(), QStringLiteral("wizard-categories.png")) && ok;
  root.beginToStartScan();
  for (int k = 0; k < 20 && root.whichPage() != KVRootWindowController::kDiskStep; ++k) QApplication::processEvents();
  ok = root.whichPage() == KVRootWindowController::kDiskStep && ok;
  ok = shoot(root.window(), QStringLiteral("wizard-disks.png")) && ok;

  // A load at 42 %.
  KVProgressWindow progress([](uint64_t* total, uint64_t* current, uint64_t* error, int) {
    *total = 1000;
    *current = 420;
    *error = 0;
  });
  progress.setStrPostName(QStringLiteral("NormalScranValue"));
  progress.setBSave(false);
  progress.window()->show();
  platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("NormalScranValue"));
  ok = shoot(progress.window(), QStringLiteral("progress-load.png")) && ok;
  progress.window()->hide();
  root.window()->hide();
  return ok;
}
