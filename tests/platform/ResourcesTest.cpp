#include "platform/Resources.h"

#include <gtest/gtest.h>

#include <QLocale>

#include <cstdlib>
#include <filesystem>

#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using platform::Resources;
using platform::UserDefaults;

class ResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static testsupport::TempDir work;  // the working folder is fixed for the whole process
    setenv("CLIPMENDER_WORK_DIR", work.path().c_str(), 1);
    unsetenv("CLIPMENDER_RESOURCE_DIR");
    Resources::SetRoot(QString::fromStdString(root.path().string()));
    Write("strings/en/Localizable.strings", "\"HELLO\" = \"Hello\"; \"ONLY_EN\" = \"English only\";");
    Write("strings/fr/Localizable.strings", "\"HELLO\" = \"Bonjour\";");
    Write("strings/pt/Localizable.strings", "\"HELLO\" = \"Ol\xC3\xA1\";");
    Write("strings/de/Localizable.strings", "\"HELLO\" = \"Hallo\"  \"MISSING_SEMICOLON\" = \"x\";");
    Write("strings/en/Other.strings", "\"HELLO\" = \"Hello from the other table\";");
    Write("evil/Localizable.strings", "\"HELLO\" = \"escaped\";");  // what a path traversal would reach
  }
  void TearDown() override {
    Prefer({});
    Resources::SetRoot(QString());
  }
  void Write(const std::string& relative, const std::string& text) {
    std::filesystem::create_directories((root.path() / relative).parent_path());
    testsupport::WriteFile(root.path() / relative, text);
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
}

TEST_F(ResourcesTest, WithoutAChoiceTheSystemLanguagesApply) {
  Prefer({});
  QStringList expected;
  for (const QString& language : QLocale::system().uiLanguages()) {
    if (Resources::IsLanguageCode(language)) expected << language;
  }
  EXPECT_EQ(Resources::PreferredLanguages(), expected);
}

TEST_F(ResourcesTest, PropertyListsAndTheEnvironmentsRoot) {
  Write("FileType.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>1</key>"
        "<array><string>jpg</string></array></dict></plist>\n");
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
}

TEST_F(ResourcesTest, TheShippedEnglishTableLoads) {
  Resources::SetRoot(QString::fromStdString((testsupport::SourceDir() / "resources").string()));
  Prefer({"en"});
  EXPECT_EQ(Resources::LocalizedString("WINDOW_TOP_TITLE"), "Clipmender");
  EXPECT_EQ(Resources::LocalizedString("PAGE_TWO_PICTURE_TITLE"), "Pictures");
}

}  // namespace
