#include "fat/FATVolumeView.h"

#include <algorithm>
#include <iterator>
#include <new>

#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "device/SectorSizeDevice.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATDBR.h"

CFATVolumeView::CFATVolumeView() = default;
CFATVolumeView::~CFATVolumeView() = default;

uint32_t CFATVolumeView::SectorSize() const { return m_device != nullptr ? m_device->GetSectorSize() : 0; }

uint32_t CFATVolumeView::BootSectorSize(const uint8_t* boot) {
  if (boot == nullptr) return 0;
  const uint32_t size = ondisk::Le16(boot + tagFATPARTITIONDBR::kBytesPerSector);
  return size >= 512 && size <= 4096 && (size & (size - 1)) == 0 ? size : 0;
}

bool CFATVolumeView::Try(IStorageDevice* device, int64_t start, uint32_t sectorSize, int64_t at, bool strong) {
  IStorageDevice* read = device;
  int64_t first = start;
  std::unique_ptr<CSectorSizeDevice> view;
  if (sectorSize != device->GetSectorSize()) {
    view.reset(new (std::nothrow) CSectorSizeDevice(device, sectorSize, start));
    if (view == nullptr) return false;
    read = view.get();
    first = 0;
  }
  std::vector<uint8_t> boot(std::max<uint32_t>(sectorSize, 512), 0);
  if (read->ReadSector(boot.data(), first + at, 1) == 0 || BootSectorSize(boot.data()) != sectorSize) return false;
  const CTempFATDBR dbr(boot.data(), sectorSize);
  if (!dbr.IsValidDBR() || (strong && !CFATBuildWorker::IsFullValidDBR(boot.data(), first, read))) return false;
  // Only FAT32 keeps a copy.
  if (at != 0 && dbr.GetFileSystemType() != FILE_SYSTEM_TYPE_FAT32) return false;
  m_view = std::move(view);
  m_device = read;
  m_start = first;
  m_boot.swap(boot);
  m_copy = at != 0;
  return true;
}

bool CFATVolumeView::Open(IStorageDevice* device, int64_t start, bool fat32Copy, bool firstAlone) {
  m_view.reset();
  m_device = nullptr;
  m_boot.clear();
  if (device == nullptr || start < 0) return false;
  const uint32_t own = device->GetSectorSize();
  if (own < 512 || own % 512 != 0) return false;
  std::vector<uint8_t> first(own, 0);
  if (device->ReadSector(first.data(), start, 1) != 0) {
    const uint32_t size = BootSectorSize(first.data());
    if (size != 0 && Try(device, start, size, 0, !firstAlone)) return true;
  }
  if (!fat32Copy) return false;
  // The first sector is gone, and with it the sector size: the copy is
  // looked for at sector 6 of each size a volume may have, the device's
  // first.
  const uint32_t sizes[] = {own, 512, 1024, 2048, 4096};
  for (size_t i = 0; i < std::size(sizes); ++i) {
    if (i > 0 && sizes[i] == own) continue;
    if (Try(device, start, sizes[i], 6, true)) return true;
  }
  return false;
}
