// The complete controller with fake searchers: stopping and pausing the pass,
// replays, copy-out and what goes first at the end. The pass itself is
// checked on real images (RealImageScanTest.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/scan/ScanTestSupport.h"
#include "engine/tree/TreeTestSupport.h"
#include "scan/CStorageDeviceWithCache.h"

namespace {

using namespace scantest;

class CompleteScan : public ::testing::Test {
 protected:
  CompleteScan() {
    controller->SetParts(parts.Parts());
    controller->Initialize(&filter);
  }
  ~CompleteScan() override {
    if (controller != nullptr) controller->Release();
  }
  ResultCode Scan(IStorageDevice* device) { return controller->StartDataRecovery(device, &sink, &tree); }

  FakeParts parts;
  treetest::FakeFilter filter;
  treetest::RecordingTree tree;
  ScriptedSink sink;
  CCompleteRecoveryController* controller = new CCompleteRecoveryController();
};

TEST_F(CompleteScan, CancellingMidPassSkipsOnlyTheCarversEnd) {
  sink.onContinued = [](int call) { return call < 4 ? 1 : 0; };  // asked once per block: stops before block 3
  sink.build = 0;
  PatternDevice device(13 * 8192);
  EXPECT_EQ(Scan(&device), 0u) << "a stop is not an error";
  for (const auto& [type, searcher] : parts.made) {
    Strings expected{"prepare", "block:0:8192", "block:8192:8192", "block:16384:8192"};
    if (type != SEARCHER_TYPE_RAW) expected.push_back("end:0");
    EXPECT_EQ(searcher->calls, expected) << type;
    EXPECT_EQ(searcher->passEnds, 1) << type << ": the carver frees its ring too";
  }
  EXPECT_EQ(sink.Reports(), PassReports(13, 3));
  EXPECT_EQ(controller->GetCacheDevice()->GetCurCacheBlock(), -1) << "no block held while the results are shown";
}

// A failing disk that takes a while over every read past the page cache:
// a block with many bad sectors is read around them for seconds. Meanwhile
// the bar moves (reports in thousandths of a block), and a stop ends the
// read within one more read of the medium, whether the block is one of the
// first ones read before the pass or one the reader thread reads ahead.
TEST_F(CompleteScan, AStopWhileABlockIsReadAroundDamageEndsItAtOnceAndTheBarMovesMeanwhile) {
  constexpr int64_t kBlock = 8192, kBlocks = 12;
  for (const int64_t damaged : {int64_t{1}, int64_t{11}}) {
    SCOPED_TRACE(damaged);
    std::vector<std::pair<int64_t, int64_t>> bad;
    for (int64_t sector = damaged * kBlock + 5; sector < (damaged + 1) * kBlock; sector += 32)
      bad.emplace_back(sector * 512, 512);
    auto owned = std::make_unique<devicetest::FailingMedium>(std::vector<uint8_t>(kBlocks * kBlock * 512, 0x5A), bad);
    devicetest::FailingMedium* medium = owned.get();
    medium->uncachedMillis = 2;
    CDiskDevice disk("a slow failing disk");
    disk.OpenOn(std::move(owned), 512, kBlocks * kBlock);

    ScriptedSink watching;
    std::atomic<int> readsAtStop{-1}, cachedAtStop{-1};
    const auto fine = [&watching] {
      std::vector<_PROGRESS_INFO> out;
      for (const _PROGRESS_INFO& r : watching.Records()) {
        if (r.status == PROGRESS_STATUS_RUNNING && r.total == kBlocks * 1000) out.push_back(r);
      }
      return out;
    };
    watching.onContinued = [&](int) {
      if (readsAtStop >= 0) return 0;
      if (fine().size() < 3) return 1;
      readsAtStop = medium->Count()->uncached.load();
      cachedAtStop = medium->Count()->cached.load();
      return 0;
    };
    CCompleteRecoveryController* scan = new CCompleteRecoveryController();
    FakeParts made;
    scan->SetParts(made.Parts());
    scan->Initialize(&filter);
    EXPECT_EQ(scan->StartDataRecovery(&disk, &watching, &tree), 0u) << "a stop is not an error";
    ASSERT_GE(readsAtStop.load(), 0) << "the stop was never asked";
    EXPECT_LE(medium->Count()->uncached.load() - readsAtStop.load(), 2) << "reads of the medium after the stop";
    EXPECT_EQ(medium->Count()->cached.load(), cachedAtStop.load()) << "blocks read ahead after the stop";
    const std::vector<_PROGRESS_INFO> moving = fine();
    ASSERT_GE(moving.size(), 3u);
    for (size_t i = 0; i < moving.size(); ++i) {
      EXPECT_GE(moving[i].current, static_cast<uint64_t>(damaged * 1000 * 4 / 5));
      EXPECT_LT(moving[i].current, static_cast<uint64_t>((damaged + 1) * 1000 * 4 / 5));
      if (i > 0) {
        EXPECT_GE(moving[i].current, moving[i - 1].current);
      }
    }
    EXPECT_GT(moving.back().current, moving.front().current) << "the bar moves while the block is read";
    EXPECT_TRUE(made.made[SEARCHER_TYPE_NTFS]->Calls("block:" + std::to_string(damaged * kBlock)).empty())
        << "the damaged block was never examined";
    scan->Release();
  }
}

TEST_F(CompleteScan, PausingMidPassHoldsTheSearchersUntilResumed) {
  std::promise<void> paused, resumed;
  sink.onContinued = [&, resume = resumed.get_future().share()](int call) {
    if (call == 3) paused.set_value(), resume.wait();  // before block 2
    return 1;
  };
  PatternDevice device(13 * 8192);
  ResultCode code = 1;
  std::thread worker([&] { code = Scan(&device); });
  paused.get_future().wait();
  EXPECT_EQ(parts.made[SEARCHER_TYPE_NTFS]->calls, (Strings{"prepare", "block:0:8192", "block:8192:8192"}));
  resumed.set_value();
  worker.join();
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(parts.made[SEARCHER_TYPE_NTFS]->Calls("block:").size(), 13u);
  EXPECT_EQ(sink.Reports(), PassReports(13, 13));  // floor(0.8 x 13) = 10 at the end of the pass
}

TEST_F(CompleteScan, AReplaySkipsThePassAndTheTreesGoBeforeTheSearchersAndTheCache) {
  treetest::NodeLedger ledger;
  FakeReplay replay;
  replay.type = SEARCHER_TYPE_FAT;
  replay.feed = [&] {
    return std::vector<IFileNode*>{new treetest::LedgerNode(&ledger, 10, 5, "DCIM", true, 0),
                                   new treetest::LedgerNode(&ledger, 11, 10, "IMG_1.JPG", false, 10)};
  };
  replay.records[SEARCHER_TYPE_FAT].push_back(MakeRecord(55));
  parts.setUp = [&](FakeSearcher* searcher) {
    searcher->onDestroy = [&ledger, searcher] {
      EXPECT_EQ(ledger.Live(), 0) << "nodes may point at what the searchers own";
      uint8_t sector[512];
      EXPECT_EQ(searcher->device->ReadSector(sector, 0, 1), 1) << "found volumes read through the cache";
    };
  };
  controller->SetRestoreScanSink(&replay);
  PatternDevice device(3 * 8192);
  EXPECT_EQ(Scan(&device), 0u);
  EXPECT_EQ(parts.builderFlags, std::vector<bool>{true}) << "a replaying builder";
  // The replay finished its trees: the searchers, which saw nothing, end
  // without building and have no block pass to end.
  for (const auto& [type, searcher] : parts.made) {
    EXPECT_EQ(searcher->calls, Strings{"end:0"}) << type;
    EXPECT_EQ(searcher->passEnds, 0) << type;
  }
  EXPECT_TRUE(replay.device == &device && device.reads == 0) << "nothing is read ahead for a replay";
  EXPECT_EQ(sink.Reports(), (Strings{"{2,1,0}", "{3,1,1}"}));
  ASSERT_EQ(tree.roots.size(), 1u);
  EXPECT_EQ(treetest::TreeLines(tree.roots[0]), (std::set<std::string>{"DCIM/", "DCIM/IMG_1.JPG"}));
  EXPECT_EQ(Markers(controller->GetDataRecovery(SEARCHER_TYPE_FAT)), std::vector<int64_t>{55});
  controller->Release();
  controller = nullptr;
  EXPECT_EQ(ledger.Live(), 0);
}

TEST_F(CompleteScan, WithoutSectorsOrSearchersTheEndIsStillReported) {
  PatternDevice empty(0), device(100);
  EXPECT_EQ(Scan(&empty), 0x010400CB00000403ull);
  for (const auto& [type, searcher] : parts.made) EXPECT_EQ(searcher->calls, (Strings{"prepare", "end:1"})) << type;
  parts.missing = {SEARCHER_TYPE_HFSPLUS, SEARCHER_TYPE_EXFAT, SEARCHER_TYPE_FAT, SEARCHER_TYPE_RAW,
                   SEARCHER_TYPE_NTFS};
  EXPECT_EQ(Scan(&device), 0x0104006A00000402ull);
  EXPECT_EQ(sink.Reports(), (Strings{"{2,1,0}", "{3,1,1}", "{2,1,0}", "{3,1,1}"}));
  EXPECT_EQ(parts.madeLog,
            (Strings{"builder", "31", "33", "32", "34", "35", "flush", "builder", "31", "33", "32", "34", "35"}));
  EXPECT_EQ(device.reads.load(), 0);
  EXPECT_EQ(controller->GetRunCount(), 1u);
}

TEST_F(CompleteScan, CopyOutComesFromTheLatestSearcherOfTheType) {
  int marker = 0;
  parts.missing = {SEARCHER_TYPE_HFSPLUS};
  parts.setUp = [&](FakeSearcher* searcher) {
    if (searcher->type != SEARCHER_TYPE_EXFAT) searcher->records.emplace_back(MakeRecord(marker++));
  };
  PatternDevice device(10);
  ASSERT_EQ(Scan(&device), 0u);
  ASSERT_EQ(Scan(&device), 0u);  // FAT 3, RAW 4, NTFS 5
  for (const auto& [type, expected] : std::vector<std::pair<_tagSearcherType, int64_t>>{
           {SEARCHER_TYPE_FAT, 3}, {SEARCHER_TYPE_RAW, 4}, {SEARCHER_TYPE_NTFS, 5}}) {
    EXPECT_EQ(Markers(controller->GetDataRecovery(type)), std::vector<int64_t>{expected});
  }
  for (_tagSearcherType type : {SEARCHER_TYPE_HFSPLUS, SEARCHER_TYPE_EXFAT, SEARCHER_TYPE_NONE}) {
    EXPECT_EQ(controller->GetDataRecovery(type), nullptr) << "no searcher, nothing found, no type";
  }
}

}  // namespace
