#include "SearchedPartitionInfo.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "FileSystemSearchController.h"

namespace {

uint32_t SoundSectorSize(uint32_t sectorSize) { return (sectorSize == 0 || sectorSize % 512 != 0) ? 512 : sectorSize; }

template <class T>
void Put(uint8_t* out, size_t offset, T value) {
  uint64_t bits = 0;
  if constexpr (sizeof(T) == 8 && !std::is_integral_v<T>) {
    std::memcpy(&bits, &value, 8);
  } else {
    bits = static_cast<uint64_t>(value);
  }
  for (size_t i = 0; i < sizeof(T); ++i) out[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
}

template <class T>
T Get(const uint8_t* in, size_t offset) {
  uint64_t bits = 0;
  for (size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<uint64_t>(in[offset + i]) << (8 * i);
  if constexpr (sizeof(T) == 8 && !std::is_integral_v<T>) {
    T value;
    std::memcpy(&value, &bits, 8);
    return value;
  } else {
    return static_cast<T>(bits);
  }
}

}  // namespace

CSearchedPartitionInfo::CSearchedPartitionInfo(uint32_t sectorSize) : m_sectorSize(SoundSectorSize(sectorSize)) {}

int CSearchedPartitionInfo::GetType() const { return kType; }

void CSearchedPartitionInfo::SetSectorSize(uint32_t sectorSize) { m_sectorSize = SoundSectorSize(sectorSize); }

void CSearchedPartitionInfo::WriteRecord(uint8_t* out) const {
  std::memset(out, 0, kRecordSize);
  Put<uint16_t>(out, 16, m_partitionIndex);
  Put<uint32_t>(out, 20, static_cast<uint32_t>(m_fileSystemType));
  Put<uint32_t>(out, 24, m_sectorsPerCluster);
  Put<int64_t>(out, 32, m_firstDataSector);
  Put<int64_t>(out, 40, m_startSector);
  Put<int64_t>(out, 48, m_reserved48);
  Put<int64_t>(out, 56, m_matchedCount);
  Put<uint32_t>(out, 64, m_sectorSize);
  Put<uint32_t>(out, 68, m_reserved68);
  Put<uint64_t>(out, 72, m_totalSectors);
  Put<uint64_t>(out, 80, m_reliabilityScore);
  Put<double>(out, 88, m_orderWeight);
  Put<uint32_t>(out, 96, m_reserved96);
  Put<uint32_t>(out, 100, m_reserved100);
}

void CSearchedPartitionInfo::ReadRecord(const uint8_t* in) {
  m_privateData = nullptr;
  m_partitionIndex = Get<uint16_t>(in, 16);
  m_fileSystemType = static_cast<int>(Get<uint32_t>(in, 20));
  m_sectorsPerCluster = Get<uint32_t>(in, 24);
  m_firstDataSector = Get<int64_t>(in, 32);
  m_startSector = Get<int64_t>(in, 40);
  m_reserved48 = Get<int64_t>(in, 48);
  m_matchedCount = Get<int64_t>(in, 56);
  m_sectorSize = SoundSectorSize(Get<uint32_t>(in, 64));
  m_reserved68 = Get<uint32_t>(in, 68);
  m_totalSectors = Get<uint64_t>(in, 72);
  m_reliabilityScore = Get<uint64_t>(in, 80);
  m_orderWeight = Get<double>(in, 88);
  m_reserved96 = Get<uint32_t>(in, 96);
  m_reserved100 = Get<uint32_t>(in, 100);
}

std::vector<CSearchedPartitionInfo*> TakeSearchedPartitionInfo(IFileSystemSearchController* searcher, int firstQuery) {
  constexpr int kMost = 0xFFFF;
  std::vector<CSearchedPartitionInfo*> out;
  if (searcher == nullptr || firstQuery < 1) return out;
  std::vector<CSearchedPartitionInfo*> found(static_cast<size_t>(firstQuery), nullptr);
  int count = searcher->GetSearchedPartitionInfo(found.data(), firstQuery);
  if (count > firstQuery) {
    // The searcher tells how many it has: whatever it handed over already
    // goes before asking again with room for all.
    for (CSearchedPartitionInfo* record : found) delete record;
    const int capacity = std::min(count, kMost);
    found.assign(static_cast<size_t>(capacity), nullptr);
    count = std::min(searcher->GetSearchedPartitionInfo(found.data(), capacity), capacity);
  }
  for (size_t i = 0; i < found.size(); ++i) {
    if (found[i] == nullptr) continue;
    if (static_cast<int>(i) < count) {
      out.push_back(found[i]);
    } else {
      delete found[i];
    }
  }
  return out;
}
