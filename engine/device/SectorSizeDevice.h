// A device read in sectors of another size than its own: a volume made for
// 512-byte sectors behind a 4096-byte-sector device (USB enclosures present
// disks so), or a volume made for 4096-byte sectors in a 512-byte-sector
// image file. Sector n of the view is the bytes [n x size, (n + 1) x size)
// counted from the parent's sector `parentStart` (the volume's first); the
// parent is not owned and must outlive the view.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "StorageDevice.h"
#include "ThreadLastError.h"
#include "UnreadableSectors.h"

class CSectorSizeDevice final : public IStorageDevice, public IUnreadableSectors {
 public:
  // `sectorSize`: a power of two from 512 to 64 KiB (else 512).
  CSectorSizeDevice(IStorageDevice* parent, uint32_t sectorSize, int64_t parentStart = 0);

  int Open() override { return m_parent != nullptr ? 1 : 0; }
  int Close() override { return 1; }
  // Whole parent sectors go straight to the caller; a view sector smaller
  // than the parent's goes through a copy of the parent sectors it lies in.
  // A parent read that lost sectors (UnreadableSectors.h) passes its code
  // and what it read on.
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  // The view sectors that lie on the parent's unreadable ones.
  void FindUnreadable(int64_t first, int64_t count, SectorRuns& out) override;
  uint32_t GetSectorSize() override { return m_sectorSize; }
  // The view sectors that lie wholly on the parent from its start.
  int64_t GetTotalSectors() override;
  int IOCtl(uint64_t code, void* data) override;
  // The parent's record: the view has none of its own, and releases a
  // record it is given.
  IStorageDeviceData* GetPrivateData() override;
  void SetPrivateData(IStorageDeviceData* data) override;
  uint32_t GetType() override;
  // The code of this thread's latest call (ThreadLastError.h).
  ResultCode GetLastError() override { return m_lastError.Get(); }

  IStorageDevice* GetParent() const { return m_parent; }
  // A power of two a view may use.
  static bool IsUsableSectorSize(uint32_t size) { return size >= 512 && size <= 65536 && (size & (size - 1)) == 0; }
  // What a searcher that looks at every 512 bytes reads `device` through: a
  // 512-byte view when its sectors are larger (with `*unitsPerSector` of
  // them to one of the device's), else null, the device itself being read
  // in its own sectors (`*unitsPerSector` 1).
  static std::unique_ptr<CSectorSizeDevice> In512ByteUnits(IStorageDevice* device, int64_t* unitsPerSector);

 private:
  IStorageDevice* m_parent;
  uint32_t m_sectorSize;
  int64_t m_parentStart;
  // Reads may come from several threads at once.
  CThreadLastError m_lastError;
};
