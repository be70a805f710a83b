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
#include "base/TextConvert.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(SafeFileName, NamesFromDiskBecomeOneSafeComponent) {
  const std::string n300(300, 'n'), e300(300, 'e');
  std::string wide;
  for (int i = 0; i < 100; ++i) wide += "\xE6\x97\xA5";  // 300 bytes of 3-byte characters
  for (const std::string same :
       {"a.jpg", "Résumé 2020.docx", "...", ".bashrc", "a..b", "-x", "with space ", "back\\slash", "日本語.txt"}) {
    EXPECT_EQ(KVSafeFileName(same), same);
  }
  const std::pair<std::string, std::string> cases[] = {
      {"..", "__"},
      {".", "_"},
      {"", "_"},
      {"/", "_"},
      {"../../etc/passwd", ".._.._etc_passwd"},
      {"a/b", "a_b"},
      {"a\0b"s, "a_b"},
      {"\0"s, "_"},
      {"caf\xE9.txt", "caf\xEF\xBF\xBD.txt"},  // Latin-1, not UTF-8
      {n300 + ".jpeg", std::string(250, 'n') + ".jpeg"},
      {wide + ".txt", wide.substr(0, 83 * 3) + ".txt"},  // cut to whole characters
      {"a." + e300, ("a." + e300).substr(0, 255)},       // an over-long extension is not kept
  };
  for (const auto& [name, safe] : cases) EXPECT_EQ(KVSafeFileName(name), safe) << name;
  for (const char* broken : {"\xC0\xAF", "\xED\xA0\x80x"}) {  // an overlong "/", a lone surrogate
    const std::string safe = KVSafeFileName(broken);
    EXPECT_TRUE(IsValidUtf8(safe.data(), safe.size()));
    EXPECT_EQ(safe.find('/'), std::string::npos);
  }
  const std::string full = KVSafeFileName(n300 + ".jpg"), longExt = "a." + std::string(253, 'e');
  EXPECT_EQ(KVNumberedFileName(full, 1), std::string(246, 'n') + "_0001.jpg") << "within the name limit";
  EXPECT_EQ(KVNumberedFileName(longExt, 7), longExt.substr(0, 250) + "_0007");
  EXPECT_EQ(KVNumberedFolderName(std::string(255, 'f'), 2), std::string(250, 'f') + "_0002");
}

class RecoveryPath : public ::testing::Test {
 protected:
  // The destination as the recovery passes it: the chosen folder and "/".
  std::string Out() const { return (temp / "Out").string() + "/"; }

  std::optional<std::string> PathFor(IFileNode* node, const char* destination = nullptr) {
    char* path = CreateRecoveryFilePathByNode(node, destination != nullptr ? destination : Out().c_str(), numbers);
    if (path == nullptr) return std::nullopt;
    std::string copy(path);
    std::free(path);
    return copy;
  }
  // Makes the file as copy-out does, failing when it exists already; answers its name.
  std::string Create(IFileNode* node) {
    const auto path = PathFor(node);
    if (!path) return "(no path)";
    const int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd < 0) return "(cannot create " + *path + ")";
    close(fd);
    return path->substr(std::min(path->size(), Out().size()));
  }
  // Whether `path` names something inside the destination, following every link that exists.
  bool Inside(const std::string& path) const {
    const fs::path p = fs::weakly_canonical(path), f = fs::weakly_canonical(Out());
    return std::mismatch(f.begin(), f.end(), p.begin(), p.end()).first == f.end() && p != f;
  }

  testsupport::TempDir temp;
  KVRecoveryFolderNumbers numbers;
  NodeTree tree;
};

TEST_F(RecoveryPath, EachFileSystemGetsANumberedTopFolderPerRecovery) {
  const std::pair<_tagSearcherType, const char*> kinds[] = {{SEARCHER_TYPE_HFSPLUS, "HFS+_0002"},
                                                            {SEARCHER_TYPE_FAT, "Fat_0001"},
                                                            {SEARCHER_TYPE_EXFAT, "ExFat_0001"},
                                                            {SEARCHER_TYPE_RAW, "RAW_0001"},
                                                            {SEARCHER_TYPE_NTFS, "0001"}};
  fs::create_directories(Out() + "HFS+_0001");  // a taken number is skipped
  for (const auto& [type, folder] : kinds) {
    AppTestRoot* root = tree.Root("Macintosh HD", type);
    EXPECT_EQ(PathFor(tree.File(tree.Folder(root, "Photos"), "a.jpg")), Out() + folder + "/Macintosh HD/Photos/a.jpg");
    EXPECT_TRUE(fs::is_directory(Out() + folder + "/Macintosh HD/Photos"));
    EXPECT_EQ(PathFor(tree.File(root, "b.jpg")), Out() + folder + "/Macintosh HD/b.jpg") << "the same folder";
  }
  EXPECT_FALSE(fs::exists(Out() + "Fat_0001/Macintosh HD/Photos/a.jpg")) << "the file is copy-out's to make";
  EXPECT_EQ(numbers.Get(SEARCHER_TYPE_HFSPLUS), 2);

  AppTestRoot* stick = tree.Root("Stick", SEARCHER_TYPE_FAT);
  numbers.Clear();  // the next recovery opens new folders
  EXPECT_EQ(PathFor(tree.File(stick, "3.txt")), Out() + "Fat_0002/Stick/3.txt");
  KVRecoveryFolderNumbers other;  // another recovery into the same folder at the same time
  char* path = CreateRecoveryFilePathByNode(tree.File(stick, "4.txt"), Out().c_str(), other);
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(path), Out() + "Fat_0003/Stick/4.txt");
  std::free(path);
  fs::remove_all(Out() + "Fat_0002");  // removed during the recovery: made again
  EXPECT_EQ(PathFor(tree.File(tree.Folder(stick, "sub"), "5.txt")), Out() + "Fat_0002/Stick/sub/5.txt");
  const std::string chosen = (temp / "Out").string();  // without the final slash
  EXPECT_EQ(PathFor(tree.File(stick, "x.png"), chosen.c_str()), chosen + "/Fat_0002/Stick/x.png");
}

TEST_F(RecoveryPath, ClashesNumberOnlyTheLastComponent) {
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_NTFS);
  AppTestNode* dcim = tree.Folder(root, "DCIM");
  AppTestNode* jpgFolder = tree.Folder(tree.Folder(root, "old.jpg"), "x");
  AppTestNode* dotted = tree.Folder(root, "v1.2");
  std::vector<std::string> made;
  for (int copy = 0; copy < 3; ++copy) made.push_back(Create(tree.File(dcim, "a.jpg")));
  for (int copy = 0; copy < 2; ++copy) {
    for (const char* name : {"README", ".bashrc", "a.tar.gz", "x."}) made.push_back(Create(tree.File(dcim, name)));
    made.push_back(Create(tree.File(jpgFolder, "x.jpg")));
    made.push_back(Create(tree.File(dotted, "notes")));
  }
  // A file "a_b" and a folder "a/b" (HFS+ allows "/") meet as "a_b".
  made.push_back(Create(tree.File(root, "a_b")));
  AppTestNode* slashed = tree.Folder(root, "a/b");
  made.push_back(Create(tree.File(slashed, "1.txt")));
  made.push_back(Create(tree.File(slashed, "2.txt")));
  EXPECT_EQ(made,
            (std::vector<std::string>{
                "0001/Vol/DCIM/a.jpg", "0001/Vol/DCIM/a_0001.jpg", "0001/Vol/DCIM/a_0002.jpg", "0001/Vol/DCIM/README",
                "0001/Vol/DCIM/.bashrc", "0001/Vol/DCIM/a.tar.gz", "0001/Vol/DCIM/x.", "0001/Vol/old.jpg/x/x.jpg",
                "0001/Vol/v1.2/notes", "0001/Vol/DCIM/README_0001", "0001/Vol/DCIM/.bashrc_0001",
                "0001/Vol/DCIM/a.tar_0001.gz", "0001/Vol/DCIM/x._0001", "0001/Vol/old.jpg/x/x_0001.jpg",
                "0001/Vol/v1.2/notes_0001", "0001/Vol/a_b", "0001/Vol/a_b_0001/1.txt", "0001/Vol/a_b_0001/2.txt"}));
}

TEST_F(RecoveryPath, NodesWithoutAPlaceGetNoPath) {
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_FAT);
  AppTestNode* hidden = tree.File(root, "hidden.jpg");
  hidden->ShowNode(0);
  AppTestNode* file = tree.File(root, "a.jpg");
  EXPECT_EQ(PathFor(hidden), std::nullopt);
  EXPECT_EQ(PathFor(tree.File(tree.Root("Vol", SEARCHER_TYPE_NONE), "x.jpg")), std::nullopt);
  EXPECT_EQ(PathFor(tree.File(nullptr, "orphan.jpg")), std::nullopt);
  EXPECT_EQ(PathFor(nullptr), std::nullopt);
  EXPECT_EQ(PathFor(file, ""), std::nullopt);
  EXPECT_EQ(CreateRecoveryFilePathByNode(file, nullptr, numbers), nullptr);
  EXPECT_FALSE(fs::exists(Out())) << "nothing is made for a node without a path";

  EXPECT_EQ(PathFor(tree.Folder(tree.Folder(root, "a"), "b")), std::nullopt) << "a folder node";
  EXPECT_TRUE(fs::is_directory(Out() + "Fat_0001/Vol/a/b")) << "but its folders are made";
  fs::remove_all(Out());
  testsupport::WriteFile(temp / "Out", "a file where the destination should be");
  EXPECT_EQ(PathFor(file), std::nullopt);
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
  // Random trees of hostile pieces, each file copied twice to exercise the clash numbering.
  std::mt19937 random(20240611);
  const std::vector<std::string> pieces = {"..",   ".",     "/", "a", "\xC3\xA9",
                                           "\xFF", "x.jpg", "",  " ", std::string(100, 'z')};
  auto randomName = [&] {
    std::string name;
    for (int i = static_cast<int>(random() % 4); i > 0; --i) name += pieces[random() % pieces.size()];
    return name;
  };
  const _tagSearcherType types[] = {SEARCHER_TYPE_HFSPLUS, SEARCHER_TYPE_FAT, SEARCHER_TYPE_EXFAT, SEARCHER_TYPE_RAW,
                                    SEARCHER_TYPE_NTFS};
  for (int t = 0; t < 40; ++t) {
    IFileNode* at = tree.Root(randomName(), types[random() % 5]);
    for (int d = static_cast<int>(random() % 6); d > 0; --d) at = tree.Folder(at, randomName());
    for (int f = 0; f < 3; ++f) files.push_back(tree.File(at, randomName()));
  }
  for (IFileNode* file : files) {
    for (int copy = 0; copy < 2; ++copy) {
      const auto path = PathFor(file);
      ASSERT_TRUE(path) << (file->GetFileName() != nullptr ? file->GetFileName() : "(no name)");
      EXPECT_TRUE(Inside(*path)) << *path;
      EXPECT_LE(fs::path(*path).filename().string().size(), kKVMaxFileNameBytes);
      const int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
      EXPECT_GE(fd, 0) << *path << " is a name of its own";
      close(fd);
    }
  }
  size_t made = 0;
  for (const auto& entry : fs::recursive_directory_iterator(temp.path())) made += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(made, 2 * files.size());
  for (const auto& entry : fs::directory_iterator(temp.path())) EXPECT_EQ(entry.path().filename(), "Out");
}

}  // namespace
