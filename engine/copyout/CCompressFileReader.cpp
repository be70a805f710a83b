#include "copyout/CCompressFileReader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "FileNode.h"
#include "SearchedPartitionInfo.h"
#include "base/CatchExeception.h"
#include "copyout/DestinationFile.h"
#include "copyout/Lznt1.h"

#define COMPRESS_LOG(op) m_log.Log((op), __LINE__)

namespace {

struct UnitBuffers {
  std::unique_ptr<uint8_t[]> work;
  std::unique_ptr<uint8_t[]> out;
  bool Make() {
    work.reset(new (std::nothrow) uint8_t[CCompressFileReader::kMaxUnitBytes]);
    out.reset(new (std::nothrow) uint8_t[CCompressFileReader::kMaxUnitBytes]);
    return work != nullptr && out != nullptr;
  }
};

}  // namespace

CCompressFileReader::~CCompressFileReader() = default;

CCompressFileReader::CCompressFileReader(const CCompressFileReader& other)
    : CFileReader(other),
      m_placed(other.m_placed),
      m_sink(other.m_sink),
      m_memoryBuffer(other.m_memoryBuffer),
      m_memoryCapacity(other.m_memoryCapacity),
      m_memoryMode(other.m_memoryMode),
      m_memoryOffset(other.m_memoryOffset) {}

int CCompressFileReader::Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition) {
  if (CFileReader::Open(device, node, partition) == 0) return 0;
  if (m_clusterBytes > kMaxClusterBytes) {
    COMPRESS_LOG("Open");
    Close();
    return 0;
  }
  PlaceRuns(nullptr);
  return 1;
}

uint64_t CCompressFileReader::UnitsInRuns() const {
  if (!m_placed || m_placed->empty()) return 0;
  const PlacedRun& last = m_placed->back();
  const uint64_t end = std::min<uint64_t>(last.vcn + last.length, static_cast<uint64_t>(INT64_MAX));
  return end / kUnitClusters + (end % kUnitClusters != 0 ? 1 : 0);
}

uint64_t CCompressFileReader::NextUnitWithData(uint64_t index) const {
  if (!m_placed || index > static_cast<uint64_t>(INT64_MAX) / kUnitClusters) return UINT64_MAX;
  const uint64_t first = index * kUnitClusters;
  for (const PlacedRun& run : *m_placed) {
    if (run.lcn < 0 || run.vcn + run.length <= first) continue;
    return std::max(index, run.vcn / kUnitClusters);
  }
  return UINT64_MAX;
}

void CCompressFileReader::GetUnit(uint64_t index, Unit& unit) const {
  unit = Unit();
  if (!m_placed || index > static_cast<uint64_t>(INT64_MAX) / kUnitClusters) return;
  const uint64_t first = index * kUnitClusters;
  const uint64_t last = first + kUnitClusters;
  const std::vector<PlacedRun>& runs = *m_placed;
  // The run holding the unit's first cluster: the last that starts at or before it.
  auto it = std::upper_bound(runs.begin(), runs.end(), first,
                             [](uint64_t vcn, const PlacedRun& run) { return vcn < run.vcn; });
  if (it != runs.begin()) --it;
  bool anyData = false;
  for (; it != runs.end() && it->vcn < last; ++it) {
    const uint64_t runEnd = it->vcn + it->length;
    const uint64_t lo = std::max(it->vcn, first);
    const uint64_t hi = std::min(runEnd, last);
    if (hi <= lo) continue;
    tagCompressDataRun& piece = unit.pieces[unit.pieceCount++];
    piece.length = static_cast<uint32_t>(hi - lo);
    if (it->lcn < 0) {
      piece.s64LCN = -1;
    } else {
      int64_t lcn;
      // A run so far out that its clusters cannot be numbered reads as zeros.
      piece.s64LCN = __builtin_add_overflow(it->lcn, static_cast<int64_t>(lo - it->vcn), &lcn) ? 0 : lcn;
      anyData = true;
    }
    unit.clusters += piece.length;
  }
  if (!anyData) {
    unit.eType = SPARSE_UNIT;
  } else if (unit.clusters == kUnitClusters && unit.pieces[unit.pieceCount - 1].s64LCN < 0) {
    unit.eType = COMPRESSED_UNIT;
  } else {
    unit.eType = NONECOMPRESSED_UNIT;
  }
  for (uint32_t i = 0; i < unit.pieceCount; ++i) unit.pieces[i].eType = unit.eType;
}

void CCompressFileReader::ReGroupCompressDataRunList(std::list<tagCompressDataRun>& pieces, uint64_t maxUnits) const {
  const uint64_t units = std::min(UnitsInRuns(), maxUnits);
  Unit unit;
  for (uint64_t index = 0; index < units; ++index) {
    GetUnit(index, unit);
    pieces.insert(pieces.end(), unit.pieces, unit.pieces + unit.pieceCount);
  }
}

bool CCompressFileReader::ReadClusters(const tagCompressDataRun& piece, uint8_t* out) {
  uint64_t offset;
  // A cluster number read from disk can be large enough for its byte offset
  // to wrap round to the start of the volume.
  if (piece.s64LCN < 0 ||
      __builtin_mul_overflow(static_cast<uint64_t>(piece.s64LCN), uint64_t{m_clusterBytes}, &offset)) {
    return false;
  }
  return ReadFromDataArea(offset, out, uint64_t{piece.length} * m_clusterBytes);
}

void CCompressFileReader::RecoverCompressFileSparseUnit(uint8_t* out) const { std::memset(out, 0, UnitBytes()); }

void CCompressFileReader::RecoverCompressFileUnCompressUnit(const Unit& unit, uint8_t* out) {
  std::memset(out, 0, UnitBytes());
  uint64_t at = 0;
  for (uint32_t i = 0; i < unit.pieceCount; ++i) {
    const tagCompressDataRun& piece = unit.pieces[i];
    const uint64_t bytes = uint64_t{piece.length} * m_clusterBytes;
    // Cluster 0 holds the boot sector, never file data: a piece there is
    // damage and reads as zeros, like a sparse one.
    if (piece.s64LCN > 0 && !ReadClusters(piece, out + at)) {
      COMPRESS_LOG("RecoverCompressFileUnCompressUnit");
      std::memset(out + at, 0, bytes);
      m_unitLost = true;
    }
    at += bytes;
  }
}

void CCompressFileReader::RecoverCompressFileCompressUnit(const Unit& unit, uint8_t* work, uint8_t* out) {
  std::memset(out, 0, UnitBytes());
  uint64_t read = 0;
  for (uint32_t i = 0; i < unit.pieceCount; ++i) {
    const tagCompressDataRun& piece = unit.pieces[i];
    if (piece.s64LCN < 0) continue;
    if (piece.s64LCN == 0) {
      COMPRESS_LOG("RecoverCompressFileCompressUnit");
      m_unitLost = true;
      return;  // a damaged unit: zeros
    }
    const uint64_t bytes = uint64_t{piece.length} * m_clusterBytes;
    if (!ReadClusters(piece, work + read)) {
      COMPRESS_LOG("RecoverCompressFileCompressUnit");
      std::memset(work + read, 0, bytes);
      m_unitLost = true;
    }
    read += bytes;
  }
  if (read < 2) return;
  if (work[0] == 0 && work[1] == 0) {
    // No chunk header: the unit is given as it lies on disk.
    std::memcpy(out, work, read);
    return;
  }
  lznt1::DecompressUnit(work, read, out, UnitBytes());
}

void CCompressFileReader::DecodeUnit(const Unit& unit, uint8_t* work, uint8_t* out) {
  switch (unit.eType) {
    case COMPRESSED_UNIT:
      RecoverCompressFileCompressUnit(unit, work, out);
      break;
    case NONECOMPRESSED_UNIT:
      RecoverCompressFileUnCompressUnit(unit, out);
      break;
    default:
      RecoverCompressFileSparseUnit(out);
      break;
  }
}

void CCompressFileReader::PlaceRuns(IDataRunList* list) {
  auto placed = std::make_shared<std::vector<PlacedRun>>();
  uint64_t vcn = 0;
  std::vector<DataRun> runs;
  if (list == nullptr) {
    runs = Runs();
  } else {
    for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) runs.push_back(*run);
  }
  for (const DataRun& run : runs) {
    if (run.length <= 0) continue;
    const uint64_t length = static_cast<uint64_t>(run.length);
    placed->push_back({vcn, length, run.start});
    // Runs past 2^63 clusters lie beyond any file; the rest is dropped.
    if (__builtin_add_overflow(vcn, length, &vcn) || vcn > static_cast<uint64_t>(INT64_MAX)) break;
  }
  m_placed = std::move(placed);
}

ResultCode CCompressFileReader::RecoverCompressFile(uint64_t size, bool& stopped) {
  stopped = false;
  UnitBuffers buffers;
  if (!buffers.Make()) {
    COMPRESS_LOG("RecoverCompressFile");
    return RESULT_FAILURE(result::kModuleCopyOut, result::kErrIO);
  }
  const ResultCode shortWrite = RESULT_FAILURE(result::kModuleCopyOut, result::kErrShortWrite);
  const uint64_t unitBytes = UnitBytes();
  _PROGRESS_INFO record;
  record.status = PROGRESS_STATUS_RUNNING;
  record.total = static_cast<uint64_t>(m_fileSize);
  uint64_t index = 0;
  for (uint64_t position = 0; position < size; position += unitBytes, ++index) {
    const uint64_t count = std::min(unitBytes, size - position);
    Unit unit;
    GetUnit(index, unit);
    if (m_memoryMode) {
      if (m_memoryBuffer == nullptr || m_memoryOffset >= static_cast<uint64_t>(m_memoryCapacity)) break;
      const uint64_t room = static_cast<uint64_t>(m_memoryCapacity) - m_memoryOffset;
      DecodeUnit(unit, buffers.work.get(), buffers.out.get());
      const uint64_t n = std::min(count, room);
      std::memcpy(m_memoryBuffer + m_memoryOffset, buffers.out.get(), n);
      m_memoryOffset += static_cast<uint32_t>(n);
    } else {
      if (m_sink != nullptr && m_sink->Continued() == 0) {
        stopped = true;
        return 0;
      }
      // Sparse units and whatever lies past the runs are zeros: the final
      // length leaves them as holes of the destination. A long stretch of
      // them (or a damaged size far past the runs) is passed over at once.
      if (unit.eType == SPARSE_UNIT) {
        const uint64_t next = NextUnitWithData(index + 1);
        if (next > index + 1) {
          const uint64_t skip = next - index - 1;
          if (skip >= (size - position) / unitBytes) break;
          index += skip;
          position += skip * unitBytes;
        }
      } else {
        DecodeUnit(unit, buffers.work.get(), buffers.out.get());
        const WriteOutcome outcome =
            RetryWhileFull([&] { return m_output->WriteAt(static_cast<int64_t>(position), buffers.out.get(), count); },
                           m_sink, record, shortWrite);
        if (outcome == WriteOutcome::kStopped) {
          stopped = true;
          return 0;
        }
        if (outcome == WriteOutcome::kNoSpace) return shortWrite;
        if (outcome == WriteOutcome::kTooLarge) return RESULT_FAILURE(result::kModuleCopyOut, result::kErrTooLarge);
        if (outcome != WriteOutcome::kWritten) {
          COMPRESS_LOG("RecoverCompressFile");
          return RESULT_FAILURE(result::kModuleCopyOut, result::kErrIO);
        }
      }
    }
    record.current = position + count;
    if (m_sink != nullptr) m_sink->UpdateProgress(&record);
  }
  return 0;
}

bool CCompressFileReader::DeCompressFile(IDataRunList* list, long long size) {
  if (list == nullptr || size < 0 || !IsOpen() || (!m_memoryMode && (!m_output || !m_output->IsOpen()))) {
    COMPRESS_LOG("DeCompressFile");
    return false;
  }
  PlaceRuns(list);
  bool stopped = false;
  return result::IsSuccess(RecoverCompressFile(static_cast<uint64_t>(size), stopped));
}

ResultCode CCompressFileReader::RecoverToFile(const char* path, IProgress* sink, bool& fallback) {
  m_output = std::make_unique<CDestinationFile>();
  if (!m_output->Open(path)) {
    COMPRESS_LOG("Recovery");
    m_output.reset();
    return RESULT_FAILURE(result::kModuleCopyOut, result::kErrDestinationNotOpened);
  }
  // The destination is closed (and its close checked) before this returns,
  // whatever happens: a file left open would hide a late write failure.
  struct CloseOnReturn {
    std::unique_ptr<CDestinationFile>& output;
    ~CloseOnReturn() { output.reset(); }
  } closeOnReturn{m_output};
  if (!IsOpen()) {
    COMPRESS_LOG("Recovery");
    return RESULT_FAILURE(result::kModuleCopyOut, result::kErrIO);
  }
  m_sink = sink;
  m_memoryMode = false;
  if (IsResidentList()) {
    fallback = true;
    return 0;
  }
  fallback = false;
  const uint64_t size = static_cast<uint64_t>(m_fileSize);
  bool stopped = false;
  m_unitLost = false;
  const ResultCode code = RecoverCompressFile(size, stopped);
  if (stopped || result::IsFailure(code)) return code;
  _PROGRESS_INFO record;
  record.status = PROGRESS_STATUS_RUNNING;
  record.total = record.current = size;
  const ResultCode shortWrite = RESULT_FAILURE(result::kModuleCopyOut, result::kErrShortWrite);
  const WriteOutcome sized =
      RetryWhileFull([&] { return m_output->SetSize(static_cast<int64_t>(size)); }, sink, record, shortWrite);
  if (sized == WriteOutcome::kStopped) return 0;
  if (sized == WriteOutcome::kNoSpace) return shortWrite;
  if (sized == WriteOutcome::kTooLarge) return RESULT_FAILURE(result::kModuleCopyOut, result::kErrTooLarge);
  if (sized != WriteOutcome::kWritten || !m_output->Close()) {
    COMPRESS_LOG("Recovery");
    return RESULT_FAILURE(result::kModuleCopyOut, result::kErrIO);
  }
  // A unit that could not be read, runs that end before the file does, or
  // runs or a size the scan could not vouch for (IsContentIncomplete, as
  // the plain reader answers it): the copy is not the file.
  if (m_unitLost || GetDescribedBytes() < size || IsContentIncomplete() != 0) {
    return RESULT_FAILURE(result::kModuleCopyOut, result::kErrIncomplete);
  }
  return 0;
}

bool CCompressFileReader::Recovery(const char* path, IProgress* sink, bool& fallback) {
  const ResultCode code = RecoverToFile(path, sink, fallback);
  return result::IsSuccess(code);
}

bool CCompressFileReader::Recovery(char* buffer, int capacity, IProgress* sink) {
  if (buffer == nullptr || capacity < 0 || !IsOpen()) {
    COMPRESS_LOG("Recovery");
    return false;
  }
  m_sink = sink;
  m_memoryBuffer = buffer;
  m_memoryCapacity = capacity;
  m_memoryMode = true;
  m_memoryOffset = 0;
  // Never past the file: the tail of its last unit is not the file's.
  const int64_t wanted = std::min<int64_t>(capacity, m_fileSize);
  if (wanted <= 0) return true;
  if (IsResidentList()) {
    const unsigned int got = CFileReader::ReadData(0, buffer, static_cast<unsigned int>(wanted));
    if (got < wanted) std::memset(buffer + got, 0, static_cast<size_t>(wanted - got));
    m_memoryOffset = static_cast<uint32_t>(wanted);
    return got > 0;
  }
  bool stopped = false;
  return result::IsSuccess(RecoverCompressFile(static_cast<uint64_t>(wanted), stopped));
}

unsigned int CCompressFileReader::ReadData(long long offset, char* buffer, unsigned int length) {
  if (!IsOpen() || buffer == nullptr || offset < 0 || offset >= m_fileSize) return 0;
  if (IsResidentList()) return CFileReader::ReadData(offset, buffer, length);
  const uint64_t count = std::min<uint64_t>(length, static_cast<uint64_t>(m_fileSize - offset));
  UnitBuffers buffers;
  if (count == 0 || !buffers.Make()) return 0;
  const uint64_t unitBytes = UnitBytes();
  const uint64_t end = static_cast<uint64_t>(offset) + count;
  uint64_t position = static_cast<uint64_t>(offset);
  Unit unit;
  while (position < end) {
    const uint64_t inUnit = position % unitBytes;
    const uint64_t n = std::min(unitBytes - inUnit, end - position);
    GetUnit(position / unitBytes, unit);
    DecodeUnit(unit, buffers.work.get(), buffers.out.get());
    std::memcpy(buffer + (position - static_cast<uint64_t>(offset)), buffers.out.get() + inUnit, n);
    position += n;
  }
  return static_cast<unsigned int>(count);
}

IFileReader* CCompressFileReader::Clone() { return new (std::nothrow) CCompressFileReader(*this); }
