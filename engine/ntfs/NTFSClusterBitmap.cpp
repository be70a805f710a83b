#include "ntfs/NTFSClusterBitmap.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMultiFileRecord.h"

namespace {

constexpr int64_t kBitmapRecord = 6;

}  // namespace

std::unique_ptr<CNTFSClusterBitmap> CNTFSClusterBitmap::Load(IStorageDevice& device, int64_t volumeStart,
                                                             uint32_t sectorsPerCluster, uint32_t recordBytes,
                                                             const CNTFSDataRunList& mftRuns, uint64_t clusters) {
  const uint32_t sectorSize = device.GetSectorSize();
  if (sectorSize == 0 || sectorsPerCluster == 0 || sectorsPerCluster > 255 || clusters == 0 || volumeStart < 0 ||
      recordBytes < 1024 || recordBytes > 4096) {
    return nullptr;
  }
  const uint64_t clusterBytes = uint64_t{sectorsPerCluster} * sectorSize;
  uint64_t volumeBytes;
  if (__builtin_mul_overflow(clusters, clusterBytes, &volumeBytes) || volumeBytes > INT64_MAX) return nullptr;

  // Record 6, where the format puts the bitmap's record.
  const bool shared = recordBytes < sectorSize;
  if (shared ? sectorSize % recordBytes != 0 : recordBytes % sectorSize != 0) return nullptr;
  const uint32_t spr = shared ? 0 : recordBytes / sectorSize;
  const uint32_t rps = shared ? sectorSize / recordBytes : 1;
  const auto spc = static_cast<uint8_t>(sectorsPerCluster);
  const int64_t sector = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(
      kBitmapRecord, spc, volumeStart, &mftRuns, static_cast<uint8_t>(spr), rps);
  if (sector < 0 || sector >= device.GetTotalSectors()) return nullptr;
  std::vector<uint8_t> read(std::max(recordBytes, sectorSize), 0);
  if (device.ReadSector(read.data(), sector, shared ? 1 : spr) == 0) {
    // The record lies on sectors the medium could not give: every bit is
    // lost, which is not the same as a bitmap nobody can believe.
    if (!unreadable::IsSalvaged(device.GetLastError())) return nullptr;
    std::unique_ptr<CNTFSClusterBitmap> lost(new (std::nothrow) CNTFSClusterBitmap());
    if (lost != nullptr) {
      lost->m_clusters = clusters;
      lost->m_allLost = true;
    }
    return lost;
  }
  std::vector<uint8_t> record(read.begin() + (shared ? (kBitmapRecord % rps) * recordBytes : 0),
                              read.begin() + (shared ? (kBitmapRecord % rps) * recordBytes : 0) + recordBytes);
  const int size = static_cast<int>(recordBytes);
  {
    CNTFSFileRecord view(record.data(), size, 0);
    if (!view.IsValid() || !view.IsUpdateSequenceUndone() || !view.IsinUse() || view.IsExtendFileRecord()) {
      return nullptr;
    }
    if (view.HasXPNumberOfthisMFTRecord() && view.GetXPNumberOfthisMFTRecord() != kBitmapRecord) return nullptr;
  }
  auto extensions = CNTFSMultiFileRecord::InitExtendFileRecord(record.data(), recordBytes, sector, spc, volumeStart,
                                                               device, &mftRuns, static_cast<uint8_t>(spr), rps);
  CNTFSMultiFileRecord set(record.data(), recordBytes, sector, &device, extensions.get(), kBitmapRecord);
  int64_t parent = -1;
  std::unique_ptr<CNTFSFileProperties> properties(CNTFSFilePropertiesBuilder::BuildFileProperties(
      sector, set, static_cast<int64_t>(clusterBytes), &parent, nullptr, volumeBytes));
  if (properties == nullptr || properties->GetFileName() == nullptr ||
      std::strcmp(properties->GetFileName(), "$Bitmap") != 0 || properties->IsSizeDamaged() ||
      (properties->GetState() & CNTFSFileProperties::kStateDeleted) != 0) {
    return nullptr;
  }
  const CCompressedDataRunList* packed = properties->GetCompressedDataRunList();
  if (packed == nullptr || packed->GetResidentOffset() != 0) return nullptr;
  // A bit for every cluster, and no more than a little padding beyond.
  const uint64_t need = (clusters + 7) / 8;
  const auto streamBytes = static_cast<uint64_t>(properties->GetSize());
  if (streamBytes < need || streamBytes - need > clusterBytes + 8) return nullptr;

  std::unique_ptr<CNTFSClusterBitmap> bitmap(new (std::nothrow) CNTFSClusterBitmap());
  if (bitmap == nullptr) return nullptr;
  bitmap->m_device = &device;
  bitmap->m_volumeStart = volumeStart;
  bitmap->m_sectorSize = sectorSize;
  bitmap->m_sectorsPerCluster = sectorsPerCluster;
  bitmap->m_clusters = clusters;
  bitmap->m_streamBytes = streamBytes;
  if (IDataRunList* list = properties->GetDataRunList()) {
    for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
      // The bitmap has no holes: a hole is damage.
      if (run->IsSparse() || run->length <= 0) {
        list->Release();
        return nullptr;
      }
      bitmap->m_runs.push_back(*run);
    }
    list->Release();
  }
  uint64_t held = 0;
  for (const DataRun& run : bitmap->m_runs) held += static_cast<uint64_t>(run.length) * clusterBytes;
  if (held < streamBytes) return nullptr;

  // Believable only when what every volume holds is set: the boot sector,
  // the first records of the table, the bitmap's own clusters.
  // Bits the medium lost neither confirm nor disprove it.
  const auto holds = [&bitmap](int64_t lcn, int64_t count) {
    const int all = bitmap->AllInUse(lcn, count);
    return all == 1 || all == kLost;
  };
  if (!holds(0, 1)) return nullptr;
  const int64_t mftFirst = mftRuns.GetLCN(0);
  if (mftFirst < 0 || !holds(mftFirst, 1)) return nullptr;
  for (const DataRun& run : bitmap->m_runs) {
    if (!holds(run.start, run.length)) return nullptr;
  }
  return bitmap;
}

size_t CNTFSClusterBitmap::GetBytesHeld() const {
  std::lock_guard<std::mutex> held(m_lock);
  size_t bytes = 0;
  for (const auto& piece : m_pieces) bytes += piece->bytes.capacity();
  return bytes;
}

size_t CNTFSClusterBitmap::GetPiecesRead() const {
  std::lock_guard<std::mutex> held(m_lock);
  return m_piecesRead;
}

bool CNTFSClusterBitmap::ReadStream(uint64_t offset, uint8_t* out, uint32_t bytes,
                                    std::vector<std::pair<uint32_t, uint32_t>>* lost) {
  const uint64_t clusterBytes = uint64_t{m_sectorsPerCluster} * m_sectorSize;
  uint64_t runStart = 0;  // stream byte where the run begins
  uint32_t done = 0;
  std::vector<uint8_t> buffer;
  SectorRuns gone;
  for (const DataRun& run : m_runs) {
    const uint64_t runBytes = static_cast<uint64_t>(run.length) * clusterBytes;
    if (offset + done >= runStart + runBytes) {
      runStart += runBytes;
      continue;
    }
    while (done < bytes && offset + done < runStart + runBytes) {
      const uint64_t inRun = offset + done - runStart;
      // Whole sectors from the run; the stream offsets asked are sector
      // aligned, and so are the pieces' lengths but the last.
      const uint64_t sector = static_cast<uint64_t>(m_volumeStart) +
                              static_cast<uint64_t>(run.start) * m_sectorsPerCluster + inRun / m_sectorSize;
      const uint64_t left = std::min<uint64_t>(bytes - done, runStart + runBytes - (offset + done));
      const uint64_t sectors = std::min<uint64_t>((left + m_sectorSize - 1) / m_sectorSize, 128);
      if (sector + sectors > static_cast<uint64_t>(m_device->GetTotalSectors())) return false;
      buffer.resize(sectors * m_sectorSize);
      gone.clear();
      const bool read = lost != nullptr ? unreadable::ReadAround(m_device, buffer.data(), static_cast<int64_t>(sector),
                                                                 static_cast<int64_t>(sectors), gone)
                                        : m_device->ReadSector(buffer.data(), static_cast<int64_t>(sector),
                                                               static_cast<int64_t>(sectors)) != 0;
      if (!read) return false;
      const uint64_t take = std::min<uint64_t>(left, sectors * m_sectorSize);
      std::memcpy(out + done, buffer.data(), take);
      // The bytes of the sectors the medium could not give, in `out`.
      for (const auto& [first, count] : gone) {
        const uint64_t from = static_cast<uint64_t>(std::max<int64_t>(first - static_cast<int64_t>(sector), 0));
        const uint64_t to = static_cast<uint64_t>(first + count - static_cast<int64_t>(sector));
        const uint64_t a = std::min(from * m_sectorSize, take), b = std::min(to * m_sectorSize, take);
        if (b > a) lost->emplace_back(done + static_cast<uint32_t>(a), done + static_cast<uint32_t>(b));
      }
      done += static_cast<uint32_t>(take);
    }
    if (done == bytes) return true;
    runStart += runBytes;
  }
  return done == bytes;
}

std::shared_ptr<const CNTFSClusterBitmap::Piece> CNTFSClusterBitmap::PieceAt(uint64_t index) {
  std::lock_guard<std::mutex> held(m_lock);
  auto known = m_byIndex.find(index);
  if (known != m_byIndex.end()) {
    m_pieces.splice(m_pieces.begin(), m_pieces, known->second);
    return (*known->second)->readable ? *known->second : nullptr;
  }
  const uint64_t offset = index * kPieceBytes;
  if (offset >= m_streamBytes) return nullptr;
  if (m_pieces.size() >= kMaxPieces) {
    m_byIndex.erase(m_pieces.back()->index);
    m_pieces.pop_back();
  }
  std::shared_ptr<Piece> piece;
  const auto bytes = static_cast<uint32_t>(std::min<uint64_t>(kPieceBytes, m_streamBytes - offset));
  try {
    piece = std::make_shared<Piece>();
    piece->bytes.assign(bytes, 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  piece->index = index;
  ++m_piecesRead;
  piece->readable = ReadStream(offset, piece->bytes.data(), bytes, &piece->lost);
  // An unreadable piece is remembered as such, without its bytes.
  if (!piece->readable) piece->bytes = std::vector<uint8_t>();
  // A piece with lost bytes is looked at bit by bit, around them.
  if (piece->readable && piece->lost.empty()) {
    piece->allClear = std::all_of(piece->bytes.begin(), piece->bytes.end(), [](uint8_t b) { return b == 0; });
    piece->allSet = std::all_of(piece->bytes.begin(), piece->bytes.end(), [](uint8_t b) { return b == 0xFF; });
  }
  m_pieces.push_front(piece);
  m_byIndex[index] = m_pieces.begin();
  return piece->readable ? piece : nullptr;
}

namespace {

// Whether bits [from, to) of `bytes` (bit 0 the low bit of byte 0) hold a
// set bit (`any`) or a clear one (otherwise): single bits up to a whole
// word, then whole words, then the bits left.
bool FindsBit(const std::vector<uint8_t>& bytes, uint64_t from, uint64_t to, bool any) {
  const auto bitAt = [&bytes](uint64_t at) { return (bytes[at / 8] >> (at % 8) & 1) != 0; };
  uint64_t at = from;
  for (; at < to && at % 64 != 0; ++at) {
    if (bitAt(at) == any) return true;
  }
  const uint64_t none = any ? 0 : UINT64_MAX;
  for (; at + 64 <= to; at += 64) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + at / 8, sizeof word);
    if (word != none) return true;
  }
  for (; at < to; ++at) {
    if (bitAt(at) == any) return true;
  }
  return false;
}

}  // namespace

template <typename PieceSource>
int CNTFSClusterBitmap::Scan(int64_t lcn, int64_t count, bool any, PieceSource&& pieceAt) const {
  if (lcn < 0 || count <= 0 || static_cast<uint64_t>(lcn) >= m_clusters ||
      static_cast<uint64_t>(count) > m_clusters - static_cast<uint64_t>(lcn)) {
    return -1;
  }
  if (m_allLost) return kLost;
  constexpr uint64_t kPieceBits = uint64_t{kPieceBytes} * 8;
  uint64_t bit = static_cast<uint64_t>(lcn);
  const uint64_t end = bit + static_cast<uint64_t>(count);
  bool lost = false;
  while (bit < end) {
    const Piece* piece = pieceAt(bit / kPieceBits);
    if (piece == nullptr) return -1;
    const uint64_t pieceStart = bit / kPieceBits * kPieceBits;
    const uint64_t pieceEnd = std::min(end, pieceStart + kPieceBits);
    if (bit == pieceStart && pieceEnd - bit == piece->bytes.size() * 8 && piece->lost.empty()) {
      if (any ? !piece->allClear : !piece->allSet) return any ? 1 : 0;
      bit = pieceEnd;
      continue;
    }
    // The bits read, between those the medium lost.
    uint64_t at = bit - pieceStart;
    const uint64_t to = pieceEnd - pieceStart;
    for (const auto& [lostFrom, lostTo] : piece->lost) {
      const uint64_t a = uint64_t{lostFrom} * 8, b = uint64_t{lostTo} * 8;
      if (b <= at) continue;
      if (a >= to) break;
      if (a > at && FindsBit(piece->bytes, at, a, any)) return any ? 1 : 0;
      lost = true;
      at = std::min(b, to);
    }
    if (at < to && FindsBit(piece->bytes, at, to, any)) return any ? 1 : 0;
    bit = pieceEnd;
  }
  if (lost) return kLost;
  return any ? 0 : 1;
}

int CNTFSClusterBitmap::AnyInUse(int64_t lcn, int64_t count) {
  std::shared_ptr<const Piece> held;
  return Scan(lcn, count, true, [this, &held](uint64_t index) { return (held = PieceAt(index)).get(); });
}

int CNTFSClusterBitmap::AllInUse(int64_t lcn, int64_t count) {
  std::shared_ptr<const Piece> held;
  return Scan(lcn, count, false, [this, &held](uint64_t index) { return (held = PieceAt(index)).get(); });
}

int CNTFSClusterBitmap::Reader::AnyInUse(int64_t lcn, int64_t count) {
  // The pieces held are looked at without touching their counts, which
  // every thread's reader shares.
  return m_bitmap->Scan(lcn, count, true, [this](uint64_t index) -> const Piece* {
    for (size_t i = 0; i < m_held.size(); ++i) {
      if (m_held[i]->index != index) continue;
      const auto at = m_held.begin() + static_cast<std::ptrdiff_t>(i);
      std::rotate(m_held.begin(), at, at + 1);
      return m_held.front().get();
    }
    std::shared_ptr<const Piece> piece = m_bitmap->PieceAt(index);
    if (piece == nullptr) return nullptr;
    if (m_held.size() >= kMaxHeld) m_held.pop_back();
    m_held.insert(m_held.begin(), std::move(piece));
    return m_held.front().get();
  });
}

bool CNTFSClusterBitmap::ReachesClustersInUse(CNTFSFileProperties& properties) {
  const CCompressedDataRunList* packed = properties.GetCompressedDataRunList();
  // Resident data lives in the file's own record: no cluster of its own.
  if (packed == nullptr || packed->GetResidentOffset() != 0) return false;
  IDataRunList* list = properties.GetDataRunList();
  if (list == nullptr) return false;
  bool reached = false;
  if (list->IsResident() == 0) {
    for (const DataRun* run = list->GetFirst(); run != nullptr && !reached; run = list->GetNext()) {
      if (run->IsSparse() || run->length <= 0) continue;
      const int inUse = AnyInUse(run->start, run->length);
      reached = inUse == 1 || inUse == kLost;
    }
  }
  list->Release();
  return reached;
}
