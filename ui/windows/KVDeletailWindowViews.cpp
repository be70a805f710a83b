// What the results window shows on either side: the file pane of the chosen
// tree row, the first row chosen and the top rows opened, the notes over an
// empty pane, tab title colours and the split view's limits.
#include <QSplitter>
#include <QTimer>

#include "app/KVNode.h"
#include "platform/Localized.h"
#include "ui/widgets/CNGridView.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/KitAutoresizer.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/KitStyle.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVTabButton.h"

void KVDeletailWindowController::clearFileList() {
  arrList.clear();
  reloadTables();
}

void KVDeletailWindowController::reloadOutlines() {
  outlineView->reloadData();
  timeOutlineView->reloadData();
}

void KVDeletailWindowController::reloadTables() {
  tableView->reloadData();
  coverFlowerTableView->reloadData();
}

void KVDeletailWindowController::refashDetailPageData() {
  if (refreshTimer != nullptr) {
    refreshTimer->deleteLater();
    refreshTimer = nullptr;
    viewLoadCnt = 0;
  }
  clearFileList();
  KVUIController::GetFileNodeToArray(&arrList, opDataFile);
  reloadOutlines();
  if (!KVUIController::IsScanRunning()) segment->setEnabled(true);
  isSorted = 0;
  showFilesInMode();
}

void KVDeletailWindowController::SelectRootItem() {
  const KVRowArray* rows = currentTreeArray();
  if (rows != nullptr && !rows->empty()) shouldSelectItem(outlineView, rows->front().get());
  for (CustemOutlineView* outline : {outlineView, timeOutlineView}) {
    if (opDataFile != nullptr && outline->rowForItem(opDataFile) >= 0) outline->selectItem(opDataFile);
  }
}

void KVDeletailWindowController::ExpandeRootItem() {
  switch (selectTypeCount) {
    case kPathTree:
      for (const auto& row : allDiskArr) outlineView->expandItem(row.get());
      break;
    case kTypeTree:
      if (!allTypeArr.empty()) outlineView->expandItem(allTypeArr.front().get());
      break;
    case kCreationTree:
    case kModificationTree:
      for (const auto& row : selectTypeCount == kCreationTree ? allCreatTimeArr : allModifyTimeArr)
        timeOutlineView->expandItem(row.get());
      break;
    default:
      break;
  }
}

void KVDeletailWindowController::showNoValueNote() {
  const bool empty = arrList.empty() && !allDiskArr.empty();
  tableView->changeNoValue(!empty);
  coverFlowerTableView->changeNoValue(!empty);
  changeNoValue(empty ? 0 : 1);
  gridView->setVisible(selectSegmentCount == kGridMode);
  coverFlower->setVisible(selectSegmentCount == kCoverFlowMode);
}

void KVDeletailWindowController::changeNoValue(int value) {
  if (value != 0) {
    delete gridNoValueView;
    gridNoValueView = nullptr;
    nodeView = nullptr;
    return;
  }
  if (gridNoValueView != nullptr) return;
  using Mask = KitAutoresizer::Mask;
  const QRectF bounds(0, 0, gridView->width(), gridView->height());
  gridNoValueView = new QWidget(gridView);
  setFrame(gridNoValueView, bounds.adjusted(0, 0, -1, -1), Mask::kWidthSizable | Mask::kHeightSizable);
  auto* ground = new KitImageView(gridNoValueView);
  ground->setImage(KitImages::Named(QStringLiteral("bg_150")));
  ground->setImageScaling(KitImageView::kScaleAxesIndependently);
  setFrame(ground, bounds, Mask::kWidthSizable | Mask::kHeightSizable);
  nodeView = new QWidget(gridNoValueView);
  setFrame(nodeView, QRectF(gridNoValueView->width() / 2.0 - 200, gridNoValueView->height() / 2.0, 400, 50),
           Mask::kNotSizable);
  auto* plate = new KitImageView(nodeView);
  plate->setImage(KitImages::Named(QStringLiteral("text_bg")));
  plate->setImageScaling(KitImageView::kScaleAxesIndependently);
  setFrame(plate, QRectF(0, 0, 400, 50), Mask::kNotSizable);
  auto* note = new KitElidedLabel(nodeView);
  note->setText(platform::Localized("PAGE_FOUR_NO_VALUE_NOTE"));
  note->setFont(KitStyle::Font(14, true));
  // Light on the dark plate, as the file list's note: dark text on a light
  // bar stood out of the dark window.
  note->setTextColor(KitColors::kNoteText);
  note->setAlignment(Qt::AlignCenter);
  setFrame(note, QRectF(0, 16, 400, 18), Mask::kWidthSizable);
  gridNoValueView->show();
}

void KVDeletailWindowController::setButtonTitleColor(KVTabButton* button, const QColor& color) {
  button->setTitleColor(color);
}

double KVDeletailWindowController::splitViewConstrainMinCoordinate(int dividerIndex) {
  return dividerIndex == 0 ? 224.0 : 1500.0;
}

double KVDeletailWindowController::splitViewConstrainMaxCoordinate(int dividerIndex) {
  return dividerIndex == 0 ? 400.0 : 5000.0;
}
