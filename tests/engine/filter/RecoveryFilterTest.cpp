// The category filter and its extension table.
#include "filter/CRecoveryFilter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "ExtensionLists.h"
#include "engine/node/TestNode.h"
#include "support/TestSupport.h"

namespace {

// The table filled from the machine's own MIME type list answers every
// extension as an independent lookup does: the first list that holds it,
// whatever the case.
TEST(FileTypeManager, AgreesWithAnOracleOverTheSystemMimeTypes) {
  REQUIRE_OR_SKIP(std::filesystem::exists("/etc/mime.types"), "/etc/mime.types is missing (package media-types)");
  const auto script = testsupport::SourceDir() / "tests/engine/filter/mime_categories.py";
  std::istringstream out(testsupport::RunCommandOrFail("python3 " + script.string() + " /etc/mime.types"));
  std::string lists[5];
  for (auto& list : lists) std::getline(out, list);
  ScopedExtensionLists scoped(lists[0], lists[1], lists[2], lists[3], lists[4]);
  CFileTypeManager table;
  EXPECT_EQ(table.Initialize(), 1);
  int perCategory[8] = {};
  for (std::string key, expected; out >> key >> expected; ++perCategory[std::stoi(expected)]) {
    EXPECT_EQ(table.GetFileTypeID(key.c_str()), std::stoi(expected)) << key;
  }
  for (int category = 2; category <= 7; ++category) EXPECT_GT(perCategory[category], 10) << category;
}

TEST(FileTypeManager, ListsComeFromTheMapByCategoryBit) {
  ScopedExtensionLists lists("old", "old", "old-movies", "old", "old-docs");
  std::map<int, std::string> fromApp = {{1, "jpg"}, {2, "mp3"}, {8, "zip"}, {32, "exe"}};
  CFileTypeManager::Initialze(fromApp);
  EXPECT_EQ(strPics + strMusic + strMovies + strArchvie + strDocument + strIM, "jpgmp3old-movieszipold-docs");
}

// A lookup goes once round the table and ends, even when no slot is free.
TEST(KeHashTable, FullTableRefusesAndLookupsStillEnd) {
  auto table = std::make_unique<CKeHashTable<FILE_TYPE_ID, 64>>();
  for (int i = 0; i < 64; ++i) EXPECT_EQ(table->InsertNode(("k" + std::to_string(i)).c_str(), FILE_TYPE_MUSIC), 1);
  EXPECT_EQ(table->InsertNode("one-too-many", FILE_TYPE_MUSIC), 0);
  FILE_TYPE_ID found = FILE_TYPE_OTHER;
  for (int i = 0; i < 64; ++i) EXPECT_EQ(table->FindNode(("K" + std::to_string(i)).c_str(), found), 1);
  EXPECT_EQ(found, FILE_TYPE_MUSIC);
  EXPECT_EQ(table->FindNode("absent", found), 0);
}

TEST(RecoveryFilter, KeepsFoldersAndFilesOfTheSelectedCategories) {
  ScopedExtensionLists lists{"jpg;png", "mp3;flac", "mkv", "zip;gz", "pdf"};
  CRecoveryFilter filter;
  // The category is that of the text after the last dot; "/" marks a folder.
  const std::pair<std::string, _FILTER_TYPE> cases[] = {
      {"Pictures.old/", FILTER_TYPE_OTHER}, {"holiday.JPG", FILTER_TYPE_PICTURE}, {"a.flac", FILTER_TYPE_MUSIC},
      {"clip.mkv", FILTER_TYPE_MOVIE},      {"b.tar.gz", FILTER_TYPE_ARCHIVE},    {"t.pdf", FILTER_TYPE_DOCUMENT},
      {"notes.xyz", FILTER_TYPE_OTHER},     {"README", FILTER_TYPE_OTHER},        {".jpg", FILTER_TYPE_PICTURE},
      {"odd.", FILTER_TYPE_OTHER}};
  // 0 and 63 select nothing: every file passes; bits beyond the six are ignored.
  for (uint32_t mask : {0u, 63u, 1u, 2u, 4u, 8u, 16u, 32u, 1u | 4u | 64u, 127u}) {
    filter.SetFilterTypes(mask);
    for (const auto& [name, type] : cases) {
      TestNode node(name.substr(0, name.find('/')), name.back() == '/');
      const bool passes = node.IsDirectory() || mask == 0 || mask == 63 || (mask & type) != 0;
      EXPECT_EQ(filter.IsFileNodeValid(&node), passes ? 1 : 0) << mask << " " << name;
      EXPECT_EQ(filter.GetNodeFileType(&node), type) << name;
    }
  }
  TestNode nameless("x.jpg", false);
  nameless.SetNullName();
  EXPECT_EQ(filter.GetNodeFileType(&nameless), FILTER_TYPE_OTHER);
  EXPECT_EQ(filter.IsFileNodeValid(nullptr), 0);
  EXPECT_EQ(filter.GetNodeFileType(nullptr), FILTER_TYPE_OTHER);
  // Normal files show outside quick scans of mounted volumes, for which a filter is made.
  EXPECT_EQ(filter.ShowNormalFiles(), 0);
  for (auto [type, shows] :
       {std::pair{SCAN_TYPE_DEEP, 1}, {SCAN_TYPE_QUICK_UNMOUNTED, 1}, {SCAN_TYPE_QUICK_MOUNTED, 0}}) {
    filter.SetScanType(type);
    EXPECT_EQ(filter.ShowNormalFiles(), shows) << type;
  }
}

}  // namespace
