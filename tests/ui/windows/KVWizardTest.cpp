// The wizard over machines made of device records: the category page's
// ticks, the rule that skips the disk page, the disk page's picks, clears and
// relistings, and the hand-over of the pick to the results window.
#include <gtest/gtest.h>

#include <QPointer>
#include <QScrollBar>
#include <QTest>

#include "KVWindowsTestSupport.h"
#include "QtTestSupport.h"
#include "UiTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVNode.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/KVCustomOutlineView.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/RFOverlayScrollView.h"
#include "ui/widgets/RFOverlayScroller.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TypeButton.h"
#include "ui/windows/KVRootWindowController.h"
#include "ui/windows/KVSelectDiskViewController.h"
#include "ui/windows/KVSmallWindow.h"

namespace {

using wizardtest::Disk;
using wizardtest::Machine;
using wizardtest::Volume;

constexpr uint64_t kDisk = 1000000000;
constexpr int kNTFS = 3, kFAT32 = 2, kEXFAT = 7;

struct Started {
  Started() { windowtest::Start(); }
};

// A wizard over `machine`, shown, with its hand-overs recorded.
struct Wizard {
  explicit Wizard(Machine& machine) : root(machine.Services()) {
    root.SetResultsWindowHooks(results.Hooks());
    root.showWindow();
  }
  // Start, then wait for the disk step.
  void Start() {
    QTest::mouseClick(root.selectTypeVC()->startScanButton, Qt::LeftButton);
    qttest::PumpUntil([&] { return root.whichPage() == KVRootWindowController::kDiskStep; }, 10);
  }
  KVSelectDiskViewController* page() const { return root.selectDiskVC(); }
  KitOutlineView* outline() const { return page()->outlineView; }
  QPoint RowCenter(void* item) const { return outline()->visualRect(outline()->indexForItem(item)).center(); }
  DiskVolumeNodeData* Row(size_t disk, int volume = -1) const {
    DiskVolumeNodeData* row = (*page()->allDiskArr())[disk].get();
    return volume < 0 ? row : row->childAtIndex(static_cast<size_t>(volume));
  }

  Started started;
  wizardtest::ResultsWindow results;
  KVRootWindowController root;
};

// ---- the category page ---------------------------------------------------------

TEST(CategoryPage, StartsWithAllSixTickedAndFollowsEveryTick) {
  Machine machine({});
  Wizard wizard(machine);
  KVSelectTypeViewController* page = wizard.root.selectTypeVC();
  EXPECT_EQ(wizard.root.whichPage(), KVRootWindowController::kCategoryPage);
  EXPECT_EQ(page->selectArr(), QStringList({"1", "2", "4", "8", "16", "32"}));
  EXPECT_EQ(page->allTypesImageName(), "checkbox_yes");
  EXPECT_EQ(wizard.root.selectValues(), 63u);
  EXPECT_TRUE(page->startScanButton->isButtonEnabled());
  EXPECT_FALSE(wizard.root.importButton->isVisible());

  // Music off: some ticked; on again: all.
  QTest::mouseClick(page->muiscTypeButton, Qt::LeftButton);
  EXPECT_FALSE(page->muiscTypeButton->isSelect());
  EXPECT_EQ(page->allTypesImageName(), "checkbox_election");
  EXPECT_EQ(page->selectArr().size(), 5);
  EXPECT_EQ(wizard.root.selectValues(), 61u);
  QTest::mouseClick(page->muiscTypeButton, Qt::LeftButton);
  EXPECT_EQ(page->allTypesImageName(), "checkbox_yes");
  EXPECT_EQ(wizard.root.selectValues(), 63u);

  // The box: from some to all, from all to none (Start unusable), then one.
  QTest::mouseClick(page->docTypeButton, Qt::LeftButton);
  QTest::mouseClick(page->alltypesButton, Qt::LeftButton);
  EXPECT_EQ(page->allTypesImageName(), "checkbox_yes");
  EXPECT_TRUE(page->docTypeButton->isSelect());
  QTest::mouseClick(page->alltypesButton, Qt::LeftButton);
  EXPECT_EQ(page->allTypesImageName(), "checkbox_no");
  EXPECT_TRUE(page->selectArr().isEmpty());
  EXPECT_EQ(wizard.root.selectValues(), 0u);
  EXPECT_FALSE(page->startScanButton->isButtonEnabled());
  QTest::mouseClick(page->startScanButton, Qt::LeftButton);
  qttest::PumpPending();
  EXPECT_EQ(machine.announcements, 0) << "Start with nothing ticked does nothing";

  QTest::mouseClick(page->picTypeButton, Qt::LeftButton);
  EXPECT_EQ(page->allTypesImageName(), "checkbox_election");
  EXPECT_EQ(wizard.root.selectValues(), 1u);
  EXPECT_TRUE(page->startScanButton->isButtonEnabled());
  // Unticking the last one: none again.
  QTest::mouseClick(page->picTypeButton, Qt::LeftButton);
  EXPECT_EQ(page->allTypesImageName(), "checkbox_no");
  EXPECT_FALSE(page->startScanButton->isButtonEnabled());
}

// ---- the rule ------------------------------------------------------------------

struct RuleCase {
  const char* what;
  std::vector<_DiskVolumeData> disks;
  int candidates;
  bool skip;
  const char* first;  // the first volume's name, "" for none
};

KVDeviceRows Rows(const std::vector<_DiskVolumeData>& disks) {
  KVDeviceRows rows;
  KVWizardServices::OverDevices(std::make_shared<std::vector<_DiskVolumeData>>(disks)).getDeviceInfoToArray(&rows);
  return rows;
}

TEST(DiskPageRule, OneVolumeCountsTwiceWhenItsDiskHolds100000BytesMore) {
  windowtest::Start();  // the rows' texts
  const std::vector<RuleCase> cases = {
      {"99,999 bytes outside the volume",
       {Disk("d", kDisk, 0, {Volume("v", kDisk - 99999, kNTFS, 0, 0)})},
       1,
       true,
       "v"},
      {"100,000 bytes outside", {Disk("d", kDisk, 0, {Volume("v", kDisk - 100000, kNTFS, 0, 0)})}, 2, false, "v"},
      {"a volume larger than its disk", {Disk("d", 1000, 0, {Volume("v", kDisk, kNTFS, 0, 0)})}, 1, true, "v"},
      {"an empty list", {}, 0, false, ""},
      {"a disk without volumes does not count",
       {Disk("bare", kDisk, 0), Disk("d", kDisk, 1, {Volume("v", kDisk - 512, kFAT32, 1, 0)})},
       1,
       true,
       "v"},
      {"disks without any volume: the page lets the user pick one",
       {Disk("bare", kDisk, 0), Disk("bare2", kDisk, 1)},
       0,
       false,
       ""},
      {"two volumes on two disks",
       {Disk("a", kDisk, 0, {Volume("first", kDisk, kNTFS, 0, 0)}),
        Disk("b", kDisk, 1, {Volume("second", kDisk, kFAT32, 1, 0)})},
       2,
       false,
       "first"},
  };
  for (const RuleCase& each : cases) {
    const KVDeviceRows rows = Rows(each.disks);
    const auto choice = KVRootWindowController::ChooseDiskPage(rows);
    EXPECT_EQ(choice.candidates, each.candidates) << each.what;
    EXPECT_EQ(choice.skipDiskPage, each.skip) << each.what;
    EXPECT_EQ(choice.firstVolume != nullptr ? choice.firstVolume->name() : QString(), QString(each.first)) << each.what;
  }
}

TEST(DiskPageRule, TheResultsWindowHangs50PointsBelowTheWizard) {
  const QRect wizard(100, 200, 1000, 582);
  const QRect results = KVRootWindowController::ResultsWindowFrame(wizard, QSize(1100, 700));
  EXPECT_EQ(results.left(), 100);
  EXPECT_EQ(results.bottom(), wizard.bottom() + 50);
  EXPECT_EQ(results.size(), QSize(1100, 700));
}

// ---- the hand-over -------------------------------------------------------------

TEST(Wizard, SkipsTheDiskPageAt99999BytesAndHandsTheVolumeOver) {
  Machine machine({Disk("stick", kDisk, 0, {Volume("PHOTOS", kDisk - 99999, kFAT32, 0, 0)})});
  Wizard wizard(machine);
  wizardtest::PostCounter quits(QStringLiteral("appWillTerminate"));
  QTest::mouseClick(wizard.root.selectTypeVC()->videosTypeButton, Qt::LeftButton);
  wizard.Start();
  ASSERT_EQ(wizard.results.scans.size(), 1u);
  EXPECT_EQ(wizard.results.scans[0]->name(), "PHOTOS");
  EXPECT_EQ(wizard.results.scans[0]->parentName(), "stick") << "the disk's name, for the detach check";
  EXPECT_EQ(machine.masks, std::vector<uint32_t>{63u & ~4u});
  EXPECT_EQ(wizard.page(), nullptr);
  EXPECT_FALSE(wizard.root.window()->isVisible());
  qttest::PumpPending();
  EXPECT_EQ(quits.count, 0) << "handing over does not end the application";
}

TEST(Wizard, ShowsTheDiskPageAt100000BytesWithTheVolumePicked) {
  Machine machine({Disk("stick", kDisk, 0, {Volume("PHOTOS", kDisk - 100000, kFAT32, 0, 0)})});
  Wizard wizard(machine);
  wizard.Start();
  ASSERT_NE(wizard.page(), nullptr);
  EXPECT_TRUE(wizard.results.scans.empty());
  EXPECT_TRUE(wizard.root.importButton->isVisible());
  DiskVolumeNodeData* volume = wizard.Row(0, 0);
  EXPECT_EQ(wizard.page()->selectDiskVolume(), volume);
  EXPECT_EQ(wizard.root.selectVolumeData(), volume);
  EXPECT_EQ(wizard.outline()->isSelectRow(), 1);
  EXPECT_TRUE(wizard.page()->scanButton->isButtonEnabled());
  // The texts of the rows: decimal sizes and file-system names.
  KitTableColumn* size = wizard.outline()->tableColumnWithIdentifier("Size");
  KitTableColumn* fileSystem = wizard.outline()->tableColumnWithIdentifier("FileSystem");
  EXPECT_EQ(wizard.page()->objectValueForTableColumn(wizard.outline(), size, volume).toString(), "999.90 MB");
  EXPECT_EQ(wizard.page()->objectValueForTableColumn(wizard.outline(), fileSystem, volume).toString(), "FAT32");
  EXPECT_EQ(wizard.page()->objectValueForTableColumn(wizard.outline(), fileSystem, wizard.Row(0)).toString(), "Disk");

  // The picked row is painted in the selection blue.
  const QPoint at = wizard.outline()->viewport()->mapTo(wizard.root.window(), wizard.RowCenter(volume));
  EXPECT_TRUE(uitest::Near(uitest::ColorAt(wizard.root.window(), 300, at.y()), KitColors::kSelectedRow))
      << qPrintable(uitest::SaveArtifact(uitest::Grab(wizard.root.window()), "wizard-disk-page"));

  QTest::mouseClick(wizard.page()->scanButton, Qt::LeftButton);
  ASSERT_EQ(wizard.results.scans.size(), 1u);
  EXPECT_EQ(wizard.results.scans[0].get(), volume);
  EXPECT_EQ(wizard.results.scans[0]->parentName(), "stick");
  EXPECT_EQ(wizard.results.frames[0], wizard.root.window()->frameGeometry());
  EXPECT_EQ(machine.masks, std::vector<uint32_t>{63});
  EXPECT_FALSE(wizard.page()->isFollowingMedia()) << "media changes no longer relist a page left behind";
}

TEST(Wizard, PicksClearsAndDoubleClicks) {
  Machine machine(
      {Disk("WDC", kDisk, 0, {Volume("System", kDisk / 2, kNTFS, 0, 0), Volume("Data", kDisk / 2, kEXFAT, 0, 1)}),
       Disk("bare", kDisk, 1)});
  Wizard wizard(machine);
  wizard.Start();
  ASSERT_NE(wizard.page(), nullptr);
  KitOutlineView* outline = wizard.outline();
  EXPECT_EQ(outline->numberOfRows(), 4);

  // A disk without volumes is picked like a volume; its parent is itself.
  DiskVolumeNodeData* bare = wizard.Row(1);
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, wizard.RowCenter(bare));
  EXPECT_EQ(wizard.root.selectVolumeData(), bare);
  EXPECT_EQ(bare->parentName(), "bare");
  EXPECT_EQ(outline->isSelectRow(), 3);

  // Empty space clears the pick: Continue unusable, the wizard keeps its
  // own, and a double-click there starts nothing.
  const QPoint below(200, outline->viewport()->height() - 5);
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, below);
  EXPECT_EQ(wizard.page()->selectDiskVolume(), nullptr);
  EXPECT_FALSE(wizard.page()->scanButton->isButtonEnabled());
  EXPECT_EQ(outline->isSelectRow(), -1);
  EXPECT_EQ(wizard.root.selectVolumeData(), bare);
  QTest::mouseDClick(outline->viewport(), Qt::LeftButton, {}, below);
  QTest::mouseClick(wizard.page()->scanButton, Qt::LeftButton);
  EXPECT_TRUE(wizard.results.scans.empty());

  // Closing the disk above moves the rows; the highlight stays on the pick.
  DiskVolumeNodeData* data = wizard.Row(0, 1);
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, wizard.RowCenter(data));
  EXPECT_EQ(outline->isSelectRow(), 2);
  outline->collapseItem(wizard.Row(0));
  EXPECT_EQ(outline->isSelectRow(), -1) << "the pick is inside the closed disk";
  outline->expandItem(wizard.Row(0));
  EXPECT_EQ(outline->isSelectRow(), 2);

  // A double-click on a header starts nothing; on a row it scans the row.
  QTest::mouseDClick(outline->headerView()->viewport(), Qt::LeftButton, {}, QPoint(20, 8));
  EXPECT_TRUE(wizard.results.scans.empty());
  QTest::mouseDClick(outline->viewport(), Qt::LeftButton, {}, wizard.RowCenter(data));
  ASSERT_EQ(wizard.results.scans.size(), 1u);
  EXPECT_EQ(wizard.results.scans[0]->name(), "Data");
  EXPECT_EQ(wizard.results.scans[0]->parentName(), "WDC");
}

TEST(Wizard, MediaChangesRelistThePageAndKeepThePick) {
  Machine machine(
      {Disk("WDC", kDisk, 0, {Volume("System", kDisk / 2, kNTFS, 0, 0), Volume("Data", kDisk / 2, kEXFAT, 0, 1)})});
  Wizard wizard(machine);
  wizard.Start();
  KitOutlineView* outline = wizard.outline();
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, wizard.RowCenter(wizard.Row(0, 1)));
  auto& center = platform::NotificationCenter::DefaultCenter();

  // A stick comes in before the disk: the pick is found again among the new rows.
  machine.Set(
      {Disk("stick", kDisk / 4, 0, {Volume("CARD", kDisk / 4, kFAT32, 0, 0)}),
       Disk("WDC", kDisk, 1, {Volume("System", kDisk / 2, kNTFS, 1, 0), Volume("Data", kDisk / 2, kEXFAT, 1, 1)})});
  center.Post(QStringLiteral("RefreshAttachDevice"));
  EXPECT_EQ(machine.refreshes, 1);
  EXPECT_EQ(outline->numberOfRows(), 5);
  EXPECT_EQ(wizard.page()->selectDiskVolume(), wizard.Row(1, 1));
  EXPECT_EQ(wizard.root.selectVolumeData(), wizard.Row(1, 1));
  EXPECT_EQ(outline->isSelectRow(), 4);
  EXPECT_TRUE(wizard.page()->scanButton->isButtonEnabled());

  // The picked disk goes: the first volume is picked.
  machine.Set({Disk("stick", kDisk / 4, 0, {Volume("CARD", kDisk / 4, kFAT32, 0, 0)})});
  center.Post(QStringLiteral("RefreshDetachDevice"), QVariantMap{{"USBPath", "WDC"}});
  EXPECT_EQ(outline->numberOfRows(), 2);
  EXPECT_EQ(wizard.root.selectVolumeData(), wizard.Row(0, 0));
  EXPECT_EQ(outline->isSelectRow(), 1);

  // Continue hands over the row of the current listing.
  QTest::mouseClick(wizard.page()->scanButton, Qt::LeftButton);
  ASSERT_EQ(wizard.results.scans.size(), 1u);
  EXPECT_EQ(wizard.results.scans[0]->name(), "CARD");
  center.Post(QStringLiteral("RefreshAttachDevice"));
  EXPECT_EQ(machine.refreshes, 2) << "no relisting after the hand-over";
}

// Images attached as loop devices are listed under their file's name: two
// copies of one image look alike but for their device path.
_DiskVolumeData Image(const char* path, int index) {
  _DiskVolumeData disk =
      Disk("disk.img", kDisk, index,
           {Volume("NO NAME", kDisk / 4, kFAT32, index, 0), Volume("DATA", kDisk / 2, kNTFS, index, 1)});
  disk.description = path;
  disk.isDmg = 1;
  return disk;
}

// Enough disks that the list scrolls, the two copies at its end.
std::vector<_DiskVolumeData> ScrollingMachine(const std::vector<const char*>& images) {
  std::vector<_DiskVolumeData> disks;
  for (const char* path : images) disks.push_back(Image(path, static_cast<int>(disks.size())));
  static const char* const names[] = {"sda", "sdb", "sdc", "sdd", "sde", "sdf", "sdg", "sdh", "sdi", "sdj"};
  for (const char* name : names)
    disks.push_back(Disk(name, kDisk, static_cast<int>(disks.size()),
                         {Volume(name, kDisk, kNTFS, static_cast<int>(disks.size()), 0)}));
  return disks;
}

TEST(Wizard, ADeviceAttachedElsewhereLeavesThePickOnItsDeviceWhereTheUserSawIt) {
  // In the device list's order: by name, loop10 before loop12 before loop13.
  Machine machine(ScrollingMachine({"/dev/loop12", "/dev/loop13"}));
  Wizard wizard(machine);
  wizard.Start();
  KitOutlineView* outline = wizard.outline();
  KVSelectDiskViewController* page = wizard.page();
  const auto pathOfPick = [&] {
    for (const auto& disk : *page->allDiskArr()) {
      for (size_t k = 0; k < disk->numberOfChildren(); ++k) {
        if (disk->childAtIndex(k) == page->selectDiskVolume())
          return (disk->devicePath() + "/" + QString::number(k)).toStdString();
      }
    }
    return std::string();
  };

  // The list is longer than the page: the kit's scrollers over the dark
  // rows, never a horizontal one (the columns fit), and the header of the
  // last column named like the others.
  EXPECT_EQ(outline->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(outline->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  ASSERT_NE(page->scrollView, nullptr);
  EXPECT_TRUE(page->scrollView->verticalScroller()->isVisible());
  EXPECT_FALSE(page->scrollView->horizontalScroller()->isVisible());
  EXPECT_EQ(outline->tableColumnWithIdentifier("select")->headerCell()->stringValue(),
            outline->tableColumnWithIdentifier("FileSystem")->headerCell()->stringValue());
  EXPECT_FALSE(outline->tableColumnWithIdentifier("select")->headerCell()->stringValue().isEmpty());

  // The user scrolls to the second copy and picks its NTFS volume.
  DiskVolumeNodeData* second = wizard.Row(1, 1);
  outline->scrollTo(outline->indexForItem(second), QAbstractItemView::PositionAtCenter);
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, wizard.RowCenter(second));
  ASSERT_EQ(pathOfPick(), "/dev/loop13/1");
  const int seenAt = outline->visualRect(outline->indexForItem(second)).top();
  const int scrolled = outline->verticalScrollBar()->value();
  ASSERT_GT(scrolled, 0);
  uitest::SaveArtifact(uitest::Grab(wizard.root.window()), "wizard-disk-page-scrolled");

  // A third copy is attached elsewhere, as loop10: it is listed first, and
  // each copy moves down one disk, the first to where the pick was.
  machine.Set(ScrollingMachine({"/dev/loop10", "/dev/loop12", "/dev/loop13"}));
  platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("RefreshAttachDevice"));
  EXPECT_EQ(pathOfPick(), "/dev/loop13/1");
  EXPECT_EQ(wizard.root.selectVolumeData(), page->selectDiskVolume());
  EXPECT_EQ(outline->isSelectRow(), outline->rowForItem(page->selectDiskVolume()));
  EXPECT_EQ(outline->visualRect(outline->indexForItem(page->selectDiskVolume())).top(), seenAt)
      << "the pick stays where the user saw it";
  uitest::SaveArtifact(uitest::Grab(wizard.root.window()), "wizard-disk-page-relisted");

  // Its device goes for a moment: the first volume stands in, and the
  // user's pick comes back with the device.
  machine.Set(ScrollingMachine({"/dev/loop10", "/dev/loop12"}));
  platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("RefreshDetachDevice"));
  EXPECT_EQ(page->selectDiskVolume(), wizard.Row(0, 0));
  machine.Set(ScrollingMachine({"/dev/loop10", "/dev/loop12", "/dev/loop13"}));
  platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("RefreshAttachDevice"));
  EXPECT_EQ(pathOfPick(), "/dev/loop13/1");

  // Continue hands over the picked copy's volume, by its place in the
  // listing the scan reads.
  QTest::mouseClick(page->scanButton, Qt::LeftButton);
  ASSERT_EQ(wizard.results.scans.size(), 1u);
  EXPECT_EQ(wizard.results.scans[0]->diskIndex(), 2);
  EXPECT_EQ(wizard.results.scans[0]->volumeIndex(), 1);
}

TEST(Wizard, BackThenStartAsksForTheDevicesAgainWithAFreshPage) {
  Machine machine({Disk("a", kDisk, 0, {Volume("one", kDisk, kNTFS, 0, 0)}),
                   Disk("b", kDisk, 1, {Volume("two", kDisk, kNTFS, 1, 0)})});
  Wizard wizard(machine);
  wizard.Start();
  const KVSelectDiskViewController* first = wizard.page();
  QPointer<QWidget> firstView = first->view();
  EXPECT_FALSE(wizard.root.selectTypeVC()->view()->isVisible());
  QTest::mouseClick(first->backButton, Qt::LeftButton);
  EXPECT_EQ(wizard.root.whichPage(), KVRootWindowController::kCategoryPage);
  EXPECT_TRUE(wizard.root.selectTypeVC()->view()->isVisible());
  EXPECT_EQ(wizard.root.selectTypeVC()->view()->pos(), QPoint(0, 0));
  EXPECT_FALSE(wizard.root.importButton->isVisible());
  QTest::mouseClick(wizard.root.selectTypeVC()->picTypeButton, Qt::LeftButton);
  wizard.Start();
  EXPECT_EQ(machine.announcements, 2);
  EXPECT_EQ(machine.listings, 2);
  qttest::PumpUntil([&] { return firstView.isNull(); }, 5);
  EXPECT_TRUE(firstView.isNull()) << "the old page went";
  EXPECT_TRUE(wizard.page()->view()->isVisible());
  EXPECT_EQ(machine.masks, (std::vector<uint32_t>{63, 62}));
}

TEST(Wizard, AnEmptyMachineShowsThePageWithNothingToContinueWith) {
  Machine machine({});
  Wizard wizard(machine);
  wizard.Start();
  ASSERT_NE(wizard.page(), nullptr);
  EXPECT_EQ(wizard.outline()->numberOfRows(), 0);
  EXPECT_FALSE(wizard.page()->scanButton->isButtonEnabled());
  wizard.page()->doScanAction();
  wizard.root.selectTypesContinouButtonClick();
  EXPECT_TRUE(wizard.results.scans.empty());
}

TEST(Wizard, ItsCloseButtonEndsTheApplicationOnce) {
  Machine machine({});
  Wizard wizard(machine);
  wizardtest::PostCounter quits(QStringLiteral("appWillTerminate"));
  // Escape leaves the main window open.
  QTest::keyClick(wizard.root.window(), Qt::Key_Escape);
  qttest::PumpPending();
  EXPECT_TRUE(wizard.root.window()->isVisible());
  wizard.root.closeWindow();
  wizard.root.closeWindow();
  qttest::PumpUntil([&] { return !wizard.root.window()->isVisible(); }, 5);
  qttest::PumpPending();
  EXPECT_EQ(quits.count, 1);
}

TEST(Wizard, ASecondAnnouncementOfTheDeviceListIsIgnored) {
  Machine machine({Disk("a", kDisk, 0, {Volume("one", kDisk, kNTFS, 0, 0)}),
                   Disk("b", kDisk, 1, {Volume("two", kDisk, kNTFS, 1, 0)})});
  Wizard wizard(machine);
  wizard.Start();
  const KVSelectDiskViewController* page = wizard.page();
  platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("aInitFinished"));
  EXPECT_EQ(wizard.page(), page);
  EXPECT_EQ(machine.listings, 1);
}

}  // namespace
