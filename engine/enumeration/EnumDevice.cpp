#include "enumeration/EnumDevice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "VolumeAnalyze.h"
#include "base/CatchExeception.h"
#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "enumeration/EnumDeviceCodes.h"
#include "enumeration/MergeVolumeAndPartition.h"
#include "partition/PartitionTableAnalyze.h"

namespace {

void SortDevices(std::list<IStorageDevice*>& devices) { devices.sort(CDevListSortAlgorithm()); }

// Why a device node could not be opened, logged once per device; a device
// that vanished between listing and opening (a loop device detached
// meanwhile, a drive without a medium) is no news.
void NoteOpenFailure(const char* what, const std::string& path, EnumFindings& findings) {
  const int err = OpenErrno(path);
  if (err == EACCES || err == EPERM) {
    ++findings.permissionDenied;
    CatchExeception::WriteLog("%s: no permission to read %s (needs root or the disk group)\r\n", what, path.c_str());
  } else if (err != 0 && err != ENOENT && err != ENXIO && err != ENOMEDIUM && err != ENODEV) {
    CatchExeception::WriteLog("%s: cannot open %s: %s\r\n", what, path.c_str(), std::strerror(err));
  }
}

// The file-system type and label that the volume analyzers find at the start
// of `device`: unknown (9) and no label when none recognises it.
void AnalyzeVolume(IStorageDevice* device, uint32_t& type, char (&label)[100]) {
  type = FILE_SYSTEM_TYPE_UNKNOWN;
  SetRecordText(label, "");
  IVolumeAnalyzeController* controller = CreateVolumeAnalyzeController(device, 0);
  if (controller == nullptr) return;
  if (IVolumeAnalyze* analyzer = controller->GetVolumeAnzlyzer()) {
    type = static_cast<uint32_t>(analyzer->GetFileSystemType());
    char text[sizeof label] = {};
    analyzer->GetLabel(text, static_cast<int>(sizeof text));
    text[sizeof text - 1] = '\0';  // whatever the analyzer wrote, the record ends in a terminator
    SetRecordText(label, text);
  }
  controller->Release();
}

}  // namespace

int OpenErrno(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

ResultCode CEnumDisk::ExecEnum(const std::vector<MediaRecord>& media, std::list<IStorageDevice*>& disks,
                               EnumFindings& findings) {
  for (const MediaRecord& m : media) {
    if (!m.whole) continue;
    const int64_t sectorSize = m.logicalBlockSize != 0 ? m.logicalBlockSize : 512;
    const int64_t total = static_cast<int64_t>(m.sizeBytes / static_cast<uint64_t>(sectorSize));
    if (total <= 0) continue;
    std::printf("disk device path = %s\n", m.devicePath.c_str());
    IStorageDevice* disk = CreateDiskDevice(m.devicePath.c_str());
    if (disk == nullptr) continue;
    if (disk->Open() == 0) {
      NoteOpenFailure("CEnumDisk", m.devicePath, findings);
      disk->Release();
      continue;
    }
    auto* info = new (std::nothrow) CCollectDiskDeviceInfoStruct();
    if (info == nullptr) {
      disk->Release();
      continue;
    }
    info->state = 0;
    info->busType = static_cast<uint32_t>(BusTypeFromProtocol(m.busProtocol.c_str()));
    info->partitionScheme = SchemeFromContent(m.content);
    info->writable = m.writable ? 1 : 0;
    SetRecordText(info->registryName, m.registryName.c_str());
    SetRecordText(info->bsdName, m.name.c_str());
    info->sectorSize = sectorSize;
    info->totalSectors = total;
    info->cylinders = total / 16065;
    info->heads = 255;
    info->sectorsPerTrack = 63;
    info->deviceID = DeviceIDFromNumbers(m.major, m.minor);
    SetRecordText(info->devicePath, m.devicePath.c_str());
    IDiskDeviceData* data = CreateDiskDeviceData(info);
    if (data == nullptr) {
      delete info;
      disk->Release();
      continue;
    }
    disk->SetPrivateData(data);
    // Some file systems' boot sectors end in 55 AA and pass for an MBR; a
    // disk whose sector 0 is the boot sector of a file system filling it has
    // no table, whatever libblkid guessed.
    uint32_t scheme = DISK_PARTITION_SCHEME_UNKNOWN;
    if (info->partitionScheme == DISK_PARTITION_SCHEME_MBR && result::IsSuccess(GetDiskType(disk, scheme)) &&
        scheme == DISK_PARTITION_SCHEME_UNKNOWN) {
      info->partitionScheme = DISK_PARTITION_SCHEME_UNKNOWN;
    }
    disks.push_back(disk);
  }
  SortDevices(disks);
  return 0;
}

ResultCode CEnumVolume::ExecEnum(const std::vector<MediaRecord>& media, IStorageDevice* disk,
                                 std::list<IStorageDevice*>& volumes, EnumFindings& findings) {
  const CCollectDiskDeviceInfoStruct* diskInfo = DiskRecordOf(disk);
  if (diskInfo == nullptr) return 0;
  const uint32_t scheme = diskInfo->partitionScheme;
  for (const MediaRecord& m : media) {
    const bool member = scheme != DISK_PARTITION_SCHEME_UNKNOWN
                            ? (!m.whole && !m.extendedContainer && m.parent == diskInfo->bsdName)
                            : (m.whole && m.name == diskInfo->bsdName);
    if (!member) continue;
    const int64_t sectorSize = m.logicalBlockSize != 0 ? m.logicalBlockSize : 512;
    const int64_t total = static_cast<int64_t>(m.sizeBytes / static_cast<uint64_t>(sectorSize));
    if (total <= 0) continue;
    if (!m.whole && m.partitionNumber < 0) continue;

    CCollectedVolumeDeviceInfoStruct info;
    info.state = 0;
    info.sectorSize = sectorSize;
    info.totalSectors = total;
    info.deviceID = DeviceIDFromNumbers(m.major, m.minor);
    info.parentDisk = disk;
    info.partitionNumber = m.whole ? -1 : m.partitionNumber;
    SetRecordText(info.bsdName, m.name.c_str());
    // The label; else the mount point's last folder; else the kernel name.
    std::string name = m.label;
    if (name.empty() && !m.mountPath.empty()) {
      const size_t slash = m.mountPath.find_last_of('/');
      if (slash != std::string::npos) name = m.mountPath.substr(slash + 1);
    }
    if (name.empty()) name = m.name;
    SetRecordText(info.volumeName, name.c_str());
    info.mounted = m.mountPath.empty() ? 0 : 1;
    if (!m.whole && scheme == DISK_PARTITION_SCHEME_GPT) {
      if (!ParseGptGuidText(m.content, info.gptTypeGUID) || !ParseGptGuidText(m.partitionUUID, info.gptPartitionGUID))
        continue;
    }
    if (!m.whole && scheme == DISK_PARTITION_SCHEME_APM) {
      if (m.content.empty()) continue;
      SetRecordText(info.apmType, m.content.c_str());
    }
    // sysfs gives a partition's start in 512-byte units; -1 when it does not.
    const int64_t start = m.whole ? 0 : (m.start512 >= 0 ? m.start512 * 512 / sectorSize : -1);
    info.startSector = start;

    IStorageDevice* volume = CreateVolumeDevice(m.devicePath.c_str());
    if (volume == nullptr) continue;
    if (volume->Open() == 0) {
      NoteOpenFailure("CEnumVolume", m.devicePath, findings);
      volume->Release();
      continue;
    }
    AnalyzeVolume(volume, info.fileSystemType, info.label);
    auto* record = new (std::nothrow) CCollectedVolumeDeviceInfoStruct(info);
    IVolumeDeviceData* data = record != nullptr ? CreateVolumeDeviceData(record) : nullptr;
    if (data == nullptr) {
      delete record;
      volume->Release();
      continue;
    }
    volume->SetPrivateData(data);
    findings.volumeStarts[volume] = start;
    volumes.push_back(volume);
  }
  SortDevices(volumes);
  return 0;
}

ResultCode CEnumPartition::ExecEnum(IStorageDevice* disk, std::list<IStorageDevice*>& partitions) {
  const CCollectDiskDeviceInfoStruct* diskInfo = DiskRecordOf(disk);
  if (diskInfo == nullptr) return enumcode::kPartNoDiskRecord;
  std::list<PartitionEntry> entries;
  IPartitionTableAnalyze* analyzer = CreatePartitionTableAnalyze();
  if (analyzer == nullptr) return enumcode::kPartNotMade;
  const ResultCode rc = analyzer->AnalyzePartitionTable(disk, entries);
  analyzer->Release();
  if (result::IsFailure(rc)) return rc;
  if (entries.empty()) {
    PartitionEntry whole;
    whole.number = kWholeDiskPartitionNumber;
    whole.startSector = 0;
    whole.sectorCount = diskInfo->totalSectors;
    entries.push_back(whole);
  }
  for (const PartitionEntry& entry : entries) {
    IStorageDevice* partition = CreatePartitionDevice(disk, entry.startSector, entry.sectorCount);
    if (partition == nullptr) return enumcode::kPartNotMade;
    if (partition->Open() == 0) {
      const ResultCode openRc = partition->GetLastError();
      if (result::IsFailure(openRc)) {
        partition->Release();
        return openRc;
      }
      partitions.push_back(partition);
      continue;
    }
    auto* info = new (std::nothrow) CCollectedPartitionDeviceInfoStruct();
    if (info == nullptr) {
      partition->Release();
      return enumcode::kPartRecordNotWrapped;
    }
    info->state = diskInfo->state;
    info->sectorSize = diskInfo->sectorSize;
    info->sectorCount = entry.sectorCount;
    info->deviceID = diskInfo->deviceID;
    info->parentDisk = disk;
    info->partitionNumber = static_cast<int32_t>(entry.number);
    if (diskInfo->partitionScheme == DISK_PARTITION_SCHEME_GPT) {
      std::memcpy(info->gptTypeGUID, entry.typeGUID, sizeof info->gptTypeGUID);
      std::memcpy(info->gptPartitionGUID, entry.uniqueGUID, sizeof info->gptPartitionGUID);
    }
    if (diskInfo->partitionScheme == DISK_PARTITION_SCHEME_APM) SetRecordText(info->apmType, entry.typeName);
    info->startSector = entry.startSector;
    AnalyzeVolume(partition, info->fileSystemType, info->label);
    IPartitionDeviceData* data = CreatePartitionDeviceData(info);
    if (data == nullptr) {
      delete info;
      partition->Release();
      return enumcode::kPartRecordNotWrapped;
    }
    partition->SetPrivateData(data);
    partitions.push_back(partition);
  }
  SortDevices(partitions);
  return 0;
}

ResultCode CEnumDevice::EnumDiskDevice(std::list<IStorageDevice*>& disks) {
  disks.clear();
  return CEnumDisk::ExecEnum(media_, disks, findings_);
}

ResultCode CEnumDevice::EnumPartitionDevice(IStorageDevice* disk, std::list<IStorageDevice*>& partitions) {
  partitions.clear();
  return CEnumPartition::ExecEnum(disk, partitions);
}

ResultCode CEnumDevice::EnumVolumeDevice(IStorageDevice* disk, std::list<IStorageDevice*>& volumes) {
  volumes.clear();
  if (disk == nullptr) return 0;
  return CEnumVolume::ExecEnum(media_, disk, volumes, findings_);
}
