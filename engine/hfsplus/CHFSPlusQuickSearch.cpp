#include "hfsplus/CHFSPlusQuickSearch.h"

#include <memory>
#include <new>

#include "DirecotryTreeBuilder.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "hfsplus/CHFSPlusFileNode.h"
#include "hfsplus/CHFSPlusJournal.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/HFSPlusError.h"

CHFSPlusPrivateData::~CHFSPlusPrivateData() { delete m_volume; }

CHFSPlusQuickFileSystemSearchController::~CHFSPlusQuickFileSystemSearchController() {
  if (m_privateData != nullptr) m_privateData->Release();
}

CHFSPlusVolume* CHFSPlusQuickFileSystemSearchController::GetVolume() const {
  return m_privateData != nullptr ? m_privateData->GetVolume() : nullptr;
}

ResultCode CHFSPlusQuickFileSystemSearchController::QuickSearchFiles(IStorageDevice* device, IProgress* progress) {
  m_device = device;
  m_progress = progress;
  CHFSPlusQuickFileSystemSearchProgress wrapper(progress, 0, false);
  if (device == nullptr) return HFSPLUS_ERROR(result::kErrBadArgument);
  if (m_builder == nullptr) return HFSPLUS_ERROR(result::kErrNotInitialized);
  std::unique_ptr<CHFSPlusVolume> volume(new (std::nothrow) CHFSPlusVolume(device, false));
  if (!volume) return HFSPLUS_ERROR(result::kErrCreateFailed);
  if (const ResultCode opened = volume->GetLastError(); result::IsFailure(opened)) return opened;
  auto* data = new (std::nothrow) CHFSPlusPrivateData(volume.get());
  if (data == nullptr) return HFSPLUS_ERROR(result::kErrCreateFailed);
  volume.release();
  if (m_privateData != nullptr) m_privateData->Release();
  m_privateData = data;
  m_blockSize = data->GetVolume()->GetBlockSize();
  m_builder->AddSearcherInfo(SEARCHER_TYPE_HFSPLUS, hfsplus::kRootFolderID);
  const ResultCode walked = data->GetVolume()->QuickSearchFiles(m_builder, &wrapper);
  m_builder->FlashBuild(SEARCHER_TYPE_HFSPLUS);
  // Cancelling is the user's choice, not a failure.
  if (result::IsFailure(walked) && result::Error(walked) != result::kErrCancelled) return walked;
  return 0;
}

int CHFSPlusQuickFileSystemSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  if (capacity < 1) return 1;
  if (array == nullptr || m_privateData == nullptr || m_device == nullptr) return 0;
  const uint32_t deviceSector = m_device->GetSectorSize();
  // Blocks smaller than the device's sectors (512-byte or 2 KiB blocks
  // behind a 4096-byte-sector device) are counted in 512-byte units: the
  // file reader reads by byte offset, whatever the device's sectors.
  const uint32_t unit = m_blockSize != 0 && m_blockSize < deviceSector ? 512 : deviceSector;
  auto* info = new (std::nothrow) CSearchedPartitionInfo(unit);
  if (info == nullptr) return 0;
  info->SetFirstDataSector(0);
  info->SetStartSector(0);
  const int64_t total = m_device->GetTotalSectors();
  const uint64_t bytes = total > 0 ? static_cast<uint64_t>(total) * deviceSector : 0;
  info->SetTotalSectors(info->GetSectorSize() != 0 ? bytes / info->GetSectorSize() : 0);
  info->SetFileSystemType(FILE_SYSTEM_TYPE_HFSPLUS);
  info->SetSectorsperCluster(info->GetSectorSize() != 0 ? m_blockSize / info->GetSectorSize() : 0);
  info->SetPrivateData(m_privateData);
  info->SetPartitionIndex(0);
  array[0] = info;
  return 1;
}

ResultCode CHFSPlusVolume::QuickSearchFiles(IDirecotryTreeBuilder* builder,
                                            CHFSPlusQuickFileSystemSearchProgress* progress) {
  if (!m_journal || progress == nullptr) return HFSPLUS_ERROR(result::kErrNotInitialized);
  const HFSPlusVolumeHeader* header = GetVolumeHeader();
  const uint64_t live = header != nullptr ? uint64_t{header->fileCount} + header->folderCount + 1 : 1;
  progress->SetTotal(m_journalCatalog.size() + live);
  m_journalCatalog.clear();
  m_journalResult = m_journal->GetDeleteRecord(progress, m_journalCatalog, m_journalExtents, m_journalAttributes);
  progress->SetTotal(m_journalCatalog.size() + live);
  if (!progress->Continued()) {
    m_journalCatalog.clear();
    return RESULT_FAILURE(result::kModuleHFSPlus, result::kErrCancelled);
  }
  for (size_t i = 0; i < m_journalCatalog.size(); ++i) {
    const bool goOn = progress->Continued() != 0;
    const auto* record = reinterpret_cast<const HFSPlusCatalogRecord*>(m_journalCatalog.RecordAt(i));
    auto* node = new (std::nothrow) CHFSPlusFileNode(this, m_journalCatalog.KeyAt(i), record, 1);
    if (node != nullptr) {
      if (node->GetCurrentNodeID() == -1 || builder == nullptr) {
        node->Release();
      } else if (builder->AddNode(node, SEARCHER_TYPE_HFSPLUS) != 0) {
        progress->Advance();
      } else {
        node->Release();
      }
    }
    if (!goOn) break;
  }
  // Runs and attributes of deleted files still look up the extents and
  // attributes records; the catalog ones have become nodes.
  m_journalCatalog.clear();
  return Traverse(hfsplus::kCatalogFileID, builder, progress);
}

IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher() {
  return new (std::nothrow) CHFSPlusQuickFileSystemSearchController();
}
