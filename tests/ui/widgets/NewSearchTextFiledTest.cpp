// The search field by the keys a user presses and what its delegate hears.
#include <QApplication>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/widgets/NewSearchTextFiled.h"

namespace {

class Heard : public INewSearchTextFiledDelegate {
 public:
  void doSearchWithKey(const std::optional<QString>& key) override { keys.push_back(key); }
  std::vector<std::optional<QString>> keys;
};

class NewSearchTextFiledTest : public ::testing::Test {
 protected:
  void SetUp() override {
    field_.setSearchDelegate(&heard_);
    field_.show();
    field_.textField()->setFocus();
  }
  bool ClearShown() const { return field_.clearButton()->isVisibleTo(&field_); }

  QApplication* app_ = uitest::App();
  NewSearchTextFiled field_;
  Heard heard_;
};

TEST_F(NewSearchTextFiledTest, TypingDeletingAndReturn) {
  QTest::keyClicks(field_.textField(), QStringLiteral("ab"));
  EXPECT_TRUE(heard_.keys.empty());  // no search while typing
  EXPECT_TRUE(ClearShown());
  QTest::keyClick(field_.textField(), Qt::Key_Return);
  ASSERT_EQ(heard_.keys.size(), 1u);
  EXPECT_EQ(heard_.keys[0], QStringLiteral("ab"));

  QTest::keyClick(field_.textField(), Qt::Key_Backspace);
  EXPECT_EQ(heard_.keys.size(), 1u);
  QTest::keyClick(field_.textField(), Qt::Key_Backspace);
  ASSERT_EQ(heard_.keys.size(), 2u);
  EXPECT_EQ(heard_.keys[1], std::nullopt);  // the last character ends the search
  EXPECT_FALSE(ClearShown());

  // Return in the empty field searches for the empty text, not "no key".
  QTest::keyClick(field_.textField(), Qt::Key_Return);
  ASSERT_EQ(heard_.keys.size(), 3u);
  ASSERT_TRUE(heard_.keys[2].has_value());
  EXPECT_TRUE(heard_.keys[2]->isEmpty());
}

TEST_F(NewSearchTextFiledTest, FocusLossAndResetSendNothing) {
  QTest::keyClicks(field_.textField(), QStringLiteral("x"));
  field_.textField()->clearFocus();
  QTest::keyClick(&field_, Qt::Key_Tab);
  field_.setTitleWithMnemonic();
  EXPECT_TRUE(heard_.keys.empty());
  EXPECT_TRUE(field_.textField()->text().isEmpty());
  EXPECT_FALSE(ClearShown());
}

TEST_F(NewSearchTextFiledTest, ClearButtonEndsOnlyARealSearch) {
  field_.clearTextFieldAction();  // already empty: nothing to end
  EXPECT_TRUE(heard_.keys.empty());
  QTest::keyClicks(field_.textField(), QStringLiteral("cat"));
  QTest::mouseClick(field_.clearButton(), Qt::LeftButton);
  ASSERT_EQ(heard_.keys.size(), 1u);
  EXPECT_EQ(heard_.keys[0], std::nullopt);
  EXPECT_FALSE(ClearShown());
  field_.setSearchDelegate(nullptr);
  QTest::keyClicks(field_.textField(), QStringLiteral("d"));
  field_.doSearchAction();  // nobody listening: nothing fails
  EXPECT_EQ(heard_.keys.size(), 1u);
}

}  // namespace
