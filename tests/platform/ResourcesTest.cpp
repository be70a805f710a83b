#include "platform/Resources.h"

#include <gtest/gtest.h>

#include <QLocale>

#include <cstdlib>
#include <filesystem>

#include "platform/UserDefaults.h"
#include "support/ScratchWorkDir.h"
#include "support/TestSupport.h"

namespace {

using platform::Resources;
using platform::UserDefaults;
using testsupport::ShellQuote;

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
  EXPECT_EQ(
      testsupport::RunCommandOrFail(
          "python3 -c " +
          ShellQuote("import configparser,sys\nc=configparser.RawConfigParser()\nc.optionxform=str\n"
                     "c.read(sys.argv[1])\nprint(';'.join(k+'='+v for k,v in sorted(c['General'].items())),end='')") +
          " " + ShellQuote(path.toStdString())),
      "FristTime=NO;PreferredLanguages=fr;SavePath=/home/someone/Saved scans;upDataTimeStr=2013-05-31 23:59:58");
  UserDefaults again(path);
  EXPECT_EQ(again.Value(UserDefaults::kSavePathKey).toString(), "/home/someone/Saved scans");
  again.Remove(UserDefaults::kFirstTimeKey);
  EXPECT_FALSE(again.Contains(UserDefaults::kFirstTimeKey));
  again.SetPreferredLanguages({"pt_BR", "de", "en"});
  ASSERT_TRUE(again.Synchronize());
  EXPECT_EQ(UserDefaults(path).PreferredLanguages(), (QStringList{"pt_BR", "de", "en"}));
  UserDefaults unwritable(QStringLiteral("/proc/clipmender-cannot-write/UserDefaults.ini"));
  unwritable.SetValue("k", 1);
  EXPECT_FALSE(unwritable.Synchronize());
}

class ResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("CLIPMENDER_RESOURCE_DIR");
    Resources::SetRoot(QString::fromStdString(root.path().string()));
    for (const auto& [file, text] : std::initializer_list<std::pair<const char*, const char*>>{
             {"strings/en/Localizable.strings", "\"HELLO\" = \"Hello\"; \"ONLY_EN\" = \"English only\";"},
             {"strings/fr/Localizable.strings", "\"HELLO\" = \"Bonjour\";"},
             {"strings/pt/Localizable.strings", "\"HELLO\" = \"Ol\xC3\xA1\";"},
             {"strings/de/Localizable.strings", "\"HELLO\" = \"Hallo\"  \"MISSING_SEMICOLON\" = \"x\";"},
             {"strings/en/Other.strings", "\"HELLO\" = \"Hello from the other table\";"},
             {"evil/Localizable.strings", "\"HELLO\" = \"escaped\";"},  // what a path traversal would reach
             {"FileType.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>1</key>"
              "<array><string>jpg</string></array></dict></plist>"}}) {
      std::filesystem::create_directories((root / file).parent_path());
      testsupport::WriteFile(root / file, text);
    }
  }
  void TearDown() override {
    Prefer({});
    Resources::SetRoot(QString());
  }
  static void Prefer(const QStringList& languages) {
    UserDefaults::Standard().SetPreferredLanguages(languages);
    Resources::ReloadStrings();
  }
  testsupport::TempDir root;
};

TEST_F(ResourcesTest, TheFirstPreferredLanguageWithASoundTableWins) {
  const struct {
    QStringList preferred;
    const char* localization;
    const char* hello;
  } cases[] = {
      {{"fr"}, "fr", "Bonjour"},
      {{"pt-BR"}, "pt", "Ol\xC3\xA1"},
      {{"es", "fr", "pt"}, "fr", "Bonjour"},
      {{"es"}, "en", "Hello"},
      {{"de"}, "de", "Hello"},  // a malformed table counts as missing
      {{"../evil", "../../x", "fr/../.."}, "en", "Hello"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.preferred.join(',').toStdString());
    Prefer(c.preferred);
    EXPECT_EQ(Resources::Localization(), c.localization);
    EXPECT_EQ(Resources::LocalizedString("HELLO"), QString::fromUtf8(c.hello));
  }
  EXPECT_EQ(Resources::PreferredLanguages(), QStringList());  // the hostile ones were dropped
  Prefer({"fr"});
  EXPECT_EQ(Resources::LocalizedString("ONLY_EN"), "English only");
  EXPECT_EQ(Resources::LocalizedString("NOWHERE"), "NOWHERE");
  EXPECT_EQ(Resources::LocalizedString("HELLO", "Other"), "Hello from the other table");
  EXPECT_EQ(Resources::LocalizedString("HELLO", "../en/Localizable"), "HELLO");
  for (const char* bad : {"", "e n", "1en"}) EXPECT_FALSE(Resources::IsLanguageCode(bad)) << bad;
  EXPECT_TRUE(Resources::IsLanguageCode("zh-Hans-CN"));

  Prefer({});  // without a choice the system's languages apply
  QStringList system;
  for (const QString& language : QLocale::system().uiLanguages()) {
    if (Resources::IsLanguageCode(language)) system << language;
  }
  EXPECT_EQ(Resources::PreferredLanguages(), system);
}

TEST_F(ResourcesTest, PropertyListsTheEnvironmentsRootAndTheShippedTable) {
  QVariant value;
  ASSERT_TRUE(Resources::ReadPropertyList("FileType", &value));
  EXPECT_EQ(value.toMap().value("1").toStringList(), QStringList{"jpg"});
  EXPECT_FALSE(Resources::ReadPropertyList("LocalVersionMessage", &value));
  EXPECT_TRUE(Resources::PathForResource("../FileType", "plist").isEmpty());
  EXPECT_TRUE(Resources::PathForResource("FileType", "txt").isEmpty());

  testsupport::TempDir other;
  setenv("CLIPMENDER_RESOURCE_DIR", other.path().c_str(), 1);
  Resources::SetRoot(QString::fromStdString(root.path().string()));  // forget the resolved root
  EXPECT_EQ(Resources::Root(), QString::fromStdString(other.path().string()));
  unsetenv("CLIPMENDER_RESOURCE_DIR");

  Resources::SetRoot(QString::fromStdString((testsupport::SourceDir() / "resources").string()));
  Prefer({"en"});
  EXPECT_EQ(Resources::LocalizedString("WINDOW_TOP_TITLE"), "Clipmender");
  EXPECT_EQ(Resources::LocalizedString("PAGE_TWO_PICTURE_TITLE"), "Pictures");
}

}  // namespace
