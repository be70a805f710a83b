// The complete and partition controllers: the searchers they make, the
// order every block reaches them, progress, stopping and pausing, replays,
// copy-out, and what is released in which order.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DataRecovery.h"
#include "copyout/CDataRecovery.h"
#include "engine/scan/ScanTestSupport.h"
#include "engine/tree/TreeTestSupport.h"
#include "scan/CRecoveryController.h"
#include "scan/CStorageDeviceWithCache.h"

namespace {

using scantest::FakeCompleteSearcher;
using scantest::PatternDevice;

constexpr ResultCode kNullArgument = 0x0104003C00000403ull;
constexpr ResultCode kNoSearcher = 0x0104006A00000402ull;
constexpr ResultCode kPassNoSink = 0x010400C800000005ull;
constexpr ResultCode kPassBadRange = 0x010400CB00000403ull;

const std::vector<std::string> kTags = {"31", "33", "32", "34", "35"};

struct Released {
  void operator()(IDataRecovery* recovery) const {
    if (recovery != nullptr) recovery->Release();
  }
};
using RecoveryPtr = std::unique_ptr<IDataRecovery, Released>;

std::vector<int64_t> Markers(IDataRecovery* recovery) {
  std::vector<int64_t> markers;
  auto* records = dynamic_cast<CDataRecovery*>(recovery);
  if (records == nullptr) return markers;
  for (CSearchedPartitionInfo* record : records->GetSearchedPartition()) markers.push_back(record->GetStartSector());
  return markers;
}

struct Report {
  uint32_t status;
  uint64_t total;
  uint64_t current;
  bool operator==(const Report& other) const {
    return status == other.status && total == other.total && current == other.current;
  }
};

std::ostream& operator<<(std::ostream& out, const Report& report) {
  return out << "{" << report.status << "," << report.total << "," << report.current << "}";
}

std::vector<Report> Reports(const scantest::ScriptedSink& sink) {
  std::vector<Report> reports;
  for (const _PROGRESS_INFO& info : sink.Records()) {
    EXPECT_EQ(info.error, 0u);
    for (uint8_t byte : info.reserved) EXPECT_EQ(byte, 0);
    reports.push_back({info.status, info.total, info.current});
  }
  return reports;
}

// The reports of a whole pass of `blocks` blocks.
std::vector<Report> PassReports(uint64_t blocks, uint64_t done) {
  std::vector<Report> reports{{2, 1, 0}, {0, blocks, 0}};
  for (uint64_t k = 1; k <= done; ++k) reports.push_back({2, blocks, k * 4 / 5});
  reports.push_back({3, 1, 1});
  return reports;
}

class CompleteScan : public ::testing::Test {
 protected:
  CompleteScan() { SetUpController(new CCompleteRecoveryController()); }
  ~CompleteScan() override {
    if (controller != nullptr) controller->Release();
  }

  void SetUpController(CCompleteRecoveryController* made) {
    if (controller != nullptr) controller->Release();
    controller = made;
    controller->SetParts(parts.Parts());
    controller->Initialize(&filter);
  }
  void Reparts() { controller->SetParts(parts.Parts()); }

  ResultCode Scan(IStorageDevice* device) { return controller->StartDataRecovery(device, &sink, &tree); }

  // The blocks every searcher was given, as "first:count", per searcher.
  std::vector<std::string> BlocksOf(const std::string& tag) {
    std::vector<std::string> blocks;
    for (const std::string& event : parts.journal.Matching(tag + ":block:")) {
      blocks.push_back(event.substr(tag.size() + 7));
    }
    return blocks;
  }

  scantest::FakeParts parts;
  treetest::FakeFilter filter;
  treetest::RecordingTree tree;
  scantest::ScriptedSink sink;
  CCompleteRecoveryController* controller = nullptr;
};

TEST_F(CompleteScan, MakesTheSearchersInOrderAndHandsEachBlockToEveryOne) {
  PatternDevice device(8193);
  ASSERT_EQ(Scan(&device), 0u);
  std::vector<std::string> expected = {"make:builder", "make:31", "31:sink", "make:33", "make:32",
                                       "make:34",      "34:sink", "make:35", "flush"};
  for (const std::string& tag : kTags) {
    for (const char* call : {":device", ":blocksize:8192", ":builder", ":prepare"}) expected.push_back(tag + call);
  }
  for (const char* block : {"0:8192", "8192:1"}) {
    for (const std::string& tag : kTags) expected.push_back(tag + ":block:" + block);
  }
  for (const std::string& tag : kTags) expected.push_back(tag + ":end:1");
  EXPECT_EQ(parts.journal.Events(), expected);
  EXPECT_EQ(parts.builderFlags, std::vector<bool>{false});
  EXPECT_EQ(controller->GetDevice(), &device);
  EXPECT_EQ(controller->GetRunCount(), 1u);
}

TEST_F(CompleteScan, SearchersReadThroughTheCachingDevice) {
  parts.setUpComplete = [](FakeCompleteSearcher* searcher) { searcher->readBlocks = true; };
  Reparts();
  constexpr int64_t kTotal = 3 * 8192 + 17;
  PatternDevice device(kTotal);
  ASSERT_EQ(Scan(&device), 0u);
  CStorageDeviceWithCache* cache = controller->GetCacheDevice();
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->GetUnderlyingDevice(), &device);
  EXPECT_EQ(cache->GetBlockSize(), 8192u);
  EXPECT_FALSE(cache->IsReading()) << "the read-ahead ends with the pass";
  for (const auto& [type, searcher] : parts.complete) {
    EXPECT_EQ(searcher->device, cache);
    EXPECT_EQ(searcher->device->GetType(), 3u);
    EXPECT_EQ(searcher->blockSize, 8192);
    EXPECT_EQ(searcher->builder, controller->GetTreeBuilder());
    ASSERT_EQ(searcher->blocks.size(), 4u);
    for (int64_t k = 0; k < 4; ++k) {
      const int64_t count = std::min<int64_t>(8192, kTotal - k * 8192);
      EXPECT_EQ(searcher->blocks[static_cast<size_t>(k)], PatternDevice::Expected(k * 8192, count));
      EXPECT_EQ(searcher->readAnswers[static_cast<size_t>(k)], 1);
    }
  }
  EXPECT_EQ(device.overruns(), 0);
  EXPECT_EQ(device.reads(), 4) << "every block read once for all five searchers";
}

TEST_F(CompleteScan, OnlyTheHfsAndRawSearchersGetTheProgressSink) {
  PatternDevice device(1);
  ASSERT_EQ(Scan(&device), 0u);
  EXPECT_EQ(parts.complete[SEARCHER_TYPE_HFSPLUS]->sink, &sink);
  EXPECT_EQ(parts.complete[SEARCHER_TYPE_RAW]->sink, &sink);
  EXPECT_EQ(parts.complete[SEARCHER_TYPE_FAT]->sink, nullptr);
  EXPECT_EQ(parts.complete[SEARCHER_TYPE_EXFAT]->sink, nullptr);
  EXPECT_EQ(parts.complete[SEARCHER_TYPE_NTFS]->sink, nullptr);
  EXPECT_EQ(BlocksOf("35"), std::vector<std::string>{"0:1"});
}

TEST_F(CompleteScan, SearchersThatCannotBeMadeAreLeftOut) {
  parts.missing = {SEARCHER_TYPE_HFSPLUS, SEARCHER_TYPE_RAW};
  Reparts();
  PatternDevice device(100);
  ASSERT_EQ(Scan(&device), 0u);
  EXPECT_TRUE(parts.journal.Matching("31:").empty());
  EXPECT_TRUE(parts.journal.Matching("34:").empty());
  EXPECT_EQ(BlocksOf("33"), std::vector<std::string>{"0:100"});
  EXPECT_EQ(controller->GetSearchers().size(), 3u);
  EXPECT_EQ(controller->GetSearchers()[0].type, SEARCHER_TYPE_EXFAT);
}

TEST_F(CompleteScan, NoSearcherAtAllAnswers402AndReportsTheEnd) {
  parts.missing = {SEARCHER_TYPE_HFSPLUS, SEARCHER_TYPE_EXFAT, SEARCHER_TYPE_FAT, SEARCHER_TYPE_RAW,
                   SEARCHER_TYPE_NTFS};
  Reparts();
  PatternDevice device(100);
  EXPECT_EQ(Scan(&device), kNoSearcher);
  EXPECT_EQ(Reports(sink), (std::vector<Report>{{2, 1, 0}, {3, 1, 1}}));
  EXPECT_EQ(parts.flushes, 0);
  EXPECT_EQ(device.reads(), 0);
  EXPECT_EQ(controller->GetRunCount(), 0u);
}

TEST_F(CompleteScan, TheStubFactoriesMakeNoSearcher) {
  // The real factories of scanners not built yet answer null.
  RecoveryControllerParts real = RecoveryControllerParts::Defaults();
  int made = 0;
  for (const _tagSearcherType type : CCompleteRecoveryController::kSearcherOrder) {
    ICompleteFileSystemSearchController* searcher = real.makeCompleteSearcher(type);
    if (searcher != nullptr) ++made;
    delete searcher;
  }
  if (made == 0) {
    RecoveryControllerParts stubs;
    stubs.makeCompleteSearcher = real.makeCompleteSearcher;
    controller->SetParts(stubs);
    PatternDevice device(100);
    EXPECT_EQ(Scan(&device), kNoSearcher);
  }
}

TEST_F(CompleteScan, NullArgumentsAreRefusedBeforeAnyReport) {
  PatternDevice device(100);
  EXPECT_EQ(controller->StartDataRecovery(nullptr, &sink, &tree), kNullArgument);
  EXPECT_EQ(controller->StartDataRecovery(&device, nullptr, &tree), kNullArgument);
  EXPECT_EQ(controller->StartDataRecovery(&device, &sink, nullptr), kNullArgument);
  EXPECT_TRUE(sink.Records().empty());
}

TEST_F(CompleteScan, ProgressFollowsTheBlocks) {
  PatternDevice device(13 * 8192);
  ASSERT_EQ(Scan(&device), 0u);
  const std::vector<Report> reports = Reports(sink);
  EXPECT_EQ(reports, PassReports(13, 13));
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[reports.size() - 2].current, 10u) << "floor(0.8 x 13)";
}

TEST_F(CompleteScan, BlockSizeFollowsTheSectorSize) {
  EXPECT_EQ(CCompleteRecoveryController::BlockSectors(512), 8192);
  EXPECT_EQ(CCompleteRecoveryController::BlockSectors(0), 8192);
  EXPECT_EQ(CCompleteRecoveryController::BlockSectors(4096), 1024);
  EXPECT_EQ(CCompleteRecoveryController::BlockSectors(8u << 20), 8192);
  PatternDevice device(2500, 4096);
  ASSERT_EQ(Scan(&device), 0u);
  EXPECT_EQ(parts.complete[SEARCHER_TYPE_FAT]->blockSize, 1024);
  EXPECT_EQ(BlocksOf("32"), (std::vector<std::string>{"0:1024", "1024:1024", "2048:452"}));
}

TEST_F(CompleteScan, AnEmptyDeviceHasNoBlocksButTheSearchersStillEnd) {
  PatternDevice device(0);
  EXPECT_EQ(Scan(&device), kPassBadRange);
  EXPECT_TRUE(parts.journal.Matching("32:block:").empty());
  EXPECT_EQ(parts.journal.Matching("32:end").size(), 1u);
  EXPECT_EQ(Reports(sink), (std::vector<Report>{{2, 1, 0}, {3, 1, 1}}));
}

TEST_F(CompleteScan, CancellingMidPassSkipsOnlyTheCarversEnd) {
  // Continued() is asked once per block: the fourth call stops before block 3.
  sink.StopAtCall(4);
  sink.build = 0;
  PatternDevice device(13 * 8192);
  EXPECT_EQ(Scan(&device), 0u) << "a stop is not an error";
  for (const std::string& tag : kTags) {
    EXPECT_EQ(BlocksOf(tag), (std::vector<std::string>{"0:8192", "8192:8192", "16384:8192"}));
  }
  EXPECT_EQ(parts.journal.Matching("34:end").size(), 0u);
  for (const char* tag : {"31", "33", "32", "35"}) {
    EXPECT_EQ(parts.journal.Matching(std::string(tag) + ":end"), std::vector<std::string>{std::string(tag) + ":end:0"});
  }
  EXPECT_EQ(Reports(sink), PassReports(13, 3));
}

TEST_F(CompleteScan, PausingMidPassHoldsTheSearchersUntilResumed) {
  sink.PauseAtCall(3);  // before block 2
  PatternDevice device(13 * 8192);
  ResultCode code = 1;
  std::thread worker([&] { code = Scan(&device); });
  sink.WaitUntilPaused();
  // The worker is held inside Continued(): no searcher works meanwhile.
  EXPECT_EQ(BlocksOf("35"), (std::vector<std::string>{"0:8192", "8192:8192"}));
  EXPECT_TRUE(parts.journal.Matching("35:end").empty());
  sink.Resume();
  worker.join();
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(BlocksOf("35").size(), 13u);
  EXPECT_EQ(parts.journal.Matching("34:end"), std::vector<std::string>{"34:end:1"});
  EXPECT_EQ(Reports(sink), PassReports(13, 13));
}

TEST_F(CompleteScan, AReplayFeedsTheBuilderAndSkipsThePass) {
  treetest::NodeLedger ledger;
  scantest::FakeReplay replay(&parts.journal);
  replay.type = SEARCHER_TYPE_FAT;
  replay.rootID = 0;
  replay.feed = [&] {
    return std::vector<IFileNode*>{new treetest::LedgerNode(&ledger, 3, 0, "DCIM", true, 0),
                                   new treetest::LedgerNode(&ledger, 4, 3, "IMG_1.JPG", false, 10)};
  };
  replay.records[SEARCHER_TYPE_FAT].push_back(scantest::MakeRecord(2, 55));
  controller->SetRestoreScanSink(&replay);
  PatternDevice device(3 * 8192);
  EXPECT_EQ(Scan(&device), 0u);
  EXPECT_EQ(parts.builderFlags, std::vector<bool>{true}) << "a replaying builder";
  EXPECT_TRUE(parts.journal.Matching("32:prepare").empty());
  EXPECT_TRUE(parts.journal.Matching("32:block:").empty());
  EXPECT_EQ(parts.journal.Count("replay"), 1u);
  EXPECT_EQ(parts.journal.Matching("34:end"), std::vector<std::string>{"34:end:1"});
  EXPECT_EQ(replay.device, &device);
  EXPECT_EQ(replay.builder, controller->GetTreeBuilder());
  EXPECT_EQ(device.reads(), 0) << "nothing is read ahead for a replay";
  EXPECT_EQ(Reports(sink), (std::vector<Report>{{2, 1, 0}, {3, 1, 1}}));
  ASSERT_EQ(tree.roots.size(), 1u);
  EXPECT_EQ(treetest::TreeLines(tree.roots[0]), (std::set<std::string>{"DCIM/", "DCIM/IMG_1.JPG"}));
  EXPECT_EQ(Markers(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_FAT)).get()), std::vector<int64_t>{55});
  controller->Release();
  controller = nullptr;
  EXPECT_EQ(ledger.Live(), 0);
}

TEST_F(CompleteScan, CopyOutComesFromTheSearcherOfTheType) {
  parts.missing = {SEARCHER_TYPE_HFSPLUS};
  parts.setUpComplete = [](FakeCompleteSearcher* searcher) {
    if (searcher->type != SEARCHER_TYPE_EXFAT) {
      searcher->records.emplace_back(scantest::MakeRecord(3, 1000 + searcher->type));
    }
  };
  Reparts();
  PatternDevice device(10);
  ASSERT_EQ(Scan(&device), 0u);
  EXPECT_EQ(Markers(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_NTFS)).get()), std::vector<int64_t>{1035});
  EXPECT_EQ(Markers(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_FAT)).get()), std::vector<int64_t>{1032});
  EXPECT_EQ(Markers(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_RAW)).get()), std::vector<int64_t>{1034});
  EXPECT_EQ(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_HFSPLUS)), nullptr) << "no such searcher";
  EXPECT_EQ(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_EXFAT)), nullptr) << "found nothing";
  EXPECT_EQ(RecoveryPtr(controller->GetDataRecovery(SEARCHER_TYPE_NONE)), nullptr);
}

TEST_F(CompleteScan, ReleasesBuildersThenSearchersThenTheCache) {
  parts.fakeBuilder = true;
  parts.setUpComplete = [](FakeCompleteSearcher* searcher) {
    // The cache must still be there for a searcher going away: found
    // volumes read through it.
    searcher->onDestroy = [searcher] {
      uint8_t sector[512];
      EXPECT_EQ(searcher->device->ReadSector(sector, 0, 1), 1);
    };
  };
  Reparts();
  PatternDevice device(8193);
  ASSERT_EQ(Scan(&device), 0u);
  ASSERT_EQ(Scan(&device), 0u) << "a second run keeps the first";
  EXPECT_EQ(controller->GetRunCount(), 2u);
  controller->Release();
  controller = nullptr;
  const std::vector<std::string> events = parts.journal.Events();
  std::vector<std::string> ends;
  for (const std::string& event : events) {
    if (event == "builder:released" || event.find(":destroyed") != std::string::npos) ends.push_back(event);
  }
  ASSERT_EQ(ends.size(), 12u);
  EXPECT_EQ(ends[0], "builder:released");
  EXPECT_EQ(ends[1], "builder:released");
  for (size_t i = 2; i < ends.size(); ++i) EXPECT_NE(ends[i], "builder:released");
}

TEST_F(CompleteScan, AFailingSearcherIsLoggedOncePerPass) {
  parts.setUpComplete = [](FakeCompleteSearcher* searcher) {
    if (searcher->type == SEARCHER_TYPE_NTFS) searcher->analyzeAnswer = 0x0112004400000006ull;
  };
  Reparts();
  const auto count = [] {
    std::ifstream log(scantest::LogFile());
    size_t lines = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.find("AnalyzeBlock of searcher 35 failed at sector 0: 0x0112004400000006") != std::string::npos) {
        ++lines;
      }
    }
    return lines;
  };
  const size_t before = count();
  PatternDevice device(5 * 8192);
  ASSERT_EQ(Scan(&device), 0u);
  EXPECT_EQ(count(), before + 1);
  EXPECT_TRUE(parts.journal.Matching("35:end").size() == 1) << "a failing searcher still ends";
}

TEST_F(CompleteScan, ThePartitionKindScansTheSameWay) {
  SetUpController(new CPartitionRecoveryController());
  EXPECT_EQ(controller->thisType(), RECOVERY_CONTROLLER_PARTITION);
  PatternDevice disk(8193, 512, STORAGE_DEVICE_DISK);
  ASSERT_EQ(Scan(&disk), 0u);
  EXPECT_EQ(BlocksOf("31"), (std::vector<std::string>{"0:8192", "8192:1"}));
  EXPECT_EQ(Reports(sink), PassReports(2, 2));
}

TEST(BlockPass, RefusesMissingPartsAndEmptyRanges) {
  PatternDevice device(100);
  CStorageDeviceWithCache cache(&device);
  scantest::ScriptedSink sink;
  EXPECT_EQ(CCompleteRecoveryController::SearchBlocks(nullptr, &cache, {}, 0, 99), kPassNoSink);
  EXPECT_EQ(CCompleteRecoveryController::SearchBlocks(&sink, nullptr, {}, 0, 99), kPassNoSink);
  EXPECT_EQ(CCompleteRecoveryController::SearchBlocks(&sink, &cache, {}, 50, 49), kPassBadRange);
  EXPECT_EQ(CCompleteRecoveryController::SearchBlocks(&sink, &cache, {}, 100, 200), kPassBadRange);
  EXPECT_TRUE(sink.Records().empty());
}

TEST(BlockPass, CoversTheBlocksOfARangeCutAtTheEnd) {
  PatternDevice device(3 * 8192);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(8192);
  cache.BeginCache();
  scantest::Journal journal;
  FakeCompleteSearcher searcher(SEARCHER_TYPE_RAW, &journal);
  searcher.readBlocks = true;
  searcher.SetDevice(&cache);
  scantest::ScriptedSink sink;
  EXPECT_EQ(CCompleteRecoveryController::SearchBlocks(&sink, &cache, {{SEARCHER_TYPE_RAW, &searcher}}, 8000, 1 << 30),
            0u);
  EXPECT_EQ(journal.Matching("34:block:"),
            (std::vector<std::string>{"34:block:0:8192", "34:block:8192:8192", "34:block:16384:8192"}));
  ASSERT_EQ(searcher.blocks.size(), 3u);
  EXPECT_EQ(searcher.blocks[2], PatternDevice::Expected(16384, 8192));
  // Ending inside a block cuts that block.
  scantest::Journal second;
  FakeCompleteSearcher cut(SEARCHER_TYPE_FAT, &second);
  EXPECT_EQ(CCompleteRecoveryController::SearchBlocks(&sink, &cache, {{SEARCHER_TYPE_FAT, &cut}}, 0, 9000), 0u);
  EXPECT_EQ(second.Matching("32:block:"), (std::vector<std::string>{"32:block:0:8192", "32:block:8192:809"}));
}

}  // namespace
