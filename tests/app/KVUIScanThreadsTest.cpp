// Scans of MBR disks of FAT volumes made by mkfs.fat and filled by mtools
// (the FAT fixture disk, and one of make-many-files-disk.sh whose 1500 files
// per volume make the tree builder link files under folders already shown)
// on a stand-in machine, driven through the controller as the results window
// drives it: the main thread walks and ticks the trees while the scan adds
// files and the device list is refreshed, searches a paused scan, starts a
// scan while the last one still stops, and makes rows right after asking for
// the next scan or load. Also built under ThreadSanitizer
// and AddressSanitizer (label threads): no Qt event loop runs here, so
// notifications go nowhere and the test thread plays the main thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "FatFixtures.h"
#include "FileNode.h"
#include "HookedController.h"
#include "app/KVNode.h"
#include "app/KVSaveAndRestoreNodeOperate.h"
#include "app/KVTimeMgr.h"
#include "app/KVTypeMgr.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "support/PeerOutput.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Waits up to two minutes (sanitizers are slow) for `done`.
bool Await(const std::function<bool()>& done) {
  const auto until = Clock::now() + std::chrono::minutes(2);
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The names of the files an expectation file lists whose name holds `key`
// (ASCII, any case).
std::multiset<std::string> FilesNamed(const fs::path& expectations, const std::string& key) {
  std::multiset<std::string> names;
  for (const auto& entry : conformance::ReadExpectations(expectations)) {
    const std::string name = entry.path.substr(entry.path.rfind('/') + 1);
    if (!entry.folder && Lower(name).find(Lower(key)) != std::string::npos) names.insert(name);
  }
  return names;
}

std::multiset<std::string> Names(const std::vector<IFileNode*>& nodes) {
  std::multiset<std::string> names;
  for (IFileNode* node : nodes) names.insert(OpNodeData::fileNodeName(node).toStdString());
  return names;
}

// Every file below `node`, found by a walk under the tree lock.
std::vector<IFileNode*> FilesBelow(IFileNode* node) {
  std::vector<IFileNode*> files, pending{node};
  NodeTreeGuard held;
  while (!pending.empty()) {
    IFileNode* at = pending.back();
    pending.pop_back();
    for (IFileNode* child = at->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      (child->IsDirectory() != 0 ? pending : files).push_back(child);
    }
  }
  return files;
}

// The names of the files fls -r -p lists.
std::multiset<std::string> FlsFiles(const fs::path& listing) {
  std::multiset<std::string> names;
  for (const auto& entry : peers::ParseFls(peers::ReadText(listing))) {
    if (entry.type == "r/r" && !entry.path.ends_with("(Volume Label Entry)")) {
      names.insert(entry.path.substr(entry.path.rfind('/') + 1));
    }
  }
  return names;
}

// Every node below the roots, folders and the roots included.
std::set<const IFileNode*> TreeNodes(const std::vector<IFilesystemNode*>& roots) {
  std::set<const IFileNode*> nodes;
  std::vector<IFileNode*> pending(roots.begin(), roots.end());
  NodeTreeGuard held;
  while (!pending.empty()) {
    IFileNode* at = pending.back();
    pending.pop_back();
    nodes.insert(at);
    for (IFileNode* child = at->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      pending.push_back(child);
    }
  }
  return nodes;
}

// The nodes rows hold, their own and the files listed beside their child
// rows, at any depth; only the pointers are read.
void CollectRowNodes(OpNodeData* row, std::set<const IFileNode*>& nodes) {
  if (row->fileNode() != nullptr) nodes.insert(row->fileNode());
  for (auto& child : row->children()) {
    if (auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child)) {
      if (*sub != nullptr) CollectRowNodes(sub->get(), nodes);
    } else {
      nodes.insert(std::get<IFileNode*>(child));
    }
  }
}

class FatDisk : public testing::Test {
 protected:
  void SetUp() override {
    KVUIController::initFileType();
    KVUIController::UseDevices(&model_);
    KVUIController::UseScan(&scan_);
    KVUIController::UseRecovery(&recovery_);
    scan_.SetRecoveryHooks([this] { recovery_.ReleaseDataRecovery(); }, [this] { recovery_.ResetParam(); });
    KVTypeMgr::share().clear();
    KVTimeMgr::share().clear();
  }
  // Puts `image` on the stand-in machine as its one disk, of two volumes.
  void UseDisk(const fs::path& image) {
    image_ = image;
    guard_ = std::make_unique<devicetest::ImageGuard>(image_);
    machine_.AddDisk({.name = "sdq", .major = 8, .minor = 64, .size512 = fs::file_size(image_) / 512});
    machine_.SetNode("sdq", image_);
    model_.InitDeviceInfo();
    ASSERT_EQ(model_.GetInitState(), KVDeviceReady);
    volumes_ = {model_.GetStorageByDiskVolumeIndex(0, 0), model_.GetStorageByDiskVolumeIndex(0, 1)};
    ASSERT_TRUE(volumes_[0] != nullptr && volumes_[1] != nullptr);
  }
  // The FAT fixture disk: FAT16 and FAT32 volumes of make-fat-images.sh.
  void UseFixtureDisk() {
    const std::string why = fatfixtures::Ready();
    REQUIRE_OR_SKIP(why.empty(), why);
    UseDisk(fatfixtures::Dir() / "disk.img");
  }
  void TearDown() override {
    scan_.StopOperation(1);
    EXPECT_TRUE(scan_.WaitForThreads(std::chrono::minutes(1)));
    KVUIController::UseRecovery(nullptr);
    KVUIController::UseScan(nullptr);
    KVUIController::UseDevices(nullptr);
  }

  fs::path Expectations(int volume) const { return fatfixtures::Dir() / (volume == 0 ? "f16.img" : "f32.img"); }

  testsupport::TempDir dir_;
  fs::path image_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  enumtest::FakeMachine machine_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  std::vector<IStorageDevice*> volumes_;
  // Written by the worker; read once the scan has ended.
  std::vector<IStorageDevice*> started_;
  HookedController::Hook before_, after_;
  KVUIScan scan_{&model_, [this](_RECOVERY_CONTROLLER_TYPE kind) {
                   return new HookedController(kind, &started_, true, before_, after_);
                 }};
  KVUIRecovery recovery_{&scan_, &model_};
};

// What the results window does on a notification, and a tick or two: the
// path rows with every folder's list, the type and date rows with their
// marks, the selection summary.
void WalkAndTick(KVRowArray& pathRows, KVRowArray& typeRows, KVRowArray& dateRows, size_t round) {
  KVUIController::SetViewType(KVViewPath);
  KVUIController::GetScanTreeNodeData(&pathRows, 0);
  std::vector<OpNodeData*> folders;
  for (const auto& row : pathRows) folders.push_back(row.get());
  std::vector<IFileNode*> list;
  for (size_t i = 0; i < folders.size(); ++i) {
    OpNodeData* row = folders[i];
    for (auto& child : row->children()) {
      if (auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child)) folders.push_back(sub->get());
    }
    row->isHasFolderChildren();
    KVUIController::GetPathInfoToArray(&list, row);
    for (IFileNode* file : list) {
      OpNodeData shown(file);
      shown.size();
      shown.state();
      shown.IsShow();
      shown.isDeleted();
    }
  }
  if (!folders.empty()) folders[round % folders.size()]->setNodeState(round % 2 == 0 ? 2 : 0);

  KVUIController::SetViewType(KVViewFileType);
  KVUIController::GetScanTreeNodeData(&typeRows, 0);
  KVUIController::RefreshTypeTreeState(nullptr);
  if (!typeRows.empty()) typeRows[round % typeRows.size()]->setNodeState(2);

  KVUIController::SetViewType(KVViewModificationDate);
  KVUIController::GetScanTreeNodeData(&dateRows, 0);
  KVUIController::RefreshTimeTreeState(dateRows);
  int count = 0;
  uint64_t size = 0;
  KVUIController::GetSelectedFilesAmout(&count, &size);
  if (round % 5 == 4) KVUIController::UnselectedAllNodes();
}

TEST_F(FatDisk, TreesAreWalkedAndTickedWhileTheScanAddsFilesAndTheDeviceListIsRefreshed) {
  const auto made =
      testsupport::RunCommand("bash " + (testsupport::SourceDir() / "tests/app/make-many-files-disk.sh").string() +
                              " " + testsupport::ShellQuote(dir_.path().string()) + " 2>&1");
  REQUIRE_OR_SKIP(made.exitCode != 77, made.output);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  ASSERT_NO_FATAL_FAILURE(UseDisk(dir_ / "disk.img"));
  // The worker waits at the second volume until the main thread has
  // refreshed the device list twice: the second volume is then read through
  // devices of a list that is no longer current nor previous.
  std::promise<void> refreshed;
  std::atomic<int> starts{0};
  before_ = [&, go = refreshed.get_future().share()](IStorageDevice*) {
    if (++starts == 2) go.wait();
  };
  KVRowArray pathRows, typeRows, dateRows;
  ASSERT_TRUE(KVUIController::DoScanWithDiskIndex(0, -1, "FatDiskScanned"));
  size_t rounds = 0, refreshes = 0, roundsAfterRefresh = 0;
  const auto deadline = Clock::now() + std::chrono::minutes(2);
  for (bool running = true; running; ++rounds) {
    running = KVUIController::IsScanRunning();
    WalkAndTick(pathRows, typeRows, dateRows, rounds);
    if (refreshes == 2) ++roundsAfterRefresh;
    if (starts == 2 && refreshes < 2) {
      KVUIController::RefreshDeviceInfo();
      if (++refreshes == 2) refreshed.set_value();
    }
    // A window repaints now and then, not in a tight loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_LT(Clock::now(), deadline);
  }
  EXPECT_EQ(refreshes, 2u);
  EXPECT_GT(roundsAfterRefresh, 0u);
  ASSERT_EQ(started_, volumes_);
  ASSERT_NE(model_.GetStorageByDiskVolumeIndex(0, 1), volumes_[1]) << "the second volume came from an old list";

  // Every file The Sleuth Kit lists was found and indexed once.
  const auto roots = scan_.GetFileSystemNode();
  ASSERT_EQ(roots.size(), 2u);
  for (int volume = 0; volume < 2; ++volume) {
    EXPECT_EQ(Names(FilesBelow(roots[volume])), FlsFiles(dir_ / ("p" + std::to_string(volume + 1) + ".fls")));
  }
  EXPECT_EQ(scan_.GetScanFileCnt(), FilesBelow(roots[0]).size() + FilesBelow(roots[1]).size());

  // A file of the second volume copies out identical (to what mtools wrote
  // into it) through the devices the controller kept.
  KVUIController::UnselectedAllNodes();
  const auto files = FilesBelow(roots[1]);
  const auto note = std::find_if(files.begin(), files.end(),
                                 [](IFileNode* node) { return OpNodeData::fileNodeName(node) == "Note 03-042.txt"; });
  ASSERT_NE(note, files.end());
  OpNodeData::setFileNodeWithState(*note, 2);
  testsupport::TempDir out;
  ASSERT_EQ(KVUIController::DoRecovery(QString::fromStdString(out.path().string()), "FatDiskRecovered"), 0u);
  ASSERT_TRUE(Await([this] { return !recovery_.IsWorkerRunning() && !recovery_.IsPollerRunning(); }));
  EXPECT_EQ(KVUIController::GetRecoveridedFiles(), 1u);
  std::string copied;
  for (const auto& entry : fs::recursive_directory_iterator(out.path())) {
    if (entry.path().filename() == "Note 03-042.txt") copied = peers::ReadText(entry.path());
  }
  EXPECT_EQ(copied, "note 042 of Letters 03 on partition 2\n");
  RecordProperty("walk_rounds", static_cast<int>(rounds));
}

TEST_F(FatDisk, APausedScanIsSearchedOverItsFilesSoFarAndATickDoesNotWaitForTheSearch) {
  ASSERT_NO_FATAL_FAILURE(UseFixtureDisk());
  if (IsSkipped()) return;
  // Paused twice as a user would: before the second volume (only the first
  // one's files are found) and once its files are in too.
  std::atomic<int> pauses{0};
  const auto pause = [this, &pauses] {
    scan_.PauseOrResumeOperation();
    ++pauses;
    scan_.Continued();  // parked as the engine parks
  };
  std::atomic<int> starts{0};
  before_ = [&](IStorageDevice*) {
    if (++starts == 2) pause();
  };
  after_ = [&](IStorageDevice*) {
    if (starts == 2) pause();
  };
  std::atomic<size_t> marked{0}, total{1};
  scan_.SetSearchProbe([&](size_t done, size_t all) {
    total = all;
    marked = done;
  });
  const auto search = [&](const QString& key) {
    marked = 0;
    total = 1;
    EXPECT_TRUE(KVUIController::DoSearchWithString(key, "FatDiskSearched"));
    EXPECT_TRUE(Await([&] { return marked == total; }));
    std::vector<IFileNode*> found;
    KVUIController::GetSearchResultToArr(&found);
    KVUIController::StopSearch();
    return Names(found);
  };
  const std::string key = "ENTRY number 01";
  const auto first = FilesNamed(Expectations(0).string() + ".expect.tsv", key);
  const auto second = FilesNamed(Expectations(1).string() + ".expect.tsv", key);
  ASSERT_EQ(first.size(), 10u);

  ASSERT_TRUE(KVUIController::DoScanWithDiskIndex(0, -1, "FatDiskScanned"));
  ASSERT_TRUE(Await([&] { return pauses == 1 && KVUIController::IsPause(); }));
  EXPECT_EQ(search(QString::fromStdString(key)), first);
  KVUIController::PauseOrResumeScan();

  ASSERT_TRUE(Await([&] { return pauses == 2 && KVUIController::IsPause(); }));
  std::multiset<std::string> both = first;
  both.insert(second.begin(), second.end());
  // Held after its first batch of marks: the main thread ticks, walks and
  // asks the scan's state meanwhile. A watchdog lets the search go on after
  // ten seconds, so a tick that waited for it would end the test in failure.
  std::promise<void> release;
  const std::shared_future<void> go = release.get_future().share();
  std::atomic<bool> held{false}, watchdog{false};
  std::atomic<size_t> heldAt{0};
  scan_.SetSearchProbe([&](size_t done, size_t all) {
    if (!held) {
      heldAt = done;
      held = true;
      go.wait();
    }
    total = all;
    marked = done;
  });
  marked = 0;
  total = 1;
  ASSERT_TRUE(KVUIController::DoSearchWithString(QString::fromStdString(key), "FatDiskSearched"));
  ASSERT_TRUE(Await([&] { return held.load(); }));
  std::thread guard([&] {
    if (go.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
      watchdog = true;
      release.set_value();
    }
  });
  const auto tickStart = Clock::now();
  const auto roots = scan_.GetFileSystemNode();
  ASSERT_EQ(roots.size(), 2u);
  OpNodeData::setFileNodeWithState(roots[1], 2);
  EXPECT_TRUE(KVUIController::IsScanRunning());
  KVRowArray rows;
  KVUIController::SetViewType(KVViewPath);
  KVUIController::GetScanTreeNodeData(&rows, 0);
  const double tickSeconds = std::chrono::duration<double>(Clock::now() - tickStart).count();
  const bool searchStillHeld = !watchdog;
  if (!watchdog) release.set_value();
  guard.join();
  EXPECT_TRUE(searchStillHeld) << "the tick waited for the search to end";
  EXPECT_EQ(heldAt.load(), KVUIScan::kSearchBatch) << "held half-way, after the first batch";
  EXPECT_LT(tickSeconds, 5.0);
  RecordProperty("tick_during_search_us", static_cast<int>(tickSeconds * 1e6));
  ASSERT_TRUE(Await([&] { return marked == total; }));
  std::vector<IFileNode*> found;
  KVUIController::GetSearchResultToArr(&found);
  KVUIController::StopSearch();
  EXPECT_EQ(Names(found), both);
  EXPECT_EQ(rows.size(), 2u);

  // Resumed, the window searches with no key: every file shows again.
  KVUIController::PauseOrResumeScan();
  scan_.SetSearchProbe([&](size_t done, size_t all) {
    total = all;
    marked = done;
  });
  EXPECT_TRUE(search("").empty()) << "no key, no result list";
  ASSERT_TRUE(Await([] { return !KVUIController::IsScanRunning(); }));
  for (IFilesystemNode* root : scan_.GetFileSystemNode()) {
    for (IFileNode* file : FilesBelow(root)) EXPECT_TRUE(OpNodeData(file).IsShow());
  }
}

TEST_F(FatDisk, AStartWhileTheLastScanStopsBeginsOnceItHasStopped) {
  ASSERT_NO_FATAL_FAILURE(UseFixtureDisk());
  if (IsSkipped()) return;
  // The first scan's worker stays on after its engine returned, as a scan
  // reading a failing disk would, until the gate opens.
  std::promise<void> gate;
  std::atomic<int> ends{0};
  after_ = [&, open = gate.get_future().share()](IStorageDevice*) {
    if (++ends == 1) open.wait();
  };
  ASSERT_TRUE(KVUIController::DoScanWithDiskIndex(0, 0, "FirstScan"));
  ASSERT_TRUE(Await([&] { return ends == 1; }));
  EXPECT_GT(scan_.GetScanFileCnt(), 0u);
  KVUIController::StopScan(1);
  EXPECT_EQ(scan_.GetStatus(), KVOperationStopping);

  ASSERT_TRUE(KVUIController::DoScanWithDiskIndex(0, 1, "SecondScan")) << "queued, not refused";
  EXPECT_TRUE(KVUIController::IsScanRunning());
  EXPECT_FALSE(KVUIController::IsPause());
  EXPECT_EQ(scan_.GetScanFileCnt(), 0u) << "the stopping scan's files are no longer shown";
  EXPECT_TRUE(scan_.GetFileSystemNode().empty());
  EXPECT_FALSE(KVUIController::DoScanWithDiskIndex(0, 0, "ThirdScan")) << "a scan is under way";
  KVUIController::RefreshDeviceInfo();
  KVUIController::RefreshDeviceInfo();
  gate.set_value();
  ASSERT_TRUE(Await([] { return !KVUIController::IsScanRunning(); })) << "the queued scan never ended";

  EXPECT_EQ(started_, volumes_);
  const auto roots = scan_.GetFileSystemNode();
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(Names(FilesBelow(roots[0])), FilesNamed(Expectations(1).string() + ".expect.tsv", ""));
  EXPECT_EQ(scan_.GetScanFileCnt(), FilesBelow(roots[0]).size());

  // The next scan starts from nothing, not from the last one's 100 %.
  double percent = 0;
  KVUIController::GetScanProgress(&percent, nullptr);
  EXPECT_EQ(percent, 100.0);
  ASSERT_TRUE(KVUIController::DoScanWithDiskIndex(0, 0, "FourthScan"));
  KVUIController::GetScanProgress(&percent, nullptr);
  EXPECT_EQ(percent, 0.0);
  ASSERT_TRUE(Await([] { return !KVUIController::IsScanRunning(); }));
}

// The results window asks for the next scan or load once the last one has
// ended: it drops its rows, asks, and makes rows again at once (the window
// that shows a load is made right after the request) and on every news
// while the new run's worker lets the last result's nodes go. The rows made
// at once hold none of the last result's nodes: the tree lock is held from
// before the request to after those rows, so the last result stays in
// memory meanwhile and no new node can take the address of an old one. The
// progress no longer tells of the last run, and the recovery no longer names
// the last file it copied once the nodes have gone. The rows made while the
// run goes never touch a released node (the sanitizer builds check that).
TEST_F(FatDisk, RowsMadeRightAfterTheNextScanOrLoadIsAskedForHoldNothingOfTheLastResult) {
  ASSERT_NO_FATAL_FAILURE(UseFixtureDisk());
  if (IsSkipped()) return;
  KVSaveAndRestoreNodeOperate saver;
  KVUIController::UseSaveDevices(&model_);
  KVUIController::UseSaveOperation(&saver);
  const std::shared_ptr<void> unhook(nullptr, [](void*) {
    KVUIController::UseSaveDevices(nullptr);
    KVUIController::UseSaveOperation(nullptr);
  });
  KVRowArray pathRows, typeRows, dateRows;
  size_t round = 0;
  const auto idle = [](KVUIOperation& operation) {
    return Await([&] { return !operation.IsWorkerRunning() && !operation.IsPollerRunning(); });
  };
  // Rows on every round while the run goes, and once more when it has ended.
  const auto browse = [&] {
    const auto deadline = Clock::now() + std::chrono::minutes(2);
    while (KVUIController::IsScanRunning()) {
      WalkAndTick(pathRows, typeRows, dateRows, round++);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ASSERT_LT(Clock::now(), deadline);
    }
    ASSERT_TRUE(idle(scan_));
    WalkAndTick(pathRows, typeRows, dateRows, round++);
    const std::vector<IFilesystemNode*> roots = scan_.GetFileSystemNode();
    ASSERT_EQ(roots.size(), 1u);
    ASSERT_EQ(pathRows.size(), 1u);
    ASSERT_EQ(pathRows.front()->fileNode(), roots.front());
  };
  const auto askAndWalk = [&](const std::function<bool()>& ask) {
    const std::set<const IFileNode*> last = TreeNodes(scan_.GetFileSystemNode());
    ASSERT_GT(last.size(), 1u);
    for (KVRowArray* rows : {&pathRows, &typeRows, &dateRows}) rows->clear();
    NodeTreeGuard held;
    ASSERT_TRUE(ask());
    EXPECT_TRUE(scan_.GetFileSystemNode().empty());
    EXPECT_TRUE(scan_.GetTypeMap().empty());
    EXPECT_EQ(scan_.GetScanFileCnt(), 0u);
    EXPECT_NE(scan_.GetProgressInfo().status, PROGRESS_STATUS_FINISHED) << "the last run's end";
    WalkAndTick(pathRows, typeRows, dateRows, round++);
    std::set<const IFileNode*> shown;
    for (KVRowArray* rows : {&pathRows, &typeRows, &dateRows}) {
      for (const auto& row : *rows) CollectRowNodes(row.get(), shown);
    }
    for (const IFileNode* node : shown) ASSERT_EQ(last.count(node), 0u) << "a row holds a node of the last result";
  };

  ASSERT_TRUE(KVUIController::DoScanWithDiskIndex(0, 0, "FirstScan"));
  ASSERT_NO_FATAL_FAILURE(browse());
  const std::multiset<std::string> firstFiles = Names(FilesBelow(scan_.GetFileSystemNode().front()));
  EXPECT_EQ(firstFiles, FilesNamed(Expectations(0).string() + ".expect.tsv", ""));
  const fs::path saved = dir_ / "first.rsf";
  ASSERT_TRUE(KVUIController::beginSaveOrRestoreNode(1, QString::fromStdString(saved.string())));
  ASSERT_TRUE(idle(saver));
  uint64_t total = 0, current = 0, error = 1;
  KVUIController::GetSaveorRestoreProgress(&total, &current, &error, 1);
  ASSERT_EQ(error, 0u);
  // One file copied out: the recovery names it until the next scan lets
  // the nodes go.
  KVUIController::UnselectedAllNodes();
  const std::vector<IFileNode*> files = FilesBelow(scan_.GetFileSystemNode().front());
  ASSERT_FALSE(files.empty());
  OpNodeData::setFileNodeWithState(files.front(), 2);
  testsupport::TempDir out;
  ASSERT_EQ(KVUIController::DoRecovery(QString::fromStdString(out.path().string()), "Recovered"), 0u);
  ASSERT_TRUE(idle(recovery_));
  EXPECT_EQ(KVUIController::GetRecoveryProgressTotal(nullptr, nullptr, nullptr),
            OpNodeData::fileNodeName(files.front()));
  // Asked on the worker once the last controller has gone, before the scan.
  std::atomic<int> namedAfterRelease{-1};
  before_ = [&](IStorageDevice*) {
    if (namedAfterRelease < 0) namedAfterRelease = recovery_.GetCurrentRecoveryNode() != nullptr ? 1 : 0;
  };

  ASSERT_NO_FATAL_FAILURE(askAndWalk([] { return KVUIController::DoScanWithDiskIndex(0, 1, "SecondScan"); }));
  ASSERT_NO_FATAL_FAILURE(browse());
  EXPECT_EQ(namedAfterRelease.load(), 0) << "the recovery still named a released node";
  EXPECT_EQ(Names(FilesBelow(scan_.GetFileSystemNode().front())),
            FilesNamed(Expectations(1).string() + ".expect.tsv", ""));

  ASSERT_NO_FATAL_FAILURE(askAndWalk([&] {
    if (!KVUIController::beginSaveOrRestoreNode(0, QString::fromStdString(saved.string()))) return false;
    KVUIController::GetSaveorRestoreProgress(&total, &current, &error, 0);
    EXPECT_FALSE(total > 0 && current >= total) << "the load looks over as soon as it is asked for";
    return true;
  }));
  ASSERT_NO_FATAL_FAILURE(browse());
  KVUIController::GetSaveorRestoreProgress(&total, &current, &error, 0);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(Names(FilesBelow(scan_.GetFileSystemNode().front())), firstFiles);
  RecordProperty("walk_rounds", static_cast<int>(round));
}

}  // namespace
