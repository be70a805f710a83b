// The category button by its pixels and its clicks.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TypeButton.h"

namespace {

const QColor kNormal(200, 30, 30), kPress(30, 200, 30), kHover(30, 30, 200), kDisable(120, 120, 120);

class TypeButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto [name, colour] : {std::pair{"c_normal", kNormal}, std::pair{"c_press", kPress},
                                std::pair{"c_hover", kHover}, std::pair{"c_disable", kDisable}}) {
      KitImages::Insert(QString::fromLatin1(name), uitest::Solid(QSize(50, 50), colour));
    }
    button_.setImageFromFileNormalName("c_normal", "c_press", "c_hover", "c_disable");
    button_.setTextWithName(QStringLiteral("Pictures"));
  }
  void TearDown() override {
    for (const char* name : {"c_normal", "c_press", "c_hover", "c_disable"}) KitImages::Remove(name);
  }
  QColor Shown() { return uitest::ColorAt(&button_, 45, 25); }

  QApplication* app_ = uitest::App();
  TypeButton button_{QRect(0, 0, 90, 92)};
};

TEST_F(TypeButtonTest, LooksAndTick) {
  EXPECT_TRUE(button_.isSelect());
  EXPECT_EQ(button_.checkBox()->geometry(), QRect(37, 74, 16, 16));
  EXPECT_EQ(Shown(), kNormal);
  // The title is drawn in title blue: its strokes' fullest pixel has it.
  const QImage shown = uitest::Grab(&button_);
  QColor brightest(Qt::black);
  for (int y = 51; y < 68; ++y) {
    for (int x = 0; x < 90; ++x) {
      if (qGray(shown.pixel(x, y)) > qGray(brightest.rgb())) brightest = shown.pixelColor(x, y);
    }
  }
  EXPECT_TRUE(uitest::Near(brightest, KitColors::kCategoryTitle, 12)) << brightest.name().toStdString();
  uitest::Enter(&button_);
  EXPECT_EQ(Shown(), kHover);
  QSignalSpy clicks(&button_, &QAbstractButton::clicked);
  QTest::mousePress(&button_, Qt::LeftButton, {}, QPoint(45, 25));
  EXPECT_EQ(Shown(), kPress);
  QTest::mouseRelease(&button_, Qt::LeftButton, {}, QPoint(45, 25));
  EXPECT_EQ(clicks.count(), 1);
  EXPECT_EQ(Shown(), kHover);
  button_.changeSelect(false);
  EXPECT_FALSE(button_.isSelect());
  EXPECT_EQ(button_.checkBox()->pixmap().toImage(), KitImages::Named("checkbox_no").toImage());
  uitest::SaveArtifact(uitest::Grab(&button_), QStringLiteral("typebutton"));
}

TEST_F(TypeButtonTest, UnusableIgnoresPressesAndGreys) {
  button_.setButtonEnabled(false);
  EXPECT_EQ(Shown(), kDisable);
  QSignalSpy clicks(&button_, &QAbstractButton::clicked);
  QTest::mouseClick(&button_, Qt::LeftButton, {}, QPoint(45, 25));
  EXPECT_EQ(clicks.count(), 0);
  EXPECT_FALSE(button_.isTracking());
  uitest::Grab(&button_);
  EXPECT_EQ(button_.textField()->palette().color(QPalette::WindowText), QColor(128, 128, 128));
}

// Without its art the button looks like the style's own plain button of
// its size, its title on the control colour.
TEST(TypeButtonPlainTest, WithoutImagesItIsAPlainButton) {
  uitest::App();
  TypeButton button(QRect(0, 0, 90, 92));
  button.setTextWithName(QStringLiteral("Pictures"));
  QPushButton plain;
  plain.resize(90, 92);
  const QImage shown = uitest::Grab(&button), expected = uitest::Grab(&plain);
  for (const QPoint at : {QPoint(45, 25), QPoint(1, 40), QPoint(88, 40), QPoint(45, 90), QPoint(45, 1)}) {
    EXPECT_EQ(shown.pixelColor(at), expected.pixelColor(at)) << at.x() << "," << at.y();
  }
  EXPECT_EQ(shown.pixelColor(1, 52), KitColors::kControl);
  EXPECT_EQ(shown.pixelColor(88, 66), KitColors::kControl);
  uitest::SaveArtifact(shown, QStringLiteral("typebutton-plain"));
}

}  // namespace
