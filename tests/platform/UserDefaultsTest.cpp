#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <QString>

#include "support/TestSupport.h"

namespace {

using platform::UserDefaults;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;
using testsupport::TempDir;

QString PathIn(const TempDir& dir, const char* name) { return QString::fromStdString((dir / name).string()); }

// The value of `key` in section [General] of an INI file, as Python's
// configparser reads it.
std::string IniValue(const QString& path, const std::string& key) {
  return RunCommandOrFail("python3 -c " +
                          ShellQuote("import configparser,sys\nc=configparser.RawConfigParser()\nc.optionxform=str\n"
                                     "c.read(sys.argv[1])\nprint(c['General'][sys.argv[2]],end='')") +
                          " " + ShellQuote(path.toStdString()) + " " + ShellQuote(key));
}

TEST(UserDefaults, ValuesSurviveInTheFile) {
  TempDir dir;
  const QString path = PathIn(dir, "UserDefaults.ini");
  {
    UserDefaults defaults(path);
    defaults.SetValue(UserDefaults::kSavePathKey, QStringLiteral("/home/someone/Saved scans"));
    defaults.SetValue(UserDefaults::kFirstTimeKey, QStringLiteral("NO"));
    defaults.SetValue(UserDefaults::kUpdateStampKey, QStringLiteral("2013-05-31 23:59:58"));
    ASSERT_TRUE(defaults.Synchronize());
  }
  REQUIRE_TOOL("python3");
  EXPECT_EQ(IniValue(path, "FristTime"), "NO");
  EXPECT_EQ(IniValue(path, "upDataTimeStr"), "2013-05-31 23:59:58");
  UserDefaults again(path);
  EXPECT_EQ(again.Value(UserDefaults::kSavePathKey).toString(), "/home/someone/Saved scans");
  EXPECT_TRUE(again.Contains(UserDefaults::kFirstTimeKey));
  again.Remove(UserDefaults::kFirstTimeKey);
  EXPECT_FALSE(again.Contains(UserDefaults::kFirstTimeKey));
  EXPECT_EQ(again.Value("missing", 7).toInt(), 7);
}

TEST(UserDefaults, PreferredLanguagesKeepTheirOrder) {
  TempDir dir;
  const QString path = PathIn(dir, "UserDefaults.ini");
  UserDefaults defaults(path);
  EXPECT_TRUE(defaults.PreferredLanguages().isEmpty());
  defaults.SetPreferredLanguages({"fr"});
  ASSERT_TRUE(defaults.Synchronize());
  EXPECT_EQ(UserDefaults(path).PreferredLanguages(), QStringList{"fr"});
  REQUIRE_TOOL("python3");
  EXPECT_EQ(IniValue(path, "PreferredLanguages"), "fr");
  defaults.SetPreferredLanguages({"pt_BR", "de", "en"});
  ASSERT_TRUE(defaults.Synchronize());
  EXPECT_EQ(UserDefaults(path).PreferredLanguages(), (QStringList{"pt_BR", "de", "en"}));
}

TEST(UserDefaults, AnUnwritableFileIsReported) {
  UserDefaults defaults(QStringLiteral("/proc/clipmender-cannot-write/UserDefaults.ini"));
  defaults.SetValue("k", 1);
  EXPECT_FALSE(defaults.Synchronize());
}

}  // namespace
