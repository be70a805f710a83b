// The cover flow: the selected picture at the centre, moving with keys and
// clicks, asking only for the pictures in view, and redrawing a cell whose
// picture was reloaded.
#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "GridTestSupport.h"
#include "QtTestSupport.h"
#include "UiTestSupport.h"
#include "ui/widgets/KitImageFlowView.h"

namespace {

using gridtest::IndexColor;

class Picture : public IKitImageFlowItem {
 public:
  QString imageUID() const override { return uid; }
  QString imageTitle() const override { return uid; }
  QImage imageRepresentation() const override { return image; }
  QString uid;
  QImage image;
};

// `count` pictures, made when first asked for, each in its index's colour;
// records every index asked for.
class Pictures : public IKitImageFlowDataSource, public IKitImageFlowDelegate {
 public:
  explicit Pictures(qint64 n) : count(n) {}
  qint64 numberOfItemsInImageFlow(KitImageFlowView*) override { return count; }
  const IKitImageFlowItem* imageFlowItemAtIndex(KitImageFlowView*, qint64 index) override {
    asked.insert(index);
    if (index < 0 || index >= count) return nullptr;
    Picture& picture = made[index];
    if (picture.uid.isEmpty()) {
      picture.uid = QStringLiteral("IMG_%1").arg(index);
      picture.image = gridtest::SolidImage({200, 150}, IndexColor(index));
    }
    return &picture;
  }
  void imageFlowDidSelectItemAtIndex(KitImageFlowView*, qint64 index) override { picked.push_back(index); }
  qint64 count;
  std::map<qint64, Picture> made;
  std::set<qint64> asked;
  std::vector<qint64> picked;
};

struct Flow : gridtest::WithApp {
  explicit Flow(qint64 count) : pictures(count) {
    uitest::App();
    view.resize(600, 300);
    view.setDataSource(&pictures);
    view.setDelegate(&pictures);
  }
  // The middle of the centred slot's lower half, where every picture is.
  QColor centre() {
    const QPolygonF slot = view.slotPolygon(view.selectedIndex());
    const QRectF r = slot.boundingRect();
    return uitest::ColorAt(&view, static_cast<int>(r.center().x()), static_cast<int>(r.bottom() - r.height() / 5));
  }
  Pictures pictures;
  KitImageFlowView view;
};

TEST(KitImageFlowViewTest, TheSelectedPictureIsCentredLargest) {
  Flow flow(40);
  EXPECT_EQ(flow.view.selectedIndex(), 0);
  EXPECT_EQ(flow.centre(), IndexColor(0));
  flow.view.setSelectedIndex(17);
  EXPECT_EQ(flow.view.selectedIndex(), 17);
  EXPECT_EQ(flow.centre(), IndexColor(17));
  const QRectF middle = flow.view.slotPolygon(17).boundingRect();
  EXPECT_NEAR(middle.center().x(), 300, 1);
  // Neighbours are smaller, on their own sides, and turned.
  const QPolygonF right = flow.view.slotPolygon(18);
  EXPECT_GT(right.boundingRect().center().x(), middle.right() - middle.width() / 2);
  EXPECT_LT(right.boundingRect().height(), middle.height());
  EXPECT_GT(std::abs(right[0].y() - right[1].y()), 1);  // a slanted top edge
  EXPECT_LT(flow.view.slotPolygon(16).boundingRect().center().x(), middle.center().x());
  // Indexes outside the pictures are ignored.
  flow.view.setSelectedIndex(40);
  flow.view.setSelectedIndex(-1);
  EXPECT_EQ(flow.view.selectedIndex(), 17);
  EXPECT_TRUE(flow.pictures.picked.empty());  // the program's choices are not the user's
  uitest::SaveArtifact(uitest::Grab(&flow.view), QStringLiteral("kitimageflowview"));
}

TEST(KitImageFlowViewTest, LeftRightAndClicksMoveTheSelectionAndTellTheDelegate) {
  Flow flow(10);
  flow.view.show();
  flow.view.setSelectedIndex(5);
  QTest::keyClick(&flow.view, Qt::Key_Right);
  EXPECT_EQ(flow.view.selectedIndex(), 6);
  EXPECT_EQ(flow.centre(), IndexColor(6));
  QTest::keyClick(&flow.view, Qt::Key_Left);
  QTest::keyClick(&flow.view, Qt::Key_Left);
  EXPECT_EQ(flow.view.selectedIndex(), 4);
  EXPECT_EQ(flow.pictures.picked, (std::vector<qint64>{6, 5, 4}));
  // A click on a side picture picks it, once.
  const QPointF side = flow.view.slotPolygon(6).boundingRect().center() + QPointF(20, 0);
  ASSERT_EQ(flow.view.indexAt(side), 6);
  QTest::mouseClick(&flow.view, Qt::LeftButton, {}, side.toPoint());
  EXPECT_EQ(flow.view.selectedIndex(), 6);
  EXPECT_EQ(flow.pictures.picked, (std::vector<qint64>{6, 5, 4, 6}));
  // The centre picture is already chosen; the ends stop the keys.
  QTest::mouseClick(&flow.view, Qt::LeftButton, {}, flow.view.slotPolygon(6).boundingRect().center().toPoint());
  flow.view.setSelectedIndex(9);
  QTest::keyClick(&flow.view, Qt::Key_Right);
  flow.view.setSelectedIndex(0);
  QTest::keyClick(&flow.view, Qt::Key_Left);
  EXPECT_EQ(flow.pictures.picked.size(), 4u);
  EXPECT_EQ(flow.view.selectedIndex(), 0);
}

TEST(KitImageFlowViewTest, AHundredThousandPicturesAreAskedForOnlyInView) {
  Flow flow(100000);
  flow.view.reloadData();
  flow.view.setSelectedIndex(50000);
  uitest::Grab(&flow.view);
  ASSERT_FALSE(flow.pictures.asked.empty());
  EXPECT_LE(flow.pictures.asked.size(), 25u);
  EXPECT_GE(*flow.pictures.asked.begin(), flow.view.firstVisibleIndex());
  EXPECT_LE(*flow.pictures.asked.rbegin(), flow.view.lastVisibleIndex());
  EXPECT_TRUE(flow.pictures.asked.count(50000));
  EXPECT_TRUE(flow.pictures.asked.count(50001));
  EXPECT_TRUE(flow.pictures.asked.count(49999));
  // The cache holds the pictures drawn, never more than those near the view.
  EXPECT_GT(flow.view.cacheManager()->count(), 0);
  EXPECT_LE(flow.view.cacheManager()->count(), static_cast<int>(flow.pictures.asked.size()));
  flow.view.cacheManager()->freeCache();
  EXPECT_EQ(flow.view.cacheManager()->count(), 0);
  // A reload that shrinks the list moves the selection onto the last one.
  flow.pictures.count = 3;
  flow.view.reloadData();
  EXPECT_EQ(flow.view.selectedIndex(), 2);
  EXPECT_EQ(flow.centre(), IndexColor(2));
}

TEST(KitImageFlowViewTest, AReloadedCellIsRedrawnWithItsNewPicture) {
  Flow flow(30);
  flow.view.setSelectedIndex(5);
  flow.view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&flow.view));
  EXPECT_EQ(flow.centre(), IndexColor(5));
  uitest::PaintCounter counter;
  flow.view.installEventFilter(&counter);
  qttest::PumpPending();
  counter.paints = 0;

  // The loader gives item 5 its thumbnail and asks for the cell, from its
  // own thread.
  flow.pictures.made[5].image = gridtest::SolidImage({120, 160}, Qt::red);
  std::thread loader([&] { flow.view.reloadCellDataAtIndex(5); });
  loader.join();
  EXPECT_EQ(counter.paints, 0);
  ASSERT_TRUE(qttest::PumpUntil([&] { return counter.paints > 0; }, 5));
  EXPECT_EQ(flow.centre(), QColor(Qt::red));

  // A cell out of view asks for no drawing.
  qttest::PumpPending();
  counter.paints = 0;
  flow.view.reloadCellDataAtIndex(29);
  qttest::PumpPending();
  EXPECT_EQ(counter.paints, 0);
  flow.view.removeEventFilter(&counter);
}

TEST(KitImageFlowViewTest, APictureWithoutImageShowsThePlaceholderPlate) {
  Flow flow(5);
  flow.pictures.imageFlowItemAtIndex(&flow.view, 2);
  flow.pictures.made[2].image = QImage();
  flow.view.setSelectedIndex(2);
  EXPECT_TRUE(uitest::Near(flow.centre(), QColor(48, 52, 58)));
  // Empty and missing data sources draw the ground alone.
  flow.pictures.count = 0;
  flow.view.reloadData();
  EXPECT_EQ(uitest::ColorAt(&flow.view, 300, 150), QColor(Qt::black));
  KitImageFlowView bare;
  bare.resize(200, 100);
  EXPECT_EQ(bare.numberOfItems(), 0);
  EXPECT_EQ(uitest::ColorAt(&bare, 100, 50), QColor(Qt::black));
}

}  // namespace
