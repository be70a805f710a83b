// Ticks in the results window: the tick boxes of the file lists' headers,
// the tick state of a row's files, the summary of the ticked files, and the
// sort arrows of the file lists.
#include "app/KVNode.h"
#include "app/KVPublicUtilities.h"
#include "platform/Localized.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVDeletailWindowController.h"

namespace {

KitImageCheckButton* HeaderBox(CustomTableView* table) {
  auto* box = new KitImageCheckButton(QRect(4, 5, 13, 13), table->headerView());
  box->setImage(KitImages::Named(QStringLiteral("checkbox_no")));
  box->show();
  return box;
}

// 0 none ticked, 2 all ticked, 1 some.
int StateOfSum(int sum, int count) { return sum == 0 ? 0 : sum == 2 * count ? 2 : 1; }

}  // namespace

void KVDeletailWindowController::listViewTableHeaderView() { listViewSelectAllButton = HeaderBox(tableView); }

void KVDeletailWindowController::changeCoverViewTableHeaderView() {
  coverViewSelectAllButton = HeaderBox(coverFlowerTableView);
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

void KVDeletailWindowController::changeSelectAllButtonState() {
  const int state = GetCellNodeState(opDataFile);
  const QPixmap image = KitImages::Named(QString::fromLatin1(state == 0   ? "checkbox_no"
                                                             : state == 2 ? "checkbox_yes"
                                                                          : "checkbox_election"));
  for (KitImageCheckButton* box : {listViewSelectAllButton, coverViewSelectAllButton}) {
    if (box != nullptr) box->setImage(image);
  }
}

void KVDeletailWindowController::showSelectFilesCountAndSize() {
  if (!KVUIController::IsScanRunning() || KVUIController::IsPause()) {
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

void KVDeletailWindowController::reLoadTableVolumnIndicatorImage() {
  if (aTableColumn == nullptr) return;
  for (CustomTableView* table : {tableView, coverFlowerTableView}) {
    if (KitTableColumn* column = table->tableColumnWithIdentifier(aTableColumn->identifier())) {
      column->setIndicatorImage(QPixmap());
      table->headerView()->viewport()->update();
    }
  }
}

// Tree rows are not ticked from their boxes yet.
void KVDeletailWindowController::clickButtonAction(NewButton*) {}
