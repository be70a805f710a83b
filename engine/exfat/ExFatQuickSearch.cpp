#include "exfat/ExFatQuickSearch.h"

#include <algorithm>
#include <limits>
#include <new>

#include "DirecotryTreeBuilder.h"
#include "Progress.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "base/CatchExeception.h"
#include "device/SectorSizeDevice.h"
#include "exfat/ExFatClusterClaims.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatFileNode.h"

namespace {

// The boot sector is read into a zeroed buffer of at least this many bytes.
constexpr uint32_t kBootBufferBytes = 4096;

uint32_t Log2(uint32_t value) {
  uint32_t shift = 0;
  while (shift < 31 && (1u << shift) < value) ++shift;
  return shift;
}

}  // namespace

CExFatQuickSearch::CExFatQuickSearch() : m_record(512) {}

CExFatQuickSearch::~CExFatQuickSearch() {
  for (CExFatFileNode* folder : m_deletedFolders) folder->Release();
}

int CExFatQuickSearch::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  if (capacity < 1 || array == nullptr) return 1;
  if (!m_valid) return 0;
  auto* record = new (std::nothrow) CSearchedPartitionInfo(m_record);
  if (record == nullptr) return 0;
  array[0] = record;
  return 1;
}

void CExFatQuickSearch::Report(uint32_t status, uint64_t total, uint64_t current, ResultCode error) {
  ReportProgress(m_progress, status, total, current, error);
}

ResultCode CExFatQuickSearch::QuickSearchFiles(IStorageDevice* device, IProgress* progress) {
  if (device == nullptr || progress == nullptr || m_builder == nullptr) return kNullArgument;
  m_device = device;
  m_progress = progress;
  m_counters = Counters();
  m_readFailed = false;
  m_heldBack.clear();
  m_liveWalked = false;
  const ResultCode prepared = Prepare();
  if (result::IsFailure(prepared)) {
    Finish(prepared);
    return prepared;
  }
  if (m_builder->AddSearcherInfo(SEARCHER_TYPE_EXFAT,
                                 m_partition.ConvertClusterNumToSector(m_partition.GetRootCluster())) == 0) {
    Finish(kRootRefused);
    return kRootRefused;
  }
  m_claims = std::make_unique<CExFatClusterClaims>(m_partition, m_device, m_progress);
  QuickSearch();
  // Every folder is read: the files that name the same clusters are judged
  // while every node the builder took is still there to be marked.
  m_claims->Judge();
  const ResultCode answer = m_readFailed ? kReadFailed : !m_partition.HasAllocationBitmap() ? kRootNotAFolder : 0;
  Finish(answer);
  return answer;
}

ResultCode CExFatQuickSearch::Prepare() {
  m_valid = false;
  uint32_t sectorSize = m_device->GetSectorSize();
  if (sectorSize < 512 || (sectorSize & (sectorSize - 1)) != 0) return kNotExFat;
  std::vector<uint8_t> boot(std::max(kBootBufferBytes, sectorSize), 0);
  if (m_device->ReadSector(boot.data(), 0, 1) == 0) {
    CatchExeception::WriteLog("CExFatQuickSearch: cannot read the boot sector\r\n");
    return kBootUnreadable;
  } else if (const uint32_t own = CExFatDBR(boot.data()).GetVolumeSectorSize(); own != 0 && own != sectorSize) {
    // A volume whose sectors are not the device's is read in its own, so
    // that every sector worked out and recorded is the volume's.
    m_view = std::make_unique<CSectorSizeDevice>(m_device, own, 0);
    m_device = m_view.get();
    sectorSize = own;
    std::fill(boot.begin(), boot.end(), 0);
    if (m_device->ReadSector(boot.data(), 0, 1) == 0) return kBootUnreadable;
  }
  const CExFatDBR dbr(boot.data());
  if (!dbr.IsValid(sectorSize)) return kNotExFat;

  if (!m_partition.Init(dbr, m_device, 0)) {
    // Without the table only the first cluster of each chain can be read.
    m_readFailed = true;
    ++m_counters.failedReads;
    CatchExeception::WriteLog("CExFatQuickSearch: cannot read the allocation table\r\n");
  }
  const uint32_t bytesPerCluster = m_partition.GetBytesPerCluster();
  m_parser.PrepareAnayze(Log2(sectorSize), Log2(bytesPerCluster),
                         static_cast<uint64_t>(std::max<int64_t>(m_device->GetTotalSectors(), 0)));
  try {
    m_cluster.assign(bytesPerCluster, 0);
  } catch (const std::bad_alloc&) {
    return kNotExFat;
  }
  m_record = CSearchedPartitionInfo(sectorSize);
  m_record.SetFirstDataSector(m_partition.GetHeapFirstSector());
  m_record.SetStartSector(0);
  m_record.SetTotalSectors(m_partition.GetTotalSectors());
  m_record.SetFileSystemType(FILE_SYSTEM_TYPE_EXFAT);
  m_record.SetSectorsperCluster(m_partition.GetSectorsPerCluster());
  m_valid = true;
  return 0;
}

void CExFatQuickSearch::QuickSearch() {
  const uint32_t root = m_partition.GetRootCluster();
  // The root's length is not recorded anywhere: its chain ends it.
  BuildChildren(root, std::numeric_limits<uint64_t>::max(), false, false, m_partition.ConvertClusterNumToSector(root));
  DrainFolders();
}

void CExFatQuickSearch::DrainFolders() {
  uint64_t done = 0;
  uint64_t lastPercent = 0;
  while ((!m_liveFolders.empty() || !m_deletedFolders.empty()) && m_progress->Continued() != 0) {
    if (m_liveFolders.empty()) EndLiveWalk();
    if (!m_liveFolders.empty()) {
      const FolderToRead folder = m_liveFolders.front();
      m_liveFolders.pop_front();
      BuildChildren(folder.cluster, folder.length, folder.contiguous, false, folder.id);
    } else {
      CExFatFileNode* folder = m_deletedFolders.front();
      m_deletedFolders.pop_front();
      BuildDeletedFolder(folder, true);
    }
    ++done;
    const uint64_t total = done + m_liveFolders.size() + m_deletedFolders.size();
    const uint64_t percent = done * 100 / total;
    if (percent > lastPercent) {
      Report(PROGRESS_STATUS_RUNNING, total, done, m_readFailed ? kReadFailed : 0);
      lastPercent = percent;
    }
  }
  // Stopped: the live folders are the builder's already; the deleted ones
  // held back still come back, unread.
  m_liveFolders.clear();
  EndLiveWalk();
  while (!m_deletedFolders.empty()) {
    CExFatFileNode* folder = m_deletedFolders.front();
    m_deletedFolders.pop_front();
    BuildDeletedFolder(folder, false);
  }
}

void CExFatQuickSearch::EndLiveWalk() {
  if (m_liveWalked) return;
  m_liveWalked = true;
  m_partition.JudgeBitmap();
  for (HeldBackFile& file : m_heldBack) AddFile(file.info, file.folderID, false);
  m_heldBack.clear();
  m_heldBack.shrink_to_fit();
}

void CExFatQuickSearch::AddFile(_tagFileBaseInfo& info, int64_t folderID, bool live) {
  CExFatFileNode* node = m_partition.BuildFile(info);
  if (node == nullptr) return;
  ++m_counters.nodesMade;
  node->SetID(m_partition.ConvertClusterNumToSector(info.firstCluster));
  node->SetParentID(folderID);
  if (node->IsDirectory() != 0 && node->IsDeleted() != 0) {
    m_deletedFolders.push_back(node);
    return;
  }
  const bool folder = node->IsDirectory() != 0;
  if (live && !folder) m_partition.NoteClustersInUse(node->GetDataRunList());
  const FolderToRead next{info.firstCluster, node->GetFileSize(), info.contiguous != 0, node->GetCurrentNodeID()};
  CExFatClusterClaims::Entry claim = m_claims != nullptr ? m_claims->Read(node) : CExFatClusterClaims::Entry();
  const bool taken = m_builder->AddNode(node, SEARCHER_TYPE_EXFAT) != 0;
  if (m_claims != nullptr) m_claims->Keep(std::move(claim), taken);
  if (!taken) {
    ++m_counters.nodesRefused;
    node->Release();
  } else if (folder) {
    m_liveFolders.push_back(next);
  }
}

void CExFatQuickSearch::BuildDeletedFolder(CExFatFileNode* folder, bool read) {
  const int64_t cluster = folder->GetFirstCluster();
  const bool claimed =
      m_partition.IsHeapCluster(static_cast<uint64_t>(cluster)) && m_read.count(static_cast<uint32_t>(cluster)) != 0;
  if (claimed) {
    ++m_counters.claimedFolders;
    folder->SetID(m_nextClaimedID++);
  }
  // Once handed over, the node is the builder's: what the walk needs is
  // taken first.
  const FolderToRead next{static_cast<uint32_t>(cluster), folder->GetFileSize(), folder->IsFatInvalid(),
                          folder->GetCurrentNodeID()};
  if (m_builder->AddNode(folder, SEARCHER_TYPE_EXFAT) == 0) {
    ++m_counters.nodesRefused;
    folder->Release();
    return;
  }
  if (claimed || !read) return;
  BuildChildren(next.cluster, next.length, next.contiguous, true, next.id);
}

bool CExFatQuickSearch::BuildChildren(uint32_t cluster, uint64_t length, bool contiguous, bool deleted,
                                      int64_t folderID) {
  const uint32_t bytesPerCluster = m_partition.GetBytesPerCluster();
  const uint32_t spc = m_partition.GetSectorsPerCluster();
  bool ok = true;
  m_parser.ResetSet();
  uint64_t left = length;
  const uint32_t bytesPerSector = m_partition.GetBytesPerSector();
  SectorRuns lost;
  bool cut = false;  // the last sectors read before were lost
  while (m_partition.IsHeapCluster(cluster) && m_read.insert(cluster).second) {
    const int64_t sector = m_partition.ConvertClusterNumToSector(cluster);
    lost.clear();
    if (!unreadable::ReadAround(m_device, m_cluster.data(), sector, spc, lost)) {
      ok = false;
      m_readFailed = true;
      ++m_counters.failedReads;
      CatchExeception::WriteLog("CExFatQuickSearch: cannot read folder cluster %u (sector %lld)\r\n", cluster,
                                static_cast<long long>(sector));
      break;
    }
    ++m_counters.clustersRead;
    if (!deleted) m_partition.NoteClusterInUse(cluster);
    if (!lost.empty()) {
      m_readFailed = true;
      ++m_counters.failedReads;
      CatchExeception::WriteLog("CExFatQuickSearch: lost sectors of folder cluster %u (sector %lld)\r\n", cluster,
                                static_cast<long long>(sector));
    }
    // The entries on sectors a failing medium could not give are gone (their
    // zeros are no end of the folder); a set they cut is dropped, and the
    // folder goes on after them.
    bool ended = false;
    unreadable::ForEachReadable(sector, spc, lost, [&](int64_t from, int64_t count) {
      if (ended) return;
      if (cut || from != sector) m_parser.ResetSet();
      cut = false;
      ended = !m_parser.Analyze(m_cluster.data() + size_t(from - sector) * bytesPerSector,
                                size_t(count) * bytesPerSector, from, bytesPerSector);
    });
    if (ended) break;
    cut = !lost.empty() && lost.back().first + lost.back().second >= sector + spc;
    if (left <= bytesPerCluster) break;
    left -= bytesPerCluster;
    cluster = m_partition.GetNextCluster(cluster, contiguous);
  }
  if (m_partition.HasReadFailed()) m_readFailed = true;
  // The root names the allocation bitmap, which tells a deleted file's chain
  // that still holds from one whose clusters went to other files.
  uint32_t bitmapCluster = 0;
  uint64_t bitmapLength = 0;
  if (folderID == m_partition.ConvertClusterNumToSector(m_partition.GetRootCluster()) &&
      !m_partition.HasAllocationBitmap() && m_parser.GetAllocationBitmap(&bitmapCluster, &bitmapLength)) {
    m_partition.SetAllocationBitmap(bitmapCluster, bitmapLength);
    if (m_parser.GetUpcaseTable(&bitmapCluster, &bitmapLength)) m_partition.SetUpcaseTable(bitmapCluster, bitmapLength);
  }

  std::vector<_tagFileBaseInfo>& records = m_parser.GetFileList();
  for (_tagFileBaseInfo& info : records) {
    if (deleted) info.inUse = 0;
    if (info.inUse == 0 && (info.attributes & CExFatFileNode::kDirectory) == 0 && !m_liveWalked) {
      try {
        m_heldBack.push_back(HeldBackFile{info, folderID});
        continue;
      } catch (const std::bad_alloc&) {
        // Built now: without the judged bitmap its guess is unsure.
      }
    }
    AddFile(info, folderID, info.inUse != 0);
  }
  records.clear();
  return ok;
}

void CExFatQuickSearch::Finish(ResultCode error) {
  m_builder->SetPartitonDevice(m_valid ? &m_record : nullptr, m_device);
  m_builder->FlashBuild(SEARCHER_TYPE_EXFAT);
  Report(PROGRESS_STATUS_FINISHED, 1, 1, error);
}

IQuickFileSystemSearchController* CreateEXFatQuickSearcher() { return new (std::nothrow) CExFatQuickSearch(); }
