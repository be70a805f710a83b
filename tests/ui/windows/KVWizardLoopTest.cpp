// The wizard on the machine itself, over FAT images of the fixture script
// attached read-only as loop devices: the disk page lists them as the kernel
// and The Sleuth Kit see them, follows a device attached and detached while
// it shows, and hands the picked volume over to a scan of that volume; the
// scan's result, saved, comes back through the wizard's import; a copy of
// the picked image attached meanwhile leaves the scan on the copy picked.
// The machine has disks of its own: only our devices are looked at.
#include <gtest/gtest.h>

#include <QTest>

#include <algorithm>
#include <fstream>
#include <list>
#include <memory>

#include "KVWindowsTestSupport.h"
#include "QtTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVNode.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "app/KVUSBNotifier.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/fat/FatFixtures.h"
#include "ui/widgets/KVCustomOutlineView.h"
#include "ui/widgets/TCImageButton.h"

namespace {

using wizardtest::DiskIndexOf;
namespace fs = std::filesystem;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

// The page's disk row named `name`: our images have names of their own.
DiskVolumeNodeData* RowNamed(const KVSelectDiskViewController* page, const std::string& name) {
  if (!page->allDiskArr()) return nullptr;
  for (const auto& disk : *page->allDiskArr()) {
    if (disk->name() == QString::fromStdString(name)) return disk.get();
  }
  return nullptr;
}

// "File System Type: FAT16" of a peer's fsstat output.
QString FsstatType(const fs::path& file) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    const std::string key = "File System Type: ";
    if (line.rfind(key, 0) == 0) return QString::fromStdString(line.substr(key.size())).trimmed();
  }
  return {};
}

QString Column(KVSelectDiskViewController* page, const char* identifier, DiskVolumeNodeData* row) {
  KitOutlineView* outline = page->outlineView;
  return page->objectValueForTableColumn(outline, outline->tableColumnWithIdentifier(identifier), row).toString();
}

// A copy of a fixture image under a name no other test uses (other tests
// attach the fixture's own files meanwhile).
fs::path Copy(const fs::path& image, const testsupport::TempDir& dir, const std::string& name) {
  const fs::path copy = dir / ("wizard-" + std::to_string(getpid()) + "-" + name);
  RunCommandOrFail("cp --sparse=always " + ShellQuote(image.string()) + " " + ShellQuote(copy.string()));
  return copy;
}

TEST(WizardOnLoopDevices, ACopyAttachedBetweenThePickAndContinueLeavesTheScanOnThePickedCopy) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const std::string why = fatfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  windowtest::Start();
  testsupport::TempDir dir;
  // Three copies of one image under one file name: the page lists them
  // alike but for their device.
  const std::string name = "twin-" + std::to_string(getpid()) + ".img";
  std::vector<fs::path> copies;
  for (const char* sub : {"a", "b", "c"}) {
    fs::create_directories(dir / sub);
    copies.push_back(dir / sub / name);
    RunCommandOrFail("cp --sparse=always " + ShellQuote((fatfixtures::Dir() / "f16.img").string()) + " " +
                     ShellQuote(copies.back().string()));
  }
  devicetest::ImageGuard guard(copies[1]);
  // The first two after a free node that the third takes later, so that
  // the third is listed before them and moves both down one disk.
  std::vector<std::string> nodes = devicetest::FreeLoopNodes();
  REQUIRE_OR_SKIP(nodes.size() >= 3, "needs three free loop devices");
  const std::string first = nodes.front();
  nodes.erase(nodes.begin());
  KVUSBNotifier watcher;
  watcher.registerForUSBNotifications();
  devicetest::LoopDevice a(copies[0], nodes, false, true);
  ASSERT_TRUE(a.attached());
  nodes.erase(std::find(nodes.begin(), nodes.end(), a.name()));
  devicetest::LoopDevice b(copies[1], nodes, false, true);
  ASSERT_TRUE(b.attached());

  KVWizardServices services = KVWizardServices::Default();
  services.isAppRunning = [] { return false; };
  wizardtest::ResultsWindow results;
  KVRootWindowController root(services);
  KVResultsWindowHooks hooks = results.Hooks();
  hooks.openForScan = [&](std::shared_ptr<DiskVolumeNodeData> row, const QRect& frame) {
    EXPECT_TRUE(KVUIController::DoScanWithData(row.get(), QStringLiteral("NormalScranValue")));
    results.scans.push_back(std::move(row));
    results.frames.push_back(frame);
  };
  root.SetResultsWindowHooks(hooks);
  root.showWindow();
  QTest::mouseClick(root.selectTypeVC()->startScanButton, Qt::LeftButton);
  ASSERT_TRUE(qttest::PumpUntil([&] { return root.selectDiskVC() != nullptr; }, 60));
  KVSelectDiskViewController* page = root.selectDiskVC();
  const auto rowOn = [&](const std::string& path) -> DiskVolumeNodeData* {
    for (const auto& disk : *page->allDiskArr()) {
      if (disk->devicePath() == QString::fromStdString(path) && disk->numberOfChildren() == 1)
        return disk->childAtIndex(0);
    }
    return nullptr;
  };
  ASSERT_TRUE(qttest::PumpUntil([&] { return rowOn(a.path()) != nullptr && rowOn(b.path()) != nullptr; }, 30));

  // The user picks the later copy's volume.
  KitOutlineView* outline = page->outlineView;
  DiskVolumeNodeData* picked = rowOn(b.path());
  outline->scrollTo(outline->indexForItem(picked));
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {},
                    outline->visualRect(outline->indexForItem(picked)).center());
  ASSERT_EQ(root.selectVolumeData(), picked);

  // The third copy comes, on a node listed before both.
  std::vector<std::string> before;
  for (const std::string& node : devicetest::FreeLoopNodes()) {
    if (node < a.name()) before.push_back(node);
  }
  if (std::find(before.begin(), before.end(), first) != before.end()) {
    before.erase(std::find(before.begin(), before.end(), first));
    before.insert(before.begin(), first);
  }
  devicetest::LoopDevice c(copies[2], before, false, true);
  REQUIRE_OR_SKIP(c.attached(), "no free loop device listed before " + a.name());
  ASSERT_TRUE(qttest::PumpUntil([&] { return rowOn(c.path()) != nullptr; }, 30)) << "relisted on attach";
  ASSERT_LT(DiskIndexOf(c.path()), DiskIndexOf(a.path()));
  EXPECT_EQ(root.selectVolumeData(), rowOn(b.path()));
  EXPECT_EQ(outline->isSelectRow(), outline->rowForItem(rowOn(b.path())));

  // Continue: the copy picked is the one scanned.
  QTest::mouseClick(page->scanButton, Qt::LeftButton);
  ASSERT_EQ(results.scans.size(), 1u);
  ASSERT_TRUE(qttest::PumpUntil([] { return !KVUIController::IsScanRunning(); }, 120));
  int scannedDisk = -1, scannedVolume = -1;
  ASSERT_TRUE(KVUIDeviceData::instance().GetDiskVolumeIndexByStorage(KVUIController::Scan().GetSavedStorage(),
                                                                     scannedDisk, scannedVolume));
  EXPECT_EQ(scannedDisk, DiskIndexOf(b.path()));
  EXPECT_EQ(scannedVolume, 0);
}

TEST(WizardOnLoopDevices, ListsAttachedImagesFollowsThemAndScansThePick) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const std::string why = fatfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  windowtest::Start();
  testsupport::TempDir dir;
  const fs::path diskImage = Copy(fatfixtures::Dir() / "disk.img", dir, "disk.img");
  const fs::path cardImage = Copy(fatfixtures::Dir() / "f16.img", dir, "card.img");
  const std::string diskName = diskImage.filename().string(), cardName = cardImage.filename().string();
  devicetest::ImageGuard diskGuard(diskImage), cardGuard(cardImage);

  KVUSBNotifier watcher;
  watcher.registerForUSBNotifications();
  devicetest::LoopDevice disk(diskImage, 0, true, true);
  ASSERT_TRUE(disk.attached());
  disk.Announce();  // the kernel may leave the table of a read-only device unread
  ASSERT_EQ(devicetest::Blockdev(disk.path()).sizeBytes, 104857600u);
  ASSERT_EQ(devicetest::Blockdev(disk.Partition(1)).sizeBytes, 33554432u);
  ASSERT_EQ(devicetest::Blockdev(disk.Partition(2)).sizeBytes, 67108864u);

  KVWizardServices services = KVWizardServices::Default();
  services.isAppRunning = [] { return false; };  // the program may run beside the tests
  wizardtest::ResultsWindow results;
  KVRootWindowController root(services);
  KVResultsWindowHooks hooks = results.Hooks();
  bool scanStarted = false;
  hooks.openForScan = [&](std::shared_ptr<DiskVolumeNodeData> row, const QRect& frame) {
    scanStarted = KVUIController::DoScanWithData(row.get(), QStringLiteral("NormalScranValue"));
    results.scans.push_back(std::move(row));
    results.frames.push_back(frame);
  };
  root.SetResultsWindowHooks(hooks);
  root.showWindow();
  QTest::mouseClick(root.selectTypeVC()->startScanButton, Qt::LeftButton);
  ASSERT_TRUE(qttest::PumpUntil([&] { return root.selectDiskVC() != nullptr; }, 60)) << "our two volumes show the page";
  KVSelectDiskViewController* page = root.selectDiskVC();

  // Our disk, as an attached image with its two volumes.
  DiskVolumeNodeData* ours = RowNamed(page, diskName);
  ASSERT_NE(ours, nullptr);
  EXPECT_EQ(ours->diskIndex(), DiskIndexOf(disk.path()));
  EXPECT_EQ(KVSelectDiskViewController::IconName(*ours), "mirror_image");
  EXPECT_EQ(Column(page, "Size", ours), "104.86 MB");
  EXPECT_EQ(Column(page, "FileSystem", ours), "Disk Image");
  ASSERT_EQ(ours->numberOfChildren(), 2u);
  const fs::path peers = fatfixtures::Dir() / "disk.img";
  EXPECT_EQ(Column(page, "Size", ours->childAtIndex(0)), "33.55 MB");
  EXPECT_EQ(Column(page, "Size", ours->childAtIndex(1)), "67.11 MB");
  EXPECT_EQ(Column(page, "FileSystem", ours->childAtIndex(0)), FsstatType(peers.string() + ".p1.fsstat.txt"));
  EXPECT_EQ(Column(page, "FileSystem", ours->childAtIndex(1)), FsstatType(peers.string() + ".p2.fsstat.txt"));
  // The first volume of the listing is the pick, painted and reported.
  const auto rule = KVRootWindowController::ChooseDiskPage(*page->allDiskArr());
  EXPECT_EQ(page->selectDiskVolume(), rule.firstVolume);
  EXPECT_EQ(root.selectVolumeData(), rule.firstVolume);
  EXPECT_EQ(page->outlineView->isSelectRow(), page->outlineView->rowForItem(rule.firstVolume));

  // Pick our FAT32 volume.
  KitOutlineView* outline = page->outlineView;
  outline->scrollTo(outline->indexForItem(ours->childAtIndex(1)));
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {},
                    outline->visualRect(outline->indexForItem(ours->childAtIndex(1))).center());
  ASSERT_EQ(root.selectVolumeData(), ours->childAtIndex(1));

  // A bare FAT16 image comes while the page shows.
  auto card = std::make_unique<devicetest::LoopDevice>(cardImage, 0, false, true);
  ASSERT_TRUE(card->attached());
  ASSERT_TRUE(qttest::PumpUntil([&] { return RowNamed(page, cardName) != nullptr; }, 30)) << "relisted on attach";
  DiskVolumeNodeData* bare = RowNamed(page, cardName);
  ASSERT_EQ(bare->numberOfChildren(), 1u);
  EXPECT_EQ(Column(page, "FileSystem", bare->childAtIndex(0)), FsstatType(fatfixtures::Dir() / "f16.img.fsstat.txt"));
  EXPECT_EQ(Column(page, "Size", bare->childAtIndex(0)), "33.55 MB");
  // The pick is our FAT32 volume still, in the new listing.
  ours = RowNamed(page, diskName);
  ASSERT_NE(ours, nullptr);
  EXPECT_EQ(root.selectVolumeData(), ours->childAtIndex(1));

  // And goes. The kernel lets a loop device go only once nobody holds it
  // open: the device list holds no medium it only lists, so the detach
  // completes and is seen.
  card.reset();
  ASSERT_TRUE(qttest::PumpUntil(
      [&] { return page->allDiskArr() && RowNamed(page, cardName) == nullptr && RowNamed(page, diskName) != nullptr; },
      30))
      << "relisted on detach";
  ours = RowNamed(page, diskName);
  EXPECT_EQ(root.selectVolumeData(), ours->childAtIndex(1));

  // Continue: the results window gets the volume, which scans as itself.
  QTest::mouseClick(page->scanButton, Qt::LeftButton);
  ASSERT_EQ(results.scans.size(), 1u);
  EXPECT_EQ(results.scans[0]->parentName(), QString::fromStdString(diskName));
  EXPECT_TRUE(scanStarted);
  ASSERT_TRUE(qttest::PumpUntil([] { return !KVUIController::IsScanRunning(); }, 120));
  uint64_t size = 0, files = 0;
  KVUIController::GetScanFileSize(&size, &files);
  EXPECT_GT(files, 0u);
  int scannedDisk = -1, scannedVolume = -1;
  ASSERT_TRUE(KVUIDeviceData::instance().GetDiskVolumeIndexByStorage(KVUIController::Scan().GetSavedStorage(),
                                                                     scannedDisk, scannedVolume));
  EXPECT_EQ(scannedDisk, DiskIndexOf(disk.path()));
  EXPECT_EQ(scannedVolume, 1);

  // The result saved, then loaded through a new wizard's import.
  const fs::path saved = dir / "fat32.rsf";
  wizardtest::PostCounter finishes(QStringLiteral("QueryProgressFinish"));
  ASSERT_TRUE(KVUIController::beginSaveOrRestoreNode(1, QString::fromStdString(saved.string())));
  ASSERT_TRUE(qttest::PumpUntil([&] { return finishes.count == 1; }, 60));
  uint64_t total = 0, current = 0, error = 1;
  KVUIController::GetSaveorRestoreProgress(&total, &current, &error, 1);
  ASSERT_EQ(error, 0u);

  wizardtest::ResultsWindow loaded;
  wizardtest::PostCounter shows(QStringLiteral("ShowDetailWindow"));
  KVRootWindowController again(services);
  again.SetResultsWindowHooks(loaded.Hooks());
  again.SetImportFileChooser([&](const QString&) { return QString::fromStdString(saved.string()); });
  again.showWindow();
  QTest::mouseClick(again.selectTypeVC()->startScanButton, Qt::LeftButton);
  ASSERT_TRUE(qttest::PumpUntil([&] { return again.selectDiskVC() != nullptr; }, 60));
  again.window()->activateWindow();
  qttest::PumpUntil([&] { return again.window()->isActiveWindow(); }, 5);
  wizardtest::AlertAnswerer alerts(1);
  QTest::mouseClick(again.importButton, Qt::LeftButton);
  EXPECT_TRUE(alerts.texts.isEmpty()) << alerts.texts.join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(loaded.imports, QStringList{QString::fromStdString(saved.string())});
  EXPECT_EQ(shows.count, 1);
  EXPECT_GE(loaded.shows, 1);
  EXPECT_EQ(loaded.discards, 0);
  EXPECT_FALSE(again.window()->isVisible());
  uint64_t loadedSize = 0, loadedFiles = 0;
  KVUIController::GetScanFileSize(&loadedSize, &loadedFiles);
  EXPECT_EQ(loadedFiles, files);
  EXPECT_EQ(loadedSize, size);
}

}  // namespace
