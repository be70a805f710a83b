#include "app/KVProcessEntry.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <cstdlib>

#include "QtTestSupport.h"
#include "platform/KeepAwake.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using platform::KeepAwake;
using platform::Resources;
using platform::UserDefaults;
using testsupport::TempDir;

const QString kNoBus = QStringLiteral("unix:path=/nonexistent/clipmender-test-bus");

class ProcessEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    static TempDir work;  // the working folder is fixed for the whole process
    setenv("CLIPMENDER_WORK_DIR", work.path().c_str(), 1);
    UserDefaults::Standard().Remove(UserDefaults::kPreferredLanguagesKey);
    UserDefaults::Standard().Synchronize();
    Resources::SetRoot(QString::fromStdString(root.path().string()));
    for (const char* language : {"en", "fr"}) {
      std::filesystem::create_directories(root / "strings" / language);
    }
    testsupport::WriteFile(root.path() / "strings/en/Localizable.strings", "\"HELLO\" = \"Hello\";");
    testsupport::WriteFile(root.path() / "strings/fr/Localizable.strings", "\"HELLO\" = \"Bonjour\";");
  }
  void TearDown() override {
    ReleasePreventObj();
    Resources::SetRoot(QString());
  }
  TempDir root;
};

TEST_F(ProcessEntry, TheLanguageArgumentBecomesTheOnlyPreferredLanguage) {
  UserDefaults::Standard().SetPreferredLanguages({"de", "en"});
  setCurLanguage("fr");
  EXPECT_EQ(UserDefaults::Standard().PreferredLanguages(), QStringList{"fr"});
  // Stored on disk at once, for the next start.
  EXPECT_EQ(UserDefaults(UserDefaults::Standard().FilePath()).PreferredLanguages(), QStringList{"fr"});
  EXPECT_EQ(Resources::Localization(), "fr");
  EXPECT_EQ(Resources::LocalizedString("HELLO"), "Bonjour");
  setCurLanguage("en");
  EXPECT_EQ(Resources::LocalizedString("HELLO"), "Hello");
}

TEST_F(ProcessEntry, ANullLanguageChangesNothing) {
  UserDefaults::Standard().SetPreferredLanguages({"fr"});
  setCurLanguage(nullptr);
  EXPECT_EQ(UserDefaults::Standard().PreferredLanguages(), QStringList{"fr"});
}

TEST_F(ProcessEntry, WithoutAnApplicationThereIsNoTimer) {
  // Only meaningful before the first test that makes the application object.
  if (QCoreApplication::instance() != nullptr) GTEST_SKIP() << "the application object exists already";
  PreventSleep();
  EXPECT_EQ(timer, nullptr);
  EXPECT_EQ(PreventSleepObject(), nullptr);
}

TEST_F(ProcessEntry, TheTimerRepeatsEveryThirtySecondsAndIsReleased) {
  qttest::App();
  setenv("DBUS_SYSTEM_BUS_ADDRESS", kNoBus.toUtf8().constData(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", kNoBus.toUtf8().constData(), 1);
  PreventSleep();
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->interval(), 30000);
  EXPECT_TRUE(timer->isActive());
  EXPECT_FALSE(timer->isSingleShot());
  QTimer* first = timer;
  PreventSleep();  // a second call keeps the running timer
  EXPECT_EQ(timer, first);
  ASSERT_NE(PreventSleepObject(), nullptr);
  ASSERT_TRUE(qttest::PumpUntil([] { return !PreventSleepObject()->IsPending(); }));
  EXPECT_EQ(PreventSleepObject()->CurrentMethod(), KeepAwake::Method::None);  // no bus: nothing, silently
  ReleasePreventObj();
  EXPECT_EQ(timer, nullptr);
  EXPECT_EQ(PreventSleepObject(), nullptr);
  ReleasePreventObj();  // twice is harmless
}

TEST_F(ProcessEntry, TheFirstFiringIsImmediateAndHoldsAnInhibitorUntilRelease) {
  REQUIRE_TOOL("dbus-run-session");
  qttest::App();
  qttest::PrivateBus bus(QStringLiteral(FAKE_INHIBIT_SERVICE), {"login1"});
  ASSERT_TRUE(bus.ok());
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8().constData(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", kNoBus.toUtf8().constData(), 1);
  PreventSleep();
  const int call = bus.WaitForLine("login1.Inhibit what=idle:sleep");
  ASSERT_GE(call, 0);
  ASSERT_TRUE(qttest::PumpUntil([] { return PreventSleepObject()->CurrentMethod() == KeepAwake::Method::Login1; }));
  // A later firing while the inhibitor is held asks nothing more.
  MyTimerCallback(timer, PreventSleepObject());
  ReleasePreventObj();
  EXPECT_GE(bus.WaitForLine("login1.released", call), 0);
  bus.Settle();
  EXPECT_EQ(bus.lines().filter("login1.Inhibit").size(), 1);
}

TEST_F(ProcessEntry, TheCallbackIgnoresAMissingObject) {
  MyTimerCallback(nullptr, nullptr);
  SUCCEED();
}

}  // namespace
