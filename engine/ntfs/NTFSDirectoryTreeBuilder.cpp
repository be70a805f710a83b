#include "ntfs/NTFSDirectoryTreeBuilder.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <string>

#include "DirecotryTreeBuilder.h"
#include "StorageDevice.h"
#include "ntfs/FindFileFromLogFile.h"
#include "ntfs/MetaFileRecordTypeAnalyzer.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSClusterBitmap.h"
#include "ntfs/NTFSDeletedClaims.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/SearchedNTFSPartitionInfo.h"

namespace {

constexpr int64_t kRootFolder = 5;
// Records below this number are the volume's own files.
constexpr int64_t kFirstUserRecord = 16;

}  // namespace

// A record read back, until a node takes its properties.
struct CNTFSDirectoryTreeBuilder::Record {
  int64_t number = -1;
  int64_t parent = -1;
  bool folder = false;
  bool unsure = false;  // a deleted file whose clusters others hold now, or overwrote
  std::unique_ptr<CNTFSFileProperties> properties;
};

// A $MFT of the partition, the finder of its $LogFile and its records.
struct CNTFSDirectoryTreeBuilder::CMFTDirectoryTreeBuildInfo {
  const CMFTInfo* mft = nullptr;
  std::unique_ptr<CFindFileFromLogFile> finder;
  std::vector<Record> records;
};

CNTFSDirectoryTreeBuilder::CNTFSDirectoryTreeBuilder(IStorageDevice* device, uint32_t sectorSize)
    : m_device(device), m_sectorSize(sectorSize != 0 ? sectorSize : 512) {}

CNTFSDirectoryTreeBuilder::~CNTFSDirectoryTreeBuilder() = default;

int64_t CNTFSDirectoryTreeBuilder::GetMFTNumber(int64_t sector, const CNTFSDataRunList& runs, int64_t start,
                                                uint32_t sectorsPerCluster, uint32_t sectorsPerRecord) {
  if (sectorsPerCluster == 0 || sectorsPerRecord == 0 || sector < start) return -1;
  const int64_t spc = sectorsPerCluster;
  const int64_t vcn = runs.GetVCN((sector - start) / spc);
  // A cluster the table's runs do not map has no number (not a negative
  // one computed from -1).
  if (vcn < 0 || vcn > (INT64_MAX - spc) / spc) return -1;
  const int64_t virtualSector = vcn * spc + (sector - start) % spc;
  if (virtualSector % sectorsPerRecord != 0) return -1;
  return virtualSector / sectorsPerRecord;
}

void CNTFSDirectoryTreeBuilder::BuildDirectoryTree(const CNTFSIntelligentSearchInfo& info,
                                                   const CSearchedNTFSPartitionInfo& partition, int index,
                                                   IDirecotryTreeBuilder* builder) {
  m_counters = Counters();
  if (m_device == nullptr || info.mfts == nullptr || info.positions == nullptr) return;
  m_start = partition.GetFirstDataSector();
  m_sectorsPerCluster = partition.GetSectorsperCluster();
  const int64_t total = static_cast<int64_t>(std::min<uint64_t>(partition.GetTotalSectors(), INT64_MAX / 2));
  m_end = m_start < 0 ? 0 : std::min(m_start + total, m_device->GetTotalSectors());
  if (m_sectorsPerCluster == 0 || m_start < 0 || m_end <= m_start) return;
  m_index = static_cast<uint16_t>(std::clamp(index, 0, kMaxPartitionIndex));
  m_builder = builder;
  uint64_t volumeBytes = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(total), uint64_t{m_sectorSize}, &volumeBytes)) volumeBytes = 0;
  m_volumeBytes = volumeBytes;

  OrganizeMatchedMFTInfo(info);
  // The allocation record of the first table that has a believable one.
  for (const auto& selected : m_selected) {
    m_bitmap =
        CNTFSClusterBitmap::Load(*m_device, m_start, m_sectorsPerCluster, selected->mft->GetFileRecordBytes(),
                                 selected->mft->GetDataRunList(), static_cast<uint64_t>(total) / m_sectorsPerCluster);
    if (m_bitmap != nullptr) break;
  }
  m_counters.bitmap = m_bitmap != nullptr;
  bool room = true;
  try {
    m_block.assign(static_cast<size_t>(BLOCK_MAX_TOTAL_SECTORS) * m_sectorSize, 0);
  } catch (const std::bad_alloc&) {
    room = false;
  }
  if (room) ReadFileProperties(*info.positions);
  JudgeDeletedClaims();
  for (auto& selected : m_selected) HandOver(selected->records);
  m_counters.orphans = static_cast<int64_t>(m_orphans.size());
  HandOver(m_orphans);
  m_block.clear();
  m_block.shrink_to_fit();
  m_selected.clear();
  m_orphans.clear();
  m_bitmap.reset();
  m_builder = nullptr;
}

void CNTFSDirectoryTreeBuilder::OrganizeMatchedMFTInfo(const CNTFSIntelligentSearchInfo& info) {
  m_selected.clear();
  const int64_t clusters = (m_end - m_start) / m_sectorsPerCluster;
  for (const auto& mft : *info.mfts) {
    if (mft == nullptr) continue;
    if (!NTFSPublicFunction::IsClusterNOMatch(mft->GetSectorAddress(), mft->GetFirstClusterNO(), m_start,
                                              m_sectorsPerCluster)) {
      continue;
    }
    // The whole table must lie inside the partition.
    int64_t highest = -1;
    for (const CDataRun& run : mft->GetDataRunList().GetRuns()) {
      if (!run.IsSparse()) highest = std::max(highest, run.LCN + run.Length - 1);
    }
    if (highest < 0 || highest >= clusters) continue;
    // The same table found twice (a copy of the volume's first records)
    // would hand every file over twice.
    const bool known = std::any_of(m_selected.begin(), m_selected.end(), [&](const auto& s) {
      return s->mft->GetDataRunList().IsEqual(mft->GetDataRunList());
    });
    if (known) continue;
    auto selected = std::make_unique<CMFTDirectoryTreeBuildInfo>();
    selected->mft = mft.get();
    // The log finder reads clusters counted from the partition's start.
    selected->finder = std::make_unique<CFindFileFromLogFile>();
    if (selected->finder->Init(m_device, &mft->GetDataRunList(), static_cast<uint8_t>(m_sectorsPerCluster), m_start,
                               mft->GetFileRecordBytes())) {
      selected->finder->Analyzer();
    } else {
      selected->finder.reset();
    }
    m_selected.push_back(std::move(selected));
  }
}

void CNTFSDirectoryTreeBuilder::ReadFileProperties(const std::vector<CCommonFileRecordPositionInfo>& positions) {
  // Blocks end on whole records, so that no record is cut by a block end.
  for (const CCommonFileRecordPositionInfo& run : positions) {
    // Each run knows the size of its records, which the block pass read
    // from their headers.
    const int64_t spr = run.GetSectorsPerRecord();
    if (spr <= 0 || spr > BLOCK_MAX_TOTAL_SECTORS) continue;
    const int64_t recordsPerBlock = BLOCK_MAX_TOTAL_SECTORS / spr;
    const int64_t first = run.GetFileRecordStartSector();
    const int64_t count = run.GetFileRecordCount();
    if (first < 0 || count <= 0 || first >= m_end || count > (INT64_MAX - first) / spr) continue;
    // The records of the run that lie wholly inside the partition.
    int64_t k = first >= m_start ? 0 : (m_start - first + spr - 1) / spr;
    const int64_t last = std::min(count, (m_end - first) / spr);
    while (k < last) {
      const int64_t records = std::min(recordsPerBlock, last - k);
      ReadFilePropertiesfromBlock(first + k * spr, records * spr, spr);
      k += records;
    }
  }
}

void CNTFSDirectoryTreeBuilder::ReadFilePropertiesfromBlock(int64_t first, int64_t sectors, int64_t spr) {
  if (sectors <= 0 || sectors > BLOCK_MAX_TOTAL_SECTORS || spr <= 0) return;
  if (m_device->ReadSector(m_block.data(), first, sectors) == 0) {
    // A block that cannot be read whole is read record by record, so that
    // one bad sector costs only its own record.
    for (int64_t at = 0; at + spr <= sectors; at += spr) {
      uint8_t* record = m_block.data() + at * m_sectorSize;
      if (m_device->ReadSector(record, first + at, spr) != 0) BuildCommonFileRecordInfo(record, first + at, spr);
    }
    return;
  }
  for (int64_t at = 0; at + spr <= sectors; at += spr) {
    BuildCommonFileRecordInfo(m_block.data() + at * m_sectorSize, first + at, spr);
  }
}

void CNTFSDirectoryTreeBuilder::BuildCommonFileRecordInfo(uint8_t* bytes, int64_t sector, int64_t spr) {
  // The whole record, or the one sector that holds it; the record's header
  // bounds what is read of it.
  const int size = static_cast<int>(std::min<int64_t>(spr * m_sectorSize, INT32_MAX));
  if (CIsMetaFileRecord::IsMetaFileRecord(bytes, size)) return;
  CCommonFileRecordInfo info;
  {
    CNTFSFileRecord view(bytes, size, 0);
    // A torn or stale record's sector ends are not its own bytes.
    if (!view.IsValid() || view.IsExtendFileRecord() || !view.IsUpdateSequenceUndone()) return;
    if (!info.InitFromBuffer(view, sector)) return;
  }
  ++m_counters.recordsRead;

  // The $MFT whose runs hold the record.
  CMFTDirectoryTreeBuildInfo* owner = nullptr;
  const int64_t cluster = (sector - m_start) / m_sectorsPerCluster;
  for (auto& selected : m_selected) {
    if (selected->mft->GetDataRunList().GetVCN(cluster) >= 0) {
      owner = selected.get();
      break;
    }
  }
  const CNTFSDataRunList* mftRuns = owner != nullptr ? &owner->mft->GetDataRunList() : nullptr;
  int64_t number = info.GetMFTFileRecordNumber();
  if (number < 0 && mftRuns != nullptr) {
    number = GetMFTNumber(sector, *mftRuns, m_start, m_sectorsPerCluster, static_cast<uint32_t>(spr));
  }
  if (number >= 0 && number < kFirstUserRecord) return;

  const auto spc = static_cast<uint8_t>(std::min<uint32_t>(m_sectorsPerCluster, 255));
  std::unique_ptr<CExtendFileRecordInfoList> extensions;
  if (mftRuns != nullptr) {
    extensions = CNTFSMultiFileRecord::InitExtendFileRecord(bytes, size, sector, spc, m_start, *m_device, mftRuns,
                                                            static_cast<uint8_t>(spr));
  }
  CNTFSMultiFileRecord set(bytes, size, sector, m_device, extensions.get(), number);
  int64_t parent = -1;
  const std::string nameWhenNone = "MFTRecord-" + std::to_string(number);
  const int64_t clusterBytes = int64_t{m_sectorsPerCluster} * m_sectorSize;
  std::unique_ptr<CNTFSFileProperties> properties(CNTFSFilePropertiesBuilder::BuildFileProperties(
      sector, set, clusterBytes, &parent, nameWhenNone.c_str(), m_volumeBytes));
  if (properties == nullptr) return;
  if (info.GetFileRecordNumberofParentDirectory() == -1) info.SetFileRecordNumberofParentDirectory(parent);

  // Only deleted files are offered to the log, as the quick scan does: a
  // live file of size 0 is empty now, and an older image of it in the log
  // would give it bytes it no longer holds (the finder turns live records
  // away for the same reason).
  const bool deleted = (properties->GetState() & CNTFSFileProperties::kStateDeleted) != 0;
  if ((properties->GetSize() == 0 || properties->IsDataLost()) && !info.IsDirectory() && deleted) {
    ++m_counters.logFileQueries;
    // The first finder that knows the file gives it back its runs.
    for (auto& selected : m_selected) {
      if (selected->finder != nullptr &&
          selected->finder->ReplaceFileRecordInfo(bytes, size, *properties, info.GetFileRecordNumberofParentDirectory(),
                                                  extensions.get())) {
        break;
      }
    }
  }
  if (clusterBytes / 512 <= 255) {
    CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(
        properties.get(), static_cast<uint8_t>(clusterBytes / 512));
  }
  properties->SetExtendFileRecordInfoList(std::move(extensions));

  Record record;
  record.number = number;
  record.parent = info.GetFileRecordNumberofParentDirectory();
  record.folder = info.IsDirectory();
  record.unsure = deleted && !record.folder && m_bitmap != nullptr && m_bitmap->ReachesClustersInUse(*properties);
  if (record.unsure) ++m_counters.clustersTaken;
  record.properties = std::move(properties);
  (owner != nullptr ? owner->records : m_orphans).push_back(std::move(record));
}

void CNTFSDirectoryTreeBuilder::JudgeDeletedClaims() {
  // Every deleted file read back counts, also one the tree builder will
  // refuse: its record still names its clusters.
  CNTFSDeletedClaims claims;
  std::vector<std::pair<Record*, uint32_t>> claimed;
  auto add = [&](std::vector<Record>& records) {
    for (Record& record : records) {
      if (record.folder || record.properties == nullptr ||
          (record.properties->GetState() & CNTFSFileProperties::kStateDeleted) == 0) {
        continue;
      }
      const int64_t claim = claims.Add(*record.properties);
      if (claim >= 0) claimed.emplace_back(&record, static_cast<uint32_t>(claim));
    }
  };
  for (auto& selected : m_selected) add(selected->records);
  add(m_orphans);
  const std::vector<bool> overwritten = claims.Judge();
  for (const auto& [record, claim] : claimed) {
    if (claim >= overwritten.size() || !overwritten[claim]) continue;
    ++m_counters.overwritten;
    record->unsure = true;
  }
}

int64_t CNTFSDirectoryTreeBuilder::NodeID(int64_t number) const {
  if (number < 0 || static_cast<uint64_t>(number) > ntfs_bytes::kRecordNumberMask) return -1;
  return number | (static_cast<int64_t>(m_index) << kPartitionShift);
}

void CNTFSDirectoryTreeBuilder::HandOver(std::vector<Record>& records) {
  // Folders reachable from the root go first, breadth first, so that the
  // tree builder links most nodes as they come; everything else follows
  // with its own parent, and the builder places what has no folder.
  std::multimap<int64_t, size_t> byParent;
  for (size_t i = 0; i < records.size(); ++i) byParent.emplace(records[i].parent, i);
  std::vector<size_t> order;
  order.reserve(records.size());
  std::vector<char> taken(records.size(), 0);
  std::deque<int64_t> folders{kRootFolder};
  while (!folders.empty()) {
    const int64_t folder = folders.front();
    folders.pop_front();
    const auto children = byParent.equal_range(folder);
    for (auto it = children.first; it != children.second; ++it) {
      const size_t i = it->second;
      if (taken[i] != 0) continue;
      taken[i] = 1;
      order.push_back(i);
      if (records[i].folder && records[i].number >= 0 && records[i].number != folder) {
        folders.push_back(records[i].number);
      }
    }
  }
  for (const auto& [parent, i] : byParent) {
    if (taken[i] == 0) order.push_back(i);
  }

  for (const size_t i : order) {
    Record& record = records[i];
    auto* node = new (std::nothrow) CNTFSFileNode();
    if (node == nullptr) continue;
    node->SetFileProperties(record.properties.release());
    if (record.unsure) node->SetContentUnsure(true);
    node->SetCurrentNodeID(NodeID(record.number));
    node->SetParentNodeID(record.parent == kRootFolder ? kRootFolder : NodeID(record.parent));
    node->SetBelongedPartition(m_index);
    ++m_counters.nodesMade;
    if (m_builder == nullptr || m_builder->AddNode(node, SEARCHER_TYPE_NTFS) == 0) {
      ++m_counters.nodesRefused;
      node->Release();
    }
  }
  records.clear();
}
