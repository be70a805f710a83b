// Recovering from the results window for real. A file-system image made by
// real tools (tests/fixtures: the FAT16 image of mkfs.fat and mtools, the
// NTFS image of mkntfs and ntfs-3g; their expectation files hold the
// originals' checksums and The Sleuth Kit's names) is attached as a loop
// device and scanned, every file is ticked, and the files are recovered
// through the folder chooser, the checks and the progress window into
// folders on real mounts:
//   - a plain folder: every file byte for byte the original, below
//     "Fat_0001/<volume label>/<folder path>", owned by the user the
//     application works for; the end window's link opens the folder;
//   - a read-only mount: the "cannot write" sheet, nothing written;
//   - a folder on a mount of the scanned volume (a copy of the NTFS image,
//     attached read-write and mounted through ntfs-3g): the same-disk
//     sheet, whose Yes chooses again and whose No recovers there;
//   - a small tmpfs: the no-space sheet (Cancel gives up, Continue
//     recovers), then the out-of-space pane when it fills, Cancel giving the
//     stop window and Continue, once space is freed, identical files; and a
//     tmpfs that passes the check but fills during the run.
// The fixture images are unchanged afterwards.
#include <QCryptographicHash>
#include <QFile>
#include <QPointer>
#include <QTest>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "FatFixtures.h"
#include "KVDeletailWindowTestSupport.h"
#include "KVRecoveryTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "NtfsFixtures.h"
#include "UiTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/PeerOutput.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVRecoveryServices.h"

namespace {

namespace fs = std::filesystem;
using Pane = KVShowScanProgressWindowController::Pane;
using recoverytest::ShownEnd;
using recoverytest::ShownProgress;
using recoverytest::ShownStop;
using resultstest::Answer;
using resultstest::SheetTexts;

QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }

std::string Sha256(const fs::path& file) {
  QFile in(Q(file));
  if (!in.open(QIODevice::ReadOnly)) return "unreadable";
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(&in);
  return hash.result().toHex().toStdString();
}

// A file system mounted for the test's lifetime.
class Mount {
 public:
  Mount(const std::string& options, const fs::path& at) : at_(at) {
    fs::create_directories(at);
    mounted_ = testsupport::RunCommand("mount " + options + " " + testsupport::ShellQuote(at.string())).exitCode == 0;
  }
  ~Mount() {
    if (mounted_) testsupport::RunCommand("umount " + testsupport::ShellQuote(at_.string()));
  }
  bool mounted() const { return mounted_; }
  bool Remount(const std::string& options) {
    return testsupport::RunCommand("mount -o remount," + options + " " + testsupport::ShellQuote(at_.string()))
               .exitCode == 0;
  }

 private:
  fs::path at_;
  bool mounted_ = false;
};

class RecoveryFromImage : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
    const std::string why = fatfixtures::Ready();
    REQUIRE_OR_SKIP(why.empty(), why);
    windowtest::Start();
    KVUIController::initFileType();
    KVUIController::SetRecoveryType(0x7f);
    ASSERT_NO_FATAL_FAILURE(UseImage(fatfixtures::Dir() / "f16.img", "Volume Label (Boot Sector)"));
  }

  // The image the test recovers from, its expectations, and the volume
  // label The Sleuth Kit read (fsstat's `labelField`).
  void UseImage(const fs::path& file, const std::string& labelField) {
    image = file;
    expected = conformance::ReadExpectations(image.string() + ".expect.tsv");
    const peers::Fsstat fsstat = peers::ParseFsstat(peers::ReadText(image.string() + ".fsstat.txt"));
    ASSERT_EQ(fsstat.fields.count(labelField), 1u);
    label = QString::fromStdString(fsstat.fields.at(labelField)).trimmed().toStdString();
    unchanged = std::make_unique<devicetest::ImageGuard>(image);
  }

  void TearDown() override {
    delete window.data();
    recoverytest::NoneOpen();
    KVUIController::UseRecovery(nullptr);
    recovery.reset();
    KVUIController::UseScan(nullptr);
    scan.reset();
    ::unsetenv("PKEXEC_UID");
  }

  // A results window scanning the device at `device` (the volume on it),
  // to the end of the scan, with every file ticked.
  void ScanAndTickAll(const std::string& device) {
    scan = std::make_unique<KVUIScan>();
    KVUIController::UseScan(scan.get());
    recovery = std::make_unique<KVUIRecovery>(scan.get());
    KVUIController::UseRecovery(recovery.get());
    KVUIController::RefreshDeviceInfo();
    std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
    DiskVolumeNodeData* chosen = wizardtest::ScanRowOf(device, &rows);
    ASSERT_NE(chosen, nullptr) << device << " is not in the device list";
    window = KVDeletailWindowController::OpenForScan(*chosen);
    ASSERT_TRUE(resultstest::Browsing(*window));
    qttest::PumpUntil([] { return false; }, 1);  // the scan's last news
    window->popupViewHidden();
    ASSERT_EQ(window->allDiskArr.size(), 1u);
    // The volume's row: every file below it.
    window->allDiskArr.front()->setNodeState(2);
    int count = 0;
    uint64_t size = 0;
    KVUIController::GetSelectedFilesAmout(&count, &size);
    files = static_cast<size_t>(count);
    // What the tools put on the image, every file the scan lists.
    uint64_t bytes = 0;
    size_t onImage = 0;
    for (const conformance::Expected& e : expected) {
      if (!Listed(e)) continue;
      bytes += static_cast<uint64_t>(e.size);
      ++onImage;
    }
    EXPECT_EQ(files, onImage);
    if (sparseFiles) {
      EXPECT_LT(KVUIController::GetSelectedStoredSize(), bytes) << "the holes are left out";
    } else {
      EXPECT_EQ(KVUIController::GetSelectedStoredSize(), bytes) << "no holes: the sizes themselves";
    }
  }

  // Recover, as the user presses it.
  void PressRecover() {
    // The user's click makes the window the active one, whose title bar's
    // controls are usable; the button itself once files are ticked.
    window->window()->activateWindow();
    ASSERT_TRUE(qttest::PumpUntil([&] { return window->recovertyButton->isEnabled(); }));
    window->recovertyButton->setButtonEnabled(true);
    window->recovertyButton->click();
  }
  // Recover, then `folder` chosen.
  void RecoverInto(const fs::path& folder) {
    PressRecover();
    ASSERT_TRUE(recoverytest::ChooseFolder(*window, Q(folder)));
  }
  bool Ended() {
    return qttest::PumpUntil([&] { return ShownEnd(*window) != nullptr; }) && !KVUIController::IsRecoveryRunning();
  }
  bool OutOfSpace() {
    return qttest::PumpUntil([&] {
      KVShowScanProgressWindowController* progress = ShownProgress(*window);
      return progress != nullptr && progress->shownPane() == Pane::kNoSpace;
    });
  }
  void CloseEndWindow() {
    QTest::mouseClick(window->scanEndSaveWC->okButton, Qt::LeftButton);
    ASSERT_TRUE(recoverytest::NoneOpen());
  }

  // Whether the scan lists the file `e`: a quick scan of a mounted volume
  // lists only its deleted files (the others can be copied as they are).
  bool Listed(const conformance::Expected& e) const { return !e.folder && (!mountedVolume || e.deleted); }

  // Every copy below `top` of `out` is a file the scan listed, at its
  // folder path, whole: the size of its original and (with `contents`),
  // where the original's checksum is known, byte for byte the same. Answers
  // how many copies there are.
  size_t ExpectWholeCopies(const fs::path& out, const std::string& top, bool contents = true) {
    const fs::path volume = out / top / label;
    EXPECT_TRUE(fs::is_directory(volume)) << volume;
    std::map<std::string, const conformance::Expected*> listed;
    for (const conformance::Expected& e : expected) {
      if (Listed(e)) listed[e.path] = &e;
    }
    size_t copies = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out / top)) {
      if (!entry.is_regular_file()) continue;
      ++copies;
      const auto it = listed.find(fs::relative(entry.path(), volume).string());
      if (it == listed.end()) {
        ADD_FAILURE() << "not on the image: " << entry.path();
        continue;
      }
      EXPECT_EQ(static_cast<int64_t>(entry.file_size()), it->second->size) << entry.path();
      if (contents && !it->second->sha256.empty()) {
        EXPECT_EQ(Sha256(entry.path()), it->second->sha256) << entry.path();
      }
    }
    return copies;
  }

  // Listed deleted files no peer can vouch for (clusters a later file took):
  // their copies are reported failed.
  size_t Unvouched() const {
    size_t n = 0;
    for (const conformance::Expected& e : expected) {
      n += Listed(e) && e.deleted && e.sha256.empty() && e.peerSha256.empty() ? 1 : 0;
    }
    return n;
  }

  // The copies below `top` of `out` are every file the scan listed, whole.
  void ExpectRecovered(const fs::path& out, const std::string& top, bool contents = true) {
    size_t listed = 0;
    for (const conformance::Expected& e : expected) listed += Listed(e) ? 1 : 0;
    EXPECT_EQ(ExpectWholeCopies(out, top, contents), listed);
  }

  fs::path image;
  std::vector<conformance::Expected> expected;
  std::string label;
  std::unique_ptr<devicetest::ImageGuard> unchanged;
  std::unique_ptr<KVUIScan> scan;
  std::unique_ptr<KVUIRecovery> recovery;
  QPointer<KVDeletailWindowController> window;
  size_t files = 0;
  bool sparseFiles = false;
  bool mountedVolume = false;
};

// Into a plain folder: the progress window, then the end window, whose link
// opens the folder; the copies are the originals, laid out by file system,
// volume and folder, and belong to the user behind pkexec.
TEST_F(RecoveryFromImage, CopiesEveryFileIdenticalIntoTheChosenFolder) {
  devicetest::LoopDevice loop(image, 0, false, true);
  ASSERT_TRUE(loop.attached());
  ASSERT_NO_FATAL_FAILURE(ScanAndTickAll(loop.path()));
  testsupport::TempDir out;
  // Started through pkexec by the user "nobody".
  ::setenv("PKEXEC_UID", "65534", 1);
  windowtest::OpenedLinks opened;
  ASSERT_NO_FATAL_FAILURE(RecoverInto(out.path()));
  EXPECT_FALSE(window->currentSheet() != nullptr && window->currentSheet()->isOpen())
      << SheetTexts(*window).join('|').toStdString();
  ASSERT_TRUE(Ended());
  EXPECT_EQ(window->recoveryProgressWindow, nullptr);
  EXPECT_EQ(window->scanNotEndSaceWC, nullptr);
  EXPECT_EQ(KVUIController::GetRecoveridedFiles(), files - Unvouched());
  EXPECT_EQ(recovery->GetFailedFilesCnt(), Unvouched());
  EXPECT_EQ(window->scanEndSaveWC->savePathStr(), Q(out.path()));
  uitest::SaveArtifact(uitest::Grab(window->scanEndSaveWC->window()), QStringLiteral("recovery-fat16-end"));
  QTest::mouseClick(window->scanEndSaveWC->savePathLabel, Qt::LeftButton, {}, QPoint(4, 8));
  ASSERT_EQ(opened.urls().size(), 1);
  EXPECT_EQ(opened.urls()[0], QUrl::fromLocalFile(Q(out.path())));
  ASSERT_NO_FATAL_FAILURE(CloseEndWindow());

  std::vector<fs::path> tops;
  for (const auto& entry : fs::directory_iterator(out.path())) tops.push_back(entry.path().filename());
  EXPECT_EQ(tops, std::vector<fs::path>{"Fat_0001"});
  ExpectRecovered(out.path(), "Fat_0001");
  struct stat chosen {};
  ASSERT_EQ(::stat(out.path().c_str(), &chosen), 0);
  EXPECT_EQ(chosen.st_uid, 0u) << "the chosen folder stays its owner's";
  for (const auto& entry : fs::recursive_directory_iterator(out.path())) {
    struct stat info {};
    ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u) << entry.path();
  }

  // A second recovery into the same folder opens the next top folder.
  ::unsetenv("PKEXEC_UID");
  ASSERT_NO_FATAL_FAILURE(RecoverInto(out.path()));
  ASSERT_TRUE(Ended());
  ASSERT_NO_FATAL_FAILURE(CloseEndWindow());
  EXPECT_TRUE(fs::is_directory(out.path() / "Fat_0002" / label));
}

// A read-only mount: the "cannot write" sheet with its one button, nothing
// started and nothing written; the user may choose again.
TEST_F(RecoveryFromImage, ANotWritableFolderIsRefused) {
  devicetest::LoopDevice loop(image, 0, false, true);
  ASSERT_TRUE(loop.attached());
  ASSERT_NO_FATAL_FAILURE(ScanAndTickAll(loop.path()));
  testsupport::TempDir dir;
  Mount readOnly("-t tmpfs -o ro,size=8m tmpfs", dir / "ro");
  REQUIRE_OR_SKIP(readOnly.mounted(), "mounting a tmpfs was refused");
  ASSERT_NO_FATAL_FAILURE(RecoverInto(dir / "ro"));
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("Clipmender cannot write to this folder")));
  EXPECT_TRUE(window->recovertyButton->isButtonEnabled());
  ASSERT_TRUE(Answer(*window, 1));
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_FALSE(KVUIController::IsRecoveryRunning());
  EXPECT_EQ(window->recoveryProgressWindow, nullptr);
  EXPECT_TRUE(recoverytest::ShownSmallWindows().empty());
  EXPECT_TRUE(fs::is_empty(dir / "ro"));
  // The user may choose again.
  PressRecover();
  EXPECT_TRUE(recoverytest::CancelChooser(*window));
}

// A folder on a mount of the scanned volume (a copy of the NTFS image,
// attached read-write and mounted through ntfs-3g): the same-disk sheet.
// Yes brings the chooser back half a second later; No recovers there,
// without the free-space check.
TEST_F(RecoveryFromImage, AFolderOnTheScannedVolumeIsWarnedAbout) {
  REQUIRE_OR_SKIP(testsupport::HaveFuse(), "needs root and FUSE");
  REQUIRE_TOOL("ntfs-3g");
  const std::string why = ntfsfixtures::EnsureFixtures();
  REQUIRE_OR_SKIP(why.empty(), why);
  ASSERT_NO_FATAL_FAILURE(UseImage(ntfsfixtures::FixtureDir() / "default.img", "Volume Name"));
  sparseFiles = true;
  mountedVolume = true;
  testsupport::TempDir dir;
  const fs::path copy = dir / "copy.img";
  fs::copy_file(image, copy);
  devicetest::LoopDevice loop(copy, 0, false, false);
  ASSERT_TRUE(loop.attached());
  Mount volume("-t ntfs-3g " + testsupport::ShellQuote(loop.path()), dir / "mnt");
  REQUIRE_OR_SKIP(volume.mounted(), "mounting the copy through ntfs-3g was refused");
  // The volume's own folder: a folder made there before the scan could
  // take the record of a deleted file.
  const fs::path out = dir / "mnt";
  ASSERT_NO_FATAL_FAILURE(ScanAndTickAll(loop.path()));
  EXPECT_FALSE(KVUIController::IsRecoveryToSameDevice(Q(dir.path())));

  ASSERT_NO_FATAL_FAILURE(RecoverInto(out));
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("This folder is on the disk you are recovering from")));
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("recovery-ntfs-same-disk"));
  ASSERT_TRUE(Answer(*window, 1));
  EXPECT_FALSE(window->panel) << "the chooser comes back later";
  ASSERT_TRUE(recoverytest::PanelOpen(*window));
  ASSERT_TRUE(recoverytest::CancelChooser(*window));
  EXPECT_FALSE(KVUIController::IsRecoveryRunning());
  EXPECT_FALSE(fs::exists(out / "0001"));

  ASSERT_NO_FATAL_FAILURE(RecoverInto(out));
  ASSERT_TRUE(Answer(*window, 0));
  ASSERT_TRUE(Ended());
  EXPECT_EQ(KVUIController::GetRecoveridedFiles() + recovery->GetFailedFilesCnt(), files);
  // Each failed file is named by where its copy lies, below the folder.
  const std::vector<std::string> failedPaths = recovery->GetFailedFilePaths();
  EXPECT_EQ(failedPaths.size(), recovery->GetFailedFilesCnt());
  for (const std::string& path : failedPaths) {
    EXPECT_EQ(path.rfind(out.string() + "/", 0), 0u) << path;
  }
  ASSERT_NO_FATAL_FAILURE(CloseEndWindow());
  // Every deleted file of the volume has its copy there (NTFS folders carry
  // no prefix); what the copies hold is not looked at: written to the
  // volume they come from, they may have taken each other's clusters, which
  // is what the warning is about.
  ExpectRecovered(out, "0001", false);
}

// A tmpfs too small for the selection: the no-space sheet. Cancel gives up;
// Continue recovers until the tmpfs is full, when the out-of-space pane
// waits: Cancel there stops with the stop window, telling how many files
// were recovered; Continue, once space is freed, finishes every file
// identical.
TEST_F(RecoveryFromImage, ATooSmallDestinationAsksThenWaitsForSpace) {
  devicetest::LoopDevice loop(image, 0, false, true);
  ASSERT_TRUE(loop.attached());
  ASSERT_NO_FATAL_FAILURE(ScanAndTickAll(loop.path()));
  testsupport::TempDir dir;
  const fs::path small = dir / "small";
  Mount tmpfs("-t tmpfs -o size=64k tmpfs", small);
  REQUIRE_OR_SKIP(tmpfs.mounted(), "mounting a tmpfs was refused");

  ASSERT_NO_FATAL_FAILURE(RecoverInto(small));
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("Not enough free space")));
  ASSERT_TRUE(Answer(*window, 1));
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_FALSE(KVUIController::IsRecoveryRunning());
  EXPECT_TRUE(fs::is_empty(small));

  ASSERT_NO_FATAL_FAILURE(RecoverInto(small));
  ASSERT_TRUE(Answer(*window, 0));
  ASSERT_TRUE(OutOfSpace());
  EXPECT_TRUE(KVUIController::IsRecoveryRunning()) << "paused, not ended";
  uitest::SaveArtifact(uitest::Grab(window->recoveryProgressWindow->window()),
                       QStringLiteral("recovery-fat16-out-of-space"));
  QTest::mouseClick(window->recoveryProgressWindow->noMemeryCancelButton, Qt::LeftButton);
  ASSERT_TRUE(qttest::PumpUntil([&] { return ShownStop(*window) != nullptr; }));
  ASSERT_TRUE(qttest::PumpUntil([&] { return !recovery->IsWorkerRunning(); }));
  // The file the stop cut short is gone; every copy left is whole, and the
  // stop window counts them.
  const uint64_t before = KVUIController::GetRecoveridedFiles();
  EXPECT_LT(before, files);
  EXPECT_EQ(ExpectWholeCopies(small, "Fat_0001"), before);
  EXPECT_TRUE(qttest::PumpUntil([&] {
    return window->scanNotEndSaceWC->showRecoveryNoteLabel->text() ==
           QStringLiteral("Recovery stopped. %1 files were recovered to:").arg(before);
  })) << window->scanNotEndSaceWC->showRecoveryNoteLabel->text().toStdString();
  EXPECT_EQ(window->scanEndSaveWC, nullptr);
  QTest::mouseClick(window->scanNotEndSaceWC->okButton, Qt::LeftButton);
  ASSERT_TRUE(recoverytest::NoneOpen());

  ASSERT_NO_FATAL_FAILURE(RecoverInto(small));
  ASSERT_TRUE(Answer(*window, 0));
  ASSERT_TRUE(OutOfSpace());
  ASSERT_TRUE(tmpfs.Remount("size=64m"));
  QTest::mouseClick(window->recoveryProgressWindow->noMemeryContinueButton, Qt::LeftButton);
  ASSERT_TRUE(Ended());
  EXPECT_EQ(KVUIController::GetRecoveridedFiles(), files - Unvouched());
  EXPECT_EQ(recovery->GetFailedFilesCnt(), Unvouched());
  ASSERT_NO_FATAL_FAILURE(CloseEndWindow());
  ExpectRecovered(small, "Fat_0002");
}

// A destination with room for 105 % of the files' bytes passes the check,
// but each small file takes a whole page of the tmpfs: it fills during the
// run. The pane waits; space freed, Continue finishes every file identical.
TEST_F(RecoveryFromImage, ADestinationThatFillsDuringTheRunPausesUntilSpaceIsFreed) {
  devicetest::LoopDevice loop(image, 0, false, true);
  ASSERT_TRUE(loop.attached());
  ASSERT_NO_FATAL_FAILURE(ScanAndTickAll(loop.path()));
  testsupport::TempDir dir;
  const fs::path out = dir / "out";
  const uint64_t need = KVRecoveryServices::SpaceNeeded(KVUIController::GetSelectedStoredSize());
  const uint64_t size = (need / 4096 + 16) * 4096;
  Mount tmpfs("-t tmpfs -o size=" + std::to_string(size) + " tmpfs", out);
  REQUIRE_OR_SKIP(tmpfs.mounted(), "mounting a tmpfs was refused");
  ASSERT_GT(KVRecoveryServices::FreeSpace(Q(out)), static_cast<int64_t>(need));

  ASSERT_NO_FATAL_FAILURE(RecoverInto(out));
  EXPECT_FALSE(window->currentSheet() != nullptr && window->currentSheet()->isOpen());
  ASSERT_TRUE(OutOfSpace());
  const uint64_t waiting = KVUIController::GetRecoveridedFiles();
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(KVUIController::GetRecoveridedFiles(), waiting) << "the recovery waits";
  EXPECT_LT(waiting, files);
  ASSERT_TRUE(tmpfs.Remount("size=64m"));
  QTest::mouseClick(window->recoveryProgressWindow->noMemeryContinueButton, Qt::LeftButton);
  ASSERT_TRUE(Ended());
  EXPECT_EQ(KVUIController::GetRecoveridedFiles(), files - Unvouched());
  ASSERT_NO_FATAL_FAILURE(CloseEndWindow());
  ExpectRecovered(out, "Fat_0001");
}

}  // namespace
