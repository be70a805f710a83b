// Cells and header cells drawn into images, and the page band.
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/widgets/CustomHeaderCell.h"
#include "ui/widgets/CustomTableHeaderView.h"
#include "ui/widgets/ImageAndTextCell.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/NewButton.h"
#include "ui/widgets/SelectTypeTopView.h"

namespace {

QImage Drawn(const QSize& size, const QColor& under, const std::function<void(QPainter*)>& draw) {
  QImage image(size, QImage::Format_ARGB32);
  image.fill(under);
  QPainter painter(&image);
  draw(&painter);
  return image;
}

// The first column from the left where something other than `under` shows.
int FirstInk(const QImage& image, const QColor& under) {
  for (int x = 0; x < image.width(); ++x) {
    for (int y = 0; y < image.height(); ++y) {
      if (!uitest::Near(image.pixelColor(x, y), under, 30)) return x;
    }
  }
  return -1;
}

TEST(KitCellsTest, ImageAndTextCellPlacesItsIconAndText) {
  uitest::App();
  ImageAndTextCell cell;
  cell.setObjectValue(QStringLiteral("holiday.jpg"));
  const QRect frame(10, 100, 200, 39);
  // Without an image: a plain text cell, 3 wider.
  KitTextFieldCell plain;
  plain.setObjectValue(cell.objectValue());
  EXPECT_EQ(cell.cellSize().width(), plain.cellSize().width() + 3);
  EXPECT_EQ(cell.imageRectForFrame(frame), QRect());

  // A large image is still drawn 16 x 16, and the size counts 16 for it.
  cell.setImage(uitest::Solid(QSize(64, 48), Qt::red));
  EXPECT_EQ(cell.cellSize().width(), plain.cellSize().width() + 16 + 3);
  EXPECT_EQ(cell.imageRectForFrame(frame), QRect(13, 111, 16, 16));
  EXPECT_EQ(cell.imageRectForFrame(QRect(0, 0, 100, 17)), QRect(3, 0, 16, 16));

  const QColor under = KitColors::kStripeA;
  const QImage image = Drawn(QSize(220, 160), under, [&](QPainter* p) { cell.drawWithFrame(p, frame); });
  EXPECT_TRUE(uitest::Near(image.pixelColor(13, 111), Qt::red));
  EXPECT_TRUE(uitest::Near(image.pixelColor(28, 126), Qt::red));
  EXPECT_TRUE(uitest::Near(image.pixelColor(12, 111), under));
  EXPECT_TRUE(uitest::Near(image.pixelColor(29, 119), under));
  // The text starts after the icon's strip (19), the inset (2) and the shift
  // (5), and is centred on the row.
  QImage text = image.copy(29, 100, 180, 39);
  const int x = FirstInk(text, under);
  EXPECT_GE(x, 26 - 19 - 1);
  EXPECT_LE(x, 26 - 19 + 3);
  const QRectF title = cell.titleRectForBounds(frame.adjusted(19, 0, 0, 0));
  EXPECT_NEAR(title.center().y(), frame.center().y(), 1.0);
}

TEST(KitCellsTest, TextCellsCutAtTheTailAndDrawTheirBackgroundOnlyWhenAsked) {
  uitest::App();
  KitTextFieldCell cell;
  cell.setObjectValue(QStringLiteral("a rather long name that will not fit in the column"));
  cell.setTextColor(Qt::white);
  const QImage clear =
      Drawn(QSize(80, 20), Qt::black, [&](QPainter* p) { cell.drawWithFrame(p, QRect(0, 0, 60, 20)); });
  for (int y = 0; y < 20; ++y) EXPECT_TRUE(uitest::Near(clear.pixelColor(70, y), Qt::black)) << "cut within the cell";
  cell.setDrawsBackground(true);
  cell.setBackgroundColor(Qt::blue);
  const QImage filled =
      Drawn(QSize(80, 20), Qt::black, [&](QPainter* p) { cell.drawWithFrame(p, QRect(0, 0, 60, 20)); });
  EXPECT_TRUE(uitest::Near(filled.pixelColor(59, 1), Qt::blue));
}

TEST(KitCellsTest, TheDarkHeaderCellKeepsOnlyTheTitleOfTheCellItReplaces) {
  uitest::App();
  KitHeaderCell plain(QStringLiteral("Size"));
  plain.setFont(KitStyle::Font(20));
  plain.setTextColor(Qt::red);
  const CustomHeaderCell dark(plain);
  EXPECT_EQ(dark.stringValue(), QStringLiteral("Size"));
  EXPECT_EQ(dark.font().pixelSize(), 12);
  EXPECT_EQ(dark.textColor(), KitColors::kHeaderText);
  EXPECT_TRUE(dark.ascending());
  EXPECT_EQ(dark.priority(), 1);
  // Pressed or not, it draws the same; the title starts 5 in from the left.
  const QRect frame(0, 0, 120, 25);
  const QImage normal =
      Drawn(frame.size(), KitColors::kTitleBar, [&](QPainter* p) { dark.drawWithFrame(p, frame, false); });
  const QImage pressed =
      Drawn(frame.size(), KitColors::kTitleBar, [&](QPainter* p) { dark.drawWithFrame(p, frame, true); });
  EXPECT_EQ(normal, pressed);
  EXPECT_TRUE(uitest::Near(normal.pixelColor(2, 2), KitColors::kDarkRow, 1));
  const int ink = FirstInk(normal, KitColors::kDarkRow);
  EXPECT_GE(ink, 5);
  EXPECT_LE(ink, 7);
}

TEST(KitCellsTest, TheLightHeaderCellHasAWhiteFaceAndHairlines) {
  uitest::App();
  CustomTableHeaderView light(QStringLiteral("Drives"));
  light.setFont(KitStyle::Font(12));
  const QRect frame(0, 0, 100, 17);
  EXPECT_EQ(CustomTableHeaderView::interiorForFrame(frame), QRect(0, 0, 100, 16));
  const QImage normal = Drawn(QSize(110, 20), Qt::white, [&](QPainter* p) { light.drawWithFrame(p, frame, false); });
  EXPECT_TRUE(uitest::Near(normal.pixelColor(90, 8), Qt::white));
  // 0.3-wide black lines: the face's right edge, the bottom and the top.
  const auto grey = [](const QColor& c) { return c.red() < 250 && c.red() > 150 && c.red() == c.blue(); };
  EXPECT_TRUE(grey(normal.pixelColor(99, 8))) << normal.pixelColor(99, 8).name().toStdString();
  EXPECT_TRUE(grey(normal.pixelColor(50, 16))) << normal.pixelColor(50, 16).name().toStdString();
  EXPECT_TRUE(grey(normal.pixelColor(50, 0))) << normal.pixelColor(50, 0).name().toStdString();
  const QImage pressed = Drawn(QSize(110, 20), Qt::white, [&](QPainter* p) { light.drawWithFrame(p, frame, true); });
  EXPECT_TRUE(uitest::Near(pressed.pixelColor(90, 8), QColor(230, 230, 230), 2)) << "black at 0.1 over white";
  // The title, in black, inside the face.
  EXPECT_LT(FirstInk(normal.copy(0, 1, 95, 14), Qt::white), 10);
}

TEST(KitCellsTest, ThePageBandIsOneDarkColour) {
  uitest::App();
  SelectTypeTopView band;
  band.resize(200, 40);
  EXPECT_TRUE(uitest::Near(uitest::ColorAt(&band, 0, 0), KitColors::kTopBand, 0));
  EXPECT_TRUE(uitest::Near(uitest::ColorAt(&band, 199, 39), KitColors::kTopBand, 0));
}

}  // namespace
