#include "device/PartitionDevice.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

CPartitionWindowDevice::CPartitionWindowDevice(IStorageDevice* parent, int64_t startSector, int64_t totalSectors)
    : CRecordDevice(totalSectors), parent_(parent), startSector_(startSector) {
  // A window made directly on a device (not through enumeration, so perhaps
  // never opened) reads in its parent's sectors from the start.
  if (parent_ != nullptr && geometry::IsUsableRecordSectorSize(parent_->GetSectorSize())) {
    SetSectorSize(parent_->GetSectorSize());
  }
}

int CPartitionWindowDevice::Open() {
  SetLastError(0);
  if (parent_ == nullptr) {
    SetLastError(devicecode::kWindowOpenNoParent);
    return 0;
  }
  const CCollectDiskDeviceInfoStruct* disk = DiskRecordOf(parent_);
  int64_t size = disk != nullptr ? disk->sectorSize : 0;
  // A window may also sit on a device without a disk record (the complete
  // scan's caching device, a volume): the parent knows its own sector size.
  if (!geometry::IsUsableRecordSectorSize(size)) size = parent_->GetSectorSize();
  if (geometry::IsUsableRecordSectorSize(size)) SetSectorSize(static_cast<uint32_t>(size));
  return 1;
}

int CPartitionWindowDevice::Close() {
  SetLastError(0);
  return 1;
}

ResultCode CPartitionWindowDevice::IsValidRange(int64_t first, int64_t count, int64_t& readable, int64_t total) {
  if (first < 0 || first >= total) return devicecode::kWindowBadFirst;
  if (count <= 0 || count > total) return devicecode::kWindowBadCount;
  readable = (count > total - first) ? total - first : count;
  return 0;
}

int CPartitionWindowDevice::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  SetLastError(0);
  if (parent_ == nullptr) {
    SetLastError(devicecode::kWindowNoParent);
    return 0;
  }
  if (buffer == nullptr) {
    SetLastError(devicecode::kWindowNullBuffer);
    return 0;
  }
  int64_t readable = 0;
  const ResultCode range = IsValidRange(firstSector, sectorCount, readable, GetTotalSectors());
  if (result::IsFailure(range)) {
    SetLastError(range);
    return 0;
  }
  if (startSector_ < 0 || firstSector > std::numeric_limits<int64_t>::max() - startSector_) {
    SetLastError(devicecode::kWindowBadFirst);
    return 0;
  }
  const int64_t sectorSize = GetSectorSize();
  int64_t offset = 0;
  int64_t bytes = 0;
  if (!geometry::ByteRange(0, sectorCount, sectorSize, offset, bytes)) {
    SetLastError(devicecode::kWindowBadCount);
    return 0;
  }
  // The parent fills whole sectors of its own size; any other size would
  // leave part of the caller's buffer unread or run past its end.
  if (parent_->GetSectorSize() != static_cast<uint32_t>(sectorSize)) {
    SetLastError(devicecode::kWindowSectorSizeMismatch);
    return 0;
  }
  const int answer = parent_->ReadSector(buffer, startSector_ + firstSector, readable);
  const ResultCode parentCode = answer == 0 ? parent_->GetLastError() : 0;
  if (answer == 0 && !unreadable::IsSalvaged(parentCode)) {
    SetLastError(result::IsFailure(parentCode) ? parentCode : devicecode::kReadFailed);
    return 0;
  }
  std::memset(static_cast<unsigned char*>(buffer) + readable * sectorSize, 0,
              static_cast<size_t>((sectorCount - readable) * sectorSize));
  SetLastError(parentCode);
  return answer;
}

void CPartitionWindowDevice::FindUnreadable(int64_t first, int64_t count, SectorRuns& out) {
  const int64_t total = GetTotalSectors();
  if (parent_ == nullptr || first < 0 || count <= 0 || first >= total || startSector_ < 0 ||
      first > std::numeric_limits<int64_t>::max() - startSector_ || parent_->GetSectorSize() != GetSectorSize()) {
    return;
  }
  count = std::min(count, total - first);
  for (const auto& [at, length] : unreadable::Find(parent_, startSector_ + first, count)) {
    out.emplace_back(at - startSector_, length);
  }
}

int CPartitionWindowDevice::IOCtl(uint64_t, void*) {
  SetLastError(devicecode::kWindowIOCtl);
  return 0;
}

IStorageDevice* CreatePartitionDevice(IStorageDevice* parent, int64_t startSector, int64_t totalSectors) {
  if (startSector < 0 || totalSectors < 0) return nullptr;
  return new (std::nothrow) CPartitionDevice(parent, startSector, totalSectors);
}

IStorageDevice* CreatePartitionVirtualVolumeDevice(IStorageDevice* partition) {
  const CCollectedPartitionDeviceInfoStruct* info = PartitionRecordOf(partition);
  if (info == nullptr || info->state != 0 || info->parentDisk == nullptr) return nullptr;
  if (info->startSector < 0 || info->sectorCount < 0) return nullptr;
  return new (std::nothrow) CPartitionVirtualVolumeDevice(info->parentDisk, info->startSector, info->sectorCount);
}
