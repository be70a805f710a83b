// Ticking, sorting and switching trees in the results window, over the scan
// of a made-up camera card: ticks refused while the scan runs and allowed
// once it is paused (the recovery button then comes in), the boxes of the
// lists, their headers and the tree rows as the user clicks them, the sort
// order and arrows, the four tree tabs and the ticks every tree shows.
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
using resultstest::SubRows;

struct TicksWindow {
  explicit TicksWindow(Scene& scene) {
    windowtest::Start();
    controller = new KVDeletailWindowController;
    controller->setScanStarter([&scene](const DiskVolumeNodeData*, const QString& name) { return scene.Start(name); });
    controller->showWindow();
  }
  ~TicksWindow() { delete controller.data(); }
  KVDeletailWindowController* operator->() const { return controller; }
  KVDeletailWindowController& operator*() const { return *controller; }
  QPointer<KVDeletailWindowController> controller;
};

QStringList Names(const KVDeletailWindowController& window) {
  QStringList names;
  for (IFileNode* file : window.arrList) names << OpNodeData::fileNodeName(file);
  return names;
}

int Ticked(const KVDeletailWindowController& window) {
  int ticked = 0;
  for (IFileNode* file : window.arrList) ticked += OpNodeData::fileNodeState(file) == 2 ? 1 : 0;
  return ticked;
}

QImage Box(const char* name) { return KitImages::Named(QString::fromLatin1(name)).toImage(); }

OpNodeData* SubRow(OpNodeData* row, const QString& name) {
  for (OpNodeData* sub : SubRows(row)) {
    if (sub->name() == name) return sub;
  }
  return nullptr;
}

// A click on the row's tick box in `outline`, or on a file's box in the
// list, where the user would click it.
void ClickTreeBox(KitOutlineView* outline, OpNodeData* row) {
  ASSERT_TRUE(qttest::PumpUntil([] { return !NewButton::latched(); }));
  const QRect cell = outline->visualRect(outline->indexForItem(row));
  ASSERT_TRUE(cell.isValid());
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, cell.topLeft() + QPoint(5, 15));
}

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
  TicksWindow window(scene);
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld() && !window->allDiskArr.empty(); }));
  OpNodeData* root = window->allDiskArr.front().get();
  OpNodeData* camera = FolderAt(*window, root, {QStringLiteral("DCIM"), QStringLiteral("100CANON")});
  Choose(*window, camera);
  const QStringList listed = Names(*window);
  ASSERT_EQ(listed.size(), Scene::kCameraFiles);

  window->nsbuttonCellClick(0);
  window->setAllSelectOrNoSelect();
  ClickTreeBox(window->outlineView, camera);
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
  // summary sits lower and to the left while the progress shares the box.
  EXPECT_TRUE(window->recovertyButton->isVisibleTo(window->window()));
  EXPECT_TRUE(window->recovertyButton->isButtonEnabled());
  EXPECT_EQ(window->subBox->width(), boxWidth - 100);
  EXPECT_EQ(window->recovertyButton->geometry(), QRect(boxWidth - 105, 65 - 12 - 30, 100, 30));
  EXPECT_EQ(window->selectFilesLabel->geometry(), QRect(40, 65 - 35 - 18, 380, 18));
  EXPECT_EQ(window->selectFilesLabel->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
  EXPECT_TRUE(window->selectFilesLabel->isVisibleTo(window->window()));
  EXPECT_FALSE(window->findFilesLabel->isVisibleTo(window->window()));
  EXPECT_EQ(window->selectedFileSize, OpNodeData(window->arrList[1]).size());
  EXPECT_TRUE(window->selectFilesLabel->text().endsWith(QStringLiteral(" in 1 files")));
  // A second tick does not move it again.
  window->nsbuttonCellClick(0);
  EXPECT_EQ(window->subBox->width(), boxWidth - 100);
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-paused-ticked"));

  KVUIController::PauseOrResumeScan();
  scene.Release();
  ASSERT_TRUE(Browsing(*window));
}

// The list's boxes tick one file, the header box every listed file (or none
// once all are), and the folders above show how much of them is ticked; a
// tree row's box ticks a partly ticked row whole and a ticked one not at all.
TEST(ResultsWindowTicks, ListBoxesHeaderBoxesAndTreeRows) {
  Scene scene(1, 0);
  TicksWindow window(scene);
  window->getData();
  ASSERT_TRUE(Browsing(*window));
  OpNodeData* root = window->allDiskArr.front().get();
  OpNodeData* dcim = FolderAt(*window, root, {QStringLiteral("DCIM")});
  OpNodeData* camera = FolderAt(*window, dcim, {QStringLiteral("100CANON")});
  Choose(*window, camera);
  EXPECT_EQ(window->listViewSelectAllButton->image().toImage(), Box("checkbox_no"));
  EXPECT_FALSE(window->recovertyButton->isButtonEnabled());

  ClickFileBox(window->tableView, 0);
  EXPECT_EQ(Ticked(*window), 1);
  EXPECT_EQ(camera->state(), 1);
  EXPECT_EQ(dcim->state(), 1);
  EXPECT_EQ(root->state(), 1);
  EXPECT_EQ(window->selectedFileCnt, 1);
  EXPECT_TRUE(window->recovertyButton->isButtonEnabled());
  // The box a file shows: ticked or not, never partly.
  KitTableColumn* boxes = Column(window->tableView, "CheckBox");
  auto* box = static_cast<NewButton*>(boxes->dataCell());
  window->willDisplayCell(window->tableView, box, boxes, 0);
  EXPECT_EQ(box->opNodeData().toInt(), 0);

  QTest::mouseClick(window->listViewSelectAllButton, Qt::LeftButton);
  EXPECT_EQ(Ticked(*window), Scene::kCameraFiles);
  EXPECT_EQ(camera->state(), 2);
  EXPECT_EQ(dcim->state(), 2);
  EXPECT_EQ(window->listViewSelectAllButton->image().toImage(), Box("checkbox_yes"));
  EXPECT_EQ(window->coverViewSelectAllButton->image().toImage(), Box("checkbox_yes"));
  // Twelve files of 2100000 + 137000 k bytes.
  EXPECT_EQ(window->selectedFileSize, 12u * 2100000u + 137000u * 78u);
  EXPECT_EQ(window->selectFilesLabel->text(), QStringLiteral("Selected 35.89 MB in 12 files"));
  window->nsbuttonCellClick(3);
  EXPECT_EQ(window->listViewSelectAllButton->image().toImage(), Box("checkbox_election"));
  window->nsbuttonCellClick(3);
  window->setAllSelectOrNoSelect();
  EXPECT_EQ(Ticked(*window), 0);
  EXPECT_EQ(root->state(), 0);
  EXPECT_EQ(window->listViewSelectAllButton->image().toImage(), Box("checkbox_no"));
  EXPECT_FALSE(window->recovertyButton->isButtonEnabled());
  // Rows beyond the list tick nothing.
  window->nsbuttonCellClick(Scene::kCameraFiles);
  window->nsbuttonCellClick(-1);
  EXPECT_EQ(window->selectedFileCnt, 0);

  // A tree row: partly ticked becomes ticked, ticked becomes unticked.
  window->nsbuttonCellClick(0);
  ASSERT_EQ(dcim->state(), 1);
  ClickTreeBox(window->outlineView, dcim);
  EXPECT_EQ(dcim->state(), 2);
  EXPECT_EQ(Ticked(*window), Scene::kCameraFiles);
  EXPECT_EQ(window->opDataFile, camera) << "a tick chooses no row";
  ClickTreeBox(window->outlineView, dcim);
  EXPECT_EQ(dcim->state(), 0);
  EXPECT_EQ(Ticked(*window), 0);
  ClickTreeBox(window->outlineView, root);
  EXPECT_EQ(window->selectedFileCnt, 19);  // every file of the card
  EXPECT_EQ(window->listViewSelectAllButton->image().toImage(), Box("checkbox_yes"));
  window->ClearSelectedFilesInfo();
  EXPECT_EQ(window->opDataFile, nullptr);
  EXPECT_EQ(root->state(), 0);
  EXPECT_EQ(window->selectFilesLabel->text(), QStringLiteral("Selected 0 byte in 0 files"));
}

// One direction for every column: the first click sorts descending, each
// further one the other way; the arrow shows on the column sorted last.
TEST(ResultsWindowTicks, SortingByColumns) {
  Scene scene(1, 0);
  TicksWindow window(scene);
  window->getData();
  ASSERT_TRUE(Browsing(*window));
  OpNodeData* root = window->allDiskArr.front().get();
  Choose(*window, FolderAt(*window, root, {QStringLiteral("DCIM"), QStringLiteral("100CANON")}));
  const auto sizes = [&] {
    std::vector<uint64_t> sizes;
    for (IFileNode* file : window->arrList) sizes.push_back(OpNodeData(file).size());
    return sizes;
  };
  CustomTableView* table = window->tableView;
  // A click on the header, where the user would click.
  QTest::mouseClick(table->headerView()->viewport(), Qt::LeftButton, {},
                    QPoint(table->headerView()->sectionViewportPosition(2) + 20, 12));
  auto sorted = sizes();
  EXPECT_TRUE(std::is_sorted(sorted.rbegin(), sorted.rend()));
  EXPECT_EQ(Names(*window).front(), QStringLiteral("IMG_4112.JPG"));
  EXPECT_EQ(Column(table, "Size")->indicatorImage().toImage(), KitImages::Named("NSDescendingSortIndicator").toImage());
  EXPECT_EQ(window->isSorted, 1);

  window->didClickTableColumn(table, Column(table, "Name"));
  EXPECT_EQ(Names(*window).front(), QStringLiteral("IMG_4101.JPG"));
  EXPECT_TRUE(Column(table, "Size")->indicatorImage().isNull());
  EXPECT_EQ(Column(table, "Name")->indicatorImage().toImage(), KitImages::Named("NSAscendingSortIndicator").toImage());
  window->didClickTableColumn(table, Column(table, "Path"));
  EXPECT_EQ(Names(*window).front(), QStringLiteral("IMG_4112.JPG"));
  window->didClickTableColumn(table, Column(table, "Created"));
  EXPECT_EQ(Names(*window).front(), QStringLiteral("IMG_4101.JPG"));
  // The tick column sorts nothing but turns the direction.
  const QStringList before = Names(*window);
  window->didClickTableColumn(table, Column(table, "CheckBox"));
  EXPECT_EQ(Names(*window), before);
  EXPECT_EQ(window->isSorted, 1);
  // Choosing a row lists it unsorted, and the next sort is descending again.
  Choose(*window, root);
  EXPECT_EQ(window->isSorted, 0);
  EXPECT_TRUE(Column(table, "CheckBox")->indicatorImage().isNull());
}

// The tabs switch trees: how each looks, which outline shows, which row is
// chosen; a tab of the tree already shown does nothing; a tick in one tree
// shows in the others.
TEST(ResultsWindowTicks, TheFourTreesShareTheirTicks) {
  Scene scene(1, 0);
  TicksWindow window(scene);
  window->getData();
  ASSERT_TRUE(Browsing(*window));
  const QColor tabBlue(174, 184, 222);

  QTest::mouseClick(window->typeButton, Qt::LeftButton);
  EXPECT_EQ(window->selectTypeCount, KVDeletailWindowController::kTypeTree);
  EXPECT_EQ(window->typeButton->imageName(), QStringLiteral("bg_tab"));
  EXPECT_EQ(window->pathButton->imageName(), QStringLiteral(" "));
  EXPECT_TRUE(window->PTOutlineViewBlowView->isVisibleTo(window->window()));
  EXPECT_FALSE(window->timeOutlineBlowView->isVisibleTo(window->window()));
  ASSERT_EQ(window->allTypeArr.size(), 6u);
  OpNodeData* pictures = window->allTypeArr[0].get();
  EXPECT_EQ(window->opDataFile, pictures);
  EXPECT_TRUE(window->outlineView->isItemExpanded(pictures));
  EXPECT_TRUE(window->arrList.empty());
  OpNodeData* jpg = SubRow(pictures, QStringLiteral("jpg"));
  ASSERT_NE(jpg, nullptr);
  EXPECT_EQ(KVUIController::GetNodeChildrenCnt(pictures), 14u);
  KitTableColumn* name = window->outlineView->tableColumnWithIdentifier(QStringLiteral("Name"));
  auto* cell = static_cast<NewButton*>(name->dataCell());
  window->willDisplayCell(window->outlineView, cell, name, pictures);
  EXPECT_EQ(cell->label(), QStringLiteral("Pictures(14)"));
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-tree-type"));

  // Every jpg file ticked through its extension row.
  ClickTreeBox(window->outlineView, jpg);
  EXPECT_EQ(jpg->state(), 2);
  EXPECT_EQ(pictures->state(), 2);
  EXPECT_EQ(window->selectedFileCnt, 14);
  Choose(*window, jpg);
  EXPECT_EQ(Ticked(*window), 14);
  EXPECT_EQ(window->listViewSelectAllButton->image().toImage(), Box("checkbox_yes"));
  window->nsbuttonCellClick(0);
  EXPECT_EQ(jpg->state(), 1);
  EXPECT_EQ(pictures->state(), 1);
  window->nsbuttonCellClick(0);

  // The path tree shows them: the camera folder whole, the root in part.
  QTest::mouseClick(window->pathButton, Qt::LeftButton);
  EXPECT_EQ(window->pathButton->imageName(), QStringLiteral("bg_tab"));
  EXPECT_EQ(window->typeButton->imageName(), QStringLiteral(" "));
  OpNodeData* root = window->allDiskArr.front().get();
  EXPECT_EQ(window->opDataFile, root);
  EXPECT_EQ(FolderAt(*window, root, {QStringLiteral("DCIM"), QStringLiteral("100CANON")})->state(), 2);
  EXPECT_EQ(FolderAt(*window, root, {QStringLiteral("Old trip")})->state(), 2);
  EXPECT_EQ(FolderAt(*window, root, {QStringLiteral("Documents")})->state(), 0);
  EXPECT_EQ(root->state(), 1);
  // A document ticked here shows in the type tree's rows when it comes back.
  Choose(*window, FolderAt(*window, root, {QStringLiteral("Documents")}));
  window->nsbuttonCellClick(0);  // Notes.txt

  QTest::mouseClick(window->creatButton, Qt::LeftButton);
  EXPECT_EQ(window->selectTypeCount, KVDeletailWindowController::kCreationTree);
  EXPECT_EQ(window->timeButton->imageName(), QStringLiteral("bg_tab"));
  EXPECT_EQ(window->modifyButton->imageName(), QStringLiteral("text_bg"));
  EXPECT_EQ(window->creatButton->imageName(), QStringLiteral(" "));
  EXPECT_EQ(window->creatButton->titleColor(), QColor(Qt::white));
  EXPECT_EQ(window->modifyButton->titleColor(), tabBlue);
  EXPECT_TRUE(window->timeOutlineBlowView->isVisibleTo(window->window()));
  EXPECT_FALSE(window->PTOutlineViewBlowView->isVisibleTo(window->window()));
  ASSERT_EQ(window->allCreatTimeArr.size(), 1u);
  OpNodeData* created = window->allCreatTimeArr.front().get();
  EXPECT_EQ(window->opDataFile, created);
  EXPECT_EQ(KVUIController::GetNodeChildrenCnt(created), 19u);
  // Every month row shows how much of it is ticked.
  int months = 0;
  for (OpNodeData* year : SubRows(created)) {
    for (OpNodeData* month : SubRows(year)) {
      ++months;
      int ticked = 0;
      for (auto& child : month->children()) ticked += OpNodeData::fileNodeState(std::get<IFileNode*>(child)) == 2;
      const int files = static_cast<int>(month->children().size());
      EXPECT_EQ(month->state(), ticked == 0 ? 0 : ticked == files ? 2 : 1);
    }
  }
  EXPECT_GT(months, 3);
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-tree-created"));

  // A month row ticks its files; its list shows them ticked.
  OpNodeData* year = SubRows(created).front();
  OpNodeData* month = SubRows(year).front();
  window->timeOutlineView->expandItem(year);
  Choose(*window, month);
  ASSERT_FALSE(window->arrList.empty());
  if (month->state() == 2) ClickTreeBox(window->timeOutlineView, month);
  ClickTreeBox(window->timeOutlineView, month);
  EXPECT_EQ(month->state(), 2);
  EXPECT_EQ(Ticked(*window), static_cast<int>(window->arrList.size()));

  QTest::mouseClick(window->modifyButton, Qt::LeftButton);
  EXPECT_EQ(window->selectTypeCount, KVDeletailWindowController::kModificationTree);
  EXPECT_EQ(window->creatButton->imageName(), QStringLiteral("text_bg"));
  EXPECT_EQ(window->modifyButton->titleColor(), QColor(Qt::white));
  EXPECT_EQ(window->creatButton->titleColor(), tabBlue);
  EXPECT_TRUE(window->timeOutlineBlowView->isVisibleTo(window->window()));
  ASSERT_EQ(window->allModifyTimeArr.size(), 1u);
  EXPECT_EQ(window->opDataFile, window->allModifyTimeArr.front().get());
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-tree-modified"));
  // The tab of the tree shown changes nothing, not even the list.
  OpNodeData* modifiedMonth = SubRows(SubRows(window->allModifyTimeArr.front().get()).front()).front();
  window->timeOutlineView->expandItem(SubRows(window->allModifyTimeArr.front().get()).front());
  Choose(*window, modifiedMonth);
  const QStringList shown = Names(*window);
  QTest::mouseClick(window->modifyButton, Qt::LeftButton);
  EXPECT_EQ(window->opDataFile, modifiedMonth);
  EXPECT_EQ(Names(*window), shown);

  // Back in the type tree, its rows count the ticks given elsewhere.
  window->typeButtonClick();
  OpNodeData* documents = window->allTypeArr[4].get();
  EXPECT_NE(SubRow(documents, QStringLiteral("txt"))->state(), 0);
  for (const auto& category : window->allTypeArr) {
    for (OpNodeData* ext : SubRows(category.get())) {
      int ticked = 0;
      for (auto& child : ext->children()) ticked += OpNodeData::fileNodeState(std::get<IFileNode*>(child)) == 2;
      const int files = static_cast<int>(ext->children().size());
      EXPECT_EQ(ext->state(), ticked == 0 ? 0 : ticked == files ? 2 : 1) << ext->name().toStdString();
    }
  }
}

}  // namespace
