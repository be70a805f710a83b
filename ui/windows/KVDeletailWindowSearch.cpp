// The name search of the results window's title bar. The search runs in the
// application core on a thread of its own and marks every found file as
// shown or not; when it ends ("DoSearchValue") the window fetches the rows
// of the shown tree again, which then hold only what matches, and lists the
// matching files. One search runs at a time: text asked for meanwhile is
// searched for when the running search ends.
#include <QTimer>

#include "app/KVNode.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/windows/KVDeletailWindowController.h"

namespace {

constexpr const char* kSearchNotification = "DoSearchValue";

}  // namespace

QString KVDeletailWindowController::GetSearchText(const QString& text) {
  QString key = text;
  // A non-breaking blank typed beside two blanks arrives as these three.
  const QString stray = QStringLiteral("\u00C2  ");
  while (key.contains(stray)) key.replace(stray, QStringLiteral(" "));
  if (key.startsWith(QLatin1Char(' '))) key.remove(0, 1);
  if (key.endsWith(QLatin1Char(' '))) key.chop(1);
  return key;
}

void KVDeletailWindowController::doSearchWithKey(const std::optional<QString>&) {
  // The field's text is read again: "no key" is the empty field.
  doSearch();
}

void KVDeletailWindowController::searchClearButtonClick() {
  search->setTitleWithMnemonic(QString());
  doSearch();
}

void KVDeletailWindowController::doSearch() {
  const QString text = search->textField()->text();
  if (text == QLatin1String(" ") || text == QLatin1String("  ")) return;
  const QString key = GetSearchText(text);
  if (key == KVUIController::GetSearchString()) return;
  isCreateTimeTreeRebuild = isModifyTimeTreeRebuild = 1;
  // Nothing may show rows or files of the last search while this one marks.
  stopImageLoading();
  stopGridImageLoading();
  for (KVRowArray* rows : {&allDiskArr, &allModifyTimeArr, &allCreatTimeArr, &allTypeArr}) rows->clear();
  reloadOutlines();
  clearFileList();
  // No tree row is chosen and nothing is ticked any more.
  opDataFileRoot_.reset();
  for (CustemOutlineView* outline : {outlineView, timeOutlineView}) outline->setSelectCellBackgroundColorWithRow(-1);
  ClearSelectedFilesInfo();
  // No empty-list note while the search runs.
  tableView->changeNoValue(true);
  coverFlowerTableView->changeNoValue(true);
  changeNoValue(1);
  // A search still running refuses this one; its end searches for the
  // field's text then.
  if (KVUIController::DoSearchWithString(key, QString::fromLatin1(kSearchNotification))) lastSearchStr = key;
}

void KVDeletailWindowController::SearchTreeView(const platform::Notification&) {
  if (closing_) return;
  if (refreshTimer != nullptr) {
    refreshTimer->deleteLater();
    refreshTimer = nullptr;
    viewLoadCnt = 0;
  }
  if (KVRowArray* rows = currentTreeArray()) {
    rows->clear();
    reloadOutlines();
    KVUIController::GetScanTreeNodeData(rows, 1);
  }
  (selectTypeCount == kPathTree || selectTypeCount == kTypeTree ? outlineView : timeOutlineView)->reloadData();
  KVUIController::StopSearch();
  // Text typed while this search ran.
  const QString key = GetSearchText(search->textField()->text());
  if (key != lastSearchStr && KVUIController::DoSearchWithString(key, QString::fromLatin1(kSearchNotification))) {
    lastSearchStr = key;
  }
  ExpandeRootItem();
  stopImageLoading();
  stopGridImageLoading();
  clearFileList();
  KVUIController::GetSearchResultToArr(&arrList);
  isSelectOutlineList = 1;
  if (selectSegmentCount == kGridMode) {
    viewLoadCnt = 0;
    showGridView();
  }
  reloadTables();
  flowSelectedIndex = 0;
  photos.clear();
  showCoverFlowerViewWithRefresh(1);
  if (selectSegmentCount == kCoverFlowMode) coverFlowLoadImageThread(0);
  showNoValueNote();
  // With no key every file is shown again: the first row's files are
  // listed, as they were before any search.
  if (KVUIController::GetSearchString().isEmpty()) SelectRootItem();
}
