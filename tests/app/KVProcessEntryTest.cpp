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

// The program as ./run starts it.
TEST(ClipmenderProgram, TheFirstArgumentIsStoredAsTheLanguageBesideTheUpdateStamp) {
  testsupport::TempDir work;
  const auto ini = work / "UserDefaults.ini";
  auto run = [&](const std::string& args) {
    const std::string noBus = kNoBus.toStdString();
    return testsupport::RunCommand("env CLIPMENDER_WORK_DIR=" + ShellQuote(work.path().string()) +
                                   " DBUS_SYSTEM_BUS_ADDRESS=" + noBus + " DBUS_SESSION_BUS_ADDRESS=" + noBus +
                                   " QT_QPA_PLATFORM=offscreen " + ShellQuote(CLIPMENDER_EXECUTABLE) + " " + args +
                                   " 2>/dev/null");
  };
  auto result = run("");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output.find("argv ="), std::string::npos);
  // The first start checks for an update and stamps it; nothing else.
  EXPECT_EQ(QSettings(QString::fromStdString(ini.string()), QSettings::IniFormat).allKeys(),
            QStringList{"upDataTimeStr"});

  result = run("de fr");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.output.find("argv = de\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("windows are not built yet"), std::string::npos) << result.output;
  EXPECT_EQ(UserDefaults(QString::fromStdString(ini.string())).PreferredLanguages(), QStringList{"de"});
  const std::string before = testsupport::Sha256(ini);
  EXPECT_EQ(run("").exitCode, 0);
  EXPECT_EQ(testsupport::Sha256(ini), before);
}

}  // namespace
