// What the wizard's windows ask of the application core: the device list,
// the category mask, and the saving and loading of scan results. The
// program's answers are KVUIController's class methods (Default()); tests
// hand in their own, so that a window can be driven over a device list they
// choose, without the machine's disks and without a second process of the
// application ending the test.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class DiskVolumeNodeData;
struct _DiskVolumeData;

// The device rows of one listing: one per disk, each with its volumes. The
// windows share a listing (and so keep the row the user picked alive) for as
// long as they need any of its rows.
using KVDeviceRows = std::vector<std::unique_ptr<DiskVolumeNodeData>>;

struct KVWizardServices {
  // Whether another process of the application runs.
  std::function<bool()> isAppRunning;
  // Lets go of the copy-out objects of an earlier scan and recovery.
  std::function<void()> releaseDataRecovery;
  // Posts `name` on the main thread once the device list is enumerated.
  std::function<void(const QString& name)> notifyDeviceInfoAfterInit;
  // Appends the current device rows.
  std::function<void(KVDeviceRows* rows)> getDeviceInfoToArray;
  // Enumerates the devices again, on the calling thread.
  std::function<void()> refreshDeviceInfo;
  // The categories a scan looks for (bits 1 pictures ... 32 other).
  std::function<void(uint32_t mask)> setRecoveryType;
  // The folder (or file) of the last saved scan result, empty when none.
  std::function<QString()> getSavePath;
  // Starts saving (save 1) or loading (save 0) a scan result on its own
  // thread; its poller posts the progress name, then "QueryProgressFinish"
  // (at once when it cannot start).
  std::function<bool(int save, const QString& path)> beginSaveOrRestoreNode;
  // Total, current and outcome (0 success) of the running or last save or
  // load.
  std::function<void(uint64_t* total, uint64_t* current, uint64_t* error, int save)> getSaveorRestoreProgress;
  // Whether the last load found its file damaged and shows what it could
  // read; then how many records it left out and cut, and how many bytes at
  // the file's end it could not read.
  std::function<bool(uint64_t* leftOut, uint64_t* cut, uint64_t* unreadBytes)> getLoadDamage;
  // Asks a running load to stop (a save always runs to its end).
  std::function<void()> stopRestore;

  // KVUIController's.
  static KVWizardServices Default();
  // A machine that holds just `disks` (each with its volumes as children),
  // read anew at every listing so that a caller may change them between
  // two: the device list and its announcement, and no other process of the
  // application; everything else is left unset. For the window gallery and
  // the tests.
  static KVWizardServices OverDevices(std::shared_ptr<const std::vector<_DiskVolumeData>> disks);
};
