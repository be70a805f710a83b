// The results window scanning a loop device attached read-only to the FAT16
// image of tests/fixtures/fat (made by mkfs.fat and mtools; its expectation
// file written from the originals and The Sleuth Kit's listing): the quick
// scan runs, the first root ends up chosen and open, and clicking through
// every folder lists exactly the files, sizes and deleted marks the tools
// put on the image; the result saved and loaded back lists the same. The
// image is unchanged afterwards.
#include <QPointer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <list>
#include <map>
#include <set>

#include "FatFixtures.h"
#include "FileNode.h"
#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "QuickScanProbe.h"
#include "UiTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "engine/device/DeviceTestSupport.h"
#include "ui/widgets/CustomTableView.h"

namespace {

namespace fs = std::filesystem;
using resultstest::Browsing;
using resultstest::Choose;
using resultstest::ClickThrough;
using resultstest::Listed;

// Clicking through the whole path tree lists every entry of the image once,
// with its kind, size and deleted mark, and nothing else.
void ExpectListing(KVDeletailWindowController& window, const std::vector<conformance::Expected>& expected) {
  ASSERT_EQ(window.allDiskArr.size(), 1u);
  std::multimap<std::string, Listed> shown;
  // Without the tree builder's folder for what never reached the root.
  ClickThrough(window, window.allDiskArr.front().get(), "", shown, quickprobe::kLostFolder);
  for (const conformance::Expected& e : expected) {
    ASSERT_EQ(shown.count(e.path), 1u) << "not listed once: " << e.path;
    const Listed& listed = shown.find(e.path)->second;
    EXPECT_EQ(listed.folder, e.folder) << e.path;
    EXPECT_EQ(listed.deleted, e.deleted) << e.path;
    if (!e.folder && e.size >= 0) {
      EXPECT_EQ(listed.size, e.size) << e.path;
    }
  }
  std::set<std::string> paths;
  for (const conformance::Expected& e : expected) paths.insert(e.path);
  for (const auto& [path, listed] : shown) EXPECT_EQ(paths.count(path), 1u) << "not on the image: " << path;
}

// Whether the save (1) or load (0) ended well, waiting for it.
bool SaveOrLoadEnded(int save) {
  uint64_t total = 0, current = 0, error = 0;
  const bool ended = qttest::PumpUntil([&] {
    KVUIController::GetSaveorRestoreProgress(&total, &current, &error, save);
    return total > 0 && current >= total;
  });
  return ended && error == 0;
}

TEST(ResultsWindowOnFat, ListsWhatTheToolsPutOnTheImage) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const std::string why = fatfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  resultstest::StartForScans();
  const fs::path image = fatfixtures::Dir() / "f16.img";
  const std::vector<conformance::Expected> expected = conformance::ReadExpectations(image.string() + ".expect.tsv");
  ASSERT_GT(expected.size(), 200u);
  devicetest::ImageGuard unchanged(image);
  {
    devicetest::LoopDevice loop(image, 0, false, true);
    ASSERT_TRUE(loop.attached());
    KVUIScan scan;
    KVUIController::UseScan(&scan);
    QPointer<KVDeletailWindowController> window = resultstest::OpenOnDevice(loop.path());
    ASSERT_NE(window, nullptr) << loop.path() << " is not in the device list";
    // The disk the window watches is the loop device, named by its image.
    EXPECT_EQ(window->selectDiskVolumeDataRow()->parentName(), QStringLiteral("f16.img"));
    ASSERT_TRUE(Browsing(*window));
    qttest::PumpUntil([] { return false; }, 1);  // the scan's last news
    uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-fat16"));

    // At the end the first root is chosen and open.
    ASSERT_EQ(window->allDiskArr.size(), 1u);
    OpNodeData* root = window->allDiskArr.front().get();
    EXPECT_EQ(window->opDataFile, root);
    EXPECT_EQ(window->outlineView->selectedItem(), root);
    EXPECT_TRUE(window->outlineView->isItemExpanded(root));

    ExpectListing(*window, expected);

    // A folder holding only a folder has no files to list: the note shows.
    Choose(*window, resultstest::FolderAt(*window, root, {QStringLiteral("Parent")}));
    EXPECT_TRUE(window->arrList.empty());
    ASSERT_NE(window->tableView->noValueView(), nullptr);
    EXPECT_TRUE(window->tableView->noValueView()->isVisibleTo(window->tableView));
    delete window.data();

    // The result saved and loaded again: a window on the loaded result lists
    // the same.
    testsupport::TempDir dir;
    const QString saved = QString::fromStdString((dir / "f16.rsf").string());
    ASSERT_TRUE(KVUIController::beginSaveOrRestoreNode(1, saved));
    ASSERT_TRUE(SaveOrLoadEnded(1));
    ASSERT_TRUE(KVUIController::beginSaveOrRestoreNode(0, saved));
    window = KVDeletailWindowController::OpenForImport(saved);
    ASSERT_TRUE(SaveOrLoadEnded(0));
    ASSERT_TRUE(Browsing(*window));
    ASSERT_TRUE(qttest::PumpUntil([&] { return window->opDataFile != nullptr; }));
    EXPECT_EQ(window->exportButton, nullptr);
    ExpectListing(*window, expected);
    delete window.data();
    KVUIController::UseScan(nullptr);
  }
}

}  // namespace
