// The carver's ring of the most recent blocks of the scanned device: reads
// inside the blocks it holds come from memory, every other read goes to the
// device behind it. Blocks passed by (nothing waits to be sized from them)
// take their place in the window but are not copied; reads of them go to the
// device too.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "StorageDevice.h"

class CBufferStorageDevice : public IStorageDevice {
 public:
  CBufferStorageDevice() = default;
  int Open() override { return 1; }
  int Close() override;
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  uint32_t GetSectorSize() override { return m_sectorSize == 0 ? 512 : m_sectorSize; }
  // The device behind's total, so that a file is sized the same from the
  // ring and from the device; HeldSectors() tells what the ring holds.
  int64_t GetTotalSectors() override;
  int IOCtl(uint64_t, void*) override { return 0; }
  IStorageDeviceData* GetPrivateData() override { return nullptr; }
  void SetPrivateData(IStorageDeviceData*) override {}
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }

  void InitBufferDevice(IStorageDevice* device, uint64_t startSector, uint32_t sectorSize, uint32_t sectorsPerBlock,
                        uint32_t blockCount);
  bool IsFullBuffer() const { return m_initialised && m_held == m_capacity; }
  // Copies one block (sectors per block x sector size bytes) in as the next
  // block of the device; once full, the oldest block leaves.
  void AddBlockToBuffer(const uint8_t* block);
  // Moves the window on by one block as AddBlockToBuffer does, without
  // copying it: reads that touch that block go to the device. For a block
  // nothing will be sized from.
  void PassBlockBy();
  uint64_t GetDeviceStartSector() const { return m_windowStart; }
  uint64_t HeldSectors() const { return m_held; }

 private:
  void Advance(bool held);

  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  // calloc: the zeros of a fresh ring take no memory until blocks are
  // copied in, and blocks passed by never are.
  std::unique_ptr<uint8_t[], Free> m_ring;
  std::vector<bool> m_blockHeld;  // per block of the ring: copied in, not passed by
  uint64_t m_windowStart = 0;
  uint64_t m_held = 0;
  uint64_t m_writePosition = 0;  // in sectors
  uint32_t m_sectorsPerBlock = 0;
  uint32_t m_blockCount = 0;
  uint64_t m_capacity = 0;  // sectors
  bool m_initialised = false;
  IStorageDevice* m_device = nullptr;
  uint32_t m_sectorSize = 512;
};
