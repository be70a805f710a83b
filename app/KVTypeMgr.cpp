#include "app/KVTypeMgr.h"

#include <QMimeDatabase>

#include "FileNode.h"
#include "app/KVCPPPublic.h"
#include "app/KVUIScan.h"
#include "base/CatchExeception.h"
#include "platform/Resources.h"

namespace {

QVariantMap ReadTable() {
  QVariant table;
  QString error;
  if (!platform::Resources::ReadPropertyList(QStringLiteral("FileType"), &table, &error)) {
    CatchExeception::WriteLog("the file-type table could not be read: %s\n", error.toUtf8().constData());
    return {};
  }
  return table.toMap();
}

std::unique_ptr<OpNodeData> GroupingRow(const QString& name) {
  auto row = std::make_unique<OpNodeData>(__TreeNodeData__{1, 0, 0, nullptr});
  row->setType(1);
  row->setFadeName(name);
  row->setExpandAble(1);
  return row;
}

}  // namespace

KVTypeMgr& KVTypeMgr::share() {
  static KVTypeMgr manager(ReadTable());
  return manager;
}

KVTypeMgr::KVTypeMgr(const QVariantMap& table) {
  for (int bit : kCategoryBits) {
    QStringList& list = m_lists[bit];
    for (const QVariant& ext : table.value(QString::number(bit)).toList()) {
      const QString text = ext.toString().toLower();
      if (text.isEmpty()) continue;
      list.push_back(text);
      m_typeDict[text] = bit;  // a later category wins
    }
  }
  initRootNode();
  for (int bit : kCategoryBits) m_typeIndexMap[bit] = 0;
}

void KVTypeMgr::initRootNode() {
  for (int bit : kCategoryBits) {
    m_rootNode[bit] = std::shared_ptr<OpNodeData>(GroupingRow(
        QString::fromStdString(KVCPPPublic::instance().FilterTypeToString(static_cast<_FILTER_TYPE>(bit)))));
  }
}

std::vector<std::shared_ptr<OpNodeData>> KVTypeMgr::getRootNode() const {
  std::vector<std::shared_ptr<OpNodeData>> rows;
  for (int bit : kCategoryBits) rows.push_back(m_rootNode.at(bit));
  return rows;
}

OpNodeData* KVTypeMgr::categoryRow(int bit) const {
  const auto it = m_rootNode.find(bit);
  return it != m_rootNode.end() ? it->second.get() : nullptr;
}

int KVTypeMgr::categoryOf(const QString& ext) const {
  const auto it = m_typeDict.find(ext.toLower());
  return it != m_typeDict.end() ? it->second : 0;
}

void KVTypeMgr::refreshTypeTree(KVUIScan* scan) {
  if (scan == nullptr) scan = &KVUIScan::instance();
  const KVUIScan::TypeIndex index = scan->GetTypeMap();
  for (const auto& [category, nodes] : index) {
    size_t& position = m_typeIndexMap[static_cast<int>(category)];
    NodeTreeGuard held;  // a category's files at a time
    for (; position < nodes.size(); ++position) {
      IFileNode* node = nodes[position];
      if (node == nullptr || node->IsNodeShow() == 0 || !m_insertFileNodeMap.insert(node).second) continue;
      const QString ext = QString::fromStdString(KVUIScan::GetNodeExt(node));
      const int bit = ext.isEmpty() ? 0 : categoryOf(ext);
      if (bit == 0) {
        categoryRow(kOtherBit)->addChildObject(node);
        continue;
      }
      auto row = m_subNodeDict.find(ext);
      OpNodeData* extRow = row != m_subNodeDict.end() ? row->second : insertSubNodeToTree(ext);
      extRow->addChildObject(node);
    }
  }
}

OpNodeData* KVTypeMgr::insertSubNodeToTree(const QString& ext) {
  const int bit = categoryOf(ext);
  auto row = GroupingRow(ext);
  OpNodeData* raw = row.get();
  OpNodeData* category = categoryRow(bit != 0 ? bit : kOtherBit);
  raw->setParent(category);
  // Extension rows in name order, before the files listed directly. In the
  // order they were met they would follow the order the searchers happened
  // to find files in, which differs between a quick scan, a complete scan
  // and a loaded result of the same disk; in name order the user finds an
  // extension where he expects it, and the same files give the same rows.
  auto& children = category->children();
  auto at = children.begin();
  for (; at != children.end(); ++at) {
    const auto* other = std::get_if<std::unique_ptr<OpNodeData>>(&*at);
    if (other == nullptr || *other == nullptr || (*other)->name() > ext) break;
  }
  children.insert(at, std::move(row));
  m_subNodeDict[ext] = raw;
  return raw;
}

// The "other" row holds extension rows beside files of its own, so its mark
// counts both; and only the row's own mark (with its parent's) changes:
// handing the mark down would tick or untick the files of its extension rows
// after a tick of one of its own files.
void KVTypeMgr::setNodeState(OpNodeData* row) {
  if (row == nullptr) return;
  size_t children = 0, sum = 0;
  for (const OpNodeData::Child& child : row->children()) {
    ++children;
    if (const auto* node = std::get_if<IFileNode*>(&child)) {
      sum += OpNodeData::fileNodeState(*node) == 2 ? 2 : 0;
    } else if (const auto& sub = std::get<std::unique_ptr<OpNodeData>>(child); sub != nullptr) {
      sum += static_cast<size_t>(sub->state());
    }
  }
  row->setParentNodeState(sum == 0 ? 0 : sum == 2 * children ? 2 : 1);
}

void KVTypeMgr::refreshTypeTreeState() {
  for (int bit : kCategoryBits) {
    OpNodeData* category = categoryRow(bit);
    for (OpNodeData::Child& child : category->children()) {
      if (auto* row = std::get_if<std::unique_ptr<OpNodeData>>(&child)) setNodeState(row->get());
    }
    // After its extension rows: the other row counts them with its own files.
    if (bit == kOtherBit) setNodeState(category);
  }
}

bool KVTypeMgr::isOtherNode(const OpNodeData* row) const { return row != nullptr && row == categoryRow(kOtherBit); }

QString KVTypeMgr::getImageForType(const QString& ext) const {
  if (categoryOf(ext) == 0) return QString();
  static const QMimeDatabase database;
  return database.mimeTypeForFile(QStringLiteral("x.") + ext.toLower(), QMimeDatabase::MatchExtension).iconName();
}

QString KVTypeMgr::getTypeString(int bit) const {
  const auto it = m_lists.find(bit);
  return it != m_lists.end() ? it->second.join(QLatin1Char(';')) : QString();
}

void KVTypeMgr::emptyRows() {
  m_subNodeDict.clear();
  for (auto& [bit, row] : m_rootNode) row->free();
}

void KVTypeMgr::clearData() {
  emptyRows();
  // The row's own mark only: the files it held keep theirs.
  for (auto& [bit, row] : m_rootNode) row->setParentNodeState(0);
}

void KVTypeMgr::clear() {
  emptyRows();
  m_search = false;
  m_insertFileNodeMap.clear();
  for (int bit : kCategoryBits) m_typeIndexMap[bit] = 0;
}

void KVTypeMgr::setSearch(bool searching) {
  m_insertFileNodeMap.clear();
  clearData();
  for (int bit : kCategoryBits) m_typeIndexMap[bit] = 0;
  m_search = searching;
}
