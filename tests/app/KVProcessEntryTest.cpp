#include "app/KVProcessEntry.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSettings>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "QtTestSupport.h"
#include "platform/KeepAwake.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"
#include "support/ScratchWorkDir.h"
#include "support/TestSupport.h"

namespace {

using platform::KeepAwake;
using platform::UserDefaults;
using testsupport::ShellQuote;

const QString kNoBus = QStringLiteral("unix:path=/nonexistent/clipmender-test-bus");

void SetBuses(const QString& system, const QString& session) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", system.toUtf8().constData(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", session.toUtf8().constData(), 1);
}

TEST(ProcessEntry, TheLanguageArgumentBecomesTheOnlyPreferredLanguageAtOnce) {
  testsupport::TempDir root;
  for (const char* language : {"en", "fr"}) std::filesystem::create_directories(root / "strings" / language);
  testsupport::WriteFile(root / "strings/en/Localizable.strings", "\"HELLO\" = \"Hello\";");
  testsupport::WriteFile(root / "strings/fr/Localizable.strings", "\"HELLO\" = \"Bonjour\";");
  platform::Resources::SetRoot(QString::fromStdString(root.path().string()));
  UserDefaults::Standard().SetPreferredLanguages({"de", "en"});
  setCurLanguage("fr");
  EXPECT_EQ(UserDefaults(UserDefaults::Standard().FilePath()).PreferredLanguages(), QStringList{"fr"}) << "on disk";
  EXPECT_EQ(platform::Resources::LocalizedString("HELLO"), "Bonjour");
  setCurLanguage(nullptr);
  EXPECT_EQ(UserDefaults::Standard().PreferredLanguages(), QStringList{"fr"});
  setCurLanguage("en");
  EXPECT_EQ(platform::Resources::LocalizedString("HELLO"), "Hello");
  UserDefaults::Standard().Remove(UserDefaults::kPreferredLanguagesKey);
  platform::Resources::SetRoot(QString());
}

TEST(ProcessEntry, PreventSleepNeedsTheApplicationThenRepeatsEveryThirtySeconds) {
  if (QCoreApplication::instance() == nullptr) {  // only before the first test that makes it
    PreventSleep();
    EXPECT_EQ(timer, nullptr);
  }
  qttest::App();
  SetBuses(kNoBus, kNoBus);
  PreventSleep();
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->interval() == 30000 && timer->isActive() && !timer->isSingleShot());
  QTimer* first = timer;
  PreventSleep();
  EXPECT_EQ(timer, first) << "a second call keeps the running timer";
  ASSERT_TRUE(qttest::PumpUntil([] { return !PreventSleepObject()->IsPending(); }));
  EXPECT_EQ(PreventSleepObject()->CurrentMethod(), KeepAwake::Method::None) << "no bus: nothing, silently";
  ReleasePreventObj();
  EXPECT_TRUE(timer == nullptr && PreventSleepObject() == nullptr);
  ReleasePreventObj();
}

}  // namespace
