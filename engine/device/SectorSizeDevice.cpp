#include "device/SectorSizeDevice.h"

#include "DeviceData.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "device/StorageDeviceCodes.h"
#include "device/StorageGeometry.h"

CSectorSizeDevice::CSectorSizeDevice(IStorageDevice* parent, uint32_t sectorSize, int64_t parentStart)
    : m_parent(parent),
      m_sectorSize(IsUsableSectorSize(sectorSize) ? sectorSize : 512),
      m_parentStart(parentStart > 0 ? parentStart : 0) {}

std::unique_ptr<CSectorSizeDevice> CSectorSizeDevice::In512ByteUnits(IStorageDevice* device, int64_t* unitsPerSector) {
  if (unitsPerSector != nullptr) *unitsPerSector = 1;
  if (device == nullptr) return nullptr;
  const uint32_t own = device->GetSectorSize();
  if (own <= 512 || !IsUsableSectorSize(own)) return nullptr;
  std::unique_ptr<CSectorSizeDevice> view(new (std::nothrow) CSectorSizeDevice(device, 512, 0));
  if (view != nullptr && unitsPerSector != nullptr) *unitsPerSector = own / 512;
  return view;
}

int64_t CSectorSizeDevice::GetTotalSectors() {
  if (m_parent == nullptr) return 0;
  const int64_t parentSectors = m_parent->GetTotalSectors();
  const uint32_t parentSize = m_parent->GetSectorSize();
  if (parentSectors <= m_parentStart || parentSize == 0) return 0;
  const unsigned __int128 bytes = static_cast<unsigned __int128>(parentSectors - m_parentStart) * parentSize;
  // A parent of larger sectors that claims nearly 2^63 of them (a window a
  // damaged record sized) holds more of the view's than a count can say.
  const unsigned __int128 sectors = bytes / m_sectorSize;
  return sectors > static_cast<unsigned __int128>(std::numeric_limits<int64_t>::max())
             ? std::numeric_limits<int64_t>::max()
             : static_cast<int64_t>(sectors);
}

int CSectorSizeDevice::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  m_lastError.Set(0);
  const int64_t parentSize = m_parent != nullptr ? m_parent->GetSectorSize() : 0;
  int64_t offset = 0;
  int64_t bytes = 0;
  int64_t base = 0;
  if (buffer == nullptr || parentSize <= 0 ||
      !geometry::ByteRange(firstSector, sectorCount, m_sectorSize, offset, bytes) ||
      __builtin_mul_overflow(m_parentStart, parentSize, &base) || __builtin_add_overflow(offset, base, &offset) ||
      offset > std::numeric_limits<int64_t>::max() - bytes) {
    m_lastError.Set(devicecode::kReadBadArgument);
    return 0;
  }
  const int64_t first = offset / parentSize;
  const int64_t last = (offset + bytes - 1) / parentSize;
  int answer = 0;
  if (offset % parentSize == 0 && bytes % parentSize == 0) {
    answer = m_parent->ReadSector(buffer, first, last - first + 1);
  } else {
    std::vector<uint8_t> scratch;
    try {
      scratch.resize(static_cast<size_t>((last - first + 1) * parentSize));
    } catch (const std::bad_alloc&) {
      m_lastError.Set(devicecode::kReadFailed);
      return 0;
    }
    answer = m_parent->ReadSector(scratch.data(), first, last - first + 1);
    if (answer != 0 || unreadable::IsSalvaged(m_parent->GetLastError())) {
      std::memcpy(buffer, scratch.data() + (offset - first * parentSize), static_cast<size_t>(bytes));
    }
  }
  if (answer == 0) {
    const ResultCode code = m_parent->GetLastError();
    m_lastError.Set(result::IsFailure(code) ? code : devicecode::kReadFailed);
  }
  return answer;
}

void CSectorSizeDevice::FindUnreadable(int64_t first, int64_t count, SectorRuns& out) {
  const int64_t parentSize = m_parent != nullptr ? m_parent->GetSectorSize() : 0;
  int64_t offset = 0;
  int64_t bytes = 0;
  int64_t base = 0;
  if (parentSize <= 0 || !geometry::ByteRange(first, count, m_sectorSize, offset, bytes) ||
      __builtin_mul_overflow(m_parentStart, parentSize, &base) || __builtin_add_overflow(offset, base, &offset) ||
      offset > std::numeric_limits<int64_t>::max() - bytes) {
    return;
  }
  const int64_t parentFirst = offset / parentSize;
  const int64_t parentLast = (offset + bytes - 1) / parentSize;
  for (const auto& [at, length] : unreadable::Find(m_parent, parentFirst, parentLast - parentFirst + 1)) {
    // The view's sectors that meet these parent sectors, cut to the request.
    const int64_t from = std::max(offset, at * parentSize) - base;
    const int64_t to = std::min(offset + bytes, (at + length) * parentSize) - base;
    const int64_t viewFrom = from / m_sectorSize;
    const int64_t viewTo = (to + m_sectorSize - 1) / m_sectorSize;
    if (!out.empty() && out.back().first + out.back().second >= viewFrom) {
      out.back().second = std::max(out.back().second, viewTo - out.back().first);
    } else {
      out.emplace_back(viewFrom, viewTo - viewFrom);
    }
  }
}

int CSectorSizeDevice::IOCtl(uint64_t code, void* data) {
  return m_parent != nullptr ? m_parent->IOCtl(code, data) : 0;
}

IStorageDeviceData* CSectorSizeDevice::GetPrivateData() {
  return m_parent != nullptr ? m_parent->GetPrivateData() : nullptr;
}

void CSectorSizeDevice::SetPrivateData(IStorageDeviceData* data) {
  // The parent's record would set its sector size from this view's: a view
  // keeps none, so what it is given goes.
  if (data != nullptr) data->Release();
}

uint32_t CSectorSizeDevice::GetType() { return m_parent != nullptr ? m_parent->GetType() : STORAGE_DEVICE_CACHED; }
