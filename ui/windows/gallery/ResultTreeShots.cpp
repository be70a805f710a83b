#include "ui/windows/gallery/ResultTreeShots.h"

#include <QApplication>
#include <QDeadlineTimer>

#include "app/KVNode.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/gallery/ResultsScene.h"

namespace {

bool Settle(const std::function<bool()>& done) {
  QDeadlineTimer deadline(20000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  // The layouts of panes just shown.
  QApplication::processEvents();
  return true;
}

// The first row below `row` named `name` (any name when empty).
OpNodeData* RowBelow(OpNodeData* row, const QString& name = {}) {
  if (row == nullptr) return nullptr;
  for (auto& child : row->children()) {
    auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child);
    if (sub != nullptr && (*sub)->isDirect() && (name.isEmpty() || (*sub)->name() == name)) return sub->get();
  }
  return nullptr;
}

// Opens every row of `outline` down to the month rows of a date tree.
void OpenYears(KitOutlineView* outline, const KVRowArray& roots) {
  for (const auto& root : roots) {
    for (auto& child : root->children()) {
      if (auto* year = std::get_if<std::unique_ptr<OpNodeData>>(&child)) outline->expandItem(year->get());
    }
  }
}

}  // namespace

bool ShootResultTrees(const std::function<bool(QWidget* window, const QString& file)>& shoot) {
  resultsscene::Scene scene(1, 1);
  auto* results = new KVDeletailWindowController;
  results->setScanStarter([&scene](const DiskVolumeNodeData*, const QString& name) { return scene.Start(name); });
  results->showWindow();
  results->getData();
  bool ok = Settle([&] { return !KVUIController::IsScanRunning() && results->recovertyButton->isVisible(); });
  results->popupViewHidden();

  // The path tree: the camera folder chosen, two of its pictures ticked.
  OpNodeData* root = results->allDiskArr.empty() ? nullptr : results->allDiskArr.front().get();
  OpNodeData* dcim = RowBelow(root, QStringLiteral("DCIM"));
  OpNodeData* camera = RowBelow(dcim);
  if (camera != nullptr) {
    results->outlineView->expandItem(dcim);
    results->shouldSelectItem(results->outlineView, camera);
    results->nsbuttonCellClick(0);
    results->nsbuttonCellClick(2);
  }
  ok = ok && camera != nullptr && Settle([] { return true; }) &&
       shoot(results->window(), QStringLiteral("results-tree-path.png"));

  // The type tree: every jpg ticked, the extension chosen.
  results->typeButtonClick();
  OpNodeData* pictures = results->allTypeArr.empty() ? nullptr : results->allTypeArr.front().get();
  OpNodeData* jpg = RowBelow(pictures);
  if (jpg != nullptr) {
    jpg->setNodeState(2);
    results->shouldSelectItem(results->outlineView, jpg);
  }
  ok = ok && jpg != nullptr && Settle([] { return true; }) &&
       shoot(results->window(), QStringLiteral("results-tree-type.png"));

  // The date trees with their years open, a month chosen.
  const struct {
    void (KVDeletailWindowController::*open)();
    const KVRowArray* rows;
    const char* file;
  } dates[] = {
      {&KVDeletailWindowController::timeButtonClick, &results->allCreatTimeArr, "results-tree-created.png"},
      {&KVDeletailWindowController::modifyTimeButtonClick, &results->allModifyTimeArr, "results-tree-modified.png"},
  };
  for (const auto& date : dates) {
    (results->*date.open)();
    OpenYears(results->timeOutlineView, *date.rows);
    OpNodeData* year = date.rows->empty() ? nullptr : RowBelow(date.rows->front().get());
    OpNodeData* month = RowBelow(year);
    if (month != nullptr) results->shouldSelectItem(results->timeOutlineView, month);
    ok = ok && month != nullptr && Settle([] { return true; }) &&
         shoot(results->window(), QString::fromLatin1(date.file));
  }
  results->ClearSelectedFilesInfo();
  delete results;
  return ok;
}
