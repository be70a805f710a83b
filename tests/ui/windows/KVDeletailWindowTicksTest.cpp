// Ticking, sorting and switching trees in the results window, over the scan
// of a made-up camera card: ticks refused while the scan runs and allowed
// once it is paused (the recovery button then comes in), the boxes of the
// list, its header and the tree rows as the user clicks them, the sort order
// and arrows, the tree tabs, and every tree made afresh after a second scan.
// What the trees hold on real images:
// KVDeletailWindowTreesLoopTest.cpp.
#include <QTest>

#include <gtest/gtest.h>

#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "UiTestSupport.h"
#include "app/KVUIController.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/windows/KVTabButton.h"
#include "ui/windows/gallery/ResultsScene.h"

namespace {

using resultsscene::Scene;
using resultstest::Browsing;
using resultstest::Choose;
using resultstest::FolderAt;
using resultstest::Names;
using resultstest::SceneWindow;
using resultstest::SubRows;

int Ticked(const KVDeletailWindowController& window) {
  int ticked = 0;
  for (IFileNode* file : window.arrList) ticked += OpNodeData::fileNodeState(file) == 2 ? 1 : 0;
  return ticked;
}

QImage Box(const char* name) { return KitImages::Named(QString::fromLatin1(name)).toImage(); }

// A click on a file's tick box in the list, where the user would click it.
void ClickFileBox(CustomTableView* table, int row) {
  ASSERT_TRUE(qttest::PumpUntil([] { return !NewButton::latched(); }));
  const QRect cell = table->visualRect(table->model()->index(row, 0));
  ASSERT_TRUE(cell.isValid());
  QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.topLeft() + QPoint(5, 15));
}

KitTableColumn* Column(CustomTableView* table, const char* id) {
  return table->tableColumnWithIdentifier(QString::fromLatin1(id));
}

// While the scan runs nothing can be ticked or sorted; paused, the first
// tick brings the recovery button in beside the progress and the summary
// below it.
TEST(ResultsWindowTicks, RefusedWhileTheScanRunsAllowedOncePaused) {
  Scene scene(1, 1);
  scene.HoldAt(40);
  SceneWindow window(scene);
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld() && !window->allDiskArr.empty(); }));
  OpNodeData* root = window->allDiskArr.front().get();
  OpNodeData* camera = FolderAt(*window, root, {QStringLiteral("DCIM"), QStringLiteral("100CANON")});
  Choose(*window, camera);
  const QStringList listed = Names(*window);
  ASSERT_EQ(listed.size(), Scene::kCameraFiles);

  window->nsbuttonCellClick(0);
  window->setAllSelectOrNoSelect();
  resultstest::TickRow(*window, window->outlineView, camera);
  window->didClickTableColumn(window->tableView, Column(window->tableView, "Size"));
  EXPECT_EQ(Ticked(*window), 0);
  EXPECT_EQ(camera->state(), 0);
  EXPECT_EQ(Names(*window), listed);
  EXPECT_EQ(window->isSorted, 0);
  EXPECT_FALSE(window->recovertyButton->isVisibleTo(window->window()));

  KVUIController::PauseOrResumeScan();
  ASSERT_TRUE(KVUIController::IsPause());
  const int boxWidth = window->subBox->width();
  ClickFileBox(window->tableView, 1);
  EXPECT_EQ(OpNodeData::fileNodeState(window->arrList[1]), 2);
  EXPECT_EQ(camera->state(), 1);
  EXPECT_EQ(window->listViewSelectAllButton->image().toImage(), Box("checkbox_election"));
  // The button slid in at the box's right, the box gave it room, and the
  // summary sits lower while the progress shares the box.
  EXPECT_TRUE(window->recovertyButton->isButtonEnabled());
  EXPECT_EQ(window->subBox->width(), boxWidth - 100);
  EXPECT_EQ(window->recovertyButton->geometry(), QRect(boxWidth - 105, 65 - 12 - 30, 100, 30));
  EXPECT_EQ(window->selectFilesLabel->geometry(), QRect(40, 65 - 35 - 18, 380, 18));
  EXPECT_FALSE(window->findFilesLabel->isVisibleTo(window->window()));
  EXPECT_TRUE(window->selectFilesLabel->text().endsWith(QStringLiteral(" in 1 files")));
  // A second tick does not move it again.
  window->nsbuttonCellClick(0);
  EXPECT_EQ(window->subBox->width(), boxWidth - 100);
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-paused-ticked"));

  KVUIController::PauseOrResumeScan();
  scene.Release();
  ASSERT_TRUE(Browsing(*window));
}

// Sorting with one direction for every column, and the tree tabs: how each
// looks, which outline shows, which row is chosen.
TEST(ResultsWindowTicks, SortingAndTabs) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  window->getData();
  ASSERT_TRUE(Browsing(*window));
  OpNodeData* root = window->allDiskArr.front().get();
  Choose(*window, FolderAt(*window, root, {QStringLiteral("DCIM"), QStringLiteral("100CANON")}));

  // The first click on any column sorts descending (here on the header,
  // where the user clicks), each further one the other way.
  CustomTableView* table = window->tableView;
  QTest::mouseClick(table->headerView()->viewport(), Qt::LeftButton, {},
                    QPoint(table->headerView()->sectionViewportPosition(2) + 20, 12));
  EXPECT_EQ(Names(*window).front(), QStringLiteral("IMG_4112.JPG"));
  EXPECT_EQ(Column(table, "Size")->indicatorImage().toImage(), Box("NSDescendingSortIndicator"));
  window->didClickTableColumn(table, Column(table, "Name"));
  EXPECT_EQ(Names(*window).front(), QStringLiteral("IMG_4101.JPG"));
  EXPECT_TRUE(Column(table, "Size")->indicatorImage().isNull());
  EXPECT_EQ(Column(table, "Name")->indicatorImage().toImage(), Box("NSAscendingSortIndicator"));

  const QColor tabBlue(174, 184, 222);
  QTest::mouseClick(window->typeButton, Qt::LeftButton);
  EXPECT_EQ(window->typeButton->imageName(), QStringLiteral("bg_tab"));
  EXPECT_EQ(window->pathButton->imageName(), QStringLiteral(" "));
  EXPECT_TRUE(window->PTOutlineViewBlowView->isVisibleTo(window->window()));
  ASSERT_EQ(window->allTypeArr.size(), 6u);
  EXPECT_EQ(window->opDataFile, window->allTypeArr[0].get());
  EXPECT_TRUE(window->arrList.empty());
  for (KVTabButton* date : {window->creatButton, window->modifyButton}) {
    KVTabButton* otherDate = date == window->creatButton ? window->modifyButton : window->creatButton;
    QTest::mouseClick(date, Qt::LeftButton);
    EXPECT_EQ(window->timeButton->imageName(), QStringLiteral("bg_tab"));
    EXPECT_EQ(otherDate->imageName(), QStringLiteral("text_bg"));
    EXPECT_EQ(date->titleColor(), QColor(Qt::white));
    EXPECT_EQ(otherDate->titleColor(), tabBlue);
    EXPECT_TRUE(window->timeOutlineBlowView->isVisibleTo(window->window()));
    EXPECT_FALSE(window->PTOutlineViewBlowView->isVisibleTo(window->window()));
    const KVRowArray& rows = date == window->creatButton ? window->allCreatTimeArr : window->allModifyTimeArr;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(window->opDataFile, rows.front().get());
    EXPECT_EQ(KVUIController::GetNodeChildrenCnt(rows.front().get()), 19u);
    EXPECT_EQ(window->timeOutlineView->isSelectRow(), 0) << "the root painted chosen";
    // A month chosen: its files listed.
    OpNodeData* year = SubRows(rows.front().get()).front();
    window->timeOutlineView->expandItem(year);
    ASSERT_TRUE(window->shouldSelectItem(window->timeOutlineView, SubRows(year).front()));
    EXPECT_FALSE(window->arrList.empty());
  }
  // The tab of the tree shown changes nothing, not even the list.
  const QStringList month = Names(*window);
  QTest::mouseClick(window->modifyButton, Qt::LeftButton);
  EXPECT_EQ(Names(*window), month);
  QTest::mouseClick(window->pathButton, Qt::LeftButton);
  EXPECT_EQ(window->opDataFile, root);
  EXPECT_TRUE(window->PTOutlineViewBlowView->isVisibleTo(window->window()));
  // Back on the path tree, no date choice stays white as if chosen.
  EXPECT_EQ(window->modifyButton->titleColor(), tabBlue);
  EXPECT_EQ(window->creatButton->titleColor(), tabBlue);
}

// A second scan of the card (as the deep scan asks for one): every tree's
// rows, the file list and the chosen row are gone by the time it is asked
// for, since it releases the nodes they hold; once it has ended, the date
// trees are made afresh and hold every file once.
TEST(ResultsWindowTicks, ScanningAgainDropsEveryTreeFirst) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  ASSERT_TRUE(window.ScanToTheEnd());
  for (KVTabButton* tab : {window->typeButton, window->creatButton, window->modifyButton, window->pathButton}) {
    QTest::mouseClick(tab, Qt::LeftButton);
  }
  Choose(*window,
         FolderAt(*window, window->allDiskArr.front().get(), {QStringLiteral("DCIM"), QStringLiteral("100CANON")}));
  for (const KVRowArray* rows :
       {&window->allDiskArr, &window->allTypeArr, &window->allCreatTimeArr, &window->allModifyTimeArr})
    ASSERT_FALSE(rows->empty());
  ASSERT_FALSE(window->arrList.empty());

  bool dropped = false;
  window->setScanStarter([&](const DiskVolumeNodeData*, const QString& name) {
    dropped = window->allDiskArr.empty() && window->allTypeArr.empty() && window->allCreatTimeArr.empty() &&
              window->allModifyTimeArr.empty() && window->arrList.empty() && window->opDataFile == nullptr;
    return scene.Start(name);
  });
  ASSERT_TRUE(window.ScanToTheEnd());
  EXPECT_TRUE(dropped) << "rows of the last scan were there when the next one was asked for";
  for (KVTabButton* date : {window->creatButton, window->modifyButton}) {
    QTest::mouseClick(date, Qt::LeftButton);
    const KVRowArray& rows = date == window->creatButton ? window->allCreatTimeArr : window->allModifyTimeArr;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(KVUIController::GetNodeChildrenCnt(rows.front().get()), 19u);
  }
}

}  // namespace
