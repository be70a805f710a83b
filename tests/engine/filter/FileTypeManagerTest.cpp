#include "FileTypeManager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ExtensionLists.h"
#include "support/TestSupport.h"

namespace {

std::string Oracle() {
  return "python3 " +
         testsupport::ShellQuote((testsupport::SourceDir() / "tests/engine/filter/mime_categories.py").string());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(FileTypeManager, EarlierListWinsAndCaseDoesNotMatter) {
  ScopedExtensionLists lists("jpg;png", "png;mp3", "", "", "");
  auto table = std::make_unique<CFileTypeManager>();
  EXPECT_EQ(table->Initialize(), 1);
  EXPECT_EQ(table->GetFileTypeID("PNG"), FILE_TYPE_PICTURE);
  EXPECT_EQ(table->GetFileTypeID("Mp3"), FILE_TYPE_MUSIC);
  EXPECT_EQ(table->GetFileTypeID("jPg"), FILE_TYPE_PICTURE);
  EXPECT_EQ(table->GetFileTypeID("txt"), FILE_TYPE_OTHER);
  EXPECT_EQ(table->GetFileTypeID(nullptr), FILE_TYPE_OTHER);
  EXPECT_EQ(table->GetFileTypeID(""), FILE_TYPE_OTHER);  // no list has an empty piece
}

TEST(FileTypeManager, EmptyPiecesAreExtensionsToo) {
  ScopedExtensionLists lists("", "", "", "zip;;7z;", "");
  CFileTypeManager table;
  table.Initialize();
  EXPECT_EQ(table.GetFileTypeID(""), FILE_TYPE_ARCHIVE);
  EXPECT_EQ(table.GetFileTypeID("7Z"), FILE_TYPE_ARCHIVE);
  EXPECT_EQ(table.InsertList("", FILE_TYPE_DOCUMENT), 0);  // an empty list inserts nothing
  EXPECT_EQ(table.InsertList(";", FILE_TYPE_DOCUMENT), 2);
}

TEST(FileTypeManager, ListsComeFromTheMapByCategoryBit) {
  ScopedExtensionLists lists("old-pics", "old-music", "old-movies", "old-archive", "old-docs");
  std::map<int, std::string> fromApp = {{1, "jpg"}, {2, "mp3"}, {8, "zip"}, {32, "exe"}};
  CFileTypeManager::Initialze(fromApp);
  EXPECT_EQ(strPics, "jpg");
  EXPECT_EQ(strMusic, "mp3");
  EXPECT_EQ(strMovies, "old-movies");  // key 4 missing
  EXPECT_EQ(strArchvie, "zip");
  EXPECT_EQ(strDocument, "old-docs");  // key 16 missing
  EXPECT_EQ(strIM, "");                // never filled
}

// The table filled from the machine's own MIME type list answers every
// extension the way an independent lookup does.
TEST(FileTypeManager, AgreesWithAnOracleOverTheSystemMimeTypes) {
  const std::string mimeTypes = "/etc/mime.types";
  REQUIRE_OR_SKIP(std::filesystem::exists(mimeTypes), "/etc/mime.types is missing (package media-types)");
  const auto lists = Lines(testsupport::RunCommandOrFail(Oracle() + " lists " + mimeTypes));
  ASSERT_EQ(lists.size(), 5u);
  ScopedExtensionLists scoped(lists[0], lists[1], lists[2], lists[3], lists[4]);
  CFileTypeManager table;
  table.Initialize();

  const auto lookups = Lines(testsupport::RunCommandOrFail(Oracle() + " lookups " + mimeTypes));
  ASSERT_GT(lookups.size(), 1000u);
  int perCategory[8] = {};
  for (const std::string& line : lookups) {
    const size_t space = line.rfind(' ');
    ASSERT_NE(space, std::string::npos) << line;
    const std::string key = line.substr(0, space);
    const int expected = std::stoi(line.substr(space + 1));
    EXPECT_EQ(table.GetFileTypeID(key.c_str()), expected) << key;
    ++perCategory[expected];
  }
  for (int category = 2; category <= 7; ++category) EXPECT_GT(perCategory[category], 0) << category;
}

TEST(KeHashTable, HashesMatchTheirDescription) {
  const std::vector<std::string> keys = {
      "jpg", "JPG", "Jpg", "tar", "docx", "a", "mp3", "x-y_z.1", "\xC3\xA9t\xC3\xA9"};
  std::string command = Oracle() + " hashes";
  for (const auto& key : keys) command += " " + testsupport::ShellQuote(key);
  const auto lines = Lines(testsupport::RunCommandOrFail(command));
  ASSERT_EQ(lines.size(), keys.size());
  CFileTypeManager table;
  for (size_t i = 0; i < keys.size(); ++i) {
    std::istringstream fields(lines[i]);
    std::string key;
    uint32_t h[3];
    fields >> key >> h[0] >> h[1] >> h[2];
    for (uint32_t kind = 0; kind < 3; ++kind) EXPECT_EQ(table.GetHashCode(keys[i].c_str(), kind), h[kind]) << keys[i];
  }
  EXPECT_EQ(table.GetHashCode("", 0), 0x7FED7FEDu);
  EXPECT_EQ(table.GetHashCode("jpg", 5), 0u);  // no such row
}

TEST(KeHashTable, FullTableRefusesAndLookupsStillEnd) {
  auto table = std::make_unique<CKeHashTable<FILE_TYPE_ID, 64>>();
  for (int i = 0; i < 64; ++i) EXPECT_EQ(table->InsertNode(("k" + std::to_string(i)).c_str(), FILE_TYPE_MUSIC), 1);
  EXPECT_EQ(table->InsertNode("one-too-many", FILE_TYPE_MUSIC), 0);
  FILE_TYPE_ID found = FILE_TYPE_OTHER;
  for (int i = 0; i < 64; ++i) {
    ASSERT_EQ(table->FindNode(("K" + std::to_string(i)).c_str(), found), 1);
    EXPECT_EQ(found, FILE_TYPE_MUSIC);
  }
  EXPECT_EQ(table->FindNode("absent", found), 0);
  EXPECT_EQ(table->GetHashTablePos("absent", 0), 0xFFFFFFFFu);
  EXPECT_EQ(table->InsertNode(nullptr, FILE_TYPE_MUSIC), 0);
  EXPECT_EQ(table->FindNode(nullptr, found), 0);
}

TEST(KeHashTable, DuplicateKeysTakeTwoSlotsAndTheFirstWins) {
  CKeHashTable<FILE_TYPE_ID, 2048> table;
  ASSERT_EQ(table.InsertNode("raw", FILE_TYPE_PICTURE), 1);
  ASSERT_EQ(table.InsertNode("RAW", FILE_TYPE_DOCUMENT), 1);
  FILE_TYPE_ID found = FILE_TYPE_OTHER;
  ASSERT_EQ(table.FindNode("Raw", found), 1);
  EXPECT_EQ(found, FILE_TYPE_PICTURE);
  EXPECT_EQ(table.GetHashTablePos("raw", 0), table.GetHashCode("raw", 0) % 2048);
}

}  // namespace
