// The left outline (the rows of the shown tree, folders only) and the file
// lists on the right (the files of the chosen row), as data sources and
// delegates of their views.
#include <QIcon>
#include <QKeyEvent>
#include <QTimer>

#include "app/KVNode.h"
#include "app/KVPublicUtilities.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/ImageAndTextCell.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"
#include "ui/windows/KVDeletailWindowController.h"

namespace {

const QColor kRowTextColor(160, 170, 211);

OpNodeData* RowOf(void* item) { return static_cast<OpNodeData*>(item); }

OpNodeData* RowOf(const OpNodeData::Child& child) {
  const auto* row = std::get_if<std::unique_ptr<OpNodeData>>(&child);
  return row != nullptr ? row->get() : nullptr;
}

// Shown in the outline: folder rows and grouping rows. File handles are
// listed on the right, never in the outline.
bool IsFolderRow(const OpNodeData* row) { return row != nullptr && row->isDirect(); }

QString TickImage(int state) {
  return QString::fromLatin1(state == 0 ? "checkbox_no" : state == 2 ? "checkbox_yes" : "checkbox_election");
}

// Only the arrow keys move the selection; other keys leave it alone.
bool IsRefusedKey(const QEvent* event) {
  if (event == nullptr || event->type() != QEvent::KeyPress) return false;
  const int key = static_cast<const QKeyEvent*>(event)->key();
  return key != Qt::Key_Up && key != Qt::Key_Down;
}

}  // namespace

KVRowArray* KVDeletailWindowController::currentTreeArray() {
  switch (selectTypeCount) {
    case kPathTree:
      return &allDiskArr;
    case kTypeTree:
      return &allTypeArr;
    case kCreationTree:
      return &allCreatTimeArr;
    case kModificationTree:
      return &allModifyTimeArr;
    default:
      return nullptr;
  }
}

// ---- Outline ----

int KVDeletailWindowController::getNodeDataIsLeaf(OpNodeData* row) const {
  if (row == nullptr) return 0;
  int folders = 0;
  for (const OpNodeData::Child& child : row->children()) folders += IsFolderRow(RowOf(child)) ? 1 : 0;
  return folders;
}

// The i-th folder child, so that the count and the children agree also when
// files stand between folders (a type tree's "other" row holds both).
OpNodeData* KVDeletailWindowController::folderChildAt(OpNodeData* row, int index) const {
  if (row == nullptr || index < 0) return nullptr;
  for (const OpNodeData::Child& child : row->children()) {
    OpNodeData* sub = RowOf(child);
    if (!IsFolderRow(sub)) continue;
    if (index-- == 0) return sub;
  }
  return nullptr;
}

int KVDeletailWindowController::numberOfChildrenOfItem(KitOutlineView*, void* item) {
  if (item == nullptr) {
    const KVRowArray* rows = currentTreeArray();
    return rows != nullptr ? static_cast<int>(rows->size()) : 0;
  }
  return getNodeDataIsLeaf(RowOf(item));
}

void* KVDeletailWindowController::childOfItem(KitOutlineView*, int index, void* item) {
  if (item == nullptr) {
    const KVRowArray* rows = currentTreeArray();
    if (rows == nullptr || index < 0 || index >= static_cast<int>(rows->size())) return nullptr;
    return (*rows)[static_cast<size_t>(index)].get();
  }
  return folderChildAt(RowOf(item), index);
}

bool KVDeletailWindowController::isItemExpandable(KitOutlineView*, void* item) {
  OpNodeData* row = RowOf(item);
  return row != nullptr && row->isDirect() && row->isHasFolderChildren() && getNodeDataIsLeaf(row) > 0;
}

QVariant KVDeletailWindowController::objectValueForTableColumn(KitOutlineView*, KitTableColumn* column, void* item) {
  OpNodeData* row = RowOf(item);
  if (row == nullptr || column->identifier() != QLatin1String("Name")) return {};
  return row->name();
}

void KVDeletailWindowController::willDisplayCell(KitOutlineView*, KitCell* cell, KitTableColumn* column, void* item) {
  auto* button = dynamic_cast<NewButton*>(cell);
  OpNodeData* row = RowOf(item);
  if (button == nullptr || row == nullptr || column->identifier() != QLatin1String("Name")) return;
  button->setDelegate(this);
  button->setOpNodeData(QVariant::fromValue(static_cast<void*>(row)));
  button->setImage(KitImages::Named(TickImage(row->state())));
  button->setLabelColor(kRowTextColor);
  button->setLabelElideMode(Qt::ElideRight);
  button->setLabel(selectTypeCount == kPathTree
                       ? row->name()
                       : QStringLiteral("%1(%2)").arg(row->name()).arg(KVUIController::GetNodeChildrenCnt(row)));
  QPixmap icon;
  if (row->isFadeNode() && row->parent() != nullptr && selectTypeCount == kTypeTree) {
    // An extension row: the desktop's icon for files of that extension.
    const QString name = KVUIController::getImageForType(row->name());
    if (!name.isEmpty()) icon = QIcon::fromTheme(name).pixmap(16, 16);
  }
  // "0IconImage" (a volume) to "10IconImage" (any other grouping row).
  const QString kind = QStringLiteral("%1IconImage").arg(row->nodeType());
  if (icon.isNull()) icon = KitImages::Named(kind);
  button->setIconImage(icon);
}

bool KVDeletailWindowController::shouldSelectItem(KitOutlineView* outline, void* item) {
  reLoadTableVolumnIndicatorImage();
  isSelectOutlineList = 1;
  if (IsRefusedKey(outline->currentEvent())) return false;
  selectTreeRow(outline, RowOf(item));
  return true;
}

// What choosing a tree row does, whoever chooses it.
void KVDeletailWindowController::selectTreeRow(KitOutlineView* outline, OpNodeData* row) {
  opDataFile = row;
  opDataFileRoot_.reset();
  if (KVRowArray* rows = currentTreeArray(); rows != nullptr && row != nullptr) {
    const OpNodeData* top = row;
    while (top->parent() != nullptr) top = top->parent();
    for (const auto& candidate : *rows) {
      if (candidate.get() == top) opDataFileRoot_ = candidate;
    }
  }
  selectedRow = outline->rowForItem(row);
  stopImageLoading();
  stopGridImageLoading();
  if (!arrList.empty()) clearFileList();
  if (refreshTimer != nullptr) {
    refreshTimer->deleteLater();
    refreshTimer = nullptr;
    viewLoadCnt = 0;
  }
  flowSelectedIndex = 0;
  outline->setSelectCellBackgroundColorWithRow(static_cast<int>(selectedRow));
  photos.clear();
  flowView->cacheManager()->freeCache();
  flowView->reloadData();
  refashDetailPageData();
}

void KVDeletailWindowController::outlineViewSelectionDidChange(KitOutlineView*) { selectedRow = -1; }

// ---- File lists ----

int KVDeletailWindowController::numberOfRowsInTableView(CustomTableView*) { return static_cast<int>(arrList.size()); }

QVariant KVDeletailWindowController::objectValueForTableColumn(CustomTableView*, KitTableColumn* column, int row) {
  if (row < 0 || row >= static_cast<int>(arrList.size()) || arrList[static_cast<size_t>(row)] == nullptr) return {};
  const OpNodeData file(arrList[static_cast<size_t>(row)]);
  const QString& id = column->identifier();
  if (id == QLatin1String("Name")) return file.name();
  if (id == QLatin1String("Size"))
    return KVPublicUtilities::longlongConvertVolSpace(static_cast<long long>(file.size()));
  if (id == QLatin1String("Path")) return file.path();
  if (id == QLatin1String("Created")) return file.createTime();
  return {};
}

void KVDeletailWindowController::willDisplayCell(CustomTableView*, KitCell* cell, KitTableColumn* column, int row) {
  IFileNode* node = row >= 0 && row < static_cast<int>(arrList.size()) ? arrList[static_cast<size_t>(row)] : nullptr;
  const QString& id = column->identifier();
  if (id == QLatin1String("CheckBox")) {
    auto* box = static_cast<NewButton*>(cell);
    box->setOpNodeData(row);
    // A file's box is ticked or not; it never shows partly ticked.
    box->setImage(node == nullptr
                      ? QPixmap()
                      : KitImages::Named(OpNodeData::fileNodeState(node) == 2 ? QStringLiteral("checkbox_yes")
                                                                              : QStringLiteral("checkbox_no")));
  } else if (id == QLatin1String("Name")) {
    static_cast<ImageAndTextCell*>(cell)->setImage(node != nullptr && OpNodeData::isFileNodeDeleted(node)
                                                       ? KitImages::Named(QStringLiteral("deletered"))
                                                       : QPixmap());
  }
}

bool KVDeletailWindowController::shouldSelectRow(CustomTableView*, int row) {
  switch (selectSegmentCount) {
    case kCoverFlowMode:
      selectedCoverFlow(row);
      selectCellCount = row;
      coverFlowerTableView->setRowNum(row);
      break;
    case kListMode:
      tableView->setRowNum(row);
      break;
    default:
      break;
  }
  return true;
}
