#include "app/KVTimeMgr.h"

#include "FileNode.h"
#include "app/KVCPPPublic.h"
#include "app/KVUIScan.h"

namespace {

std::unique_ptr<OpNodeData> DateRow(int number, const char* format, int view) {
  auto row = std::make_unique<OpNodeData>(__TreeNodeData__{1, 1, 0, nullptr});
  row->setType(view);
  row->setFadeName(QString::asprintf(format, number));
  return row;
}

uint64_t ViewTime(IFileNode* node, int view) {
  if (view == KVViewCreationDate) return node->GetCreationTime();
  if (view == KVViewModificationDate) return node->GetModificationTime();
  return node->GetLastAccessTime();
}

}  // namespace

KVTimeMgr& KVTimeMgr::share() {
  static KVTimeMgr manager;
  return manager;
}

time_t KVTimeMgr::MonthTime(int year, int month) {
  struct tm parts {};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = 1;
  parts.tm_hour = 12;
  parts.tm_isdst = -1;
  return mktime(&parts);
}

void KVTimeMgr::refreshTimeTree(OpNodeData* root, KVUIScan* scan) {
  if (root == nullptr) return;
  if (scan == nullptr) scan = &KVUIScan::instance();
  const int view = static_cast<int>(scan->GetScanType());
  KVUIScan::MonthIndex index;
  if (view == KVViewCreationDate) {
    index = scan->GetCreateTimeMap();
  } else if (view == KVViewModificationDate) {
    index = scan->GetModifyTimeMap();
  } else if (view == KVViewAccessDate) {
    index = scan->GetAccessTimeMap();
  }
  for (const auto& [year, months] : index) {
    for (const auto& [month, nodes] : months) {
      NodeTreeGuard held;  // a month's files at a time
      for (size_t position = getIndex(year, month, view); position < nodes.size(); ++position) {
        setIndex(year, month, position + 1, view);
        IFileNode* node = nodes[position];
        if (node == nullptr || node->IsDirectory() != 0 || ViewTime(node, view) == 0 || node->IsNodeShow() == 0) {
          continue;
        }
        AddFileNode(node, root, view);
      }
    }
  }
}

void KVTimeMgr::AddFileNode(IFileNode* node, OpNodeData* root, int view) {
  if (node == nullptr || root == nullptr) return;
  if (view != KVViewCreationDate && view != KVViewModificationDate) return;
  int year = 0, month = 0;
  const uint64_t time = ViewTime(node, view);
  KVCPPPublic::instance().GetYearMonthByFileTime(&year, &month, time);
  if (year <= 0 || month <= 0) return;
  const auto yearIt = m_yearRows.find({view, year});
  OpNodeData* yearRow = yearIt != m_yearRows.end() ? yearIt->second : insertYear(year, root, view);
  const auto monthIt = m_monthRows.find({view, yearRow, month});
  OpNodeData* monthRow = monthIt != m_monthRows.end() ? monthIt->second : insertMonth(month, year, yearRow, view);
  monthRow->addChildObject(node);
}

int KVTimeMgr::GetDateInsertIndex(int number, OpNodeData* parent) {
  int index = 0;
  for (const OpNodeData::Child& child : parent->children()) {
    const auto* row = std::get_if<std::unique_ptr<OpNodeData>>(&child);
    if (row != nullptr && *row != nullptr && (*row)->name().toInt() > number) return index;
    ++index;
  }
  return -1;
}

namespace {

OpNodeData* InsertSorted(OpNodeData* parent, std::unique_ptr<OpNodeData> row, int index) {
  OpNodeData* raw = row.get();
  raw->setParent(parent);
  auto& children = parent->children();
  if (index < 0) {
    children.push_back(std::move(row));
  } else {
    children.insert(children.begin() + index, std::move(row));
  }
  return raw;
}

void SetRowTime(OpNodeData* row, int view, time_t t) {
  if (view == KVViewCreationDate) row->setCreateTime(t);
  if (view == KVViewModificationDate) row->setModifyTime(t);
}

}  // namespace

OpNodeData* KVTimeMgr::insertYear(int year, OpNodeData* root, int view) {
  auto row = DateRow(year, "%04d", view);
  row->setExpandAble(1);
  OpNodeData* raw = InsertSorted(root, std::move(row), GetDateInsertIndex(year, root));
  m_yearRows[{view, year}] = raw;
  return raw;
}

OpNodeData* KVTimeMgr::insertMonth(int month, int year, OpNodeData* yearRow, int view) {
  auto row = DateRow(month, "%02d", view);
  const time_t t = MonthTime(year, month);
  SetRowTime(row.get(), view, t);
  SetRowTime(yearRow, view, t);
  OpNodeData* raw = InsertSorted(yearRow, std::move(row), GetDateInsertIndex(month, yearRow));
  m_monthRows[{view, yearRow, month}] = raw;
  return raw;
}

size_t KVTimeMgr::getIndex(int year, int month, int view) const {
  const auto it = m_positions.find({view, year, month});
  return it != m_positions.end() ? it->second : 0;
}

void KVTimeMgr::setIndex(int year, int month, size_t index, int view) { m_positions[{view, year, month}] = index; }

void KVTimeMgr::initMap() { m_positions.clear(); }

void KVTimeMgr::clear() {
  initMap();
  m_yearRows.clear();
  m_monthRows.clear();
}

void KVTimeMgr::clearView(int view) {
  std::erase_if(m_positions, [view](const auto& entry) { return std::get<0>(entry.first) == view; });
  std::erase_if(m_yearRows, [view](const auto& entry) { return entry.first.first == view; });
  std::erase_if(m_monthRows, [view](const auto& entry) { return std::get<0>(entry.first) == view; });
}
