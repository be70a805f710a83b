#include "filter/CRecoveryFilter.h"

#include <gtest/gtest.h>

#include <memory>

#include "ExtensionLists.h"
#include "engine/node/TestNode.h"

namespace {

class FilterTest : public ::testing::Test {
 protected:
  ScopedExtensionLists lists{"jpg;png;gif", "mp3;flac", "mkv;mp4", "zip;gz;7z", "pdf;txt;doc"};
  CRecoveryFilter filter;

  TestNode folder{"Pictures.old", true};
  TestNode photo{"holiday.JPG", false};
  TestNode song{"track01.flac", false};
  TestNode movie{"clip.mkv", false};
  TestNode archive{"backup.tar.gz", false};
  TestNode paper{"thesis.pdf", false};
  TestNode unknown{"notes.xyz", false};
  TestNode noDot{"README", false};
  TestNode dotFile{".bashrc", false};
  TestNode trailingDot{"odd.", false};
};

TEST_F(FilterTest, NodeCategoryComesFromTheLastExtension) {
  EXPECT_EQ(filter.GetNodeFileType(&photo), FILTER_TYPE_PICTURE);
  EXPECT_EQ(filter.GetNodeFileType(&song), FILTER_TYPE_MUSIC);
  EXPECT_EQ(filter.GetNodeFileType(&movie), FILTER_TYPE_MOVIE);
  EXPECT_EQ(filter.GetNodeFileType(&archive), FILTER_TYPE_ARCHIVE);  // by gz, not tar
  EXPECT_EQ(filter.GetNodeFileType(&paper), FILTER_TYPE_DOCUMENT);
  EXPECT_EQ(filter.GetNodeFileType(&unknown), FILTER_TYPE_OTHER);
  EXPECT_EQ(filter.GetNodeFileType(&noDot), FILTER_TYPE_OTHER);
  EXPECT_EQ(filter.GetNodeFileType(&dotFile), FILTER_TYPE_OTHER);
  EXPECT_EQ(filter.GetNodeFileType(&trailingDot), FILTER_TYPE_OTHER);
  EXPECT_EQ(filter.GetNodeFileType(nullptr), FILTER_TYPE_OTHER);
  TestNode nameless("x.jpg", false);
  nameless.SetNullName();
  EXPECT_EQ(filter.GetNodeFileType(&nameless), FILTER_TYPE_OTHER);
}

TEST_F(FilterTest, NothingSelectedLetsEveryFileThrough) {
  for (uint32_t mask : {0u, kFilterAllTypes}) {
    filter.SetFilterTypes(mask);
    EXPECT_EQ(filter.GetFilterTypes(), mask);
    for (TestNode* node : {&folder, &photo, &song, &movie, &archive, &paper, &unknown, &noDot}) {
      EXPECT_EQ(filter.IsFileNodeValid(node), 1) << mask << " " << node->GetFileName();
    }
  }
  EXPECT_EQ(filter.IsFileNodeValid(nullptr), 0);
}

TEST_F(FilterTest, DocumentsOnlyKeepsFoldersAndDocuments) {
  filter.SetFilterTypes(FILTER_TYPE_DOCUMENT);
  EXPECT_EQ(filter.IsFileNodeValid(&folder), 1);
  EXPECT_EQ(filter.IsFileNodeValid(&paper), 1);
  for (TestNode* node : {&photo, &song, &movie, &archive, &unknown, &noDot}) {
    EXPECT_EQ(filter.IsFileNodeValid(node), 0) << node->GetFileName();
  }
  EXPECT_EQ(filter.IsFileNodeValid(nullptr), 0);
}

TEST_F(FilterTest, EachBitSelectsItsCategory) {
  const struct {
    uint32_t mask;
    TestNode* passes;
  } cases[] = {{FILTER_TYPE_PICTURE, &photo},   {FILTER_TYPE_MUSIC, &song},     {FILTER_TYPE_MOVIE, &movie},
               {FILTER_TYPE_ARCHIVE, &archive}, {FILTER_TYPE_DOCUMENT, &paper}, {FILTER_TYPE_OTHER, &unknown}};
  for (const auto& c : cases) {
    filter.SetFilterTypes(c.mask);
    for (const auto& other : cases) {
      EXPECT_EQ(filter.IsFileNodeValid(other.passes), other.passes == c.passes ? 1 : 0)
          << "mask " << c.mask << " file " << other.passes->GetFileName();
    }
  }
  filter.SetFilterTypes(FILTER_TYPE_OTHER);
  EXPECT_EQ(filter.IsFileNodeValid(&noDot), 1);
  TestNode nameless("x.jpg", false);
  nameless.SetNullName();
  EXPECT_EQ(filter.IsFileNodeValid(&nameless), 1);
  // Several bits at once, and bits beyond the six categories.
  filter.SetFilterTypes(FILTER_TYPE_PICTURE | FILTER_TYPE_MOVIE | 64);
  EXPECT_EQ(filter.IsFileNodeValid(&photo), 1);
  EXPECT_EQ(filter.IsFileNodeValid(&movie), 1);
  EXPECT_EQ(filter.IsFileNodeValid(&song), 0);
  filter.SetFilterTypes(127);  // not "all", but every category is selected
  EXPECT_EQ(filter.IsFileNodeValid(&unknown), 1);
  EXPECT_TRUE(filter.IsSelected(FILE_TYPE_OTHER));
}

TEST_F(FilterTest, NormalFilesShowOutsideQuickScansOfMountedVolumes) {
  EXPECT_EQ(filter.ShowNormalFiles(), 0);  // made for a quick scan of a mounted volume
  filter.SetScanType(SCAN_TYPE_DEEP);
  EXPECT_EQ(filter.ShowNormalFiles(), 1);
  filter.SetScanType(SCAN_TYPE_QUICK_UNMOUNTED);
  EXPECT_EQ(filter.ShowNormalFiles(), 1);
  filter.SetScanType(SCAN_TYPE_QUICK_MOUNTED);
  EXPECT_EQ(filter.ShowNormalFiles(), 0);
}

TEST(FilterTable, IsFilledFromTheListsAsTheyAreWhenMade) {
  std::unique_ptr<CRecoveryFilter> before;
  {
    ScopedExtensionLists lists("heic", "", "", "", "");
    before = std::make_unique<CRecoveryFilter>();
  }
  ScopedExtensionLists lists("", "", "", "", "heic");
  CRecoveryFilter after;
  TestNode photo("IMG_0001.HEIC", false);
  EXPECT_EQ(before->GetNodeFileType(&photo), FILTER_TYPE_PICTURE);
  EXPECT_EQ(after.GetNodeFileType(&photo), FILTER_TYPE_DOCUMENT);
}

}  // namespace
