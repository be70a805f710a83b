// The thumbnail loaders' worker, without Qt (so ThreadSanitizer runs it):
// loads one at a time and in order, a stop that drops what is queued and
// returns once the running load has (never hanging on dropped loads), the
// cover flow's window around the selection, and the results window's use
// of two loaders while the user switches rows: both read the photos
// fixture's files through the engine's copy-out object, every read gives
// the original's bytes, and no load runs or begins once a stop returned.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "app/thumbnails/KVThumbnailQueue.h"
#include "app/thumbnails/KVThumbnailSource.h"
#include "app/thumbnails/PhotoFixture.h"
#include "engine/device/DeviceTestSupport.h"
#include "tools/QuickScanProbe.h"

namespace {

using namespace std::chrono_literals;
using Window = std::pair<size_t, size_t>;

// Runs `call` on a thread of its own; a call that has not returned after
// `limit` is a hang, which no later check could survive.
void ReturnsWithin(const std::function<void()>& call, std::chrono::seconds limit = 30s) {
  std::mutex lock;
  std::condition_variable done;
  bool returned = false;
  std::thread caller([&] {
    call();
    std::lock_guard<std::mutex> held(lock);
    returned = true;
    done.notify_all();
  });
  std::unique_lock<std::mutex> held(lock);
  if (!done.wait_for(held, limit, [&] { return returned; })) {
    std::fprintf(stderr, "the call did not return within %lld s\n", static_cast<long long>(limit.count()));
    std::abort();
  }
  held.unlock();
  caller.join();
}

bool EndsWithin(const std::atomic<int>& state, std::chrono::seconds limit = 30s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (state.load() != KVThumbnailQueue::kEnded) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(ThumbnailQueue, TheCoverFlowLoadsEveryItemUpToTenElseAHundredEitherSideOfTheSelection) {
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(0, 0), Window(0, 0));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(7, 10), Window(0, 10));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(0, 11), Window(0, 11));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(0, 300), Window(0, 100));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(100, 300), Window(0, 200));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(101, 300), Window(1, 201));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(299, 300), Window(199, 300));
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(500, 1000), Window(400, 600));
  // A selection past the end (a list that shrank) loads nothing.
  EXPECT_EQ(KVThumbnailQueue::CoverFlowWindow(900, 300), Window(300, 300));
}

TEST(ThumbnailQueue, LoadsRunOneAtATimeInTheirOrderAndTheLoaderEndsWhenTheyAreDone) {
  std::atomic<int> state{KVThumbnailQueue::kNeverStarted};
  KVThumbnailQueue queue(state);
  // Nothing runs: a stop returns at once and leaves the word alone.
  ReturnsWithin([&] { queue.Stop(); });
  EXPECT_EQ(state.load(), KVThumbnailQueue::kNeverStarted);

  std::vector<int> order;  // written by the loads only, read after they ended
  std::atomic<int> inside{0}, overlaps{0};
  for (int k = 0; k < 50; ++k) {
    ASSERT_TRUE(queue.Add([&, k] {
      overlaps += inside.fetch_add(1) != 0;
      order.push_back(k);
      std::this_thread::sleep_for(100us);
      --inside;
    }));
  }
  ASSERT_TRUE(EndsWithin(state));
  EXPECT_EQ(overlaps.load(), 0);
  ASSERT_EQ(order.size(), 50u);
  for (int k = 0; k < 50; ++k) EXPECT_EQ(order[static_cast<size_t>(k)], k);
  EXPECT_EQ(queue.Pending(), 0u);
  // Ended: a stop returns at once and it stays ended.
  ReturnsWithin([&] { queue.Stop(); });
  EXPECT_EQ(state.load(), KVThumbnailQueue::kEnded);
}

TEST(ThumbnailQueue, AStopDropsTheQueuedLoadsAndReturnsOnceTheRunningOneHas) {
  std::atomic<int> state{KVThumbnailQueue::kNeverStarted};
  KVThumbnailQueue queue(state);
  std::atomic<bool> began{false}, sawStop{false};
  std::atomic<int> queuedRan{0};
  // The running load goes on until it learns of the stop.
  queue.Add([&] {
    began = true;
    while (!queue.StopAsked()) std::this_thread::sleep_for(100us);
    sawStop = true;
  });
  for (int k = 0; k < 200; ++k) queue.Add([&] { ++queuedRan; });
  EXPECT_EQ(state.load(), KVThumbnailQueue::kRunning);
  while (!began) std::this_thread::sleep_for(100us);
  EXPECT_TRUE(queue.Busy());
  ReturnsWithin([&] { queue.Stop(); });
  EXPECT_TRUE(sawStop);
  EXPECT_FALSE(queue.Busy());
  EXPECT_EQ(queue.Pending(), 0u);
  EXPECT_EQ(state.load(), KVThumbnailQueue::kEnded);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(queuedRan.load(), 0);

  // Loads queued and none begun yet (the worker is held by the first): the
  // stop still returns, the dropped ones never confirming.
  std::atomic<bool> open{false};
  queue.Add([&] {
    while (!open) std::this_thread::sleep_for(100us);
  });
  for (int k = 0; k < 50; ++k) queue.Add([&] { ++queuedRan; });
  std::thread opener([&] {
    std::this_thread::sleep_for(30ms);
    open = true;
  });
  ReturnsWithin([&] { queue.Stop(); });
  opener.join();
  EXPECT_EQ(queuedRan.load(), 0);
  EXPECT_EQ(state.load(), KVThumbnailQueue::kEnded);

  // The queue takes loads again after a stop.
  queue.Add([&] { ++queuedRan; });
  ASSERT_TRUE(EndsWithin(state));
  EXPECT_EQ(queuedRan.load(), 1);
}

TEST(ThumbnailQueue, GoingAwayWithLoadsQueuedRunsNoMoreOfThem) {
  std::atomic<int> state{KVThumbnailQueue::kNeverStarted};
  std::atomic<int> ran{0};
  ReturnsWithin([&] {
    KVThumbnailQueue queue(state);
    for (int k = 0; k < 500; ++k) {
      queue.Add([&] {
        ++ran;
        std::this_thread::sleep_for(1ms);
      });
    }
    std::this_thread::sleep_for(5ms);
  });
  EXPECT_LT(ran.load(), 500);
}

// One picture of a file pane, as the cover flow's items and the grid's
// tiles are: filled by a loader while the window's thread may read it.
struct Tile {
  std::mutex lock;
  std::vector<uint8_t> bytes;
};

class PhotoCard : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PHOTO_FIXTURE();
    guard_ = std::make_unique<devicetest::ImageGuard>(phototest::Disk());
    quickprobe::QuickScan::Options options;
    options.offset = phototest::kVolumeOffset;
    scan_ = std::make_unique<quickprobe::QuickScan>(phototest::Disk(), options);
    ASSERT_TRUE(scan_->Run());
    for (const quickprobe::Node& node : scan_->nodes()) {
      if (!node.folder) folders_[phototest::fs::path(node.path).parent_path().filename().string()].push_back(&node);
    }
  }

  std::unique_ptr<devicetest::ImageGuard> guard_;
  std::unique_ptr<quickprobe::QuickScan> scan_;
  std::map<std::string, std::vector<const quickprobe::Node*>> folders_;
};

TEST_F(PhotoCard, SwitchingRowsWhileBothLoadersReadTheCardLeavesNoLoadRunningAndEveryReadRight) {
  ASSERT_EQ(folders_["100PHOTO"].size(), 300u);
  ASSERT_EQ(folders_["Few"].size(), 8u);
  IDataRecovery* copyOut = scan_->Recovery(folders_["100PHOTO"].front()->node);
  ASSERT_NE(copyOut, nullptr);
  std::mutex copyOutLock;
  std::atomic<int> coverState{KVThumbnailQueue::kNeverStarted}, gridState{KVThumbnailQueue::kNeverStarted};
  KVThumbnailQueue cover(coverState), grid(gridState);
  std::atomic<int> generation{0}, active{0}, late{0}, unreadable{0}, loaded{0};
  std::mt19937 random(17);
  const std::vector<std::string> rows = {"100PHOTO", "Few", "100PHOTO", "Holiday"};
  std::map<std::string, phototest::Picture> pictures = phototest::Pictures();

  for (int round = 0; round < 60; ++round) {
    const std::vector<const quickprobe::Node*>& files = folders_[rows[static_cast<size_t>(round) % rows.size()]];
    std::vector<std::shared_ptr<Tile>> tiles;
    for (size_t k = 0; k < files.size(); ++k) tiles.push_back(std::make_shared<Tile>());
    const int mine = generation.load();
    const auto load = [&, mine](KVThumbnailQueue& queue, std::shared_ptr<Tile> tile, IFileNode* node) {
      return [&, mine, tile, node] {
        if (queue.StopAsked()) return;
        ++active;
        late += generation.load() != mine;
        KVThumbnailSource source;
        std::vector<uint8_t> bytes;
        if (source.Open(copyOut, copyOutLock, node, nullptr, 30s))
          bytes = source.ReadHead(KVThumbnailSource::kPictureLimit);
        unreadable += bytes.empty();
        {
          std::lock_guard<std::mutex> held(tile->lock);
          tile->bytes = std::move(bytes);
        }
        ++loaded;
        --active;
      };
    };
    // The cover flow around a selection, the grid's tiles in view.
    const size_t selected = random() % files.size();
    const auto [first, end] = KVThumbnailQueue::CoverFlowWindow(selected, files.size());
    for (size_t k = first; k < end; ++k) cover.Add(load(cover, tiles[k], files[k]->node));
    for (int k = 0; k < 24; ++k) {
      const size_t at = random() % files.size();
      grid.Add(load(grid, tiles[at], files[at]->node));
    }
    // Most rows are left while loading; some are loaded to the end.
    if (round % 6 == 5) {
      ASSERT_TRUE(EndsWithin(coverState));
      ASSERT_TRUE(EndsWithin(gridState));
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    }
    ReturnsWithin([&] { cover.Stop(); });
    ReturnsWithin([&] { grid.Stop(); });
    EXPECT_EQ(active.load(), 0) << "round " << round;
    EXPECT_EQ(coverState.load(), KVThumbnailQueue::kEnded);
    EXPECT_EQ(gridState.load(), KVThumbnailQueue::kEnded);
    ++generation;
    // What the loads of this row read is the originals' bytes.
    for (size_t k = 0; k < files.size(); ++k) {
      std::lock_guard<std::mutex> held(tiles[k]->lock);
      if (tiles[k]->bytes.empty()) continue;
      const std::string name = phototest::fs::path(files[k]->path).filename().string();
      EXPECT_EQ(tiles[k]->bytes, testsupport::ReadFile(phototest::Original(pictures[name].path))) << name;
    }
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(late.load(), 0);
  EXPECT_EQ(unreadable.load(), 0);
  EXPECT_GT(loaded.load(), 300);
}

}  // namespace
