#include <memory>

#include "DeviceData.h"
#include "Progress.h"
#include "RestoreScanSink.h"
#include "StorageDevice.h"
#include "base/CatchExeception.h"
#include "device/SectorSalvage.h"
#include "scan/CRecoveryController.h"
#include "scan/ScanDriverCodes.h"

namespace {

// The file-system type in the device's volume record, or -1 without one.
int VolumeFileSystemType(IStorageDevice* device) {
  const CCollectedVolumeDeviceInfoStruct* info = VolumeRecordOf(device);
  return info != nullptr ? static_cast<int>(info->fileSystemType) : -1;
}

}  // namespace

CDeletedRecoveryController::~CDeletedRecoveryController() {
  // Nodes may point at what the searchers own: the trees go first.
  for (QuickRun& run : m_runs) run.builder->Release();
  for (QuickRun& run : m_runs) delete run.searcher;
}

_tagSearcherType CDeletedRecoveryController::SearcherTypeOf(int fileSystemType) {
  switch (fileSystemType) {
    case FILE_SYSTEM_TYPE_FAT12:
    case FILE_SYSTEM_TYPE_FAT16:
    case FILE_SYSTEM_TYPE_FAT32:
      return SEARCHER_TYPE_FAT;
    case FILE_SYSTEM_TYPE_NTFS:
      return SEARCHER_TYPE_NTFS;
    case FILE_SYSTEM_TYPE_EXFAT:
      return SEARCHER_TYPE_EXFAT;
    case FILE_SYSTEM_TYPE_HFSPLUS:
      return SEARCHER_TYPE_HFSPLUS;
    default:
      return SEARCHER_TYPE_NONE;
  }
}

ResultCode CDeletedRecoveryController::StartDataRecovery(IStorageDevice* device, IProgress* progress,
                                                         IDrirectoryTree* tree) {
  return Guarded("CDeletedRecoveryController::StartDataRecovery", [&] { return Run(device, progress, tree); });
}

ResultCode CDeletedRecoveryController::Run(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) {
  if (device == nullptr || progress == nullptr || tree == nullptr) return scancode::kQuickNullArgument;
  Report(progress, PROGRESS_STATUS_RUNNING, 1, 0);
  // A whole disk is quick-scanned volume by volume.
  if (device->GetType() == STORAGE_DEVICE_DISK) return scancode::kQuickWholeDisk;
  {
    std::lock_guard<std::mutex> hold(m_runsLock);
    m_device = device;
  }

  ResultCode failure = 0;
  BuilderPtr builder =
      MakeBuilder(false, device, tree, scancode::kQuickBuilderNotMade, scancode::kQuickBuilderNotInitialized, failure);
  if (builder == nullptr) return failure;

  const _tagSearcherType type = SearcherTypeOf(VolumeFileSystemType(device));
  std::unique_ptr<IQuickFileSystemSearchController> searcher(
      type != SEARCHER_TYPE_NONE ? m_parts.makeQuickSearcher(type) : nullptr);
  if (searcher == nullptr) {
    Report(progress, PROGRESS_STATUS_FINISHED, 1, 1);
    return scancode::kQuickNoSearcher;
  }
  searcher->SetDirecotryTreeBuilder(builder.get());

  // Registered before the searcher runs: the trees of earlier volumes stay,
  // and GetDataRecovery answers for this one while it is being scanned.
  IQuickFileSystemSearchController* current = searcher.get();
  IDirecotryTreeBuilder* currentBuilder = builder.get();
  {
    std::lock_guard<std::mutex> hold(m_runsLock);
    m_runs.reserve(m_runs.size() + 1);
    m_runs.push_back(QuickRun{builder.release(), searcher.release(), type, device});
  }

  if (m_restore != nullptr) {
    m_restore->SetDirecotryTreeBuilder(currentBuilder, progress, device);
    return 0;
  }
  m_parts.flushFileBuffers();
  // A stop is heard between two reads of a failing medium's damage.
  CSalvageStop stop([progress] { return progress == nullptr || progress->Continued() != 0; });
  const SalvageScope scope(&stop);
  const ResultCode code = current->QuickSearchFiles(device, progress);
  // A volume the searcher could not read (no readable header, no readable
  // root folder) must not pass for an empty one: the application says so
  // and offers the deep scan. A stop asked for by the user is no failure.
  if (result::IsFailure(code) && result::Error(code) != result::kErrCancelled) {
    CatchExeception::WriteLog("QuickSearchFiles of searcher %d failed: 0x%016llx\r\n", static_cast<int>(type),
                              static_cast<unsigned long long>(code));
    return code;
  }
  return 0;
}

IDataRecovery* CDeletedRecoveryController::GetDataRecovery(_tagSearcherType type) const {
  QuickRun chosen{};
  bool found = false;
  {
    std::lock_guard<std::mutex> hold(m_runsLock);
    for (auto run = m_runs.rbegin(); run != m_runs.rend() && !found; ++run) {
      if (run->type == type) {
        chosen = *run;
        found = true;
      }
    }
    if (!found && !m_runs.empty()) {
      chosen = m_runs.back();
      found = true;
    }
  }
  if (!found) return nullptr;
  return MakeDataRecovery(type, chosen.searcher, chosen.device);
}

IDirecotryTreeBuilder* CDeletedRecoveryController::GetTreeBuilder() const {
  std::lock_guard<std::mutex> hold(m_runsLock);
  return m_runs.empty() ? nullptr : m_runs.back().builder;
}

size_t CDeletedRecoveryController::GetRunCount() const {
  std::lock_guard<std::mutex> hold(m_runsLock);
  return m_runs.size();
}

IQuickFileSystemSearchController* CDeletedRecoveryController::GetQuickSearcher() const {
  std::lock_guard<std::mutex> hold(m_runsLock);
  return m_runs.empty() ? nullptr : m_runs.back().searcher;
}
