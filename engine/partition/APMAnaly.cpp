#include "partition/APMAnaly.h"

#include <cstring>

#include "OnDiskBytes.h"
#include "partition/SectorReader.h"

namespace {

constexpr uint8_t kModule = result::kModulePartitionTable;

}  // namespace

ResultCode CAPMAnaly::ReadMapBlock(uint32_t block) {
  return partition::ReadSectors(device_, int64_t{block} * sectorsPerBlock_, 1, sector_);
}

bool CAPMAnaly::HasEntrySignature() const {
  const uint16_t signature = ondisk::Be16(sector_.data());
  return signature == 0x504D /* PM */ || signature == 0x5453 /* TS */;
}

ResultCode CAPMAnaly::AnalyzePartition(std::list<PartitionEntry>& partitions) {
  if (device_ == nullptr) return RESULT_FAILURE(kModule, result::kErrBadArgument);
  const uint32_t sectorSize = device_->GetSectorSize();
  if (sectorSize < 1 || sectorSize % 512 != 0 || sectorSize > partition::kMaxSectorSize) {
    return RESULT_FAILURE(kModule, result::kErrNotSupported);
  }
  sectorSize_ = static_cast<int32_t>(sectorSize);

  ResultCode rc = partition::ReadSectors(device_, 0, 1, sector_);
  if (result::IsFailure(rc)) return rc;
  if (sector_[0] != 'E' || sector_[1] != 'R') return RESULT_FAILURE(kModule, result::kErrBadData);
  // A map block smaller than a sector cannot be addressed in sectors.
  sectorsPerBlock_ = ondisk::Be16(sector_.data() + 2) / sectorSize_;
  if (sectorsPerBlock_ <= 0) return RESULT_FAILURE(kModule, result::kErrBadData);

  rc = ReadMapBlock(1);
  if (result::IsFailure(rc)) return rc;
  if (!HasEntrySignature()) return RESULT_FAILURE(kModule, result::kErrBadData);
  entryCount_ = ondisk::Be32(sector_.data() + 4);
  if (entryCount_ > kMaxMapEntries) return RESULT_FAILURE(kModule, result::kErrBadData);

  const int64_t total = device_->GetTotalSectors();
  for (uint32_t i = 1; i <= entryCount_; ++i) {
    rc = ReadMapBlock(i);
    if (result::IsFailure(rc)) return rc;
    if (!HasEntrySignature()) continue;
    const int64_t start = int64_t{ondisk::Be32(sector_.data() + 8)} * sectorsPerBlock_;
    const int64_t count = int64_t{ondisk::Be32(sector_.data() + 12)} * sectorsPerBlock_;
    if (start >= total || count <= 0) continue;

    PartitionEntry p;
    p.number = i;
    p.startSector = start;
    p.sectorCount = partition::CountToDiskEnd(start, count, total);
    char type[33] = {};
    std::memcpy(type, sector_.data() + 48, 32);
    SetRecordText(p.typeName, type);
    partitions.push_back(p);
  }
  return 0;
}
