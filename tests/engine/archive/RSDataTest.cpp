// Archives written and read back, checked against the independent tool.
#include "archive/RSData.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ArchiveTestSupport.h"

namespace {

using namespace archivetest;
using testsupport::TempDir;

const std::string kHeader = "header sign_ok=1 version=5800 check_ok=1 status=1 desc_length=0 desc=\n";

std::string Frame(uint64_t offset, const tagGUIDSIGN& id, const Bytes& payload) {
  return "frame offset=" + std::to_string(offset) + " sign_ok=1 id=" + Hex(id) +
         " length=" + std::to_string(payload.size()) + " present=" + std::to_string(payload.size()) +
         " payload=" + Hex(payload) + "\n";
}

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The scan-result writer's order: header with status 1, then whole frames.
void Write(const fs::path& path, const std::vector<std::pair<tagGUIDSIGN, Bytes>>& frames) {
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
  ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
  for (const auto& [id, payload] : frames) {
    ASSERT_EQ(data.OpenFrame(id), 1);
    ASSERT_EQ(data.WriteCurFrame(payload.data(), static_cast<unsigned>(payload.size())), 1);
    ASSERT_EQ(data.CloseFrame(), 1);
  }
}

Bytes ReadFrame(CRSData& data, const tagGUIDSIGN& id, unsigned step) {
  EXPECT_EQ(data.OpenFrame(id), 1);
  Bytes out(data.GetFrameSize());
  for (size_t at = 0; at < out.size(); at += step) {
    EXPECT_EQ(data.ReadCurFrame(out.data() + at, static_cast<unsigned>(std::min<size_t>(step, out.size() - at))), 1);
  }
  return out;
}

TEST(ArchiveHeader, WrittenHeaderPassesTheIndependentCheck) {
  TempDir dir;
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS((dir / "a").c_str(), 1), 1);
  FILEHEADER header;  // version and check value are the archive's own
  header.version = 1, header.checkValue = 0xDEADBEEF, header.status = 3, header.descriptionLength = 2;
  std::memcpy(header.description, "hi", 2);
  ASSERT_EQ(data.WriteFileHeader(header), 1);
  EXPECT_EQ(Dump(dir / "a"),
            "header sign_ok=1 version=5800 check_ok=1 status=3 desc_length=2 desc=6869\nend size=132\n");
  EXPECT_EQ(data.SetStatus(static_cast<FileStatus>(2)), 1);  // keeps the description
  EXPECT_EQ(Dump(dir / "a"),
            "header sign_ok=1 version=5800 check_ok=1 status=2 desc_length=2 desc=6869\nend size=132\n");
  ASSERT_EQ(data.StartRS((dir / "b").c_str(), 1), 1);
  EXPECT_EQ(data.SetFileDescription("needs a header"), 0);
  EXPECT_EQ(fs::file_size(dir / "b"), 0u);
  EXPECT_EQ(data.SetStatus(FileStatusNormal), 1);  // makes a fresh one
  EXPECT_EQ(Dump(dir / "b"), kHeader + "end size=132\n");
}

TEST(ArchiveHeader, IndependentHeaderReadsBackAndAnyChangedByteSpoilsIt) {
  TempDir dir;
  Make(dir / "a", "--status 2 --desc hello");
  const std::string sha = testsupport::Sha256(dir / "a");
  const auto original = testsupport::ReadFile(dir / "a");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
  FILEHEADER header;
  ASSERT_EQ(data.ReadFileHeader(header), 1);
  EXPECT_TRUE(header.signature == _frSignPub && header.version == 5800 && header.status == 2);
  EXPECT_EQ(std::string(header.description, header.descriptionLength), "hello");
  EXPECT_EQ(data.GetStatus(), 2u);
  EXPECT_EQ(testsupport::Sha256(dir / "a"), sha);
  for (size_t i = 0; i < original.size(); ++i) {
    auto bytes = original;
    bytes[i] ^= 0x5A;
    testsupport::WriteFile(dir / "a", bytes.data(), bytes.size());
    EXPECT_EQ(data.ReadFileHeader(header), 0) << i;
    EXPECT_EQ(data.GetStatus(), 0u) << i;
  }
}

TEST(ArchiveHeader, WhatEachCheckLooksAt) {
  TempDir dir;
  const struct {
    const char* options;
    int checkFile, readHeader;
    uint32_t status, error;  // GetStatus
  } cases[] = {
      {"--status 4", 1, 1, 4, 0},
      {"--status 0", 0, 1, 0, 0},
      {"--status 5", 0, 1, 0, RSErrorBadHeader},
      {"--status 7", 0, 1, 0, RSErrorBadHeader},
      {"--version 5801", 1, 0, 0, 0},  // CheckFile looks at neither version
      {"--check 0", 1, 0, 0, 0},       // nor check value,
      {"--check-or 0x10000", 1, 0, 0, 0},
      {"--sign 00112233445566778899aabbccddeeff", 0, 1, 1, 0},  // ReadFileHeader not at the signature
      {"--cut 131", 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    Make(dir / "a", c.options);
    CRSData data(RSModeRead);
    ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
    FILEHEADER header;
    EXPECT_EQ(data.CheckFile(), c.checkFile) << c.options;
    EXPECT_EQ(data.ReadFileHeader(header), c.readHeader) << c.options;
    uint32_t status = 99;
    EXPECT_EQ(ErrorOf([&] { status = data.GetStatus(); }), c.error) << c.options;
    EXPECT_EQ(status, c.error ? 99u : c.status) << c.options;  // nothing returned after a throw
  }
}

TEST(ArchiveHeader, DescriptionIsCutToOneHundredBytes) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 150; ++i) text += static_cast<char>('A' + i % 26);
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS((dir / "a").c_str(), 1), 1);
    ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
    EXPECT_EQ(data.SetFileDescription(text.c_str()), 1);
  }
  EXPECT_EQ(Dump(dir / "a"), "header sign_ok=1 version=5800 check_ok=1 status=1 desc_length=100 desc=" +
                                 Hex(text.data(), 100) + "\nend size=132\n");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
  char small[10], big[200];
  EXPECT_EQ(data.GetFileDescription(small, 10), 1);
  EXPECT_EQ(std::string(small, 10), text.substr(0, 9) + '\0');
  EXPECT_EQ(data.GetFileDescription(big, 200), 1);
  EXPECT_EQ(big, text.substr(0, 100));
  EXPECT_EQ(data.GetFileDescription(nullptr, 10) + data.GetFileDescription(big, 0), 0);
  Make(dir / "a", "--desc abc --desc-length 101");
  EXPECT_EQ(ErrorOf([&] { data.GetFileDescription(big, 200); }), RSErrorBadHeader);
  Make(dir / "a", "--desc abc --check 0");
  EXPECT_EQ(data.GetFileDescription(big, 200), 0);
}

TEST(ArchiveModes, OperationsOfTheOtherModeAreRefused) {
  TempDir dir;
  Write(dir / "a", {{Id(1), B("x")}});
  const std::string sha = testsupport::Sha256(dir / "a");
  char buffer[8];
  CRSData reader(RSModeRead);
  ASSERT_EQ(reader.StartRS((dir / "a").c_str(), 0), 1);
  EXPECT_EQ(reader.WriteFileHeader(FILEHEADER()), 0);
  EXPECT_EQ(ErrorOf([&] { reader.SetStatus(FileStatusNormal); }), RSErrorWrongMode);
  EXPECT_EQ(ErrorOf([&] { reader.SetFileDescription("x"); }), RSErrorWrongMode);
  EXPECT_EQ(ErrorOf([&] { reader.WriteCurFrame("x", 1); }), RSErrorWrongMode);
  reader.EndRS();
  EXPECT_EQ(testsupport::Sha256(dir / "a"), sha);
  CRSData writer(RSModeWrite);
  ASSERT_EQ(writer.StartRS((dir / "a").c_str(), 0), 1);
  EXPECT_EQ(ErrorOf([&] { writer.GetStatus(); }), RSErrorWrongMode);
  EXPECT_EQ(ErrorOf([&] { writer.GetFileDescription(buffer, 8); }), RSErrorWrongMode);
  EXPECT_EQ(ErrorOf([&] { writer.ReadCurFrame(buffer, 1); }), RSErrorWrongMode);
  EXPECT_EQ(ErrorOf([&] { writer.WriteCurFrame("x", 1); }), RSErrorNoFrame);
  EXPECT_EQ(ErrorOf([&] { writer.GetFrameSize(); }), RSErrorNoFrame);
  EXPECT_EQ(writer.CheckFile(), 1);
}

TEST(ArchiveFrames, WrittenFramesMatchTheIndependentReader) {
  TempDir dir;
  const Bytes ten = Pattern(10, 1), twenty = Pattern(20, 2);
  Write(dir / "a", {{Id(1), ten}, {Id(2), twenty}, {Id(1), B("second")}, {Id(3), {}}});
  EXPECT_EQ(Dump(dir / "a"), kHeader + Frame(132, Id(1), ten) + Frame(178, Id(2), twenty) +
                                 Frame(234, Id(1), B("second")) + Frame(276, Id(3), {}) + "end size=312\n");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
  EXPECT_EQ(ReadFrame(data, Id(2), 3), twenty);
  EXPECT_EQ(ReadFrame(data, Id(1), 1), ten);  // the first of two wins
  EXPECT_EQ(ReadFrame(data, Id(3), 1), Bytes());
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(4)); }), RSErrorFrameNotFound);
  char c;
  EXPECT_EQ(ErrorOf([&] { data.ReadCurFrame(&c, 1); }), RSErrorNoFrame);
  EXPECT_EQ(ReadFrame(data, Id(2), 64), twenty);  // usable after the throws
}

TEST(ArchiveFrames, IndependentFramesAreFoundAndReadPastTheirEnd) {
  TempDir dir;
  const Bytes sixty = Pattern(60, 3);
  // The first frame has the wanted identifier but a foreign signature.
  Make(dir / "a", "--frame " + Hex(Id(7)) + ":aabb::00112233445566778899aabbccddeeff --frame " + Hex(Id(7)) + ":" +
                      Hex(sixty) + " --frame " + Hex(Id(8)) + ":0102");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(7)), 1);
  Bytes buffer(100, 0xCC), expected = sixty;
  expected.resize(100, 0xCC);  // the rest is untouched
  EXPECT_EQ(data.ReadCurFrame(buffer.data(), 100), 1);
  EXPECT_EQ(buffer, expected);
  EXPECT_EQ(data.ReadCurFrame(buffer.data(), 100), 1);  // nothing left: still 1
}

TEST(ArchiveFrames, LargePayloadsInAnyPieces) {
  TempDir dir;
  const Bytes big = Pattern(3 * CRSData::kBufferSize / 2 + 12345, 5);
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS((dir / "a").c_str(), 1), 1);
    ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    const size_t pieces[] = {1, 7, 4096, CRSData::kBufferSize - 3, 2, CRSData::kBufferSize};
    for (size_t at = 0, i = 0; at < big.size(); at += pieces[i++ % 6]) {
      const size_t n = std::min(pieces[i % 6], big.size() - at);
      ASSERT_EQ(data.WriteCurFrame(big.data() + at, static_cast<unsigned>(n)), 1);
    }
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    ASSERT_EQ(data.WriteCurFrame("end", 3), 1);
  }  // EndRS by the destructor finishes the open frame
  testsupport::WriteFile(dir / "big", big.data(), big.size());
  EXPECT_EQ(Dump(dir / "a"), kHeader + "frame offset=132 sign_ok=1 id=" + Hex(Id(1)) +
                                 " length=" + std::to_string(big.size()) + " present=" + std::to_string(big.size()) +
                                 " payload=sha256:" + testsupport::Sha256(dir / "big") + "\n" +
                                 Frame(168 + big.size(), Id(2), B("end")) +
                                 "end size=" + std::to_string(168 + big.size() + 39) + "\n");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
  for (unsigned step : {1u, 65536u, static_cast<unsigned>(CRSData::kBufferSize) + 1}) {
    EXPECT_EQ(ReadFrame(data, Id(1), step), big) << step;
  }
}

TEST(ArchiveFrames, HeaderCallsBetweenPayloadCallsDoNotDisturbIt) {
  TempDir dir;
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS((dir / "a").c_str(), 1), 1);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);  // before the header: the frame still goes after it
    ASSERT_EQ(data.WriteCurFrame("hello", 5), 1);
    ASSERT_EQ(data.FlushBuffer(), 1);
    ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
    ASSERT_EQ(data.WriteCurFrame(" world", 6), 1);
    ASSERT_EQ(data.CloseFrame(), 1);
  }
  EXPECT_EQ(Dump(dir / "a"), kHeader + Frame(132, Id(1), B("hello world")) + "end size=179\n");
  {
    CRSData data(RSModeWrite);  // without create: appended
    ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    ASSERT_EQ(data.WriteCurFrame("two", 3), 1);
    EXPECT_EQ(data.EndRS(), 1);
  }
  EXPECT_EQ(Dump(dir / "a"),
            kHeader + Frame(132, Id(1), B("hello world")) + Frame(179, Id(2), B("two")) + "end size=218\n");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  char text[12] = {};
  ASSERT_EQ(data.ReadCurFrame(text, 5), 1);
  EXPECT_EQ(data.GetStatus(), FileStatusNormal);
  EXPECT_EQ(data.CheckFile(), 1);
  ASSERT_EQ(data.ReadCurFrame(text + 5, 6), 1);
  EXPECT_STREQ(text, "hello world");
}

TEST(ArchiveOpen, UnopenablePathsAndPermissions) {
  TempDir dir;
  CRSData reader(RSModeRead), writer(RSModeWrite);
  EXPECT_EQ(reader.StartRS(nullptr, 0) + reader.StartRS("", 0), 0);
  EXPECT_EQ(reader.StartRS((dir / "missing").c_str(), 0), 0);
  EXPECT_FALSE(fs::exists(dir / "missing"));
  EXPECT_EQ(reader.CheckFile(), 0);
  EXPECT_EQ(ErrorOf([&] { reader.OpenFrame(Id(1)); }), RSErrorFrameNotFound);
  EXPECT_EQ(writer.StartRS((dir / "no" / "a").c_str(), 1), 0);
  EXPECT_EQ(writer.SetStatus(FileStatusNormal), 0);
  EXPECT_EQ(ErrorOf([&] { writer.OpenFrame(Id(1)); }), RSErrorWriteFailed);

  const mode_t old = umask(022);
  Write(dir / "a", {{Id(1), B("x")}});
  EXPECT_EQ(Sh("stat -c %a " + Q(dir / "a")), "644\n");
  Sh("chmod 600 " + Q(dir / "a"));
  umask(0);
  EXPECT_EQ(writer.StartRS((dir / "a").c_str(), 1) + reader.StartRS((dir / "a").c_str(), 0), 2);
  umask(old);
  EXPECT_EQ(Sh("stat -c %a " + Q(dir / "a")), "600\n");  // never chmod'ed
}

}  // namespace
