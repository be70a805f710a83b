#include "app/KVRecoveryFilePath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "AppTestNode.h"
#include "app/KVSafeFileName.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;

class RecoveryPath : public ::testing::Test {
 protected:
  // The destination as the recovery passes it: the chosen folder and "/".
  std::string Destination() const { return (temp / "Out").string() + "/"; }

  std::optional<std::string> PathFor(IFileNode* node, const std::string& destination) {
    char* path = CreateRecoveryFilePathByNode(node, destination.c_str(), numbers);
    if (path == nullptr) return std::nullopt;
    std::string copy(path);
    std::free(path);
    return copy;
  }
  std::optional<std::string> PathFor(IFileNode* node) { return PathFor(node, Destination()); }

  // Writes the file as copy-out would, failing when it exists already.
  static bool Create(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    close(fd);
    return true;
  }

  // Whether `path` names something inside `folder` (both made absolute and
  // normal, following every link that exists).
  static bool Inside(const std::string& path, const std::string& folder) {
    const fs::path p = fs::weakly_canonical(path);
    const fs::path f = fs::weakly_canonical(folder);
    auto [end, unused] = std::mismatch(f.begin(), f.end(), p.begin(), p.end());
    return end == f.end() && p != f;
  }

  TempDir temp;
  KVRecoveryFolderNumbers numbers;
  NodeTree tree;
};

TEST_F(RecoveryPath, TheFirstFileOfAFileSystemOpensANumberedFolder) {
  AppTestRoot* root = tree.Root("Macintosh HD", SEARCHER_TYPE_HFSPLUS);
  AppTestNode* file = tree.File(tree.Folder(root, "Photos"), "a.jpg");
  EXPECT_EQ(PathFor(file), Destination() + "HFS+_0001/Macintosh HD/Photos/a.jpg");
  EXPECT_TRUE(fs::is_directory(Destination() + "HFS+_0001/Macintosh HD/Photos"));
  EXPECT_FALSE(fs::exists(Destination() + "HFS+_0001/Macintosh HD/Photos/a.jpg")) << "the file is copy-out's to make";
  EXPECT_EQ(numbers.Get(SEARCHER_TYPE_HFSPLUS), 1);
}

TEST_F(RecoveryPath, ATakenFolderNumberIsSkipped) {
  fs::create_directories(Destination() + "HFS+_0001");
  AppTestNode* file = tree.File(tree.Root("Vol", SEARCHER_TYPE_HFSPLUS), "a.jpg");
  EXPECT_EQ(PathFor(file), Destination() + "HFS+_0002/Vol/a.jpg");
}

TEST_F(RecoveryPath, EachFileSystemHasItsPrefixAndNtfsNone) {
  const std::pair<_tagSearcherType, const char*> kinds[] = {{SEARCHER_TYPE_HFSPLUS, "HFS+_0001"},
                                                            {SEARCHER_TYPE_FAT, "Fat_0001"},
                                                            {SEARCHER_TYPE_EXFAT, "ExFat_0001"},
                                                            {SEARCHER_TYPE_RAW, "RAW_0001"},
                                                            {SEARCHER_TYPE_NTFS, "0001"}};
  for (const auto& [type, folder] : kinds) {
    AppTestNode* file = tree.File(tree.Root("V", type), "f");
    EXPECT_EQ(PathFor(file), Destination() + folder + "/V/f");
  }
}

TEST_F(RecoveryPath, ARecoveryKeepsItsFoldersAndTheNextOneOpensNewOnes) {
  AppTestRoot* root = tree.Root("Stick", SEARCHER_TYPE_FAT);
  EXPECT_EQ(PathFor(tree.File(root, "1.txt")), Destination() + "Fat_0001/Stick/1.txt");
  EXPECT_EQ(PathFor(tree.File(root, "2.txt")), Destination() + "Fat_0001/Stick/2.txt");
  numbers.Clear();
  EXPECT_EQ(PathFor(tree.File(root, "3.txt")), Destination() + "Fat_0002/Stick/3.txt");
  // Another recovery into the same folder at the same time gets its own.
  KVRecoveryFolderNumbers other;
  char* path = CreateRecoveryFilePathByNode(tree.File(root, "4.txt"), Destination().c_str(), other);
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(path), Destination() + "Fat_0003/Stick/4.txt");
  std::free(path);
}

TEST_F(RecoveryPath, ClashingNamesAreNumberedBeforeTheExtension) {
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_EXFAT);
  AppTestNode* folder = tree.Folder(root, "DCIM");
  std::vector<std::string> got;
  for (int i = 0; i < 3; ++i) {
    const auto path = PathFor(tree.File(folder, "a.jpg"));
    ASSERT_TRUE(path);
    ASSERT_TRUE(Create(*path));
    got.push_back(fs::path(*path).filename().string());
  }
  EXPECT_EQ(got, (std::vector<std::string>{"a.jpg", "a_0001.jpg", "a_0002.jpg"}));

  for (int i = 0; i < 2; ++i) ASSERT_TRUE(Create(*PathFor(tree.File(folder, "README"))));
  EXPECT_TRUE(fs::exists(Destination() + "ExFat_0001/Vol/DCIM/README_0001"));
}

TEST_F(RecoveryPath, OnlyTheFileNameIsNumberedNeverAFolder) {
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_NTFS);
  AppTestNode* folder = tree.Folder(tree.Folder(root, "old.jpg"), "x");
  ASSERT_TRUE(Create(*PathFor(tree.File(folder, "x.jpg"))));
  EXPECT_EQ(PathFor(tree.File(folder, "x.jpg")), Destination() + "0001/Vol/old.jpg/x/x_0001.jpg");
  // A name without an extension in a folder with dots is numbered at its end.
  AppTestNode* dotted = tree.Folder(root, "v1.2");
  ASSERT_TRUE(Create(*PathFor(tree.File(dotted, "notes"))));
  EXPECT_EQ(PathFor(tree.File(dotted, "notes")), Destination() + "0001/Vol/v1.2/notes_0001");
}

TEST_F(RecoveryPath, AFolderWhoseSafeNameIsTakenByAFileIsNumbered) {
  // HFS+ allows "/" in names: a file "a_b" and a folder "a/b" meet as "a_b".
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_HFSPLUS);
  ASSERT_TRUE(Create(*PathFor(tree.File(root, "a_b"))));
  AppTestNode* folder = tree.Folder(root, "a/b");
  EXPECT_EQ(PathFor(tree.File(folder, "1.txt")), Destination() + "HFS+_0001/Vol/a_b_0001/1.txt");
  EXPECT_EQ(PathFor(tree.File(folder, "2.txt")), Destination() + "HFS+_0001/Vol/a_b_0001/2.txt");
}

TEST_F(RecoveryPath, ATopFolderRemovedDuringTheRecoveryIsMadeAgain) {
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_FAT);
  ASSERT_TRUE(PathFor(tree.File(root, "1.txt")));
  fs::remove_all(Destination() + "Fat_0001");
  EXPECT_EQ(PathFor(tree.File(tree.Folder(root, "sub"), "2.txt")), Destination() + "Fat_0001/Vol/sub/2.txt");
}

TEST_F(RecoveryPath, AFolderNodeIsMadeButGetsNoPath) {
  AppTestNode* folder = tree.Folder(tree.Folder(tree.Root("Vol", SEARCHER_TYPE_FAT), "a"), "b");
  EXPECT_EQ(PathFor(folder), std::nullopt);
  EXPECT_TRUE(fs::is_directory(Destination() + "Fat_0001/Vol/a/b"));
}

TEST_F(RecoveryPath, HiddenAndUnplacedNodesGetNoPath) {
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_FAT);
  AppTestNode* hidden = tree.File(root, "hidden.jpg");
  hidden->ShowNode(0);
  EXPECT_EQ(PathFor(hidden), std::nullopt);
  EXPECT_EQ(PathFor(tree.File(tree.Root("Vol", SEARCHER_TYPE_NONE), "x.jpg")), std::nullopt);
  EXPECT_EQ(PathFor(tree.File(nullptr, "orphan.jpg")), std::nullopt);
  EXPECT_FALSE(fs::exists(Destination())) << "nothing is made for a node without a path";

  AppTestNode* file = tree.File(root, "a.jpg");
  EXPECT_EQ(CreateRecoveryFilePathByNode(nullptr, Destination().c_str(), numbers), nullptr);
  EXPECT_EQ(CreateRecoveryFilePathByNode(file, nullptr, numbers), nullptr);
  EXPECT_EQ(CreateRecoveryFilePathByNode(file, "", numbers), nullptr);
}

TEST_F(RecoveryPath, ADestinationWithoutAFinalSlashStillHoldsTheFiles) {
  AppTestNode* file = tree.File(tree.Root("Vol", SEARCHER_TYPE_RAW), "x.png");
  const std::string chosen = (temp / "Out").string();
  EXPECT_EQ(PathFor(file, chosen), chosen + "/RAW_0001/Vol/x.png");
}

TEST_F(RecoveryPath, AFolderThatCannotBeMadeGivesNoPath) {
  testsupport::WriteFile(temp / "Out", "a file where the destination should be");
  EXPECT_EQ(PathFor(tree.File(tree.Root("Vol", SEARCHER_TYPE_FAT), "x")), std::nullopt);
}

TEST_F(RecoveryPath, HostileNamesStayInsideTheDestination) {
  AppTestRoot* up = tree.Root("..", SEARCHER_TYPE_NTFS);
  AppTestRoot* slash = tree.Root("/", SEARCHER_TYPE_FAT);
  AppTestRoot* nameless = tree.Root(std::nullopt, SEARCHER_TYPE_EXFAT);
  std::vector<IFileNode*> files = {
      tree.File(up, ".."),
      tree.File(tree.Folder(tree.Folder(up, ".."), ".."), "passwd"),
      tree.File(tree.Folder(up, "../../../../tmp"), "x"),
      tree.File(tree.Folder(slash, "."), "."),
      tree.File(slash, "/"),
      tree.File(tree.Folder(nameless, std::nullopt), std::nullopt),
      tree.File(tree.Folder(nameless, ""), ""),
      tree.File(nameless, std::string(300, 'L') + ".jpg"),
      tree.File(nameless, std::string(400, 'L')),
      tree.File(nameless, "bad \xFF\xFE utf8"),
  };
  for (IFileNode* file : files) {
    for (int copy = 0; copy < 2; ++copy) {  // the second copy exercises the clash numbering
      const auto path = PathFor(file);
      ASSERT_TRUE(path) << (file->GetFileName() != nullptr ? file->GetFileName() : "(no name)");
      EXPECT_TRUE(Inside(*path, Destination())) << *path;
      EXPECT_LE(fs::path(*path).filename().string().size(), kKVMaxFileNameBytes);
      EXPECT_TRUE(Create(*path)) << *path;
    }
  }
  // Nothing at all was made beside the destination.
  for (const auto& entry : fs::directory_iterator(temp.path())) EXPECT_EQ(entry.path().filename(), "Out");
}

TEST_F(RecoveryPath, RandomHostileTreesNeverLeaveTheDestination) {
  std::mt19937 random(20240611);
  const std::vector<std::string> pieces = {"..",   ".",     "/", "a", "\xC3\xA9",
                                           "\xFF", "x.jpg", "",  " ", std::string(100, 'z')};
  auto randomName = [&] {
    std::string name;
    const int parts = static_cast<int>(random() % 4);
    for (int i = 0; i < parts; ++i) name += pieces[random() % pieces.size()];
    return name;
  };
  const _tagSearcherType types[] = {SEARCHER_TYPE_HFSPLUS, SEARCHER_TYPE_FAT, SEARCHER_TYPE_EXFAT, SEARCHER_TYPE_RAW,
                                    SEARCHER_TYPE_NTFS};
  int made = 0;
  for (int t = 0; t < 40; ++t) {
    IFileNode* at = tree.Root(randomName(), types[random() % 5]);
    const int depth = static_cast<int>(random() % 6);
    for (int d = 0; d < depth; ++d) at = tree.Folder(at, randomName());
    for (int f = 0; f < 3; ++f) {
      const auto path = PathFor(tree.File(at, randomName()));
      ASSERT_TRUE(path);
      ASSERT_TRUE(Inside(*path, Destination())) << *path;
      ASSERT_TRUE(Create(*path)) << *path;
      ++made;
    }
  }
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(temp.path())) {
    if (entry.is_regular_file()) ++files;
  }
  EXPECT_EQ(files, static_cast<size_t>(made)) << "every copy got a name of its own";
}

}  // namespace
