#include "WizardTestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include <list>

#include "KVWindowsTestSupport.h"
#include "app/KVNode.h"
#include "app/KVUIController.h"
#include "platform/NotificationCenter.h"

namespace wizardtest {

_DiskVolumeData Disk(const char* name, uint64_t size, int index, std::vector<_DiskVolumeData> volumes) {
  _DiskVolumeData disk;
  disk.name = name;
  disk.description = std::string("/dev/") + name;
  disk.size = size;
  disk.diskIndex = index;
  disk.children = std::move(volumes);
  return disk;
}

_DiskVolumeData Volume(const char* name, uint64_t size, int fileSystem, int disk, int index) {
  _DiskVolumeData volume;
  volume.name = name;
  volume.size = size;
  volume.fileSystem = fileSystem;
  volume.diskIndex = disk;
  volume.volumeIndex = index;
  return volume;
}

Machine::Machine(std::vector<_DiskVolumeData> disks)
    : disks_(std::make_shared<std::vector<_DiskVolumeData>>(std::move(disks))) {}

KVWizardServices Machine::Services() {
  KVWizardServices services = KVWizardServices::OverDevices(disks_);
  auto list = services.getDeviceInfoToArray;
  services.getDeviceInfoToArray = [this, list](KVDeviceRows* rows) {
    ++listings;
    list(rows);
  };
  auto announce = services.notifyDeviceInfoAfterInit;
  services.notifyDeviceInfoAfterInit = [this, announce](const QString& name) {
    ++announcements;
    announce(name);
  };
  services.refreshDeviceInfo = [this] { ++refreshes; };
  services.setRecoveryType = [this](uint32_t mask) { masks.push_back(mask); };
  return services;
}

KVResultsWindowHooks ResultsWindow::Hooks() {
  KVResultsWindowHooks hooks;
  hooks.openForScan = [this](std::shared_ptr<DiskVolumeNodeData> row, const QRect& frame) {
    scans.push_back(std::move(row));
    frames.push_back(frame);
  };
  hooks.openForImport = [this](const QString& path, const QRect& frame) {
    imports << path;
    frames.push_back(frame);
  };
  hooks.showImported = [this] { ++shows; };
  hooks.discardImport = [this] { ++discards; };
  return hooks;
}

AlertAnswerer::AlertAnswerer(int code) {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this, code] {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (!window->isVisible()) continue;
      auto* panel = window->findChild<QWidget*>(QStringLiteral("alertPanel"));
      if (panel == nullptr || !panel->isVisible()) continue;
      QStringList words;
      for (QLabel* label : panel->findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) words << label->text();
      }
      clipped << windowtest::CutTexts(panel);
      auto* button =
          panel->findChild<QPushButton*>(code == 1 ? QStringLiteral("yesButton") : QStringLiteral("noButton"));
      if (button == nullptr) continue;
      texts << words.join(QLatin1Char('\n'));
      button->click();
    }
  });
  timer_.start();
}

int DiskIndexOf(const std::string& path) {
  std::list<_DiskVolumeData> disks;
  KVUIDeviceData::instance().GetAllDeviceInfo(disks);
  for (const _DiskVolumeData& disk : disks) {
    if (disk.description == path) return disk.diskIndex;
  }
  return -1;
}

DiskVolumeNodeData* ScanRowOf(const std::string& path, std::vector<std::unique_ptr<DiskVolumeNodeData>>* rows) {
  const int disk = DiskIndexOf(path);
  if (disk < 0) return nullptr;
  KVUIController::GetDeviceInfoToArray(rows);
  for (const auto& row : *rows) {
    if (row->diskIndex() == disk) return row->numberOfChildren() > 0 ? row->childAtIndex(0) : row.get();
  }
  return nullptr;
}

PostCounter::PostCounter(const QString& name) {
  platform::NotificationCenter::DefaultCenter().AddObserver(name, &owner_,
                                                            [this](const platform::Notification&) { ++count; });
}

PostCounter::~PostCounter() { platform::NotificationCenter::DefaultCenter().RemoveObserver(&owner_); }

}  // namespace wizardtest
