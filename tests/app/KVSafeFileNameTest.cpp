#include "app/KVSafeFileName.h"

#include <gtest/gtest.h>

#include <string>

#include "base/TextConvert.h"

namespace {

using namespace std::string_literals;

TEST(SafeFileName, NamesFromDiskBecomeOneSafeComponent) {
  const std::string n300(300, 'n'), e300(300, 'e');
  std::string wide;
  for (int i = 0; i < 100; ++i) wide += "\xE6\x97\xA5";  // 300 bytes of 3-byte characters
  const struct {
    std::string name, safe;
  } cases[] = {
      {"a.jpg", "a.jpg"}, {"Résumé 2020.docx", "Résumé 2020.docx"}, {"...", "..."}, {".bashrc", ".bashrc"},
      {"a..b", "a..b"}, {"-x", "-x"}, {"with space ", "with space "}, {"back\\slash", "back\\slash"},
      {"日本語のファイル.txt", "日本語のファイル.txt"}, {"..", "__"}, {".", "_"}, {"", "_"}, {"/", "_"},
      {"../../etc/passwd", ".._.._etc_passwd"}, {"a/b", "a_b"}, {"a\0b"s, "a_b"}, {"\0"s, "_"},
      {"caf\xE9.txt", "caf\xEF\xBF\xBD.txt"},  // Latin-1, not UTF-8
      {n300 + ".jpeg", std::string(250, 'n') + ".jpeg"},
      {wide + ".txt", wide.substr(0, 83 * 3) + ".txt"},  // cut to whole characters
      {"a." + e300, ("a." + e300).substr(0, 255)},       // an over-long extension is not kept
  };
  for (const auto& c : cases) EXPECT_EQ(KVSafeFileName(c.name), c.safe) << c.name;
  for (const char* broken : {"\xC0\xAF", "\xED\xA0\x80x"}) {  // an overlong "/", a lone surrogate
    const std::string safe = KVSafeFileName(broken);
    EXPECT_TRUE(IsValidUtf8(safe.data(), safe.size()));
    EXPECT_EQ(safe.find('/'), std::string::npos);
  }
}

TEST(SafeFileName, ClashNumbersGoBeforeTheExtensionWithinTheNameLimit) {
  const std::string full = KVSafeFileName(std::string(300, 'n') + ".jpg"), longExt = "a." + std::string(253, 'e');
  const struct {
    std::string name;
    int number;
    std::string numbered;
  } cases[] = {
      {"a.jpg", 1, "a_0001.jpg"},      {"a.jpg", 12345, "a_12345.jpg"},    {"a.tar.gz", 3, "a.tar_0003.gz"},
      {"README", 1, "README_0001"},    {".bashrc", 1, ".bashrc_0001"},     {"x.", 1, "x._0001"},
      {full, 1, std::string(246, 'n') + "_0001.jpg"}, {longExt, 7, longExt.substr(0, 250) + "_0007"},
  };
  for (const auto& c : cases) EXPECT_EQ(KVNumberedFileName(c.name, c.number), c.numbered) << c.name;
  EXPECT_EQ(KVNumberedFolderName("2019.05", 1), "2019.05_0001");
  EXPECT_EQ(KVNumberedFolderName(std::string(255, 'f'), 2), std::string(250, 'f') + "_0002");
}

}  // namespace
