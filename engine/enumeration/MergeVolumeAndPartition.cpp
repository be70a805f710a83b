#include "enumeration/MergeVolumeAndPartition.h"

#include <cstring>
#include <new>

#include "device/PartitionDevice.h"
#include "enumeration/EnumDeviceCodes.h"

namespace {

constexpr int64_t kSameDeviceSlackBytes = 0xA00001;

// Where a table partition starts on its disk, or -1 when it cannot be told.
int64_t PartitionStart(IStorageDevice* partition) {
  if (auto* window = dynamic_cast<IPartitionStorageDevice*>(partition)) return window->GetStartSector();
  if (const auto* info = PartitionRecordOf(partition)) return info->startSector;
  return -1;
}

}  // namespace

ResultCode CMergeVolumeAndPartition::IsSameDevice(IStorageDevice* partition, IStorageDevice* volume, int& same) {
  same = 0;
  if (partition == nullptr || volume == nullptr) return enumcode::kConvertNullArgument;
  const uint32_t sectorSize = partition->GetSectorSize();
  if (sectorSize != volume->GetSectorSize()) return 0;
  const auto known = volumeStarts_.find(volume);
  const int64_t partitionStart = PartitionStart(partition);
  if (known != volumeStarts_.end() && known->second >= 0 && partitionStart >= 0 && known->second != partitionStart) {
    return 0;
  }
  const int64_t a = partition->GetTotalSectors();
  const int64_t b = volume->GetTotalSectors();
  if (a == b) {
    same = 1;
    return 0;
  }
  // Sizes as the table and as the system count them may differ a little;
  // compare the difference in bytes without overflowing.
  const uint64_t apart =
      a > b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b) : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
  if (sectorSize == 0) return 0;
  // |a - b| x sector size < 0xA00001, that is at most 10 MiB apart.
  const uint64_t limit = (static_cast<uint64_t>(kSameDeviceSlackBytes) + sectorSize - 1) / sectorSize;
  same = apart < limit ? 1 : 0;
  return 0;
}

ResultCode CMergeVolumeAndPartition::GetPartListNonexistentInVolumeList(std::list<IStorageDevice*>& out,
                                                                        IStorageDevice** volumes, int volumeCount,
                                                                        IStorageDevice** partitions,
                                                                        int partitionCount) {
  for (int p = 0; p < partitionCount && partitions != nullptr; ++p) {
    IStorageDevice* partition = partitions[p];
    if (partition == nullptr) continue;
    bool found = false;
    for (int v = 0; v < volumeCount && volumes != nullptr && !found; ++v) {
      if (volumes[v] == nullptr) continue;
      int same = 0;
      const ResultCode rc = IsSameDevice(partition, volumes[v], same);
      if (result::IsFailure(rc)) return rc;
      found = same != 0;
    }
    if (!found) out.push_back(partition);
  }
  return 0;
}

ResultCode CMergeVolumeAndPartition::MergeAsVolume(std::list<IStorageDevice*>& out, IStorageDevice** volumes,
                                                   int volumeCount, IStorageDevice** partitions, int partitionCount) {
  std::list<IStorageDevice*> missing;
  ResultCode rc = GetPartListNonexistentInVolumeList(missing, volumes, volumeCount, partitions, partitionCount);
  if (result::IsFailure(rc)) return rc;
  std::list<IStorageDevice*> converted;
  CVolumePartitionConverter converter;
  rc = converter.ConvertPartitions2Volumes(converted, missing);
  if (result::IsFailure(rc)) {
    for (IStorageDevice* volume : converted) volume->Release();
    return rc;
  }
  for (int v = 0; v < volumeCount && volumes != nullptr; ++v) {
    if (volumes[v] != nullptr) out.push_back(volumes[v]);
  }
  out.splice(out.end(), converted);
  return 0;
}

ResultCode CVolumePartitionConverter::ConvertPartitions2Volumes(std::list<IStorageDevice*>& volumesOut,
                                                                std::list<IStorageDevice*>& partitions) {
  for (IStorageDevice* partition : partitions) {
    IStorageDevice* volume = nullptr;
    const ResultCode rc = ConvertPartition2Volume(volume, partition);
    if (result::IsFailure(rc)) return rc;
    if (volume != nullptr) volumesOut.push_back(volume);
  }
  return 0;
}

ResultCode CVolumePartitionConverter::ConvertPartition2Volume(IStorageDevice*& volumeOut, IStorageDevice* partition) {
  volumeOut = nullptr;
  if (partition == nullptr || partition->GetType() != STORAGE_DEVICE_PARTITION) return enumcode::kConvertNotPartition;
  CCollectedPartitionDeviceInfoStruct* partitionInfo = PartitionRecordOf(partition);
  if (partitionInfo == nullptr) return enumcode::kConvertNoRecord;

  IStorageDevice* volume = CreatePartitionVirtualVolumeDevice(partition);
  if (volume == nullptr) return enumcode::kConvertNotMade;
  if (volume->Open() == 0) {
    const ResultCode rc = volume->GetLastError();
    if (result::IsFailure(rc)) {
      volume->Release();
      return rc;
    }
    volumeOut = volume;
    return 0;
  }
  auto* volumeInfo = new (std::nothrow) CCollectedVolumeDeviceInfoStruct();
  if (volumeInfo == nullptr) {
    volume->Release();
    return enumcode::kConvertRecordNotWrapped;
  }
  const ResultCode rc = PartitionInfo2VolumeInfo(volumeInfo, partitionInfo);
  IVolumeDeviceData* data = result::IsSuccess(rc) ? CreateVolumeDeviceData(volumeInfo) : nullptr;
  if (data == nullptr) {
    delete volumeInfo;
    volume->Release();
    return result::IsFailure(rc) ? rc : enumcode::kConvertRecordNotWrapped;
  }
  volume->SetPrivateData(data);
  volumeOut = volume;
  return 0;
}

ResultCode CVolumePartitionConverter::PartitionInfo2VolumeInfo(CCollectedVolumeDeviceInfoStruct* volume,
                                                               CCollectedPartitionDeviceInfoStruct* partition) {
  if (volume == nullptr || partition == nullptr) return enumcode::kConvertNullArgument;
  if (volume->state != 0) return enumcode::kConvertRecordInUse;
  *volume = CCollectedVolumeDeviceInfoStruct();
  volume->state = partition->state;
  volume->fileSystemType = partition->fileSystemType;
  SetRecordText(volume->label, partition->label);
  volume->sectorSize = partition->sectorSize;
  volume->totalSectors = partition->sectorCount;
  volume->deviceID = partition->deviceID;
  volume->parentDisk = partition->parentDisk;
  volume->partitionNumber = partition->partitionNumber;
  std::memcpy(volume->gptTypeGUID, partition->gptTypeGUID, sizeof volume->gptTypeGUID);
  std::memcpy(volume->gptPartitionGUID, partition->gptPartitionGUID, sizeof volume->gptPartitionGUID);
  SetRecordText(volume->apmType, partition->apmType);
  volume->startSector = partition->startSector;
  volume->mounted = 0;
  return 0;
}

bool CDevListSortAlgorithm::operator()(IStorageDevice* a, IStorageDevice* b) const {
  if (a == nullptr || b == nullptr) return false;
  const uint32_t kind = a->GetType();
  if (kind != b->GetType()) return false;
  switch (kind) {
    case STORAGE_DEVICE_DISK:
      return DiskSortAlgorithm(a, b);
    case STORAGE_DEVICE_PARTITION:
      return PartSortAlgorithm(a, b);
    case STORAGE_DEVICE_VOLUME:
      return VolumeSortAlgorithm(a, b);
    default:
      return false;
  }
}

bool CDevListSortAlgorithm::DiskSortAlgorithm(IStorageDevice* a, IStorageDevice* b) {
  const auto* x = DiskRecordOf(a);
  const auto* y = DiskRecordOf(b);
  if (x == nullptr || y == nullptr) return false;
  return std::strcmp(x->bsdName, y->bsdName) < 0;
}

bool CDevListSortAlgorithm::PartSortAlgorithm(IStorageDevice* a, IStorageDevice* b) {
  const auto* x = PartitionRecordOf(a);
  const auto* y = PartitionRecordOf(b);
  if (x == nullptr || y == nullptr) return false;
  return x->partitionNumber < y->partitionNumber;
}

bool CDevListSortAlgorithm::VolumeSortAlgorithm(IStorageDevice* a, IStorageDevice* b) {
  const auto* x = VolumeRecordOf(a);
  const auto* y = VolumeRecordOf(b);
  if (x == nullptr || y == nullptr) return false;
  return x->partitionNumber < y->partitionNumber;
}
