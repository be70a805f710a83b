// The custom window: bar layout, moving and resizing by hand (the offscreen
// platform cannot move windows itself), the bar's controls across
// activation, sheets, nested modal sessions and the fading close.
#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "QtTestSupport.h"
#include "UiTestSupport.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KitFader.h"
#include "ui/widgets/KitModal.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"

namespace {

// Sends a press at `local` in `widget`, a move by `by` and a release, as a
// pointer would (positions on the screen computed before anything moves).
void Drag(QWidget* widget, QPoint local, QPoint by) {
  const QPointF global = widget->mapToGlobal(QPointF(local));
  QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
  QMouseEvent move(QEvent::MouseMove, QPointF(local + by), global + by, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(widget, &move);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(local + by), global + by, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(widget, &release);
}

class TCImageWindowTest : public ::testing::Test {
 protected:
  QApplication* app_ = uitest::App();
};

TEST_F(TCImageWindowTest, ContentSitsBelowTheBarAndButtonsWhereTheLayoutPutsThem) {
  TCImageWindow window(nullptr, true);
  window.resize(500, 300);
  window.show();  // a hidden window's resizes arrive only when it is shown
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  EXPECT_EQ(window.contentView()->geometry(), QRect(0, 22, 500, 278));
  // A 22-high bar lifted by 1: the buttons end 3 points below the top.
  window.setTopButtonMoveUp(1);
  window.resize(500, 301);
  EXPECT_EQ(window.windowButton(0)->geometry(), QRect(8, 3, 14, 14));
  EXPECT_EQ(window.windowButton(1)->pos(), QPoint(28, 3));
  EXPECT_EQ(window.windowButton(2)->pos(), QPoint(48, 3));

  window.setTopButtonMoveUp(35);  // stored only
  window.setTitleBarHeight(90);
  EXPECT_EQ(window.windowButton(0)->y(), 38 - 35);  // already laid out with the new move-up by the height change
  const int layouts = window.layoutCount();
  window.setTitleBarHeight(90);
  EXPECT_EQ(window.layoutCount(), layouts);
  for (QSize size : {QSize(640, 480), QSize(300, 120)}) {
    window.resize(size);
    EXPECT_EQ(window.contentView()->geometry(), QRect(0, 90, size.width(), size.height() - 90));
    EXPECT_EQ(window.windowButton(0)->geometry(), QRect(8, 3, 14, 14));
  }
  window.setTrafficLightButtonsLeftMargin(13);
  EXPECT_EQ(window.windowButton(0)->x(), 13);
  EXPECT_TRUE(uitest::Near(uitest::ColorAt(&window, 150, 60), KitColors::kTitleBar));
}

TEST_F(TCImageWindowTest, TheBarMovesTheWindowAndItsButtonsDoNot) {
  TCImageWindow window(nullptr, true);
  window.setTitleBarHeight(90);
  window.move(100, 100);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const QPoint start = window.pos();
  auto* label = new QLabel(QStringLiteral("title"), window.titleBarView());  // labels are part of the bar
  label->setGeometry(200, 40, 80, 20);
  Drag(label, QPoint(5, 5), QPoint(40, 25));
  EXPECT_EQ(window.pos(), start + QPoint(40, 25));

  QSignalSpy clicks(window.windowButton(1), &QAbstractButton::clicked);
  Drag(window.windowButton(1), QPoint(3, 3), QPoint(60, 60));
  EXPECT_EQ(window.pos(), start + QPoint(40, 25));
  EXPECT_EQ(clicks.count(), 0);  // released away from the button

  // A double-click on the bar minimises only when the desktop asks for it.
  QMouseEvent twice(QEvent::MouseButtonDblClick, QPointF(300, 10), window.mapToGlobal(QPointF(300, 10)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.titleBarView(), &twice);
  EXPECT_FALSE(window.isMinimized());
  window.setMinimiseOnDoubleClick(true);
  QApplication::sendEvent(window.titleBarView(), &twice);
  EXPECT_TRUE(window.isMinimized());
  window.showNormal();

  // The bottom-right grip resizes a resizable window.
  const QSize size = window.size();
  QWidget* grip = window.childAt(window.width() - 2, window.height() - 2);
  ASSERT_NE(grip, nullptr);
  Drag(grip, QPoint(1, 1), QPoint(30, 20));
  EXPECT_EQ(window.size(), size + QSize(30, 20));
}

TEST_F(TCImageWindowTest, BarControlsRefuseInputWhileInactiveAndKeepTheirOwnState) {
  TCImageWindow window;
  auto* on = new QPushButton(window.titleBarView());
  auto* off = new QPushButton(window.titleBarView());
  off->setEnabled(false);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  EXPECT_TRUE(on->isEnabled());

  TCImageWindow other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  EXPECT_FALSE(on->isEnabled());

  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  EXPECT_TRUE(on->isEnabled());
  EXPECT_FALSE(off->isEnabled());  // the window turned it off; activation does not turn it on
  EXPECT_TRUE(window.windowButton(0)->isEnabled());
}

TEST_F(TCImageWindowTest, AnAlertSheetBlocksTheWindowAndAnswersOnce) {
  TCImageWindow window;
  window.setTitleBarHeight(90);
  window.resize(600, 400);
  auto* content = new QPushButton(window.contentView());
  content->setGeometry(10, 10, 100, 30);
  QSignalSpy contentClicks(content, &QAbstractButton::clicked);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  std::vector<int> codes;
  QPointer<KitSheet> sheet =
      KitAlert::BeginSheet(&window, QStringLiteral("STOP"), [&](int code) { codes.push_back(code); });
  QWidget* panel = sheet->panel();
  EXPECT_EQ(panel->y(), 90);
  EXPECT_EQ(panel->x(), (600 - panel->width()) / 2);
  EXPECT_NE(panel->findChild<QLabel*>(), nullptr);
  // What the window showed is under the sheet: a click there reaches nothing.
  QTest::mouseClick(window.childAt(content->mapTo(&window, QPoint(50, 15))), Qt::LeftButton);
  EXPECT_EQ(contentClicks.count(), 0);
  EXPECT_EQ(window.childAt(window.windowButton(0)->geometry().center()), sheet.data());

  window.resize(700, 420);
  EXPECT_EQ(panel->pos(), QPoint((700 - panel->width()) / 2, 90));
  QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("noButton")), Qt::LeftButton);
  sheet->end(1);  // a late second answer is ignored
  EXPECT_EQ(codes, std::vector<int>{0});
  EXPECT_FALSE(sheet->isVisible());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(sheet.isNull());
  QTest::mouseClick(content, Qt::LeftButton);
  EXPECT_EQ(contentClicks.count(), 1);

  // An alert that only informs has the default button alone, answering 1.
  KitSheet* info = KitAlert::BeginSheet(
      &window, QStringLiteral("NO_RIGHTS"), [&](int code) { codes.push_back(code); }, false);
  EXPECT_EQ(info->panel()->findChild<QPushButton*>(QStringLiteral("noButton")), nullptr);
  auto* yes = info->panel()->findChild<QPushButton*>(QStringLiteral("yesButton"));
  EXPECT_EQ(yes->text(), QStringLiteral("NO_RIGHTS_YES_BUTTON"));
  QTest::mouseClick(yes, Qt::LeftButton);
  EXPECT_EQ(codes, (std::vector<int>{0, 1}));

  // Escape answers NO, Return the default YES.
  KitSheet* keys = KitAlert::BeginSheet(&window, QStringLiteral("STOP"), [&](int code) { codes.push_back(code); });
  QTest::keyClick(keys->panel()->findChild<QPushButton*>(QStringLiteral("yesButton")), Qt::Key_Escape);
  keys = KitAlert::BeginSheet(&window, QStringLiteral("STOP"), [&](int code) { codes.push_back(code); });
  QTest::keyClick(keys->panel(), Qt::Key_Return);
  EXPECT_EQ(codes, (std::vector<int>{0, 1, 0, 1}));
}

TEST_F(TCImageWindowTest, NestedModalSessionsEndInnermostFirst) {
  TCImageWindow outer, inner;
  std::vector<QString> order;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(0, [&] {
      EXPECT_EQ(KitModal::Depth(), 2);
      KitModal::StopModal(7);
      KitModal::StopModal(5);  // the inner session is ending: this one is the outer's
    });
    order.push_back(QStringLiteral("inner %1").arg(KitModal::RunModal(&inner)));
  });
  order.push_back(QStringLiteral("outer %1").arg(KitModal::RunModal(&outer)));
  EXPECT_EQ(order, (std::vector<QString>{QStringLiteral("inner 7"), QStringLiteral("outer 5")}));
  EXPECT_EQ(KitModal::Depth(), 0);
  KitModal::StopModal(1);  // none running: nothing happens
}

class CloseCounter : public TCImageWindow {
 public:
  int closes = 0;

 protected:
  void closeEvent(QCloseEvent* event) override {
    ++closes;
    TCImageWindow::closeEvent(event);
  }
};

TEST_F(TCImageWindowTest, AFadingCloseClosesOnceAndEndsItsModalSession) {
  CloseCounter window;
  auto* fader = new KitFader(&window, true);
  fader->fadeIn();
  EXPECT_TRUE(window.isVisible());
  window.windowButton(0)->click();  // the close button asks for a fade
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(fader->requestClose());
  EXPECT_TRUE(qttest::PumpUntil([&] { return !window.isVisible(); }));
  qttest::PumpPending();
  EXPECT_EQ(window.closes, 1);

  QTimer::singleShot(0, &window, [&] { window.close(); });
  EXPECT_EQ(KitModal::RunModal(&window), 0);
  EXPECT_EQ(window.closes, 2);
}

}  // namespace
