// The results window's deep scan on loop devices attached read-only to the
// 128 MiB disk of tests/fixtures/results (an MBR disk whose FAT32 volume
// mkfs.fat made and mtools filled, some files deleted; its expectation file
// written from the originals and The Sleuth Kit's listing of the volume):
// with the partition table wiped, the quick scan finds nothing and the deep
// scan finds the volume and lists its files; the result exported and
// imported through the wizard shows the same; and pause, ticks, resume and
// stop behave on the deep scan as they do on any. The images are unchanged
// afterwards.
#include <QPointer>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>

#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "UiTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVNode.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/windows/KVRootWindowController.h"

namespace {

namespace fs = std::filesystem;
using resultstest::Browsing;
using resultstest::Choose;
using resultstest::ClickThrough;
using resultstest::Listed;
using wizardtest::DiskIndexOf;

fs::path Dir() {
  if (const char* dir = std::getenv("CLIPMENDER_RESULTS_FIXTURES"); dir && *dir) return dir;
  return CLIPMENDER_RESULTS_FIXTURE_DIR;
}

std::string Ready() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/results/make-results-images.sh", Dir());
}

void Click(TCImageButton* button) { QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(4, 4)); }

using Listing = std::multimap<std::string, Listed>;

// What the path tree lists, root by root.
std::map<std::string, Listing> ListAll(KVDeletailWindowController& window) {
  std::map<std::string, Listing> roots;
  for (const auto& root : window.allDiskArr) {
    Listing& listing = roots[root->name().toStdString()];
    ClickThrough(window, root.get(), "", listing);
  }
  return roots;
}

// The type tree's categories and how many files each holds.
std::map<QString, uint64_t> Categories() {
  KVRowArray rows;
  KVUIController::SetViewType(KVDeletailWindowController::kTypeTree);
  KVUIController::GetScanTreeNodeData(&rows, 0);
  std::map<QString, uint64_t> counts;
  for (const auto& row : rows) counts[row->name()] = KVUIController::GetNodeChildrenCnt(row.get());
  KVUIController::SetViewType(KVDeletailWindowController::kPathTree);
  return counts;
}

// The machine's device list with our loop devices on it; the disk row of
// the device at `path`.
std::unique_ptr<DiskVolumeNodeData> DiskRow(const std::string& path) {
  KVUIController::RefreshDeviceInfo();
  const int disk = DiskIndexOf(path);
  std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
  KVUIController::GetDeviceInfoToArray(&rows);
  for (auto& row : rows) {
    if (row->diskIndex() == disk) return std::move(row);
  }
  return nullptr;
}

class DeepScanOnLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
    const std::string why = Ready();
    REQUIRE_OR_SKIP(why.empty(), why);
    resultstest::StartForScans();
    KVUIController::UseScan(&scan_);
  }
  void TearDown() override {
    KVUIController::UseScan(nullptr);
    // The lists that knew the devices let them go.
    KVUIController::RefreshDeviceInfo();
    KVUIController::RefreshDeviceInfo();
  }

  KVUIScan scan_;
};

// Every expected entry is listed once at its path under the root, with its
// kind, deleted mark and size.
void ExpectVolume(const Listing& listing, const std::vector<conformance::Expected>& expected) {
  for (const conformance::Expected& e : expected) {
    ASSERT_EQ(listing.count(e.path), 1u) << "not listed once: " << e.path;
    const Listed& listed = listing.find(e.path)->second;
    EXPECT_EQ(listed.folder, e.folder) << e.path;
    EXPECT_EQ(listed.deleted, e.deleted) << e.path;
    if (!e.folder) {
      EXPECT_EQ(listed.size, e.size) << e.path;
    }
  }
}

// The root of the volume the deep scan found: the one that lists the
// volume's folders (the carved files have roots of their own).
const Listing* VolumeRoot(const std::map<std::string, Listing>& roots) {
  for (const auto& [name, listing] : roots) {
    if (listing.count("Photos/Summer 2023") != 0) return &listing;
  }
  return nullptr;
}

// The wizard of the program, over two made-up disks (so that its disk page
// shows and offers the import) and the application core for the rest.
struct ImportingWizard {
  ImportingWizard()
      : machine({wizardtest::Disk("one", 1 << 30, 0, {wizardtest::Volume("A", 1 << 29, 2, 0, 0)}),
                 wizardtest::Disk("two", 1 << 30, 1, {wizardtest::Volume("B", 1 << 29, 2, 1, 0)})}) {
    KVWizardServices services = KVWizardServices::Default();
    const KVWizardServices listing = machine.Services();
    services.isAppRunning = [] { return false; };
    services.notifyDeviceInfoAfterInit = listing.notifyDeviceInfoAfterInit;
    services.getDeviceInfoToArray = listing.getDeviceInfoToArray;
    root = std::make_unique<KVRootWindowController>(services);
    KVResultsWindowHooks hooks;
    hooks.openForImport = [this](const QString& path, const QRect&) {
      imported = KVDeletailWindowController::OpenForImport(path, {}, false);
    };
    hooks.showImported = [this] {
      if (imported) imported->showWindow();
    };
    hooks.discardImport = [this] { delete imported.data(); };
    root->SetResultsWindowHooks(hooks);
  }
  ~ImportingWizard() { delete imported.data(); }

  // Imports `file`; the chooser must open where the last save went.
  bool Import(const QString& file) {
    root->SetImportFileChooser([file](const QString& start) {
      EXPECT_EQ(start, file);
      return file;
    });
    root->showWindow();
    QTest::mouseClick(root->selectTypeVC()->startScanButton, Qt::LeftButton);
    if (!qttest::PumpUntil([&] { return root->selectDiskVC() != nullptr; }, 30)) return false;
    QTest::mouseClick(root->importButton, Qt::LeftButton);
    return imported && Browsing(*imported) && qttest::PumpUntil([&] { return imported->opDataFile != nullptr; }, 10);
  }

  wizardtest::Machine machine;
  std::unique_ptr<KVRootWindowController> root;
  QPointer<KVDeletailWindowController> imported;
};

// The partition table wiped: the quick scan of the disk finds nothing, the
// deep scan finds the volume with every entry the peers list on the intact
// copy, deleted ones included. Exported, then imported through the wizard,
// the result shows the same roots, listings and category counts.
TEST_F(DeepScanOnLoop, FindsTheVolumeOfAWipedDiskAndExportsIt) {
  const fs::path image = Dir() / "disk-wiped.img";
  const std::vector<conformance::Expected> expected = conformance::ReadExpectations(Dir() / "volume.img.expect.tsv");
  ASSERT_EQ(expected.size(), 19u);
  devicetest::ImageGuard unchanged(image);
  devicetest::LoopDevice loop(image, 0, false, true);
  ASSERT_TRUE(loop.attached());
  std::unique_ptr<DiskVolumeNodeData> disk = DiskRow(loop.path());
  ASSERT_NE(disk, nullptr);
  QPointer<KVDeletailWindowController> window = KVDeletailWindowController::OpenForScan(*disk);
  ASSERT_TRUE(Browsing(*window));
  EXPECT_TRUE(window->allDiskArr.empty());
  ASSERT_TRUE(window->continueButton->isVisibleTo(window->window()));

  Click(window->continueButton);
  ASSERT_TRUE(qttest::PumpUntil([&] { return KVUIController::IsScanRunning(); }, 10));
  ASSERT_TRUE(Browsing(*window, 300));
  qttest::PumpUntil([] { return false; }, 1);  // the scan's last news
  EXPECT_TRUE(KVUIController::IsDeepScan());
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-deep-scan-wiped-disk"));
  const std::map<std::string, Listing> roots = ListAll(*window);
  const Listing* volume = VolumeRoot(roots);
  ASSERT_NE(volume, nullptr) << "the volume was not found";
  ExpectVolume(*volume, expected);
  for (const auto& [path, listed] : *volume) {
    EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [&](const auto& e) { return e.path == path; }))
        << "not on the volume: " << path;
  }
  const std::map<QString, uint64_t> categories = Categories();
  EXPECT_GT(categories.at(QStringLiteral("Pictures")), 0u);

  testsupport::TempDir dir;
  const QString file = QString::fromStdString((dir / "wiped disk").string());
  window->setExportFileChooser([&](const QString&, const QString&) { return file; });
  wizardtest::AlertAnswerer alerts(1);
  Click(window->exportButton);
  EXPECT_TRUE(alerts.texts.isEmpty()) << alerts.texts.join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(window->bSave, 1);
  EXPECT_EQ(KVUIController::GetSavePath(), file + ".rsf");
  // The file alone, under its own name: nothing else is left in the folder.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"wiped disk.rsf"});
  delete window.data();

  ImportingWizard wizard;
  ASSERT_TRUE(wizard.Import(file + ".rsf"));
  EXPECT_TRUE(alerts.texts.isEmpty()) << alerts.texts.join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(wizard.imported->exportButton, nullptr);
  EXPECT_EQ(ListAll(*wizard.imported), roots);
  EXPECT_EQ(Categories(), categories);
}

// On a deep scan of the intact disk: the quick scan's ticks go when the
// deep scan starts; a pause holds the scan where it is (nothing found yet is
// listed before its trees are built), with play, search and the view switch
// offered; ticks are not counted while it runs; resume goes on; a stop lists
// what was found up to it.
TEST_F(DeepScanOnLoop, PauseResumeAndStop) {
  const fs::path image = Dir() / "disk.img";
  const std::vector<conformance::Expected> expected = conformance::ReadExpectations(Dir() / "volume.img.expect.tsv");
  devicetest::ImageGuard unchanged(image);
  devicetest::LoopDevice loop(image, 0, true, true);
  ASSERT_TRUE(loop.attached());
  loop.Announce();
  QPointer<KVDeletailWindowController> window = resultstest::OpenOnDevice(loop.path());
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Browsing(*window));
  qttest::PumpUntil([] { return false; }, 1);
  ASSERT_EQ(window->allDiskArr.size(), 1u);
  Choose(*window, resultstest::FolderAt(*window, window->allDiskArr.front().get(), {QStringLiteral("Documents")}));
  ASSERT_FALSE(window->arrList.empty());
  window->nsbuttonCellClick(0);
  EXPECT_TRUE(window->selectFilesLabel->text().endsWith(QStringLiteral(" in 1 files")));

  Click(window->continueButton);
  ASSERT_TRUE(qttest::PumpUntil([&] { return KVUIController::IsScanRunning(); }, 10));
  // As early as the window allows: before the scan has read its first block.
  window->pauseButtonClick();
  EXPECT_TRUE(KVUIController::IsPause());
  EXPECT_EQ(window->selectedFileCnt, 0);
  EXPECT_TRUE(window->continueScanButton->isVisibleTo(window->window()));
  EXPECT_TRUE(window->search->textField()->isEnabled());
  EXPECT_TRUE(window->segment->isEnabled());
  // The scan holds at its first look at the pause.
  qttest::PumpUntil([] { return false; }, 1);
  double before = 0, after = 0;
  uint64_t foundBefore = 0, foundAfter = 0;
  KVUIController::GetScanProgress(&before, &foundBefore);
  qttest::PumpUntil([] { return false; }, 1);
  KVUIController::GetScanProgress(&after, &foundAfter);
  EXPECT_TRUE(KVUIController::IsScanRunning());
  EXPECT_EQ(after, before);
  EXPECT_EQ(foundAfter, foundBefore);
  EXPECT_LT(after, 78.0);
  window->showSelectFilesCountAndSize();
  EXPECT_TRUE(window->selectFilesLabel->text().endsWith(QStringLiteral(" in 0 files")));

  window->pauseButtonClick();
  EXPECT_FALSE(KVUIController::IsPause());
  EXPECT_FALSE(window->segment->isEnabled());
  EXPECT_FALSE(window->search->textField()->isEnabled());
  // Once the scan has read on, a stop: it pauses and asks, and Yes stops.
  qttest::PumpUntil([] {
    double percent = 0;
    KVUIController::GetScanProgress(&percent, nullptr);
    return percent > 0 || !KVUIController::IsScanRunning();
  });
  window->stopButtonClick();
  ASSERT_TRUE(resultstest::Answer(*window, 1));
  double stoppedAt = 0;
  KVUIController::GetScanProgress(&stoppedAt, nullptr);
  ASSERT_TRUE(Browsing(*window, 300));
  qttest::PumpUntil([] { return false; }, 1);
  // The volume lies in the first block the scan read: its files stay.
  const std::map<std::string, Listing> roots = ListAll(*window);
  const Listing* volume = VolumeRoot(roots);
  ASSERT_NE(volume, nullptr) << "stopped at " << stoppedAt << " %";
  ExpectVolume(*volume, expected);
  EXPECT_FALSE(window->continueButton->isVisibleTo(window->window()));
  delete window.data();
}

}  // namespace
