#include "archive/StdFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ArchiveTestSupport.h"

namespace {

using archivetest::FileSizeLimit;
using archivetest::Mode;
using archivetest::Quote;
using archivetest::SizeOf;
using testsupport::ReadFile;
using testsupport::RunCommandOrFail;
using testsupport::TempDir;

std::string Text(const std::filesystem::path& path) {
  const auto bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : old_(umask(mask)) {}
  ~UmaskScope() { umask(old_); }

 private:
  mode_t old_;
};

TEST(StdFileOpen, ReadOnlyModeNeitherCreatesNorWrites) {
  TempDir dir;
  CStdFile file;
  EXPECT_FALSE(file.Open((dir / "missing").c_str(), CStdFile::OpenRead));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));

  testsupport::WriteFile(dir / "a", "content");
  ASSERT_TRUE(file.Open((dir / "a").c_str(), CStdFile::OpenRead));
  EXPECT_EQ(file.GetPath(), (dir / "a").string());
  EXPECT_EQ(file.Write("x", 1), 0);
  char buffer[16] = {};
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "content");
  file.Close();
  EXPECT_EQ(Text(dir / "a"), "content");
}

TEST(StdFileOpen, WriteModesCreateKeepOrEmpty) {
  TempDir dir;
  for (auto mode : {CStdFile::OpenReadWrite, CStdFile::OpenReadWrite2, CStdFile::OpenAlways}) {
    const auto path = dir / ("keep" + std::to_string(mode));
    CStdFile file;
    ASSERT_TRUE(file.Open(path.c_str(), mode)) << mode;  // created
    EXPECT_EQ(file.Write("abcdef", 6), 1);
    ASSERT_TRUE(file.Open(path.c_str(), mode));  // reopened: content kept, position 0
    EXPECT_EQ(file.Write("XY", 2), 1);
    file.Close();
    EXPECT_EQ(Text(path), "XYcdef") << mode;
  }
  const auto path = dir / "empty";
  testsupport::WriteFile(path, "old content");
  CStdFile file;
  ASSERT_TRUE(file.Open(path.c_str(), CStdFile::OpenCreate));
  EXPECT_EQ(file.GetLength(), 0);
  EXPECT_EQ(file.Write("new", 3), 1);
  file.Close();
  EXPECT_EQ(Text(path), "new");
}

TEST(StdFileOpen, RefusedModeOrPathLeavesTheFileClosed) {
  TempDir dir;
  testsupport::WriteFile(dir / "a", "x");
  CStdFile file;
  ASSERT_TRUE(file.Open((dir / "a").c_str(), CStdFile::OpenRead));
  EXPECT_FALSE(file.Open((dir / "a").c_str(), static_cast<CStdFile::OpenMode>(5)));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.Open((dir / "b").c_str(), static_cast<CStdFile::OpenMode>(-1)));
  EXPECT_FALSE(std::filesystem::exists(dir / "b"));
  EXPECT_FALSE(file.Open(nullptr, CStdFile::OpenAlways));
  EXPECT_FALSE(file.Open((dir / "no-such-folder" / "c").c_str(), CStdFile::OpenAlways));
  EXPECT_FALSE(file.IsOpen());
}

TEST(StdFilePermissions, NewFilesFollowTheUmask) {
  TempDir dir;
  const std::pair<mode_t, const char*> cases[] = {{022, "644"}, {077, "600"}, {0, "666"}, {027, "640"}};
  int i = 0;
  for (const auto& [mask, expected] : cases) {
    const auto path = dir / ("f" + std::to_string(i++));
    {
      UmaskScope scope(mask);
      CStdFile file;
      ASSERT_TRUE(file.Open(path.c_str(), CStdFile::OpenCreate));
    }
    EXPECT_EQ(Mode(path), expected);
  }
}

TEST(StdFilePermissions, OpeningNeverChangesAnExistingFilesMode) {
  TempDir dir;
  const auto path = dir / "private";
  testsupport::WriteFile(path, "secret");
  RunCommandOrFail("chmod 600 " + Quote(path));
  UmaskScope scope(0);
  for (int mode = CStdFile::OpenRead; mode <= CStdFile::OpenAlways; ++mode) {
    CStdFile file;
    ASSERT_TRUE(file.Open(path.c_str(), static_cast<CStdFile::OpenMode>(mode)));
    file.Close();
    EXPECT_EQ(Mode(path), "600") << mode;
  }
}

TEST(StdFileDescriptor, DescriptorZeroIsAnOpenFile) {
  TempDir dir;
  testsupport::WriteFile(dir / "a", "zero");
  const int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  bool opened = false, gotZero = false, closedAfter = false;
  char buffer[8] = {};
  int64_t read = -2;
  {
    CStdFile file;
    opened = file.Open((dir / "a").c_str(), CStdFile::OpenRead);
    gotZero = fcntl(0, F_GETFD) != -1;  // the lowest free descriptor is 0
    read = file.Read(buffer, 4);
    file.Close();
    closedAfter = fcntl(0, F_GETFD) == -1;
  }
  dup2(saved, 0);
  close(saved);
  EXPECT_TRUE(opened);
  EXPECT_TRUE(gotZero);
  EXPECT_EQ(read, 4);
  EXPECT_STREQ(buffer, "zero");
  EXPECT_TRUE(closedAfter);
}

TEST(StdFileIo, PositionsMoveOnlyWithPlainReadsAndWrites) {
  TempDir dir;
  CStdFile file;
  ASSERT_TRUE(file.Open((dir / "a").c_str(), CStdFile::OpenCreate));
  EXPECT_EQ(file.Write("0123456789", 10), 1);
  EXPECT_EQ(file.GetPosition(), 10);
  EXPECT_EQ(file.WriteAt("AB", 2, 4), 1);
  EXPECT_EQ(file.GetPosition(), 10);
  EXPECT_EQ(file.SeekToBegin(), 0);
  char buffer[20] = {};
  EXPECT_EQ(file.Read(buffer, 20), 10);  // short at the end of the file
  EXPECT_STREQ(buffer, "0123AB6789");
  EXPECT_EQ(file.Read(buffer, 20), 0);
  EXPECT_EQ(file.Seek(3), 3);
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(file.ReadAt(buffer, 3, 7), 3);
  EXPECT_STREQ(buffer, "789");
  EXPECT_EQ(file.GetPosition(), 3);
  EXPECT_EQ(file.ReadAt(buffer, 3, 100), 0);
  EXPECT_EQ(file.SeekToEnd(), 10);
  EXPECT_EQ(file.GetLength(), 10);
  EXPECT_EQ(file.Write("", 0), 1);
}

TEST(StdFileIo, ClosedFileAnswersNothing) {
  CStdFile file;
  char buffer[4];
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Read(buffer, 4), 0);
  EXPECT_EQ(file.ReadAt(buffer, 4, 0), 0);
  EXPECT_EQ(file.Write("x", 1), 0);
  EXPECT_EQ(file.WriteAt("x", 1, 0), 0);
  EXPECT_EQ(file.GetPosition(), 0);
  EXPECT_EQ(file.Seek(1), -1);
  EXPECT_EQ(file.SeekToBegin(), -1);
  EXPECT_EQ(file.SeekToEnd(), -1);
  EXPECT_EQ(file.GetLength(), -1);
  EXPECT_FALSE(file.SetLength(0));
  file.Close();  // harmless twice
}

TEST(StdFileIo, OffsetsPastFourGibibytesAreExact) {
  TempDir dir;
  const auto path = dir / "sparse";
  const uint64_t offset = (uint64_t{1} << 32) + 10;
  CStdFile file;
  ASSERT_TRUE(file.Open(path.c_str(), CStdFile::OpenCreate));
  ASSERT_EQ(file.WriteAt("WXYZ", 4, offset), 1);
  EXPECT_EQ(file.GetLength(), static_cast<int64_t>(offset + 4));
  EXPECT_EQ(file.Seek(offset + 1), static_cast<int64_t>(offset + 1));
  char buffer[4] = {};
  EXPECT_EQ(file.Read(buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "XYZ");
  file.Close();
  EXPECT_EQ(SizeOf(path), offset + 4);
  EXPECT_EQ(RunCommandOrFail("od -An -c -j " + std::to_string(offset) + " -N 4 " + Quote(path)), "   W   X   Y   Z\n");
  // Nothing landed at the 32-bit wrap of the offset.
  EXPECT_EQ(RunCommandOrFail("od -An -tx1 -j 10 -N 4 " + Quote(path)), " 00 00 00 00\n");
}

TEST(StdFileIo, SetLengthCutsAndExtends) {
  TempDir dir;
  CStdFile file;
  ASSERT_TRUE(file.Open((dir / "a").c_str(), CStdFile::OpenCreate));
  EXPECT_EQ(file.Write("abcdef", 6), 1);
  EXPECT_TRUE(file.SetLength(2));
  EXPECT_EQ(file.GetLength(), 2);
  EXPECT_TRUE(file.SetLength(8));
  file.Close();
  EXPECT_EQ(Text(dir / "a"), std::string("ab\0\0\0\0\0\0", 8));
}

TEST(StdFileIo, WriteCutShortIsAFailure) {
  TempDir dir;
  const auto path = dir / "capped";
  const std::string data(3000, 'q');
  int whole = -1, cut = -1, past = -1;
  {
    CStdFile file;
    ASSERT_TRUE(file.Open(path.c_str(), CStdFile::OpenCreate));
    FileSizeLimit limit(4096);
    ASSERT_TRUE(limit.ok());
    whole = file.Write(data.data(), data.size());  // 3000 of 4096
    cut = file.Write(data.data(), data.size());    // only 1096 fit
    past = file.WriteAt("x", 1, 5000);
  }
  EXPECT_EQ(whole, 1);
  EXPECT_EQ(cut, 0);
  EXPECT_EQ(past, 0);
  EXPECT_EQ(SizeOf(path), 4096u);
}

}  // namespace
