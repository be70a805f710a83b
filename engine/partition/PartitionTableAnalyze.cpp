#include "partition/PartitionTableAnalyze.h"

#include <new>
#include <vector>

#include "partition/APMAnaly.h"
#include "partition/BaseGPTAnalyzer.h"
#include "partition/BootSectorProbe.h"
#include "partition/PartitionTableChainAnalyzer.h"
#include "partition/SectorReader.h"

namespace {

constexpr uint8_t kModule = result::kModulePartitionTable;

// A dynamic disk keeps its volumes in a database of its own, not in the table.
bool IsDynamicDisk(const uint8_t* sector0) {
  for (int i = 0; i < 4; ++i) {
    if (sector0[CPartitionTableChainAnalyzer::kTableOffset + 16 * i + 4] == 0x42) return true;
  }
  return false;
}

ResultCode RefuseDynamicDisk(IStorageDevice* device) {
  std::vector<uint8_t> sector;
  const ResultCode rc = partition::ReadSectors(device, 0, 1, sector);
  if (result::IsFailure(rc)) return rc;
  if (IsDynamicDisk(sector.data())) return RESULT_FAILURE(kModule, result::kErrNotSupported);
  return 0;
}

ResultCode Analyze(IStorageDevice* device, std::list<PartitionEntry>& partitions) {
  if (device == nullptr) return RESULT_FAILURE(kModule, result::kErrBadArgument);
  if (device->GetType() != STORAGE_DEVICE_DISK) return RESULT_FAILURE(kModule, result::kErrNotSupported);
  const CCollectDiskDeviceInfoStruct* info = DiskRecordOf(device);
  if (info == nullptr) return RESULT_FAILURE(kModule, result::kErrMissingData);
  if (info->state != 0) return RESULT_FAILURE(kModule, result::kErrNotSupported);

  uint32_t scheme = DISK_PARTITION_SCHEME_UNKNOWN;
  ResultCode rc = GetDiskType(device, scheme);
  if (result::IsFailure(rc)) return rc;

  switch (scheme) {
    case DISK_PARTITION_SCHEME_GPT:
      rc = RefuseDynamicDisk(device);
      if (result::IsFailure(rc)) return rc;
      return CBaseGPTAnalyzer::AnalyzeBaseGPT(device, partitions);
    case DISK_PARTITION_SCHEME_APM:
      return CAPMAnaly(device).AnalyzePartition(partitions);
    case DISK_PARTITION_SCHEME_MBR:
      rc = RefuseDynamicDisk(device);
      if (result::IsFailure(rc)) return rc;
      return CPartitionTableChainAnalyzer::AnalyzePartitionTableChain(device, partitions);
    default:
      return 0;
  }
}

}  // namespace

ResultCode GetDiskType(IStorageDevice* device, uint32_t& scheme) {
  scheme = DISK_PARTITION_SCHEME_UNKNOWN;
  if (device == nullptr) return RESULT_FAILURE(kModule, result::kErrBadArgument);
  const uint32_t sectorSize = device->GetSectorSize();
  if (sectorSize < 512) return RESULT_FAILURE(kModule, result::kErrBufferTooSmall);
  if (sectorSize > partition::kMaxSectorSize) return RESULT_FAILURE(kModule, result::kErrNotSupported);

  std::vector<uint8_t> sector;
  const ResultCode rc = partition::ReadSectors(device, 0, 1, sector);
  if (result::IsFailure(rc)) return rc;
  const uint8_t* s = sector.data();
  const bool signature = s[510] == 0x55 && s[511] == 0xAA;
  // A file system spread over the whole disk also ends sector 0 in 55 AA;
  // its boot code is not a table.
  const bool wholeDiskFileSystem = partition::IsWholeDiskFileSystem(s, device->GetTotalSectors());

  if (signature && !wholeDiskFileSystem && s[450] == 0xEE) {
    scheme = DISK_PARTITION_SCHEME_GPT;
  } else if (s[0] == 'E' && s[1] == 'R') {
    scheme = DISK_PARTITION_SCHEME_APM;
  } else if (signature && !wholeDiskFileSystem) {
    scheme = DISK_PARTITION_SCHEME_MBR;
  }
  return 0;
}

ResultCode CPartitionTableAnalyze::AnalyzePartitionTable(IStorageDevice* device,
                                                         std::list<PartitionEntry>& partitions) {
  partitions.clear();
  ResultCode rc;
  try {
    rc = Analyze(device, partitions);
  } catch (const std::bad_alloc&) {
    rc = RESULT_FAILURE(kModule, result::kErrCreateFailed);
  }
  if (result::IsFailure(rc)) partitions.clear();
  return rc;
}

IPartitionTableAnalyze* CreatePartitionTableAnalyze() { return new (std::nothrow) CPartitionTableAnalyze(); }
