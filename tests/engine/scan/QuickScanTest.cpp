// The controller factory and the deleted-file (quick) controller.
#include <gtest/gtest.h>

#include "engine/scan/ScanTestSupport.h"
#include "engine/tree/TreeTestSupport.h"

namespace {

using namespace scantest;

constexpr ResultCode kNoSearcher = 0x0104005700000401ull;

TEST(RecoveryControllerFactory, MakesTheThreeKindsWhichRefuseNullArgumentsBeforeAnyReport) {
  const std::pair<_RECOVERY_CONTROLLER_TYPE, ResultCode> kinds[] = {
      {RECOVERY_CONTROLLER_DELETED, 0x0104003800000001ull},
      {RECOVERY_CONTROLLER_COMPLETE, 0x0104003C00000403ull},
      {RECOVERY_CONTROLLER_PARTITION, 0x0104003C00000403ull}};
  treetest::RecordingTree tree;
  ScriptedSink sink;
  PatternDevice volume(100);
  for (const auto& [kind, nullArgument] : kinds) {
    IRecoveryController* controller = CreateRecoveryController(kind);
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->StartDataRecovery(nullptr, &sink, &tree), nullArgument);
    EXPECT_EQ(controller->StartDataRecovery(&volume, &sink, nullptr), nullArgument);
    controller->Release();
  }
  EXPECT_TRUE(sink.Reports().empty());
  EXPECT_EQ(CreateRecoveryController(static_cast<_RECOVERY_CONTROLLER_TYPE>(3)), nullptr);
}

class QuickScan : public ::testing::Test {
 protected:
  QuickScan() {
    controller->SetParts(parts.Parts());
    controller->Initialize(&filter);
  }
  ~QuickScan() override {
    if (controller != nullptr) controller->Release();
  }
  PatternDevice* Volume(int fileSystemType, const char* name = "", uint32_t kind = STORAGE_DEVICE_VOLUME) {
    PatternDevice* device = devices.emplace_back(std::make_unique<PatternDevice>(2048, 512, kind)).get();
    if (fileSystemType >= 0) GiveVolumeRecord(device, fileSystemType, name);
    return device;
  }
  ResultCode Scan(IStorageDevice* device) { return controller->StartDataRecovery(device, &sink, &tree); }
  // A folder and a file in it, below the root, as a quick searcher finds them.
  std::function<std::vector<IFileNode*>()> TwoNodes(const std::string& folder) {
    return [this, folder] {
      return std::vector<IFileNode*>{new treetest::LedgerNode(&ledger, 10, 5, folder, true, 0),
                                     new treetest::LedgerNode(&ledger, 11, 10, "f.txt", false, 100)};
    };
  }

  FakeParts parts;
  treetest::FakeFilter filter;
  treetest::RecordingTree tree;
  treetest::NodeLedger ledger;
  ScriptedSink sink;
  std::vector<std::unique_ptr<PatternDevice>> devices;
  CDeletedRecoveryController* controller = new CDeletedRecoveryController();
};

TEST_F(QuickScan, PicksTheSearcherByFileSystemTypeAndRefusesTheRest) {
  parts.missing = {SEARCHER_TYPE_HFSPLUS};
  const struct {
    int fileSystem;  // -1: no volume record
    uint32_t kind;
    ResultCode code;
    Strings made;  // by the parts
    Strings reports;
  } cases[] = {
      {0, STORAGE_DEVICE_VOLUME, 0, {"builder", "32"}, {"{2,1,0}"}},  // FAT12
      {1, STORAGE_DEVICE_VOLUME, 0, {"builder", "32"}, {"{2,1,0}"}},  // FAT16
      {2, STORAGE_DEVICE_PARTITION, 0, {"builder", "32"}, {"{2,1,0}"}},
      {3, STORAGE_DEVICE_VOLUME, 0, {"builder", "35"}, {"{2,1,0}"}},                       // NTFS
      {7, STORAGE_DEVICE_VOLUME, 0, {"builder", "33"}, {"{2,1,0}"}},                       // exFAT
      {8, STORAGE_DEVICE_VOLUME, kNoSearcher, {"builder", "31"}, {"{2,1,0}", "{3,1,1}"}},  // cannot be made
      {3, STORAGE_DEVICE_DISK, 0x0104004300000404ull, {}, {"{2,1,0}"}},  // a disk goes volume by volume
      {-1, STORAGE_DEVICE_VOLUME, kNoSearcher, {"builder"}, {"{2,1,0}", "{3,1,1}"}},
      {9, STORAGE_DEVICE_VOLUME, kNoSearcher, {"builder"}, {"{2,1,0}", "{3,1,1}"}},
  };
  size_t runs = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileSystem);
    PatternDevice* volume = Volume(c.fileSystem, "", c.kind);
    parts.madeLog.clear();
    const size_t before = sink.Reports().size();
    EXPECT_EQ(Scan(volume), c.code);
    const Strings reports = sink.Reports();
    Strings made = c.made;
    if (c.code == 0) made.push_back("flush");
    EXPECT_EQ(parts.madeLog, made);
    EXPECT_EQ(Strings(reports.begin() + static_cast<long>(before), reports.end()), c.reports);
    runs += c.code == 0 ? 1 : 0;
    EXPECT_EQ(controller->GetRunCount(), runs);
    if (c.code == 0) {
      FakeSearcher* searcher = parts.made[static_cast<_tagSearcherType>(std::stoi(c.made[1]))];
      EXPECT_TRUE(searcher->device == volume && searcher->sink == &sink && controller->GetQuickSearcher() == searcher);
    }
  }
}

// The application quick-scans a disk volume by volume on one controller and
// asks for a tree's copy-out object as soon as the tree's root is shown.
struct CopyOutOnRootTree : treetest::RecordingTree {
  int ShowFilesystemNode(IFilesystemNode* root) override {
    markers.push_back(Markers(controller->GetDataRecovery(root->GetSearcheType())));
    return RecordingTree::ShowFilesystemNode(root);
  }
  IRecoveryController* controller = nullptr;
  std::vector<std::vector<int64_t>> markers;
};

TEST_F(QuickScan, EachVolumeOfADiskKeepsItsTreeAndSearcher) {
  int marker = 0, destroyed = 0;
  parts.setUp = [&](FakeSearcher* searcher) {
    searcher->feed = TwoNodes(std::string(1, static_cast<char>('A' + marker)));
    searcher->records.emplace_back(MakeRecord(100 + marker++));
    // Nodes may point at what the searcher owns: no node may outlive it.
    searcher->onDestroy = [&] {
      ++destroyed;
      EXPECT_EQ(ledger.Live(), 0) << "a searcher went before the nodes";
    };
  };
  CopyOutOnRootTree roots;
  roots.controller = controller;
  for (const auto& [fileSystem, name] : std::vector<std::pair<int, const char*>>{{2, "A"}, {3, "B"}, {1, "C"}}) {
    ASSERT_EQ(controller->StartDataRecovery(Volume(fileSystem, name), &sink, &roots), 0u);
  }
  EXPECT_EQ(roots.markers, (std::vector<std::vector<int64_t>>{{100}, {101}, {102}})) << "each scan's own searcher";
  EXPECT_EQ(ledger.Live(), 6) << "the trees of earlier volumes are kept";
  ASSERT_EQ(roots.roots.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const std::string folder(1, static_cast<char>('A' + i));
    EXPECT_EQ(treetest::TreeLines(roots.roots[i]), (std::set<std::string>{folder + "/", folder + "/f.txt"}));
    EXPECT_STREQ(roots.roots[i]->GetVolumeName(), folder.c_str());
  }
  EXPECT_TRUE(roots.problems.empty());
  // The latest run of the asked type; the latest run for any other type; a
  // failed scan leaves the runs alone.
  EXPECT_EQ(controller->StartDataRecovery(Volume(9), &sink, &roots), kNoSearcher);
  EXPECT_EQ(Markers(controller->GetDataRecovery(SEARCHER_TYPE_FAT)), std::vector<int64_t>{102});
  EXPECT_EQ(Markers(controller->GetDataRecovery(SEARCHER_TYPE_NTFS)), std::vector<int64_t>{101});
  EXPECT_EQ(Markers(controller->GetDataRecovery(SEARCHER_TYPE_HFSPLUS)), std::vector<int64_t>{102});
  controller->Release();
  controller = nullptr;
  EXPECT_EQ(ledger.Live(), 0);
  EXPECT_EQ(destroyed, 3);
}

TEST_F(QuickScan, ASearcherFailureIsLoggedAndAnsweredButAStopIsNot) {
  parts.setUp = [&](FakeSearcher* searcher) { searcher->answer = 0x0112009900000006ull; };
  EXPECT_EQ(Scan(Volume(3)), 0x0112009900000006ull);
  EXPECT_EQ(LogLinesWith("0x0112009900000006"), 1u);
  EXPECT_EQ(controller->GetDataRecovery(SEARCHER_TYPE_NTFS), nullptr) << "no records, no copy-out";
  parts.setUp = [&](FakeSearcher* searcher) { searcher->answer = 0x0105002A0000000Dull; };
  EXPECT_EQ(Scan(Volume(8)), 0u) << "cancelled";
  EXPECT_EQ(LogLinesWith("0x0105002a0000000d"), 0u);
}

TEST_F(QuickScan, AReplayFeedsTheBuilderInsteadOfTheSearcher) {
  FakeReplay replay;
  replay.feed = TwoNodes("Saved");
  replay.records[SEARCHER_TYPE_NTFS].push_back(MakeRecord(77));
  controller->SetRestoreScanSink(&replay);
  PatternDevice* volume = Volume(3, "Saved volume");
  EXPECT_EQ(Scan(volume), 0u);
  EXPECT_EQ(parts.madeLog, (Strings{"builder", "35"}));
  EXPECT_TRUE(parts.made[SEARCHER_TYPE_NTFS]->calls.empty());
  EXPECT_TRUE(replay.device == volume && volume->reads == 0);
  ASSERT_EQ(tree.roots.size(), 1u);
  EXPECT_EQ(treetest::TreeLines(tree.roots[0]), (std::set<std::string>{"Saved/", "Saved/f.txt"}));
  // Copy-out comes from the saved records of the type.
  EXPECT_EQ(Markers(controller->GetDataRecovery(SEARCHER_TYPE_NTFS)), std::vector<int64_t>{77});
  EXPECT_TRUE(Markers(controller->GetDataRecovery(SEARCHER_TYPE_FAT)).empty());
}

}  // namespace
