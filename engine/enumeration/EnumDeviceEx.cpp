#include "enumeration/EnumDeviceEx.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <new>
#include <vector>

#include "base/CatchExeception.h"
#include "enumeration/MergeVolumeAndPartition.h"

namespace {

// The array rules of the Enum operations.
ResultCode HandOut(const std::list<IStorageDevice*>& devices, IStorageDevice** array, int& count,
                   bool zeroCountFillsNothing, ResultCode tooSmall) {
  const int length = static_cast<int>(devices.size());
  if (array == nullptr) {
    count = length;
    return 0;
  }
  if (zeroCountFillsNothing && count == 0) return 0;
  if (count < length) return tooSmall;
  int i = 0;
  for (IStorageDevice* device : devices) array[i++] = device;
  count = length;
  return 0;
}

const char* DiskName(IStorageDevice* disk) {
  const CCollectDiskDeviceInfoStruct* info = DiskRecordOf(disk);
  return info != nullptr ? info->bsdName : "?";
}

}  // namespace

CEnumDeviceEx::CEnumDeviceEx(std::unique_ptr<IMediaSource> source) : source_(std::move(source)) {
  if (source_ == nullptr) source_ = std::make_unique<CLinuxMediaSource>();
}

CEnumDeviceEx::~CEnumDeviceEx() {
  if (initialised_ != 0) Uninit();
}

ResultCode CEnumDeviceEx::Init() {
  if (initialised_ != 0) Uninit();
  try {
    return InitOrThrow();
  } catch (const std::exception&) {
    // Only memory running out gets here: give back what was made.
    initialised_ = 1;
    Uninit();
    CatchExeception::WriteLog("CEnumDeviceEx::Init ran out of memory\r\n");
    return enumcode::kInitFailed;
  }
}

ResultCode CEnumDeviceEx::InitOrThrow() {
  std::vector<MediaRecord> media;
  const ResultCode listed = source_->ListMedia(media);
  if (result::IsFailure(listed)) {
    CatchExeception::WriteLog("CEnumDeviceEx::Init cannot list the block devices\r\n");
    return listed;
  }
  worker_ = new (std::nothrow) CEnumDevice(std::move(media));
  if (worker_ == nullptr) return enumcode::kInitFailed;

  worker_->EnumDiskDevice(disks_);
  if (disks_.empty()) {
    const bool denied = worker_->Findings().permissionDenied > 0;
    delete worker_;
    worker_ = nullptr;
    if (denied) {
      CatchExeception::WriteLog("CEnumDeviceEx::Init no disk can be read: permission denied\r\n");
      return enumcode::kNoDiskPermission;
    }
    return enumcode::kNoDisk;
  }

  for (IStorageDevice* disk : disks_) {
    std::list<IStorageDevice*>& volumes = osVolumes_[disk];
    std::list<IStorageDevice*>& partitions = partitions_[disk];
    ResultCode rc = worker_->EnumVolumeDevice(disk, volumes);
    if (result::IsFailure(rc)) {
      CatchExeception::WriteLog("CEnumDeviceEx::Init volumes of %s: 0x%llx\r\n", DiskName(disk),
                                static_cast<unsigned long long>(rc));
    }
    rc = worker_->EnumPartitionDevice(disk, partitions);
    if (result::IsFailure(rc)) {
      // The disk stays listed and scannable as a whole; only its table
      // partitions (those read before the failure) are missing.
      CatchExeception::WriteLog("CEnumDeviceEx::Init partition table of %s: 0x%llx\r\n", DiskName(disk),
                                static_cast<unsigned long long>(rc));
      partitions.sort(CDevListSortAlgorithm());
    }

    CMergeVolumeAndPartition merge;
    for (const auto& [volume, start] : worker_->Findings().volumeStarts) merge.SetVolumeStartSector(volume, start);
    std::vector<IStorageDevice*> v(volumes.begin(), volumes.end());
    std::vector<IStorageDevice*> p(partitions.begin(), partitions.end());
    VolumeList& list = volumeLists_[disk];
    list.built =
        merge.MergeAsVolume(list.devices, v.data(), static_cast<int>(v.size()), p.data(), static_cast<int>(p.size()));
    if (result::IsFailure(list.built)) {
      CatchExeception::WriteLog("CEnumDeviceEx::Init volume list of %s: 0x%llx\r\n", DiskName(disk),
                                static_cast<unsigned long long>(list.built));
      list.devices.clear();
    }
    auto converted = list.devices.begin();
    std::advance(converted, std::min(list.devices.size(), volumes.size()));
    list.virtuals.assign(converted, list.devices.end());
  }
  initialised_ = 1;
  return 0;
}

ResultCode CEnumDeviceEx::Uninit() {
  if (initialised_ == 0) return enumcode::kUninitNotInitialized;
  // Virtual volumes and partitions read through their disk: release them
  // before the disks.
  for (auto& [disk, list] : volumeLists_) {
    for (IStorageDevice* device : list.virtuals) device->Release();
  }
  volumeLists_.clear();
  for (auto& [disk, list] : partitions_) {
    for (IStorageDevice* device : list) device->Release();
  }
  partitions_.clear();
  for (auto& [disk, list] : osVolumes_) {
    for (IStorageDevice* device : list) device->Release();
  }
  osVolumes_.clear();
  for (IStorageDevice* disk : disks_) disk->Release();
  disks_.clear();
  delete worker_;
  worker_ = nullptr;
  initialised_ = 0;
  return 0;
}

void CEnumDeviceEx::CloseDevices() {
  // Partitions and virtual volumes are windows that read through their disk
  // and hold no descriptor of their own.
  for (auto& [disk, list] : osVolumes_) {
    for (IStorageDevice* device : list) device->Close();
  }
  for (IStorageDevice* disk : disks_) disk->Close();
}

ResultCode CEnumDeviceEx::EnumDiskDevice(IStorageDevice** array, int& count) {
  if (initialised_ == 0) return enumcode::kDiskNotInitialized;
  return HandOut(disks_, array, count, true, enumcode::kDiskArrayTooSmall);
}

ResultCode CEnumDeviceEx::EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) {
  if (initialised_ == 0) return enumcode::kPartNotInitialized;
  if (disk == nullptr) return enumcode::kPartNullDisk;
  const auto found = partitions_.find(disk);
  if (found == partitions_.end()) return enumcode::kPartUnknownDisk;
  return HandOut(found->second, array, count, true, enumcode::kPartArrayTooSmall);
}

ResultCode CEnumDeviceEx::EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) {
  if (initialised_ == 0) return enumcode::kVolNotInitialized;
  if (disk == nullptr) return enumcode::kVolNullDisk;
  const auto found = volumeLists_.find(disk);
  if (found == volumeLists_.end()) return enumcode::kVolUnknownDisk;
  if (result::IsFailure(found->second.built)) return found->second.built;
  return HandOut(found->second.devices, array, count, false, enumcode::kVolArrayTooSmall);
}

IEnumDeviceEx* CreateEnumDeviceEx() {
  // Never destroyed (see EnumDeviceEx.h).
  static CEnumDeviceEx* const enumerator = new CEnumDeviceEx();
  return enumerator;
}
