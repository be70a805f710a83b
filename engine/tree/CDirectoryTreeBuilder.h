// The directory-tree builder behind IDirecotryTreeBuilder.
//
// Every node the builder accepts is, at any moment, in exactly one place:
// - held back in its tree's recycle lists until the tree finishes;
// - pending: added but not yet linked to the tree's root;
// - shown: linked into the tree and handed to IDrirectoryTree;
// and leaves the builder only by being released. A refused node was never in
// any of them. Pending nodes are released when their tree finishes; shown
// nodes, roots and lost-file folders when the builder goes.
//
// Linking. A pending node is walked upwards: its parent is found by parent ID
// (the tree's root, or a recorded folder with that ID), it is linked under
// it, and the walk goes on from the parent while the parent is itself
// unlinked. A folder is linked only once a file lies below it. Nodes whose
// walk stops are indexed by the parent ID they wait for and walked again only
// when something about that ID changes (a folder with that ID arrives, is
// marked deleted, or one of several versions gains a child), so a build never
// rescans every orphan. When a link joins a chain to the root, everything
// pending below it is shown in the order it arrived.
//
// Deleted marks. A node linked under a deleted folder is marked deleted, and
// marking a folder deleted marks everything linked below it, so the result
// does not depend on the order the nodes came in.
//
// Every walk by parent ID is bounded by the number of nodes in the tree, so
// parent IDs that form a cycle cannot hold a scan. A null name counts as "".
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DirecotryTreeBuilder.h"

class CFileNode;
class CFilesystemNode;
class IFilesystemNode;
class IRecycleNameRestorer;
struct _DIRECTORY_TREE_INFO;

class CDirectoryTreeBuilder : public IDirecotryTreeBuilder {
 public:
  // Incremental builds run after this many new nodes or this many seconds.
  static constexpr int64_t kBuildNodeCount = 1024;
  static constexpr int64_t kBuildSeconds = 3;

  explicit CDirectoryTreeBuilder(bool restoring);
  ~CDirectoryTreeBuilder() override;
  CDirectoryTreeBuilder(const CDirectoryTreeBuilder&) = delete;
  CDirectoryTreeBuilder& operator=(const CDirectoryTreeBuilder&) = delete;

  int Initialize(const char* description, IDrirectoryTree* tree, IRecoveryFilter* filter) override;
  int AddNode(IFileNode* node, _tagSearcherType type) override;
  int AddSearcherInfo(_tagSearcherType type, int64_t rootNodeID) override;
  void FlashBuild(_tagSearcherType type) override;
  void Release() override;
  void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override;
  void SetPartitionSource(_tagSearcherType type, IFileSystemSearchController* searcher) override;

  // The recycle pass of FlashBuild: every held-back folder (by parent ID,
  // ascending) and then every held-back data file (in the order they came)
  // is renamed and added to the tree; records left over are released.
  // Always true.
  bool RestoreRecycleName(_tagSearcherType type);
  // Renames one held-back node through the restorer (see
  // RecycleNameRestorer.h) and releases the record it used. False without a
  // node, a restorer or an open tree of `type`, or when no record was used.
  bool RestorFileName(CFileNode* node, _tagSearcherType type);
  // The partition a held-back node's record is read through: the one named
  // by SetPartitonDevice, else the source's record whose index is the
  // node's (its only record, whatever its index); null when none.
  CSearchedPartitionInfo* RecyclePartitionOf(CFileNode* node) const;

  // Seams for tests and benchmarks. The clock answers seconds on any steady
  // scale; the pause runs once before a tree's first batch (one second by
  // default, to let the receiver settle the new root).
  void SetClock(std::function<int64_t()> secondsNow);
  void SetPause(std::function<void()> pause);
  // Replaces the process-wide restorer for this builder (null for none).
  void SetRecycleNameRestorer(IRecycleNameRestorer* restorer);

  struct TreeCounters {
    int64_t added = 0;       // nodes counted by AddNode in all
    int64_t shown = 0;       // nodes handed to IDrirectoryTree
    size_t pending = 0;      // accepted, not yet linked to the root
    size_t heldBack = 0;     // recycle-bin entries waiting for FlashBuild
    size_t owned = 0;        // every node the tree owns besides its root
    uint64_t walkSteps = 0;  // parent look-ups made by all walks so far
    int64_t builds = 0;      // builds that ran (forced or not)
  };
  // False when no tree of `type` is open.
  bool GetTreeCounters(_tagSearcherType type, TreeCounters* counters) const;
  // The root of the tree of `type`, or null; owned by the builder.
  IFilesystemNode* GetRoot(_tagSearcherType type) const;

 private:
  friend struct _DIRECTORY_TREE_INFO;
  using Tree = _DIRECTORY_TREE_INFO;
  // A node of a tree: the slot of the tree's record of it (see the source),
  // or the tree's root.
  using Ref = uint32_t;

  Tree* FindTree(_tagSearcherType type) const;
  int64_t Now() const;

  int AddNodeToTree(Tree& tree, IFileNode* node, _tagSearcherType type);
  bool DivertRecycled(Tree& tree, Ref ref, const char* name);
  void DropPrivateDataChildren(Tree& tree, int64_t privateDataID);
  bool RecordNode(Tree& tree, Ref ref, bool folder);
  void Forget(Tree& tree, IFileNode* node);

  // Parent look-up and the tests that walk upwards by parent ID.
  Ref FindParent(Tree& tree, IFileNode* child);
  Ref ChooseFolder(Tree& tree, IFileNode* child, Ref firstVersion);
  bool IsInTrash(Tree& tree, IFileNode* folder);
  bool IsUserTrash(Tree& tree, IFileNode* folder);

  // Building.
  std::vector<IFileNode*> BuildTree(Tree& tree, bool force);
  void ProcessNode(Tree& tree, Ref ref, std::vector<Ref>& out);
  void Walk(Tree& tree, Ref start, std::vector<Ref>& out);
  void Wait(Tree& tree, Ref ref);
  void Touch(Tree& tree, int64_t folderID);
  void Queue(Tree& tree, Ref ref);
  void DrainWork(Tree& tree, std::vector<Ref>& out);
  void Reach(Tree& tree, Ref top, std::vector<Ref>& out);
  void MarkDeletedBelow(Tree& tree, IFileNode* node, std::vector<int64_t>* markedFolders);
  void ShowNodes(Tree& tree, std::vector<IFileNode*>& nodes, int lost);
  void BuildAndShowUntilDone(Tree& tree);

  // Finishing.
  void MarkDeletedUnderDeleted(Tree& tree);
  void BuildLostNodes(Tree& tree);
  void ReleaseUnshown(Tree& tree);
  void ReAddHeldBack(Tree& tree, CFileNode* node, _tagSearcherType type);

  bool m_restoring;
  std::vector<std::unique_ptr<Tree>> m_trees;
  IDrirectoryTree* m_sink = nullptr;
  IRecoveryFilter* m_filter = nullptr;
  std::string m_description;
  IStorageDevice* m_device = nullptr;
  CSearchedPartitionInfo* m_partition = nullptr;
  std::map<_tagSearcherType, IFileSystemSearchController*> m_partitionSources;
  // The partitions of the tree in its recycle pass, from its source.
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> m_sourcePartitions;
  bool m_recyclePass = false;
  IRecycleNameRestorer* m_restorer;
  std::function<int64_t()> m_clock;
  std::function<void()> m_pause;
};
