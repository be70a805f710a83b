// The outline's tick cell: presses in its tick area reach the delegate once
// and leave the row selection alone; presses elsewhere are the view's.
#include <QApplication>
#include <QPainter>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/NewButton.h"

namespace {

class Toggles : public INewButtonDelegate {
 public:
  void clickButtonAction(NewButton* sender) override { rows.push_back(sender->opNodeData().toInt()); }
  std::vector<int> rows;
};

void WaitForLatch() {
  QTest::qWait(NewButton::kLatchMs + 50);
  ASSERT_FALSE(NewButton::latched());
}

TEST(NewButtonTest, LayoutOfIconAndTitle) {
  uitest::App();
  NewButton cell;
  const QRect frame(10, 100, 300, 40);
  EXPECT_TRUE(cell.iconImageRectForBounds(frame).isNull());
  cell.setLabel(QStringLiteral("photo.jpg"));
  EXPECT_EQ(cell.imageRectForBounds(frame), QRect(25, 112, 800, 16));
  cell.setIconImage(uitest::Solid(QSize(4, 4), Qt::red));
  EXPECT_EQ(cell.iconImageRectForBounds(frame), QRect(18, 105, 40, 30));
  EXPECT_EQ(cell.imageRectForBounds(frame), QRect(50, 112, 800, 16));
}

// The kit's 16-point icons sit between the tick box and the title, at their
// own size; only an icon larger than its box is shrunk into it.
TEST(NewButtonTest, IconKeepsItsSizeBetweenTickAndTitle) {
  uitest::App();
  NewButton cell;
  const QRect frame(0, 0, 200, 40);
  cell.setLabel(QStringLiteral("photos"));
  cell.setImage(uitest::Solid(QSize(16, 16), Qt::white));
  cell.setIconImage(uitest::Solid(QSize(16, 16), Qt::red));
  EXPECT_EQ(cell.iconDrawnRectForBounds(frame), QRect(20, 12, 16, 16));
  QImage image(200, 40, QImage::Format_RGB32);
  image.fill(Qt::black);
  {
    QPainter painter(&image);
    cell.drawWithFrame(&painter, frame);
  }
  uitest::SaveArtifact(image, QStringLiteral("newbutton-icon"));
  EXPECT_EQ(image.pixelColor(8, 20), QColor(Qt::white));   // the tick box
  EXPECT_EQ(image.pixelColor(17, 20), QColor(Qt::black));  // a gap, then the icon
  EXPECT_EQ(image.pixelColor(28, 20), QColor(Qt::red));
  EXPECT_EQ(image.pixelColor(38, 20), QColor(Qt::black));  // a gap before the title
  cell.setIconImage(uitest::Solid(QSize(80, 40), Qt::red));
  EXPECT_EQ(cell.iconDrawnRectForBounds(frame), QRect(8, 10, 40, 20));
}

TEST(NewButtonTest, TickAreaTellsTheDelegateOncePerLatch) {
  uitest::App();
  WaitForLatch();
  Toggles toggles;
  NewButton cell;
  cell.setDelegate(&toggles);
  const QRect frame(0, 0, 200, 30);
  EXPECT_FALSE(cell.hitTest(QPoint(20, 5), frame));  // right of the tick area
  EXPECT_TRUE(toggles.rows.empty());
  EXPECT_TRUE(cell.hitTest(QPoint(5, 5), frame));
  EXPECT_FALSE(cell.hitTest(QPoint(5, 5), frame));  // second click within the latch
  EXPECT_EQ(toggles.rows.size(), 1u);
  WaitForLatch();
  EXPECT_TRUE(cell.hitTest(QPoint(14, 29), frame));
  EXPECT_EQ(toggles.rows.size(), 2u);
  WaitForLatch();
}

TEST(NewButtonTest, PressInTreeRowTogglesAndKeepsSelection) {
  uitest::App();
  WaitForLatch();
  QStandardItemModel model;
  for (int i = 0; i < 3; ++i) model.appendRow(new QStandardItem(QStringLiteral("row %1").arg(i)));
  QTreeView view;
  view.setModel(&model);
  view.setRootIsDecorated(false);
  view.setIndentation(0);
  view.resize(300, 200);
  view.show();
  Toggles toggles;
  NewButton cell;
  cell.setDelegate(&toggles);
  new KitCheckCellFilter(&view, &cell, 0,
                         [](NewButton* c, const QModelIndex& index) { c->setOpNodeData(index.row()); });
  view.setCurrentIndex(model.index(0, 0));

  const QRect row2 = view.visualRect(model.index(2, 0));
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, row2.topLeft() + QPoint(4, row2.height() / 2));
  ASSERT_EQ(toggles.rows, std::vector<int>{2});
  EXPECT_EQ(view.currentIndex().row(), 0);
  EXPECT_FALSE(view.selectionModel()->isSelected(model.index(2, 0)));

  // Beside the tick area the press selects as usual and toggles nothing.
  WaitForLatch();
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, row2.topLeft() + QPoint(60, row2.height() / 2));
  EXPECT_EQ(view.currentIndex().row(), 2);
  EXPECT_EQ(toggles.rows.size(), 1u);
}

TEST(NewButtonTest, TitleIsPaleBlueAndCutWhereTheCellEnds) {
  uitest::App();
  NewButton cell;
  cell.setLabel(QStringLiteral("Documents and letters of the last three years(87)"));
  EXPECT_EQ(cell.labelColor(), QColor(160, 170, 211));
  QImage image(300, 30, QImage::Format_RGB32);
  image.fill(Qt::black);
  const QRect frame(0, 0, 160, 30);
  {
    QPainter painter(&image);
    painter.setFont(KitStyle::Font(13));
    EXPECT_TRUE(cell.shownLabel(painter.fontMetrics(), frame).endsWith(QChar(0x2026)));
    EXPECT_LE(painter.fontMetrics().horizontalAdvance(cell.shownLabel(painter.fontMetrics(), frame)), 160 - 15);
    cell.drawWithFrame(&painter, frame);
  }
  uitest::SaveArtifact(image, QStringLiteral("newbutton-title"));
  bool pale = false;
  for (int x = 15; x < 160 && !pale; ++x) {
    for (int y = 7; y < 23 && !pale; ++y) pale = uitest::Near(image.pixelColor(x, y), QColor(160, 170, 211), 6);
  }
  EXPECT_TRUE(pale);
  for (int x = 160; x < 300; ++x) {
    for (int y = 0; y < 30; ++y) ASSERT_EQ(image.pixelColor(x, y), QColor(Qt::black)) << x << "," << y;
  }
  // The owner may choose both.
  cell.setLabelColor(Qt::white);
  cell.setLabelElideMode(Qt::ElideMiddle);
  EXPECT_EQ(cell.labelColor(), QColor(Qt::white));
  QFontMetrics metrics(KitStyle::Font(13));
  EXPECT_TRUE(cell.shownLabel(metrics, frame).endsWith(QStringLiteral("(87)")));
  EXPECT_TRUE(cell.shownLabel(metrics, QRect(0, 0, 10, 30)).isEmpty());  // no room right of the tick area
}

}  // namespace
