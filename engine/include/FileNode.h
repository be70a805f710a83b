// The found-file model: every file or folder a scanner finds is a node that
// answers IFileNode, is linked into a tree (parent, first child, next
// sibling), carries a tri-state check mark and a shown flag, and owns the
// data-run list that locates its content on the scanned device.
//
// Each scanner derives its own node class from CFileNode and supplies the
// name, size, attribute, times and flags from its own records.
//
// Ownership
// - A node is made by its scanner and handed to the tree builder. When the
//   builder accepts it (AddNode answers 1) the builder owns it; when the
//   builder refuses it (AddNode answers 0) the node stays with its caller,
//   who releases or keeps it. Accepted nodes live until the builder is
//   released; the application only keeps pointers to them.
// - A node owns its data-run list (released with the node or when another
//   list replaces it). A list belongs to at most one node at a time.
//
// Threads
// Nodes carry no lock of their own; one process-wide recursive lock,
// NodeTreeLock(), guards the parts of every found-file tree that change once
// a node is shown (handed to IDrirectoryTree::ShowNodes, or a root given to
// ShowFilesystemNode):
// - the links below a shown node (a new first child), and the shown-children
//   count and checked weight that linking carries up the parent chain;
// - the check status and the shown flag (SetCheck, ShowNode: both walk
//   parents and children, so even callers that only "read" through them
//   write the tree);
// - the deleted mark, the size and the data-run list (the tree builder may
//   mark a shown folder deleted or merge a duplicate's runs into a shown
//   file while its tree is open). A list made on demand (see
//   SetDataRunListOnDemand) is made under the lock by whoever asks first.
// The tree builder changes shown nodes only while it holds the lock, and
// only on the scan's worker thread. Any other thread holds the lock while it
// reads or changes any of the above on nodes of a scan (tree walks by
// GetFirstChild/GetNextNode, IsNodeShow, GetCheckedStatus, SetCheck,
// ShowNode, IsDeleted, GetFileSize, the run list). Holding it across one
// batch of such calls and releasing it between batches keeps the builder
// (and every other holder) waiting for one batch at most.
// What never changes once a node is shown may be read without the lock by
// whoever reached the node through the lock or through the scan's indexes:
// its name, times, attribute, IDs, folder flag, searcher type, volume name,
// parent and next sibling.
// The builder holds nothing else while it holds the lock, and calls the
// receiver without it; holders must not wait for the scan operation while
// they hold it, only take its short field lock. The application releases a
// builder (and every node it owns) only under the lock, so a walk under the
// lock never meets a freed node; pointers kept past that release dangle.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "EngineTypes.h"

class IFileReader;
class IDataRunList;

// The lock of every found-file tree of the process (see Threads above).
std::recursive_mutex& NodeTreeLock();
// Holds NodeTreeLock() for a scope.
class NodeTreeGuard {
 public:
  NodeTreeGuard() : m_held(NodeTreeLock()) {}

 private:
  std::lock_guard<std::recursive_mutex> m_held;
};

// 0 unchecked, 1 partly checked (only ever the result of propagation),
// 2 checked.
enum _tagCheckedStatus : int {
  CHECKED_STATUS_UNCHECKED = 0,
  CHECKED_STATUS_PARTLY = 1,
  CHECKED_STATUS_CHECKED = 2,
};

// The common node interface. The order of the virtual operations is part of
// the interface; do not reorder.
class IFileNode {
 public:
  virtual ~IFileNode() = default;

  // Shown flag: non-zero shown, 0 hidden.
  virtual int IsNodeShow() const = 0;
  // Sets the shown flag; the parents follow (see CFileNode). It does not
  // touch the node's children: a caller that wants a whole subtree shown or
  // hidden walks it.
  virtual void ShowNode(int show) = 0;
  virtual int64_t GetCurrentNodeID() const = 0;  // -1 none
  virtual int64_t GetParentNodeID() const = 0;   // -1 none
  virtual IFileNode* GetParent() const = 0;
  virtual IFileNode* GetFirstChild() = 0;
  virtual IFileNode* GetNextNode() = 0;
  // UTF-8; may be null.
  virtual const char* GetFileName() = 0;
  virtual uint64_t GetFileSize() = 0;
  // File-system attribute bits; 0x10 marks a folder in the FAT and NTFS
  // families.
  virtual uint32_t GetAttribute() = 0;
  // _FILETIME values, 0 when unknown.
  virtual uint64_t GetCreationTime() = 0;
  virtual uint64_t GetModificationTime() = 0;
  virtual uint64_t GetLastAccessTime() = 0;
  virtual int IsDirectory() = 0;
  virtual int IsDeleted() = 0;
  virtual _tagCheckedStatus GetCheckedStatus() = 0;
  // 0 or 2; applied to the node and all its shown descendants, the parents'
  // status follows. Anything else, and any call on a hidden node, changes
  // nothing.
  virtual void SetCheck(_tagCheckedStatus status) = 0;
  virtual _tagSearcherType GetSearcheType() const = 0;
  // The volume name shown at the top of a path (roots only); may be null.
  virtual const char* GetVolumeName() const = 0;
  // 1 linked, 0 refused (the child stays with the caller).
  virtual int AddChild(IFileNode* child) = 0;
  virtual int AddNext(IFileNode* node) = 0;
  // A new node with the same file data, unlinked; the caller owns it.
  virtual IFileNode* Clone() = 0;
  // Destroys the node.
  virtual void Release() = 0;
  virtual void MarkDeleted() = 0;
  // A reader that decompresses the content, or null; the caller owns it.
  virtual IFileReader* CreateCompressFileReader(void* privateData) = 0;
  virtual int IsCompressed() const = 0;
  // Remembers the sector of the node's on-disk record.
  virtual void SetMetaDataSector(int64_t sector) = 0;
  // Strips leading blanks and dots from the node's own name.
  virtual void FilterFileNameByDot() = 0;
  virtual void UpdateFileSize(int64_t size) = 0;
  virtual void UpdateNodeInfo() = 0;
};

// A node that can stand as the root of a tree; adds no operation.
class IFilesystemNode : public IFileNode {};

// The common base of every concrete node.
//
// Shown flag and check marks keep two counters per node, which always hold
// these values:
// - shown-children count: the number of children whose shown flag is set;
// - checked weight: the sum of the check statuses of those shown children.
// A node with shown children has the status its children give it: 0 when
// the weight is 0, 2 when the weight is twice the count, 1 otherwise. A node
// without shown children keeps the status it was given (0 or 2).
//
// Every change of a child's shown flag or status is passed up the parent
// chain for as far as it changes something. A folder whose shown-children
// count changes becomes shown exactly when it has a shown child; ShowNode on
// the folder itself overrides that until the next change below it.
class CFileNode : public IFilesystemNode {
 public:
  CFileNode();
  // Clears the node's own links and releases its run list; it neither unlinks
  // the node from its parent nor touches its children, so a linked node is
  // released only when its whole tree goes (in any order).
  ~CFileNode() override;
  CFileNode& operator=(const CFileNode&) = delete;

  int IsNodeShow() const override;
  void ShowNode(int show) override;
  int64_t GetCurrentNodeID() const override;
  int64_t GetParentNodeID() const override;
  IFileNode* GetParent() const override;
  IFileNode* GetFirstChild() override;
  IFileNode* GetNextNode() override;
  _tagCheckedStatus GetCheckedStatus() override;
  void SetCheck(_tagCheckedStatus status) override;
  _tagSearcherType GetSearcheType() const override;  // SEARCHER_TYPE_NONE
  const char* GetVolumeName() const override;        // null
  // Children are prepended. Refused: null, a node that is not a CFileNode,
  // this node itself or any of its ancestors, and a node that already has a
  // parent (linking it again would cut its old sibling chain).
  int AddChild(IFileNode* child) override;
  // Splices `node` (with its own following siblings) in behind this node.
  // Refused: null, a node that is not a CFileNode, and a node whose sibling
  // chain meets this node's (that would make a ring).
  int AddNext(IFileNode* node) override;
  void Release() override;
  IFileReader* CreateCompressFileReader(void* privateData) override;  // null
  int IsCompressed() const override;                                  // the compressed flag
  void SetMetaDataSector(int64_t sector) override;
  void UpdateFileSize(int64_t size) override;  // nothing
  void UpdateNodeInfo() override;              // nothing

  // The owned run list, or null. A node whose scanner keeps the runs in a
  // form of its own anyway has its list made from them when it is first
  // asked for (see SetDataRunListOnDemand).
  IDataRunList* GetDataRunList() const;
  // Takes ownership of `list` (null allowed) and releases the list it had.
  void SetDataRunList(IDataRunList* list);
  // Gives up the owned list without releasing it; the caller owns it.
  IDataRunList* DetachDataRunList();

  void SetCurrentNodeID(int64_t id);
  void SetParentNodeID(int64_t id);
  void SetCompressedFlag(uint32_t compressed);

  // Index of the node's file system among its searcher's found partitions;
  // 0xFFFF none.
  uint16_t GetBelongedPartition() const;
  void SetBelongedPartition(uint16_t index);
  // The sector given to SetMetaDataSector, kept in 40 bits; -1 none.
  int64_t GetMetadataStartPosition() const;

  // A size read from disk is judged against what the file's runs can hold
  // before anything trusts it. A size beyond that is cut to what the runs
  // support and the node is marked damaged (the user is told; the copy
  // holds what the runs hold).
  bool IsSizeDamaged() const { return (m_storedSize & kSizeDamaged) != 0; }
  void SetSizeDamaged(bool damaged) {
    m_storedSize = damaged ? (m_storedSize | kSizeDamaged) : (m_storedSize & ~kSizeDamaged);
  }
  // The scanner could not vouch for the file's runs (they were worked out
  // past damaged metadata): a copy may hold other bytes, so it is reported
  // incomplete rather than recovered, and kept for the user to judge.
  bool IsContentUnsure() const { return (m_storedSize & kContentUnsure) != 0; }
  void SetContentUnsure(bool unsure) {
    m_storedSize = unsure ? (m_storedSize | kContentUnsure) : (m_storedSize & ~kContentUnsure);
  }
  // The bytes of the file's content that lie on the medium, which is what a
  // copy writes: the size, less the holes of a sparse file. At most the
  // size; the size itself when the scanner did not say (SetStoredSize).
  // The recovery's free-space check counts these.
  uint64_t GetStoredSize();
  void SetStoredSize(uint64_t bytes);

  // The tree builder that took the node keeps its record of the node here
  // (kNoTreeSlot until one does); nothing else reads or writes it, and only
  // on the builder's thread.
  static constexpr uint32_t kNoTreeSlot = UINT32_MAX;
  uint32_t GetTreeSlot() const { return m_treeSlot; }
  void SetTreeSlot(uint32_t slot) { m_treeSlot = slot; }

  uint32_t GetShownChildCount() const { return m_shownChildren; }
  uint32_t GetCheckedWeight() const { return m_checkedWeight; }

  // Takes over `other`'s run list (other keeps none) and its size
  // (UpdateFileSize). Nothing for null or for the node itself.
  void MergeNode(CFileNode* other);

  // Same node ID, same IsDirectory, same parent node ID, byte-equal names (a
  // null name equals only another null or empty name) and, unless `other`
  // is a folder, the same partition index.
  bool operator==(const CFileNode& other) const;

  // The name without its leading run of blanks and dots.
  static std::string FilterFileNameByDot(const std::string& name);
  using IFileNode::FilterFileNameByDot;

 protected:
  // For Clone: copies IDs, packed state, compressed flag and a clone of the
  // run list (or the promise of one); the copy is unlinked and has no shown
  // children.
  CFileNode(const CFileNode& other);

  // Releases the owned list; the node's list is then MakeDataRunList's, made
  // when GetDataRunList (or DetachDataRunList) is first called. A scan keeps
  // a node for every file it finds, and most are never copied: their lists
  // are never made.
  void SetDataRunListOnDemand();
  // The list SetDataRunListOnDemand promised, new (the node owns it), or null
  // for none. Called at most once per promise, under the tree lock, by
  // whoever first asks for the list.
  virtual IDataRunList* MakeDataRunList();

 private:
  // The packed word: bits 0-3 check status (signed), bits 4-7 shown flag
  // (signed), bits 8-23 partition index, bits 24-63 metadata sector (signed).
  // Atomic because the tree builder reads the partition index of shown
  // folders without the tree lock while a holder of the lock changes their
  // status bits; every change of a shown node's bits is made under the lock.
  int StatusBits() const;
  void SetStatusBits(int status);
  int ShownBits() const;
  void SetShownBits(int shown);
  bool Shown() const { return ShownBits() != 0; }
  // What this node adds to its parent's weight.
  int Contribution() const { return Shown() ? StatusBits() : 0; }

  // Applies a change of one child's contribution to this node and passes the
  // consequences up the parent chain.
  void ChildChanged(int countDelta, int weightDelta);
  // Sets `status` on every shown descendant reached through shown nodes.
  void SetDescendantsStatus(int status);

  // A scan keeps a node for every file it finds: the fields leave no gaps.
  CFileNode* m_firstChild = nullptr;
  CFileNode* m_nextSibling = nullptr;
  uint32_t m_shownChildren = 0;
  uint32_t m_treeSlot = kNoTreeSlot;
  // The owned list, null, or OnDemand() while a list promised by
  // SetDataRunListOnDemand is not made yet. Atomic, and made under the tree
  // lock, so that two readers who meet on a list not made yet get the same
  // one even when they do not hold the lock.
  static IDataRunList* OnDemand() { return reinterpret_cast<IDataRunList*>(uintptr_t{1}); }
  IDataRunList* OwnedList() const;
  mutable std::atomic<IDataRunList*> m_dataRunList{nullptr};
  int64_t m_nodeID = -1;
  int64_t m_parentNodeID = -1;
  std::atomic<uint64_t> m_packed;
  CFileNode* m_parent = nullptr;
  uint32_t m_checkedWeight = 0;
  uint32_t m_compressed = 0;
  // The stored bytes in bits 0-61 (all ones: not said), the content-unsure
  // mark in bit 62 and the damaged-size mark in bit 63.
  static constexpr uint64_t kSizeDamaged = uint64_t{1} << 63;
  static constexpr uint64_t kContentUnsure = uint64_t{1} << 62;
  static constexpr uint64_t kMarks = kSizeDamaged | kContentUnsure;
  static constexpr uint64_t kStoredNotSaid = kContentUnsure - 1;
  uint64_t m_storedSize = kStoredNotSaid;
};
