#include "RoadLook.h"

#include <algorithm>

#include "app/KVNode.h"
#include "app/KVUIDeviceData.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/KVCustomOutlineView.h"
#include "ui/widgets/NewButton.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVSelectDiskViewController.h"

namespace roadlook {

namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

QString TableText(KVDeletailWindowController& window, const char* column, int row) {
  CustomTableView* table = window.tableView;
  return window.objectValueForTableColumn(table, table->tableColumnWithIdentifier(QString::fromLatin1(column)), row)
      .toString();
}

void AddRows(KVDeletailWindowController& window, KitOutlineView* outline, void* item, int depth,
             std::vector<OpNodeData*>* rows, std::vector<int>* depths) {
  const int count = window.numberOfChildrenOfItem(outline, item);
  for (int k = 0; k < count; ++k) {
    auto* child = static_cast<OpNodeData*>(window.childOfItem(outline, k, item));
    if (child == nullptr) continue;
    rows->push_back(child);
    if (depths != nullptr) depths->push_back(depth);
    if (window.isItemExpandable(outline, child)) AddRows(window, outline, child, depth + 1, rows, depths);
  }
}

// A tick box is drawn at its cell's left edge, in the middle of its height,
// and takes presses in the tick area from the cell's top.
QPoint TickInCell(const QRect& cell) {
  const QRect tickArea(cell.topLeft(), NewButton::kTickArea);
  return QPoint(tickArea.center().x(), std::min(cell.center().y(), tickArea.bottom()));
}

KitOutlineView* ShownOutline(KVDeletailWindowController& window) {
  return window.selectTypeCount >= KVDeletailWindowController::kCreationTree ? window.timeOutlineView
                                                                             : window.outlineView;
}

}  // namespace

DiskVolumeNodeData* DiskRow(KVSelectDiskViewController* page, const QString& name) {
  if (page == nullptr || !page->allDiskArr()) return nullptr;
  for (const auto& disk : *page->allDiskArr()) {
    if (disk->name() == name) return disk.get();
  }
  return nullptr;
}

QString DiskColumn(KVSelectDiskViewController* page, const char* column, DiskVolumeNodeData* row) {
  KitOutlineView* outline = page->outlineView;
  return page->objectValueForTableColumn(outline, outline->tableColumnWithIdentifier(QString::fromLatin1(column)), row)
      .toString();
}

QPoint RowPoint(KitOutlineView* outline, void* item) {
  const QModelIndex index = outline->indexForItem(item);
  if (!index.isValid()) return {};
  outline->scrollTo(index);
  return outline->visualRect(index).center();
}

QPoint DisclosurePoint(KitOutlineView* outline, void* item) {
  const QModelIndex index = outline->indexForItem(item);
  if (!index.isValid()) return {};
  outline->scrollTo(index);
  const QRect rect = outline->visualRect(index);
  return QPoint(rect.left() - outline->indentation() / 2, rect.center().y());
}

QPoint TickPoint(KitOutlineView* outline, void* item) {
  const QModelIndex index = outline->indexForItem(item);
  if (!index.isValid()) return {};
  outline->scrollTo(index);
  return TickInCell(outline->visualRect(index));
}

QPoint FileTickPoint(CustomTableView* table, int row) {
  const QModelIndex index = table->model()->index(row, 0);
  table->scrollTo(index);
  return TickInCell(table->visualRect(index));
}

QString RowLabel(KVDeletailWindowController& window, KitOutlineView* outline, OpNodeData* row) {
  KitTableColumn* column = outline->tableColumnWithIdentifier(QStringLiteral("Name"));
  auto* cell = dynamic_cast<NewButton*>(column->dataCell());
  if (cell == nullptr) return {};
  window.willDisplayCell(outline, cell, column, row);
  return cell->label();
}

std::vector<OpNodeData*> TreeRows(KVDeletailWindowController& window, std::vector<int>* depths) {
  std::vector<OpNodeData*> rows;
  AddRows(window, ShownOutline(window), nullptr, 0, &rows, depths);
  return rows;
}

OpNodeData* RowAt(KVDeletailWindowController& window, const QStringList& path) {
  KitOutlineView* outline = ShownOutline(window);
  void* item = nullptr;
  for (const QString& label : path) {
    void* next = nullptr;
    const int count = window.numberOfChildrenOfItem(outline, item);
    for (int k = 0; k < count && next == nullptr; ++k) {
      auto* child = static_cast<OpNodeData*>(window.childOfItem(outline, k, item));
      if (child != nullptr && (child->name() == label || RowLabel(window, outline, child) == label)) next = child;
    }
    if (next == nullptr) return nullptr;
    item = next;
  }
  return static_cast<OpNodeData*>(item);
}

QStringList FileLines(KVDeletailWindowController& window) {
  QStringList lines;
  for (int row = 0; row < static_cast<int>(window.arrList.size()); ++row) {
    IFileNode* node = window.arrList[static_cast<size_t>(row)];
    if (node == nullptr) continue;
    const OpNodeData file(node);
    const uint64_t written = file.modifyTimeValue();
    const long long seconds =
        written > kUnixEpochAsFileTime ? static_cast<long long>((written - kUnixEpochAsFileTime) / 10000000) : -1;
    lines << QStringLiteral("%1\t%2\t%3\t%4")
                 .arg(TableText(window, "Path", row),
                      file.isDeleted() ? QStringLiteral("deleted") : QStringLiteral("live"))
                 .arg(file.size())
                 .arg(seconds);
  }
  return lines;
}

int FileRow(KVDeletailWindowController& window, const QString& name) {
  for (int row = 0; row < static_cast<int>(window.arrList.size()); ++row) {
    if (TableText(window, "Name", row) == name) return row;
  }
  return -1;
}

}  // namespace roadlook
