#include "hfsplus/HFSPlusAllocationJudge.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "FileNode.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "device/PartitionDevice.h"
#include "hfsplus/CHFSPlusFileNode.h"
#include "hfsplus/CHFSPlusRawfile.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/HFSPlusFormat.h"

namespace {

// IDs below this are the volume's own files and folders.
constexpr int64_t kFirstUserID = 16;

// The catalog record of `key` (new[]), or null.
std::unique_ptr<uint8_t[]> Find(CHFSPlusVolume& volume, const BTKey& key) {
  HFSPlusSearchResult found;
  uint8_t* raw = nullptr;
  volume.Search(hfsplus::kCatalogFileID, &key, found, &raw);
  std::unique_ptr<uint8_t[]> record(raw);
  if (found.found == 0) record.reset();
  return record;
}

}  // namespace

CHFSPlusAllocationJudge::~CHFSPlusAllocationJudge() {
  m_volume.reset();
  if (m_window != nullptr) {
    m_window->Close();
    m_window->Release();
  }
}

std::unique_ptr<CHFSPlusAllocationJudge> CHFSPlusAllocationJudge::Open(IStorageDevice* device,
                                                                       const CSearchedPartitionInfo& record) {
  if (device == nullptr || record.GetFirstDataSector() < 0) return nullptr;
  const uint64_t deviceSector = device->GetSectorSize();
  const unsigned __int128 byte =
      static_cast<unsigned __int128>(static_cast<uint64_t>(record.GetFirstDataSector())) * record.GetSectorSize();
  if (deviceSector == 0 || byte % deviceSector != 0 || byte / deviceSector >= uint64_t(device->GetTotalSectors())) {
    return nullptr;
  }
  const auto start = static_cast<int64_t>(byte / deviceSector);
  std::unique_ptr<CHFSPlusAllocationJudge> judge(new (std::nothrow) CHFSPlusAllocationJudge());
  if (judge == nullptr) return nullptr;
  IStorageDevice* on = device;
  if (start != 0) {
    judge->m_window = CreatePartitionDevice(device, start, device->GetTotalSectors() - start);
    if (judge->m_window == nullptr || judge->m_window->Open() == 0) return nullptr;
    on = judge->m_window;
  }
  judge->m_on = on;
  judge->m_volumeByte = static_cast<uint64_t>(byte);
  // Without its catalog the volume keeps its header and reads its
  // allocation file; the catalog is read only when a file needs it.
  judge->m_volume.reset(new (std::nothrow) CHFSPlusVolume(on, true));
  if (judge->m_volume == nullptr || judge->m_volume->GetVolumeHeader() == nullptr) return nullptr;
  // The runs count in the volume's blocks.
  if (uint64_t{record.GetSectorsperCluster()} * record.GetSectorSize() != judge->m_volume->GetBlockSize()) {
    return nullptr;
  }
  return judge;
}

CHFSPlusVolume* CHFSPlusAllocationJudge::Catalog() {
  if (!m_catalogTried) {
    m_catalogTried = true;
    m_catalog.reset(new (std::nothrow) CHFSPlusVolume(m_on, false));
    if (m_catalog != nullptr && result::IsFailure(m_catalog->GetLastError())) m_catalog.reset();
  }
  return m_catalog.get();
}

bool CHFSPlusAllocationJudge::Describes(CFileNode& node) {
  CHFSPlusVolume* volume = Catalog();
  const int64_t id = node.GetCurrentNodeID();
  if (volume == nullptr || id < kFirstUserID || id > UINT32_MAX) return false;
  // The thread record of the ID names the file's parent and name.
  BTKey key{};
  key.catalog.keyLength = 6;
  key.catalog.parentID = static_cast<uint32_t>(id);
  const std::unique_ptr<uint8_t[]> threadBytes = Find(*volume, key);
  const auto* thread = reinterpret_cast<const HFSPlusCatalogRecord*>(threadBytes.get());
  if (thread == nullptr || thread->recordType != hfsplus::kFileThreadRecord) return false;
  key = BTKey{};
  key.catalog.parentID = thread->thread.parentID;
  const HFSUniStr255& name = thread->thread.nodeName;
  key.catalog.nodeName.length = static_cast<uint16_t>(std::min<uint32_t>(name.length, hfsplus::kMaxNameUnits));
  std::copy_n(name.unicode, key.catalog.nodeName.length, key.catalog.nodeName.unicode);
  key.catalog.keyLength = static_cast<uint16_t>(6 + 2 * key.catalog.nodeName.length);
  const std::unique_ptr<uint8_t[]> fileBytes = Find(*volume, key);
  const auto* record = reinterpret_cast<const HFSPlusCatalogRecord*>(fileBytes.get());
  if (record == nullptr || record->recordType != hfsplus::kFileRecord || record->file.fileID != id) return false;
  HFSPlusCatalogFile file = record->file;
  const std::string text = HFSPlusNameToUtf8(key.catalog.nodeName.unicode, key.catalog.nodeName.length);
  const char* saved = node.GetFileName();
  const bool sameName = saved != nullptr && text == saved && node.GetParentNodeID() == key.catalog.parentID;
  if (!sameName && hfsplus::HFSTimeToFileTime(file.createDate) != node.GetCreationTime()) return false;
  // A hard link's bytes (and times) are its indirect node's.
  uint32_t linkID = 0;
  if (IsHardLinkRecord(file, &linkID) && !volume->GetIndirectNodeFile(linkID, file)) return false;
  // Where nothing tells that the volume is the one scanned, a record of
  // another volume may give the same name and ID: its times are its own.
  if (m_ownEntryRequired && (hfsplus::HFSTimeToFileTime(file.createDate) != node.GetCreationTime() ||
                             hfsplus::HFSTimeToFileTime(file.contentModDate) != node.GetModificationTime())) {
    return false;
  }
  const bool compressed = (file.permissions.ownerFlags & hfsplus::kCompressedOwnerFlag) != 0;
  std::vector<HFSPlusExtentDescriptor> extents;
  hfsplus::CollectForkExtents(volume, file.fileID, compressed ? hfsplus::kResourceForkType : hfsplus::kDataForkType,
                              compressed ? file.resourceFork : file.dataFork, true, extents);
  m_now.clear();
  for (const HFSPlusExtentDescriptor& extent : extents) JoinRun(extent.startBlock, extent.blockCount, m_now);
  JoinRuns(node.GetDataRunList(), m_saved);
  return RunsBeginWith(m_saved, m_now);
}

bool CHFSPlusAllocationJudge::ForEachGiven(uint64_t begin, uint64_t end, const GivenPiece& given) {
  const HFSPlusVolumeHeader* header = m_volume->GetVolumeHeader();
  const uint64_t blockSize = m_volume->GetBlockSize();
  if (header == nullptr || blockSize == 0 || !m_volume->BlockMarks(0, 0, m_marks)) return false;
  const uint64_t totalBlocks = header->totalBlocks;
  const ClusterHeap heap{m_volumeByte, blockSize, 0, totalBlocks};
  // The marks are read a window at a time, as the blocks are asked for in
  // order: a range as long as the volume (a saved size is not to be
  // trusted) holds no more of them at once. A window that cannot be read
  // says nothing of its blocks.
  uint64_t marksFirst = 0;
  m_marks.clear();
  ForEachGivenCluster(
      begin, end, heap,
      [&](uint64_t block) {
        if (block < marksFirst || block - marksFirst >= m_marks.size()) {
          marksFirst = block;
          const uint64_t count = std::min(kMarksAtOnce, totalBlocks - block);
          if (!m_volume->BlockMarks(block, count, m_marks)) m_marks.assign(count, 0);
        }
        return m_marks[block - marksFirst] != 0;
      },
      given);
  return true;
}

bool CHFSPlusAllocationJudge::IsTaken(CFileNode& node) {
  if (node.IsDirectory() != 0) return false;
  IDataRunList* runs = node.GetDataRunList();
  if (runs == nullptr || runs->IsResident() != 0 || runs->GetFirst() == nullptr) return false;
  const int inUse = m_volume->RunsReachBlocksInUse(runs);
  // A deleted file has no record left to vouch for it.
  if (node.IsDeleted() != 0) return inUse == 1 || m_ownEntryRequired;
  // Free blocks, or blocks nothing tells the state of, are nobody's else.
  if (inUse != 1 && !m_ownEntryRequired) return false;
  return !Describes(node);
}

std::unique_ptr<IAllocationJudge> CreateHFSPlusAllocationJudge(IStorageDevice* device,
                                                               const CSearchedPartitionInfo& record) {
  return CHFSPlusAllocationJudge::Open(device, record);
}
