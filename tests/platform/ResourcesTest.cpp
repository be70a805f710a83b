#include "platform/Resources.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLocale>

#include <cstdlib>
#include <filesystem>

#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using platform::Resources;
using platform::UserDefaults;
using testsupport::TempDir;

// Every test here runs with its own working folder (so its own user defaults)
// and its own resource root.
class ResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static TempDir work;  // the working folder is fixed for the whole process
    setenv("CLIPMENDER_WORK_DIR", work.path().c_str(), 1);
    unsetenv("CLIPMENDER_RESOURCE_DIR");
    UserDefaults::Standard().Remove(UserDefaults::kPreferredLanguagesKey);
    Resources::SetRoot(QString::fromStdString(root.path().string()));
    Write("strings/en/Localizable.strings", "\"HELLO\" = \"Hello\"; \"ONLY_EN\" = \"English only\";");
    Write("strings/fr/Localizable.strings", "\"HELLO\" = \"Bonjour\";");
    Write("strings/pt/Localizable.strings", "\"HELLO\" = \"Ol\xC3\xA1\";");
    Write("strings/en/Other.strings", "\"HELLO\" = \"Hello from the other table\";");
  }
  void TearDown() override {
    UserDefaults::Standard().Remove(UserDefaults::kPreferredLanguagesKey);
    Resources::SetRoot(QString());
  }
  void Write(const std::string& relative, const std::string& text) {
    std::filesystem::create_directories((root.path() / relative).parent_path());
    testsupport::WriteFile(root.path() / relative, text);
  }
  void Prefer(const QStringList& languages) {
    UserDefaults::Standard().SetPreferredLanguages(languages);
    Resources::ReloadStrings();
  }
  TempDir root;
};

TEST_F(ResourcesTest, ThePreferredLanguageIsUsed) {
  Prefer({"fr"});
  EXPECT_EQ(Resources::Localization(), "fr");
  EXPECT_EQ(Resources::LocalizedString("HELLO"), "Bonjour");
}

TEST_F(ResourcesTest, AMissingKeyFallsBackToEnglishThenToTheKey) {
  Prefer({"fr"});
  EXPECT_EQ(Resources::LocalizedString("ONLY_EN"), "English only");
  EXPECT_EQ(Resources::LocalizedString("NOWHERE"), "NOWHERE");
}

TEST_F(ResourcesTest, RegionsFallBackToTheirLanguage) {
  Prefer({"pt-BR"});
  EXPECT_EQ(Resources::Localization(), "pt");
  EXPECT_EQ(Resources::LocalizedString("HELLO"), QString::fromUtf8("Ol\xC3\xA1"));
}

TEST_F(ResourcesTest, TheFirstPreferredLanguageWithTablesWins) {
  Prefer({"de", "fr", "pt"});
  EXPECT_EQ(Resources::Localization(), "fr");
  Prefer({"de"});
  EXPECT_EQ(Resources::Localization(), "en");
  EXPECT_EQ(Resources::LocalizedString("HELLO"), "Hello");
}

TEST_F(ResourcesTest, ChangingTheLanguageTakesEffectAfterReload) {
  Prefer({"fr"});
  EXPECT_EQ(Resources::LocalizedString("HELLO"), "Bonjour");
  Prefer({"pt"});
  EXPECT_EQ(Resources::LocalizedString("HELLO"), QString::fromUtf8("Ol\xC3\xA1"));
}

TEST_F(ResourcesTest, OtherTablesAreSeparate) {
  Prefer({"fr"});
  EXPECT_EQ(Resources::LocalizedString("HELLO", "Other"), "Hello from the other table");
  EXPECT_EQ(Resources::LocalizedString("HELLO", "../en/Localizable"), "HELLO");
}

TEST_F(ResourcesTest, LanguagesThatAreNotCodesNeverReachAPath) {
  // A folder outside strings/ that a traversal would reach.
  Write("evil/Localizable.strings", "\"HELLO\" = \"escaped\";");
  Prefer({"../evil", "../../x", "fr/../.."});
  EXPECT_EQ(Resources::PreferredLanguages(), QStringList());
  EXPECT_NE(Resources::LocalizedString("HELLO"), "escaped");
  EXPECT_FALSE(Resources::IsLanguageCode(""));
  EXPECT_FALSE(Resources::IsLanguageCode("e n"));
  EXPECT_FALSE(Resources::IsLanguageCode("1en"));
  EXPECT_TRUE(Resources::IsLanguageCode("zh-Hans-CN"));
}

TEST_F(ResourcesTest, WithoutAChoiceTheSystemLanguagesApply) {
  EXPECT_TRUE(UserDefaults::Standard().PreferredLanguages().isEmpty());
  QStringList expected;
  for (const QString& language : QLocale::system().uiLanguages()) {
    if (Resources::IsLanguageCode(language)) expected << language;
  }
  EXPECT_EQ(Resources::PreferredLanguages(), expected);
}

TEST_F(ResourcesTest, AMalformedTableCountsAsMissing) {
  Write("strings/fr/Localizable.strings", "\"HELLO\" = \"Bonjour\"  \"MISSING_SEMICOLON\" = \"x\";");
  Prefer({"fr"});
  EXPECT_EQ(Resources::LocalizedString("HELLO"), "Hello");
}

TEST_F(ResourcesTest, PropertyListsAndFilesAreFoundUnderTheRoot) {
  Write("FileType.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>1</key>"
        "<array><string>jpg</string></array></dict></plist>\n");
  QVariant value;
  QString error;
  ASSERT_TRUE(Resources::ReadPropertyList("FileType", &value, &error)) << error.toStdString();
  EXPECT_EQ(value.toMap().value("1").toStringList(), QStringList{"jpg"});
  EXPECT_FALSE(Resources::ReadPropertyList("LocalVersionMessage", &value, &error));
  EXPECT_TRUE(Resources::PathForResource("../FileType", "plist").isEmpty());
  EXPECT_TRUE(Resources::PathForResource("FileType", "txt").isEmpty());
}

TEST_F(ResourcesTest, TheEnvironmentOverridesTheRoot) {
  TempDir other;
  setenv("CLIPMENDER_RESOURCE_DIR", other.path().c_str(), 1);
  Resources::SetRoot(QString::fromStdString(root.path().string()));  // forget the resolved root
  EXPECT_EQ(Resources::Root(), QString::fromStdString(other.path().string()));
  unsetenv("CLIPMENDER_RESOURCE_DIR");
}

TEST_F(ResourcesTest, TheShippedEnglishTableLoadsAndNamesTheProduct) {
  Resources::SetRoot(QString::fromStdString((testsupport::SourceDir() / "resources").string()));
  Prefer({"en"});
  EXPECT_EQ(Resources::LocalizedString("WINDOW_TOP_TITLE"), "Clipmender");
  EXPECT_EQ(Resources::LocalizedString("PAGE_TWO_PICTURE_TITLE", "Localizable"), "Pictures");
}

}  // namespace
