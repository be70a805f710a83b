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
using testsupport::TempDir;

KVCPPPublic& Public() { return KVCPPPublic::instance(); }

// Year and month of Unix seconds in a POSIX time zone, as date(1) sees them.
std::pair<int, int> DateYearMonth(int64_t seconds, const std::string& zone) {
  std::istringstream out(
      testsupport::RunCommandOrFail("TZ=" + zone + " date -d @" + std::to_string(seconds) + " '+%Y %m'"));
  int year = 0;
  int month = 0;
  out >> year >> month;
  return {year, month};
}

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    unsetenv("TZ");
    tzset();
  }
};

TEST(TreeRoot, IsTheTopmostAncestor) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_EXFAT);
  AppTestNode* file = tree.File(tree.Folder(tree.Folder(root, "a"), "b"), "c.txt");
  EXPECT_EQ(Public().GetFileSystemNode(file), root);
  EXPECT_EQ(Public().GetFileSystemNode(root), root);
  EXPECT_EQ(Public().GetFileSystemNode(nullptr), nullptr);
  EXPECT_EQ(Public().GetNodeSearcheType(file), SEARCHER_TYPE_EXFAT);
  EXPECT_EQ(Public().GetNodeSearcheType(nullptr), SEARCHER_TYPE_NONE);
}

TEST(TreeRoot, IsLookedForThroughAtMost1024Parents) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_HFSPLUS);
  IFileNode* at1024 = tree.Chain(root, 1024);
  EXPECT_EQ(Public().GetFileSystemNode(at1024), root);
  IFileNode* at1025 = tree.Chain(at1024, 1);
  EXPECT_NE(Public().GetFileSystemNode(at1025), root);
  EXPECT_EQ(Public().GetNodeSearcheType(at1025), SEARCHER_TYPE_NONE);
}

TEST(TreeRoot, ATreeWithoutASearcherHasNone) {
  NodeTree tree;
  AppTestNode* orphan = tree.Folder(nullptr, "lost");
  EXPECT_EQ(Public().GetNodeSearcheType(tree.File(orphan, "x")), SEARCHER_TYPE_NONE);
}

TEST(YearAndMonth, FollowTheLocalTimeZone) {
  const int64_t lastHourOf2020 = 1609455600;  // 2020-12-31 23:00:00 UTC
  for (const char* zone : {"UTC0", "KIT-14", "HST10"}) {
    ZoneGuard guard(zone);
    int year = 0;
    int month = 0;
    Public().GetYearMonthByTimeT(&year, &month, static_cast<time_t>(lastHourOf2020));
    EXPECT_EQ(std::make_pair(year, month), DateYearMonth(lastHourOf2020, zone)) << zone;
    year = month = 0;
    Public().GetYearMonthByFileTime(&year, &month, filetime::FromUnixSeconds(lastHourOf2020));
    EXPECT_EQ(std::make_pair(year, month), DateYearMonth(lastHourOf2020, zone)) << zone;
  }
}

TEST(YearAndMonth, NullPointersAreSkipped) {
  ZoneGuard guard("UTC0");
  int year = 0;
  Public().GetYearMonthByTimeT(&year, nullptr, 0);
  EXPECT_EQ(year, 1970);
  int month = 0;
  Public().GetYearMonthByTimeT(nullptr, &month, 0);
  EXPECT_EQ(month, 1);
}

class CategoryNames : public ::testing::Test {
 protected:
  void SetUp() override {
    static TempDir work;  // the working folder is fixed for the whole process
    setenv("CLIPMENDER_WORK_DIR", work.path().c_str(), 1);
    std::filesystem::create_directories(root / "strings/en");
    std::filesystem::create_directories(root / "strings/fr");
    testsupport::WriteFile(root / "strings/en/Localizable.strings",
                           "\"PAGE_TWO_PICTURE_TITLE\" = \"Pictures\";\n"
                           "\"PAGE_TWO_MUSIC_TITLE\" = \"Music\";\n"
                           "\"PAGE_TWO_MOVIE_TITLE\" = \"Movies\";\n"
                           "\"PAGE_TWO_ARCHIVE_TITLE\" = \"Archives\";\n"
                           "\"PAGE_TWO_DOCUMENT_TITLE\" = \"Documents\";\n"
                           "\"PAGE_TWO_OTHER_TITLE\" = \"Other\";\n");
    testsupport::WriteFile(root / "strings/fr/Localizable.strings",
                           "\"PAGE_TWO_PICTURE_TITLE\" = \"Images\";\n"
                           "\"PAGE_TWO_MOVIE_TITLE\" = \"Vidéos\";\n");
    UserDefaults::Standard().SetPreferredLanguages({"en"});
    Resources::SetRoot(QString::fromStdString(root.path().string()));
    Resources::ReloadStrings();
  }
  void TearDown() override {
    UserDefaults::Standard().Remove(UserDefaults::kPreferredLanguagesKey);
    Resources::SetRoot(QString());
    Resources::ReloadStrings();
  }
  void UseFrench() {
    UserDefaults::Standard().SetPreferredLanguages({"fr"});
    Resources::ReloadStrings();
  }
  TempDir root;
};

TEST_F(CategoryNames, EachCategoryHasItsName) {
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_PICTURE), "Pictures");
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_MUSIC), "Music");
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_MOVIE), "Movies");
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_ARCHIVE), "Archives");
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_DOCUMENT), "Documents");
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_OTHER), "Other");
  for (int notOne : {0, 3, 64, -1}) EXPECT_EQ(Public().FilterTypeToString(static_cast<_FILTER_TYPE>(notOne)), "");
}

TEST_F(CategoryNames, NamesLeadBackToTheirCategory) {
  EXPECT_EQ(Public().StringToFilterType("Music"), FILTER_TYPE_MUSIC);
  EXPECT_EQ(Public().StringToFilterType("Documents"), FILTER_TYPE_DOCUMENT);
  EXPECT_EQ(Public().StringToFilterType("music"), FILTER_TYPE_OTHER) << "names compare exactly";
  EXPECT_EQ(Public().StringToFilterType("Nothing"), FILTER_TYPE_OTHER);
  EXPECT_EQ(Public().StringToFilterType(nullptr), FILTER_TYPE_OTHER);
  EXPECT_TRUE(Public().IsTypeString("Movies", FILTER_TYPE_MOVIE));
  EXPECT_FALSE(Public().IsTypeString("Movies", FILTER_TYPE_MUSIC));
  EXPECT_FALSE(Public().IsTypeString(nullptr, FILTER_TYPE_MUSIC));
  EXPECT_FALSE(Public().IsTypeString("", static_cast<_FILTER_TYPE>(3)));
}

TEST_F(CategoryNames, FollowTheInterfaceLanguage) {
  UseFrench();
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_MOVIE), "Vidéos");
  EXPECT_EQ(Public().StringToFilterType("Images"), FILTER_TYPE_PICTURE);
  // Untranslated names come from English.
  EXPECT_EQ(Public().FilterTypeToString(FILTER_TYPE_MUSIC), "Music");
}

TEST(NodeSearch, ForwardsToTheNameMatch) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_FAT);
  tree.File(tree.Folder(root, "x"), "Report.DOC");
  EXPECT_TRUE(Public().IsStringInFileNode("report", root));
  EXPECT_FALSE(Public().IsStringInFileNode("invoice", root));
}

}  // namespace
