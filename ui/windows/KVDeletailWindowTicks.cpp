// Ticks in the results window: the files' tick boxes in both lists (and a
// grid tile's), the header boxes that tick every listed file, the tick state
// of a row's files, the summary of the ticked files, and sorting the list by
// a column with the sort arrows.
//
// Ticks and sorts are refused while a scan adds to the trees, unless the user
// has paused it: the trees' grouping rows are rebuilt from the scan's news
// then, and a tick must not race them.
#include <QScrollBar>

#include <algorithm>

#include "app/KVNode.h"
#include "app/KVPublicUtilities.h"
#include "platform/Localized.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVDeletailWindowController.h"

namespace {

bool ScanHoldsTheTrees() { return KVUIController::IsScanRunning() && !KVUIController::IsPause(); }

// A press on a list's tick box reaches the window as the file's row.
class FileBoxRelay : public QObject, public INewButtonDelegate {
 public:
  FileBoxRelay(KVDeletailWindowController* window, CustomTableView* table) : QObject(table), window_(window) {}
  void clickButtonAction(NewButton* sender) override { window_->nsbuttonCellClick(sender->opNodeData().toLongLong()); }

 private:
  KVDeletailWindowController* window_;
};

// The header's box over the tick column, and the tick boxes of the rows.
KitImageCheckButton* WireTickBoxes(KVDeletailWindowController* window, CustomTableView* table) {
  auto* box = new KitImageCheckButton(QRect(4, 5, 13, 13), table->headerView());
  box->setImage(KitImages::Named(QStringLiteral("checkbox_no")));
  box->show();
  QObject::connect(box, &QAbstractButton::clicked, window, [window] { window->setAllSelectOrNoSelect(); });
  // The box stays over its column when the list scrolls sideways.
  QObject::connect(table->horizontalScrollBar(), &QScrollBar::valueChanged, box,
                   [box, table] { box->move(table->headerView()->sectionViewportPosition(0) + 4, 5); });

  KitTableColumn* column = table->tableColumnWithIdentifier(QStringLiteral("CheckBox"));
  auto* cell = static_cast<NewButton*>(column->dataCell());
  auto* relay = new FileBoxRelay(window, table);
  new KitCheckCellFilter(table, cell, table->tableColumns().indexOf(column),
                         [table, relay](NewButton* pressed, const QModelIndex& index) {
                           table->preparedCell(index.column(), index);
                           pressed->setDelegate(relay);
                         });
  return box;
}

// 0 none ticked, 2 all ticked, 1 some.
int StateOfSum(int sum, int count) { return sum == 0 ? 0 : sum == 2 * count ? 2 : 1; }

QPixmap TickImage(int state) {
  return KitImages::Named(QString::fromLatin1(state == 0   ? "checkbox_no"
                                              : state == 2 ? "checkbox_yes"
                                                           : "checkbox_election"));
}

// The grouping rows of the shown tree (types, months) brought in line with
// their files' ticks; the path tree's rows are the files' own folders.
void RefreshGroupingRows(KVDeletailWindowController& window) {
  switch (window.selectTypeCount) {
    case KVDeletailWindowController::kModificationTree:
      KVUIController::RefreshTimeTreeState(window.allModifyTimeArr);
      break;
    case KVDeletailWindowController::kCreationTree:
      KVUIController::RefreshTimeTreeState(window.allCreatTimeArr);
      break;
    case KVDeletailWindowController::kTypeTree:
      KVUIController::RefreshTypeTreeState(window.opDataFile);
      break;
    default:
      break;
  }
}

// After ticks: the trees, both lists' boxes, the header boxes and the summary.
void ShowTicks(KVDeletailWindowController& window) {
  RefreshGroupingRows(window);
  window.outlineView->reloadData();
  window.timeOutlineView->reloadData();
  if (!KVUIController::IsScanRunning()) window.segment->setEnabled(true);
  for (CustomTableView* table : {window.tableView, window.coverFlowerTableView}) table->viewport()->update();
}

// A file's box in a list (fromList) or in the grid: ticks or unticks it.
void TickFile(KVDeletailWindowController& window, qint64 row, bool fromList) {
  if (ScanHoldsTheTrees()) return;
  if (row < 0 || row >= static_cast<qint64>(window.arrList.size())) return;
  IFileNode* file = window.arrList[static_cast<size_t>(row)];
  if (file == nullptr) return;
  window.showRecoveryButton();
  // The node carries the tick to its folders.
  OpNodeData::setFileNodeWithState(file, OpNodeData::fileNodeState(file) == 2 ? 0 : 2);
  ShowTicks(window);
  if (window.selectSegmentCount == KVDeletailWindowController::kGridMode && fromList) window.showGridView();
  if (window.selectSegmentCount == KVDeletailWindowController::kCoverFlowMode) window.showCoverFlowerViewWithRefresh(1);
  window.changeSelectAllButtonState();
  window.showSelectFilesCountAndSize();
}

// One key per listed file, taken once before sorting.
struct SortKey {
  IFileNode* file;
  QString text;
  uint64_t number = 0;
};

// Sorts `files` by the column `id` ("Name", "Path", "Size", "Created"; any
// other column leaves them as they are). Files of equal keys keep their
// order, whichever way the list is sorted.
void SortFiles(std::vector<IFileNode*>& files, const QString& id, bool ascending) {
  const bool byText = id == QLatin1String("Name") || id == QLatin1String("Path");
  if (!byText && id != QLatin1String("Size") && id != QLatin1String("Created")) return;
  std::vector<SortKey> keys;
  keys.reserve(files.size());
  for (IFileNode* file : files) {
    SortKey key{file, {}, 0};
    if (file != nullptr) {
      const OpNodeData row(file);
      if (id == QLatin1String("Name")) key.text = row.name().normalized(QString::NormalizationForm_C);
      if (id == QLatin1String("Path")) key.text = row.path().normalized(QString::NormalizationForm_C);
      if (id == QLatin1String("Size")) key.number = row.size();
      if (id == QLatin1String("Created")) key.number = row.createTimeValue();
    }
    keys.push_back(std::move(key));
  }
  const auto less = [byText](const SortKey& a, const SortKey& b) {
    return byText ? QString::compare(a.text, b.text, Qt::CaseSensitive) < 0 : a.number < b.number;
  };
  if (ascending) {
    std::stable_sort(keys.begin(), keys.end(), less);
  } else {
    std::stable_sort(keys.begin(), keys.end(), [&less](const SortKey& a, const SortKey& b) { return less(b, a); });
  }
  for (size_t k = 0; k < keys.size(); ++k) files[k] = keys[k].file;
}

}  // namespace

void KVDeletailWindowController::listViewTableHeaderView() { listViewSelectAllButton = WireTickBoxes(this, tableView); }

void KVDeletailWindowController::changeCoverViewTableHeaderView() {
  coverViewSelectAllButton = WireTickBoxes(this, coverFlowerTableView);
}

int KVDeletailWindowController::GetCellNodeState(OpNodeData* row) {
  int sum = 0, count = 0;
  const auto addFiles = [&](const std::vector<IFileNode*>& files) {
    for (IFileNode* file : files) {
      if (file == nullptr || OpNodeData::isFileNodeDirect(file)) continue;
      sum += OpNodeData::fileNodeState(file);
      ++count;
    }
  };
  if (row != nullptr && row->isFadeNode() && row->parent() == nullptr) {
    for (const OpNodeData::Child& child : row->children()) {
      if (const auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child)) {
        sum += *sub != nullptr ? (*sub)->state() : 0;
        ++count;
      } else {
        addFiles({std::get<IFileNode*>(child)});
      }
    }
  } else if (row != nullptr) {
    std::vector<IFileNode*> files;
    KVUIController::GetFileNodeToArray(&files, row);
    addFiles(files);
  } else {
    addFiles(arrList);
  }
  return StateOfSum(sum, count);
}

// The header boxes speak for the files listed under them. The chosen row
// may hold more than its list shows (the "other" type row lists its own
// files, not those of its extension rows): a box that counted those could
// never untick the list.
void KVDeletailWindowController::changeSelectAllButtonState() {
  const QPixmap image = TickImage(GetCellNodeState(nullptr));
  for (KitImageCheckButton* box : {listViewSelectAllButton, coverViewSelectAllButton}) {
    if (box != nullptr) box->setImage(image);
  }
}

void KVDeletailWindowController::showSelectFilesCountAndSize() {
  if (!ScanHoldsTheTrees()) {
    // The controller adds to what it is given.
    selectedFileCnt = 0;
    selectedFileSize = 0;
    KVUIController::GetSelectedFilesAmout(&selectedFileCnt, &selectedFileSize);
    recovertyButton->setButtonEnabled(selectedFileCnt >= 1);
    selectFilesLabel->setText(platform::LocalizedFormat(
        "PAGE_FOUR_SELECT_FILES",
        {KVPublicUtilities::longlongConvertVolSpace(static_cast<long long>(selectedFileSize)), selectedFileCnt}));
    selectValue = selectedFileSize;
  }
  showNoValueNote();
}

void KVDeletailWindowController::ClearSelectedFilesInfo() {
  opDataFile = nullptr;
  for (KitImageCheckButton* box : {listViewSelectAllButton, coverViewSelectAllButton}) box->setImage(TickImage(0));
  KVUIController::UnselectedAllNodes();
  showSelectFilesCountAndSize();
}

void KVDeletailWindowController::nsbuttonCellClick(qint64 row) { TickFile(*this, row, true); }

void KVDeletailWindowController::doSelectItem(qint64 index) { TickFile(*this, index, false); }

void KVDeletailWindowController::setAllSelectOrNoSelect() {
  if (arrList.empty() || ScanHoldsTheTrees()) return;
  showRecoveryButton();
  const int state = GetCellNodeState(nullptr) == 2 ? 0 : 2;
  for (IFileNode* file : arrList) {
    if (file != nullptr && !OpNodeData::isFileNodeDirect(file)) OpNodeData::setFileNodeWithState(file, state);
  }
  ShowTicks(*this);
  switch (selectSegmentCount) {
    case kListMode:
      tableView->reloadData();
      break;
    case kCoverFlowMode:
      coverFlowerTableView->reloadData();
      showCoverFlowerViewWithRefresh(1);
      break;
    case kGridMode:
      showGridView();
      break;
    default:
      break;
  }
  changeSelectAllButtonState();
  showSelectFilesCountAndSize();
}

void KVDeletailWindowController::reLoadCollectionViewData() {
  if (KVUIController::IsScanRunning()) return;
  RefreshGroupingRows(*this);
  outlineView->reloadData();
  timeOutlineView->reloadData();
  showSelectFilesCountAndSize();
}

void KVDeletailWindowController::reLoadTableVolumnIndicatorImage() {
  if (aTableColumn == nullptr) return;
  for (CustomTableView* table : {tableView, coverFlowerTableView}) {
    if (KitTableColumn* column = table->tableColumnWithIdentifier(aTableColumn->identifier())) {
      column->setIndicatorImage(QPixmap());
      table->headerView()->viewport()->update();
    }
  }
}

// One direction for every column: the first click on any column sorts
// descending, each further click on any column the other way.
void KVDeletailWindowController::didClickTableColumn(CustomTableView*, KitTableColumn* column) {
  if (ScanHoldsTheTrees() || column == nullptr) return;
  stopImageLoading();
  stopGridImageLoading();
  const bool ascending = isSorted == 1;
  SortFiles(arrList, column->identifier(), ascending);
  reLoadTableVolumnIndicatorImage();
  const QPixmap arrow = KitImages::Named(ascending ? QStringLiteral("NSAscendingSortIndicator")
                                                   : QStringLiteral("NSDescendingSortIndicator"));
  CustomTableView* shown = selectSegmentCount == kListMode ? tableView : coverFlowerTableView;
  if (KitTableColumn* sorted = shown->tableColumnWithIdentifier(column->identifier())) sorted->setIndicatorImage(arrow);
  shown->reloadData();
  if (selectSegmentCount != kListMode) {
    flowSelectedIndex = 0;
    photos.clear();
    showCoverFlowerViewWithRefresh(1);
  }
  aTableColumn = column;
  isSorted = isSorted == 0 ? 1 : 0;
}
