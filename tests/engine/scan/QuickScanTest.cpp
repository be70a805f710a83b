// The deleted-file (quick) controller and the controller factory: which
// searcher a volume gets, what is refused, what each run keeps, and which
// searcher copy-out is initialised from.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DataRecovery.h"
#include "RecoveryController.h"
#include "copyout/CDataRecovery.h"
#include "engine/scan/ScanTestSupport.h"
#include "engine/tree/TreeTestSupport.h"
#include "scan/CRecoveryController.h"

namespace {

using scantest::FakeQuickSearcher;
using scantest::PatternDevice;

constexpr ResultCode kNullArgument = 0x0104003800000001ull;
constexpr ResultCode kWholeDisk = 0x0104004300000404ull;
constexpr ResultCode kBuilderNotMade = 0x0104004800000004ull;
constexpr ResultCode kBuilderNotInitialized = 0x0104004B00000001ull;
constexpr ResultCode kNoSearcher = 0x0104005700000401ull;

struct Released {
  void operator()(IDataRecovery* recovery) const {
    if (recovery != nullptr) recovery->Release();
  }
};
using RecoveryPtr = std::unique_ptr<IDataRecovery, Released>;

// The start sectors of the records a copy-out object took (the fakes mark
// their records with them).
std::vector<int64_t> Markers(IDataRecovery* recovery) {
  std::vector<int64_t> markers;
  auto* records = dynamic_cast<CDataRecovery*>(recovery);
  if (records == nullptr) return markers;
  for (CSearchedPartitionInfo* record : records->GetSearchedPartition()) markers.push_back(record->GetStartSector());
  return markers;
}

void ExpectRecord(const _PROGRESS_INFO& info, uint32_t status, uint64_t total, uint64_t current) {
  EXPECT_EQ(info.status, status);
  EXPECT_EQ(info.total, total);
  EXPECT_EQ(info.current, current);
  EXPECT_EQ(info.error, 0u);
  EXPECT_EQ(info.padding, 0u);
  for (uint8_t byte : info.reserved) ASSERT_EQ(byte, 0);
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

  // A volume device with a record of `fileSystemType`.
  PatternDevice* Volume(int fileSystemType, const char* name = "", uint32_t state = 0) {
    devices.push_back(std::make_unique<PatternDevice>(2048));
    scantest::GiveVolumeRecord(devices.back().get(), fileSystemType, name, state);
    return devices.back().get();
  }

  ResultCode Scan(IStorageDevice* device) { return controller->StartDataRecovery(device, &sink, &tree); }

  // A folder and a file in it, below the root, as a quick searcher finds them.
  std::function<std::vector<IFileNode*>()> TwoNodes(const std::string& folder, const std::string& file) {
    return [this, folder, file] {
      return std::vector<IFileNode*>{new treetest::LedgerNode(&ledger, 10, 5, folder, true, 0),
                                     new treetest::LedgerNode(&ledger, 11, 10, file, false, 100)};
    };
  }

  scantest::FakeParts parts;
  treetest::FakeFilter filter;
  treetest::RecordingTree tree;
  treetest::NodeLedger ledger;
  scantest::ScriptedSink sink;
  std::vector<std::unique_ptr<PatternDevice>> devices;
  CDeletedRecoveryController* controller = new CDeletedRecoveryController();
};

TEST(RecoveryControllerFactory, MakesTheThreeKindsAndNothingElse) {
  for (auto kind : {RECOVERY_CONTROLLER_DELETED, RECOVERY_CONTROLLER_COMPLETE, RECOVERY_CONTROLLER_PARTITION}) {
    IRecoveryController* controller = CreateRecoveryController(kind);
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->thisType(), kind);
    controller->Release();
  }
  EXPECT_EQ(CreateRecoveryController(RECOVERY_CONTROLLER_NONE), nullptr);
  EXPECT_EQ(CreateRecoveryController(static_cast<_RECOVERY_CONTROLLER_TYPE>(-1)), nullptr);
  EXPECT_EQ(CreateRecoveryController(static_cast<_RECOVERY_CONTROLLER_TYPE>(4)), nullptr);
}

TEST(RecoveryControllerFactory, InitializeKeepsAFilterAndRefusesNull) {
  treetest::FakeFilter filter;
  for (auto kind : {RECOVERY_CONTROLLER_DELETED, RECOVERY_CONTROLLER_COMPLETE, RECOVERY_CONTROLLER_PARTITION}) {
    auto* controller = dynamic_cast<CRecoveryControllerBase*>(CreateRecoveryController(kind));
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->Initialize(nullptr), 0);
    EXPECT_EQ(controller->GetFilter(), nullptr);
    EXPECT_EQ(controller->Initialize(&filter), 1);
    EXPECT_EQ(controller->GetFilter(), &filter);
    EXPECT_EQ(controller->GetDataRecovery(SEARCHER_TYPE_NTFS), nullptr) << "nothing scanned yet";
    controller->Release();
  }
}

TEST_F(QuickScan, NullArgumentsAreRefusedBeforeAnyReport) {
  PatternDevice* volume = Volume(3);
  EXPECT_EQ(controller->StartDataRecovery(nullptr, &sink, &tree), kNullArgument);
  EXPECT_EQ(controller->StartDataRecovery(volume, nullptr, &tree), kNullArgument);
  EXPECT_EQ(controller->StartDataRecovery(volume, &sink, nullptr), kNullArgument);
  EXPECT_TRUE(sink.Records().empty());
  EXPECT_TRUE(parts.journal.Events().empty());
}

TEST_F(QuickScan, AWholeDiskIsRefusedAfterOneReport) {
  PatternDevice disk(2048, 512, STORAGE_DEVICE_DISK);
  scantest::GiveVolumeRecord(&disk, 3);
  EXPECT_EQ(Scan(&disk), kWholeDisk);
  ASSERT_EQ(sink.Records().size(), 1u);
  ExpectRecord(sink.Records()[0], 2, 1, 0);
  EXPECT_TRUE(parts.journal.Events().empty()) << "no builder, no searcher";
  EXPECT_EQ(controller->GetRunCount(), 0u);
}

TEST_F(QuickScan, UnsupportedFileSystemsReportFinishedAndAnswer401) {
  for (int type : {4, 5, 6, 9, 42, -1}) {
    PatternDevice* volume = Volume(type);
    const size_t before = sink.Records().size();
    EXPECT_EQ(Scan(volume), kNoSearcher) << "type " << type;
    const std::vector<_PROGRESS_INFO> records = sink.Records();
    ASSERT_EQ(records.size(), before + 2);
    ExpectRecord(records[before], 2, 1, 0);
    ExpectRecord(records[before + 1], 3, 1, 1);
  }
  EXPECT_TRUE(parts.journal.Matching("make:3").empty()) << "no searcher is asked for";
  EXPECT_EQ(controller->GetRunCount(), 0u);
}

TEST_F(QuickScan, AVolumeWithoutARecordHasNoSearcher) {
  PatternDevice volume(2048);
  EXPECT_EQ(Scan(&volume), kNoSearcher);
}

TEST_F(QuickScan, PicksTheSearcherByFileSystemType) {
  const std::vector<std::pair<int, _tagSearcherType>> cases = {{0, SEARCHER_TYPE_FAT},   {1, SEARCHER_TYPE_FAT},
                                                               {2, SEARCHER_TYPE_FAT},   {3, SEARCHER_TYPE_NTFS},
                                                               {7, SEARCHER_TYPE_EXFAT}, {8, SEARCHER_TYPE_HFSPLUS}};
  for (const auto& [fileSystem, searcherType] : cases) {
    EXPECT_EQ(CDeletedRecoveryController::SearcherTypeOf(fileSystem), searcherType);
    PatternDevice* volume = Volume(fileSystem);
    const std::string tag = std::to_string(static_cast<int>(searcherType));
    const size_t before = parts.journal.Events().size();
    EXPECT_EQ(Scan(volume), 0u);
    const std::vector<std::string> events = parts.journal.Events();
    const std::vector<std::string> run(events.begin() + static_cast<long>(before), events.end());
    EXPECT_EQ(run, (std::vector<std::string>{"make:builder", "make:" + tag, tag + ":builder", "flush", tag + ":quick"}))
        << "file system " << fileSystem;
    FakeQuickSearcher* searcher = parts.quick[searcherType];
    EXPECT_EQ(searcher->scanned, volume);
    EXPECT_EQ(searcher->sink, &sink);
    EXPECT_EQ(controller->GetQuickSearcher(), searcher);
  }
  EXPECT_EQ(parts.builderFlags, std::vector<bool>(cases.size(), false));
  // The quick controller reports only its start; the searcher reports the rest.
  EXPECT_EQ(sink.Records().size(), cases.size());
}

TEST_F(QuickScan, ASearcherThatCannotBeMadeReportsFinished) {
  parts.missing = {SEARCHER_TYPE_NTFS};
  EXPECT_EQ(Scan(Volume(3)), kNoSearcher);
  ASSERT_EQ(sink.Records().size(), 2u);
  ExpectRecord(sink.Records()[1], 3, 1, 1);
  EXPECT_EQ(controller->GetRunCount(), 0u);
}

TEST_F(QuickScan, BuilderFailures) {
  RecoveryControllerParts none;
  none.makeTreeBuilder = [](bool) -> IDirecotryTreeBuilder* { return nullptr; };
  controller->SetParts(none);
  EXPECT_EQ(Scan(Volume(3)), kBuilderNotMade);

  // Without a filter the builder cannot be initialised.
  CDeletedRecoveryController* bare = new CDeletedRecoveryController();
  bare->SetParts(parts.Parts());
  EXPECT_EQ(bare->StartDataRecovery(Volume(3), &sink, &tree), kBuilderNotInitialized);
  EXPECT_EQ(bare->GetRunCount(), 0u);
  bare->Release();
}

TEST_F(QuickScan, TreesAreNamedAfterUsableVolumes) {
  parts.fakeBuilder = true;
  controller->SetParts(parts.Parts());
  std::vector<std::string> descriptions;
  parts.setUpQuick = [&](FakeQuickSearcher* searcher) { searcher->feed = [] { return std::vector<IFileNode*>(); }; };
  controller->SetParts(parts.Parts());
  ASSERT_EQ(Scan(Volume(3, "Backup")), 0u);
  descriptions.push_back(dynamic_cast<scantest::FakeBuilder*>(controller->GetTreeBuilder())->description);
  ASSERT_EQ(Scan(Volume(3, "Unusable", 1)), 0u);
  descriptions.push_back(dynamic_cast<scantest::FakeBuilder*>(controller->GetTreeBuilder())->description);
  PatternDevice partition(2048, 512, STORAGE_DEVICE_PARTITION);
  scantest::GiveVolumeRecord(&partition, 3, "NotAVolume");
  ASSERT_EQ(Scan(&partition), 0u);
  descriptions.push_back(dynamic_cast<scantest::FakeBuilder*>(controller->GetTreeBuilder())->description);
  EXPECT_EQ(descriptions, (std::vector<std::string>{"Backup", "", ""}));
}

TEST_F(QuickScan, TheRealBuilderNamesTheRootAfterTheVolume) {
  parts.setUpQuick = [&](FakeQuickSearcher* searcher) { searcher->feed = TwoNodes("Photos", "a.jpg"); };
  controller->SetParts(parts.Parts());
  ASSERT_EQ(Scan(Volume(3, "Backup")), 0u);
  ASSERT_EQ(Scan(Volume(0)), 0u);
  ASSERT_EQ(tree.roots.size(), 2u);
  EXPECT_STREQ(tree.roots[0]->GetVolumeName(), "Backup");
  EXPECT_STREQ(tree.roots[1]->GetVolumeName(), "Disk");
  EXPECT_TRUE(tree.problems.empty());
}

TEST_F(QuickScan, EachVolumeOfADiskKeepsItsTreeAndSearcher) {
  int marker = 0;
  const std::vector<std::pair<std::string, std::string>> names = {{"A", "a.txt"}, {"B", "b.txt"}, {"C", "c.txt"}};
  parts.setUpQuick = [&](FakeQuickSearcher* searcher) {
    const auto& [folder, file] = names[static_cast<size_t>(marker)];
    searcher->feed = TwoNodes(folder, file);
    searcher->records.emplace_back(scantest::MakeRecord(3, 100 + marker++));
    // Nodes may point at what the searcher owns: no node may outlive it.
    searcher->onDestroy = [this] { EXPECT_EQ(ledger.Live(), 0) << "a searcher went before the nodes"; };
  };
  controller->SetParts(parts.Parts());
  ASSERT_EQ(Scan(Volume(2, "A")), 0u);  // FAT
  ASSERT_EQ(Scan(Volume(3, "B")), 0u);  // NTFS
  ASSERT_EQ(Scan(Volume(1, "C")), 0u);  // FAT again
  EXPECT_EQ(controller->GetRunCount(), 3u);
  EXPECT_EQ(ledger.made, 6);
  EXPECT_EQ(ledger.Live(), 6) << "the trees of earlier volumes are kept";
  ASSERT_EQ(tree.roots.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const std::string folder = names[i].first;
    EXPECT_EQ(treetest::TreeLines(tree.roots[i]),
              (std::set<std::string>{folder + "/", folder + "/" + names[i].second}));
  }
  EXPECT_TRUE(tree.problems.empty());

  // The latest run of the asked type; the latest run for any other type.
  RecoveryPtr fat(controller->GetDataRecovery(SEARCHER_TYPE_FAT));
  RecoveryPtr ntfs(controller->GetDataRecovery(SEARCHER_TYPE_NTFS));
  RecoveryPtr hfs(controller->GetDataRecovery(SEARCHER_TYPE_HFSPLUS));
  EXPECT_EQ(Markers(fat.get()), std::vector<int64_t>{102});
  EXPECT_EQ(Markers(ntfs.get()), std::vector<int64_t>{101});
  EXPECT_EQ(Markers(hfs.get()), std::vector<int64_t>{102});
  fat.reset();
  ntfs.reset();
  hfs.reset();

  controller->Release();
  controller = nullptr;
  EXPECT_EQ(ledger.Live(), 0);
  EXPECT_EQ(parts.journal.Matching("35:destroyed").size(), 1u);
  EXPECT_EQ(parts.journal.Matching("32:destroyed").size(), 2u);
}

// The application asks for a tree's copy-out object as soon as the tree's
// root is shown, while its volume is being scanned.
class CopyOutOnRootTree : public treetest::RecordingTree {
 public:
  int ShowFilesystemNode(IFilesystemNode* root) override {
    RecordingTree::ShowFilesystemNode(root);
    recoveries.emplace_back(controller->GetDataRecovery(root->GetSearcheType()));
    return 1;
  }
  IRecoveryController* controller = nullptr;
  std::vector<RecoveryPtr> recoveries;
};

TEST_F(QuickScan, CopyOutAskedDuringAScanUsesThatScansSearcher) {
  int marker = 0;
  parts.setUpQuick = [&](FakeQuickSearcher* searcher) {
    searcher->feed = TwoNodes("D", "d.bin");
    searcher->records.emplace_back(scantest::MakeRecord(2, 200 + marker++));
  };
  controller->SetParts(parts.Parts());
  CopyOutOnRootTree rootTree;
  rootTree.controller = controller;
  ASSERT_EQ(controller->StartDataRecovery(Volume(2, "first"), &sink, &rootTree), 0u);
  ASSERT_EQ(controller->StartDataRecovery(Volume(2, "second"), &sink, &rootTree), 0u);
  ASSERT_EQ(rootTree.recoveries.size(), 2u);
  EXPECT_EQ(Markers(rootTree.recoveries[0].get()), std::vector<int64_t>{200});
  EXPECT_EQ(Markers(rootTree.recoveries[1].get()), std::vector<int64_t>{201});
}

TEST_F(QuickScan, CopyOutIsNullWhenTheSearcherFoundNothing) {
  ASSERT_EQ(Scan(Volume(3)), 0u);
  EXPECT_EQ(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_NTFS)), nullptr);
}

TEST_F(QuickScan, AFailedScanLeavesEarlierRunsAlone) {
  parts.setUpQuick = [&](FakeQuickSearcher* searcher) { searcher->records.emplace_back(scantest::MakeRecord(3, 7)); };
  controller->SetParts(parts.Parts());
  ASSERT_EQ(Scan(Volume(3)), 0u);
  EXPECT_EQ(Scan(Volume(9)), kNoSearcher);
  EXPECT_EQ(controller->GetRunCount(), 1u);
  EXPECT_EQ(Markers(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_NTFS)).get()), std::vector<int64_t>{7});
}

TEST_F(QuickScan, ASearcherFailureIsLoggedButTheScanAnswersZero) {
  constexpr ResultCode kFailure = 0x0112009900000006ull;
  parts.setUpQuick = [&](FakeQuickSearcher* searcher) { searcher->answer = kFailure; };
  controller->SetParts(parts.Parts());
  EXPECT_EQ(Scan(Volume(3)), 0u);
  std::ifstream log(scantest::LogFile());
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("QuickSearchFiles of searcher 35 failed: 0x0112009900000006"), std::string::npos) << text;
}

TEST_F(QuickScan, AReplayFeedsTheBuilderInsteadOfTheSearcher) {
  scantest::FakeReplay replay(&parts.journal);
  replay.type = SEARCHER_TYPE_NTFS;
  replay.feed = TwoNodes("Saved", "s.doc");
  replay.records[SEARCHER_TYPE_NTFS].push_back(scantest::MakeRecord(3, 77));
  controller->SetRestoreScanSink(&replay);
  EXPECT_EQ(controller->GetRestoreScanSink(), &replay);
  PatternDevice* volume = Volume(3, "Saved volume");
  EXPECT_EQ(Scan(volume), 0u);
  EXPECT_EQ(parts.journal.Events(), (std::vector<std::string>{"make:builder", "make:35", "35:builder", "replay"}));
  EXPECT_EQ(replay.device, volume);
  EXPECT_EQ(replay.progress, &sink);
  EXPECT_EQ(replay.builder, controller->GetTreeBuilder());
  EXPECT_EQ(parts.flushes, 0);
  EXPECT_EQ(volume->reads(), 0);
  ASSERT_EQ(tree.roots.size(), 1u);
  EXPECT_EQ(treetest::TreeLines(tree.roots[0]), (std::set<std::string>{"Saved/", "Saved/s.doc"}));
  // Copy-out comes from the saved records of the type.
  EXPECT_EQ(Markers(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_NTFS)).get()), std::vector<int64_t>{77});
  EXPECT_TRUE(Markers(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_FAT)).get()).empty());
}

}  // namespace
