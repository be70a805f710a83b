// Grid items: the plate, ring and thumbnail they draw, the tick box's scan
// gate and image, and recycling.
#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <vector>

#include "GridTestSupport.h"
#include "UiTestSupport.h"
#include "ui/widgets/CNGridViewItem.h"
#include "ui/widgets/CNGridViewItemLayout.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"

namespace {

using gridtest::Row;

// An item on a white page, so its translucent plate can be measured.
struct Page : gridtest::WithApp {
  Page() {
    uitest::App();
    page.resize(150, 150);
    page.setAutoFillBackground(true);
    QPalette palette = page.palette();
    palette.setColor(QPalette::Window, Qt::white);
    page.setPalette(palette);
    item = new CNGridViewItem(&page);
    item->titleLabel()->hide();
    item->itemButton()->hide();
  }
  QColor at(int x, int y) { return uitest::ColorAt(&page, x, y); }
  QWidget page;
  CNGridViewItem* item;
};

TEST(CNGridViewItemTest, PlateDarkensUnderThePointerAndSelectionDrawsTheDefaultRing) {
  Page p;
  EXPECT_TRUE(uitest::Near(p.at(60, 40), QColor(242, 242, 242)));  // black at 0.05 over white
  EXPECT_EQ(p.at(2, 40), QColor(Qt::white));                       // outside the plate
  p.item->setHovered(true);
  EXPECT_TRUE(uitest::Near(p.at(60, 40), QColor(178, 178, 178)));  // black at 0.3
  p.item->setHovered(false);
  EXPECT_EQ(p.at(4, 75), QColor(Qt::white));
  p.item->setSelected(true);  // no layout given: the default one's ring
  EXPECT_TRUE(uitest::Near(p.at(4, 75), CNGridViewPalette::itemSelectionRingColor(), 4));
  EXPECT_TRUE(uitest::Near(p.at(149, 75), CNGridViewPalette::itemSelectionRingColor(), 4));
  auto layout = CNGridViewItemLayout::defaultLayout();
  layout->selectionRingColor = Qt::red;
  p.item->setCurrentLayout(layout);
  EXPECT_TRUE(uitest::Near(p.at(4, 75), Qt::red, 4));
  uitest::SaveArtifact(uitest::Grab(&p.page), QStringLiteral("cngridviewitem-selected"));
}

// A large image is brought down to 90 on its longer side and keeps its
// shape: a 3:2 picture shows 90 x 60, a 4:3 one 67.5 x 90 on its side.
TEST(CNGridViewItemTest, ThumbnailsKeepTheirShapeWithin90AndSitAboveTheMiddle) {
  EXPECT_EQ(CNGridViewItem::ThumbnailRect({40, 30}, {0, 0, 150, 150}), QRectF(57.5, 52.5, 40, 30));
  EXPECT_EQ(CNGridViewItem::ThumbnailRect({300, 200}, {0, 0, 150, 150}), QRectF(32.5, 37.5, 90, 60));
  EXPECT_EQ(CNGridViewItem::ThumbnailRect({1536, 2048}, {0, 0, 150, 150}), QRectF(43.75, 22.5, 67.5, 90));
  Page p;
  p.item->setItemImage(uitest::Solid({40, 30}, Qt::red));
  EXPECT_EQ(p.at(77, 67), QColor(Qt::red));
  EXPECT_EQ(p.at(59, 54), QColor(Qt::red));
  EXPECT_NE(p.at(56, 67), QColor(Qt::red));
  EXPECT_NE(p.at(77, 51), QColor(Qt::red));
  EXPECT_NE(p.at(77, 84), QColor(Qt::red));
  p.item->setItemImage(uitest::Solid({300, 200}, Qt::blue));
  EXPECT_EQ(p.at(34, 39), QColor(Qt::blue));
  EXPECT_EQ(p.at(121, 96), QColor(Qt::blue));
  EXPECT_NE(p.at(31, 60), QColor(Qt::blue));
  EXPECT_NE(p.at(124, 60), QColor(Qt::blue));
  EXPECT_NE(p.at(77, 35), QColor(Qt::blue));
  EXPECT_NE(p.at(77, 99), QColor(Qt::blue));
}

class Toggle : public ICNGridViewItemDelegate {
 public:
  // The window's rule: ticked becomes unticked, anything else ticked.
  void doSelectItem(qint64 index) override {
    calls.push_back(index);
    if (row && !refuse) row->mark = row->mark == 2 ? 0 : 2;
  }
  std::vector<qint64> calls;
  std::shared_ptr<Row> row;
  bool refuse = false;
};

bool Shows(const KitImageCheckButton* box, const char* name) {
  return box->image().toImage() == KitImages::Named(QString::fromLatin1(name)).toImage();
}

TEST(CNGridViewItemTest, TickBoxIsRefusedWhileAScanRunsAndThenShowsTheRowsTick) {
  uitest::App();
  gridtest::ScanStub scan;
  Toggle toggle;
  toggle.row = gridtest::MakeRow(1);  // partly ticked
  CNGridViewItem item;
  item.setIndex(7);
  item.setNode(toggle.row);
  item.setDelegate(&toggle);
  scan.running = true;
  item.itemButton()->click();
  EXPECT_TRUE(toggle.calls.empty());
  EXPECT_TRUE(item.itemButton()->image().isNull());
  scan.paused = true;
  item.itemButton()->click();
  EXPECT_EQ(toggle.calls, std::vector<qint64>{7});
  EXPECT_TRUE(Shows(item.itemButton(), "checkbox_yes"));  // partly ticked became ticked
  scan.running = scan.paused = false;
  item.itemButton()->click();
  EXPECT_TRUE(Shows(item.itemButton(), "checkbox_no"));
  toggle.refuse = true;
  toggle.row->mark = 1;
  item.itemButton()->click();
  EXPECT_EQ(toggle.calls.size(), 3u);
  EXPECT_TRUE(Shows(item.itemButton(), "checkbox_no"));  // the window left it partly ticked
}

TEST(CNGridViewItemTest, PreparedForReuseAnItemForgetsItsFile) {
  uitest::App();
  CNGridViewItem item(nullptr, QStringLiteral("Other"));
  EXPECT_EQ(item.reuseIdentifier(), QStringLiteral("Other"));
  EXPECT_EQ(CNGridViewItem().reuseIdentifier(), QStringLiteral("CNGridViewItem"));
  item.setIndex(3);
  item.setSelected(true);
  item.setHovered(true);
  item.setItemTitle(QStringLiteral("a.jpg"));
  item.setItemImage(uitest::Solid({10, 10}, Qt::red));
  item.setNode(gridtest::MakeRow());
  EXPECT_FALSE(item.isReuseable());
  item.prepareForReuse();
  EXPECT_TRUE(item.isReuseable());
  EXPECT_EQ(item.index(), kCNNotFound);
  EXPECT_FALSE(item.isSelected());
  EXPECT_FALSE(item.isHovered());
  EXPECT_TRUE(item.itemTitle().isEmpty());
  EXPECT_TRUE(item.itemImage().isNull());
  EXPECT_EQ(item.node(), nullptr);
}

}  // namespace
