// The results window scanning a loop device attached read-only to the FAT16
// image of tests/fixtures/fat (made by mkfs.fat and mtools; its expectation
// file written from the originals and The Sleuth Kit's listing): the quick
// scan runs, the first root ends up chosen and open, and clicking through
// every folder lists exactly the files, sizes and deleted marks the tools
// put on the image; the result saved and loaded back lists the same, holds
// the device open until the user goes home and then no more, and saved as
// a build before volume identities would have saved it, loads with the
// warning that its volume cannot be verified. On
// the FAT32 image whose root's first cluster holds random bytes, the window
// lists what the rest of the root leads to, as the tools do, copies it out
// identical and says in a sheet that the volume is damaged, offering the
// deep scan; with the root zeroed whole, nothing is listed, the sheet says
// the volume could not be read, and its Deep Scan button finds the files. A
// result loaded on its volume written to since the scan says in a sheet how
// many files lost their clusters: twenty times out of twenty loaded as the
// application loads it (the window hidden until the load has ended well),
// the sheet inside the window, above everything else of it, and no other
// window in the way.
// The images are unchanged afterwards.
#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "DataRecovery.h"
#include "FatFixtures.h"
#include "FileNode.h"
#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "QuickScanProbe.h"
#include "ScanResultFiles.h"
#include "UiTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "app/ScanResultChecks.h"
#include "engine/device/DeviceTestSupport.h"
#include "platform/Localized.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/windows/KVProgressWindow.h"

namespace {

namespace fs = std::filesystem;
using resultstest::Browsing;
using resultstest::Choose;
using resultstest::ClickThrough;
using resultstest::Listed;
using resultstest::SheetTexts;

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

// Every file below `row` by its path from the root, as ClickThrough finds it.
void FilesBelow(KVDeletailWindowController& window, OpNodeData* row, const std::string& path,
                std::map<std::string, IFileNode*>& files, int depth = 0) {
  ASSERT_LT(depth, 64);
  Choose(window, row);
  for (IFileNode* file : window.arrList) {
    const std::string name = OpNodeData::fileNodeName(file).toStdString();
    files[path.empty() ? name : path + "/" + name] = file;
  }
  for (int k = 0; k < window.getNodeDataIsLeaf(row); ++k) {
    OpNodeData* folder = window.folderChildAt(row, k);
    const std::string name = folder->name().toStdString();
    if (depth == 0 && name == quickprobe::kLostFolder) continue;
    FilesBelow(window, folder, path.empty() ? name : path + "/" + name, files, depth + 1);
  }
}

// Whether a descriptor of this process is open on `device` or one of its
// partitions.
bool OpenHere(const std::string& device) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = fs::read_symlink(entry.path(), error).string();
    if (!error && (target == device || target.rfind(device + "p", 0) == 0)) return true;
  }
  return false;
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

// A results window that scanned the disk at `devicePath` to the end; null
// when the device list does not hold it or the scan does not end.
QPointer<KVDeletailWindowController> ScannedOn(const std::string& devicePath) {
  QPointer<KVDeletailWindowController> window = resultstest::OpenOnDevice(devicePath);
  return window != nullptr && Browsing(*window) ? window : nullptr;
}

// A window on the result saved in `file`, once the load has ended well and
// the window shows what it holds; null otherwise.
QPointer<KVDeletailWindowController> Loaded(const QString& file) {
  if (!KVUIController::beginSaveOrRestoreNode(0, file)) return nullptr;
  QPointer<KVDeletailWindowController> window = KVDeletailWindowController::OpenForImport(file);
  return SaveOrLoadEnded(0) && Browsing(*window) ? window : nullptr;
}

// Whether a sheet opens on `window` within ten seconds.
bool SheetOpens(KVDeletailWindowController& window) {
  return qttest::PumpUntil([&] { return window.currentSheet() != nullptr && window.currentSheet()->isOpen(); }, 10);
}

// Loads `saved` as a build before volume identities wrote it (written to
// `older`) into a window; null when the load or the window fails.
QPointer<KVDeletailWindowController> LoadAsOlder(const QString& saved, const fs::path& older) {
  const rsftest::Bytes bytes = rsftest::WithoutFrames(
      testsupport::ReadFile(fs::path(saved.toStdString())),
      {SaveRestoreResult::_frPromisedFrames, SaveRestoreResult::_frVolumeIdentity, SaveRestoreResult::_frCheckValues});
  testsupport::WriteFile(older, bytes.data(), bytes.size());
  return Loaded(QString::fromStdString(older.string()));
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
    QPointer<KVDeletailWindowController> window = ScannedOn(loop.path());
    ASSERT_NE(window, nullptr) << loop.path() << " is not in the device list, or its scan does not end";
    // The disk the window watches is the loop device, named by its image.
    EXPECT_EQ(window->selectDiskVolumeDataRow()->parentName(), QStringLiteral("f16.img"));
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
    window = Loaded(saved);
    ASSERT_NE(window, nullptr) << "the saved result does not load";
    ASSERT_TRUE(qttest::PumpUntil([&] { return window->opDataFile != nullptr; }));
    EXPECT_EQ(window->exportButton, nullptr);
    ExpectListing(*window, expected);
    // Its file tells its volume: nothing to warn of.
    EXPECT_TRUE(window->currentSheet() == nullptr || !window->currentSheet()->isOpen());

    // Home: the result goes, and no descriptor of the process is left on the
    // device, which can then be detached (its copy-out reads it until then).
    EXPECT_TRUE(OpenHere(loop.path())) << "the loaded result reads the device";
    window->backButtonAction();
    ASSERT_TRUE(qttest::PumpUntil([&] { return window.isNull(); }, 10)) << "home closes the window";
    EXPECT_FALSE(OpenHere(loop.path())) << "the result left holds " << loop.path() << " open";

    // The same file as a build before volume identities wrote it: it loads,
    // the same, and the window says that its volume cannot be verified.
    window = LoadAsOlder(saved, dir / "older.rsf");
    ASSERT_NE(window, nullptr) << "the result without identities does not load";
    ASSERT_TRUE(SheetOpens(*window));
    EXPECT_TRUE(SheetTexts(*window).contains(platform::Localized("PAGE_FOUR_LOAD_UNVERIFIED_TITLE")))
        << SheetTexts(*window).join(u'|').toStdString();
    ASSERT_TRUE(resultstest::Answer(*window, 1));
    ExpectListing(*window, expected);
    delete window.data();
    KVUIController::UseScan(nullptr);
  }
}

TEST(ResultsWindowOnFat, ADamagedRootShowsWhatTheRestOfItLeadsToAndSaysSo) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const std::string why = fatfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  resultstest::StartForScans();
  const fs::path image = fatfixtures::Dir() / "f32-rootdamage.img";
  const std::vector<conformance::Expected> expected = conformance::ReadExpectations(image.string() + ".expect.tsv");
  ASSERT_GT(expected.size(), 200u);
  devicetest::ImageGuard unchanged(image);
  {
    devicetest::LoopDevice loop(image, 0, false, true);
    ASSERT_TRUE(loop.attached());
    KVUIScan scan;
    KVUIController::UseScan(&scan);
    QPointer<KVDeletailWindowController> window = ScannedOn(loop.path());
    ASSERT_NE(window, nullptr) << loop.path() << " is not in the device list, or its scan does not end";
    EXPECT_EQ(KVUIController::GetDamagedVolumeCount(), 1u);
    // Said once the scan has ended, with the deep scan offered.
    ASSERT_TRUE(SheetOpens(*window));
    const QStringList texts = SheetTexts(*window);
    EXPECT_TRUE(texts.contains(QStringLiteral("Some of the volume's folders could not be read")))
        << texts.join(u'|').toStdString();
    EXPECT_TRUE(texts.join(u' ').contains(QStringLiteral("a deep scan"))) << texts.join(u'|').toStdString();
    uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-fat32-damaged-root"));
    ASSERT_TRUE(resultstest::Answer(*window, 0));
    EXPECT_FALSE(KVUIController::IsScanRunning());

    ExpectListing(*window, expected);

    // The files shown copy out as the originals, through the copy-out
    // object a recovery of this scan uses.
    std::map<std::string, IFileNode*> files;
    FilesBelow(*window, window->allDiskArr.front().get(), "", files);
    testsupport::TempDir out;
    size_t compared = 0;
    for (const conformance::Expected& e : expected) {
      if (e.folder || e.size == 0 || e.sha256.empty() || e.sha256 == "-") continue;
      const auto found = files.find(e.path);
      ASSERT_NE(found, files.end()) << e.path;
      IDataRecovery* copyOut = scan.GetFileNodeDataRecover(found->second);
      ASSERT_NE(copyOut, nullptr) << e.path;
      const fs::path copy = out / std::to_string(compared);
      {
        std::lock_guard<std::mutex> held(KVUIRecovery::CopyOutLock(copyOut));
        IFileReader* reader = copyOut->SetRecoverNode(found->second);
        const ResultCode result = copyOut->RecoverTo(copy.c_str(), nullptr, 0);
        if (reader != nullptr) reader->Release();
        EXPECT_FALSE(result::IsFailure(result)) << e.path;
      }
      EXPECT_EQ(testsupport::Sha256(copy), e.sha256) << e.path;
      ++compared;
    }
    EXPECT_GT(compared, 100u);
    delete window.data();
    KVUIController::UseScan(nullptr);
  }
}

TEST(ResultsWindowOnFat, AnUnreadableRootListsNothingAndItsSheetStartsTheDeepScan) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const std::string why = fatfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  resultstest::StartForScans();
  const fs::path image = fatfixtures::Dir() / "f32-rootzero.img";
  devicetest::ImageGuard unchanged(image);
  {
    devicetest::LoopDevice loop(image, 0, false, true);
    ASSERT_TRUE(loop.attached());
    KVUIScan scan;
    KVUIController::UseScan(&scan);
    QPointer<KVDeletailWindowController> window = ScannedOn(loop.path());
    ASSERT_NE(window, nullptr) << loop.path() << " is not in the device list, or its scan does not end";
    uint64_t size = 0, count = 0;
    KVUIController::GetScanFileSize(&size, &count);
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(SheetOpens(*window));
    EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("The volume could not be read")))
        << SheetTexts(*window).join(u'|').toStdString();
    ASSERT_TRUE(resultstest::Answer(*window, 1));
    ASSERT_TRUE(qttest::PumpUntil([] { return KVUIController::IsDeepScan() && KVUIController::IsScanRunning(); }));
    ASSERT_TRUE(Browsing(*window));
    KVUIController::GetScanFileSize(&size, &count);
    EXPECT_GT(count, 100u);
    // A deep scan says nothing of the quick scan's damage.
    qttest::PumpUntil([] { return false; }, 1);
    EXPECT_TRUE(window->currentSheet() == nullptr || !window->currentSheet()->isOpen());
    delete window.data();
    KVUIController::UseScan(nullptr);
  }
}

// The FAT16 volume of the reuse set (make-fat-reuse-images.sh) scanned and
// saved, then written to: a live file deleted and a newcomer written over it.
struct WrittenCard {
  testsupport::TempDir work;
  fs::path scanned, later;
  QString saved;
  size_t changed = 0;  // as many as The Sleuth Kit finds (the later expect.fail beyond the scanned one's)
  uint64_t found = 0;  // files the scan found

  // Scans and saves the card as it was; empty, or why it could not.
  std::string Prepare() {
    const fs::path dir = fatfixtures::ReuseDir();
    const auto lines = [](const fs::path& file) {
      std::set<std::string> out;
      std::ifstream in(file);
      for (std::string line; std::getline(in, line);) {
        if (!line.empty()) out.insert(line);
      }
      return out;
    };
    const std::set<std::string> before = lines(dir / "f16-reuse.img.expect.fail");
    for (const std::string& path : lines(dir / "f16-reuse-later2.img.expect.fail")) changed += before.count(path) == 0;
    if (changed == 0) return "no file changed hands";
    // One file name for both, as one card would have, and its own: a load
    // of a file without identities takes any disk of that name, such as the
    // card another test of this program attaches meanwhile.
    const std::string name = "card-written-" + std::to_string(getpid()) + ".img";
    scanned = work / "scanned" / name;
    later = work / "later" / name;
    fs::create_directories(scanned.parent_path());
    fs::create_directories(later.parent_path());
    fs::copy_file(dir / "f16-reuse.img", scanned);
    fs::copy_file(dir / "f16-reuse-later2.img", later);
    saved = QString::fromStdString((work / "card.rsf").string());
    devicetest::ImageGuard unchanged(scanned);
    devicetest::LoopDevice loop(scanned, 0, false, true);
    if (!loop.attached()) return "no loop device";
    KVUIScan scan;
    KVUIController::UseScan(&scan);
    QPointer<KVDeletailWindowController> window = ScannedOn(loop.path());
    uint64_t size = 0;
    KVUIController::GetScanFileSize(&size, &found);
    const bool savedWell = window != nullptr && KVUIController::beginSaveOrRestoreNode(1, saved) && SaveOrLoadEnded(1);
    delete window.data();
    KVUIController::UseScan(nullptr);
    return savedWell ? "" : loop.path() + " is not in the device list, its scan does not end or its result not saved";
  }
};

// Results windows on the card's result, loaded on the card written to since
// (attached read-only); both images are unchanged afterwards.
class ResultsWindowOnWrittenFat : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
    const std::string why = fatfixtures::ReuseReady();
    REQUIRE_OR_SKIP(why.empty(), why);
    resultstest::StartForScans();
    ASSERT_EQ(card.Prepare(), "");
    scannedUnchanged = std::make_unique<devicetest::ImageGuard>(card.scanned);
    laterUnchanged = std::make_unique<devicetest::ImageGuard>(card.later);
    loop = std::make_unique<devicetest::LoopDevice>(card.later, 0, false, true);
    ASSERT_TRUE(loop->attached());
    scan = std::make_unique<KVUIScan>();
    KVUIController::UseScan(scan.get());
    KVUIController::RefreshDeviceInfo();
  }
  void TearDown() override { KVUIController::UseScan(nullptr); }

  WrittenCard card;
  std::unique_ptr<devicetest::ImageGuard> scannedUnchanged, laterUnchanged;
  std::unique_ptr<devicetest::LoopDevice> loop;
  std::unique_ptr<KVUIScan> scan;
};

// The result loaded there lists as many files as the scan did, and a sheet
// says how many of them lost their clusters since.
TEST_F(ResultsWindowOnWrittenFat, ALoadOnADiskWrittenToSinceSaysHowManyFilesLostTheirPlace) {
  const size_t changed = card.changed;
  const uint64_t found = card.found;
  const QString& saved = card.saved;
  testsupport::TempDir& work = card.work;
  QPointer<KVDeletailWindowController> window = Loaded(saved);
  ASSERT_NE(window, nullptr) << "the saved result does not load";
  EXPECT_EQ(KVUIController::GetLoadChangedFiles(), changed);
  uint64_t loadedSize = 0, loaded = 0;
  KVUIController::GetScanFileSize(&loadedSize, &loaded);
  EXPECT_EQ(loaded, found) << "the files stay listed";
  ASSERT_TRUE(SheetOpens(*window));
  const QStringList texts = SheetTexts(*window);
  EXPECT_TRUE(texts.contains(QStringLiteral("The disk was written to since the scan")))
      << texts.join(u'|').toStdString();
  EXPECT_TRUE(texts.join(u' ').contains(QStringLiteral("(%1 in all)").arg(changed))) << texts.join(u'|').toStdString();
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-loaded-disk-written-to"));
  ASSERT_TRUE(resultstest::Answer(*window, 1));
  // Said once.
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_TRUE(window->currentSheet() == nullptr || !window->currentSheet()->isOpen());
  delete window.data();

  // The same file as a build before volume identities wrote it: one sheet at
  // a time, the one that it cannot be verified first, however often the
  // window hears of the load's end meanwhile, then the count.
  window = LoadAsOlder(saved, work / "older.rsf");
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(SheetOpens(*window));
  window->getScanProgress();
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_TRUE(SheetTexts(*window).contains(platform::Localized("PAGE_FOUR_LOAD_UNVERIFIED_TITLE")))
      << SheetTexts(*window).join(u'|').toStdString();
  ASSERT_TRUE(resultstest::Answer(*window, 1));
  ASSERT_TRUE(SheetOpens(*window));
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("The disk was written to since the scan")))
      << SheetTexts(*window).join(u'|').toStdString();
  ASSERT_TRUE(resultstest::Answer(*window, 1));
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_TRUE(window->currentSheet() == nullptr || !window->currentSheet()->isOpen());
  delete window.data();
}

// Whether the window's open sheet lies inside it (a sheet on it, not a window
// of its own that waits for an answer), above its content, and, under a real
// X server (without a window manager, nothing stacks windows), on the
// screen; it holds `title`. `shot` names the screenshots kept, if any.
void ExpectSheetAbove(KVDeletailWindowController& window, const QString& title, const QString& shot) {
  KitSheet* sheet = window.currentSheet();
  ASSERT_TRUE(sheet != nullptr && sheet->isOpen()) << "no sheet";
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "another window waits for an answer";
  ASSERT_EQ(sheet->window(), window.window()) << "the sheet came in a window of its own";
  EXPECT_TRUE(SheetTexts(window).contains(title)) << SheetTexts(window).join(u'|').toStdString();
  // What lies under the panel's middle is the panel.
  QWidget* panel = sheet->panel();
  QWidget* under = window.window()->childAt(panel->mapTo(window.window(), panel->rect().center()));
  EXPECT_TRUE(under == panel || panel->isAncestorOf(under)) << "the sheet lies under the window's content";
  if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
    qttest::PumpUntil([] { return false; }, 1);
    const QImage screen = window.window()->screen()->grabWindow(0).toImage();
    EXPECT_EQ(screen.pixelColor(panel->mapToGlobal(QPoint(4, panel->height() / 2))).rgb(),
              panel->palette().color(QPalette::Window).rgb())
        << "the screen does not show the sheet";
    if (!shot.isEmpty()) uitest::SaveArtifact(screen, shot + QStringLiteral("-screen"));
  }
  if (!shot.isEmpty()) uitest::SaveArtifact(uitest::Grab(window.window()), shot);
}

// Loaded as the application loads it: the window opened hidden when the load
// starts, under the wizard's progress window, and shown once that has closed
// after a good load. Twenty times out of twenty the sheet that says how many
// files changed comes, with the number The Sleuth Kit gives, above the window
// (ExpectSheetAbove); every fifth load is of the file as a build before
// volume identities wrote it, whose sheet that it cannot be verified comes
// first, above the window too.
TEST_F(ResultsWindowOnWrittenFat, ALoadedResultSaysWhatChangedAboveItsWindowEveryTime) {
  const fs::path olderFile = card.work / "older.rsf";
  const rsftest::Bytes older = rsftest::WithoutFrames(
      testsupport::ReadFile(fs::path(card.saved.toStdString())),
      {SaveRestoreResult::_frPromisedFrames, SaveRestoreResult::_frVolumeIdentity, SaveRestoreResult::_frCheckValues});
  testsupport::WriteFile(olderFile, older.data(), older.size());
  const QString changedTitle = QStringLiteral("The disk was written to since the scan");
  int said = 0;
  for (int load = 1; load <= 20; ++load) {
    SCOPED_TRACE("load " + std::to_string(load));
    const bool unverified = load % 5 == 0;
    const QString file = unverified ? QString::fromStdString(olderFile.string()) : card.saved;
    const QString shot = load == 1 || load == 20 ? QStringLiteral("results-loaded-sheet-%1").arg(load) : QString();
    QPointer<KVDeletailWindowController> window;
    QObject shower;
    platform::NotificationCenter::DefaultCenter().AddObserver(QStringLiteral("ShowDetailWindow"), &shower,
                                                              [&window](const platform::Notification&) {
                                                                if (window) window->showWindow();
                                                              });
    KVProgressWindow progress(KVUIController::GetSaveorRestoreProgress);
    progress.setStrPostName(QString::fromLatin1(KVDeletailWindowController::kScanNotification));
    progress.setBSave(false);
    progress.window();
    ASSERT_TRUE(KVUIController::beginSaveOrRestoreNode(0, file));
    window = KVDeletailWindowController::OpenForImport(file, {}, false);
    progress.runModal();
    platform::NotificationCenter::DefaultCenter().RemoveObserver(&shower);
    ASSERT_EQ(progress.getResult(), 1);
    ASSERT_TRUE(window->window()->isVisible());
    ASSERT_TRUE(Browsing(*window));
    bool above = SheetOpens(*window);
    if (above && unverified) {
      ExpectSheetAbove(*window, platform::Localized("PAGE_FOUR_LOAD_UNVERIFIED_TITLE"),
                       shot.isEmpty() ? shot : shot + "-unverified");
      above = !HasFatalFailure() && resultstest::Answer(*window, 1) && SheetOpens(*window);
    }
    if (above) {
      ExpectSheetAbove(*window, changedTitle, shot);
      above = !HasFatalFailure();
      EXPECT_TRUE(SheetTexts(*window).join(u' ').contains(QStringLiteral("(%1 in all)").arg(card.changed)))
          << SheetTexts(*window).join(u'|').toStdString();
    } else {
      ADD_FAILURE() << "no sheet; the load counted " << KVUIController::GetLoadChangedFiles() << " changed files";
    }
    said += above ? 1 : 0;
    resultstest::Answer(*window, 1);
    delete window.data();
  }
  EXPECT_EQ(said, 20);
}

}  // namespace
