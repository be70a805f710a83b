#include "app/KVSafeFileName.h"

#include <gtest/gtest.h>

#include <string>

#include "base/TextConvert.h"

namespace {

using namespace std::string_literals;

bool ValidUtf8(const std::string& s) { return IsValidUtf8(s.data(), s.size()); }

TEST(SafeFileName, OrdinaryNamesAreKept) {
  for (const std::string name : {"a.jpg", "Résumé 2020.docx", "...", ".bashrc", "a..b", "-x", "with space ",
                                 "back\\slash", "日本語のファイル.txt"}) {
    EXPECT_EQ(KVSafeFileName(name), name);
  }
}

TEST(SafeFileName, NamesThatWouldLeaveTheFolderAreReplaced) {
  EXPECT_EQ(KVSafeFileName(".."), "__");
  EXPECT_EQ(KVSafeFileName("."), "_");
  EXPECT_EQ(KVSafeFileName(""), "_");
  EXPECT_EQ(KVSafeFileName("/"), "_");
  EXPECT_EQ(KVSafeFileName("../../etc/passwd"), ".._.._etc_passwd");
  EXPECT_EQ(KVSafeFileName("a/b"), "a_b");
  EXPECT_EQ(KVSafeFileName("a\0b"s), "a_b");
  EXPECT_EQ(KVSafeFileName("\0"s), "_");
}

TEST(SafeFileName, BrokenUtf8IsRepaired) {
  const std::string repaired = KVSafeFileName("caf\xE9.txt");  // Latin-1, not UTF-8
  EXPECT_TRUE(ValidUtf8(repaired));
  EXPECT_EQ(repaired, "caf\xEF\xBF\xBD.txt");
  EXPECT_TRUE(ValidUtf8(KVSafeFileName("\xC0\xAF")));  // an overlong "/"
  EXPECT_EQ(KVSafeFileName("\xC0\xAF").find('/'), std::string::npos);
  EXPECT_TRUE(ValidUtf8(KVSafeFileName("\xED\xA0\x80x")));  // a lone surrogate
}

TEST(SafeFileName, LongNamesAreCutKeepingTheExtension) {
  const std::string name = std::string(300, 'n') + ".jpeg";
  const std::string safe = KVSafeFileName(name);
  EXPECT_EQ(safe.size(), kKVMaxFileNameBytes);
  EXPECT_EQ(safe, std::string(250, 'n') + ".jpeg");
}

TEST(SafeFileName, LongNamesAreCutBetweenCharacters) {
  std::string name;
  for (int i = 0; i < 100; ++i) name += "\xE6\x97\xA5";  // 300 bytes of 3-byte characters
  const std::string safe = KVSafeFileName(name + ".txt");
  EXPECT_LE(safe.size(), kKVMaxFileNameBytes);
  EXPECT_TRUE(ValidUtf8(safe));
  EXPECT_EQ(safe.substr(safe.size() - 4), ".txt");
  EXPECT_EQ(safe.size(), 83u * 3u + 4u) << "the stem is cut to whole characters";
}

TEST(SafeFileName, AnOverlongExtensionIsNotKept) {
  const std::string name = "a." + std::string(300, 'e');
  const std::string safe = KVSafeFileName(name);
  EXPECT_EQ(safe, name.substr(0, kKVMaxFileNameBytes));
}

TEST(SafeFileName, TheExtensionIsAfterTheLastDot) {
  EXPECT_EQ(KVExtensionDot("a.tar.gz"), 5u);
  EXPECT_EQ(KVExtensionDot("noext"), std::string::npos);
  EXPECT_EQ(KVExtensionDot(".hidden"), std::string::npos);
  EXPECT_EQ(KVExtensionDot("trailing."), std::string::npos);
}

TEST(NumberedFileName, GoesBeforeTheExtension) {
  EXPECT_EQ(KVNumberedFileName("a.jpg", 1), "a_0001.jpg");
  EXPECT_EQ(KVNumberedFileName("a.jpg", 2), "a_0002.jpg");
  EXPECT_EQ(KVNumberedFileName("a.tar.gz", 3), "a.tar_0003.gz");
  EXPECT_EQ(KVNumberedFileName("a.jpg", 12345), "a_12345.jpg");
}

TEST(NumberedFileName, IsAppendedWithoutAnExtension) {
  EXPECT_EQ(KVNumberedFileName("README", 1), "README_0001");
  EXPECT_EQ(KVNumberedFileName(".bashrc", 1), ".bashrc_0001");
  EXPECT_EQ(KVNumberedFileName("x.", 1), "x._0001");
}

TEST(NumberedFileName, FoldersAreNumberedAtTheEnd) {
  EXPECT_EQ(KVNumberedFolderName("2019.05", 1), "2019.05_0001");
  EXPECT_EQ(KVNumberedFolderName(std::string(255, 'f'), 2), std::string(250, 'f') + "_0002");
}

TEST(NumberedFileName, StaysWithinTheNameLimit) {
  const std::string full = KVSafeFileName(std::string(300, 'n') + ".jpg");
  const std::string numbered = KVNumberedFileName(full, 1);
  EXPECT_EQ(numbered.size(), kKVMaxFileNameBytes);
  EXPECT_EQ(numbered.substr(numbered.size() - 9), "_0001.jpg");

  const std::string longExtension = "a." + std::string(253, 'e');
  EXPECT_EQ(KVNumberedFileName(longExtension, 7).size(), kKVMaxFileNameBytes);
  EXPECT_EQ(KVNumberedFileName(longExtension, 7).substr(kKVMaxFileNameBytes - 5), "_0007");
}

}  // namespace
