// The image button by what it paints: distinct solid images per state, each
// state read back from a pixel.
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/TCImageButton.h"

namespace {

const QColor kNormal(200, 30, 30), kPress(30, 200, 30), kHover(30, 30, 200), kDisable(120, 120, 120);
const QColor kBackground(10, 200, 200);

class TCImageButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto [name, colour] : {std::pair{"t_normal", kNormal}, std::pair{"t_press", kPress},
                                std::pair{"t_hover", kHover}, std::pair{"t_disable", kDisable}}) {
      KitImages::Insert(QString::fromLatin1(name), uitest::Solid(QSize(20, 12), colour));
    }
    parent_.resize(60, 40);
    parent_.setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, kBackground);
    parent_.setPalette(palette);
  }
  void TearDown() override {
    for (const char* name : {"t_normal", "t_press", "t_hover", "t_disable"}) KitImages::Remove(name);
  }

  TCImageButton* Make(TCImageButton::Creation creation = TCImageButton::Creation::InCode) {
    auto* button = new TCImageButton(QRect(5, 5, 30, 20), &parent_, creation);
    button->setImageStem(QStringLiteral("t"));
    return button;
  }
  // The colour at (2, 2) of the button, seen through its parent.
  QColor Shown(TCImageButton* button) { return uitest::ColorAt(&parent_, button->x() + 2, button->y() + 2); }

  QApplication* app_ = uitest::App();  // before any widget
  QWidget parent_;
};

TEST_F(TCImageButtonTest, ShowsEachOfItsFourLooks) {
  TCImageButton* button = Make();
  EXPECT_EQ(button->sizeHint(), QSize(20, 12));
  EXPECT_EQ(Shown(button), kNormal);
  uitest::Enter(button);
  EXPECT_EQ(Shown(button), kHover);
  QTest::mousePress(button, Qt::LeftButton, {}, QPoint(2, 2));
  EXPECT_TRUE(button->isTracking());
  EXPECT_EQ(Shown(button), kPress);
  QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(2, 2));
  EXPECT_EQ(Shown(button), kHover);
  uitest::Leave(button);
  EXPECT_EQ(Shown(button), kNormal);
  button->setButtonEnabled(false);
  EXPECT_EQ(Shown(button), kDisable);
  // The image covers the normal image's size only.
  EXPECT_EQ(uitest::ColorAt(&parent_, button->x() + 25, button->y() + 2), kBackground);
  uitest::SaveArtifact(uitest::Grab(&parent_), QStringLiteral("tcimagebutton-disabled"));
}

TEST_F(TCImageButtonTest, ClicksOnlyWhileUsable) {
  TCImageButton* button = Make(TCImageButton::Creation::FromLayout);
  QSignalSpy clicks(button, &QAbstractButton::clicked);
  EXPECT_EQ(Shown(button), kDisable);
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(2, 2));
  EXPECT_EQ(clicks.count(), 0);
  EXPECT_FALSE(button->isTracking());

  button->setButtonEnabled(true);
  EXPECT_EQ(Shown(button), kNormal);
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(2, 2));
  EXPECT_EQ(clicks.count(), 1);

  // Made unusable in the middle of a press: the release does not click.
  QTest::mousePress(button, Qt::LeftButton, {}, QPoint(2, 2));
  button->setButtonEnabled(false);
  QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(2, 2));
  EXPECT_EQ(clicks.count(), 1);
  EXPECT_FALSE(button->isTracking());
}

TEST_F(TCImageButtonTest, MissingImagesDrawNothingInTheirState) {
  auto* button = new TCImageButton(QRect(5, 5, 30, 20), &parent_);
  button->setImageFromFileNormalName(QStringLiteral("t_normal"), QStringLiteral(" "), QStringLiteral("t_hover"),
                                     QStringLiteral(""));
  QTest::mousePress(button, Qt::LeftButton, {}, QPoint(2, 2));
  EXPECT_EQ(Shown(button), kBackground);
  QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(2, 2));
  button->setButtonEnabled(false);
  EXPECT_EQ(Shown(button), kBackground);
}

// The button's own image shows, centred, on the plain button it draws
// without a normal image, and never over the state images.
TEST_F(TCImageButtonTest, ItsOwnImageShowsOnlyOnThePlainButton) {
  auto* plain = new TCImageButton(QRect(5, 5, 30, 20), &parent_);
  plain->setImage(uitest::Solid(QSize(8, 8), kPress));
  EXPECT_EQ(uitest::ColorAt(&parent_, 5 + 15, 5 + 10), kPress);
  EXPECT_NE(Shown(plain), kPress);
  TCImageButton* drawn = Make();
  drawn->move(5, 5);
  plain->hide();
  drawn->setImage(uitest::Solid(QSize(8, 8), kPress));
  EXPECT_EQ(uitest::ColorAt(&parent_, 5 + 10, 5 + 6), kNormal);
}

TEST_F(TCImageButtonTest, HoverNeedsAnEnabledControlAndLeavingAlwaysClearsIt) {
  TCImageButton* button = Make();
  button->setEnabled(false);
  uitest::Enter(button);
  EXPECT_FALSE(button->isFocus());
  EXPECT_EQ(Shown(button), kDisable);  // the control's own state also shows the disabled image

  button->setEnabled(true);
  uitest::Enter(button);
  EXPECT_TRUE(button->isFocus());
  // Disabled under the pointer: no leave event will come, hover goes now.
  button->setEnabled(false);
  button->setEnabled(true);
  EXPECT_FALSE(button->isFocus());
  EXPECT_EQ(Shown(button), kNormal);
}

TEST_F(TCImageButtonTest, LabelIsWhiteWhileUsableAndGreyOtherwise) {
  TCImageButton* button = Make();
  button->setTextWithName(QStringLiteral("Recover"), QRect(40, 40, 30, 20));
  button->setTextWithName(QStringLiteral("Go"), QRect(40, 40, 30, 20));
  ASSERT_EQ(button->findChildren<QLabel*>().size(), 1);  // one label, its text replaced
  QLabel* label = button->label();
  EXPECT_EQ(label->text(), QStringLiteral("Go"));
  EXPECT_EQ(label->geometry(), QRect(0, 1, 30, 18));
  auto text = [&] {
    uitest::Grab(button);
    return label->palette().color(QPalette::WindowText);
  };
  EXPECT_EQ(text(), QColor(Qt::white));
  button->setButtonEnabled(false);
  EXPECT_EQ(text(), QColor(128, 128, 128));
  button->setButtonEnabled(true);
  EXPECT_EQ(text(), QColor(Qt::white));
  // The image now fills the label's frame: the press image shows at (25, 2).
  QTest::mousePress(button, Qt::LeftButton, {}, QPoint(25, 10));
  EXPECT_EQ(uitest::ColorAt(&parent_, button->x() + 25, button->y() + 2), kPress);
  QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(25, 10));
}

}  // namespace
