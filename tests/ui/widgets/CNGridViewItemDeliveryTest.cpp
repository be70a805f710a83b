// Thumbnails made on loader threads reach grid items on the main thread,
// and only the items that still show the row they were made for.
#include <QApplication>
#include <QPointer>
#include <QScrollBar>
#include <QThread>

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "GridTestSupport.h"
#include "QtTestSupport.h"
#include "UiTestSupport.h"
#include "ui/widgets/CNGridView.h"
#include "ui/widgets/KitImages.h"

namespace {

using gridtest::IndexColor;
using gridtest::SolidImage;

QColor Centre(const CNGridViewItem* item) {
  const QImage image = item->itemImage().toImage();
  return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

TEST(CNGridViewItemDeliveryTest, ImagesLandOnTheMainThreadOnlyOnItemsStillShowingTheirRow) {
  uitest::App();
  const QPixmap placeholder = KitImages::Named(QStringLiteral("loading.png"));
  auto item = [&] {
    auto* made = new CNGridViewItem;
    made->setItemImage(placeholder);
    made->setNode(gridtest::MakeRow());
    return made;
  };
  CNGridViewItem* kept = item();
  CNGridViewItem* moved = item();
  CNGridViewItem* empty = item();
  CNGridViewItem* changedLate = item();
  CNGridViewItem* gone = item();
  const KitRowRef oldRow = moved->node();
  moved->setNode(gridtest::MakeRow());  // recycled for another file before the image came

  const QPointer<CNGridViewItem> refs[] = {kept, moved, empty, changedLate, gone};
  const KitRowRef rows[] = {kept->node(), oldRow, empty->node(), changedLate->node(), gone->node()};
  std::thread loader([&] {
    for (int i = 0; i < 5; ++i) {
      const QImage image = i == 2 ? QImage() : SolidImage({60, 40}, IndexColor(i));
      CNGridViewItem::updateImageViewWithImage(refs[i], image, rows[i]);
    }
  });
  loader.join();
  // Nothing is stored on the loader's thread.
  for (CNGridViewItem* it : {kept, moved, empty, changedLate, gone}) {
    EXPECT_EQ(it->itemImage().cacheKey(), placeholder.cacheKey());
  }
  changedLate->setNode(gridtest::MakeRow());  // recycled between delivery and store
  delete gone;                                // and one is gone altogether
  qttest::PumpPending();
  EXPECT_EQ(Centre(kept), IndexColor(0));
  EXPECT_EQ(moved->itemImage().cacheKey(), placeholder.cacheKey());
  EXPECT_EQ(empty->itemImage().cacheKey(), placeholder.cacheKey());  // an empty image keeps the placeholder
  EXPECT_EQ(changedLate->itemImage().cacheKey(), placeholder.cacheKey());
  for (CNGridViewItem* it : {kept, moved, empty, changedLate}) delete it;
}

// A grid whose data source queues one thumbnail job per item it hands out,
// made one at a time on a loader thread. The loader takes the newest job
// first, so the images of items recycled meanwhile arrive after those of
// the rows the items show now.
class LoadingSource : public ICNGridViewDataSource {
 public:
  LoadingSource() : loader_([this] { Run(); }) {}
  ~LoadingSource() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    loader_.join();
  }
  quint64 numberOfItemsInSection(CNGridView*, qint64) override { return 5000; }
  CNGridViewItemBase* itemAtIndex(CNGridView* grid, qint64 index, qint64) override {
    auto* item =
        qobject_cast<CNGridViewItem*>(grid->dequeueReusableItemWithIdentifier(QStringLiteral("CNGridViewItem")));
    if (item == nullptr) item = new CNGridViewItem;
    item->setNode(gridtest::MakeRow());
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back({item, item->node(), index});
    }
    wake_.notify_all();
    return item;
  }
  bool Idle() {
    std::lock_guard lock(mutex_);
    return jobs_.empty() && !busy_;
  }

 private:
  struct Job {
    QPointer<CNGridViewItem> item;
    KitRowRef row;
    qint64 index;
  };
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      Job job = jobs_.back();
      jobs_.pop_back();
      busy_ = true;
      lock.unlock();
      CNGridViewItem::updateImageViewWithImage(job.item, SolidImage({50, 50}, IndexColor(job.index)), job.row);
      lock.lock();
      busy_ = false;
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread loader_;
};

TEST(CNGridViewItemDeliveryTest, ScrollingWhileThumbnailsArriveLeavesEachItemWithItsOwnPicture) {
  uitest::App();
  LoadingSource source;
  CNGridView grid;
  grid.resize(600 + grid.verticalScrollBar()->sizeHint().width(), 450);
  grid.setDataSource(&source);
  grid.show();
  grid.reloadData();
  QApplication::processEvents();
  // Scroll on while the loader works, so that many of its jobs are for
  // items recycled in the meantime.
  for (int y = 0; y <= 6000; y += 300) {
    grid.verticalScrollBar()->setValue(y);
    QApplication::processEvents();
  }
  ASSERT_TRUE(qttest::PumpUntil([&] { return source.Idle(); }));
  qttest::PumpPending();
  ASSERT_FALSE(grid.placedIndexes().isEmpty());
  for (qint64 index : grid.placedIndexes()) {
    EXPECT_EQ(Centre(static_cast<CNGridViewItem*>(grid.placedItem(index))), IndexColor(index)) << index;
  }
}

}  // namespace
