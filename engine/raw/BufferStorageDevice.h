// The carver's ring of the most recent blocks of the scanned device: reads
// inside the blocks it holds come from memory, every other read goes to the
// device behind it.
#pragma once

#include <cstdint>
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
  uint64_t GetDeviceStartSector() const { return m_windowStart; }
  uint64_t HeldSectors() const { return m_held; }

 private:
  std::vector<uint8_t> m_ring;
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
