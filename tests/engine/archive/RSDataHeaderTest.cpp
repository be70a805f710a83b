// The archive header: writing, checking, status and description.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ArchiveTestSupport.h"
#include "archive/RSData.h"

namespace {

using archivetest::Dump;
using archivetest::ErrorOf;
using archivetest::Hex;
using archivetest::Make;
using testsupport::ReadFile;
using testsupport::Sha256;
using testsupport::TempDir;

void WriteHeaderOnly(const std::filesystem::path& path, uint32_t status) {
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
  FILEHEADER header;
  header.status = status;
  ASSERT_EQ(data.WriteFileHeader(header), 1);
}

TEST(ArchiveHeader, DefaultHeaderCarriesOnlyTheSignature) {
  FILEHEADER header;
  EXPECT_EQ(Hex(header.signature), "eaf4b31c0543b64ab4b8244a33d913bb");
  EXPECT_EQ(header.status, 0u);
  EXPECT_EQ(header.descriptionLength, 0u);
}

TEST(ArchiveHeader, WrittenHeaderPassesTheIndependentCheck) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  WriteHeaderOnly(path, FileStatusNormal);
  EXPECT_EQ(Dump(path),
            "header sign_ok=1 version=5800 check_ok=1 status=1 desc_length=0 desc=\n"
            "end size=132\n");
  // Version and check value are the archive's own, whatever the caller put there.
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  FILEHEADER header;
  header.version = 1;
  header.checkValue = 0xDEADBEEF;
  header.status = 3;
  header.descriptionLength = 2;
  std::memcpy(header.description, "hi", 2);
  ASSERT_EQ(data.WriteFileHeader(header), 1);
  data.EndRS();
  EXPECT_EQ(Dump(path),
            "header sign_ok=1 version=5800 check_ok=1 status=3 desc_length=2 desc=6869\n"
            "end size=132\n");
}

TEST(ArchiveHeader, IndependentlyWrittenHeaderReadsBack) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  Make(path, "--status 2 --desc hello");
  const std::string before = Sha256(path);
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  EXPECT_EQ(data.CheckFile(), 1);
  FILEHEADER header;
  ASSERT_EQ(data.ReadFileHeader(header), 1);
  EXPECT_EQ(header.signature, _frSignPub);
  EXPECT_EQ(header.version, 5800u);
  EXPECT_EQ(header.status, 2u);
  EXPECT_EQ(header.descriptionLength, 5u);
  EXPECT_EQ(std::string(header.description, 5), "hello");
  EXPECT_EQ(data.GetStatus(), 2u);
  char text[32];
  EXPECT_EQ(data.GetFileDescription(text, sizeof text), 1);
  EXPECT_STREQ(text, "hello");
  data.EndRS();
  EXPECT_EQ(Sha256(path), before);
}

TEST(ArchiveHeader, AnyChangedByteInvalidatesIt) {
  TempDir dir;
  const auto good = dir / "good.rsf";
  Make(good, "--status 1");
  const auto original = ReadFile(good);
  ASSERT_EQ(original.size(), 132u);
  const auto path = dir / "changed.rsf";
  for (size_t i = 0; i < original.size(); ++i) {
    auto bytes = original;
    bytes[i] ^= 0x5A;
    testsupport::WriteFile(path, bytes.data(), bytes.size());
    CRSData data(RSModeRead);
    ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
    FILEHEADER header;
    EXPECT_EQ(data.ReadFileHeader(header), 0) << "byte " << i;
    EXPECT_EQ(data.GetStatus(), 0u) << "byte " << i;
  }
}

TEST(ArchiveHeader, VersionCheckValueAndLengthAreAllRequired) {
  TempDir dir;
  struct Case {
    const char* options;
    int check;  // CheckFile
    int read;   // ReadFileHeader
  } cases[] = {
      {"--status 1", 1, 1},
      {"--status 1 --version 5801", 1, 0},      // CheckFile looks at neither
      {"--status 1 --check 0", 1, 0},           //   version nor check value
      {"--status 1 --check-or 0x10000", 1, 0},  // the upper half must be 0
      {"--status 1 --cut 131", 0, 0},
      {"--status 1 --sign 00112233445566778899aabbccddeeff", 0, 1},  // signature: CheckFile only
  };
  for (const auto& c : cases) {
    const auto path = dir / "a.rsf";
    Make(path, c.options);
    CRSData data(RSModeRead);
    ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
    FILEHEADER header;
    EXPECT_EQ(data.CheckFile(), c.check) << c.options;
    EXPECT_EQ(data.ReadFileHeader(header), c.read) << c.options;
  }
}

TEST(ArchiveStatus, OnlyOneToFourAreValid) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  for (uint32_t status : {0u, 1u, 4u, 5u, 7u, 0xFFFFFFFFu}) {
    Make(path, "--status " + std::to_string(status));
    CRSData data(RSModeRead);
    ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
    const bool valid = status >= 1 && status <= 4;
    EXPECT_EQ(data.CheckFile(), valid ? 1 : 0) << status;
    FileStatus got = FileStatusNone;
    EXPECT_EQ(ErrorOf([&] { got = data.GetStatus(); }), status >= 5 ? RSErrorBadHeader : 0u) << status;
    EXPECT_EQ(got, valid ? status : 0u);
    // The object stays usable after the throw.
    FILEHEADER header;
    EXPECT_EQ(data.ReadFileHeader(header), 1);
  }
}

TEST(ArchiveStatus, SetStatusKeepsOrMakesTheHeader) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
  EXPECT_EQ(data.SetStatus(static_cast<FileStatus>(2)), 1);  // no header yet: a fresh one
  EXPECT_EQ(Dump(path),
            "header sign_ok=1 version=5800 check_ok=1 status=2 desc_length=0 desc=\n"
            "end size=132\n");
  EXPECT_EQ(data.SetFileDescription("kept"), 1);
  EXPECT_EQ(data.SetStatus(static_cast<FileStatus>(3)), 1);
  EXPECT_EQ(Dump(path),
            "header sign_ok=1 version=5800 check_ok=1 status=3 desc_length=4 desc=6b657074\n"
            "end size=132\n");
}

TEST(ArchiveDescription, LongTextIsCutToOneHundredBytes) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  std::string text;
  for (int i = 0; i < 150; ++i) text += static_cast<char>('A' + i % 26);
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
    FILEHEADER header;
    header.status = FileStatusNormal;
    ASSERT_EQ(data.WriteFileHeader(header), 1);
    EXPECT_EQ(data.SetFileDescription(text.c_str()), 1);
  }
  EXPECT_EQ(Dump(path), "header sign_ok=1 version=5800 check_ok=1 status=1 desc_length=100 desc=" +
                            Hex(text.data(), 100) + "\nend size=132\n");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  char small[10];
  std::memset(small, 'z', sizeof small);
  EXPECT_EQ(data.GetFileDescription(small, sizeof small), 1);
  EXPECT_EQ(std::string(small, 10), text.substr(0, 9) + '\0');
  char big[200];
  EXPECT_EQ(data.GetFileDescription(big, sizeof big), 1);
  EXPECT_EQ(std::string(big), text.substr(0, 100));
  char one[1] = {'z'};
  EXPECT_EQ(data.GetFileDescription(one, 1), 1);
  EXPECT_EQ(one[0], '\0');
}

TEST(ArchiveDescription, ShorterTextLeavesNoStaleBytes) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
  ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
  ASSERT_EQ(data.SetFileDescription(std::string(80, 'x').c_str()), 1);
  ASSERT_EQ(data.SetFileDescription("abc"), 1);
  data.EndRS();
  EXPECT_EQ(Dump(path), "header sign_ok=1 version=5800 check_ok=1 status=1 desc_length=3 desc=616263\nend size=132\n");
  const auto bytes = ReadFile(path);
  EXPECT_EQ(std::string(bytes.begin() + 35, bytes.end()), std::string(97, '\0'));
}

TEST(ArchiveDescription, NeedsAValidHeader) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
  EXPECT_EQ(data.SetFileDescription("nothing to put it in"), 0);
  EXPECT_EQ(archivetest::SizeOf(path), 0u);
  ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
  EXPECT_EQ(data.SetFileDescription(nullptr), 0);
}

TEST(ArchiveDescription, StoredLengthAboveOneHundredIsABadHeader) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  Make(path, "--desc abc --desc-length 101");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  char text[200] = "untouched";
  EXPECT_EQ(ErrorOf([&] { data.GetFileDescription(text, sizeof text); }), RSErrorBadHeader);
  EXPECT_STREQ(text, "untouched");
  Make(path, "--desc abc --check 0");  // invalid header: a plain 0
  EXPECT_EQ(data.GetFileDescription(text, sizeof text), 0);
}

TEST(ArchiveDescription, NoBufferIsAnsweredBeforeAnyCheck) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
  char text[4];
  EXPECT_EQ(data.GetFileDescription(nullptr, 4), 0);  // no wrong-mode error either
  EXPECT_EQ(data.GetFileDescription(text, 0), 0);
  EXPECT_EQ(data.GetFileDescription(text, -3), 0);
}

TEST(ArchiveModes, OperationsOfTheOtherModeAreRefused) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  Make(path, "--status 1 --frame 00112233445566778899aabbccddeeff:0102");
  const std::string before = Sha256(path);
  char buffer[8];
  {
    CRSData reader(RSModeRead);
    ASSERT_EQ(reader.StartRS(path.c_str(), 0), 1);
    FILEHEADER header;
    EXPECT_EQ(reader.WriteFileHeader(header), 0);
    EXPECT_EQ(ErrorOf([&] { reader.SetStatus(FileStatusNormal); }), RSErrorWrongMode);
    EXPECT_EQ(ErrorOf([&] { reader.SetFileDescription("x"); }), RSErrorWrongMode);
    EXPECT_EQ(ErrorOf([&] { reader.WriteCurFrame("x", 1); }), RSErrorWrongMode);
    EXPECT_EQ(reader.CheckFile(), 1);
  }
  EXPECT_EQ(Sha256(path), before);

  CRSData writer(RSModeWrite);
  ASSERT_EQ(writer.StartRS(path.c_str(), 0), 1);
  EXPECT_EQ(ErrorOf([&] { writer.GetStatus(); }), RSErrorWrongMode);
  EXPECT_EQ(ErrorOf([&] { writer.GetFileDescription(buffer, sizeof buffer); }), RSErrorWrongMode);
  EXPECT_EQ(ErrorOf([&] { writer.ReadCurFrame(buffer, 1); }), RSErrorWrongMode);
  EXPECT_EQ(writer.CheckFile(), 1);  // reading the header is fine in either mode
  FILEHEADER header;
  EXPECT_EQ(writer.ReadFileHeader(header), 1);
}

}  // namespace
