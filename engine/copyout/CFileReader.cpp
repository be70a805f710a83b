#include "copyout/CFileReader.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "FileNode.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "base/CatchExeception.h"
#include "device/SectorSizeDevice.h"

#define READER_LOG(op) m_log.Log((op), __LINE__)

namespace {

std::atomic<const ResidentDataReader*> g_residentReader{nullptr};

// Resident streams live inside one file record (1-4 KiB on real volumes);
// this is far more than any record can hold.
constexpr uint32_t kResidentCapacity = 64 * 1024;

uint32_t Le32At(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

// A loaded node's record sector may hold several file records (records of
// 1 KiB in a 4 KiB sector: a volume of 512-byte sectors on a device of larger
// ones, scanned in the device's sectors). The node's own is the one at its
// number's place for the record size the records there carry, and it must
// carry that number (kept at 0x2C by records whose update sequence starts at
// 0x30 or later): true with its byte position; false when no record there is
// the node's, with `*shared` telling whether the sector begins with a record
// smaller than itself (then none is read rather than another's). Node IDs
// carry the record number in their low 48 bits.
bool SharedRecordByte(IStorageDevice& device, int64_t sector, int64_t nodeID, bool* shared, uint64_t* byte) {
  *shared = false;
  const uint32_t sectorSize = device.GetSectorSize();
  if (sectorSize <= 512 || sector < 0 || sector >= device.GetTotalSectors()) return false;
  std::vector<uint8_t> bytes(sectorSize);
  if (device.ReadSector(bytes.data(), sector, 1) == 0) return false;
  const bool firstIsRecord = std::memcmp(bytes.data(), "FILE", 4) == 0;
  // A record as large as the sector, or larger: nothing shares it.
  if (firstIsRecord && Le32At(bytes.data() + 0x1C) >= sectorSize) return false;
  *shared = firstIsRecord;
  if (nodeID < 0) return false;
  const uint64_t number = static_cast<uint64_t>(nodeID) & 0x0000FFFFFFFFFFFFULL;
  for (const uint32_t recordSize : {1024u, 512u, 2048u}) {
    if (recordSize >= sectorSize || sectorSize % recordSize != 0) continue;
    const size_t slot = static_cast<size_t>(number % (sectorSize / recordSize)) * recordSize;
    const uint8_t* record = bytes.data() + slot;
    const uint32_t sequenceOffset = uint32_t{record[4]} | uint32_t{record[5]} << 8;
    if (std::memcmp(record, "FILE", 4) != 0 || Le32At(record + 0x1C) != recordSize || sequenceOffset < 0x30 ||
        Le32At(record + 0x2C) != (number & 0xFFFFFFFF)) {
      continue;
    }
    *shared = true;
    *byte = static_cast<uint64_t>(sector) * sectorSize + slot;
    return true;
  }
  return false;
}

}  // namespace

void SetResidentDataReader(const ResidentDataReader* reader) {
  g_residentReader.store(reader, std::memory_order_release);
}

const ResidentDataReader* GetResidentDataReader() { return g_residentReader.load(std::memory_order_acquire); }

CFileReader::~CFileReader() { Close(); }

int CFileReader::Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition) {
  if (device == nullptr || node == nullptr || partition == nullptr) {
    READER_LOG("Open");
    return 0;
  }
  const uint64_t clusterBytes = uint64_t{partition->GetSectorsperCluster()} * partition->GetSectorSize();
  const uint64_t size = node->GetFileSize();
  IDataRunList* list = node->GetDataRunList();
  if (clusterBytes == 0 || clusterBytes > UINT32_MAX) {
    READER_LOG("Open");
    return 0;
  }
  if (size == 0 || size > static_cast<uint64_t>(INT64_MAX)) {
    READER_LOG("Open");
    return 0;
  }
  if (list == nullptr) {
    READER_LOG("Open");
    return 0;
  }
  auto runs = std::make_shared<std::vector<DataRun>>();
  for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) runs->push_back(*run);

  m_dataRunList = list;
  m_device = device;
  m_node = node;
  m_clusterBytes = static_cast<uint32_t>(clusterBytes);
  m_sectorsPerCluster = partition->GetSectorsperCluster();
  m_firstDataSector = partition->GetFirstDataSector();
  m_dataSectorSize = partition->GetSectorSize();
  m_fileSize = static_cast<int64_t>(size);
  m_runs = std::move(runs);
  m_resident = list->IsResident() != 0;
  // A size cut to the runs may be short of the file's own: not vouched for
  // either.
  m_unsure = node->IsContentUnsure() || node->IsSizeDamaged();
  return 1;
}

void CFileReader::Close() {
  m_device = nullptr;
  m_node = nullptr;
}

const std::vector<DataRun>& CFileReader::Runs() const {
  static const std::vector<DataRun> kNone;
  return m_runs ? *m_runs : kNone;
}

uint32_t CFileReader::DeviceSectorSize() const {
  const uint32_t size = m_device != nullptr ? m_device->GetSectorSize() : 0;
  return size != 0 ? size : 512;
}

bool CFileReader::ReadSectors(uint8_t* out, int64_t sector, int64_t count) {
  if (m_device->ReadSector(out, sector, count) != 0) return true;
  // A failing medium gave all but a few sectors: the file gets what could be
  // read, zeros for the rest, and is not vouched for.
  if (!unreadable::IsSalvaged(m_device->GetLastError())) return false;
  m_lost.flag.store(true, std::memory_order_relaxed);
  return true;
}

bool CFileReader::ReadFromDataArea(uint64_t byteOffset, uint8_t* out, size_t count) {
  if (m_device == nullptr || m_firstDataSector < 0) return false;
  const uint64_t sectorSize = DeviceSectorSize();
  const uint64_t dataSectorSize = m_dataSectorSize != 0 ? m_dataSectorSize : sectorSize;
  uint64_t base;
  uint64_t position;
  if (__builtin_mul_overflow(static_cast<uint64_t>(m_firstDataSector), dataSectorSize, &base) ||
      __builtin_add_overflow(base, byteOffset, &position) || position > static_cast<uint64_t>(INT64_MAX)) {
    return false;
  }
  int64_t sector = static_cast<int64_t>(position / sectorSize);
  size_t skip = static_cast<size_t>(position % sectorSize);
  std::vector<uint8_t> scratch;
  while (count > 0) {
    if (skip != 0 || count < sectorSize) {
      // A partial sector goes through a scratch sector, so that nothing is
      // written past the caller's bytes.
      if (scratch.empty()) scratch.resize(sectorSize);
      if (!ReadSectors(scratch.data(), sector, 1)) return false;
      const size_t n = std::min<size_t>(sectorSize - skip, count);
      std::memcpy(out, scratch.data() + skip, n);
      out += n;
      count -= n;
      skip = 0;
      ++sector;
      continue;
    }
    const uint64_t whole = count / sectorSize;
    if (!ReadSectors(out, sector, static_cast<int64_t>(whole))) return false;
    out += whole * sectorSize;
    count -= whole * sectorSize;
    sector += static_cast<int64_t>(whole);
  }
  return true;
}

int CFileReader::Read(long long offset, unsigned char* buffer, int length, int& got) {
  if (m_device == nullptr || m_node == nullptr || buffer == nullptr || length < 0) {
    READER_LOG("Read");
    return 0;
  }
  if (offset < 0 || offset >= m_fileSize) {
    READER_LOG("Read");
    return 0;
  }
  if (length > m_fileSize - offset) length = static_cast<int>(m_fileSize - offset);
  got = 0;
  if (m_resident) return ReadResidentData(offset, buffer, length, got);

  const uint64_t clusterBytes = m_clusterBytes;
  const uint64_t end = static_cast<uint64_t>(offset) + static_cast<uint64_t>(length);
  uint64_t position = static_cast<uint64_t>(offset);
  uint64_t runFileStart = 0;  // file offset of the current run's first byte
  for (const DataRun& run : Runs()) {
    if (position >= end) break;
    if (run.length <= 0) continue;
    uint64_t runBytes;
    uint64_t runFileEnd;
    if (__builtin_mul_overflow(static_cast<uint64_t>(run.length), clusterBytes, &runBytes) ||
        __builtin_add_overflow(runFileStart, runBytes, &runFileEnd)) {
      runFileEnd = UINT64_MAX;  // runs this long reach past any file
    }
    if (runFileEnd > position) {
      const uint64_t n = std::min(runFileEnd, end) - position;
      unsigned char* target = buffer + got;
      if (run.IsSparse()) {
        std::memset(target, 0, n);
      } else {
        uint64_t deviceOffset;
        if (__builtin_mul_overflow(static_cast<uint64_t>(run.start), clusterBytes, &deviceOffset) ||
            __builtin_add_overflow(deviceOffset, position - runFileStart, &deviceOffset) ||
            !ReadFromDataArea(deviceOffset, target, n)) {
          READER_LOG("Read");
          return 0;
        }
      }
      got += static_cast<int>(n);
      position += n;
    }
    runFileStart = runFileEnd;
    if (runFileStart == UINT64_MAX) break;
  }
  return 1;
}

int CFileReader::ReadResidentData(long long offset, unsigned char* buffer, int length, int& got) {
  const ResidentDataReader* hook = GetResidentDataReader();
  if (hook == nullptr || m_device == nullptr || m_node == nullptr || buffer == nullptr || offset < 0) {
    READER_LOG("ReadResidentData");
    return 0;
  }
  std::vector<uint8_t> stream;
  try {
    stream.resize(kResidentCapacity);
  } catch (const std::bad_alloc&) {
    READER_LOG("ReadResidentData");
    return 0;
  }
  // The record's sector counts in the volume's sectors, which a complete
  // scan may have counted in 512-byte ones on a device of larger sectors.
  IStorageDevice* device = m_device;
  std::unique_ptr<CSectorSizeDevice> view;
  if (m_dataSectorSize != 0 && m_dataSectorSize != m_device->GetSectorSize() &&
      CSectorSizeDevice::IsUsableSectorSize(m_dataSectorSize)) {
    view.reset(new (std::nothrow) CSectorSizeDevice(m_device, m_dataSectorSize, 0));
    if (view == nullptr) {
      READER_LOG("ReadResidentData");
      return 0;
    }
    device = view.get();
  }
  int64_t streamLength = 0;
  uint32_t copied = 0;
  if (hook->isNTFSNode != nullptr && hook->isNTFSNode(m_node)) {
    if (hook->fromNode != nullptr)
      copied = hook->fromNode(*m_node, *device, &streamLength, stream.data(), kResidentCapacity);
  } else {
    // A list restored from a saved scan result: its first run's start holds
    // the sector of the file record.
    if (Runs().empty() || Runs().front().start < 0 || hook->fromRecordSector == nullptr) {
      READER_LOG("ReadResidentData");
      return 0;
    }
    uint64_t sector = static_cast<uint64_t>(Runs().front().start);
    bool shared = false;
    uint64_t byte = 0;
    std::unique_ptr<CSectorSizeDevice> fine;
    if (SharedRecordByte(*device, static_cast<int64_t>(sector), m_node->GetCurrentNodeID(), &shared, &byte)) {
      // The record is read where it starts, in 512-byte sectors.
      fine.reset(new (std::nothrow) CSectorSizeDevice(device, 512, 0));
      if (fine == nullptr) {
        READER_LOG("ReadResidentData");
        return 0;
      }
      device = fine.get();
      sector = byte / 512;
    } else if (shared) {
      READER_LOG("ReadResidentData");
      return 0;
    }
    copied = hook->fromRecordSector(sector, *device, &streamLength, stream.data(), kResidentCapacity);
  }
  if (copied == 0) {
    READER_LOG("ReadResidentData");
    return 0;
  }
  const int64_t available = std::min<int64_t>({streamLength, int64_t{copied}, int64_t{kResidentCapacity}});
  if (available - offset <= 0) {
    READER_LOG("ReadResidentData");
    return 0;
  }
  const int64_t n = std::min<int64_t>(available - offset, length);
  if (n > 0) std::memcpy(buffer, stream.data() + offset, static_cast<size_t>(n));
  got = static_cast<int>(n);
  return 1;
}

unsigned int CFileReader::ReadData(long long offset, char* buffer, unsigned int length) {
  // Keeps the count inside int and whole sectors.
  const unsigned int limit = 0x7FFFF000u;
  int got = 0;
  const int asked = static_cast<int>(std::min(length, limit));
  if (Read(offset, reinterpret_cast<unsigned char*>(buffer), asked, got) == 0) return 0;
  return static_cast<unsigned int>(got);
}

uint64_t CFileReader::GetDescribedBytes() const {
  if (m_resident) return INT64_MAX;
  uint64_t total = 0;
  for (const DataRun& run : Runs()) {
    if (run.length <= 0) continue;
    uint64_t bytes;
    if (__builtin_mul_overflow(static_cast<uint64_t>(run.length), uint64_t{m_clusterBytes}, &bytes) ||
        __builtin_add_overflow(total, bytes, &total)) {
      return UINT64_MAX;
    }
  }
  return total;
}

bool CFileReader::IsHole(uint64_t offset, uint64_t length) const {
  if (m_resident || length == 0) return false;
  uint64_t end;
  if (__builtin_add_overflow(offset, length, &end)) end = UINT64_MAX;
  return NextStoredOffset(offset) >= end;
}

uint64_t CFileReader::NextStoredOffset(uint64_t offset) const {
  if (m_resident) return offset;
  uint64_t runStart = 0;
  for (const DataRun& run : Runs()) {
    if (run.length <= 0) continue;
    uint64_t bytes;
    uint64_t runEnd;
    if (__builtin_mul_overflow(static_cast<uint64_t>(run.length), uint64_t{m_clusterBytes}, &bytes) ||
        __builtin_add_overflow(runStart, bytes, &runEnd)) {
      runEnd = UINT64_MAX;
    }
    if (runEnd > offset && !run.IsSparse()) return std::max(runStart, offset);
    if (runEnd == UINT64_MAX) break;
    runStart = runEnd;
  }
  return UINT64_MAX;
}

IFileReader* CFileReader::Clone() { return new (std::nothrow) CFileReader(*this); }

int64_t CFileReader::GetDataSize() const { return m_node != nullptr ? m_fileSize : 0; }

int CFileReader::IsContentIncomplete() { return m_unsure || m_lost.flag.load(std::memory_order_relaxed) ? 1 : 0; }

int CFileReader::IsCompressFile() { return m_node != nullptr ? m_node->IsCompressed() : 0; }

void CFileReader::Release() { delete this; }
