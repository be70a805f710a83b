#include "exfat/ExFatAllocationJudge.h"

#include <algorithm>
#include <bit>
#include <new>
#include <vector>

#include "DataRunList.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "device/SectorSizeDevice.h"
#include "exfat/EFDTAnalyze.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatFileNode.h"

namespace {

using Wide = unsigned __int128;

uint32_t Log2(uint32_t value) { return value == 0 ? 0 : static_cast<uint32_t>(std::countr_zero(value)); }

}  // namespace

CExFatAllocationJudge::~CExFatAllocationJudge() = default;

std::unique_ptr<CExFatAllocationJudge> CExFatAllocationJudge::Open(IStorageDevice* device,
                                                                   const CSearchedPartitionInfo& record) {
  if (device == nullptr) return nullptr;
  const uint32_t deviceSector = device->GetSectorSize();
  if (deviceSector < 512 || (deviceSector & (deviceSector - 1)) != 0) return nullptr;
  std::unique_ptr<CExFatAllocationJudge> judge(new (std::nothrow) CExFatAllocationJudge());
  if (judge == nullptr || !judge->m_record.Of(record, deviceSector)) return nullptr;

  const auto start = static_cast<int64_t>(judge->m_record.volumeByte / deviceSector);
  std::vector<uint8_t> boot(std::max<uint32_t>(deviceSector, CExFatDBR::kSize), 0);
  if (start >= device->GetTotalSectors() || device->ReadSector(boot.data(), start, 1) == 0) return nullptr;
  const uint32_t own = CExFatDBR(boot.data()).GetVolumeSectorSize();
  if (own == 0) return nullptr;
  judge->m_read = device;
  judge->m_volumeStart = start;
  if (own != deviceSector) {
    // Read in the volume's own sectors, as the scan reads it.
    judge->m_view.reset(new (std::nothrow) CSectorSizeDevice(device, own, start));
    if (judge->m_view == nullptr) return nullptr;
    judge->m_read = judge->m_view.get();
    judge->m_volumeStart = 0;
    boot.assign(std::max<uint32_t>(own, CExFatDBR::kSize), 0);
    if (judge->m_read->ReadSector(boot.data(), 0, 1) == 0) return nullptr;
  }
  const CExFatDBR dbr(boot.data());
  if (!dbr.IsValid(own)) return nullptr;
  // Without its table only the bitmap and contiguous streams can be told.
  judge->m_partition.Init(dbr, judge->m_read, judge->m_volumeStart);
  return judge;
}

bool CExFatAllocationJudge::Read(int64_t sector, uint32_t sectors, std::vector<uint8_t>& out, SectorRuns& lost) {
  if (sector < 0 || sectors == 0 || sector > m_read->GetTotalSectors() - sectors) return false;
  const size_t at = out.size();
  out.resize(at + size_t{sectors} * m_partition.GetBytesPerSector());
  if (!unreadable::ReadAround(m_read, out.data() + at, sector, sectors, lost)) {
    out.resize(at);
    return false;
  }
  return true;
}

bool CExFatAllocationJudge::BitmapBelieved() {
  if (m_believed >= 0) return m_believed == 1;
  m_believed = 0;
  const uint32_t root = m_partition.GetRootCluster();
  const uint32_t bytesPerCluster = m_partition.GetBytesPerCluster();
  const uint32_t sectorShift = Log2(m_partition.GetBytesPerSector());
  const uint32_t clusterShift = Log2(bytesPerCluster);
  const auto total = static_cast<uint64_t>(std::max<int64_t>(m_read->GetTotalSectors(), 0));
  uint32_t bitmapCluster = 0, upcaseCluster = 0;
  uint64_t bitmapLength = 0, upcaseLength = 0;
  std::vector<uint8_t> bytes;
  SectorRuns lost;
  uint32_t cluster = root;
  for (uint32_t n = 0; n < kMaxRootClusters && m_partition.IsHeapCluster(cluster) && bitmapCluster == 0; ++n) {
    bytes.clear();
    lost.clear();
    const int64_t first = m_partition.ConvertClusterNumToSector(cluster);
    if (!Read(first, m_partition.GetSectorsPerCluster(), bytes, lost)) break;
    bool ended = false;
    for (size_t o = 0; o + exfat_entry::kEntrySize <= bytes.size(); o += exfat_entry::kEntrySize) {
      // Entries on sectors the medium could not give are no end.
      if (unreadable::Any(lost, first + static_cast<int64_t>(o / m_partition.GetBytesPerSector()))) continue;
      const uint8_t* entry = bytes.data() + o;
      if (entry[0] == exfat_entry::kEndOfDirectory) {
        ended = true;
        break;
      }
      if (entry[0] == exfat_entry::kBitmap && bitmapCluster == 0 &&
          exfat_entry::IsValidBitmapEntry(entry, sectorShift, clusterShift, total)) {
        bitmapCluster = ondisk::Le32(entry + 20);
        bitmapLength = ondisk::Le64(entry + 24);
      } else if (entry[0] == exfat_entry::kUpcase && upcaseCluster == 0 &&
                 exfat_entry::IsValidUpcaseEntry(entry, sectorShift, clusterShift, total)) {
        upcaseCluster = ondisk::Le32(entry + 20);
        upcaseLength = ondisk::Le64(entry + 24);
      }
    }
    if (ended) break;
    cluster = m_partition.GetNextCluster(cluster, false);
  }
  if (bitmapCluster == 0) return false;
  m_partition.SetAllocationBitmap(bitmapCluster, bitmapLength);
  // A believable bitmap gives the volume's own clusters: its own, the
  // up-case table's and the root's first.
  const auto holds = [this, bytesPerCluster](uint32_t first, uint64_t length) {
    const uint64_t clusters = std::max<uint64_t>(1, (length + bytesPerCluster - 1) / bytesPerCluster);
    for (uint64_t i = 0; i < clusters && i < (uint64_t{1} << 20); ++i) {
      // Bits a failing medium lost neither confirm nor disprove it.
      const int allocated = m_partition.IsClusterAllocated(static_cast<uint32_t>(first + i));
      if (allocated != 1 && allocated != CExFatPartition::kBitLost) return false;
    }
    return true;
  };
  if (!holds(root, 1) || !holds(bitmapCluster, bitmapLength)) return false;
  if (upcaseCluster != 0 && !holds(upcaseCluster, upcaseLength)) return false;
  m_believed = 1;
  return true;
}

bool CExFatAllocationJudge::IsTaken(CFileNode& node) {
  if (node.IsDirectory() != 0) return false;
  IDataRunList* runs = node.GetDataRunList();
  if (runs == nullptr || runs->IsResident() != 0) return false;
  const uint64_t bytesPerSector = m_partition.GetBytesPerSector();
  const uint64_t clusterBytes = m_partition.GetBytesPerCluster();
  const Wide heap = Wide(static_cast<uint64_t>(m_partition.GetHeapFirstSector() - m_volumeStart)) * bytesPerSector;
  const Wide heapEnd = heap + Wide(m_partition.GetClusterLimit() - 2) * clusterBytes;
  const bool believed = BitmapBelieved();
  bool inUse = false;
  bool consecutive = true, chained = true;
  uint32_t first = 0, previous = 0;
  const ClustersNow now = ForEachClusterNow(runs, m_record, heap, heapEnd, clusterBytes, [&](uint32_t cluster) {
    if (believed && !inUse) {
      // A bit the medium lost may be set: the entry set must vouch.
      const int allocated = m_partition.IsClusterAllocated(cluster);
      inUse = allocated == 1 || allocated == CExFatPartition::kBitLost;
    }
    if (first == 0) {
      first = cluster;
    } else {
      if (cluster != previous + 1) consecutive = false;
      if (chained && m_partition.GetNextCluster(previous, false) != cluster) chained = false;
    }
    previous = cluster;
  });
  // The boot region or a table lies in front of the heap.
  inUse = inUse || now.beforeHeap;
  const bool aligned = now.aligned;
  if (!inUse)
    return m_ownEntryRequired && !(aligned && first != 0 && Describes(node, first, consecutive, chained, true));
  return !(aligned && first != 0 && Describes(node, first, consecutive, chained));
}

bool CExFatAllocationJudge::ForEachGiven(uint64_t begin, uint64_t end, const GivenPiece& given) {
  if (!BitmapBelieved() || m_partition.GetHeapFirstSector() < m_volumeStart) return false;
  const uint64_t bytesPerSector = m_partition.GetBytesPerSector();
  const Wide first = Wide(m_record.volumeByte) +
                     Wide(static_cast<uint64_t>(m_partition.GetHeapFirstSector() - m_volumeStart)) * bytesPerSector;
  if (first > UINT64_MAX || m_partition.GetClusterLimit() < 2) return false;
  const ClusterHeap heap{static_cast<uint64_t>(first), m_partition.GetBytesPerCluster(), 2,
                         m_partition.GetClusterLimit() - 2};
  // A bit the medium lost may be set: no entry set vouches for a carved file.
  ForEachGivenCluster(
      begin, end, heap,
      [this](uint64_t cluster) {
        const int allocated = m_partition.IsClusterAllocated(static_cast<uint32_t>(cluster));
        return allocated == 1 || allocated == CExFatPartition::kBitLost;
      },
      given);
  return true;
}

bool CExFatAllocationJudge::Describes(CFileNode& node, uint32_t first, bool consecutive, bool chained, bool erased) {
  // The sector the scan read the File entry in, in the volume's sectors.
  const int64_t sector = node.GetMetadataStartPosition();
  if (sector < 0) return false;
  const Wide byte = Wide(static_cast<uint64_t>(sector)) * m_record.sectorSize;
  const uint32_t bytesPerSector = m_partition.GetBytesPerSector();
  if (byte < m_record.volumeByte || (byte - m_record.volumeByte) % bytesPerSector != 0) return false;
  const Wide offset = (byte - m_record.volumeByte) / bytesPerSector;
  if (offset > INT64_MAX) return false;
  const int64_t at = m_volumeStart + static_cast<int64_t>(offset);
  if (at < m_partition.GetHeapFirstSector()) return false;
  const uint64_t index =
      static_cast<uint64_t>(at - m_partition.GetHeapFirstSector()) / m_partition.GetSectorsPerCluster() + 2;
  if (!m_partition.IsHeapCluster(index)) return false;
  const char* saved = node.GetFileName();
  for (const _tagFileBaseInfo& info : SetsIn(static_cast<uint32_t>(index))) {
    if (info.sector != at || (info.inUse == 0 && !erased) || info.firstCluster != first || info.dataLength < 0 ||
        static_cast<uint64_t>(info.dataLength) != node.GetFileSize()) {
      continue;
    }
    // A set no longer in use has given its chain back: only a contiguous
    // stream still says where its clusters lie.
    if (!(info.contiguous != 0 ? consecutive : (chained || info.inUse == 0))) continue;
    const bool sameName = saved != nullptr && info.name == saved;
    const bool sameTimes =
        DosTime2FileTime(info.createTime, info.create10ms, info.createUtcOffset) == node.GetCreationTime() &&
        DosTime2FileTime(info.modifyTime, info.modify10ms, info.modifyUtcOffset) == node.GetModificationTime();
    // Where nothing tells that the volume is the one scanned, a set of a
    // card formatted again names the same file at the same place: its times
    // are its own.
    if (sameTimes || (sameName && !m_ownEntryRequired)) return true;
  }
  return false;
}

const std::vector<_tagFileBaseInfo>& CExFatAllocationJudge::SetsIn(uint32_t cluster) {
  auto known = m_sets.find(cluster);
  if (known != m_sets.end()) return known->second;
  if (m_sets.size() >= kMaxClustersKept) m_sets.clear();
  // The cluster, and the folder's next one for a set that goes on there.
  const uint32_t spc = m_partition.GetSectorsPerCluster();
  const uint32_t bytesPerSector = m_partition.GetBytesPerSector();
  std::vector<uint8_t> bytes;
  SectorRuns lost;
  // The sector each buffer sector came from: the next cluster need not
  // follow this one on disk.
  const int64_t first = m_partition.ConvertClusterNumToSector(cluster);
  int64_t second = -1;
  if (Read(first, spc, bytes, lost)) {
    uint32_t next = m_partition.GetNextCluster(cluster, false);
    if (!m_partition.IsHeapCluster(next)) next = cluster + 1;
    if (m_partition.IsHeapCluster(next)) {
      second = m_partition.ConvertClusterNumToSector(next);
      if (!Read(second, spc, bytes, lost)) second = -1;
    }
  }
  CEFDTAnalyze parser;
  parser.PrepareAnayze(Log2(bytesPerSector), Log2(m_partition.GetBytesPerCluster()),
                       static_cast<uint64_t>(std::max<int64_t>(m_read->GetTotalSectors(), 0)));
  // Each stretch the medium gave on its own (a set cut by a lost sector is
  // dropped; its zeros are no end of the folder); one that runs on into the
  // next cluster goes on there.
  bool ended = false, cut = false;
  const auto analyze = [&](int64_t start, size_t offset) {
    unreadable::ForEachReadable(start, spc, lost, [&](int64_t from, int64_t count) {
      if (ended) return;
      if (cut || from != start) parser.ResetSet();
      cut = false;
      ended = !parser.Analyze(bytes.data() + offset + size_t(from - start) * bytesPerSector,
                              size_t(count) * bytesPerSector, from, bytesPerSector);
    });
    cut = unreadable::Any(lost, start + spc - 1);
  };
  if (!bytes.empty()) analyze(first, 0);
  if (second >= 0 && !ended) analyze(second, size_t{spc} * bytesPerSector);
  return m_sets[cluster] = std::move(parser.GetFileList());
}

std::unique_ptr<IAllocationJudge> CreateExFatAllocationJudge(IStorageDevice* device,
                                                             const CSearchedPartitionInfo& record) {
  return CExFatAllocationJudge::Open(device, record);
}
