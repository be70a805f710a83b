#include "tree/CDirectoryTreeBuilder.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "DirectoryTree.h"
#include "FileNode.h"
#include "FileSystemSearchController.h"
#include "RecoveryFilter.h"
#include "SearchedPartitionInfo.h"
#include "tree/CFilesystemNode.h"
#include "tree/CRecyclerFilter.h"
#include "tree/RecycleNameRestorer.h"

namespace {

enum class NodeState : uint8_t {
  kNew,       // being added; becomes one of the others or is dropped
  kHeldBack,  // in a recycle list, waiting for FlashBuild
  kPending,   // added, not yet linked to the root
  kShown,     // linked to the root and handed to the sink (or about to be)
  kRetired,   // never shown but still linked to others when its tree finished
};

struct ReleaseNode {
  void operator()(IFileNode* node) const {
    if (node != nullptr) node->Release();
  }
};

const char* kPrivateDataName = "HFS+ Private Data";
const char* kLostFolderName = "Other lost files";
const char* kLostVolumeName = "LostFiles";

const char* NameOf(IFileNode* node) {
  const char* name = node->GetFileName();
  return name != nullptr ? name : "";
}

bool IsFolderNode(IFileNode* node) { return node->IsDirectory() != 0; }

uint16_t PartitionOf(IFileNode* node) {
  const auto* base = dynamic_cast<const CFileNode*>(node);
  return base != nullptr ? base->GetBelongedPartition() : 0xFFFF;
}

const char* Suffix(_tagSearcherType type) {
  switch (type) {
    case SEARCHER_TYPE_HFSPLUS:
      return "(HFS+)";
    case SEARCHER_TYPE_FAT:
      return "(FAT/FAT32)";
    case SEARCHER_TYPE_EXFAT:
      return "(ExFat)";
    case SEARCHER_TYPE_RAW:
      return "(RAW Files)";
    case SEARCHER_TYPE_NTFS:
      return "(NTFS)";
    default:
      return "";
  }
}

int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

struct CDirectoryTreeBuilder::NodeRecord {
  uint64_t seq = 0;
  NodeState state = NodeState::kNew;
  bool queued = false;   // in the tree's work list
  bool waiting = false;  // in the tree's waiting index
};

struct CDirectoryTreeBuilder::WorkItem {
  uint64_t seq;
  IFileNode* node;
};

struct _DIRECTORY_TREE_INFO {
  using WorkItem = CDirectoryTreeBuilder::WorkItem;
  using NodeRecord = CDirectoryTreeBuilder::NodeRecord;
  using Entry = CDirectoryTreeBuilder::Entry;

  ~_DIRECTORY_TREE_INFO() {
    for (auto& entry : nodes) entry.first->Release();
  }

  _tagSearcherType type = SEARCHER_TYPE_NONE;

  // Pending nodes in the order they came. Entries of nodes that have left
  // the pending state stay behind until the list is compacted.
  std::vector<WorkItem> pending;
  size_t pendingLive = 0;
  // Nodes to walk at the next build: new ones and woken waiting ones.
  std::vector<WorkItem> work;
  // Unlinked pending nodes whose walk stopped, by the parent ID they wait for.
  std::unordered_map<int64_t, std::vector<WorkItem>> waiting;

  std::vector<IFileNode*> otherTrash;
  // Recorded nodes by ID; several versions of one folder may coexist.
  std::unordered_map<int64_t, std::vector<Entry*>> folders;
  std::unordered_map<int64_t, std::vector<Entry*>> files;
  std::vector<int64_t> privateDataIDs;

  std::unique_ptr<CFilesystemNode, ReleaseNode> root;
  // The root as a parent: always shown.
  std::unique_ptr<Entry> rootEntry;
  // The root's own ID, and the IDs under which further volumes of the same
  // searcher (a complete scan finds several) register their roots: nodes
  // naming any of them as parent belong at the root.
  int64_t rootID = 0;
  std::vector<int64_t> moreRootIDs;
  bool trashKnown = false;
  int64_t trashID = 0;

  int64_t addedSinceBuild = 0;
  int64_t shownCount = 0;
  int64_t addedCount = 0;
  int64_t lastBuild = 0;
  bool trashFound = false;
  bool rootShown = false;

  // Recycle-bin entries held back until the tree finishes.
  std::vector<CFileNode*> recycledFiles;
  std::vector<CFileNode*> recycleFolders;
  std::vector<CFileNode*> recycleRecords;
  std::unordered_set<int64_t> recycleFolderIDs;

  // Every node the tree owns besides its root.
  std::unordered_map<IFileNode*, NodeRecord> nodes;
  uint64_t nextSeq = 0;

  uint64_t walkSteps = 0;
  int64_t builds = 0;

  bool IsRootID(int64_t id) const {
    return id == rootID || std::find(moreRootIDs.begin(), moreRootIDs.end(), id) != moreRootIDs.end();
  }
  Entry* Find(IFileNode* node) {
    auto it = nodes.find(node);
    return it != nodes.end() ? &*it : nullptr;
  }
  // The entry of an item's node while it is still the same pending node.
  Entry* Live(const WorkItem& item) {
    Entry* entry = Find(item.node);
    return entry != nullptr && entry->second.seq == item.seq && entry->second.state == NodeState::kPending ? entry
                                                                                                           : nullptr;
  }
  static bool IsRooted(const Entry* entry) { return entry->second.state == NodeState::kShown; }
  // Upper bound on the length of any walk by parent ID: no path through the
  // tree visits more nodes than it owns (plus the root and the node walked).
  size_t WalkLimit() const { return nodes.size() + 2; }

  void CompactPending() {
    std::erase_if(pending, [this](const WorkItem& item) { return Live(item) == nullptr; });
  }
};

IDirecotryTreeBuilder* CreateTreeBuilder(bool restoring) { return new (std::nothrow) CDirectoryTreeBuilder(restoring); }

CDirectoryTreeBuilder::CDirectoryTreeBuilder(bool restoring)
    : m_restoring(restoring),
      m_restorer(GetRecycleNameRestorer()),
      m_clock(SteadySeconds),
      m_pause([] { std::this_thread::sleep_for(std::chrono::seconds(1)); }) {}

CDirectoryTreeBuilder::~CDirectoryTreeBuilder() = default;

void CDirectoryTreeBuilder::Release() { delete this; }

void CDirectoryTreeBuilder::SetClock(std::function<int64_t()> secondsNow) { m_clock = std::move(secondsNow); }
void CDirectoryTreeBuilder::SetPause(std::function<void()> pause) { m_pause = std::move(pause); }
void CDirectoryTreeBuilder::SetRecycleNameRestorer(IRecycleNameRestorer* restorer) { m_restorer = restorer; }

int64_t CDirectoryTreeBuilder::Now() const { return m_clock ? m_clock() : 0; }

CDirectoryTreeBuilder::Tree* CDirectoryTreeBuilder::FindTree(_tagSearcherType type) const {
  for (const auto& tree : m_trees) {
    if (tree->type == type) return tree.get();
  }
  return nullptr;
}

int CDirectoryTreeBuilder::Initialize(const char* description, IDrirectoryTree* tree, IRecoveryFilter* filter) {
  if (description == nullptr || tree == nullptr || filter == nullptr) return 0;
  try {
    m_description = *description != '\0' ? description : "Disk";
  } catch (...) {
    return 0;
  }
  m_sink = tree;
  m_filter = filter;
  return 1;
}

void CDirectoryTreeBuilder::SetPartitionSource(_tagSearcherType type, IFileSystemSearchController* searcher) {
  if (searcher == nullptr) {
    m_partitionSources.erase(type);
  } else {
    m_partitionSources[type] = searcher;
  }
}

CSearchedPartitionInfo* CDirectoryTreeBuilder::RecyclePartitionOf(CFileNode* node) const {
  if (m_partition != nullptr || node == nullptr) return m_partition;
  if (m_sourcePartitions.size() == 1) return m_sourcePartitions.front().get();
  for (const auto& record : m_sourcePartitions) {
    if (record->GetPartitionIndex() == node->GetBelongedPartition()) return record.get();
  }
  return nullptr;
}

void CDirectoryTreeBuilder::SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) {
  m_partition = partition;
  m_device = device;
}

int CDirectoryTreeBuilder::AddSearcherInfo(_tagSearcherType type, int64_t rootNodeID) {
  if (Tree* tree = FindTree(type)) {
    if (tree->IsRootID(rootNodeID)) return 1;
    try {
      tree->moreRootIDs.push_back(rootNodeID);
    } catch (...) {
      return 0;
    }
    // Nodes that came before and wait for this ID can reach the root now.
    Touch(*tree, rootNodeID);
    return 1;
  }
  try {
    auto tree = std::make_unique<Tree>();
    tree->type = type;
    tree->rootID = rootNodeID;
    tree->root.reset(new CFilesystemNode(type, m_description + Suffix(type), m_description, rootNodeID));
    tree->rootEntry = std::make_unique<Entry>(tree->root.get(), NodeRecord{0, NodeState::kShown, false, false});
    tree->lastBuild = Now();
    m_trees.push_back(std::move(tree));
  } catch (...) {
    return 0;
  }
  return 1;
}

bool CDirectoryTreeBuilder::GetTreeCounters(_tagSearcherType type, TreeCounters* counters) const {
  const Tree* tree = FindTree(type);
  if (tree == nullptr || counters == nullptr) return false;
  counters->added = tree->addedCount;
  counters->shown = tree->shownCount;
  counters->pending = tree->pendingLive;
  counters->heldBack = tree->recycledFiles.size() + tree->recycleFolders.size() + tree->recycleRecords.size();
  counters->owned = tree->nodes.size();
  counters->walkSteps = tree->walkSteps;
  counters->builds = tree->builds;
  return true;
}

IFilesystemNode* CDirectoryTreeBuilder::GetRoot(_tagSearcherType type) const {
  const Tree* tree = FindTree(type);
  return tree != nullptr ? tree->root.get() : nullptr;
}

// ---------------------------------------------------------------------------
// Adding

int CDirectoryTreeBuilder::AddNode(IFileNode* node, _tagSearcherType type) {
  if (node == nullptr || m_filter == nullptr) return 0;
  if (m_filter->IsFileNodeValid(node) == 0) return 0;
  if (node->GetCurrentNodeID() == node->GetParentNodeID()) return 0;
  Tree* tree = FindTree(type);
  if (tree == nullptr) return 0;
  try {
    return AddNodeToTree(*tree, node, type);
  } catch (...) {
    // Out of memory half-way: a node the tree did not take in yet goes back
    // to the caller with nothing of the tree pointing at it.
    const Entry* entry = tree->Find(node);
    if (entry != nullptr && entry->second.state != NodeState::kHeldBack && entry->second.state != NodeState::kNew) {
      return 1;
    }
    Forget(*tree, node);
    return 0;
  }
}

int CDirectoryTreeBuilder::AddNodeToTree(Tree& tree, IFileNode* node, _tagSearcherType type) {
  for (const auto& other : m_trees) {
    if (other->root.get() == node) return 1;  // a root belongs to the builder already
  }
  auto [it, inserted] = tree.nodes.try_emplace(node);
  Entry& entry = *it;
  NodeRecord& record = entry.second;
  // A node the tree already owns is not taken twice; a held-back one comes
  // back only through the recycle pass.
  if (!inserted && !(record.state == NodeState::kHeldBack && m_recyclePass)) return 1;
  // A refused node leaves no trace; a refused held-back one goes back to the
  // recycle pass, which releases it.
  auto refuse = [&]() {
    tree.nodes.erase(node);
    return 0;
  };

  const char* name = NameOf(node);
  if (inserted && !m_recyclePass && DivertRecycled(tree, entry, name)) return 1;

  ++tree.addedSinceBuild;
  ++tree.addedCount;

  const int64_t id = node->GetCurrentNodeID();
  const int64_t parentID = node->GetParentNodeID();
  const bool folder = IsFolderNode(node);

  if (type == SEARCHER_TYPE_HFSPLUS && !m_restoring && tree.privateDataIDs.empty() && tree.IsRootID(parentID) &&
      std::strcmp(name, kPrivateDataName) == 0) {
    tree.privateDataIDs.push_back(id);
    DropPrivateDataChildren(tree, id);
    return refuse();
  }

  const bool trashNamed =
      !tree.trashFound && folder && (std::strcmp(name, ".Trashes") == 0 || std::strcmp(name, ".Trash") == 0);
  const bool isTrash = trashNamed && (tree.IsRootID(parentID) || IsUserTrash(tree, node));
  const bool dotName = name[0] == '.';
  // `name` may not survive the clean-up below.
  name = nullptr;

  if (folder) {
    if (!tree.privateDataIDs.empty() && parentID == tree.privateDataIDs.front()) return refuse();
    if (dotName) node->FilterFileNameByDot();
  } else if (dotName) {
    return refuse();
  }
  if (!RecordNode(tree, entry, folder)) return refuse();

  if (isTrash) {
    node->MarkDeleted();
    tree.trashID = id;
    tree.trashKnown = true;
  } else if (trashNamed) {
    tree.otherTrash.push_back(node);
  }

  record = NodeRecord{tree.nextSeq++, NodeState::kPending, false, false};
  ++tree.pendingLive;
  tree.pending.push_back({record.seq, node});
  if (tree.pending.size() > 1024 && tree.pending.size() > 2 * tree.pendingLive) tree.CompactPending();
  Queue(tree, entry);
  // Children that came first and wait for this folder look again.
  if (folder) Touch(tree, id);

  std::vector<IFileNode*> out = BuildTree(tree, false);
  if (!out.empty()) ShowNodes(tree, out, 0);
  return 1;
}

bool CDirectoryTreeBuilder::DivertRecycled(Tree& tree, Entry& entry, const char* name) {
  IFileNode* node = entry.first;
  const bool recycled = CRecyclerFilter::IsRecycleBin(node) || CRecyclerFilter::IsRecycleRecordName(name) ||
                        CRecyclerFilter::IsRecycledDataName(name) ||
                        tree.recycleFolderIDs.count(node->GetParentNodeID()) != 0;
  if (!recycled) return false;
  // Only nodes of the common base can be renamed later.
  auto* base = dynamic_cast<CFileNode*>(node);
  if (base == nullptr) return false;
  entry.second.state = NodeState::kHeldBack;
  if (CRecyclerFilter::IsFolder(node)) {
    tree.recycleFolders.push_back(base);
    tree.recycleFolderIDs.insert(node->GetCurrentNodeID());
  } else if (std::strncmp(name, "$I", 2) == 0) {
    tree.recycleRecords.push_back(base);
  } else {
    tree.recycledFiles.push_back(base);
  }
  node->MarkDeleted();
  return true;
}

void CDirectoryTreeBuilder::DropPrivateDataChildren(Tree& tree, int64_t privateDataID) {
  // Folders inside the private-data folder are never shown. Those that came
  // before it was known are taken out of the tree completely before they go.
  std::vector<IFileNode*> drop;
  for (const auto& item : tree.pending) {
    if (tree.Live(item) == nullptr) continue;
    IFileNode* node = item.node;
    if (IsFolderNode(node) && node->GetParentNodeID() == privateDataID && node->GetParent() == nullptr &&
        node->GetFirstChild() == nullptr) {
      drop.push_back(node);
    }
  }
  for (IFileNode* node : drop) {
    Forget(tree, node);
    node->Release();
  }
}

bool CDirectoryTreeBuilder::RecordNode(Tree& tree, Entry& entry, bool folder) {
  IFileNode* node = entry.first;
  auto& map = folder ? tree.folders : tree.files;
  std::vector<Entry*>& versions = map[node->GetCurrentNodeID()];
  if (!versions.empty() && !m_restoring) {
    if (auto* mine = dynamic_cast<CFileNode*>(node)) {
      for (Entry* kept : versions) {
        auto* keptNode = dynamic_cast<CFileNode*>(kept->first);
        if (keptNode == nullptr || !(*keptNode == *mine)) continue;
        // The same entry seen again: an empty copy adds nothing, and a copy
        // no older than the kept one is dropped; an older copy gives the kept
        // node its runs and size.
        if (node->GetFileSize() == 0) return false;
        if (keptNode->GetModificationTime() <= node->GetModificationTime()) return false;
        // The kept node may be shown: its runs and size are read elsewhere.
        NodeTreeGuard held;
        keptNode->MergeNode(mine);
        return false;
      }
    }
  }
  versions.push_back(&entry);
  return true;
}

void CDirectoryTreeBuilder::Forget(Tree& tree, IFileNode* node) {
  const int64_t id = node->GetCurrentNodeID();
  for (auto* map : {&tree.folders, &tree.files}) {
    auto it = map->find(id);
    if (it == map->end()) continue;
    std::erase_if(it->second, [node](const Entry* entry) { return entry->first == node; });
    if (it->second.empty()) map->erase(it);
  }
  std::erase(tree.otherTrash, node);
  for (auto* list : {&tree.recycledFiles, &tree.recycleFolders, &tree.recycleRecords}) {
    std::erase_if(*list, [node](CFileNode* held) { return static_cast<IFileNode*>(held) == node; });
  }
  auto it = tree.nodes.find(node);
  if (it != tree.nodes.end()) {
    if (it->second.state == NodeState::kPending) --tree.pendingLive;
    tree.nodes.erase(it);
  }
}

// ---------------------------------------------------------------------------
// Finding parents

CDirectoryTreeBuilder::Entry* CDirectoryTreeBuilder::FindParent(Tree& tree, IFileNode* child) {
  const int64_t parentID = child->GetParentNodeID();
  if (tree.IsRootID(parentID)) return tree.rootEntry.get();
  auto it = tree.folders.find(parentID);
  if (it == tree.folders.end() || it->second.empty()) return nullptr;
  if (it->second.size() == 1) return it->second.front();
  return ChooseFolder(tree, child, it->second);
}

CDirectoryTreeBuilder::Entry* CDirectoryTreeBuilder::ChooseFolder(Tree& tree, IFileNode* child,
                                                                  const std::vector<Entry*>& versions) {
  const uint16_t partition = PartitionOf(child);
  Entry* first = nullptr;
  for (Entry* candidate : versions) {
    IFileNode* folder = candidate->first;
    // Another file system's folder is never the one, children or not: the
    // volumes a complete scan finds number their folders alike.
    if (PartitionOf(folder) != partition) continue;
    if (folder->GetFirstChild() != nullptr) return candidate;
    if (IsInTrash(tree, folder)) {
      if (folder->IsDeleted() == 0) return candidate;
      continue;
    }
    if (first == nullptr) first = candidate;
  }
  // With every version passed over, the first one still beats none, as it
  // would if it were the only one.
  return first != nullptr ? first : versions.front();
}

bool CDirectoryTreeBuilder::IsInTrash(Tree& tree, IFileNode* folder) {
  if (!tree.trashKnown) return false;
  IFileNode* at = folder;
  const size_t limit = tree.WalkLimit();
  for (size_t step = 0; at != nullptr && step < limit; ++step) {
    if (at == tree.root.get()) return false;
    if (at->GetCurrentNodeID() == tree.trashID) return true;
    IFileNode* up = at->GetParent();
    if (up == nullptr) {
      const int64_t parentID = at->GetParentNodeID();
      if (tree.IsRootID(parentID)) return false;
      auto it = tree.folders.find(parentID);
      up = it != tree.folders.end() && !it->second.empty() ? it->second.front()->first : nullptr;
    }
    at = up;
  }
  return false;
}

bool CDirectoryTreeBuilder::IsUserTrash(Tree& tree, IFileNode* folder) {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return false;
  std::string want = home;
  if (want.empty() || want.back() != '/') want += '/';

  std::vector<std::string> names;
  IFileNode* at = folder;
  const size_t limit = tree.WalkLimit();
  for (size_t step = 0;; ++step) {
    if (step >= limit) return false;
    IFileNode* up = at->GetParent();
    if (up == nullptr) {
      const Entry* parent = FindParent(tree, at);
      up = parent != nullptr ? parent->first : nullptr;
    }
    if (up == nullptr) return false;
    if (up == tree.root.get()) break;
    names.emplace_back(NameOf(up));
    at = up;
  }
  std::string path = "/";
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    path += *it;
    path += '/';
  }
  return path == want;
}

// ---------------------------------------------------------------------------
// Building

std::vector<IFileNode*> CDirectoryTreeBuilder::BuildTree(Tree& tree, bool force) {
  if (!force) {
    if (tree.addedSinceBuild < kBuildNodeCount && Now() - tree.lastBuild < kBuildSeconds) return {};
    // HFS+ trees wait until the private-data folder is known, so that its
    // sub-folders can still be refused.
    if (tree.type == SEARCHER_TYPE_HFSPLUS && tree.privateDataIDs.empty()) return {};
  }
  tree.addedSinceBuild = 0;
  tree.lastBuild = Now();
  ++tree.builds;

  std::vector<WorkItem> out;
  if (force) {
    // Every pending node looks again, in the order they came; whatever was
    // queued is covered by that.
    for (const auto& item : tree.work) {
      if (Entry* entry = tree.Find(item.node); entry != nullptr && entry->second.seq == item.seq) {
        entry->second.queued = false;
      }
    }
    tree.work.clear();
    tree.CompactPending();
    for (size_t i = 0; i < tree.pending.size(); ++i) {
      if (Entry* entry = tree.Live(tree.pending[i])) ProcessNode(tree, *entry, out);
    }
  }
  DrainWork(tree, out);

  std::sort(out.begin(), out.end(), [](const WorkItem& a, const WorkItem& b) { return a.seq < b.seq; });
  std::vector<IFileNode*> nodes;
  nodes.reserve(out.size());
  for (const auto& item : out) nodes.push_back(item.node);
  return nodes;
}

void CDirectoryTreeBuilder::Queue(Tree& tree, Entry& entry) {
  NodeRecord& record = entry.second;
  if (record.queued || record.state != NodeState::kPending) return;
  record.queued = true;
  tree.work.push_back({record.seq, entry.first});
}

void CDirectoryTreeBuilder::DrainWork(Tree& tree, std::vector<WorkItem>& out) {
  // Walks wake further nodes (a folder linked, marked deleted); each wakes
  // them at most a few times, so this ends.
  while (!tree.work.empty()) {
    std::vector<WorkItem> batch;
    batch.swap(tree.work);
    std::sort(batch.begin(), batch.end(), [](const WorkItem& a, const WorkItem& b) { return a.seq < b.seq; });
    for (const auto& item : batch) {
      Entry* entry = tree.Find(item.node);
      if (entry == nullptr || entry->second.seq != item.seq) continue;
      entry->second.queued = false;
      if (entry->second.state == NodeState::kPending) ProcessNode(tree, *entry, out);
    }
  }
}

void CDirectoryTreeBuilder::ProcessNode(Tree& tree, Entry& entry, std::vector<WorkItem>& out) {
  if (IFileNode* parent = entry.first->GetParent()) {
    // Linked already; it is done once its chain reaches the root.
    const Entry* above = parent == tree.root.get() ? tree.rootEntry.get() : tree.Find(parent);
    if (above != nullptr && Tree::IsRooted(above)) Reach(tree, entry, out);
    return;
  }
  Walk(tree, entry, out);
}

void CDirectoryTreeBuilder::Walk(Tree& tree, Entry& start, std::vector<WorkItem>& out) {
  Entry* at = &start;
  const size_t limit = tree.WalkLimit();
  for (size_t step = 0; step < limit; ++step) {
    ++tree.walkSteps;
    IFileNode* node = at->first;
    Entry* above = FindParent(tree, node);
    if (above == nullptr) {
      Wait(tree, *at);
      return;
    }
    IFileNode* parent = above->first;
    if (parent->IsDeleted() != 0 && node->IsDeleted() == 0) MarkDeletedBelow(tree, node, nullptr);
    if (IsFolderNode(node)) {
      // A folder enters the tree with the first file below it.
      if (node->GetFirstChild() == nullptr) {
        Wait(tree, *at);
        return;
      }
    } else if (node->IsDeleted() == 0 && m_filter->ShowNormalFiles() == 0) {
      Wait(tree, *at);
      return;
    }
    const bool parentHadChild = parent->GetFirstChild() != nullptr;
    int linked;
    {
      // The parent may be shown already: its links and counts are read by
      // other threads under the tree lock.
      NodeTreeGuard held;
      linked = parent->AddChild(node);
    }
    // Refused only when the parent lies below the node: parent IDs that form
    // a cycle. The node stays unlinked and ends with the lost files.
    if (linked == 0) return;
    if (!parentHadChild && above != tree.rootEntry.get()) {
      // Among several versions of a folder, one with a child is preferred:
      // nodes waiting on this ID may now choose differently.
      auto it = tree.folders.find(parent->GetCurrentNodeID());
      if (it != tree.folders.end() && it->second.size() > 1) Touch(tree, parent->GetCurrentNodeID());
    }
    if (Tree::IsRooted(above)) {
      Reach(tree, *at, out);
      return;
    }
    if (parent->GetParent() != nullptr || tree.IsRootID(parent->GetCurrentNodeID())) return;
    at = above;
  }
}

void CDirectoryTreeBuilder::Wait(Tree& tree, Entry& entry) {
  NodeRecord& record = entry.second;
  if (record.state != NodeState::kPending || record.waiting) return;
  record.waiting = true;
  tree.waiting[entry.first->GetParentNodeID()].push_back({record.seq, entry.first});
}

void CDirectoryTreeBuilder::Touch(Tree& tree, int64_t folderID) {
  auto it = tree.waiting.find(folderID);
  if (it == tree.waiting.end()) return;
  std::vector<WorkItem> woken = std::move(it->second);
  tree.waiting.erase(it);
  for (const auto& item : woken) {
    Entry* entry = tree.Find(item.node);
    if (entry == nullptr || entry->second.seq != item.seq) continue;
    entry->second.waiting = false;
    Queue(tree, *entry);
  }
}

void CDirectoryTreeBuilder::Reach(Tree& tree, Entry& top, std::vector<WorkItem>& out) {
  // `top` was just joined to the root: it and everything pending below it
  // are done. Nothing below it was done before, since it was not rooted.
  std::vector<Entry*> stack{&top};
  while (!stack.empty()) {
    Entry* entry = stack.back();
    stack.pop_back();
    if (entry->second.state != NodeState::kPending) continue;
    entry->second.state = NodeState::kShown;
    --tree.pendingLive;
    out.push_back({entry->second.seq, entry->first});
    for (IFileNode* child = entry->first->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      if (Entry* below = tree.Find(child)) stack.push_back(below);
    }
  }
}

void CDirectoryTreeBuilder::MarkDeletedBelow(Tree& tree, IFileNode* top, std::vector<int64_t>* markedFolders) {
  // Everything linked below a deleted node is deleted too, so a subtree that
  // is already deleted needs no visit.
  std::vector<IFileNode*> stack{top};
  while (!stack.empty()) {
    IFileNode* node = stack.back();
    stack.pop_back();
    if (node->IsDeleted() != 0) continue;
    node->MarkDeleted();
    if (IsFolderNode(node) && node->IsDeleted() != 0) {
      Touch(tree, node->GetCurrentNodeID());
      if (markedFolders != nullptr) markedFolders->push_back(node->GetCurrentNodeID());
    }
    for (IFileNode* child = node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      stack.push_back(child);
    }
  }
}

void CDirectoryTreeBuilder::ShowNodes(Tree& tree, std::vector<IFileNode*>& nodes, int lost) {
  if (!tree.rootShown) {
    tree.rootShown = true;
    if (m_sink != nullptr) m_sink->ShowFilesystemNode(tree.root.get());
    if (m_pause) m_pause();
  }
  if (m_sink != nullptr) {
    for (size_t at = 0; at < nodes.size();) {
      const auto count = static_cast<unsigned>(std::min<size_t>(nodes.size() - at, UINT_MAX));
      m_sink->ShowNodes(nodes.data() + at, count, lost);
      at += count;
    }
  }
  tree.shownCount += static_cast<int64_t>(nodes.size());
}

void CDirectoryTreeBuilder::BuildAndShowUntilDone(Tree& tree) {
  for (;;) {
    std::vector<IFileNode*> out = BuildTree(tree, true);
    if (out.empty()) return;
    ShowNodes(tree, out, 0);
  }
}

// ---------------------------------------------------------------------------
// Finishing

void CDirectoryTreeBuilder::FlashBuild(_tagSearcherType type) {
  Tree* tree = FindTree(type);
  if (tree == nullptr) return;
  m_recyclePass = true;
  try {
    RestoreRecycleName(type);
    BuildAndShowUntilDone(*tree);

    // A trash in the user's home that came before its folders could not be
    // told from others then; now every folder is in. What is already shown
    // below it becomes deleted too.
    if (!tree->trashKnown) {
      for (IFileNode* candidate : tree->otherTrash) {
        if (!IsUserTrash(*tree, candidate)) continue;
        tree->trashID = candidate->GetCurrentNodeID();
        tree->trashKnown = true;
        NodeTreeGuard held;
        MarkDeletedBelow(*tree, candidate, nullptr);
        break;
      }
    }
    tree->trashFound = tree->trashKnown;
    tree->otherTrash.clear();

    // Every recorded file is pending or shown here (nothing takes a file out
    // of the pending list but showing it), so no file needs to go back to it.
    MarkDeletedUnderDeleted(*tree);
    BuildAndShowUntilDone(*tree);
    BuildLostNodes(*tree);
  } catch (...) {
    // Out of memory: what was not shown is released below all the same.
  }
  ReleaseUnshown(*tree);
  std::printf("CDirectoryTreeBuilder::FlashBuild  searcherType : %d, total files: %lld\n", static_cast<int>(type),
              static_cast<long long>(tree->shownCount));
  std::printf("CDirectoryTreeBuilder::FlashBuild  searcherType : %d, total added files: %lld\n", static_cast<int>(type),
              static_cast<long long>(tree->addedCount));
  m_recyclePass = false;
}

bool CDirectoryTreeBuilder::RestoreRecycleName(_tagSearcherType type) {
  Tree* tree = FindTree(type);
  if (tree == nullptr) return true;
  const bool wasRecyclePass = std::exchange(m_recyclePass, true);
  // A searcher that found several partitions names none: its records are
  // asked for now, for this pass only.
  m_sourcePartitions.clear();
  auto source = m_partitionSources.find(type);
  if (m_partition == nullptr && source != m_partitionSources.end() &&
      (!tree->recycleFolders.empty() || !tree->recycledFiles.empty())) {
    for (CSearchedPartitionInfo* record : TakeSearchedPartitionInfo(source->second, 16)) {
      m_sourcePartitions.emplace_back(record);
    }
  }

  // Folders first, outer ones (smaller parent IDs) before inner ones.
  std::vector<CFileNode*> folders;
  folders.swap(tree->recycleFolders);
  std::stable_sort(folders.begin(), folders.end(),
                   [](CFileNode* a, CFileNode* b) { return a->GetParentNodeID() < b->GetParentNodeID(); });
  for (CFileNode* folder : folders) {
    if (folder == nullptr) continue;
    RestorFileName(folder, type);
    ReAddHeldBack(*tree, folder, type);
  }
  std::vector<CFileNode*> files;
  files.swap(tree->recycledFiles);
  for (CFileNode* file : files) {
    if (file == nullptr) continue;
    RestorFileName(file, type);
    ReAddHeldBack(*tree, file, type);
  }
  tree->recycleFolderIDs.clear();

  // Records never enter the tree.
  std::vector<CFileNode*> records;
  records.swap(tree->recycleRecords);
  for (CFileNode* record : records) {
    tree->nodes.erase(record);
    record->Release();
  }
  m_sourcePartitions.clear();
  m_recyclePass = wasRecyclePass;
  return true;
}

void CDirectoryTreeBuilder::ReAddHeldBack(Tree& tree, CFileNode* node, _tagSearcherType type) {
  // The builder accepted the node when it held it back, so a refusal now
  // leaves it with the builder, which lets it go.
  if (AddNode(node, type) != 0) return;
  Forget(tree, node);
  node->Release();
}

bool CDirectoryTreeBuilder::RestorFileName(CFileNode* node, _tagSearcherType type) {
  if (node == nullptr || m_restorer == nullptr) return false;
  Tree* tree = FindTree(type);
  if (tree == nullptr) return false;
  // A recycled file and its record lie in one bin, in one partition.
  const int used = m_restorer->RestoreName(node, type, tree->recycleRecords, RecyclePartitionOf(node), m_device);
  if (used < 0 || static_cast<size_t>(used) >= tree->recycleRecords.size()) return false;
  CFileNode* record = tree->recycleRecords[static_cast<size_t>(used)];
  tree->recycleRecords.erase(tree->recycleRecords.begin() + used);
  tree->nodes.erase(record);
  record->Release();
  return true;
}

void CDirectoryTreeBuilder::MarkDeletedUnderDeleted(Tree& tree) {
  // Every unlinked pending node whose parent is deleted becomes deleted,
  // with what is linked below it, and so on down through the nodes waiting
  // on each folder marked. Linked nodes already follow their parents.
  tree.CompactPending();
  std::unordered_map<int64_t, std::vector<IFileNode*>> byParent;
  std::vector<IFileNode*> queue;
  for (const auto& item : tree.pending) {
    if (tree.Live(item) == nullptr || item.node->GetParent() != nullptr) continue;
    byParent[item.node->GetParentNodeID()].push_back(item.node);
    queue.push_back(item.node);
  }
  std::vector<int64_t> marked;
  for (size_t i = 0; i < queue.size(); ++i) {
    IFileNode* node = queue[i];
    if (node->IsDeleted() != 0) continue;
    const Entry* parent = FindParent(tree, node);
    if (parent == nullptr || parent->first->IsDeleted() == 0) continue;
    marked.clear();
    MarkDeletedBelow(tree, node, &marked);
    for (int64_t folderID : marked) {
      auto it = byParent.find(folderID);
      if (it == byParent.end()) continue;
      queue.insert(queue.end(), it->second.begin(), it->second.end());
      byParent.erase(it);
    }
  }
}

void CDirectoryTreeBuilder::BuildLostNodes(Tree& tree) {
  std::printf("CDirectoryTreeBuilder::BuildLostNodes entry\n");
  std::unique_ptr<CFilesystemNode, ReleaseNode> lost(
      new CFilesystemNode(tree.type, kLostFolderName, kLostVolumeName, -1));
  const bool showNormal = m_filter->ShowNormalFiles() != 0;

  tree.CompactPending();
  std::vector<IFileNode*> out;
  for (const auto& item : tree.pending) {
    Entry* entry = tree.Live(item);
    if (entry == nullptr) continue;
    IFileNode* node = item.node;
    if (node->GetParent() == nullptr) {
      // Left out: folders with no file below, empty files, and files the
      // filter hides; they go when the tree finishes.
      if (IsFolderNode(node)) {
        if (node->GetFirstChild() == nullptr) continue;
      } else if (node->GetFileSize() == 0 || (node->IsDeleted() == 0 && !showNormal)) {
        continue;
      }
      if (lost->AddChild(node) == 0) continue;
    }
    entry->second.state = NodeState::kShown;
    --tree.pendingLive;
    out.push_back(node);
  }
  std::printf("CDirectoryTreeBuilder BuildLostNodes nodsNotify.size() = %ld.\n", static_cast<long>(out.size()));
  if (out.empty()) return;

  CFilesystemNode* folder = lost.get();
  tree.nodes.emplace(folder, NodeRecord{tree.nextSeq++, NodeState::kShown, false, false});
  lost.release();
  {
    NodeTreeGuard held;
    tree.root->AddChild(folder);
  }
  out.push_back(folder);
  ShowNodes(tree, out, 1);
}

void CDirectoryTreeBuilder::ReleaseUnshown(Tree& tree) {
  tree.pending.clear();
  tree.pendingLive = 0;
  tree.work.clear();
  tree.waiting.clear();
  tree.otherTrash.clear();
  tree.recycledFiles.clear();
  tree.recycleFolders.clear();
  tree.recycleRecords.clear();
  tree.recycleFolderIDs.clear();
  tree.folders.clear();
  tree.files.clear();

  int released = 0;
  for (auto it = tree.nodes.begin(); it != tree.nodes.end();) {
    IFileNode* node = it->first;
    // A node still linked to others would leave them pointing at nothing; it
    // stays with the builder until the builder goes. None is, in practice:
    // whatever is linked was shown above.
    if (it->second.state == NodeState::kShown) {
      ++it;
      continue;
    }
    if (node->GetParent() != nullptr || node->GetFirstChild() != nullptr) {
      it->second.state = NodeState::kRetired;
      ++it;
      continue;
    }
    node->Release();
    ++released;
    it = tree.nodes.erase(it);
  }
  std::printf("CDirectoryTreeBuilder::ReleaseNodeByFilter --- nReleasedCount = %d\n", released);
}
