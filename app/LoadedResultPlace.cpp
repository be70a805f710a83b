#include "app/LoadedResultPlace.h"

#include <algorithm>
#include <vector>

#include "DeviceData.h"
#include "StorageDevice.h"
#include "app/KVUIDeviceData.h"
#include "app/ScanResultSaveRestore.h"
#include "base/CatchExeception.h"
#include "device/PartitionDevice.h"
#include "scan/CRecoveryController.h"

namespace SaveRestoreResult {

bool DescribeDevice(IStorageDevice* device, KVUIDeviceData& devices, DeviceRecord& out) {
  _DiskVolumeData data;
  const bool known = devices.IsDiskStorage(device) ? devices.GetDiskDataByStorage(device, data) != 0
                                                   : devices.GetVolumeDataByStorage(device, data) != 0;
  if (!known) return false;
  out.capacity = data.size;
  out.diskIndex = data.diskIndex;
  out.volumeIndex = data.volumeIndex;
  out.fileSystem = data.fileSystem;
  out.name = data.name;
  return true;
}

// The one look at the device list.
struct LoadedResultPlace::Listed {
  KVUIDeviceData::ListedDevices listing;

  const KVUIDeviceData::ListedDisk* Disk(IStorageDevice* device) const {
    for (const auto& disk : listing.disks) {
      if (disk.device == device) return &disk;
    }
    return nullptr;
  }
  // The disk that lists `volume`, and its row there.
  const KVUIDeviceData::ListedDisk* Holder(IStorageDevice* volume, const KVUIDeviceData::ListedVolume** row) const {
    for (const auto& disk : listing.disks) {
      for (const auto& listed : disk.volumes) {
        if (listed.device != volume) continue;
        if (row != nullptr) *row = &listed;
        return &disk;
      }
    }
    return nullptr;
  }
  const KVUIDeviceData::ListedDisk* DiskOf(IStorageDevice* device) const {
    const KVUIDeviceData::ListedDisk* disk = Disk(device);
    return disk != nullptr ? disk : Holder(device, nullptr);
  }
  // The row at (disk index, volume index), -1 for the disk itself.
  IStorageDevice* At(int diskIndex, int volumeIndex, const _DiskVolumeData** row) const {
    for (const auto& disk : listing.disks) {
      if (disk.row.diskIndex != diskIndex) continue;
      if (volumeIndex == -1) {
        *row = &disk.row;
        return disk.device;
      }
      for (const auto& volume : disk.volumes) {
        if (volume.row.volumeIndex != volumeIndex) continue;
        *row = &volume.row;
        return volume.device;
      }
    }
    return nullptr;
  }

  // Where `device` begins on `on`, in `on`'s sectors: 0 for the device
  // itself, the start of a volume or partition of the disk `on`; -1 when
  // it does not lie on it or cannot be told.
  int64_t StartOn(IStorageDevice* device, IStorageDevice* on) const {
    if (device == nullptr || on == nullptr) return -1;
    if (device == on) return 0;
    if (device->GetSectorSize() != on->GetSectorSize()) return -1;
    const CCollectedVolumeDeviceInfoStruct* info = VolumeRecordOf(device);
    // Its own disk, or the disk the list shows it on (two devices for one
    // medium when the list was made again in between).
    if (info != nullptr && info->startSector >= 0 &&
        (info->parentDisk == on ||
         (info->parentDisk != nullptr && Holder(device, nullptr) == Disk(on) && Disk(on) != nullptr))) {
      // A whole medium shown as its own volume is the disk itself.
      return info->partitionNumber < 0 ? 0 : info->startSector;
    }
    if (auto* window = dynamic_cast<CPartitionWindowDevice*>(device); window != nullptr) {
      if (window->GetParentDevice() == on) return window->GetStartSector();
    }
    return -1;
  }
};

LoadedResultPlace::LoadedResultPlace(KVUIDeviceData& devices, IStorageDevice* scanned) : m_devices(devices) {
  auto listed = std::make_shared<Listed>();
  if (scanned == nullptr && devices.GetInitState() != KVDeviceReady) devices.InitDeviceInfo();
  listed->listing = devices.ListDevices(scanned);
  m_listed = std::move(listed);
}

VolumePlace LoadedResultPlace::PlaceOn(IStorageDevice* device, IStorageDevice* on) const {
  VolumePlace place;
  place.start = m_listed->StartOn(device, on);
  if (place.start >= 0) {
    const int64_t sectors = device->GetTotalSectors();
    place.sectors = sectors > 0 ? static_cast<uint64_t>(sectors) : 0;
  }
  return place;
}

int64_t LoadedResultPlace::StartOnDisk(IStorageDevice* device, uint64_t& diskCapacity, std::string& diskName) const {
  diskCapacity = 0;
  diskName.clear();
  const KVUIDeviceData::ListedDisk* disk = m_listed->DiskOf(device);
  if (disk == nullptr) return -1;
  const int64_t sectors = disk->device->GetTotalSectors();
  if (sectors > 0) diskCapacity = static_cast<uint64_t>(sectors) * disk->device->GetSectorSize();
  diskName = disk->row.name;
  return m_listed->StartOn(device, disk->device);
}

namespace {

bool MatchesByName(const _DiskVolumeData& row, const DeviceRecord& record) {
  return !row.name.empty() && row.name == record.name && row.fileSystem == record.fileSystem &&
         row.size == record.capacity;
}

}  // namespace

LoadedResultPlace::Found LoadedResultPlace::Find(const DeviceRecord& record, const PlaceRecord* place,
                                                 const IdentityRecord* identity, const ScanKindRecord& kind) const {
  const Listed& listed = *m_listed;
  std::vector<IStorageDevice*> candidates;
  const auto add = [&candidates](IStorageDevice* device) {
    if (device != nullptr && std::find(candidates.begin(), candidates.end(), device) == candidates.end()) {
      candidates.push_back(device);
    }
  };
  // Where it was: the same place, capacity and kind, and the same name when
  // one was saved (two sticks of one size are not the same stick).
  const _DiskVolumeData* row = nullptr;
  if (IStorageDevice* at = listed.At(record.diskIndex, record.volumeIndex, &row)) {
    if (row->size == record.capacity && (record.name.empty() || row->name == record.name)) add(at);
  }
  for (const auto& disk : listed.listing.disks) {
    if (MatchesByName(disk.row, record)) add(disk.device);
    for (const auto& volume : disk.volumes) {
      if (MatchesByName(volume.row, record)) add(volume.device);
    }
  }
  // A volume the list no longer shows where it was (disks attached or
  // detached meanwhile renumber them), which its name alone does not find
  // (a partition the system does not show has none; volumes of several
  // disks may share one): one of that name, capacity and file system at the
  // saved start of a disk of the saved name and capacity. Without the
  // volumes' identities to tell two such apart, neither is taken.
  if (place != nullptr && record.volumeIndex != -1 && place->deviceStart >= 0) {
    std::vector<IStorageDevice*> placed;
    for (const auto& disk : listed.listing.disks) {
      if (disk.row.size != place->diskCapacity || disk.row.name != place->diskName) continue;
      for (const auto& volume : disk.volumes) {
        if (volume.row.size != record.capacity || volume.row.fileSystem != record.fileSystem ||
            (!record.name.empty() && volume.row.name != record.name)) {
          continue;
        }
        if (listed.StartOn(volume.device, disk.device) == place->deviceStart) placed.push_back(volume.device);
      }
    }
    if (placed.size() == 1 || identity != nullptr) {
      for (IStorageDevice* device : placed) add(device);
    }
  }

  Found found;
  if (candidates.empty()) {
    found.failure = kLoadDeviceNotFound;
    return found;
  }
  if (place == nullptr) {
    found.device = candidates.front();
    return found;
  }
  found.failure = kLoadDeviceChanged;
  for (IStorageDevice* candidate : candidates) {
    // Read from anywhere else, the saved runs would give other bytes.
    if (!StillInPlace(candidate, *place, kind)) continue;
    size_t same = 0;
    // Another volume in the same place (formatted again, another card of
    // the same make) would give its own bytes for the saved runs.
    if (identity != nullptr && !SameVolumes(candidate, *place, *identity, same)) {
      found.failure = kLoadOtherVolume;
      continue;
    }
    found.device = candidate;
    found.failure = 0;
    found.verified = same;
    return found;
  }
  return found;
}

// Whether the device found for a result is still laid out as when it was
// scanned: its disk of the same capacity, the device at the same start on it,
// and a volume at the place of every tree (for a whole disk scanned volume by
// volume, one the quick scan reads).
bool LoadedResultPlace::StillInPlace(IStorageDevice* storage, const PlaceRecord& place,
                                     const ScanKindRecord& kind) const {
  uint64_t capacity = 0;
  std::string name;
  const int64_t start = StartOnDisk(storage, capacity, name);
  if (place.deviceStart >= 0 && (start != place.deviceStart || capacity != place.diskCapacity)) return false;
  // Another medium at the same place of the list.
  if (!place.diskName.empty() && !name.empty() && name != place.diskName) return false;
  const KVUIDeviceData::ListedDisk* disk = m_listed->Disk(storage);
  std::vector<VolumePlace> volumes;
  if (kind.controllerType == RECOVERY_CONTROLLER_DELETED && disk != nullptr) {
    for (const auto& volume : disk->volumes) {
      // Those the quick scan reads (KVUIScan::IsQuickScannable): a tree at
      // the place of one it passes over would not be replayed.
      if (!m_devices.IsVolumeStorageSupported(volume.device) ||
          CDeletedRecoveryController::SearcherTypeOf(volume.row.fileSystem) == SEARCHER_TYPE_NONE) {
        continue;
      }
      volumes.push_back(PlaceOn(volume.device, storage));
    }
  } else {
    volumes.push_back(PlaceOn(storage, storage));
  }
  for (const VolumePlace& root : place.roots) {
    if (root.start < 0) continue;
    if (std::find(volumes.begin(), volumes.end(), root) == volumes.end()) return false;
  }
  return true;
}

bool LoadedResultPlace::SameVolumes(IStorageDevice* storage, const PlaceRecord& place, const IdentityRecord& identity,
                                    size_t& same) const {
  same = 0;
  // The medium open for the reads, and for them only.
  const std::shared_ptr<const void> open = m_devices.HoldDevices(storage);
  if (open == nullptr) return false;
  const uint64_t sectorSize = storage->GetSectorSize();
  for (size_t i = 0; i < place.roots.size() && i < identity.roots.size(); ++i) {
    uint64_t base;
    if (place.roots[i].start < 0 ||
        __builtin_mul_overflow(static_cast<uint64_t>(place.roots[i].start), sectorSize, &base)) {
      continue;
    }
    for (const VolumeIdentity& saved : identity.roots[i]) {
      if (!SameVolume(storage, base, saved)) {
        CatchExeception::WriteLog("%s: tree %zu: another volume at its place (kind %u at byte %llu)\r\n",
                                  "Static_RestoreScanResult", i, saved.kind,
                                  static_cast<unsigned long long>(saved.offset));
        return false;
      }
      ++same;
    }
  }
  return true;
}

KVRestoreScanSink::Describer LoadedResultPlace::Describer() const {
  return [listed = m_listed](IStorageDevice* device) {
    KVRestoreScanSink::DeviceView view;
    if (device == nullptr) return view;
    if (listed->Holder(device, nullptr) != nullptr) {
      view.replay = true;
      view.volumeName = CRecoveryControllerBase::DeviceDescription(device);
      if (view.volumeName.empty()) view.volumeName = "Disk";
    } else if (listed->Disk(device) != nullptr) {
      view.replay = true;
      view.everyRoot = true;
    }
    return view;
  };
}

KVRestoreScanSink::Locator LoadedResultPlace::Locator(IStorageDevice* loaded, bool quick) const {
  return [place = *this, loaded, quick](IStorageDevice* device) {
    KVRestoreScanSink::VolumeSeen seen;
    seen.place = place.PlaceOn(device, loaded);
    const CCollectedVolumeDeviceInfoStruct* info = quick ? VolumeRecordOf(device) : nullptr;
    if (info != nullptr) {
      seen.searcherType = CDeletedRecoveryController::SearcherTypeOf(static_cast<int>(info->fileSystemType));
    }
    return seen;
  };
}

}  // namespace SaveRestoreResult
