// A real scan of a fixture image saved through the controller, then loaded
// in a process of its own (rsf_load_probe): the loaded result holds the same
// trees, nodes (names, sizes, times, deleted flags, runs), every folder's
// children in the same order, and partition records as the scan, the files
// copied out of it through the recovery operation are byte for byte those
// copied out of the scan, and every file whose original the fixture knows is
// among them. Loaded here as well, every
// tree is begun, finished and shown once, and every HFS+ node reads through
// the volume it was found in. The image is unchanged.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <ranges>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "DirecotryTreeBuilder.h"
#include "FileNode.h"
#include "QtTestSupport.h"
#include "ScanResultDump.h"
#include "app/KVSaveAndRestoreNodeOperate.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "app/RestoreFileNode.h"
#include "app/ScanResultSaveRestore.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "platform/NotificationCenter.h"
#include "scan/CRecoveryController.h"
#include "support/Conformance.h"
#include "support/ScratchWorkDir.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ShellQuote;

struct Fixture {
  const char* env;     // the variable that may name the folder
  const char* folder;  // else the build tree's
  const char* script;  // tests/fixtures/<fs>/...
};

// The folder of the fixture's images, made when needed; empty with `why`
// when they cannot be made here.
fs::path Images(const Fixture& fixture, std::string& why) {
  const fs::path dir = conformance::FixtureDir(fixture.env, fs::path(CLIPMENDER_BUILD_FIXTURES) / fixture.folder);
  why = conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures" / fixture.script, dir);
  return dir;
}

const Fixture kNtfs{"CLIPMENDER_NTFS_FIXTURES", "ntfs", "ntfs/make-ntfs-images.sh"};
const Fixture kFat{"CLIPMENDER_FAT_FIXTURES", "fat", "fat/make-fat-images.sh"};
const Fixture kExFat{"CLIPMENDER_EXFAT_FIXTURES", "exfat", "exfat/make-exfat-images.sh"};
const Fixture kRaw{"CLIPMENDER_RAW_FIXTURES", "raw", "raw/make-raw-images.sh"};
const Fixture kRecycle{"CLIPMENDER_RECYCLE_FIXTURES", "recycle", "recycle/make-recycle-images.sh"};
const Fixture kHfsPlus{"CLIPMENDER_HFSPLUS_FIXTURES", "hfsplus-quick", "hfsplus/make-hfsplus-images.sh"};

// The engine's tree builder, counting the trees begun and finished by
// searcher.
struct TreeCounts {
  std::map<int, int> begun, finished;
};
class CountingBuilder final : public IDirecotryTreeBuilder {
 public:
  CountingBuilder(IDirecotryTreeBuilder* inner, TreeCounts& counts) : inner_(inner), counts_(counts) {}
  int Initialize(const char* name, IDrirectoryTree* tree, IRecoveryFilter* filter) override {
    return inner_->Initialize(name, tree, filter);
  }
  int AddNode(IFileNode* node, _tagSearcherType type) override { return inner_->AddNode(node, type); }
  int AddSearcherInfo(_tagSearcherType type, int64_t root) override {
    ++counts_.begun[type];
    return inner_->AddSearcherInfo(type, root);
  }
  void FlashBuild(_tagSearcherType type) override {
    ++counts_.finished[type];
    inner_->FlashBuild(type);
  }
  void Release() override {
    inner_->Release();
    delete this;
  }
  void SetPartitonDevice(CSearchedPartitionInfo* p, IStorageDevice* d) override { inner_->SetPartitonDevice(p, d); }
  void SetPartitionSource(_tagSearcherType t, IFileSystemSearchController* s) override {
    inner_->SetPartitionSource(t, s);
  }

 private:
  IDirecotryTreeBuilder* inner_;
  TreeCounts& counts_;
};

// The path of `node` below its tree's root, as expectation files write it.
std::string PathBelowRoot(IFileNode* node) {
  std::string path = node->GetFileName();
  for (IFileNode* at = node->GetParent(); at != nullptr && at->GetParent() != nullptr; at = at->GetParent())
    path = std::string(at->GetFileName()) + "/" + path;
  return path;
}

// The engine's controllers, with counting builders.
KVUIScan::ControllerFactory Counted(std::list<TreeCounts>& builders) {
  return [&builders](_RECOVERY_CONTROLLER_TYPE kind) {
    IRecoveryController* controller = CreateRecoveryController(kind);
    RecoveryControllerParts parts;
    parts.makeTreeBuilder = [&builders](bool restoring) -> IDirecotryTreeBuilder* {
      return new CountingBuilder(CreateTreeBuilder(restoring), builders.emplace_back());
    };
    dynamic_cast<CRecoveryControllerBase&>(*controller).SetParts(parts);
    return controller;
  };
}

class SavedAndLoaded : public testing::Test {
 protected:
  void SetUp() override { qttest::App(); }

  // An MBR disk holding `image` as its one partition at 1 MiB.
  void PutOnDisk(const fs::path& image, const std::string& type) {
    devicetest::MakeSparseImage(disk_, fs::file_size(image) + (1 << 20));
    enumtest::MakeMbr(disk_, {"1 : start=2048, type=" + type});
    testsupport::RunCommandOrFail("dd if=" + ShellQuote(image.string()) + " of=" + ShellQuote(disk_.string()) +
                                  " bs=512 seek=2048 conv=notrunc,sparse status=none");
  }

  // Scans `pick`'s device, saves, loads in the probe and compares; the files
  // of `expect` with a checksum must come out of the loaded result.
  // `hfsStarts`: where (512-byte sectors) the HFS+ volume of each path lies.
  void RoundTrip(bool deep, bool wholeDisk, const fs::path& expect,
                 const std::map<std::string, int64_t>& hfsStarts = {}) {
    roots_.clear();
    machine_.AddDisk(
        {.name = "sdp", .major = 240, .minor = 48, .size512 = fs::file_size(disk_) / 512, .model = "Round trip"});
    machine_.SetNode("sdp", disk_);
    devicetest::ImageGuard guard(disk_);
    KVUIDeviceData model([this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); });
    model.InitDeviceInfo();
    IStorageDevice* device = model.GetStorageByDiskVolumeIndex(0, wholeDisk ? -1 : 0);
    ASSERT_NE(device, nullptr);
    KVUIScan scan(&model);
    scan.SetDeepScan(deep ? 1 : 0);
    scan.SetStatus(KVOperationRunning);
    ASSERT_FALSE(result::IsFailure(scan.DoScan(device, nullptr)));
    ASSERT_FALSE(scan.GetFileSystemNode().empty());

    // Saved as the results window saves.
    KVSaveAndRestoreNodeOperate saver;
    KVUIController::UseScan(&scan);
    KVUIController::UseSaveDevices(&model);
    KVUIController::UseSaveOperation(&saver);
    bool finished = false;
    QObject owner;
    platform::NotificationCenter::DefaultCenter().AddObserver(
        "QueryProgressFinish", &owner, [&finished](const platform::Notification&) { finished = true; });
    const fs::path file = work_ / "result.rsf";
    ASSERT_TRUE(KVUIController::beginSaveOrRestoreNode(1, QString::fromStdString(file.string())));
    ASSERT_TRUE(qttest::PumpUntil([&] { return finished; }, 600));
    uint64_t total = 0, current = 0, error = 1;
    KVUIController::GetSaveorRestoreProgress(&total, &current, &error, 1);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(current, total);
    saver.WaitForThreads(std::chrono::seconds(10));
    KVUIController::UseScan(nullptr);
    KVUIController::UseSaveDevices(nullptr);
    KVUIController::UseSaveOperation(nullptr);

    const std::string scanned = rsftest::DumpResult(scan);
    {
      // Loaded here too: the same, each tree begun and finished once (by the
      // replay, not again by a searcher), and each HFS+ node reads
      // compressed files through the volume it lies in.
      std::list<TreeCounts> builders;
      KVUIScan again(&model, Counted(builders));
      again.SetStatus(KVOperationRunning);
      SaveRestoreResult::OperationPara para;
      para.path = file.string();
      para.scan = &again;
      para.devices = &model;
      ASSERT_EQ(SaveRestoreResult::Static_RestoreScanResult(para), 0u);
      ExpectSameLines(scanned, rsftest::DumpResult(again));
      ASSERT_FALSE(builders.empty());
      for (const TreeCounts& counts : builders) {
        EXPECT_EQ(counts.finished, counts.begun) << "trees finished other than as begun";
        for (const auto& [type, times] : counts.begun) EXPECT_EQ(times, 1) << type;
      }
      std::set<int64_t> starts;
      for (IFilesystemNode* root : again.GetFileSystemNode()) {
        if (root->GetSearcheType() != SEARCHER_TYPE_HFSPLUS) continue;
        NodeTreeGuard held;
        for (std::vector<IFileNode*> below{root}; !below.empty();) {
          IFileNode* folder = below.back();
          below.pop_back();
          for (IFileNode* at = folder->GetFirstChild(); at != nullptr; at = at->GetNextNode()) {
            if (at->IsDirectory() != 0) below.push_back(at);
            auto* node = dynamic_cast<SaveRestoreResult::RestoreFileNode*>(at);
            const auto path = node != nullptr ? hfsStarts.find(PathBelowRoot(node)) : hfsStarts.end();
            if (path == hfsStarts.end()) continue;
            ASSERT_NE(node->GetHFSPlusVolume(), nullptr) << path->first;
            EXPECT_EQ(node->GetHFSPlusVolume()->StartSector() * device->GetSectorSize() / 512, path->second)
                << path->first;
            starts.insert(path->second);
          }
        }
      }
      EXPECT_EQ(starts.size(),
                std::set<int64_t>(std::views::values(hfsStarts).begin(), std::views::values(hfsStarts).end()).size());
    }
    for (IFilesystemNode* root : scan.GetFileSystemNode()) roots_.push_back(root->GetSearcheType());
    const fs::path fromScan = work_ / "from-scan", fromFile = work_ / "from-file";
    fs::create_directories(fromScan);
    fs::create_directories(fromFile);
    const uint64_t failedFromScan = rsftest::RecoverAll(scan, model, fromScan);

    // Loaded in a fresh process on the same machine.
    const auto probe =
        testsupport::RunCommand(ShellQuote(CLIPMENDER_LOAD_PROBE) + " " + ShellQuote(machine_.sys().string()) + " " +
                                ShellQuote(machine_.dev().string()) + " " +
                                ShellQuote((machine_ / "mountinfo").string()) + " " + ShellQuote(file.string()) + " " +
                                ShellQuote((work_ / "loaded.txt").string()) + " " + ShellQuote(fromFile.string()));
    ASSERT_EQ(probe.exitCode, 0) << probe.output;
    EXPECT_NE(probe.output.find("failed " + std::to_string(failedFromScan) + "\n"), std::string::npos) << probe.output;
    std::ifstream in(work_ / "loaded.txt");
    const std::string loaded((std::istreambuf_iterator<char>(in)), {});
    ExpectSameLines(scanned, loaded);

    const auto copies = conformance::HashAll(fromFile);
    EXPECT_EQ(Contents(copies), Contents(conformance::HashAll(fromScan)));
    EXPECT_GT(copies.size(), 3u);
    if (!expect.empty()) {
      std::multiset<std::string> got;
      for (const auto& [path, sha] : copies) got.insert(sha);
      size_t checked = 0;
      for (const conformance::Expected& e : conformance::ReadExpectations(expect)) {
        const std::string& sha = e.sha256.empty() ? e.peerSha256 : e.sha256;
        if (e.folder || sha.empty()) continue;
        const auto it = got.find(sha);
        EXPECT_NE(it, got.end()) << e.path << " was not copied out of the loaded result";
        if (it != got.end()) got.erase(it);
        ++checked;
      }
      EXPECT_GT(checked, 3u);
    }
  }

  // What was copied where, without the numbers that tell apart files of one
  // name: they follow the order the files come in, which a load need not
  // keep.
  static std::multiset<std::pair<std::string, std::string>> Contents(const std::map<std::string, std::string>& hashes) {
    static const std::regex clash("_[0-9]{4}(\\.[^./]*)?$");
    std::multiset<std::pair<std::string, std::string>> out;
    for (const auto& [path, sha] : hashes) out.emplace(std::regex_replace(path, clash, "$1"), sha);
    return out;
  }

  // The first lines that differ, when any do.
  static void ExpectSameLines(const std::string& scanned, const std::string& loaded) {
    std::istringstream a(scanned), b(loaded);
    std::string left, right;
    int line = 0;
    while (true) {
      const bool moreA = static_cast<bool>(std::getline(a, left));
      const bool moreB = static_cast<bool>(std::getline(b, right));
      ++line;
      if (!moreA && !moreB) break;
      ASSERT_EQ(moreA ? left : "<end>", moreB ? right : "<end>") << "line " << line;
    }
    EXPECT_GT(line, 5);
  }

  testsupport::TempDir work_;
  enumtest::FakeMachine machine_;
  std::vector<int> roots_;  // the searcher of each tree, in order
  fs::path disk_ = machine_ / "disk.img";
};

TEST_F(SavedAndLoaded, NtfsQuickScan) {
  std::string why;
  const fs::path images = Images(kNtfs, why);
  REQUIRE_OR_SKIP(why.empty(), why);
  PutOnDisk(images / "default.img", "7");
  RoundTrip(false, false, images / "default.img.expect.tsv");
}

TEST_F(SavedAndLoaded, FatQuickScan) {
  std::string why;
  const fs::path images = Images(kFat, why);
  REQUIRE_OR_SKIP(why.empty(), why);
  PutOnDisk(images / "f16.img", "6");
  RoundTrip(false, false, images / "f16.img.expect.tsv");
}

// Pictures copied onto a FAT volume and deleted: the complete scan finds
// them in the volume's tree and carves them; both trees come back.
TEST_F(SavedAndLoaded, CompleteScanWithCarvedPictures) {
  std::string why;
  const fs::path images = Images(kRaw, why);
  REQUIRE_OR_SKIP(why.empty(), why);
  PutOnDisk(images / "fat.img", "6");
  RoundTrip(true, false, {});
  EXPECT_EQ(roots_, (std::vector<int>{SEARCHER_TYPE_FAT, SEARCHER_TYPE_RAW}));
  // Every picture the carver must find comes out of the loaded result.
  std::multiset<std::string> got;
  for (const auto& [path, sha] : conformance::HashAll(work_ / "from-file")) got.insert(sha);
  std::ifstream carved(images / "fat.img.carve.tsv");
  size_t pictures = 0;
  for (std::string line; std::getline(carved, line); ++pictures) {
    const std::string sha = line.substr(line.find('\t', line.find('\t') + 1) + 1, 64);
    EXPECT_GE(got.count(sha), 1u) << line;
  }
  EXPECT_GT(pictures, 10u);
}

// Files in the recycle bin keep the names they had before, which the scan
// read from the bin's own records.
TEST_F(SavedAndLoaded, NtfsRecycleBinKeepsFormerNames) {
  std::string why;
  const fs::path images = Images(kRecycle, why);
  REQUIRE_OR_SKIP(why.empty(), why);
  PutOnDisk(images / "rb-ntfs.img", "7");
  RoundTrip(false, false, images / "rb-ntfs.img.expect.tsv");
}

TEST_F(SavedAndLoaded, ExFatQuickScan) {
  std::string why;
  const fs::path images = Images(kExFat, why);
  REQUIRE_OR_SKIP(why.empty(), why);
  PutOnDisk(images / "c512.img", "7");
  RoundTrip(false, false, images / "c512.img.expect.tsv");
}

TEST_F(SavedAndLoaded, HfsPlusQuickScan) {
  std::string why;
  const fs::path images = Images(kHfsPlus, why);
  REQUIRE_OR_SKIP(why.empty(), why);
  PutOnDisk(images / "lx-hfsplus.img", "af");
  RoundTrip(false, false, images / "lx-hfsplus.img.expect.tsv");
}

// The complete scan of a GPT disk (sgdisk) of two HFS+ volumes, one of whose
// journals keeps compressed deleted files, finds both in one tree; loaded,
// each node reads through its own volume (where mmls puts it), and every
// file copies out as from the scan.
TEST_F(SavedAndLoaded, HfsPlusCompleteScanOfTwoVolumes) {
  std::string why;
  ::setenv("CLIPMENDER_HFSPLUS_FIXTURES", Images(kHfsPlus, why).c_str(), 1);
  const fs::path disks =
      Images({"CLIPMENDER_HFSPLUS_DISK_FIXTURES", "hfsplus-disk", "hfsplus-disk/make-hfsplus-disk-images.sh"}, why);
  REQUIRE_OR_SKIP(why.empty(), why);
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote((disks / "two.img").string()) + " " +
                                ShellQuote(disk_.string()));
  std::ifstream partitions(disks / "two.img.partitions.tsv");
  std::map<std::string, int64_t> starts;
  for (const char* volume : {"lx-hfsplus-jdel", "nps-hfsjtest1"}) {
    int64_t start = 0, sectors = 0;
    ASSERT_TRUE(partitions >> start >> sectors);
    for (const auto& e : conformance::ReadExpectations(disks / (std::string(volume) + ".complete.tsv")))
      starts[e.path] = start;
  }
  RoundTrip(true, true, disks / "two.img.expect.tsv", starts);
}

// Where a tree's partition records place its volume on the device the
// result is loaded on.
TEST(ReopenedVolumes, AnHfsPlusVolumeIsReopenedWhereItStarts) {
  std::string why;
  const fs::path images = Images(kHfsPlus, why);
  REQUIRE_OR_SKIP(why.empty(), why);
  for (const auto& [name, start, blockSize, hfsx] :
       {std::tuple{"lx-gpt-hfsx.img", 2048, 1024u, true}, std::tuple{"lx-hfsplus.img", 0, 4096u, false}}) {
    devicetest::ImageGuard guard(images / name);
    IStorageDevice* disk = CreateDiskDevice((images / name).c_str());
    ASSERT_EQ(disk->Open(), 1);
    {
      const auto reopened = SaveRestoreResult::ReopenedHFSPlusVolume::Open(disk, start);
      ASSERT_NE(reopened, nullptr) << name;
      EXPECT_EQ(reopened->Volume()->GetBlockSize(), blockSize) << name << ": as fsstat says";
      EXPECT_EQ(reopened->Volume()->IsHFSX(), hfsx) << name;
      EXPECT_EQ(SaveRestoreResult::ReopenedHFSPlusVolume::Open(disk, start + 8), nullptr) << "no volume there";
    }
    disk->Close();
    disk->Release();
  }
}

// A quick scan of a whole disk runs once per volume; loaded, each volume
// takes back its own tree.
TEST_F(SavedAndLoaded, WholeDiskQuickScanOfTwoNtfsVolumes) {
  const auto made = testsupport::RunCommand(
      "bash " + ShellQuote((testsupport::SourceDir() / "tests/app/make-three-volume-disk.sh").string()) + " " +
      ShellQuote(work_.path().string()) + " 2>&1");
  REQUIRE_OR_SKIP(made.exitCode != 77, made.output);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  fs::rename(work_ / "disk.img", disk_);
  RoundTrip(false, true, {});
  EXPECT_EQ(roots_, (std::vector<int>{SEARCHER_TYPE_NTFS, SEARCHER_TYPE_NTFS}));
}

}  // namespace
