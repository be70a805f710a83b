#include "raw/BufferStorageDevice.h"

#include <cstring>

int CBufferStorageDevice::Close() {
  m_ring.reset();
  std::vector<bool>().swap(m_blockHeld);
  m_initialised = false;
  m_held = 0;
  return 1;
}

int64_t CBufferStorageDevice::GetTotalSectors() { return m_device != nullptr ? m_device->GetTotalSectors() : 0; }

void CBufferStorageDevice::InitBufferDevice(IStorageDevice* device, uint64_t startSector, uint32_t sectorSize,
                                            uint32_t sectorsPerBlock, uint32_t blockCount) {
  m_device = device;
  m_windowStart = startSector;
  m_sectorSize = sectorSize == 0 ? 512 : sectorSize;
  m_sectorsPerBlock = sectorsPerBlock;
  m_blockCount = blockCount;
  m_capacity = uint64_t{sectorsPerBlock} * blockCount;
  m_ring.reset(m_capacity > 0 ? static_cast<uint8_t*>(std::calloc(m_capacity, m_sectorSize)) : nullptr);
  m_blockHeld.assign(blockCount, false);
  m_held = 0;
  m_writePosition = 0;
  // Without the memory every read goes to the device.
  m_initialised = m_ring != nullptr;
}

void CBufferStorageDevice::AddBlockToBuffer(const uint8_t* block) {
  if (!m_initialised || block == nullptr) return;
  std::memcpy(m_ring.get() + m_writePosition * m_sectorSize, block, size_t{m_sectorsPerBlock} * m_sectorSize);
  Advance(true);
}

void CBufferStorageDevice::PassBlockBy() {
  if (m_initialised) Advance(false);
}

void CBufferStorageDevice::Advance(bool held) {
  m_blockHeld[m_writePosition / m_sectorsPerBlock] = held;
  m_writePosition = (m_writePosition + m_sectorsPerBlock) % m_capacity;
  if (m_held < m_capacity) {
    m_held += m_sectorsPerBlock;
  } else {
    m_windowStart += m_sectorsPerBlock;
  }
}

int CBufferStorageDevice::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  if (!m_initialised || buffer == nullptr || firstSector < 0 || sectorCount <= 0) return 0;
  const uint64_t first = static_cast<uint64_t>(firstSector);
  const uint64_t count = static_cast<uint64_t>(sectorCount);
  if (first >= m_windowStart && count <= m_held && first - m_windowStart <= m_held - count) {
    // The oldest sector sits at the write position once full; before that
    // the ring starts at 0 and the write position is the held count.
    const uint64_t oldest = m_held == m_capacity ? m_writePosition : 0;
    const uint64_t position = (first - m_windowStart + oldest) % m_capacity;
    const uint64_t firstPiece = count <= m_capacity - position ? count : m_capacity - position;
    bool held = true;
    for (uint64_t at = position / m_sectorsPerBlock, end = (position + count - 1) / m_sectorsPerBlock; at <= end;
         ++at) {
      held = held && m_blockHeld[at % m_blockCount];
    }
    if (!held) return m_device != nullptr ? m_device->ReadSector(buffer, firstSector, sectorCount) : 0;
    auto* out = static_cast<uint8_t*>(buffer);
    std::memcpy(out, m_ring.get() + position * m_sectorSize, firstPiece * m_sectorSize);
    if (firstPiece < count)
      std::memcpy(out + firstPiece * m_sectorSize, m_ring.get(), (count - firstPiece) * m_sectorSize);
    return 1;
  }
  return m_device != nullptr ? m_device->ReadSector(buffer, firstSector, sectorCount) : 0;
}
