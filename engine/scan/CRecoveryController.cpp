#include "scan/CRecoveryController.h"

#include <exception>
#include <new>

#include <unistd.h>

#include "DataRecovery.h"
#include "DeviceData.h"
#include "Progress.h"
#include "RestoreScanSink.h"
#include "StorageDevice.h"
#include "base/CatchExeception.h"
#include "copyout/CDataRecovery.h"

RecoveryControllerParts RecoveryControllerParts::Defaults() {
  // Recycle-bin names are restored by whatever the application (or a tool
  // standing in for it) registers with the tree builders; the drivers reach
  // the scanners only through their factories.
  RecoveryControllerParts parts;
  parts.makeTreeBuilder = [](bool restoring) { return CreateTreeBuilder(restoring); };
  parts.makeQuickSearcher = [](_tagSearcherType type) -> IQuickFileSystemSearchController* {
    switch (type) {
      case SEARCHER_TYPE_HFSPLUS:
        return CreateHFSPlusQuickSearcher();
      case SEARCHER_TYPE_FAT:
        return CreateFATQuickSearcher();
      case SEARCHER_TYPE_EXFAT:
        return CreateEXFatQuickSearcher();
      case SEARCHER_TYPE_NTFS:
        return CreateNTFSQuickSearcher();
      default:
        return nullptr;
    }
  };
  parts.makeCompleteSearcher = [](_tagSearcherType type) -> ICompleteFileSystemSearchController* {
    switch (type) {
      case SEARCHER_TYPE_HFSPLUS:
        return CreateHFSPlusSearcher();
      case SEARCHER_TYPE_FAT:
        return CreateFATSearcher();
      case SEARCHER_TYPE_EXFAT:
        return CreateEXFatSearcher();
      case SEARCHER_TYPE_RAW:
        return CreateRAWSearcher();
      case SEARCHER_TYPE_NTFS:
        return CreateNTFSSearcher();
      default:
        return nullptr;
    }
  };
  // What the searchers read must include what was written just before.
  parts.flushFileBuffers = [] { ::sync(); };
  return parts;
}

CRecoveryControllerBase::CRecoveryControllerBase() : m_parts(RecoveryControllerParts::Defaults()) {}

int CRecoveryControllerBase::Initialize(IRecoveryFilter* filter) {
  if (filter == nullptr) return 0;
  m_filter = filter;
  return 1;
}

void CRecoveryControllerBase::Release() { delete this; }

void CRecoveryControllerBase::SetRestoreScanSink(RestoreScanSink* sink) { m_restore = sink; }

void CRecoveryControllerBase::SetParts(const RecoveryControllerParts& parts) {
  if (parts.makeTreeBuilder) m_parts.makeTreeBuilder = parts.makeTreeBuilder;
  if (parts.makeQuickSearcher) m_parts.makeQuickSearcher = parts.makeQuickSearcher;
  if (parts.makeCompleteSearcher) m_parts.makeCompleteSearcher = parts.makeCompleteSearcher;
  if (parts.flushFileBuffers) m_parts.flushFileBuffers = parts.flushFileBuffers;
}

IStorageDevice* CRecoveryControllerBase::GetDevice() const {
  std::lock_guard<std::mutex> hold(m_runsLock);
  return m_device;
}

std::string CRecoveryControllerBase::DeviceDescription(IStorageDevice* device) {
  if (device == nullptr || device->GetType() != STORAGE_DEVICE_VOLUME) return std::string();
  const CCollectedVolumeDeviceInfoStruct* info = VolumeRecordOf(device);
  if (info == nullptr || info->state != 0) return std::string();
  return info->volumeName;
}

CRecoveryControllerBase::BuilderPtr CRecoveryControllerBase::MakeBuilder(bool restoring, IStorageDevice* device,
                                                                         IDrirectoryTree* tree, ResultCode notMade,
                                                                         ResultCode notInitialized,
                                                                         ResultCode& failure) {
  BuilderPtr builder(m_parts.makeTreeBuilder(restoring));
  if (builder == nullptr) {
    failure = notMade;
    return nullptr;
  }
  if (builder->Initialize(DeviceDescription(device).c_str(), tree, m_filter) == 0) {
    failure = notInitialized;
    return nullptr;
  }
  failure = 0;
  return builder;
}

IDataRecovery* CRecoveryControllerBase::MakeDataRecovery(_tagSearcherType type, IFileSystemSearchController* searcher,
                                                         IStorageDevice* device) const {
  IDataRecovery* recovery = CreateDataRecoveryObj();
  if (recovery == nullptr) return nullptr;
  ResultCode code = 0;
  if (m_restore != nullptr) {
    auto* records = dynamic_cast<CDataRecovery*>(recovery);
    code = records != nullptr ? records->Initialize(m_restore->GetSearchedPartition(type), device)
                              : RESULT_FAILURE(result::kModuleScanDriver, result::kErrNotSupported);
  } else {
    code = recovery->Initialize(searcher, device);
  }
  if (result::IsFailure(code)) {
    recovery->Release();
    return nullptr;
  }
  return recovery;
}

void CRecoveryControllerBase::Report(IProgress* progress, uint32_t status, uint64_t total, uint64_t current) {
  ReportProgress(progress, status, total, current);
}

ResultCode CRecoveryControllerBase::Guarded(const char* operation, const std::function<ResultCode()>& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    CatchExeception::WriteLog("%s: out of memory\r\n", operation);
    return RESULT_FAILURE(result::kModuleScanDriver, result::kErrCreateFailed);
  } catch (const std::exception& e) {
    CatchExeception::WriteLog("%s: %s\r\n", operation, e.what());
    return RESULT_FAILURE(result::kModuleScanDriver, result::kErrIO);
  }
}

IRecoveryController* CreateRecoveryController(_RECOVERY_CONTROLLER_TYPE type) {
  try {
    switch (type) {
      case RECOVERY_CONTROLLER_DELETED:
        return new CDeletedRecoveryController();
      case RECOVERY_CONTROLLER_COMPLETE:
        return new CCompleteRecoveryController();
      case RECOVERY_CONTROLLER_PARTITION:
        return new CPartitionRecoveryController();
      default:
        return nullptr;
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
