// Loading and saving scan results on a stand-in machine with two blank
// disks: every load error the outcome table lists, each in the closing
// progress record; the device found where it was or by name; a save that
// cannot finish leaves no file; the controller's save and load methods with
// their notifications; quitting while a save or a load runs.
#include <gtest/gtest.h>
#include <zlib.h>

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include <QRegularExpression>

#include "DataRecovery.h"
#include "FileNode.h"
#include "QtTestSupport.h"
#include "ScanResultFiles.h"
#include "app/KVAppDelegate.h"
#include "app/KVQuitGuard.h"
#include "app/KVSaveAndRestoreNodeOperate.h"
#include "app/KVTimeMgr.h"
#include "app/KVTypeMgr.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "app/ScanResultSaveRestore.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "platform/NotificationCenter.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"
#include "support/ScratchWorkDir.h"

namespace {

namespace fs = std::filesystem;
namespace srr = SaveRestoreResult;
using namespace rsftest;

class BlankDisks : public testing::Test {
 protected:
  void SetUp() override {
    // Device numbers of the experimental range: nothing of the host's own
    // (its udev data) can mix in.
    for (const auto& [name, minor, mib] : {std::tuple{"sdr", 0u, 8u}, std::tuple{"sds", 16u, 16u}}) {
      const fs::path image = machine_ / (std::string(name) + ".img");
      devicetest::MakeSparseImage(image, uint64_t{mib} << 20);
      machine_.AddDisk({.name = name,
                        .major = 240,
                        .minor = minor,
                        .size512 = (uint64_t{mib} << 20) / 512,
                        .model = std::string("Stick ") + name[2]});
      machine_.SetNode(name, image);
    }
    model_.InitDeviceInfo();
    for (int i = 0; i < 2; ++i) {
      disks_[i] = model_.GetDiskStorageByIndex(i);
      ASSERT_NE(disks_[i], nullptr);
      ASSERT_TRUE(srr::DescribeDevice(disks_[i], model_, records_[i]));
    }
    ASSERT_EQ(records_[1].capacity, 16u << 20);
  }

  srr::OperationPara Para(const fs::path& path) {
    srr::OperationPara para;
    para.path = path.string();
    para.scan = &scan_;
    para.saver = &saver_;
    para.devices = &model_;
    return para;
  }
  // A load on this thread; the closing record must carry the outcome.
  uint64_t Load(const fs::path& path) {
    scan_.SetStatus(KVOperationRunning);
    const uint64_t code = srr::Static_RestoreScanResult(Para(path));
    const _PROGRESS_INFO last = scan_.GetProgressInfo();
    EXPECT_EQ(last.status, PROGRESS_STATUS_FINISHED);
    EXPECT_EQ(last.current, last.total);
    EXPECT_EQ(last.error, code);
    EXPECT_EQ(srr::LastLoadError(), code);
    scan_.SetStatus(KVOperationIdle);
    return code;
  }
  uint64_t Save(const fs::path& path) {
    saver_.SetStatus(KVOperationRunning);
    const uint64_t code = srr::Static_SaveScanResult(Para(path));
    const _PROGRESS_INFO last = saver_.GetProgressInfo();
    EXPECT_EQ(last.status, PROGRESS_STATUS_FINISHED);
    EXPECT_EQ(last.error, code);
    saver_.SetStatus(KVOperationIdle);
    return code;
  }
  // Only `keep` in the folder: no temporary file stays behind.
  void ExpectOnly(const fs::path& folder, const std::set<std::string>& keep) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, keep);
  }

  enumtest::FakeMachine machine_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  KVUIScan scan_{&model_};
  KVSaveAndRestoreNodeOperate saver_;
  IStorageDevice* disks_[2] = {};
  srr::DeviceRecord records_[2];
  testsupport::TempDir dir_;
};

// Two carved files and a folder under a RAW tree.
Bytes RawTrees() {
  FileRecord folder, photo, song;
  folder.id = 20, folder.folder = true, folder.runs = {}, folder.name = "JPG";
  photo.id = 21, photo.parent = 20, photo.name = "a.jpg", photo.runs = {{100, 20}};
  song.id = 22, song.parent = 1, song.name = "b.mp3";
  return NodesPayload({Section(1, 34, "Disk", {PartitionEntry(0)}, {folder.Encode(), photo.Encode(), song.Encode()})});
}

TEST_F(BlankDisks, EveryLoadErrorEndsInTheClosingRecord) {
  const srr::DeviceRecord& disk = records_[1];
  Bytes kind;
  srr::EncodeScanKind({2, 1}, kind);
  Bytes device;
  srr::EncodeDevice(disk, device);
  srr::DeviceRecord moved = disk;
  moved.capacity += 512;
  const auto file = [&](const std::string& name, const std::vector<std::pair<tagGUIDSIGN, Bytes>>& frames,
                        uint32_t status = 1) {
    WriteArchive(dir_ / name, frames, status);
    return dir_ / name;
  };
  const auto nodes = std::pair{srr::_frFileSystemNode, RawTrees()};
  const auto kindFrame = std::pair{srr::_frFileSystemSearchControllerList, kind};
  const auto deviceFrame = std::pair{srr::_frDiskDevice, device};

  EXPECT_EQ(Load(dir_ / "absent.rsf"), srr::kLoadCannotOpen);
  testsupport::WriteFile(dir_ / "text.rsf", std::string(400, 'x'));
  EXPECT_EQ(Load(dir_ / "text.rsf"), srr::kLoadBadHeader);
  EXPECT_EQ(Load(file("status0.rsf", Frames(disk, RawTrees()), 0)), srr::kLoadBadHeader);
  EXPECT_EQ(Load(file("status5.rsf", Frames(disk, RawTrees()), 5)), srr::kLoadBadHeader);
  Bytes flipped = testsupport::ReadFile(file("crc.rsf", Frames(disk, RawTrees())));
  flipped[40] ^= 1;  // in the description, under the check value
  testsupport::WriteFile(dir_ / "crc.rsf", flipped.data(), flipped.size());
  EXPECT_EQ(Load(dir_ / "crc.rsf"), srr::kLoadBadHeader);

  EXPECT_EQ(Load(file("nokind.rsf", {deviceFrame, nodes})), srr::kLoadBadScanKind);
  EXPECT_EQ(
      Load(file("kind9.rsf",
                {{srr::_frFileSystemSearchControllerList, Hex("09000000 02000000 01000000 00")}, deviceFrame, nodes})),
      srr::kLoadBadScanKind);
  EXPECT_EQ(Load(file("kindshort.rsf",
                      {{srr::_frFileSystemSearchControllerList, Hex("08000000 02000000")}, deviceFrame, nodes})),
            srr::kLoadBadScanKind);

  EXPECT_EQ(Load(file("nodevice.rsf", {kindFrame, nodes})), srr::kLoadBadDevice);
  const Bytes longName =
      U64(disk.capacity) + U32(1) + U32(uint32_t(-1)) + U32(uint32_t(-1)) + U32(4096) + Bytes(4096, 'd');
  EXPECT_EQ(Load(file("longname.rsf", {kindFrame, {srr::_frDiskDevice, longName}, nodes})), srr::kLoadBadDevice);
  EXPECT_EQ(
      Load(file("devshort.rsf", {kindFrame, {srr::_frDiskDevice, Bytes(device.begin(), device.end() - 1)}, nodes})),
      srr::kLoadBadDevice);

  EXPECT_EQ(Load(file("elsewhere.rsf", Frames(moved, RawTrees()))), srr::kLoadDeviceNotFound);

  EXPECT_EQ(Load(file("notrees.rsf", {kindFrame, deviceFrame})), srr::kLoadDamagedTrees);
  Bytes damaged = RawTrees();
  damaged[8] = 2;  // the section tag
  EXPECT_EQ(Load(file("damaged.rsf", Frames(disk, damaged))), srr::kLoadDamaged);
  EXPECT_EQ(srr::LastLoadDamage().unreadBytes, damaged.size() - 12) << "all after the root count and the tag";

  // Places: the disk as saved (its capacity, its own start) and its one tree
  // on all of it; anything else is a device laid out otherwise, and a place
  // frame cut short is a damaged device record.
  const auto placed = [&](uint64_t capacity, int64_t start, uint64_t sectors, const std::string& name = "Stick s") {
    auto frames = Frames(disk, RawTrees());
    frames.push_back({srr::_frVolumePlace, U32(20 + name.size()) + U64(0) + U64(capacity) + Text(name) + U64(1) +
                                               U64(start) + U64(sectors)});
    return frames;
  };
  const uint64_t sectors = (16u << 20) / 512;
  EXPECT_EQ(Load(file("bigger.rsf", placed((16u << 20) + 512, 0, sectors))), srr::kLoadDeviceChanged);
  EXPECT_EQ(Load(file("moved.rsf", placed(16u << 20, 2048, sectors - 2048))), srr::kLoadDeviceChanged);
  EXPECT_EQ(Load(file("resized.rsf", placed(16u << 20, 0, sectors - 1))), srr::kLoadDeviceChanged);
  EXPECT_EQ(Load(file("otherdisk.rsf", placed(16u << 20, 0, sectors, "Stick t"))), srr::kLoadDeviceChanged)
      << "another medium where the disk was";
  auto cut = placed(16u << 20, 0, sectors);
  cut.back().second.pop_back();
  EXPECT_EQ(Load(file("cutplace.rsf", cut)), srr::kLoadBadDevice);
  EXPECT_EQ(Load(file("placed.rsf", placed(16u << 20, 0, sectors))), 0u);
  EXPECT_EQ(scan_.GetFileSystemNode().size(), 1u);

  // Whole, the trees come back: a complete scan of the disk replays them
  // (the engine's searchers are made and ended without reading it).
  EXPECT_EQ(Load(file("good.rsf", Frames(disk, RawTrees()))), 0u);
  EXPECT_EQ(scan_.GetSavedStorage(), disks_[1]);
  EXPECT_TRUE(scan_.IsDeepScan());
  ASSERT_EQ(scan_.GetFileSystemNode().size(), 1u);
  EXPECT_EQ(scan_.GetFileSystemNode()[0]->GetSearcheType(), SEARCHER_TYPE_RAW);
  EXPECT_EQ(scan_.GetScanFileCnt(), 2u);
  IDataRecovery* copyOut = scan_.GetRecoveryController()->GetDataRecovery(SEARCHER_TYPE_RAW);
  ASSERT_NE(copyOut, nullptr) << "made from the saved partition records";
  copyOut->Release();
}

// Records that fit their frame but not the 16 MiB disk they are loaded on
// (32768 sectors of 512 bytes): each load shows what it can, ends with the
// damage code and says how many records it left out or cut.
TEST_F(BlankDisks, ImpossibleRecordsAreLeftOutOrCutAndCounted) {
  struct Case {
    const char* what;
    Bytes partition;
    FileRecord photo;
    uint64_t leftOut, cut, photoSize;  // photoSize: UINT64_MAX when it is left out
  };
  FileRecord photo;
  photo.id = 21, photo.parent = 20, photo.name = "a.jpg", photo.runs = {{100, 20}}, photo.size = 20 * 512;
  std::vector<Case> cases;
  cases.push_back({"sound", PartitionEntry(0), photo, 0, 0, 20 * 512});
  FileRecord big = photo;
  big.size = 20 * 512 + 1;
  cases.push_back({"a size above its runs", PartitionEntry(0), big, 0, 1, 20 * 512});
  big.size = 4'500'000'000'000'000;
  cases.push_back({"a size of petabytes", PartitionEntry(0), big, 0, 1, 20 * 512});
  FileRecord past = photo;
  past.runs = {{100, 20}, {32767, 2}};  // its second run ends one sector past the disk
  cases.push_back({"a run past the disk", PartitionEntry(0), past, 0, 1, 20 * 512});
  past.runs = {{-1, uint64_t{1} << 40}, {100, 20}};
  past.size = uint64_t{1} << 49;
  cases.push_back({"a hole larger than the disk", PartitionEntry(0), past, 0, 1, 0});
  FileRecord deleted = photo;
  deleted.deleted = 2;
  cases.push_back({"a deleted flag of 2", PartitionEntry(0), deleted, 1, 0, UINT64_MAX});
  // The partition and the two files placed through it go; the folder stays.
  cases.push_back({"a partition past the disk", PartitionEntry(0, 4, 32768), photo, 3, 0, UINT64_MAX});
  cases.push_back({"clusters of 0 sectors", PartitionEntry(0, 4, 0, 0), photo, 3, 0, UINT64_MAX});

  for (const Case& c : cases) {
    FileRecord folder, song;
    folder.id = 20, folder.folder = true, folder.runs = {}, folder.name = "JPG";
    song.id = 22, song.parent = 1, song.name = "b.mp3";
    const Bytes trees =
        NodesPayload({Section(1, 34, "Disk", {c.partition}, {folder.Encode(), c.photo.Encode(), song.Encode()})});
    WriteArchive(dir_ / "case.rsf", Frames(records_[1], trees));
    const bool sound = c.leftOut == 0 && c.cut == 0;
    EXPECT_EQ(Load(dir_ / "case.rsf"), sound ? 0u : srr::kLoadDamaged) << c.what;
    const srr::LoadDamage damage = srr::LastLoadDamage();
    EXPECT_EQ(damage.leftOut, c.leftOut) << c.what;
    EXPECT_EQ(damage.cut, c.cut) << c.what;
    EXPECT_EQ(damage.unreadBytes, 0u) << c.what;
    // A tree left with nothing to show is not shown.
    uint64_t photoSize = UINT64_MAX;
    const std::vector<IFilesystemNode*> roots = scan_.GetFileSystemNode();
    std::vector<IFileNode*> below(roots.begin(), roots.end());
    while (!below.empty()) {
      IFileNode* at = below.back();
      below.pop_back();
      for (IFileNode* child = at->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
        below.push_back(child);
        if (std::string(child->GetFileName()) == "a.jpg") photoSize = child->GetFileSize();
      }
    }
    EXPECT_EQ(photoSize, c.photoSize) << c.what;
  }
}

TEST_F(BlankDisks, TheDeviceIsFoundWhereItWasOrByNameFileSystemAndCapacity) {
  // A file without places: the first candidate is taken.
  const auto find = [this](const srr::DeviceRecord& record) {
    return srr::LoadedResultPlace(model_).Find(record, nullptr, nullptr, srr::ScanKindRecord{}).device;
  };
  const srr::DeviceRecord second = records_[1];
  srr::DeviceRecord record = second;
  EXPECT_EQ(find(record), disks_[1]);
  record.diskIndex = 0;  // the disks were listed in another order
  EXPECT_EQ(find(record), disks_[1]);
  record.diskIndex = 7;
  EXPECT_EQ(find(record), disks_[1]);
  record.capacity = records_[0].capacity;  // where the first disk is, but not it
  EXPECT_EQ(find(record), nullptr);
  record = records_[0];
  record.name = "another stick";  // same place and size, another medium
  EXPECT_EQ(find(record), nullptr);
  record.name.clear();  // no name saved: place and size decide
  EXPECT_EQ(find(record), disks_[0]);
  record.diskIndex = 1;
  EXPECT_EQ(find(record), nullptr) << "a record without a name never matches by name";
}

TEST_F(BlankDisks, ASaveWritesTheThreeFramesOrNoFileAtAll) {
  const fs::path out = dir_ / "out";
  fs::create_directories(out);
  EXPECT_EQ(Save(out / "none.rsf"), srr::kSaveNoDevice) << "nothing was scanned";
  EXPECT_EQ(Save(dir_ / "missing" / "a.rsf"), srr::kSaveCannotCreate);
  ExpectOnly(out, {});

  // A result without trees.
  WriteArchive(dir_ / "empty.rsf", Frames(records_[0], U64(0), 0));
  EXPECT_EQ(Load(dir_ / "empty.rsf"), 0u);
  EXPECT_FALSE(srr::LastLoadUnverified()) << "no tree to verify";
  EXPECT_EQ(scan_.GetSavedStorage(), disks_[0]);
  EXPECT_FALSE(scan_.IsDeepScan());
  EXPECT_EQ(Save(out / "empty.rsf"), 0u);
  const Bytes saved = testsupport::ReadFile(out / "empty.rsf");
  // The file as the layout has it: the header, the frames it promises (the
  // places, the identities, the check values), the three frames, then the
  // places (the disk itself, at its start), the identities (no tree) and
  // the check values of the six frames before them (zlib's CRC-32).
  const Bytes signature = Hex("EAF4B31C0543B64AB4B8244A33D913BB");
  ASSERT_EQ(saved.size(), 132u + 36 + 4 + 3 * 16 + 36 + 12 + 36 + 24 + 7 + 36 + 8 + 36 + 4 + 27 + 8 + 36 + 8 + 36 + 4 +
                              6 * 24 + 8 + 4);
  EXPECT_EQ(Bytes(saved.begin(), saved.begin() + 16), signature);
  EXPECT_EQ(Bytes(saved.begin() + 16, saved.begin() + 20), U32(5800));
  EXPECT_EQ(Bytes(saved.begin() + 24, saved.begin() + 28), U32(1)) << "status";
  EXPECT_EQ(Bytes(saved.begin() + 132, saved.begin() + 220),
            signature + Hex("C5F7287ADDC041D6B388FB81C7FE9FD4 34000000 03000000") +
                Hex("3E1B7A52C4094D8FB6215AE3904C17D8 60E86B770AD449EB97CB42F95D9F02EC"
                    "232DB331B2CF4579B7AE227FFEDB9C7A"));
  EXPECT_EQ(Bytes(saved.begin() + 220, saved.begin() + 268),
            signature + Hex("94639B4081F6884EA20F5D635782ED75 0C000000 08000000 00000000 00000000"));
  EXPECT_EQ(Bytes(saved.begin() + 268, saved.begin() + 335),
            signature + Hex("76A672B048058B46BA9E91093A63B517 1F000000") + U64(8 << 20) +
                Hex("00000000 FFFFFFFF FFFFFFFF 07000000 537469636B2072"));  // "Stick r"
  EXPECT_EQ(Bytes(saved.begin() + 335, saved.begin() + 379),
            signature + Hex("6CF208D28C07344E9D71D91F535F7B57 08000000 0000000000000000"));
  EXPECT_EQ(Bytes(saved.begin() + 379, saved.begin() + 454),
            signature + Hex("3E1B7A52C4094D8FB6215AE3904C17D8 27000000 1B000000 0000000000000000") + U64(8 << 20) +
                Text("Stick r") + U64(0));
  EXPECT_EQ(Bytes(saved.begin() + 454, saved.begin() + 498),
            signature + Hex("60E86B770AD449EB97CB42F95D9F02EC 08000000") + U64(0));
  Bytes checks = U32(6);
  for (const auto& [frame, end] :
       std::vector<std::pair<size_t, size_t>>{{132, 220}, {220, 268}, {268, 335}, {335, 379}, {379, 454}, {454, 498}}) {
    const Bytes payload(saved.begin() + long(frame) + 36, saved.begin() + long(end));
    checks = checks + Bytes(saved.begin() + long(frame) + 16, saved.begin() + long(frame) + 32) +
             U32(static_cast<uint32_t>(payload.size())) +
             U32(static_cast<uint32_t>(crc32(0, payload.data(), static_cast<uInt>(payload.size()))));
  }
  checks = checks + U64(0);
  checks = checks + U32(static_cast<uint32_t>(crc32(0, checks.data(), static_cast<uInt>(checks.size()))));
  EXPECT_EQ(Bytes(saved.begin() + 498, saved.end()),
            signature + Hex("232DB331B2CF4579B7AE227FFEDB9C7A") + U32(static_cast<uint32_t>(checks.size())) + checks);

  // Over an older file: a failed save leaves it as it was.
  ASSERT_EQ(Load(dir_ / "empty.rsf"), 0u);
  WriteArchive(dir_ / "raw.rsf", Frames(records_[1], RawTrees()));
  ASSERT_EQ(Load(dir_ / "raw.rsf"), 0u);
  EXPECT_TRUE(srr::LastLoadUnverified()) << "a file without identities: its trees' volume cannot be told";
  testsupport::WriteFile(out / "old.rsf", std::string("older"));
  const auto child = testsupport::RunInChild([&] {
    // Files may not grow past 388 bytes: the trees frame runs into it.
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{388, 388};
    setrlimit(RLIMIT_FSIZE, &limit);
    saver_.SetStatus(KVOperationRunning);
    return static_cast<int>(srr::Static_SaveScanResult(Para(out / "old.rsf")));
  });
  ASSERT_TRUE(WIFEXITED(child.status));
  EXPECT_EQ(WEXITSTATUS(child.status), static_cast<int>(srr::kSaveWriteFailed));
  ExpectOnly(out, {"empty.rsf", "old.rsf"});
  EXPECT_EQ(testsupport::ReadFile(out / "old.rsf"), (Bytes{'o', 'l', 'd', 'e', 'r'}));

  // The same save with room: the loaded trees saved again load the same,
  // their volume told by what its data area holds.
  EXPECT_EQ(Save(out / "old.rsf"), 0u);
  ExpectOnly(out, {"empty.rsf", "old.rsf"});
  ASSERT_EQ(Load(out / "old.rsf"), 0u);
  EXPECT_FALSE(srr::LastLoadUnverified());
  ASSERT_EQ(scan_.GetFileSystemNode().size(), 1u);
  EXPECT_EQ(scan_.GetScanFileCnt(), 2u);
}

// The windows' way: the controller starts the run, the poller posts the
// progress name and then "QueryProgressFinish", and the outcome is read.
TEST_F(BlankDisks, TheControllerLoadsAndSavesWithTheirNotifications) {
  qttest::App();
  KVUIController::UseScan(&scan_);
  KVUIController::UseSaveDevices(&model_);
  KVUIController::UseSaveOperation(&saver_);
  std::vector<std::string> posts;
  QObject owner;
  for (const char* name : {"NormalScranValue", "QueryProgressInfo", "QueryProgressFinish"}) {
    platform::NotificationCenter::DefaultCenter().AddObserver(
        name, &owner, [&posts, name](const platform::Notification&) { posts.push_back(name); });
  }
  const auto run = [&](int save, const fs::path& path) {
    posts.clear();
    const bool started = KVUIController::beginSaveOrRestoreNode(save, QString::fromStdString(path.string()));
    EXPECT_TRUE(qttest::PumpUntil([&] { return !posts.empty() && posts.back() == "QueryProgressFinish"; }));
    uint64_t total = 0, current = 0, error = 0;
    KVUIController::GetSaveorRestoreProgress(&total, &current, &error, save);
    EXPECT_EQ(current, total);
    return std::pair{started, error};
  };
  WriteArchive(dir_ / "raw.rsf", Frames(records_[1], RawTrees()));
  EXPECT_EQ(run(0, dir_ / "raw.rsf"), std::pair(true, uint64_t{0}));
  // News under the window's name while the load runs (none when it is over
  // before the first look), then the end.
  const auto newsThenEnd = [&posts](const std::string& name) {
    if (posts.empty()) return false;
    std::vector<std::string> expected(posts.size() - 1, name);
    expected.push_back("QueryProgressFinish");
    return posts == expected;
  };
  EXPECT_TRUE(newsThenEnd("NormalScranValue"));
  EXPECT_EQ(scan_.GetScanFileCnt(), 2u);
  EXPECT_EQ(run(0, dir_ / "absent.rsf"), std::pair(true, srr::kLoadCannotOpen));

  KVUIController::RestorPostUIUpdate("QueryProgressInfo", 1);
  WriteArchive(dir_ / "raw.rsf", Frames(records_[1], RawTrees()));
  ASSERT_EQ(run(0, dir_ / "raw.rsf").second, 0u);
  // A load lets the last result go as it is asked for: a window reading the
  // scan meanwhile finds nothing that the load will free, and no record
  // that says the load is over.
  ASSERT_EQ(scan_.GetScanFileCnt(), 2u);
  posts.clear();
  ASSERT_TRUE(KVUIController::beginSaveOrRestoreNode(0, QString::fromStdString((dir_ / "raw.rsf").string())));
  EXPECT_EQ(scan_.GetScanFileCnt(), 0u);
  EXPECT_TRUE(scan_.GetFileSystemNode().empty());
  // None, or the load's own first step if its worker is that quick.
  uint64_t total = 1, current = 1, error = 1;
  KVUIController::GetSaveorRestoreProgress(&total, &current, &error, 0);
  EXPECT_TRUE(total == 0 || current < total) << current << " of " << total;
  EXPECT_EQ(error, 0u);
  ASSERT_TRUE(qttest::PumpUntil([&] { return !posts.empty() && posts.back() == "QueryProgressFinish"; }));
  EXPECT_EQ(scan_.GetScanFileCnt(), 2u);
  EXPECT_EQ(run(1, dir_ / "saved.rsf"), std::pair(true, uint64_t{0}));
  EXPECT_TRUE(newsThenEnd("QueryProgressInfo"));
  EXPECT_TRUE(fs::exists(dir_ / "saved.rsf"));

  // A load or a save while a scan runs is refused at once, and says so.
  scan_.SetStatus(KVOperationRunning);
  EXPECT_EQ(run(0, dir_ / "raw.rsf"), std::pair(false, srr::kLoadRefused));
  EXPECT_EQ(posts, std::vector<std::string>{"QueryProgressFinish"});
  EXPECT_EQ(run(1, dir_ / "during.rsf"), std::pair(false, srr::kSaveRefused));
  EXPECT_FALSE(fs::exists(dir_ / "during.rsf"));
  scan_.SetStatus(KVOperationIdle);

  KVUIController::UseScan(nullptr);
  KVUIController::UseSaveDevices(nullptr);
  KVUIController::UseSaveOperation(nullptr);
}

bool Await(const std::atomic<bool>& done) {
  for (int i = 0; i < 30000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done;
}

// A save whose first look at whether to go on (before its first tree, its
// file half-written) waits until it is stopped.
class HeldSaver final : public KVSaveAndRestoreNodeOperate {
 public:
  int Continued() override {
    held = true;
    while (GetStatus() != KVOperationStopping) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return KVSaveAndRestoreNodeOperate::Continued();
  }
  std::atomic<bool> held{false};
};

// A load whose first report waits until released.
class HeldScan final : public KVUIScan {
 public:
  using KVUIScan::KVUIScan;
  int UpdateProgress(_PROGRESS_INFO* info) override {
    held = true;
    while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return KVUIScan::UpdateProgress(info);
  }
  std::atomic<bool> held{false}, released{false};
};

// The quit guard's hooks, whose question waits for the test's answer and
// whose end of the process only stops a save, as the real one does first.
struct Quitting {
  Quitting() {
    KVAppDelegate::Hooks hooks;
    KVQuitGuard::Install(hooks, [this](const QString& stem, std::function<void(bool)> reply) {
      asked.push_back(stem.toStdString());
      answer = std::move(reply);
    });
    hooks.closeApp = [this] { closed = KVUIController::StopSave(std::chrono::seconds(30)); };
    delegate = std::make_unique<KVAppDelegate>(std::move(hooks));
  }
  std::vector<std::string> asked;
  std::function<void(bool)> answer;
  std::optional<bool> closed;
  std::unique_ptr<KVAppDelegate> delegate;
};

// Quitting while a save writes asks; the save goes on meanwhile (it cannot
// be paused) and after a no. A yes stops it: no part of its file is left,
// and the older file of its name stays as it was.
TEST_F(BlankDisks, QuittingDuringASaveAsksAndLeavesNoPartOfTheFile) {
  WriteArchive(dir_ / "raw.rsf", Frames(records_[1], RawTrees()));
  ASSERT_EQ(Load(dir_ / "raw.rsf"), 0u);
  const fs::path out = dir_ / "out";
  fs::create_directories(out);
  testsupport::WriteFile(out / "old.rsf", std::string("older"));
  HeldSaver saver;
  KVUIController::UseScan(&scan_);
  KVUIController::UseSaveDevices(&model_);
  KVUIController::UseSaveOperation(&saver);
  Quitting quit;
  ASSERT_TRUE(KVUIController::beginSaveOrRestoreNode(1, QString::fromStdString((out / "old.rsf").string())));
  ASSERT_TRUE(Await(saver.held));
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2) << "half-written beside";
  for (const bool yes : {false, true}) {
    EXPECT_FALSE(quit.delegate->applicationShouldTerminate());
    EXPECT_EQ(quit.asked.back(), "QUIT_SAVE_STOP");
    EXPECT_EQ(saver.GetStatus(), KVOperationRunning) << "a save is not paused";
    quit.answer(yes);
  }
  EXPECT_EQ(quit.closed, std::optional<bool>(true));
  ExpectOnly(out, {"old.rsf"});
  EXPECT_EQ(testsupport::ReadFile(out / "old.rsf"), (Bytes{'o', 'l', 'd', 'e', 'r'}));
  uint64_t total = 0, current = 0, error = 0;
  KVUIController::GetSaveorRestoreProgress(&total, &current, &error, 1);
  EXPECT_EQ(error, srr::kSaveStopped);
  KVUIController::UseScan(nullptr);
  KVUIController::UseSaveDevices(nullptr);
  KVUIController::UseSaveOperation(nullptr);
}

// A load runs as the scan: quitting asks about the load and pauses it; a
// no goes on with it, and it ends whole.
TEST_F(BlankDisks, QuittingDuringALoadAsksAboutTheLoadAndPausesIt) {
  WriteArchive(dir_ / "raw.rsf", Frames(records_[1], RawTrees()));
  HeldScan scan(&model_);
  KVUIController::UseScan(&scan);
  KVUIController::UseSaveDevices(&model_);
  Quitting quit;
  ASSERT_TRUE(KVUIController::beginSaveOrRestoreNode(0, QString::fromStdString((dir_ / "raw.rsf").string())));
  ASSERT_TRUE(Await(scan.held));
  EXPECT_FALSE(quit.delegate->applicationShouldTerminate());
  EXPECT_EQ(quit.asked, std::vector<std::string>{"QUIT_LOAD_STOP"});
  EXPECT_TRUE(KVUIController::IsPause());
  quit.answer(false);
  EXPECT_FALSE(KVUIController::IsPause());
  scan.released = true;
  EXPECT_TRUE(scan.WaitForThreads(std::chrono::seconds(30)));
  EXPECT_EQ(scan.GetScanFileCnt(), 2u);
  EXPECT_EQ(KVQuitGuard::Running(), KVQuitGuard::kNone);
  KVUIController::UseScan(nullptr);
  KVUIController::UseSaveDevices(nullptr);
}

TEST(SaveFolderAndName, TheDefaultFolderIsMadeOnceAndTheNameIsASafeFileName) {
  qttest::App();
  platform::Resources::SetRoot(QString::fromStdString((testsupport::SourceDir() / "resources").string()));
  platform::UserDefaults::Standard().SetPreferredLanguages({"en"});
  platform::Resources::ReloadStrings();
  const QString folder = KVUIController::GetDefaultSavePath();
  EXPECT_EQ(folder, QString::fromStdString((testsupport::ScratchWorkDir() / "SaveScan").string()));
  EXPECT_TRUE(fs::is_directory(folder.toStdString()));
  EXPECT_EQ(KVUIController::GetDefaultSavePath(), folder) << "an existing folder is no failure";
  KVUIController::SavePathToPList("/media/stick/scans");
  EXPECT_EQ(KVUIController::GetSavePath(), "/media/stick/scans");
  // Nothing scanned yet: the untitled name and the local time.
  const QString name = KVUIController::GetSaveFileName();
  EXPECT_TRUE(QRegularExpression("^Untitled_\\d\\d-\\d\\d-\\d{4} at \\d\\d_\\d\\d_\\d\\d$").match(name).hasMatch())
      << name.toStdString();
  platform::UserDefaults::Standard().Remove(platform::UserDefaults::kPreferredLanguagesKey);
  platform::Resources::SetRoot(QString());
}

}  // namespace
