#include "fat/FATQuickSearcher.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "DeviceData.h"
#include "DirecotryTreeBuilder.h"
#include "Progress.h"
#include "StorageDevice.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATDBR.h"
#include "fat/FATTable.h"
#include "fat/FATVolumeView.h"

CFATSearchedPartitionInfo* CFATSearchedPartitionInfo::CreateFATSearchedPartitionInfo(uint32_t sectorSize) {
  return new (std::nothrow) CFATSearchedPartitionInfo(sectorSize);
}

CFATSearchedPartitionInfo* CFATSearchedPartitionInfo::Clone() const {
  auto* copy = CreateFATSearchedPartitionInfo(GetSectorSize());
  if (copy == nullptr) return nullptr;
  copy->SetPartitionIndex(GetPartitionIndex());
  copy->SetFileSystemType(GetFileSystemType());
  copy->SetSectorsperCluster(GetSectorsperCluster());
  copy->SetFirstDataSector(GetFirstDataSector());
  copy->SetStartSector(GetStartSector());
  copy->SetTotalSectors(GetTotalSectors());
  copy->m_reservedSectors = m_reservedSectors;
  copy->m_sectorsPerFat = m_sectorsPerFat;
  copy->m_totalClusters = m_totalClusters;
  copy->m_rootInfo = m_rootInfo;
  copy->m_flags = m_flags;
  return copy;
}

CFATQuickSearcher::CFATQuickSearcher() : m_view(std::make_unique<CFATVolumeView>()) {}

CFATQuickSearcher::~CFATQuickSearcher() {
  for (CFATSearchedPartitionInfo* record : m_records)
    CFATSearchedPartitionInfo::DestroyFATSearchedPartitionInfo(record);
}

int CFATQuickSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  if (m_records.empty() || array == nullptr || capacity < 1) return 0;
  array[0] = m_records.front()->Clone();
  return array[0] != nullptr ? 1 : 0;
}

ResultCode CFATQuickSearcher::GetFsType(int* type) {
  // Partitions of a table are scanned as volumes too, with the volume record
  // enumeration gives them.
  const uint32_t kind = m_device->GetType();
  if (kind != STORAGE_DEVICE_VOLUME && kind != STORAGE_DEVICE_PARTITION) return kNotVolume;
  auto* data = dynamic_cast<IVolumeDeviceData*>(m_device->GetPrivateData());
  if (data == nullptr) return kNoVolumeData;
  const CCollectedVolumeDeviceInfoStruct* info = data->GetVolumeInfo();
  if (info == nullptr) return kNoVolumeRecord;
  *type = static_cast<int>(info->fileSystemType);
  return 0;
}

ResultCode CFATQuickSearcher::QuickSearchFiles(IStorageDevice* device, IProgress* progress) {
  if (device == nullptr || progress == nullptr) return kMissingArgument;
  if (m_builder == nullptr) return kNoTreeBuilder;
  m_device = device;
  m_progress = progress;
  int type = FILE_SYSTEM_TYPE_UNKNOWN;
  ResultCode result = GetFsType(&type);
  if (result == 0) {
    result = type == FILE_SYSTEM_TYPE_FAT16 || type == FILE_SYSTEM_TYPE_FAT32 ? SearchFAT(type) : kUnsupportedType;
  }
  ReportFATProgress(progress, PROGRESS_STATUS_FINISHED, 100);
  return result;
}

ResultCode CFATQuickSearcher::SearchFAT(int recordedType) {
  CFATSearchedPartitionInfo* record = nullptr;
  IFATTable* table = nullptr;
  ResultCode result = 0;
  // The boot sector's type wins over the recorded one; the flags follow the
  // recorded one.
  const uint32_t flags = recordedType == FILE_SYSTEM_TYPE_FAT16 ? 0x3C3 : 0x3CC;
  // What the volume is read through: the device, or a view of it in the
  // volume's own sector size. Every sector below, and in the record, counts
  // in those sectors.
  IStorageDevice* device = m_device;
  do {
    if (!m_view->Open(m_device, 0, recordedType == FILE_SYSTEM_TYPE_FAT32)) {
      result = kNoBootSector;
      break;
    }
    device = m_view->Device();
    const uint32_t sectorSize = device->GetSectorSize();
    const CTempFATDBR dbr(m_view->Boot().data(), sectorSize);
    const int type = dbr.GetFileSystemType();

    FATGeometry g;
    g.type = type;
    g.volumeStart = 0;
    g.sectorsPerCluster = dbr.GetSectorsperCluster();
    g.rootSectors = static_cast<uint32_t>(uint64_t{dbr.GetRootEntries()} * 32 / sectorSize);
    const int64_t tablesEnd = int64_t{dbr.GetReservedSector()} + int64_t{dbr.GetNumberOfFat()} * dbr.GetSectorsPerFat();
    uint32_t rootInfo = 0;
    if (type == FILE_SYSTEM_TYPE_FAT16) {
      g.rootStart = tablesEnd;
      g.dataStart = tablesEnd + g.rootSectors;
      rootInfo = g.rootSectors;
    } else {
      g.rootCluster = dbr.GetRootDirStartCluster();
      g.dataStart = tablesEnd;
      g.rootStart = g.rootCluster >= 2 ? g.dataStart + int64_t{g.rootCluster - 2} * g.sectorsPerCluster : 0;
      rootInfo = g.rootCluster;
    }
    const uint64_t bootTotal = dbr.GetTotalSectors();
    const uint64_t bootClusters = bootTotal > static_cast<uint64_t>(g.dataStart)
                                      ? (bootTotal - static_cast<uint64_t>(g.dataStart)) / g.sectorsPerCluster
                                      : 0;
    // Entries are judged against the clusters the volume has, not the
    // device's cut of it.
    table = IFATTableFactory::CreateFATTable(device, dbr.GetReservedSector(), type, dbr.GetSectorsPerFat(),
                                             flags & 0x80, flags & 0x200, bootClusters + 2);
    if (table == nullptr) {
      result = kNoTable;
      break;
    }
    const int64_t deviceSectors = device->GetTotalSectors();
    // A device that cannot tell its size does not cut the volume.
    g.totalSectors = deviceSectors > 0 ? std::min(bootTotal, static_cast<uint64_t>(deviceSectors)) : bootTotal;
    g.clusterCount = g.totalSectors > static_cast<uint64_t>(g.dataStart)
                         ? (g.totalSectors - static_cast<uint64_t>(g.dataStart)) / g.sectorsPerCluster
                         : 0;

    record = CFATSearchedPartitionInfo::CreateFATSearchedPartitionInfo(sectorSize);
    if (record == nullptr) {
      result = kNoRecord;
      break;
    }
    record->SetPartitionIndex(0);
    record->SetFirstDataSector(g.dataStart);
    record->SetSectorsperCluster(g.sectorsPerCluster);
    record->SetMatchedCount(0);
    record->SetFileSystemType(type);
    record->SetTotalSectors(g.totalSectors);
    record->SetSectorsPerFat(dbr.GetSectorsPerFat());
    record->SetTotalClusters(static_cast<uint32_t>(std::min<uint64_t>(g.clusterCount, UINT32_MAX)));
    record->SetStartSector(0);
    record->SetReservedSectors(static_cast<uint16_t>(dbr.GetReservedSector()));
    record->SetRootInfo(rootInfo);
    record->MergeFlag(flags);
    m_records.push_back(record);

    m_builder->AddSearcherInfo(SEARCHER_TYPE_FAT, 0);
    CFATBuildWorker worker(m_builder, m_progress, record, device, g, table);
    result = worker.QuickBuildDirectoryTree();
  } while (false);

  m_builder->SetPartitonDevice(record, device);
  m_builder->FlashBuild(SEARCHER_TYPE_FAT);
  IFATTableFactory::DestroyFATTable(table);
  return result;
}

IQuickFileSystemSearchController* CreateFATQuickSearcher() { return new (std::nothrow) CFATQuickSearcher(); }
