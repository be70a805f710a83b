#include "archive/StdFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "ArchiveTestSupport.h"

namespace {

using namespace archivetest;
using testsupport::TempDir;

std::string Text(const fs::path& path) {
  const auto bytes = testsupport::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(StdFile, OpenModes) {
  TempDir dir;
  // Mode -> content after writing "XY" over "abcdef"; read-only refuses writes.
  const char* expected[] = {"abcdef", "XYcdef", "XYcdef", "XY", "XYcdef"};
  for (int mode = 0; mode <= 4; ++mode) {
    const auto path = dir / std::to_string(mode);
    CStdFile file;
    EXPECT_EQ(file.Open(path.c_str(), static_cast<CStdFile::OpenMode>(mode)), mode != 0) << mode;
    EXPECT_EQ(fs::exists(path), mode != 0);  // created only for writing
    testsupport::WriteFile(path, "abcdef");
    ASSERT_TRUE(file.Open(path.c_str(), static_cast<CStdFile::OpenMode>(mode)));
    EXPECT_EQ(file.Write("XY", 2), mode != 0 ? 1 : 0);
    file.Close();
    EXPECT_EQ(Text(path), expected[mode]);
    ASSERT_TRUE(file.Open(path.c_str(), CStdFile::OpenRead));
    EXPECT_FALSE(file.Open(path.c_str(), static_cast<CStdFile::OpenMode>(5)));  // refused, and closed
    EXPECT_FALSE(file.IsOpen());
  }
  CStdFile file;
  EXPECT_FALSE(file.Open(nullptr, CStdFile::OpenAlways));
  EXPECT_EQ(file.Read(nullptr, 0) + file.Write("x", 1) + file.GetPosition(), 0);
  EXPECT_EQ(file.GetLength(), -1);
}

TEST(StdFile, DescriptorZeroIsAnOpenFile) {
  TempDir dir;
  testsupport::WriteFile(dir / "a", "zero");
  const int saved = dup(0);
  close(0);
  CStdFile file;
  const bool opened = file.Open((dir / "a").c_str(), CStdFile::OpenRead);
  const bool gotZero = fcntl(0, F_GETFD) != -1;
  char text[5] = {};
  const int64_t n = file.Read(text, 4);
  file.Close();
  const bool closed = fcntl(0, F_GETFD) == -1;
  dup2(saved, 0);
  close(saved);
  EXPECT_TRUE(opened && gotZero && closed);
  EXPECT_EQ(n, 4);
  EXPECT_STREQ(text, "zero");
}

TEST(StdFile, OffsetsPastFourGibibytesAndPositions) {
  TempDir dir;
  const uint64_t far = (uint64_t{1} << 32) + 10;
  CStdFile file;
  ASSERT_TRUE(file.Open((dir / "a").c_str(), CStdFile::OpenCreate));
  ASSERT_EQ(file.Write("abc", 3) + file.WriteAt("WXYZ", 4, far), 2);
  EXPECT_EQ(file.GetPosition(), 3);  // explicit offsets leave the position alone
  EXPECT_EQ(file.Seek(far + 1), static_cast<int64_t>(far + 1));
  char text[8] = {};
  EXPECT_EQ(file.Read(text, 8), 3);  // short at the end of the file
  EXPECT_STREQ(text, "XYZ");
  EXPECT_EQ(Sh("od -An -c -j " + std::to_string(far) + " " + Q(dir / "a")), "   W   X   Y   Z\n");
  EXPECT_EQ(Sh("od -An -tx1 -j 10 -N 4 " + Q(dir / "a")), " 00 00 00 00\n");  // nothing at the 32-bit wrap
}

}  // namespace
