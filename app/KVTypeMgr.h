// The result view by type: a row per category (pictures, music, movies,
// archive, document, other), below each a row per extension met, below that
// the found files. The category table comes from the "FileType" property
// list among the resources: category bit (as decimal text) to its
// extensions, lower-case and without the dot.
//
// Main thread only; it reads copies of the scan's indexes.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/KVNode.h"

class IFileNode;
class KVUIScan;

class KVTypeMgr {
 public:
  static constexpr int kCategoryBits[] = {1, 2, 4, 8, 16, 32};
  static constexpr int kOtherBit = 32;

  // The one manager, made on first use from the resources.
  static KVTypeMgr& share();
  // A manager over the category table `table` (bit text to extension list).
  explicit KVTypeMgr(const QVariantMap& table);

  // The six category rows, in bit order.
  std::vector<std::shared_ptr<OpNodeData>> getRootNode() const;
  // Places the files `scan` (the process's scan when null) found since the
  // last call.
  void refreshTypeTree(KVUIScan* scan = nullptr);
  OpNodeData* insertSubNodeToTree(const QString& ext);
  // An extension row's (or the other row's) mark from its files and rows:
  // all ticked 2, some 1, none 0. Its children keep their marks.
  void setNodeState(OpNodeData* row);
  void refreshTypeTreeState();
  bool isOtherNode(const OpNodeData* row) const;
  // A themed icon name for the extension; "" for one not in the table.
  QString getImageForType(const QString& ext) const;
  // The category's extensions joined with ";".
  QString getTypeString(int bit) const;
  // The category bit an extension belongs to (the later one when listed
  // twice); 0 when none lists it.
  int categoryOf(const QString& ext) const;
  OpNodeData* categoryRow(int bit) const;

  void clearData();
  void clear();
  void setSearch(bool searching);
  bool isSearch() const { return m_search; }

 private:
  void initRootNode();
  void emptyRows();

  std::map<int, QStringList> m_lists;  // bit -> extensions
  std::map<QString, int> m_typeDict;   // extension -> bit
  std::map<int, std::shared_ptr<OpNodeData>> m_rootNode;
  std::map<QString, OpNodeData*> m_subNodeDict;  // rows owned by their category rows
  std::map<int, size_t> m_typeIndexMap;          // bit -> next position in the scan's list
  std::set<IFileNode*> m_insertFileNodeMap;
  bool m_search = false;
};
