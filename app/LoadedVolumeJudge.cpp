#include "app/LoadedVolumeJudge.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <utility>
#include <vector>

#include "AllocationJudge.h"
#include "FileNode.h"
#include "RecoveryController.h"
#include "SearchedPartitionInfo.h"
#include "app/KVCPPPublic.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "app/RestoreFileNode.h"
#include "base/CatchExeception.h"
#include "copyout/CDataRecovery.h"
#include "exfat/ExFatAllocationJudge.h"
#include "fat/FATAllocationJudge.h"
#include "hfsplus/HFSPlusAllocationJudge.h"
#include "ntfs/NTFSAllocationJudge.h"

namespace SaveRestoreResult {

namespace {

std::atomic<uint64_t> g_changedFiles{0};

std::unique_ptr<IAllocationJudge> MakeJudge(IStorageDevice* device, const CSearchedPartitionInfo& partition,
                                            _tagSearcherType type) {
  switch (type) {
    case SEARCHER_TYPE_FAT:
      return CreateFATAllocationJudge(device, partition);
    case SEARCHER_TYPE_EXFAT:
      return CreateExFatAllocationJudge(device, partition);
    case SEARCHER_TYPE_NTFS:
      return CreateNTFSAllocationJudge(device, partition);
    case SEARCHER_TYPE_HFSPLUS:
      return CreateHFSPlusAllocationJudge(device, partition);
    default:
      // Carved files have no file system to ask.
      return nullptr;
  }
}

void ReleaseCopyOut(IDataRecovery* copyOut) {
  if (copyOut != nullptr) copyOut->Release();
}

// The device the copy-out object of a tree reads through.
IStorageDevice* CopyOutDevice(IDataRecovery* copyOut) {
  auto* records = dynamic_cast<CDataRecovery*>(copyOut);
  return records != nullptr ? records->GetDevice() : nullptr;
}

}  // namespace

LoadedVolumeJudge::LoadedVolumeJudge(bool ownEntryRequired) : m_ownEntryRequired(ownEntryRequired) {}
LoadedVolumeJudge::~LoadedVolumeJudge() = default;

IAllocationJudge* LoadedVolumeJudge::JudgeOf(IStorageDevice* device, const CSearchedPartitionInfo* partition,
                                             _tagSearcherType type) {
  const auto key = std::make_pair(device, partition);
  auto known = m_judges.find(key);
  if (known == m_judges.end()) {
    std::unique_ptr<IAllocationJudge> made;
    try {
      made = MakeJudge(device, *partition, type);
    } catch (const std::bad_alloc&) {
      made.reset();
    }
    if (made != nullptr) made->SetOwnEntryRequired(m_ownEntryRequired);
    if (made == nullptr && type != SEARCHER_TYPE_RAW) {
      CatchExeception::WriteLog("Loaded result: a volume of searcher %d at sector %lld cannot be judged\r\n",
                                static_cast<int>(type), static_cast<long long>(partition->GetStartSector()));
    }
    known = m_judges.emplace(key, std::move(made)).first;
  }
  return known->second.get();
}

bool LoadedVolumeJudge::CarvedTaken(RestoreFileNode& node, IStorageDevice* device) {
  if (!m_treesAsked) {
    m_treesAsked = true;
    if (m_trees) m_treeList = m_trees();
  }
  auto known = m_carved.find(device);
  if (known == m_carved.end()) {
    auto made = std::make_unique<LoadedCarvedJudge>(
        device, m_treeList, [this, device](const CSearchedPartitionInfo* partition, _tagSearcherType type) {
          return JudgeOf(device, partition, type);
        });
    known = m_carved.emplace(device, std::move(made)).first;
  }
  return known->second->IsTaken(node);
}

bool LoadedVolumeJudge::Judge(RestoreFileNode& node, IStorageDevice* device, _tagSearcherType type) {
  {
    NodeTreeGuard tree;
    // A copy that fails already needs no other reason.
    if (node.IsDirectory() != 0 || node.IsContentUnsure() || node.IsSizeDamaged()) return false;
  }
  const CSearchedPartitionInfo* partition = node.GetJudgedPartition();
  if (device == nullptr || partition == nullptr) return false;
  const bool carved = type == SEARCHER_TYPE_RAW;
  bool taken = false;
  try {
    if (carved) {
      taken = CarvedTaken(node, device);
    } else {
      IAllocationJudge* judge = JudgeOf(device, partition, type);
      taken = judge != nullptr && judge->IsTaken(node);
    }
  } catch (const std::bad_alloc&) {
    taken = false;  // nothing more than the scan said
  }
  // Where nothing tells that the device holds the volumes scanned, nothing
  // vouches for a carved file's sectors.
  if (!taken && !(carved && m_ownEntryRequired)) return false;
  NodeTreeGuard tree;
  if (node.IsContentUnsure()) return false;
  node.SetContentUnsure(true);
  return true;
}

bool LoadedVolumeJudge::JudgeBeforeCopy(IFileNode* node, IDataRecovery* copyOut, _tagSearcherType type) {
  auto* restored = dynamic_cast<RestoreFileNode*>(node);
  return restored != nullptr && Judge(*restored, CopyOutDevice(copyOut), type);
}

uint64_t LoadedVolumeJudge::JudgeAll(std::vector<RestoreFileNode*>& files, IStorageDevice* device,
                                     _tagSearcherType type) {
  if (device == nullptr) return 0;
  if (type == SEARCHER_TYPE_RAW) {
    uint64_t taken = 0;
    for (RestoreFileNode* file : files) {
      {
        NodeTreeGuard tree;
        if (file->IsDirectory() != 0 || file->IsContentUnsure() || file->IsSizeDamaged()) continue;
      }
      bool carvedTaken = false;
      try {
        carvedTaken = file->GetJudgedPartition() != nullptr && CarvedTaken(*file, device);
      } catch (const std::bad_alloc&) {
        carvedTaken = false;
      }
      if (!carvedTaken && !m_ownEntryRequired) continue;
      NodeTreeGuard tree;
      file->SetContentUnsure(true);
      if (carvedTaken) ++taken;
    }
    return taken;
  }
  // The files to judge (a copy that fails already needs no other reason),
  // volume by volume, with where their records lie: each volume's are
  // judged in that order, so that each piece of it is read once.
  std::vector<std::pair<const CSearchedPartitionInfo*, std::vector<JudgedFile>>> volumes;
  {
    NodeTreeGuard tree;
    size_t last = 0;
    for (RestoreFileNode* file : files) {
      if (file->IsDirectory() != 0 || file->IsContentUnsure() || file->IsSizeDamaged()) continue;
      const CSearchedPartitionInfo* partition = file->GetJudgedPartition();
      if (partition == nullptr) continue;
      if (last >= volumes.size() || volumes[last].first != partition) {
        last = 0;
        while (last < volumes.size() && volumes[last].first != partition) ++last;
        if (last == volumes.size()) {
          volumes.emplace_back(partition, std::vector<JudgedFile>());
          volumes.back().second.reserve(files.size());
        }
      }
      volumes[last].second.push_back({file->GetMetadataStartPosition(), file});
    }
  }
  uint64_t marked = 0;
  for (const auto& [partition, judged] : volumes) {
    IAllocationJudge* judge = JudgeOf(device, partition, type);
    if (judge == nullptr) continue;
    // A large volume's files on several threads, each a part of them.
    const std::vector<uint8_t> taken = JudgeFiles(*judge, judged, JudgeThreadsFor(judged.size()));
    NodeTreeGuard tree;
    for (size_t i = 0; i < judged.size(); ++i) {
      if (taken[i] == 0 || judged[i].file->IsContentUnsure()) continue;
      judged[i].file->SetContentUnsure(true);
      ++marked;
    }
  }
  return marked;
}

std::vector<LoadedTree> LoadedTreesOf(KVUIScan& scan,
                                      const std::function<IDataRecovery*(IFilesystemNode*)>& copyOutOf) {
  std::vector<LoadedTree> out;
  for (IFilesystemNode* root : scan.GetFileSystemNode()) {
    out.push_back({root, root->GetSearcheType(), CopyOutDevice(copyOutOf(root))});
  }
  return out;
}

uint64_t JudgeLoadedResult(KVUIScan& scan, KVUIDeviceData& devices, IStorageDevice* storage, bool verified) {
  g_changedFiles = 0;
  IRecoveryController* controller = scan.GetRecoveryController();
  if (controller == nullptr || storage == nullptr) return 0;
  const std::shared_ptr<const void> open = devices.HoldDevices(storage);
  if (open == nullptr) return 0;
  const bool quick = controller->thisType() == RECOVERY_CONTROLLER_DELETED;

  // Each tree with the device its copy-out object reads; a complete scan's
  // trees of one searcher share one object.
  using CopyOut = std::unique_ptr<IDataRecovery, void (*)(IDataRecovery*)>;
  std::map<_tagSearcherType, CopyOut> made;
  const std::vector<LoadedTree> trees = LoadedTreesOf(scan, [&](IFilesystemNode* root) -> IDataRecovery* {
    if (quick) return scan.GetFileNodeDataRecover(root);
    const _tagSearcherType type = root->GetSearcheType();
    auto it = made.find(type);
    if (it == made.end()) it = made.emplace(type, CopyOut(controller->GetDataRecovery(type), ReleaseCopyOut)).first;
    return it->second.get();
  });
  std::map<IFilesystemNode*, std::vector<RestoreFileNode*>> files;
  for (const auto& [category, nodes] : scan.GetTypeMap()) {
    for (IFileNode* node : nodes) {
      if (auto* restored = dynamic_cast<RestoreFileNode*>(node)) {
        files[KVCPPPublic::instance().GetFileSystemNode(node)].push_back(restored);
      }
    }
  }
  LoadedVolumeJudge judge(!verified);
  judge.UseTrees([&trees] { return trees; });
  uint64_t marked = 0;
  // Carved files last: they are held against what the other trees' files
  // held at the scan and hold now.
  for (const bool carved : {false, true}) {
    for (const LoadedTree& tree : trees) {
      if ((tree.type == SEARCHER_TYPE_RAW) != carved || tree.device == nullptr) continue;
      const auto own = files.find(tree.root);
      if (own != files.end()) marked += judge.JudgeAll(own->second, tree.device, tree.type);
    }
  }
  if (marked != 0) {
    CatchExeception::WriteLog("Loaded result: %llu files lost their clusters to other files since the scan\r\n",
                              static_cast<unsigned long long>(marked));
  }
  g_changedFiles = marked;
  return marked;
}

uint64_t LastLoadChangedFiles() { return g_changedFiles.load(); }
void ResetLoadChangedFiles() { g_changedFiles = 0; }

}  // namespace SaveRestoreResult
