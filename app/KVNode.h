// The row objects of the result trees and of the device list.
//
// An OpNodeData is one row of a result tree: the wrapper of a found file,
// folder or file-system root, or a grouping row with no node of its own (a
// category, an extension, a year or a month) that keeps its own tri-state
// check mark. A row owns its child rows; its children may also be bare node
// handles. Check marks stay consistent between grouping rows, their parents
// and their children; a node's own mark is kept by the node, whose SetCheck
// carries it down its tree and up to its ancestors.
//
// Threads: rows belong to the main thread. The nodes they wrap are the
// scan's, which its worker may still be linking: every operation below that
// reads or changes what a scan may change on a shown node (children, check
// mark, shown flag, deleted mark, size) takes the found-file tree lock
// (NodeTreeLock, FileNode.h) for its own span, so rows may be used while a
// scan runs. The texts (name, path, times) read only what a shown node never
// changes. A caller that walks nodes itself (GetFirstChild, GetNextNode)
// holds a NodeTreeGuard across the walk. Rows must be dropped before the
// next scan or load starts: it releases the nodes of the last one.
#pragma once

#include <QString>

#include <cstdint>
#include <ctime>
#include <memory>
#include <variant>
#include <vector>

class IFileNode;
struct _DiskVolumeData;

// What a node row is made from.
struct __TreeNodeData__ {
  int isDirectory = 0;
  int isDeleted = 0;
  int isFileSystem = 0;
  IFileNode* fileNode = nullptr;
};

class OpNodeData {
 public:
  // A child: a row (owned), or a node handle.
  using Child = std::variant<std::unique_ptr<OpNodeData>, IFileNode*>;

  // A node row (or, with no node, a grouping row once its type is set).
  explicit OpNodeData(const __TreeNodeData__& data);
  explicit OpNodeData(IFileNode* node);
  OpNodeData(const OpNodeData&) = delete;
  OpNodeData& operator=(const OpNodeData&) = delete;

  IFileNode* fileNode() const { return m_node; }
  int isFileSystem() const { return m_isFileSystem; }
  // 0 path, 1 type, 2 creation date, 3 modification date, 4 access date.
  int type() const { return m_type; }
  void setType(int type) { m_type = type; }
  OpNodeData* parent() const { return m_parent; }
  void setParent(OpNodeData* parent) { m_parent = parent; }
  std::vector<Child>& children() { return m_children; }
  int isExpandAble() const { return m_expandable; }
  void setExpandAble(int expandable) { m_expandable = expandable; }
  time_t createtime() const { return m_createTime; }
  void setCreateTime(time_t t) { m_createTime = t; }
  time_t modifytime() const { return m_modifyTime; }
  void setModifyTime(time_t t) { m_modifyTime = t; }
  void setFadeName(const QString& name) { m_fadeName = name; }

  void addChildObject(Child child);
  // Takes `children` as the child list and becomes the parent of its rows.
  void setSubNode(std::vector<Child> children);

  // A grouping row: a type other than path and no node.
  bool isFadeNode() const { return m_type != 0 && m_node == nullptr; }
  bool isDirect() const;
  uint64_t size() const;
  QString name() const;
  QString path() const;
  QString createTime() const;
  QString modifyTime() const;
  QString lastAccessTime() const;
  uint64_t createTimeValue() const;
  uint64_t modifyTimeValue() const;
  bool isDeleted() const;
  bool IsShow() const;
  void SetShow(int show);
  bool isHasFolderChildren() const;
  // The icon kind: 0 file-system root, 1 other node, 2-7 categories
  // (pictures ... other), 8 year, 9 month, 10 any other grouping row.
  int nodeType() const;
  // A node row's mark is its node's; a grouping row has its own.
  int state() const;

  // Ticks (2), unticks (0) or partly ticks (1) the row, then brings its
  // grouping parents and its children into line.
  void setNodeState(int state);
  // Stores the mark and recomputes the grouping parents from their children:
  // none ticked 0, all 2, otherwise 1.
  void setParentNodeState(int state);
  // Hands the mark down; a partly ticked row leaves its children as they are.
  void SetChildrenNodeState(int state);

  // Drops every child.
  void free();

  // Node handles.
  static bool isFileNodeDirect(IFileNode* node);
  static bool isFileNodeDeleted(IFileNode* node);
  static int fileNodeState(IFileNode* node);
  // Only 0, 1 and 2 reach the node.
  static void setFileNodeWithState(IFileNode* node, int state);
  static QString fileNodeName(IFileNode* node);

 private:
  static int ChildState(const Child& child);

  int m_type = 0;
  int m_isFileSystem = 0;
  IFileNode* m_node = nullptr;
  std::vector<Child> m_children;
  OpNodeData* m_parent = nullptr;  // not owned
  int m_state = 0;
  int m_expandable = 0;
  time_t m_createTime;
  time_t m_modifyTime;
  QString m_fadeName;
};

// One row of the device list.
class DiskVolumeNodeData {
 public:
  // The name is the record's, or the localised "untitled" text when empty.
  explicit DiskVolumeNodeData(const _DiskVolumeData& data);

  const QString& name() const { return m_name; }
  // A disk's device path (one per disk while it is attached); empty for a
  // volume.
  const QString& devicePath() const { return m_devicePath; }
  const QString& parentName() const { return m_parentName; }
  void setParentName(const QString& name) { m_parentName = name; }
  uint64_t capacity() const { return m_capacity; }
  uint64_t used() const { return m_used; }
  int diskIndex() const { return m_diskIndex; }
  int volumeIndex() const { return m_volumeIndex; }
  int fileSystem() const { return m_fileSystem; }
  int isDmg() const { return m_isDmg; }
  int isUsb() const { return m_isUsb; }

  void setSubNode(std::vector<std::unique_ptr<DiskVolumeNodeData>> children);
  DiskVolumeNodeData* childAtIndex(size_t index) const;
  size_t numberOfChildren() const { return m_children.size(); }
  void free() { m_children.clear(); }

 private:
  QString m_name;
  QString m_devicePath;
  QString m_parentName;
  uint64_t m_capacity;
  uint64_t m_used;
  int m_diskIndex, m_volumeIndex, m_fileSystem, m_isDmg, m_isUsb;
  std::vector<std::unique_ptr<DiskVolumeNodeData>> m_children;
};
