#include "app/KVCPPPublic.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "AppTestNode.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using platform::Resources;
using platform::UserDefaults;

KVCPPPublic& Public() { return KVCPPPublic::instance(); }

TEST(TreeRoot, IsTheTopmostAncestorWithin1024Parents) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_HFSPLUS);
  IFileNode* at1024 = tree.Chain(root, 1024);
  EXPECT_EQ(Public().GetFileSystemNode(at1024), root);
  EXPECT_EQ(Public().GetFileSystemNode(root), root);
  EXPECT_EQ(Public().GetNodeSearcheType(tree.File(root, "c.txt")), SEARCHER_TYPE_HFSPLUS);
  IFileNode* at1025 = tree.Chain(at1024, 1);
  EXPECT_NE(Public().GetFileSystemNode(at1025), root);
  EXPECT_EQ(Public().GetNodeSearcheType(at1025), SEARCHER_TYPE_NONE);
  EXPECT_EQ(Public().GetFileSystemNode(nullptr), nullptr);
  EXPECT_EQ(Public().GetNodeSearcheType(tree.File(tree.Folder(nullptr, "lost"), "x")), SEARCHER_TYPE_NONE);
  tree.File(tree.Folder(root, "x"), "Report.DOC");  // the search's name match, forwarded
  EXPECT_TRUE(Public().IsStringInFileNode("report", root));
  EXPECT_FALSE(Public().IsStringInFileNode("invoice", root));
}

TEST(YearAndMonth, FollowTheLocalTimeZoneAsDateSeesIt) {
  const int64_t lastHourOf2020 = 1609455600;  // 2020-12-31 23:00:00 UTC
  for (const char* zone : {"UTC0", "KIT-14", "HST10"}) {
    std::istringstream out(testsupport::RunCommandOrFail(std::string("TZ=") + zone + " date -d @" +
                                                         std::to_string(lastHourOf2020) + " '+%Y %m'"));
    std::pair<int, int> expected;
    out >> expected.first >> expected.second;
    setenv("TZ", zone, 1);
    tzset();
    std::pair<int, int> byTime, byFileTime;
    Public().GetYearMonthByTimeT(&byTime.first, &byTime.second, static_cast<time_t>(lastHourOf2020));
    Public().GetYearMonthByFileTime(&byFileTime.first, &byFileTime.second, filetime::FromUnixSeconds(lastHourOf2020));
    int year = 0;
    Public().GetYearMonthByTimeT(&year, nullptr, 0);  // a null pointer is skipped
    unsetenv("TZ");
    tzset();
    EXPECT_EQ(byTime, expected) << zone;
    EXPECT_EQ(byFileTime, expected) << zone;
    EXPECT_EQ(year, std::string(zone) == "HST10" ? 1969 : 1970) << zone;
  }
}

TEST(CategoryNames, AreTheInterfaceLanguagesAndLeadBack) {
  static testsupport::TempDir work;  // the working folder is fixed for the whole process
  setenv("CLIPMENDER_WORK_DIR", work.path().c_str(), 1);
  testsupport::TempDir root;
  std::filesystem::create_directories(root / "strings/en");
  std::filesystem::create_directories(root / "strings/fr");
  testsupport::WriteFile(root / "strings/en/Localizable.strings",
                         "\"PAGE_TWO_PICTURE_TITLE\" = \"Pictures\"; \"PAGE_TWO_MUSIC_TITLE\" = \"Music\";\n"
                         "\"PAGE_TWO_MOVIE_TITLE\" = \"Movies\"; \"PAGE_TWO_ARCHIVE_TITLE\" = \"Archives\";\n"
                         "\"PAGE_TWO_DOCUMENT_TITLE\" = \"Documents\"; \"PAGE_TWO_OTHER_TITLE\" = \"Other\";\n");
  testsupport::WriteFile(root / "strings/fr/Localizable.strings",
                         "\"PAGE_TWO_PICTURE_TITLE\" = \"Images\"; \"PAGE_TWO_MOVIE_TITLE\" = \"Vidéos\";\n");
  Resources::SetRoot(QString::fromStdString(root.path().string()));
  const std::pair<_FILTER_TYPE, const char*> english[] = {
      {FILTER_TYPE_PICTURE, "Pictures"}, {FILTER_TYPE_MUSIC, "Music"},         {FILTER_TYPE_MOVIE, "Movies"},
      {FILTER_TYPE_ARCHIVE, "Archives"}, {FILTER_TYPE_DOCUMENT, "Documents"}, {FILTER_TYPE_OTHER, "Other"}};
  UserDefaults::Standard().SetPreferredLanguages({"en"});
  Resources::ReloadStrings();
  for (const auto& [type, name] : english) {
    EXPECT_EQ(Public().FilterTypeToString(type), name);
    EXPECT_EQ(Public().StringToFilterType(name), type);
    EXPECT_TRUE(Public().IsTypeString(name, type));
  }
  for (int notOne : {0, 3, 64, -1}) EXPECT_EQ(Public().FilterTypeToString(static_cast<_FILTER_TYPE>(notOne)), "");
  EXPECT_EQ(Public().StringToFilterType("music"), FILTER_TYPE_OTHER) << "names compare exactly";
  EXPECT_EQ(Public().StringToFilterType(nullptr), FILTER_TYPE_OTHER);
  EXPECT_FALSE(Public().IsTypeString("Movies", FILTER_TYPE_MUSIC));
  EXPECT_FALSE(Public().IsTypeString(nullptr, FILTER_TYPE_MUSIC));
  EXPECT_FALSE(Public().IsTypeString("", static_cast<_FILTER_TYPE>(3)));

  UserDefaults::Standard().SetPreferredLanguages({"fr"});
  Resources::ReloadStrings();
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_MOVIE), "Vidéos");
  EXPECT_EQ(Public().StringToFilterType("Images"), FILTER_TYPE_PICTURE);
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_MUSIC), "Music") << "untranslated names come from English";

  UserDefaults::Standard().Remove(UserDefaults::kPreferredLanguagesKey);
  Resources::SetRoot(QString());
  Resources::ReloadStrings();
}

}  // namespace
