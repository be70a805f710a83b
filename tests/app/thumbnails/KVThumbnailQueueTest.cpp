// The thumbnail loaders' worker, without Qt (so ThreadSanitizer runs it):
// the cover flow's window around the selection; loads one at a time in
// order; a stop that drops what is queued and returns once the running load
// has; and the results window's two loaders reading the photos fixture
// through the engine's copy-out object while rows are switched: every read
// gives the original's bytes and no load runs or begins once a stop returned.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "app/thumbnails/KVThumbnailQueue.h"
#include "app/thumbnails/KVThumbnailSource.h"
#include "app/thumbnails/PhotoFixture.h"
#include "engine/device/DeviceTestSupport.h"
#include "tools/QuickScanProbe.h"

namespace {

using namespace std::chrono_literals;
using Window = std::pair<size_t, size_t>;

// A stop that hangs ends the program: no later check could survive it.
void StopWithin(KVThumbnailQueue& queue, std::chrono::seconds limit = 30s) {
  auto stopped = std::async(std::launch::async, [&] { queue.Stop(); });
  if (stopped.wait_for(limit) != std::future_status::ready) std::abort();
}

bool Ends(const std::atomic<int>& state) {
  for (int k = 0; k < 30000 && state.load() != KVThumbnailQueue::kEnded; ++k) std::this_thread::sleep_for(1ms);
  return state.load() == KVThumbnailQueue::kEnded;
}

TEST(ThumbnailQueue, TheCoverFlowLoadsEveryItemUpToTenElseAHundredEitherSideOfTheSelection) {
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(7, 10), Window(0, 10));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(0, 11), Window(0, 11));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(0, 300), Window(0, 100));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(101, 300), Window(1, 201));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(299, 300), Window(199, 300));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(500, 1000), Window(400, 600));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(900, 300), Window(300, 300));  // a list that shrank
}

TEST(ThumbnailQueue, AStopDropsTheQueuedLoadsAndReturnsOnceTheRunningOneHas) {
  std::atomic<int> state{KVThumbnailQueue::kNeverStarted};
  KVThumbnailQueue queue(state);
  StopWithin(queue);  // nothing runs: at once, and the word stays
  EXPECT_EQ(state.load(), KVThumbnailQueue::kNeverStarted);

  std::vector<int> order;  // written by the loads only, read once they ended
  std::atomic<int> inside{0}, overlaps{0}, dropped{0};
  for (int k = 0; k < 20; ++k) {
    queue.Add([&, k] {
      overlaps += inside.fetch_add(1) != 0;
      order.push_back(k);
      --inside;
    });
  }
  ASSERT_TRUE(Ends(state));
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(order, [] {
    std::vector<int> all(20);
    for (int k = 0; k < 20; ++k) all[static_cast<size_t>(k)] = k;
    return all;
  }());

  // A load that goes on until it learns of the stop, with more queued.
  std::atomic<bool> began{false}, sawStop{false};
  queue.Add([&] {
    began = true;
    while (!queue.StopAsked()) std::this_thread::sleep_for(100us);
    sawStop = true;
  });
  for (int k = 0; k < 200; ++k) queue.Add([&] { ++dropped; });
  EXPECT_EQ(state.load(), KVThumbnailQueue::kRunning);
  while (!began) std::this_thread::sleep_for(100us);
  StopWithin(queue);
  EXPECT_TRUE(sawStop);
  EXPECT_FALSE(queue.Busy());
  EXPECT_EQ(queue.Pending(), 0u);
  EXPECT_EQ(state.load(), KVThumbnailQueue::kEnded);
  queue.Add([&] { order.push_back(-1); });
  ASSERT_TRUE(Ends(state));
  EXPECT_EQ(dropped.load(), 0);
  EXPECT_EQ(order.back(), -1);
}

TEST(ThumbnailQueue, RowsSwitchedWhileBothLoadersReadTheCardLeaveNoLoadRunningAndEveryReadRight) {
  REQUIRE_PHOTO_FIXTURE();
  devicetest::ImageGuard unchanged(phototest::Disk());
  quickprobe::QuickScan::Options options;
  options.offset = phototest::kVolumeOffset;
  quickprobe::QuickScan scan(phototest::Disk(), options);
  ASSERT_TRUE(scan.Run());
  std::map<std::string, phototest::Picture> pictures = phototest::Pictures();
  std::map<std::string, std::vector<const quickprobe::Node*>> folders;
  for (const quickprobe::Node& node : scan.nodes()) {
    if (!node.folder) folders[phototest::fs::path(node.path).parent_path().filename().string()].push_back(&node);
  }
  ASSERT_EQ(folders["100PHOTO"].size(), 300u);
  IDataRecovery* copyOut = scan.Recovery(folders["100PHOTO"].front()->node);
  ASSERT_NE(copyOut, nullptr);
  std::mutex copyOutLock, readLock;
  std::atomic<int> coverState{-1}, gridState{-1}, generation{0}, active{0}, late{0}, loaded{0}, unreadable{0};
  KVThumbnailQueue cover(coverState), grid(gridState);
  std::mt19937 random(17);

  for (int round = 0; round < 60; ++round) {
    const auto& files = folders[round % 3 == 1 ? "Few" : round % 3 == 2 ? "Holiday" : "100PHOTO"];
    // What a loader fills: read by this thread once the loaders stopped.
    std::vector<std::vector<uint8_t>> read(files.size());
    const int mine = generation.load();
    const auto load = [&, mine](KVThumbnailQueue& queue, size_t k) {
      return [&, mine, k] {
        if (queue.StopAsked()) return;
        ++active;
        late += generation.load() != mine;
        KVThumbnailSource source;
        std::vector<uint8_t> bytes;
        if (source.Open(copyOut, copyOutLock, files[k]->node, nullptr, 30s)) {
          bytes = source.ReadHead(KVThumbnailSource::kPictureLimit);
        }
        unreadable += bytes.empty();
        std::lock_guard<std::mutex> held(readLock);  // both loaders may read one file
        read[k] = std::move(bytes);
        ++loaded;
        --active;
      };
    };
    const auto [first, end] = KVThumbnailQueue::CoverFlowWindow(random() % files.size(), files.size());
    for (size_t k = first; k < end; ++k) cover.Add(load(cover, k));
    for (int k = 0; k < 24; ++k) grid.Add(load(grid, random() % files.size()));
    // Most rows are left while loading; some are loaded to the end.
    if (round % 6 == 5) {
      ASSERT_TRUE(Ends(coverState) && Ends(gridState));
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    }
    StopWithin(cover);
    StopWithin(grid);
    EXPECT_EQ(active.load(), 0);
    EXPECT_EQ(coverState.load() + gridState.load(), 2 * KVThumbnailQueue::kEnded);
    ++generation;
    for (size_t k = 0; k < files.size(); ++k) {
      const std::string name = phototest::fs::path(files[k]->path).filename().string();
      if (!read[k].empty()) {
        EXPECT_EQ(read[k], testsupport::ReadFile(phototest::Original(pictures[name].path))) << name;
      }
    }
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(late.load(), 0);
  EXPECT_EQ(unreadable.load(), 0);
  EXPECT_GT(loaded.load(), 300);
}

}  // namespace
