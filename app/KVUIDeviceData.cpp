#include "app/KVUIDeviceData.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "EngineTypes.h"
#include "StorageDevice.h"
#include "base/CatchExeception.h"
#include "device/DiskDevice.h"
#include "enumeration/EnumDeviceEx.h"

namespace {

// Partition type GUIDs as a GPT entry stores them (the first three groups
// little-endian).
constexpr uint8_t kEfiSystemGuid[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                        0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
constexpr uint8_t kBootHelperGuid[16] = {0x74, 0x6F, 0x6F, 0x42, 0x00, 0x00, 0xAA, 0x11,
                                         0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};

// The devices an enumerator's Enum call hands out.
std::vector<IStorageDevice*> Listed(const std::function<ResultCode(IStorageDevice**, int&)>& enumerate, bool& ok) {
  int count = 0;
  ok = !result::IsFailure(enumerate(nullptr, count));
  if (!ok || count <= 0) return {};
  std::vector<IStorageDevice*> devices(static_cast<size_t>(count), nullptr);
  ok = !result::IsFailure(enumerate(devices.data(), count));
  if (!ok) return {};
  devices.resize(static_cast<size_t>(std::clamp(count, 0, static_cast<int>(devices.size()))));
  return devices;
}

// The kernel's sequence number of the medium now behind the block device at
// `path`: a new number for every medium a device node has held (a loop
// device attached again, a card changed). 0 for image files and kernels
// that do not number media.
uint64_t MediumSequence(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct stat st {};
  uint64_t sequence = 0;
  if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || ::ioctl(fd, BLKGETDISKSEQ, &sequence) != 0) sequence = 0;
  ::close(fd);
  return sequence;
}

uint64_t Capacity(int64_t sectorSize, int64_t totalSectors) {
  if (sectorSize <= 0 || totalSectors <= 0) return 0;
  return static_cast<uint64_t>(sectorSize) * static_cast<uint64_t>(totalSectors);
}

}  // namespace

struct KVUIDeviceData::Generation {
  // A device that holds a descriptor of its own while open, and the medium
  // it held when the list was made.
  struct Opener {
    CRawDevice* device;
    uint64_t sequence;
  };
  // What a disk's medium opens while it is held: the disk and its volumes.
  struct Medium {
    std::vector<Opener> devices;
    size_t holds = 0;
  };

  std::unique_ptr<IEnumDeviceEx> enumerator;
  bool initialised = false;
  std::vector<IStorageDevice*> disks;  // index = disk index
  std::map<IStorageDevice*, std::vector<IStorageDevice*>> volumes;
  std::mutex mediaLock;  // the holds, and every Open and Close of the devices
  std::map<IStorageDevice*, Medium> media;

  ~Generation() {
    if (initialised) enumerator->Uninit();
  }
  // Notes what each disk's medium opens, then closes everything the
  // enumeration opened.
  void CloseMedia() {
    for (IStorageDevice* disk : disks) {
      Medium& medium = media[disk];
      std::vector<IStorageDevice*> members{disk};
      if (const auto it = volumes.find(disk); it != volumes.end()) {
        members.insert(members.end(), it->second.begin(), it->second.end());
      }
      for (IStorageDevice* member : members) {
        auto* raw = dynamic_cast<CRawDevice*>(member);
        if (raw == nullptr || !raw->IsOpen()) continue;
        medium.devices.push_back({raw, MediumSequence(raw->GetDevicePath())});
      }
    }
    if (auto* machine = dynamic_cast<CEnumDeviceEx*>(enumerator.get())) machine->CloseDevices();
    for (auto& [disk, medium] : media) {
      for (const Opener& opener : medium.devices) opener.device->Close();
    }
  }
  IStorageDevice* DiskOf(IStorageDevice* device) const { return DiskIndex(device) >= 0 ? device : Owner(device).first; }
  void Acquire(IStorageDevice* disk) {
    std::lock_guard<std::mutex> held(mediaLock);
    Medium& medium = media[disk];
    if (medium.holds++ != 0) return;
    for (const Opener& opener : medium.devices) Reopen(opener);
  }
  void Let(IStorageDevice* disk) {
    std::lock_guard<std::mutex> held(mediaLock);
    Medium& medium = media[disk];
    if (medium.holds == 0 || --medium.holds != 0) return;
    for (const Opener& opener : medium.devices) opener.device->Close();
  }
  static void Reopen(const Opener& opener) {
    CRawDevice* device = opener.device;
    if (device->Open() == 0) {
      CatchExeception::WriteLog("%s cannot be opened again: it is gone\r\n", device->GetDevicePath());
      return;
    }
    // The geometry of its record, as when it was listed, not the one the
    // open found (an image file counts in 512-byte sectors).
    device->SetPrivateData(device->GetPrivateData());
    if (opener.sequence != 0 && MediumSequence(device->GetDevicePath()) != opener.sequence) {
      CatchExeception::WriteLog("%s holds another medium than the one listed: not read\r\n", device->GetDevicePath());
      device->Close();
    }
  }
  bool Lists(IStorageDevice* device) const {
    return std::find(disks.begin(), disks.end(), device) != disks.end() || Owner(device).first != nullptr;
  }
  int DiskIndex(IStorageDevice* disk) const {
    const auto it = std::find(disks.begin(), disks.end(), disk);
    return it == disks.end() ? -1 : static_cast<int>(it - disks.begin());
  }
  // The disk whose list holds `volume` (first in disk-pointer order) and the
  // volume's position there.
  std::pair<IStorageDevice*, int> Owner(IStorageDevice* volume) const {
    for (const auto& [disk, list] : volumes) {
      const auto it = std::find(list.begin(), list.end(), volume);
      if (it != list.end()) return {disk, static_cast<int>(it - list.begin())};
    }
    return {nullptr, -1};
  }
};

KVUIDeviceData& KVUIDeviceData::instance() {
  static KVUIDeviceData* model = new KVUIDeviceData();
  return *model;
}

KVUIDeviceData::KVUIDeviceData(EnumeratorFactory factory) : m_factory(std::move(factory)) {
  if (!m_factory) m_factory = [] { return std::make_unique<CEnumDeviceEx>(); };
}

KVUIDeviceData::~KVUIDeviceData() = default;

void KVUIDeviceData::InitDeviceInfo() {
  std::lock_guard<std::mutex> one(m_initLock);
  {
    std::lock_guard<std::mutex> held(m_lock);
    m_state = KVDeviceEnumerating;
  }
  auto fresh = std::make_shared<Generation>();
  fresh->enumerator = m_factory();
  const ResultCode init = fresh->enumerator != nullptr ? fresh->enumerator->Init() : 1;
  if (result::IsFailure(init)) {
    CatchExeception::WriteLog("Device enumeration failed: 0x%016llx\r\n", static_cast<unsigned long long>(init));
    std::shared_ptr<Generation> released;
    std::lock_guard<std::mutex> held(m_lock);
    released = std::move(m_previous);
    m_previous = std::move(m_current);
    m_initResult = init;
    m_state = KVDeviceEnumerationFailed;
    return;
  }
  fresh->initialised = true;
  IEnumDeviceEx& e = *fresh->enumerator;
  bool ok = false;
  fresh->disks = Listed([&](IStorageDevice** a, int& n) { return e.EnumDiskDevice(a, n); }, ok);
  for (IStorageDevice* disk : fresh->disks) {
    std::vector<IStorageDevice*> list =
        Listed([&](IStorageDevice** a, int& n) { return e.EnumVolumeDevice(disk, a, n); }, ok);
    // A disk whose volumes cannot be listed is no disk of the volume map.
    if (ok) fresh->volumes[disk] = std::move(list);
  }
  // Everything the list shows has been read: no medium stays open for it.
  fresh->CloseMedia();
  std::shared_ptr<Generation> released;
  std::lock_guard<std::mutex> held(m_lock);
  released = std::move(m_previous);
  m_previous = std::move(m_current);
  m_current = std::move(fresh);
  m_held.push_back(m_current);
  std::erase_if(m_held, [](const std::weak_ptr<Generation>& g) { return g.expired(); });
  m_initResult = init;
  m_state = KVDeviceReady;
}

uint32_t KVUIDeviceData::ClaimEnumeration() {
  std::lock_guard<std::mutex> held(m_lock);
  const uint32_t state = m_state;
  if (state == KVDeviceNeverEnumerated || state == KVDeviceEnumerationFailed) m_state = KVDeviceEnumerating;
  return state;
}

uint32_t KVUIDeviceData::GetInitState() {
  std::lock_guard<std::mutex> held(m_lock);
  return m_state;
}

ResultCode KVUIDeviceData::GetInitResult() {
  std::lock_guard<std::mutex> held(m_lock);
  return m_initResult;
}

void KVUIDeviceData::Clear() {
  std::shared_ptr<Generation> released;
  std::lock_guard<std::mutex> held(m_lock);
  released = std::move(m_previous);
  m_previous = std::move(m_current);
}

std::shared_ptr<const void> KVUIDeviceData::KeepDevices(IStorageDevice* device) { return Listing(device); }

std::shared_ptr<const void> KVUIDeviceData::HoldDevices(IStorageDevice* device) {
  return HoldMedium(Listing(device), device);
}

std::shared_ptr<const void> KVUIDeviceData::HoldMedium(const std::shared_ptr<Generation>& generation,
                                                       IStorageDevice* device) {
  if (generation == nullptr) return nullptr;
  IStorageDevice* disk = generation->DiskOf(device);
  if (disk == nullptr) return generation;
  generation->Acquire(disk);
  // The last copy of the answer lets the medium go; the list lives as long.
  return std::shared_ptr<const void>(generation.get(), [generation, disk](const void*) { generation->Let(disk); });
}

std::shared_ptr<IStorageDevice> KVUIDeviceData::HoldStorageByDiskVolumeIndex(int disk, int volume) {
  const auto g = Current();
  if (g == nullptr || disk < 0 || static_cast<size_t>(disk) >= g->disks.size()) return nullptr;
  IStorageDevice* device = g->disks[static_cast<size_t>(disk)];
  if (volume != -1) {
    const auto it = g->volumes.find(device);
    if (volume < 0 || it == g->volumes.end() || static_cast<size_t>(volume) >= it->second.size()) return nullptr;
    device = it->second[static_cast<size_t>(volume)];
  }
  // The device lives, and its medium stays open, as long as the answer.
  return std::shared_ptr<IStorageDevice>(HoldMedium(g, device), device);
}

std::shared_ptr<KVUIDeviceData::Generation> KVUIDeviceData::Current() {
  std::lock_guard<std::mutex> held(m_lock);
  return m_current;
}

std::shared_ptr<KVUIDeviceData::Generation> KVUIDeviceData::Listing(IStorageDevice* device) {
  if (device == nullptr) return nullptr;
  std::vector<std::shared_ptr<Generation>> lists;
  {
    std::lock_guard<std::mutex> held(m_lock);
    lists = {m_current, m_previous};
    // Newest first: a device object belongs to one list, but an address
    // freed with an old list may be reused by a newer one.
    for (auto it = m_held.rbegin(); it != m_held.rend(); ++it) lists.push_back(it->lock());
  }
  for (const auto& generation : lists) {
    if (generation != nullptr && generation->Lists(device)) return generation;
  }
  return nullptr;
}

bool KVUIDeviceData::DiskData(const Generation& g, IStorageDevice* disk, _DiskVolumeData& out) {
  const CCollectDiskDeviceInfoStruct* info = DiskRecordOf(disk);
  if (info == nullptr || info->state != 0) return false;
  out = _DiskVolumeData{};
  out.name = info->registryName;
  out.description = info->devicePath;
  out.size = Capacity(info->sectorSize, info->totalSectors);
  out.isDmg = info->busType == DiskBusVirtual ? 1 : 0;
  out.isUsb = info->busType == DiskBusUSB ? 1 : 0;
  out.diskIndex = g.DiskIndex(disk);
  return true;
}

bool KVUIDeviceData::VolumeData(const Generation& g, IStorageDevice* volume, _DiskVolumeData& out) {
  CCollectedVolumeDeviceInfoStruct* info = VolumeRecordOf(volume);
  if (info == nullptr || info->state != 0 || !IsSupportVolume(info)) return false;
  out = _DiskVolumeData{};
  out.name = info->volumeName;
  out.size = Capacity(info->sectorSize, info->totalSectors);
  out.fileSystem = static_cast<int32_t>(info->fileSystemType);
  const auto [disk, position] = g.Owner(volume);
  if (disk != nullptr) {
    out.diskIndex = g.DiskIndex(disk);
    out.volumeIndex = position;
  }
  return true;
}

KVUIDeviceData::ListedDevices KVUIDeviceData::ListDevices(IStorageDevice* member) {
  ListedDevices listing;
  const auto g = member != nullptr ? Listing(member) : Current();
  if (g == nullptr) return listing;
  listing.kept = g;
  for (IStorageDevice* disk : g->disks) {
    ListedDisk listed{disk, {}, {}};
    if (!DiskData(*g, disk, listed.row)) continue;
    const auto it = g->volumes.find(disk);
    if (it != g->volumes.end()) {
      for (IStorageDevice* volume : it->second) {
        ListedVolume child{volume, {}};
        if (VolumeData(*g, volume, child.row)) listed.volumes.push_back(std::move(child));
      }
    }
    listing.disks.push_back(std::move(listed));
  }
  return listing;
}

void KVUIDeviceData::GetAllDeviceInfo(std::list<_DiskVolumeData>& out) {
  for (ListedDisk& disk : ListDevices().disks) {
    for (ListedVolume& volume : disk.volumes) disk.row.children.push_back(std::move(volume.row));
    out.push_back(std::move(disk.row));
  }
}

int KVUIDeviceData::GetDiskDataByStorage(IStorageDevice* disk, _DiskVolumeData& out) {
  const auto g = Current();
  return g != nullptr && DiskData(*g, disk, out) ? 1 : 0;
}

int KVUIDeviceData::GetVolumeDataByStorage(IStorageDevice* volume, _DiskVolumeData& out) {
  const auto g = Current();
  return g != nullptr && VolumeData(*g, volume, out) ? 1 : 0;
}

void KVUIDeviceData::GetDiskVolumeInfo(IStorageDevice* disk, std::list<_DiskVolumeData>& out) {
  const auto g = Current();
  if (g == nullptr) return;
  const auto it = g->volumes.find(disk);
  if (it == g->volumes.end()) return;
  for (IStorageDevice* volume : it->second) {
    _DiskVolumeData row;
    if (VolumeData(*g, volume, row)) out.push_back(std::move(row));
  }
}

IStorageDevice* KVUIDeviceData::GetStorageByDiskVolumeIndex(int disk, int volume) {
  IStorageDevice* d = GetDiskStorageByIndex(disk);
  if (d == nullptr || volume == -1) return d;
  return GetVolumeStorageByIndex(d, volume);
}

IStorageDevice* KVUIDeviceData::GetDiskStorageByIndex(int disk) {
  const auto g = Current();
  if (g == nullptr || disk < 0 || static_cast<size_t>(disk) >= g->disks.size()) return nullptr;
  return g->disks[static_cast<size_t>(disk)];
}

IStorageDevice* KVUIDeviceData::GetVolumeStorageByIndex(IStorageDevice* disk, int volume) {
  const auto g = Current();
  if (g == nullptr || disk == nullptr || volume < 0) return nullptr;
  const auto it = g->volumes.find(disk);
  if (it == g->volumes.end() || static_cast<size_t>(volume) >= it->second.size()) return nullptr;
  return it->second[static_cast<size_t>(volume)];
}

bool KVUIDeviceData::GetDiskVolumeIndexByStorage(IStorageDevice* device, int& disk, int& volume) {
  disk = volume = -1;
  const auto g = Current();
  if (g == nullptr || device == nullptr) return false;
  const int index = g->DiskIndex(device);
  if (index >= 0) {
    disk = index;
    return true;
  }
  const auto [owner, position] = g->Owner(device);
  if (owner == nullptr) return false;
  disk = g->DiskIndex(owner);
  volume = position;
  return true;
}

uint32_t KVUIDeviceData::GetDiskIndexByStorage(IStorageDevice* disk) {
  const auto g = Current();
  const int index = g != nullptr && disk != nullptr ? g->DiskIndex(disk) : -1;
  return index < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(index);
}

IStorageDevice* KVUIDeviceData::GetDiskStorageByVolumeStorage(IStorageDevice* volume) {
  const auto g = Listing(volume);
  return g != nullptr && volume != nullptr ? g->Owner(volume).first : nullptr;
}

uint32_t KVUIDeviceData::GetVolumeIndexByStorage(IStorageDevice* disk, IStorageDevice* volume) {
  const auto g = Current();
  if (g == nullptr) return 0xFFFFFFFFu;
  const auto it = g->volumes.find(disk);
  if (it == g->volumes.end()) return 0xFFFFFFFFu;
  const auto pos = std::find(it->second.begin(), it->second.end(), volume);
  return pos == it->second.end() ? 0xFFFFFFFFu : static_cast<uint32_t>(pos - it->second.begin());
}

bool KVUIDeviceData::IsDiskStorage(IStorageDevice* device) {
  const auto g = Listing(device);
  return g != nullptr && device != nullptr && g->volumes.count(device) != 0;
}

bool KVUIDeviceData::GetDiskVolumeStorage(IStorageDevice* disk, std::list<IStorageDevice*>& out) {
  const auto g = Listing(disk);
  if (g == nullptr) return false;
  const auto it = g->volumes.find(disk);
  if (it == g->volumes.end()) return false;
  out.assign(it->second.begin(), it->second.end());
  return true;
}

CCollectedVolumeDeviceInfoStruct* KVUIDeviceData::GetVolumeInfo(IStorageDevice* device) {
  if (device == nullptr || IsDiskStorage(device)) return nullptr;
  return VolumeRecordOf(device);
}

bool KVUIDeviceData::IsVolumeStorageSupported(IStorageDevice* volume) {
  return IsSupportVolume(VolumeRecordOf(volume));
}

bool KVUIDeviceData::IsSupportVolume(CCollectedVolumeDeviceInfoStruct* info) {
  if (info == nullptr) return false;
  const CCollectDiskDeviceInfoStruct* disk = DiskRecordOf(info->parentDisk);
  if (disk == nullptr) return true;
  switch (disk->partitionScheme) {
    case DISK_PARTITION_SCHEME_APM:
      return std::strcmp(info->apmType, "Apple_partition_map") != 0 && std::strcmp(info->apmType, "Apple_Free") != 0;
    case DISK_PARTITION_SCHEME_GPT:
      return std::memcmp(info->gptTypeGUID, kEfiSystemGuid, 16) != 0 &&
             std::memcmp(info->gptTypeGUID, kBootHelperGuid, 16) != 0;
    default:
      return true;
  }
}
