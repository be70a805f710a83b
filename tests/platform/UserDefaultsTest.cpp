#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using platform::UserDefaults;
using testsupport::ShellQuote;

// Each key of section [General] and its value, as Python's configparser reads the file.
std::string IniAsPythonReadsIt(const QString& path) {
  return testsupport::RunCommandOrFail(
      "python3 -c " +
      ShellQuote("import configparser,sys\nc=configparser.RawConfigParser()\nc.optionxform=str\nc.read(sys.argv[1])\n"
                 "print(';'.join(k+'='+v for k,v in sorted(c['General'].items())),end='')") +
      " " + ShellQuote(path.toStdString()));
}

TEST(UserDefaults, ValuesAndLanguagesSurviveInAnIniFilePythonReads) {
  REQUIRE_TOOL("python3");
  testsupport::TempDir dir;
  const QString path = QString::fromStdString((dir / "UserDefaults.ini").string());
  {
    UserDefaults defaults(path);
    EXPECT_TRUE(defaults.PreferredLanguages().isEmpty());
    defaults.SetValue(UserDefaults::kSavePathKey, QStringLiteral("/home/someone/Saved scans"));
    defaults.SetValue(UserDefaults::kFirstTimeKey, QStringLiteral("NO"));
    defaults.SetValue(UserDefaults::kUpdateStampKey, QStringLiteral("2013-05-31 23:59:58"));
    defaults.SetPreferredLanguages({"fr"});
    ASSERT_TRUE(defaults.Synchronize());
  }
  EXPECT_EQ(IniAsPythonReadsIt(path),
            "FristTime=NO;PreferredLanguages=fr;SavePath=/home/someone/Saved scans;upDataTimeStr=2013-05-31 23:59:58");
  UserDefaults again(path);
  EXPECT_EQ(again.Value(UserDefaults::kSavePathKey).toString(), "/home/someone/Saved scans");
  EXPECT_EQ(again.PreferredLanguages(), QStringList{"fr"});
  again.Remove(UserDefaults::kFirstTimeKey);
  EXPECT_FALSE(again.Contains(UserDefaults::kFirstTimeKey));
  EXPECT_EQ(again.Value("missing", 7).toInt(), 7);
  again.SetPreferredLanguages({"pt_BR", "de", "en"});
  ASSERT_TRUE(again.Synchronize());
  EXPECT_EQ(UserDefaults(path).PreferredLanguages(), (QStringList{"pt_BR", "de", "en"}));

  UserDefaults unwritable(QStringLiteral("/proc/clipmender-cannot-write/UserDefaults.ini"));
  unwritable.SetValue("k", 1);
  EXPECT_FALSE(unwritable.Synchronize());
}

}  // namespace
