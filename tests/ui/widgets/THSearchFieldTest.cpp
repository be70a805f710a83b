// The dark search field by its pixels: the black backing rounded by a
// quarter of the height, the magnifier at the leading edge, white text.
#include <QApplication>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/THSearchField.h"

namespace {

TEST(THSearchFieldTest, DarkRoundedFieldWithTheMagnifierAndWhiteText) {
  uitest::App();
  const QColor ground(10, 200, 200);
  QWidget parent;
  parent.resize(240, 60);
  parent.setAutoFillBackground(true);
  QPalette palette;
  palette.setColor(QPalette::Window, ground);
  parent.setPalette(palette);
  auto* field = new THSearchField(&parent);
  field->setGeometry(10, 10, 200, 40);
  parent.show();

  // Radius 10: the corner pixel is the ground, a pixel 10 in is black, and
  // so is the field's right half while it is empty.
  QImage shown = uitest::Grab(&parent);
  EXPECT_EQ(shown.pixelColor(10, 10), ground);
  EXPECT_EQ(shown.pixelColor(209, 49), ground);
  EXPECT_EQ(shown.pixelColor(10 + 10, 10 + 10), QColor(Qt::black));
  EXPECT_EQ(shown.pixelColor(10 + 3, 10 + 20), QColor(Qt::black));
  EXPECT_EQ(shown.pixelColor(10 + 150, 10 + 20), QColor(Qt::black));

  // The magnifier: the 16 x 16 "search_normal" drawn at the leading edge,
  // read back where the image itself is opaque.
  EXPECT_EQ(field->cell().searchButtonImage().size(), QSize(16, 16));
  const QImage icon = KitImages::Named(QStringLiteral("search_normal"))
                          .scaled(16, 16, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .toImage();
  QToolButton* magnifier = nullptr;
  for (QToolButton* button : field->findChildren<QToolButton*>()) {
    if (button->isVisible() && button->x() < field->width() / 2) magnifier = button;
  }
  ASSERT_NE(magnifier, nullptr);
  const QPoint origin =
      magnifier->mapTo(&parent, QPoint((magnifier->width() - 16) / 2, (magnifier->height() - 16) / 2));
  int compared = 0;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const QColor want = icon.pixelColor(x, y);
      if (want.alpha() != 255) continue;
      EXPECT_TRUE(uitest::Near(shown.pixelColor(origin + QPoint(x, y)), want, 24)) << x << "," << y;
      ++compared;
    }
  }
  EXPECT_GT(compared, 10);

  // Typed text is white; the caret takes the text colour.
  EXPECT_EQ(field->palette().color(QPalette::Text), QColor(Qt::white));
  field->setText(QStringLiteral("HHHH"));
  shown = uitest::Grab(&parent);
  QColor brightest(Qt::black);
  for (int x = 30; x < 120; ++x) {
    const QColor at = shown.pixelColor(x, 10 + 20);
    if (qGray(at.rgb()) > qGray(brightest.rgb())) brightest = at;
  }
  EXPECT_TRUE(uitest::Near(brightest, Qt::white, 16)) << brightest.name().toStdString();
  // The clear button shows while there is text, and empties the field.
  QToolButton* clear = nullptr;
  for (QToolButton* button : field->findChildren<QToolButton*>()) {
    if (button != magnifier && button->isVisibleTo(field)) clear = button;
  }
  ASSERT_NE(clear, nullptr);
  uitest::SaveArtifact(shown, QStringLiteral("thsearchfield"));
  QTest::mouseClick(clear, Qt::LeftButton);
  EXPECT_TRUE(field->text().isEmpty());
}

}  // namespace
