#include "ui/windows/KVWizardServices.h"

#include "app/KVNode.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIPublic.h"

KVWizardServices KVWizardServices::Default() {
  KVWizardServices services;
  services.isAppRunning = [] { return KVUIController::IsAppRunning(); };
  services.releaseDataRecovery = [] { KVUIController::ReleaseDataRecovery(); };
  services.notifyDeviceInfoAfterInit = [](const QString& name) { KVUIController::NotifiyDeviceInfoAfterInit(name); };
  services.getDeviceInfoToArray = [](KVDeviceRows* rows) { KVUIController::GetDeviceInfoToArray(rows); };
  services.refreshDeviceInfo = [] { KVUIController::RefreshDeviceInfo(); };
  services.setRecoveryType = [](uint32_t mask) { KVUIController::SetRecoveryType(mask); };
  services.getSavePath = [] { return KVUIController::GetSavePath(); };
  services.beginSaveOrRestoreNode = [](int save, const QString& path) {
    return KVUIController::beginSaveOrRestoreNode(save, path);
  };
  services.getSaveorRestoreProgress = [](uint64_t* total, uint64_t* current, uint64_t* error, int save) {
    KVUIController::GetSaveorRestoreProgress(total, current, error, save);
  };
  services.getLoadDamage = [](uint64_t* leftOut, uint64_t* cut, uint64_t* unreadBytes) {
    return KVUIController::GetLoadDamage(leftOut, cut, unreadBytes);
  };
  // A load replays into the scan operation and stops as a scan does.
  services.stopRestore = [] { KVUIController::StopScan(1); };
  return services;
}

KVWizardServices KVWizardServices::OverDevices(std::shared_ptr<const std::vector<_DiskVolumeData>> disks) {
  KVWizardServices services;
  services.isAppRunning = [] { return false; };
  services.notifyDeviceInfoAfterInit = [](const QString& name) { KVUIPublic::NotifyMainThread(name); };
  services.getDeviceInfoToArray = [disks = std::move(disks)](KVDeviceRows* rows) {
    for (const _DiskVolumeData& disk : *disks) {
      auto row = std::make_unique<DiskVolumeNodeData>(disk);
      std::vector<std::unique_ptr<DiskVolumeNodeData>> volumes;
      for (const _DiskVolumeData& volume : disk.children)
        volumes.push_back(std::make_unique<DiskVolumeNodeData>(volume));
      if (!volumes.empty()) row->setSubNode(std::move(volumes));
      rows->push_back(std::move(row));
    }
  };
  return services;
}
