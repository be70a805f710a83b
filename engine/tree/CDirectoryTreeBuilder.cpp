#include "tree/CDirectoryTreeBuilder.h"

#include <algorithm>
#include <bit>
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

// What a tree keeps about each node it owns besides its root, in the slot
// the node carries (CFileNode::GetTreeSlot). Slots are handed out in the
// order nodes come and never again to another node, so a slot's number is
// the node's place in that order, and work lists hold slots: an entry whose
// node has since gone finds the slot empty. A held-back node gets a new slot
// when the recycle pass adds it again.
struct TreeRecord {
  static constexpr uint8_t kQueued = 1;       // in the tree's work list
  static constexpr uint8_t kWaiting = 2;      // in the tree's waiting index
  static constexpr uint8_t kFiledFolder = 4;  // in the folder index under `id`
  static constexpr uint8_t kFiledFile = 8;    // in the file index under `id`

  IFileNode* node = nullptr;  // null: the node left the tree
  int64_t id = 0;             // the ID it is filed under
  // The next node filed under the same ID; the last one's is the first
  // (the versions of an ID form a ring).
  uint32_t nextVersion = 0;
  NodeState state = NodeState::kNew;
  uint8_t flags = 0;
};

namespace {

using Ref = uint32_t;
constexpr Ref kNoRef = UINT32_MAX;
constexpr Ref kRootRef = UINT32_MAX - 1;
// Slots a tree hands out at most (the two values above are not slots).
constexpr size_t kMaxSlots = UINT32_MAX - 2;

// The records of a tree, in blocks that never move: growing never copies
// what is there, and never holds the old and the new copy at once.
class RecordStore {
 public:
  size_t Size() const { return size_; }
  TreeRecord& operator[](Ref slot) { return blocks_[slot >> kBlockBits][slot & kBlockMask]; }
  const TreeRecord& operator[](Ref slot) const { return blocks_[slot >> kBlockBits][slot & kBlockMask]; }
  // The slot of a new record for `node`; throws std::bad_alloc.
  Ref Add(IFileNode* node) {
    if (size_ >= kMaxSlots) throw std::bad_alloc();
    if ((size_ & kBlockMask) == 0 && (size_ >> kBlockBits) == blocks_.size()) {
      blocks_.push_back(std::make_unique<TreeRecord[]>(kBlockMask + 1));
    }
    const auto slot = static_cast<Ref>(size_++);
    (*this)[slot] = TreeRecord{node, 0, kNoRef, NodeState::kNew, 0};
    return slot;
  }
  // Takes back the last slot (only one that no list can hold yet).
  void DropLast() {
    if (size_ > 0) --size_;
  }

 private:
  static constexpr Ref kBlockBits = 14;
  static constexpr Ref kBlockMask = (Ref{1} << kBlockBits) - 1;
  std::vector<std::unique_ptr<TreeRecord[]>> blocks_;
  size_t size_ = 0;
};

// Node IDs to the last of the nodes filed under each (its nextVersion is the
// first, from which the others follow in the order they were filed, so that
// filing one more takes no walk): open addressing over the records' slots,
// the ID read from the record.
class IdIndex {
 public:
  explicit IdIndex(const RecordStore& records) : records_(records) {}

  Ref Find(int64_t id) const {
    if (count_ == 0) return kNoRef;
    for (size_t at = Home(id);; at = (at + 1) & mask_) {
      const Ref slot = slots_[at];
      if (slot == kNoRef) return kNoRef;
      if (records_[slot].id == id) return slot;
    }
  }
  // Files `last` as the last node under its record's ID, which must not be
  // filed yet; throws std::bad_alloc.
  void Insert(Ref last) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    Place(last);
    ++count_;
  }
  // The last node under `id` is now `last` (its record carries `id`).
  void Replace(int64_t id, Ref last) { slots_[Position(id)] = last; }
  // Nothing is filed under `id` any more.
  void Erase(int64_t id) {
    // Backward-shift deletion: the entries after the hole that would no
    // longer be found move into it.
    size_t hole = Position(id);
    for (size_t at = (hole + 1) & mask_; slots_[at] != kNoRef; at = (at + 1) & mask_) {
      const size_t home = Home(records_[slots_[at]].id);
      if (((at - home) & mask_) >= ((at - hole) & mask_)) {
        slots_[hole] = slots_[at];
        hole = at;
      }
    }
    slots_[hole] = kNoRef;
    --count_;
  }
  void Clear() {
    std::vector<Ref>().swap(slots_);
    count_ = 0;
    mask_ = 0;
  }

 private:
  size_t Home(int64_t id) const {
    // Runs of 64 consecutive IDs (records of one stretch of a table, which
    // searchers hand over in order) share one block of 64 entries, so that
    // filing them touches the same few cache lines; the blocks themselves
    // are spread by Fibonacci hashing of the rest of the ID, so IDs that are
    // multiples of a power of two (byte offsets of directory entries) spread
    // too.
    const auto value = static_cast<uint64_t>(id);
    const uint64_t block = ((value >> kRunBits) * 0x9E3779B97F4A7C15ULL) >> shift_;
    return static_cast<size_t>((block << kRunBits) | (value & kRunMask)) & mask_;
  }
  size_t Position(int64_t id) const {
    for (size_t at = Home(id);; at = (at + 1) & mask_) {
      if (records_[slots_[at]].id == id) return at;
    }
  }
  void Place(Ref slot) {
    size_t at = Home(records_[slot].id);
    while (slots_[at] != kNoRef) at = (at + 1) & mask_;
    slots_[at] = slot;
  }
  void Grow() {
    const size_t size = std::max<size_t>(256, slots_.size() * 2);
    std::vector<Ref> old(size, kNoRef);
    old.swap(slots_);
    mask_ = size - 1;
    shift_ = 64 - (std::countr_zero(size) - kRunBits);
    for (const Ref slot : old) {
      if (slot != kNoRef) Place(slot);
    }
  }

  static constexpr int kRunBits = 6;
  static constexpr uint64_t kRunMask = (uint64_t{1} << kRunBits) - 1;

  const RecordStore& records_;
  std::vector<Ref> slots_;
  size_t count_ = 0;
  size_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace

struct _DIRECTORY_TREE_INFO {
  using Ref = CDirectoryTreeBuilder::Ref;

  ~_DIRECTORY_TREE_INFO() {
    for (size_t slot = 0; slot < records.Size(); ++slot) {
      if (IFileNode* node = records[static_cast<Ref>(slot)].node) node->Release();
    }
  }

  _tagSearcherType type = SEARCHER_TYPE_NONE;

  // Every node the tree owns besides its root, by slot.
  RecordStore records;
  // Owned nodes that are not CFileNodes carry no slot: theirs are here.
  std::unordered_map<IFileNode*, Ref> foreignSlots;
  size_t owned = 0;

  size_t pendingLive = 0;
  // Nodes to walk at the next build: new ones and woken waiting ones.
  std::vector<Ref> work;
  // Unlinked pending nodes whose walk stopped, by the parent ID they wait for.
  std::unordered_map<int64_t, std::vector<Ref>> waiting;

  std::vector<IFileNode*> otherTrash;
  // Recorded nodes by ID; several versions of one folder may coexist.
  IdIndex folders{records};
  IdIndex files{records};
  std::vector<int64_t> privateDataIDs;

  std::unique_ptr<CFilesystemNode, ReleaseNode> root;
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

  uint64_t walkSteps = 0;
  int64_t builds = 0;

  bool IsRootID(int64_t id) const {
    return id == rootID || std::find(moreRootIDs.begin(), moreRootIDs.end(), id) != moreRootIDs.end();
  }
  IFileNode* NodeOf(Ref ref) const { return ref == kRootRef ? root.get() : records[ref].node; }
  TreeRecord& At(Ref ref) { return records[ref]; }
  // The slot of a node the tree owns besides its root, or kNoRef.
  Ref Find(IFileNode* node) const {
    if (node == nullptr) return kNoRef;
    if (auto* base = dynamic_cast<CFileNode*>(node)) return FindBase(base);
    auto it = foreignSlots.find(node);
    return it != foreignSlots.end() ? it->second : kNoRef;
  }
  Ref FindBase(CFileNode* node) const {
    const Ref slot = node->GetTreeSlot();
    return slot < records.Size() && records[slot].node == node ? slot : kNoRef;
  }
  // A new record for `node` (throws std::bad_alloc).
  Ref Take(IFileNode* node) {
    auto* base = dynamic_cast<CFileNode*>(node);
    // Room first, so that the slot is filed once the record is made.
    if (base == nullptr && foreignSlots.size() + 1 > foreignSlots.bucket_count()) {
      foreignSlots.reserve(2 * foreignSlots.size() + 8);
    }
    const Ref slot = records.Add(node);
    if (base != nullptr) {
      base->SetTreeSlot(slot);
    } else {
      foreignSlots[node] = slot;
    }
    ++owned;
    return slot;
  }
  // The node leaves its record; its slot stays empty (the last slot, while
  // nothing can hold it, is handed out again).
  void Drop(Ref slot) {
    IFileNode* node = records[slot].node;
    if (auto* base = dynamic_cast<CFileNode*>(node)) {
      base->SetTreeSlot(CFileNode::kNoTreeSlot);
    } else {
      foreignSlots.erase(node);
    }
    const bool fresh = records[slot].state == NodeState::kNew && records[slot].flags == 0;
    records[slot] = TreeRecord{};
    --owned;
    if (fresh && slot + 1 == records.Size()) records.DropLast();
  }
  // The slot of an item's node while it is still a pending node.
  Ref Live(Ref slot) const {
    return slot < records.Size() && records[slot].node != nullptr && records[slot].state == NodeState::kPending
               ? slot
               : kNoRef;
  }
  bool IsRooted(Ref ref) const { return ref == kRootRef || records[ref].state == NodeState::kShown; }
  // Upper bound on the length of any walk by parent ID: no path through the
  // tree visits more nodes than it owns (plus the root and the node walked).
  size_t WalkLimit() const { return owned + 2; }
  // The first of the versions filed under `id` in `index`, or kNoRef.
  Ref FirstVersion(const IdIndex& index, int64_t id) const {
    const Ref last = index.Find(id);
    return last != kNoRef ? records[last].nextVersion : kNoRef;
  }
  // The version after `at`, or kNoRef after the last (`first` is the first).
  Ref NextVersion(Ref at, Ref first) const {
    const Ref next = records[at].nextVersion;
    return next != first ? next : kNoRef;
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
  counters->owned = tree->owned;
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
    const Ref ref = tree->Find(node);
    if (ref != kNoRef && tree->At(ref).state != NodeState::kHeldBack && tree->At(ref).state != NodeState::kNew) {
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
  Ref ref = tree.Find(node);
  const bool inserted = ref == kNoRef;
  // A node the tree already owns is not taken twice; a held-back one comes
  // back only through the recycle pass.
  if (!inserted && !(tree.At(ref).state == NodeState::kHeldBack && m_recyclePass)) return 1;
  if (inserted) {
    ref = tree.Take(node);
  } else {
    // Back from the recycle pass: a new slot, so that its place in the order
    // of pending nodes is where it comes now.
    const TreeRecord held = tree.At(ref);
    tree.Drop(ref);
    ref = tree.Take(node);
    tree.At(ref).state = held.state;
  }
  // A refused node leaves no trace; a refused held-back one goes back to the
  // recycle pass, which releases it.
  auto refuse = [&]() {
    Forget(tree, node);
    return 0;
  };

  const char* name = NameOf(node);
  if (inserted && !m_recyclePass && DivertRecycled(tree, ref, name)) return 1;

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
  if (!RecordNode(tree, ref, folder)) return refuse();

  if (isTrash) {
    node->MarkDeleted();
    tree.trashID = id;
    tree.trashKnown = true;
  } else if (trashNamed) {
    tree.otherTrash.push_back(node);
  }

  tree.At(ref).state = NodeState::kPending;
  ++tree.pendingLive;
  Queue(tree, ref);
  // Children that came first and wait for this folder look again.
  if (folder) Touch(tree, id);

  std::vector<IFileNode*> out = BuildTree(tree, false);
  if (!out.empty()) ShowNodes(tree, out, 0);
  return 1;
}

bool CDirectoryTreeBuilder::DivertRecycled(Tree& tree, Ref ref, const char* name) {
  IFileNode* node = tree.NodeOf(ref);
  const bool recycled = CRecyclerFilter::IsRecycleBin(node) || CRecyclerFilter::IsRecycleRecordName(name) ||
                        CRecyclerFilter::IsRecycledDataName(name) ||
                        tree.recycleFolderIDs.count(node->GetParentNodeID()) != 0;
  if (!recycled) return false;
  // Only nodes of the common base can be renamed later.
  auto* base = dynamic_cast<CFileNode*>(node);
  if (base == nullptr) return false;
  if (CRecyclerFilter::IsFolder(node)) {
    tree.recycleFolders.push_back(base);
    tree.recycleFolderIDs.insert(node->GetCurrentNodeID());
  } else if (std::strncmp(name, "$I", 2) == 0) {
    tree.recycleRecords.push_back(base);
  } else {
    tree.recycledFiles.push_back(base);
  }
  tree.At(ref).state = NodeState::kHeldBack;
  node->MarkDeleted();
  return true;
}

void CDirectoryTreeBuilder::DropPrivateDataChildren(Tree& tree, int64_t privateDataID) {
  // Folders inside the private-data folder are never shown. Those that came
  // before it was known are taken out of the tree completely before they go.
  std::vector<IFileNode*> drop;
  for (size_t slot = 0; slot < tree.records.Size(); ++slot) {
    if (tree.Live(static_cast<Ref>(slot)) == kNoRef) continue;
    IFileNode* node = tree.NodeOf(static_cast<Ref>(slot));
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

bool CDirectoryTreeBuilder::RecordNode(Tree& tree, Ref ref, bool folder) {
  IFileNode* node = tree.NodeOf(ref);
  IdIndex& index = folder ? tree.folders : tree.files;
  const int64_t id = node->GetCurrentNodeID();
  const Ref last = index.Find(id);
  if (last != kNoRef && !m_restoring) {
    if (auto* mine = dynamic_cast<CFileNode*>(node)) {
      const Ref first = tree.At(last).nextVersion;
      for (Ref kept = first; kept != kNoRef; kept = tree.NextVersion(kept, first)) {
        auto* keptNode = dynamic_cast<CFileNode*>(tree.NodeOf(kept));
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
  TreeRecord& record = tree.At(ref);
  record.id = id;
  if (last == kNoRef) {
    record.nextVersion = ref;
    index.Insert(ref);
  } else {
    record.nextVersion = tree.At(last).nextVersion;
    tree.At(last).nextVersion = ref;
    index.Replace(id, ref);
  }
  record.flags |= folder ? TreeRecord::kFiledFolder : TreeRecord::kFiledFile;
  return true;
}

void CDirectoryTreeBuilder::Forget(Tree& tree, IFileNode* node) {
  std::erase(tree.otherTrash, node);
  for (auto* list : {&tree.recycledFiles, &tree.recycleFolders, &tree.recycleRecords}) {
    std::erase_if(*list, [node](CFileNode* held) { return static_cast<IFileNode*>(held) == node; });
  }
  const Ref ref = tree.Find(node);
  if (ref == kNoRef) return;
  TreeRecord& record = tree.At(ref);
  if ((record.flags & (TreeRecord::kFiledFolder | TreeRecord::kFiledFile)) != 0) {
    IdIndex& index = (record.flags & TreeRecord::kFiledFolder) != 0 ? tree.folders : tree.files;
    if (record.nextVersion == ref) {
      index.Erase(record.id);
    } else {
      // Out of the ring: its predecessor (the last version, when it is the
      // first) takes its successor.
      Ref before = record.nextVersion;
      while (tree.At(before).nextVersion != ref) before = tree.At(before).nextVersion;
      tree.At(before).nextVersion = record.nextVersion;
      if (index.Find(record.id) == ref) index.Replace(record.id, before);
    }
  }
  if (record.state == NodeState::kPending) --tree.pendingLive;
  tree.Drop(ref);
}

// ---------------------------------------------------------------------------
// Finding parents

CDirectoryTreeBuilder::Ref CDirectoryTreeBuilder::FindParent(Tree& tree, IFileNode* child) {
  const int64_t parentID = child->GetParentNodeID();
  if (tree.IsRootID(parentID)) return kRootRef;
  const Ref first = tree.FirstVersion(tree.folders, parentID);
  if (first == kNoRef) return kNoRef;
  if (tree.At(first).nextVersion == first) return first;
  return ChooseFolder(tree, child, first);
}

CDirectoryTreeBuilder::Ref CDirectoryTreeBuilder::ChooseFolder(Tree& tree, IFileNode* child, Ref firstVersion) {
  const uint16_t partition = PartitionOf(child);
  Ref first = kNoRef;
  for (Ref candidate = firstVersion; candidate != kNoRef; candidate = tree.NextVersion(candidate, firstVersion)) {
    IFileNode* folder = tree.NodeOf(candidate);
    // Another file system's folder is never the one, children or not: the
    // volumes a complete scan finds number their folders alike.
    if (PartitionOf(folder) != partition) continue;
    if (folder->GetFirstChild() != nullptr) return candidate;
    if (IsInTrash(tree, folder)) {
      if (folder->IsDeleted() == 0) return candidate;
      continue;
    }
    if (first == kNoRef) first = candidate;
  }
  // With every version passed over, the first one still beats none, as it
  // would if it were the only one.
  return first != kNoRef ? first : firstVersion;
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
      const Ref first = tree.FirstVersion(tree.folders, parentID);
      up = first != kNoRef ? tree.NodeOf(first) : nullptr;
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
      const Ref parent = FindParent(tree, at);
      up = parent != kNoRef ? tree.NodeOf(parent) : nullptr;
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

  std::vector<Ref> out;
  if (force) {
    // Every pending node looks again, in the order they came; whatever was
    // queued is covered by that.
    for (const Ref slot : tree.work) {
      if (slot < tree.records.Size()) tree.At(slot).flags &= static_cast<uint8_t>(~TreeRecord::kQueued);
    }
    tree.work.clear();
    for (size_t slot = 0; slot < tree.records.Size(); ++slot) {
      if (const Ref live = tree.Live(static_cast<Ref>(slot)); live != kNoRef) ProcessNode(tree, live, out);
    }
  }
  DrainWork(tree, out);

  std::sort(out.begin(), out.end());
  std::vector<IFileNode*> nodes;
  nodes.reserve(out.size());
  for (const Ref slot : out) nodes.push_back(tree.NodeOf(slot));
  return nodes;
}

void CDirectoryTreeBuilder::Queue(Tree& tree, Ref ref) {
  TreeRecord& record = tree.At(ref);
  if ((record.flags & TreeRecord::kQueued) != 0 || record.state != NodeState::kPending) return;
  record.flags |= TreeRecord::kQueued;
  tree.work.push_back(ref);
}

void CDirectoryTreeBuilder::DrainWork(Tree& tree, std::vector<Ref>& out) {
  // Walks wake further nodes (a folder linked, marked deleted); each wakes
  // them at most a few times, so this ends.
  std::vector<Ref> batch;
  while (!tree.work.empty()) {
    batch.clear();
    batch.swap(tree.work);
    std::sort(batch.begin(), batch.end());
    for (const Ref slot : batch) {
      if (slot >= tree.records.Size() || tree.At(slot).node == nullptr) continue;
      tree.At(slot).flags &= static_cast<uint8_t>(~TreeRecord::kQueued);
      if (tree.At(slot).state == NodeState::kPending) ProcessNode(tree, slot, out);
    }
  }
}

void CDirectoryTreeBuilder::ProcessNode(Tree& tree, Ref ref, std::vector<Ref>& out) {
  if (IFileNode* parent = tree.NodeOf(ref)->GetParent()) {
    // Linked already; it is done once its chain reaches the root.
    const Ref above = parent == tree.root.get() ? kRootRef : tree.Find(parent);
    if (above != kNoRef && tree.IsRooted(above)) Reach(tree, ref, out);
    return;
  }
  Walk(tree, ref, out);
}

void CDirectoryTreeBuilder::Walk(Tree& tree, Ref start, std::vector<Ref>& out) {
  Ref at = start;
  const size_t limit = tree.WalkLimit();
  for (size_t step = 0; step < limit; ++step) {
    ++tree.walkSteps;
    IFileNode* node = tree.NodeOf(at);
    const Ref above = FindParent(tree, node);
    if (above == kNoRef) {
      Wait(tree, at);
      return;
    }
    IFileNode* parent = tree.NodeOf(above);
    if (parent->IsDeleted() != 0 && node->IsDeleted() == 0) MarkDeletedBelow(tree, node, nullptr);
    if (IsFolderNode(node)) {
      // A folder enters the tree with the first file below it.
      if (node->GetFirstChild() == nullptr) {
        Wait(tree, at);
        return;
      }
    } else if (node->IsDeleted() == 0 && m_filter->ShowNormalFiles() == 0) {
      Wait(tree, at);
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
    if (!parentHadChild && above != kRootRef) {
      // Among several versions of a folder, one with a child is preferred:
      // nodes waiting on this ID may now choose differently.
      const Ref last = tree.folders.Find(parent->GetCurrentNodeID());
      if (last != kNoRef && tree.At(last).nextVersion != last) Touch(tree, parent->GetCurrentNodeID());
    }
    if (tree.IsRooted(above)) {
      Reach(tree, at, out);
      return;
    }
    if (parent->GetParent() != nullptr || tree.IsRootID(parent->GetCurrentNodeID())) return;
    at = above;
  }
}

void CDirectoryTreeBuilder::Wait(Tree& tree, Ref ref) {
  TreeRecord& record = tree.At(ref);
  if (record.state != NodeState::kPending || (record.flags & TreeRecord::kWaiting) != 0) return;
  record.flags |= TreeRecord::kWaiting;
  tree.waiting[record.node->GetParentNodeID()].push_back(ref);
}

void CDirectoryTreeBuilder::Touch(Tree& tree, int64_t folderID) {
  auto it = tree.waiting.find(folderID);
  if (it == tree.waiting.end()) return;
  std::vector<Ref> woken = std::move(it->second);
  tree.waiting.erase(it);
  for (const Ref slot : woken) {
    if (slot >= tree.records.Size() || tree.At(slot).node == nullptr) continue;
    tree.At(slot).flags &= static_cast<uint8_t>(~TreeRecord::kWaiting);
    Queue(tree, slot);
  }
}

void CDirectoryTreeBuilder::Reach(Tree& tree, Ref top, std::vector<Ref>& out) {
  // `top` was just joined to the root: it and everything pending below it
  // are done. Nothing below it was done before, since it was not rooted.
  std::vector<Ref> stack{top};
  while (!stack.empty()) {
    const Ref ref = stack.back();
    stack.pop_back();
    TreeRecord& record = tree.At(ref);
    if (record.state != NodeState::kPending) continue;
    record.state = NodeState::kShown;
    --tree.pendingLive;
    out.push_back(ref);
    for (IFileNode* child = record.node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      // Only nodes of the common base are ever linked below one.
      if (const Ref below = tree.FindBase(static_cast<CFileNode*>(child)); below != kNoRef) stack.push_back(below);
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
    Forget(*tree, record);
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
  Forget(*tree, record);
  record->Release();
  return true;
}

void CDirectoryTreeBuilder::MarkDeletedUnderDeleted(Tree& tree) {
  // Every unlinked pending node whose parent is deleted becomes deleted,
  // with what is linked below it, and so on down through the nodes waiting
  // on each folder marked. Linked nodes already follow their parents.
  std::unordered_map<int64_t, std::vector<IFileNode*>> byParent;
  std::vector<IFileNode*> queue;
  for (size_t slot = 0; slot < tree.records.Size(); ++slot) {
    if (tree.Live(static_cast<Ref>(slot)) == kNoRef) continue;
    IFileNode* node = tree.NodeOf(static_cast<Ref>(slot));
    if (node->GetParent() != nullptr) continue;
    byParent[node->GetParentNodeID()].push_back(node);
    queue.push_back(node);
  }
  std::vector<int64_t> marked;
  for (size_t i = 0; i < queue.size(); ++i) {
    IFileNode* node = queue[i];
    if (node->IsDeleted() != 0) continue;
    const Ref parent = FindParent(tree, node);
    if (parent == kNoRef || tree.NodeOf(parent)->IsDeleted() == 0) continue;
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

  std::vector<IFileNode*> out;
  for (size_t slot = 0; slot < tree.records.Size(); ++slot) {
    const Ref live = tree.Live(static_cast<Ref>(slot));
    if (live == kNoRef) continue;
    IFileNode* node = tree.NodeOf(live);
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
    tree.At(live).state = NodeState::kShown;
    --tree.pendingLive;
    out.push_back(node);
  }
  std::printf("CDirectoryTreeBuilder BuildLostNodes nodsNotify.size() = %ld.\n", static_cast<long>(out.size()));
  if (out.empty()) return;

  CFilesystemNode* folder = lost.get();
  tree.At(tree.Take(folder)).state = NodeState::kShown;
  lost.release();
  {
    NodeTreeGuard held;
    tree.root->AddChild(folder);
  }
  out.push_back(folder);
  ShowNodes(tree, out, 1);
}

void CDirectoryTreeBuilder::ReleaseUnshown(Tree& tree) {
  tree.pendingLive = 0;
  std::vector<Ref>().swap(tree.work);
  tree.waiting.clear();
  tree.otherTrash.clear();
  tree.recycledFiles.clear();
  tree.recycleFolders.clear();
  tree.recycleRecords.clear();
  tree.recycleFolderIDs.clear();
  tree.folders.Clear();
  tree.files.Clear();

  int released = 0;
  for (size_t at = 0; at < tree.records.Size(); ++at) {
    const auto slot = static_cast<Ref>(at);
    TreeRecord& record = tree.At(slot);
    IFileNode* node = record.node;
    if (node == nullptr) continue;
    // Nothing is filed any more.
    record.flags = 0;
    record.nextVersion = kNoRef;
    // A node still linked to others would leave them pointing at nothing; it
    // stays with the builder until the builder goes. None is, in practice:
    // whatever is linked was shown above.
    if (record.state == NodeState::kShown) continue;
    if (node->GetParent() != nullptr || node->GetFirstChild() != nullptr) {
      record.state = NodeState::kRetired;
      continue;
    }
    tree.Drop(slot);
    node->Release();
    ++released;
  }
  std::printf("CDirectoryTreeBuilder::ReleaseNodeByFilter --- nReleasedCount = %d\n", released);
}
