#include "fat/FATBuildWorker.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>

#include "DataRunList.h"
#include "DirecotryTreeBuilder.h"
#include "Progress.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "fat/FATBuildDataRun.h"
#include "fat/FATClusterClaims.h"
#include "fat/FATDBR.h"
#include "fat/FATDirEntry.h"
#include "fat/FATFileNode.h"
#include "fat/FATFileProperties.h"
#include "fat/FATRevision.h"
#include "fat/FATTable.h"

namespace {

// Directory chains are read in runs of at most this many sectors.
constexpr uint32_t kRunSectors = 128;
// Room in front of a run for a long-name run carried over from the last one.
constexpr uint32_t kCarryBytes = CTempFATDirEntry::kMaxLongNamePieces * 32;

bool IsDotName(const uint8_t* entry) { return entry[0] == '.'; }

}  // namespace

void ReportFATProgress(IProgress* progress, uint32_t status, uint64_t percent) {
  if (progress == nullptr) return;
  _PROGRESS_INFO info;
  info.status = status;
  info.total = 100;
  info.current = percent;
  progress->UpdateProgress(&info);
}

CFATBuildChildren::CFATBuildChildren(IDirecotryTreeBuilder* builder, CSearchedPartitionInfo* record,
                                     IStorageDevice* device, const FATGeometry& geometry, IFATTable* table)
    : m_builder(builder), m_record(record), m_device(device), m_g(geometry), m_table(table) {
  m_sectorSize = device != nullptr && device->GetSectorSize() != 0 ? device->GetSectorSize() : 512;
  const size_t slots = static_cast<size_t>(std::min<uint64_t>(m_g.clusterCount + 2, 0x10000000));
  m_parsed.assign(slots, false);
  m_liveFolder.assign(slots, false);
}

CFATBuildChildren::~CFATBuildChildren() {
  for (CFATFileNode* node : m_heldFolders) node->Release();
  for (CFATFileNode* node : m_revisionFiles) node->Release();
}

bool CFATBuildChildren::ClusterInVolume(uint64_t cluster) const {
  return cluster >= 2 && cluster <= m_g.clusterCount + 1 && cluster < m_parsed.size();
}

int64_t CFATBuildChildren::SectorOfCluster(uint64_t cluster) const {
  if (cluster < 2) return 0;
  return static_cast<int64_t>(cluster - 2) * m_g.sectorsPerCluster + m_g.dataStart;
}

void CFATBuildChildren::AddToBuilder(CFATFileNode* node) {
  if (m_builder == nullptr || m_builder->AddNode(node, SEARCHER_TYPE_FAT) == 0) node->Release();
}

uint32_t CFATBuildChildren::BuildChildrenFromBuffer(const uint8_t* bytes, uint32_t length,
                                                    const FATFolderToParse* parent, std::deque<FATFolderToParse>& live,
                                                    std::deque<FATFolderToParse>& deleted, int stopAtInvalid) {
  if (bytes == nullptr) return kInvalidRun;
  const uint32_t parentCluster = parent != nullptr ? parent->cluster : 0;
  const bool parentDeleted = parent != nullptr && parent->deleted;
  const bool parentUnsure = parent != nullptr && parent->unsure;
  constexpr uint32_t kNone = 0xFFFFFFFF;
  uint32_t longStart = kNone;
  uint32_t dots = 0;
  uint32_t o = 0;
  for (; o + 32 <= length; o += 32) {
    const uint8_t* raw = bytes + o;
    CTempFATDirEntry entry(raw);
    // Content no folder leads to must look written as a folder is.
    if (stopAtInvalid != 0 ? !entry.IsLikelyFATDirEntry(0) : !entry.IsValidFATDirEntry(0)) {
      if (raw[0] != 0) ++m_invalidEntries;
      longStart = kNone;
      if (stopAtInvalid != 0) return length;
      continue;
    }
    if (entry.IsLongFileNameEntry()) {
      if (longStart == kNone) longStart = o;
      // A run longer than any name: the oldest pieces belong to nothing.
      if (o - longStart >= kCarryBytes) longStart += 32;
      continue;
    }
    if (entry.IsVolumeLabel()) {
      longStart = kNone;
      continue;
    }
    if (IsDotName(raw)) {
      longStart = kNone;
      if (++dots > 2) return kInvalidRun;
      continue;
    }
    const uint32_t c = entry.GetFirstClusterNO();
    const uint32_t from = longStart != kNone ? longStart : o;
    longStart = kNone;
    if (c >= 2 && !ClusterInVolume(c)) {
      if (stopAtInvalid != 0) return length;
      continue;
    }
    if (parentCluster != 0 && c == parentCluster) continue;
    CFATFileProperties* p =
        CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(bytes + from, o + 32 - from);
    if (p == nullptr) continue;
    // Erased in its own entry, or only shown deleted for its folder's sake
    // (a deleted folder, or one the complete scan found without its parent).
    const bool erased = (p->GetState() & CFATFileProperties::kStateDeleted) != 0;
    if (parentDeleted) p->SetState(p->GetState() | CFATFileProperties::kStateDeleted);
    const bool isDeleted = (p->GetState() & CFATFileProperties::kStateDeleted) != 0;
    const bool folder = entry.IsDirectory();
    if (parent == nullptr && !isDeleted) ++m_rootLiveEntries;
    p->SetParentFirstClusterNum(parentCluster);
    p->SetMetaDataSector(SectorOfCluster(parentCluster));
    IDataRunList* runs = nullptr;
    // Empty files, and entries whose cluster field is 0 or 1 (which would
    // collide with the root's ID), get IDs of their own.
    if ((!folder && p->GetFileSize() < 1) || c < 2) {
      p->SetFirstClusterNum(static_cast<int64_t>(GetEmptyFileVirtualClusterNumObject()->GetVirtualClusterNum()));
    } else {
      p->SetFirstClusterNum(c);
      if (!folder) {
        CFATBuildDataRun builder(m_table, m_sectorSize, m_g.sectorsPerCluster, m_g.clusterCount);
        const int entry = erased      ? CFATBuildDataRun::kErasedEntry
                          : isDeleted ? CFATBuildDataRun::kUnvouchedEntry
                                      : CFATBuildDataRun::kLiveEntry;
        runs = builder.BuildDataRunList(c, static_cast<int64_t>(p->GetFileSize()), entry);
        if (runs != nullptr) {
          p->KeepSupportedSize(builder.GetSupportedSize());
          p->SetContentUnsure(builder.IsContentUnsure());
        }
      }
    }
    if (parentUnsure) p->SetContentUnsure(true);
    auto* node = new (std::nothrow) CFATFileNode();
    if (node == nullptr) {
      CFATFileProperties::Destory(p);
      if (runs != nullptr) runs->Release();
      continue;
    }
    node->SetFileProperties(p);
    node->SetDataRunList(runs);
    node->SetBelongedPartition(m_record != nullptr ? m_record->GetPartitionIndex() : 0);

    if (!folder) {
      // Only an erasing deletion can have wiped the first cluster's high
      // word: an entry that is not erased keeps its cluster, whatever its
      // folder.
      if (erased && m_revision) {
        m_revisionFiles.push_back(node);
      } else {
        AddToBuilder(node);
      }
      continue;
    }
    // A folder entry without a cluster of its own has no content to walk.
    const bool walkable = ClusterInVolume(c);
    if (isDeleted) {
      m_heldFolders.push_back(node);
      if (m_revision) m_revisionFolders.push_back(node);
      if (walkable) deleted.push_back(FATFolderToParse{c, true, node, parentUnsure});
    } else {
      AddToBuilder(node);
      if (walkable) {
        m_liveFolder[c] = true;
        live.push_back(FATFolderToParse{c, false, nullptr, parentUnsure});
      }
    }
  }
  return longStart != kNone ? longStart : o;
}

bool CFATBuildChildren::BuildChildren(const FATFolderToParse* folder, uint32_t firstCluster,
                                      std::deque<FATFolderToParse>& live, std::deque<FATFolderToParse>& deleted,
                                      int isRoot) {
  const uint64_t runBytesMax = uint64_t{std::max(kRunSectors, m_g.sectorsPerCluster)} * m_sectorSize;
  if (m_work.size() < runBytesMax + kCarryBytes) m_work.assign(runBytesMax + kCarryBytes, 0);
  uint32_t carried = 0;
  uint64_t c = firstCluster;
  bool first = true;
  bool parsedAny = false;
  bool broken = false;  // a read failed, or the table has no next cluster where it needs one
  const uint64_t invalidBefore = m_invalidEntries;
  while (ClusterInVolume(c)) {
    if (m_parsed[c]) break;  // parsed before, or the chain came back round
    // A run of consecutive clusters, none parsed before.
    uint64_t runClusters = 1;
    uint64_t next = m_table != nullptr ? m_table->GetNextCluster(static_cast<uint32_t>(c)) : 0;
    while (next == c + runClusters && ClusterInVolume(next) && !m_parsed[next] &&
           (runClusters + 1) * m_g.sectorsPerCluster <= kRunSectors) {
      ++runClusters;
      next = m_table->GetNextCluster(static_cast<uint32_t>(next));
    }
    const uint64_t runBytes = runClusters * m_g.sectorsPerCluster * m_sectorSize;
    uint8_t* at = m_work.data() + carried;
    // Entries on sectors a failing medium could not give read as zeros,
    // which are no entries: those after them are still read.
    SectorRuns lost;
    if (!unreadable::ReadAround(m_device, at, SectorOfCluster(c),
                                static_cast<int64_t>(runClusters * m_g.sectorsPerCluster), lost)) {
      broken = true;
      break;
    }
    if (first) {
      const CTempFATDirEntry dot(at);
      const CTempFATDirEntry dotDot(at + 32);
      const bool dots = dot.IsDirectory() && CFATFolderAnalyser::IsCurDirFileName(dot) && dotDot.IsDirectory() &&
                        CFATFolderAnalyser::IsParentDirFileName(dotDot);
      const bool anyDot = CFATFolderAnalyser::IsCurDirFileName(dot) || CFATFolderAnalyser::IsParentDirFileName(dotDot);
      // A live folder's chain is its own, whatever its first cluster now
      // holds (damage may have taken "." and ".."): the rest of it is still
      // read. A deleted folder's cluster may be anything since.
      const bool live = folder != nullptr && !folder->deleted;
      if (isRoot != 0 ? anyDot : (!dots && !live)) return false;
      first = false;
    }
    for (uint64_t i = 0; i < runClusters; ++i) m_parsed[c + i] = true;
    const uint32_t total = carried + static_cast<uint32_t>(runBytes);
    const uint32_t used = BuildChildrenFromBuffer(m_work.data(), total, folder, live, deleted, 0);
    parsedAny = true;
    if (used == kInvalidRun) break;
    carried = std::min(total - std::min(used, total), kCarryBytes);
    if (carried > 0) std::copy(m_work.data() + total - carried, m_work.data() + total, m_work.data());
    // The next cluster: plain end-of-chain values, bad clusters and clusters
    // past the volume all end the walk in the loop test.
    // A chain that comes back round was read whole all the same.
    broken = next < fatchain::kEndOfChain && !ClusterInVolume(next);
    c = next >= fatchain::kBadCluster ? 0 : next;
  }
  if (isRoot != 0 && parsedAny && (broken || m_invalidEntries != invalidBefore)) m_rootDamaged = true;
  if (m_revision) {
    m_revision(m_revisionFolders, m_revisionFiles);
    m_revisionFolders.clear();
    m_revisionFiles.clear();
  }
  return parsedAny;
}

bool CFATBuildChildren::BuildRoot(std::deque<FATFolderToParse>& live, std::deque<FATFolderToParse>& deleted,
                                  int readRoot) {
  if (readRoot == 0 || m_device == nullptr) return false;
  if (m_g.type == 2) return BuildChildren(nullptr, m_g.rootCluster, live, deleted, 1);
  // The fixed root of FAT16, sized from its entry count and read only where
  // the volume holds it.
  const uint64_t rootEnd = static_cast<uint64_t>(m_g.rootStart - m_g.volumeStart) + m_g.rootSectors;
  if (m_g.rootSectors == 0 || rootEnd > m_g.totalSectors) return false;
  std::vector<uint8_t> root;
  try {
    root.assign(size_t{m_g.rootSectors} * m_sectorSize, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  SectorRuns lost;
  if (!unreadable::ReadAround(m_device, root.data(), m_g.rootStart, m_g.rootSectors, lost)) return false;
  const uint64_t invalidBefore = m_invalidEntries;
  const uint32_t used =
      BuildChildrenFromBuffer(root.data(), static_cast<uint32_t>(root.size()), nullptr, live, deleted, 0);
  if (m_invalidEntries != invalidBefore) m_rootDamaged = true;
  if (m_revision) {
    m_revision(m_revisionFolders, m_revisionFiles);
    m_revisionFolders.clear();
    m_revisionFiles.clear();
  }
  return used != kInvalidRun;
}

bool CFATBuildChildren::IsRootEmptiedOfFiles() const {
  if (m_rootLiveEntries != 0 || m_table == nullptr) return false;
  // One cluster given to a file is enough; a sound empty volume has none
  // but the root's own.
  for (uint64_t c = 2; c <= m_g.clusterCount + 1 && c < m_parsed.size(); ++c) {
    if (m_parsed[c]) continue;
    const uint32_t next = m_table->GetNextCluster(static_cast<uint32_t>(c));
    if (next != 0 && next != fatchain::kBadCluster) return true;
  }
  return false;
}

bool CFATBuildChildren::BuildSubDirChild(FATFolderToParse& folder, std::deque<FATFolderToParse>& live,
                                         std::deque<FATFolderToParse>& deleted) {
  if (m_g.type != 2 || !folder.deleted || folder.held == nullptr) return false;
  CFATFileProperties* p = folder.held->GetFileProperties();
  if (p == nullptr || (p->GetAttribute() & CFATFileProperties::kDirectory) == 0 ||
      (p->GetState() & 0xFF) != CFATFileProperties::kStateDeleted) {
    return false;
  }
  const uint32_t low = folder.cluster & 0xFFFF;
  for (uint32_t k = 0; k < 50; ++k) {
    const uint64_t candidate = low + uint64_t{k} * 65536;
    if (!ClusterInVolume(candidate) || m_parsed[candidate]) continue;
    IDataRunList* runs =
        CFATBuildDataRun(m_table, m_sectorSize, m_g.sectorsPerCluster, m_g.clusterCount)
            .BuildDataRunList(static_cast<uint32_t>(candidate), static_cast<int64_t>(p->GetFileSize()), 1);
    if (runs == nullptr) continue;
    // The node is still ours (deleted folders are handed over at the end),
    // so its ID can change before the tree builder indexes it.
    FATFolderToParse moved{static_cast<uint32_t>(candidate), true, folder.held, folder.unsure};
    if (BuildChildren(&moved, moved.cluster, live, deleted, 0)) {
      folder.held->SetDataRunList(runs);
      p->SetFirstClusterNum(static_cast<int64_t>(candidate));
      folder.held->SetCurrentNodeID(static_cast<int64_t>(candidate));
      folder.cluster = moved.cluster;
      const char* name = p->GetFileName();
      std::printf("\n ++++++++++++++++FirstCluNum=%lld,fileName=%s\n", static_cast<long long>(candidate),
                  name != nullptr ? name : "");
      return true;
    }
    runs->Release();
  }
  return false;
}

void CFATBuildChildren::HandOverDeletedFolders() {
  for (CFATFileNode* node : m_heldFolders) {
    CFATFileProperties* p = node->GetFileProperties();
    const int64_t cluster = p != nullptr ? p->GetFirstClusterNum() : -1;
    // A live folder owns this cluster now: the removed folder keeps its own
    // ID so that the live one's content stays under the live one.
    if (cluster >= 0 && static_cast<uint64_t>(cluster) < m_liveFolder.size() && m_liveFolder[cluster]) {
      const int64_t id = static_cast<int64_t>(GetEmptyFileVirtualClusterNumObject()->GetVirtualClusterNum());
      p->SetFirstClusterNum(id);
      node->SetCurrentNodeID(id);
    }
    AddToBuilder(node);
  }
  m_heldFolders.clear();
}

bool CFATBuildChildren::IsClusterStart(int64_t sector) const {
  return m_g.sectorsPerCluster != 0 && sector >= m_g.dataStart && (sector - m_g.dataStart) % m_g.sectorsPerCluster == 0;
}

uint32_t CFATBuildChildren::ClusterOfSector(int64_t sector) const {
  if (m_g.sectorsPerCluster == 0 || sector < m_g.dataStart) return 0;
  return static_cast<uint32_t>((sector - m_g.dataStart) / m_g.sectorsPerCluster + 2);
}

void CFATBuildChildren::BuildFat16LostRoot(int64_t sector, std::deque<FATFolderToParse>& live,
                                           std::deque<FATFolderToParse>& deleted) {
  if (m_device == nullptr) return;
  std::vector<uint8_t> buffer(std::max<uint32_t>(4096, m_sectorSize), 0);
  if (m_device->ReadSector(buffer.data(), sector, 1) == 0) return;
  BuildChildrenFromBuffer(buffer.data(), m_sectorSize, nullptr, live, deleted, 1);
  if (m_revision) {
    m_revision(m_revisionFolders, m_revisionFiles);
    m_revisionFolders.clear();
    m_revisionFiles.clear();
  }
}

CFATFileNode* CFATBuildChildren::CreateTempFileNode(uint32_t cluster, uint32_t parentCluster) const {
  // Numbered across every partition of the process, so that two made-up
  // folders never share a name.
  static std::atomic<uint32_t> s_counter{0};
  CFATFileProperties* p = CFATFileProperties::Create();
  if (p == nullptr) return nullptr;
  char name[24];
  std::snprintf(name, sizeof name, "DIR%u", s_counter.fetch_add(1));
  p->SetFileName(name);
  p->SetAttribute(static_cast<uint16_t>(p->GetAttribute() | CFATFileProperties::kDirectory));
  p->SetState(9);
  p->SetFirstClusterNum(cluster);
  p->SetParentFirstClusterNum(parentCluster);
  p->SetMetaDataSector(SectorOfCluster(parentCluster));
  auto* node = new (std::nothrow) CFATFileNode();
  if (node == nullptr) {
    CFATFileProperties::Destory(p);
    return nullptr;
  }
  node->SetFileProperties(p);
  node->SetBelongedPartition(m_record != nullptr ? m_record->GetPartitionIndex() : 0);
  return node;
}

void CFATBuildChildren::BuildLostFolder(uint32_t cluster, uint32_t parentCluster, std::deque<FATFolderToParse>& live,
                                        std::deque<FATFolderToParse>& deleted, bool unsure) {
  if (!ClusterInVolume(cluster) || m_parsed[cluster]) return;
  // The content is parsed under the cluster whether or not the builder took
  // the folder; a refused folder is released here and never looked at again.
  if (CFATFileNode* node = CreateTempFileNode(cluster, parentCluster)) AddToBuilder(node);
  const FATFolderToParse folder{cluster, true, nullptr, unsure};
  BuildChildren(&folder, cluster, live, deleted, 0);
}

void CFATBuildChildren::BuildLostNode(uint32_t cluster, std::deque<FATFolderToParse>& live,
                                      std::deque<FATFolderToParse>& deleted, bool unsure) {
  if (!ClusterInVolume(cluster) || m_parsed[cluster] || m_device == nullptr) return;
  const uint32_t sectors = std::min(m_g.sectorsPerCluster, kRunSectors);
  std::vector<uint8_t> buffer(size_t{sectors} * m_sectorSize, 0);
  const int64_t first = SectorOfCluster(cluster);
  SectorRuns lost;
  if (!unreadable::ReadAround(m_device, buffer.data(), first, sectors, lost)) return;
  m_parsed[cluster] = true;
  // A transient parent: the content's folder is not known, so it is not
  // shown; what it holds goes to the lost files as deleted. The sectors a
  // failing medium gave are each looked at, around those it could not.
  const FATFolderToParse parent{cluster, true, nullptr, unsure};
  unreadable::ForEachReadable(first, sectors, lost, [&](int64_t from, int64_t count) {
    BuildChildrenFromBuffer(buffer.data() + size_t(from - first) * m_sectorSize,
                            static_cast<uint32_t>(size_t(count) * m_sectorSize), &parent, live, deleted, 1);
  });
  if (m_revision) {
    m_revision(m_revisionFolders, m_revisionFiles);
    m_revisionFolders.clear();
    m_revisionFiles.clear();
  }
}

CFATBuildWorker::CFATBuildWorker(IDirecotryTreeBuilder* builder, IProgress* progress, CSearchedPartitionInfo* record,
                                 IStorageDevice* device, const FATGeometry& geometry, IFATTable* table)
    : m_builder(builder), m_progress(progress), m_record(record), m_device(device), m_g(geometry), m_table(table) {}

bool CFATBuildWorker::WalkQueued(CFATBuildChildren& children, std::deque<FATFolderToParse>& live,
                                 std::deque<FATFolderToParse>& deleted, bool report) {
  uint64_t done = 0;
  uint64_t reported = 0;
  while (!live.empty() || !deleted.empty()) {
    if (m_progress != nullptr && m_progress->Continued() == 0) return false;
    ++done;
    const uint64_t percent = done * 100 / (done + live.size() + deleted.size());
    if (report && percent > reported) {
      reported = percent;
      ReportFATProgress(m_progress, PROGRESS_STATUS_RUNNING, percent);
    }
    std::deque<FATFolderToParse>& queue = !live.empty() ? live : deleted;
    FATFolderToParse folder = queue.front();
    queue.pop_front();
    if (!children.BuildChildren(&folder, folder.cluster, live, deleted, 0)) {
      children.BuildSubDirChild(folder, live, deleted);
    }
  }
  return true;
}

std::unique_ptr<CFATFirstCluReviser> CFATBuildWorker::InstallRevision(CFATBuildChildren& children,
                                                                      IDirecotryTreeBuilder* builder) const {
  std::unique_ptr<CFATFirstCluReviser> reviser;
  if (m_g.type != FILE_SYSTEM_TYPE_FAT32 || !IsFAT32RevisionOn()) return reviser;
  reviser = std::make_unique<CFATFirstCluReviser>(builder, m_record, m_device, m_g, m_table);
  children.SetRevisionHook([r = reviser.get()](std::vector<CFATFileNode*>& folders, std::vector<CFATFileNode*>& files) {
    r->ReviseFAT32FileFirstClu(folders, files);
  });
  return reviser;
}

ResultCode CFATBuildWorker::QuickBuildDirectoryTree() {
  // Every node goes to the tree builder through the claims, which judge the
  // files that name the same clusters once the walk is done; the searcher
  // finishes the tree only after this returns, so every node the builder
  // took is still there to be marked.
  CFATClusterClaims claims(m_table, m_g.clusterCount, m_g.type == FILE_SYSTEM_TYPE_FAT32 ? m_g.rootCluster : 0,
                           Place());
  CFATClaimingTreeBuilder builder(m_builder, claims);
  const ResultCode result = QuickWalk(&builder);
  claims.Judge();
  return result;
}

ResultCode CFATBuildWorker::QuickWalk(IDirecotryTreeBuilder* builder) {
  GetEmptyFileVirtualClusterNumObject()->ResetVirtualClusterNum();
  // The reviser outlives the walk that calls it (declared first).
  std::unique_ptr<CFATFirstCluReviser> reviser;
  auto children = std::make_unique<CFATBuildChildren>(builder, m_record, m_device, m_g, m_table);
  reviser = InstallRevision(*children, builder);
  std::deque<FATFolderToParse> live;
  std::deque<FATFolderToParse> deleted;
  if (!children->BuildRoot(live, deleted, 1)) {
    children->HandOverDeletedFolders();
    return kRootFailed;
  }
  ResultCode result = WalkQueued(*children, live, deleted, true) ? 0 : kCancelled;
  children->HandOverDeletedFolders();
  if (result == 0) ReportFATProgress(m_progress, PROGRESS_STATUS_RUNNING, 100);
  // What the damaged root still led to is shown; the answer says the rest
  // needs the complete scan.
  if (result == 0 && children->IsRootDamaged()) result = kRootDamaged;
  if (result == 0 && children->IsRootEmptiedOfFiles()) result = kRootFailed;
  return result;
}

ResultCode CFATBuildWorker::CompleteBuildDirectoryTree(const FolderSectorSet& folderSectors, int readRoot) {
  // As the quick scan's: judged once the walk is done. The root of a
  // partition found without its boot sector is a guess, and dates nothing.
  CFATClusterClaims claims(m_table, m_g.clusterCount,
                           m_g.type == FILE_SYSTEM_TYPE_FAT32 && readRoot != 0 ? m_g.rootCluster : 0, Place());
  CFATClaimingTreeBuilder builder(m_builder, claims);
  const ResultCode result = CompleteWalk(&builder, folderSectors, readRoot);
  claims.Judge();
  return result;
}

ResultCode CFATBuildWorker::CompleteWalk(IDirecotryTreeBuilder* builder, const FolderSectorSet& folderSectors,
                                         int readRoot) {
  GetEmptyFileVirtualClusterNumObject()->ResetVirtualClusterNum();
  std::unique_ptr<CFATFirstCluReviser> reviser;
  auto children = std::make_unique<CFATBuildChildren>(builder, m_record, m_device, m_g, m_table);
  // Found partitions get the same revision of first clusters as a quick
  // scan of the volume.
  reviser = InstallRevision(*children, builder);
  std::deque<FATFolderToParse> live;
  std::deque<FATFolderToParse> deleted;
  // The walk from the root first: folders reached from it get their own
  // names, and only what it cannot reach is made up below.
  bool rootRead = children->BuildRoot(live, deleted, readRoot);
  // A FAT32 partition found from its subfolders: cluster 2 holds the root
  // when its first sector is directory content that is no subfolder's.
  if (readRoot == 0 && m_g.type == FILE_SYSTEM_TYPE_FAT32) {
    auto root = folderSectors.find(FIRSTFOLDERSECTOR{m_g.dataStart, 0, 0});
    if (root != folderSectors.end() && root->cluster == 0xFFFFFFFF) {
      rootRead = children->BuildChildren(nullptr, 2, live, deleted, 1);
    }
  }
  if (!WalkQueued(*children, live, deleted, false)) {
    children->HandOverDeletedFolders();
    return kCancelled;
  }

  // Directory sectors inside the partition.
  int64_t from = 0;
  int64_t to = 0;
  CompleteSweepRange(m_g, readRoot,
                     m_device != nullptr && m_device->GetSectorSize() != 0 ? m_device->GetSectorSize() : 512, &from,
                     &to);
  auto first = folderSectors.lower_bound(FIRSTFOLDERSECTOR{from, 0, 0});
  bool any = false;
  // Subfolders first (they keep their "." and ".." links), then content
  // whose folder is not known at all.
  for (auto it = first; it != folderSectors.end() && it->sector < to; ++it) {
    any = true;
    if (it->sector < m_g.dataStart) {
      if (readRoot == 0) children->BuildFat16LostRoot(it->sector, live, deleted);
    } else if (it->cluster != 0xFFFFFFFF && children->IsClusterStart(it->sector) &&
               children->ClusterOfSector(it->sector) == it->cluster && !children->IsClusterParsed(it->cluster)) {
      children->BuildLostFolder(it->cluster, it->parentCluster, live, deleted, it->shared);
    }
    if (!WalkQueued(*children, live, deleted, false)) {
      children->HandOverDeletedFolders();
      return kCancelled;
    }
  }
  for (auto it = first; it != folderSectors.end() && it->sector < to; ++it) {
    if (it->sector < m_g.dataStart || it->cluster != 0xFFFFFFFF || !children->IsClusterStart(it->sector)) continue;
    const uint32_t cluster = children->ClusterOfSector(it->sector);
    if (children->IsClusterParsed(cluster)) continue;
    children->BuildLostNode(cluster, live, deleted, it->shared);
    if (!WalkQueued(*children, live, deleted, false)) {
      children->HandOverDeletedFolders();
      return kCancelled;
    }
  }
  children->HandOverDeletedFolders();
  return rootRead || any ? 0 : kRootFailed;
}

void CFATBuildWorker::CompleteSweepRange(const FATGeometry& g, int readRoot, uint32_t sectorSize, int64_t* from,
                                         int64_t* to) {
  *from = g.dataStart;
  // A FAT16 root whose boot sector is gone lies just before the data; how
  // big it was is not known, so up to 128 KiB of it is looked at.
  if (readRoot == 0 && g.type == FILE_SYSTEM_TYPE_FAT16) {
    *from -= std::min<int64_t>(g.dataStart, 131072 / (sectorSize != 0 ? sectorSize : 512));
  }
  *to = g.volumeStart + static_cast<int64_t>(g.totalSectors);
}

bool CFATBuildWorker::IsFullValidDBR(const uint8_t* bootSector, int64_t volumeStart, IStorageDevice* device) {
  if (bootSector == nullptr || device == nullptr) return false;
  const uint32_t sectorSize = device->GetSectorSize();
  if (sectorSize < 512 || sectorSize % 512 != 0) return false;
  const CTempFATDBR dbr(bootSector, sectorSize);
  if (!dbr.IsValidDBR()) return false;
  if (uint64_t{dbr.GetSectorsPerFat()} * dbr.GetNumberOfFat() > dbr.GetTotalSectors()) return false;
  std::vector<uint8_t> sector(std::max<uint32_t>(4096, sectorSize), 0);
  const int64_t firstTable = volumeStart + dbr.GetReservedSector();
  bool lost = false;
  for (int copy = 0; copy < 2; ++copy) {
    std::fill(sector.begin(), sector.end(), 0);
    int type = 0;
    if (device->ReadSector(sector.data(), firstTable + int64_t{copy} * dbr.GetSectorsPerFat(), 1) != 0) {
      if (CFATTableAnalyser::IsValidFATTableFirstSector(sector.data(), sectorSize, &type)) return true;
    } else if (unreadable::IsSalvaged(device->GetLastError())) {
      // A sector a failing medium could not give tells nothing against the
      // boot sector, which holds.
      lost = true;
    }
  }
  return lost;
}
