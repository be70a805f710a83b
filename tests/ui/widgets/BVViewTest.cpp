// File tiles and their collection item: size, plate under the pointer, the
// tick (refused while any scan exists), and filling from the file node.
#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "GridTestSupport.h"
#include "UiTestSupport.h"
#include "ui/widgets/BVPrototype.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"

namespace {

class Nodes : public IBVFileNodes {
 public:
  Nodes() { BVServices::SetFileNodes(this); }
  ~Nodes() override { BVServices::SetFileNodes(nullptr); }
  int fileNodeState(quint64 node) const override { return states.count(node) ? states.at(node) : 0; }
  void setFileNodeWithState(quint64 node, int state) const override {
    sets.push_back({node, state});
    states[node] = state;
  }
  QString fileNodeName(quint64 node) const override { return QStringLiteral("file-%1.jpg").arg(node); }
  bool isFileNodeDeleted(quint64 node) const override { return node == 9; }
  QImage thumbnail(quint64 node) const override {
    return node == 8 ? QImage() : gridtest::SolidImage({90, 55}, Qt::red);
  }
  mutable std::map<quint64, int> states;
  mutable std::vector<std::pair<quint64, int>> sets;
};

class Host : public IBVPrototypeDelegate {
 public:
  void reLoadCollectionViewData() override { ++reloads; }
  quint64 viewLoadCnt() const override { return loaded; }
  int reloads = 0;
  quint64 loaded = 1;
};

bool Shows(const QPixmap& shown, const char* name) {
  return shown.toImage() == KitImages::Named(QString::fromLatin1(name)).toImage();
}

TEST(BVViewTest, ATileIsAlways120By100AndLightsUpUnderThePointer) {
  uitest::App();
  BVView tile(QRect(5, 6, 300, 300));
  EXPECT_EQ(tile.geometry(), QRect(5, 6, 120, 100));
  EXPECT_TRUE(tile.deleteIamgeView()->isHidden());
  EXPECT_TRUE(Shows(tile.bgImageView()->image(), "view_bg_normal"));
  uitest::Enter(&tile);
  EXPECT_TRUE(Shows(tile.bgImageView()->image(), "view_bg_press"));
  uitest::Leave(&tile);
  EXPECT_TRUE(Shows(tile.bgImageView()->image(), "view_bg_normal"));
}

TEST(BVViewTest, TheTickIsRefusedWhileAnyScanExistsAndOtherwiseFollowsTheTreesRule) {
  uitest::App();
  gridtest::ScanStub scan;
  Nodes nodes;
  Host host;
  BVPrototype item;
  item.setDelegate(&host);
  item.loadView();
  item.setRepresentedObject(4);
  BVView* tile = item.view();
  scan.running = scan.paused = true;  // paused still counts as a scan
  tile->button()->click();
  EXPECT_TRUE(nodes.sets.empty());
  EXPECT_EQ(host.reloads, 0);
  scan.running = scan.paused = false;
  tile->button()->click();
  EXPECT_EQ(nodes.sets, (std::vector<std::pair<quint64, int>>{{4, 2}}));
  EXPECT_TRUE(Shows(tile->button()->image(), "checkbox_yes"));
  EXPECT_EQ(host.reloads, 1);
  tile->button()->click();  // ticked becomes unticked
  EXPECT_EQ(nodes.states[4], 0);
  EXPECT_TRUE(Shows(tile->button()->image(), "checkbox_no"));
  nodes.states[4] = 1;  // partly ticked becomes ticked, as a tree row's box does
  tile->button()->click();
  EXPECT_EQ(nodes.states[4], 2);
  EXPECT_TRUE(Shows(tile->button()->image(), "checkbox_yes"));
}

TEST(BVPrototypeTest, TilesAreFilledFromTheirFileOnceTheHostHasLoaded) {
  uitest::App();
  Nodes nodes;
  nodes.states[7] = 2;
  Host host;
  host.loaded = 0;
  QWidget collection;
  BVPrototype first, second;
  for (BVPrototype* item : {&first, &second}) {
    item->setDelegate(&host);
    item->loadView();
    item->view()->setParent(&collection);
  }
  EXPECT_NE(first.view(), second.view());  // a tile of its own each
  first.setRepresentedObject(7);
  EXPECT_TRUE(first.view()->isHidden());  // nothing loaded yet
  host.loaded = 1;
  first.setRepresentedObject(7);
  EXPECT_FALSE(first.view()->isHidden());
  EXPECT_EQ(first.view()->listData(), 7u);
  EXPECT_EQ(first.view()->titleLabel()->text(), QStringLiteral("file-7.jpg"));
  EXPECT_EQ(first.view()->titleLabel()->toolTip(), QStringLiteral("file-7.jpg"));
  EXPECT_TRUE(Shows(first.view()->button()->image(), "checkbox_yes"));
  EXPECT_EQ(first.view()->imageView()->image().toImage().pixelColor(0, 0), QColor(Qt::red));
  EXPECT_TRUE(first.view()->deleteIamgeView()->isHidden());
  second.setRepresentedObject(8);  // no thumbnail, not ticked
  EXPECT_TRUE(Shows(second.view()->imageView()->image(), "logo"));
  EXPECT_TRUE(Shows(second.view()->button()->image(), "checkbox_no"));
  second.setRepresentedObject(9);  // a deleted file carries the mark
  EXPECT_FALSE(second.view()->deleteIamgeView()->isHidden());
  second.view()->button()->click();
  EXPECT_EQ(host.reloads, 1);  // the tick reaches the host through the item
}

}  // namespace
