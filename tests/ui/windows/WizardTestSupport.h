// What the wizard's tests share: machines made of device records, the
// application core's answers recorded, the results window's hooks recorded,
// and an answerer for the alerts the windows ask.
#pragma once

#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/KVUIDeviceData.h"
#include "ui/windows/KVRootWindowController.h"
#include "ui/windows/KVWizardServices.h"

namespace wizardtest {

// Device records as the device list hands them out.
_DiskVolumeData Disk(const char* name, uint64_t size, int index, std::vector<_DiskVolumeData> volumes = {});
_DiskVolumeData Volume(const char* name, uint64_t size, int fileSystem, int disk, int index);

// A machine whose disks a test may change between two listings; it counts
// the listings and records what the wizard asked of the core.
class Machine {
 public:
  explicit Machine(std::vector<_DiskVolumeData> disks);
  void Set(std::vector<_DiskVolumeData> disks) { *disks_ = std::move(disks); }
  // Over the machine's disks; the saving and loading answers are left to the
  // test.
  KVWizardServices Services();

  int listings = 0;
  int refreshes = 0;
  int announcements = 0;
  std::vector<uint32_t> masks;

 private:
  std::shared_ptr<std::vector<_DiskVolumeData>> disks_;
};

// The results window's hooks, recorded.
struct ResultsWindow {
  KVResultsWindowHooks Hooks();

  std::vector<std::shared_ptr<DiskVolumeNodeData>> scans;
  std::vector<QRect> frames;
  QStringList imports;
  int shows = 0;
  int discards = 0;
};

// While it lives, answers every alert the windows show with the button
// `code` (1 YES, 0 NO), keeping their texts, and those of the texts whose
// lines, wrapped as the alert shows them, did not all lie inside its label
// and its window.
class AlertAnswerer {
 public:
  explicit AlertAnswerer(int code);
  QStringList texts;
  QStringList clipped;

 private:
  QTimer timer_;
};

// The disk index the machine's device list gives the device at `path`; -1
// when it does not list it.
int DiskIndexOf(const std::string& path);

// The row the results window scans for the device at `path`: its first
// volume, or the disk itself when it has none. `rows` receives the device
// list the row belongs to; null when the list has no such device.
DiskVolumeNodeData* ScanRowOf(const std::string& path, std::vector<std::unique_ptr<DiskVolumeNodeData>>* rows);

// Counts the posts of a notification while it lives.
class PostCounter {
 public:
  explicit PostCounter(const QString& name);
  ~PostCounter();
  int count = 0;

 private:
  QObject owner_;
};

}  // namespace wizardtest
