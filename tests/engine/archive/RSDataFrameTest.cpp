// Frames: writing, finding, reading, and files whose frame lengths lie.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ArchiveTestSupport.h"
#include "archive/RSData.h"

namespace {

using archivetest::Dump;
using archivetest::ErrorOf;
using archivetest::Hex;
using archivetest::Id;
using archivetest::Make;
using archivetest::Pattern;
using archivetest::Sha256Of;
using testsupport::Sha256;
using testsupport::TempDir;

using Bytes = std::vector<uint8_t>;

Bytes Of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Writes a header with status 1 and the given frames, the way the scan-result
// writer does.
void WriteArchive(const std::filesystem::path& path, const std::vector<std::pair<tagGUIDSIGN, Bytes>>& frames) {
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
  FILEHEADER header;
  header.status = FileStatusNormal;
  ASSERT_EQ(data.WriteFileHeader(header), 1);
  for (const auto& [id, payload] : frames) {
    ASSERT_EQ(data.OpenFrame(id), 1);
    ASSERT_EQ(data.WriteCurFrame(payload.data(), static_cast<unsigned>(payload.size())), 1);
    ASSERT_EQ(data.CloseFrame(), 1);
  }
  ASSERT_EQ(data.EndRS(), 1);
}

std::string FrameLine(const TempDir& dir, uint64_t offset, const tagGUIDSIGN& id, const Bytes& payload) {
  return "frame offset=" + std::to_string(offset) + " sign_ok=1 id=" + Hex(id) +
         " length=" + std::to_string(payload.size()) + " present=" + std::to_string(payload.size()) +
         " payload_sha256=" + Sha256Of(dir, payload) + "\n";
}

const char* kHeaderLine = "header sign_ok=1 version=5800 check_ok=1 status=1 desc_length=0 desc=\n";

// Reads the whole open frame in steps of `step` bytes.
Bytes ReadAll(CRSData& data, unsigned step) {
  Bytes out(data.GetFrameSize());
  for (size_t at = 0; at < out.size(); at += step) {
    const unsigned n = static_cast<unsigned>(std::min<size_t>(step, out.size() - at));
    EXPECT_EQ(data.ReadCurFrame(out.data() + at, n), 1);
  }
  return out;
}

TEST(ArchiveFrames, TwoFramesMakeTheExpectedFile) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  const Bytes ten = Pattern(10, 1), twenty = Pattern(20, 2);
  WriteArchive(path, {{Id(1), ten}, {Id(2), twenty}});
  EXPECT_EQ(archivetest::SizeOf(path), 234u);
  EXPECT_EQ(Dump(path),
            kHeaderLine + FrameLine(dir, 132, Id(1), ten) + FrameLine(dir, 178, Id(2), twenty) + "end size=234\n");

  const std::string before = Sha256(path);
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  FILEHEADER header;
  ASSERT_EQ(data.ReadFileHeader(header), 1);
  ASSERT_EQ(data.GetStatus(), FileStatusNormal);
  ASSERT_EQ(data.OpenFrame(Id(2)), 1);  // any order
  EXPECT_EQ(data.GetFrameSize(), 20u);
  EXPECT_EQ(ReadAll(data, 3), twenty);
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  EXPECT_EQ(ReadAll(data, 10), ten);
  EXPECT_EQ(data.CloseFrame(), 1);
  data.EndRS();
  EXPECT_EQ(Sha256(path), before);
}

TEST(ArchiveFrames, IndependentlyWrittenFramesAreFound) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  // A frame with the wanted identifier but a foreign signature is passed over.
  Make(path, "--frame " + Hex(Id(7)) + ":aabb:2:00112233445566778899aabbccddeeff" +  //
                 " --frame " + Hex(Id(8)) + ":" + std::string(600, '5') +            //
                 " --frame " + Hex(Id(7)) + ":0102030405");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(7)), 1);
  EXPECT_EQ(ReadAll(data, 2), (Bytes{1, 2, 3, 4, 5}));
  ASSERT_EQ(data.OpenFrame(Id(8)), 1);
  EXPECT_EQ(ReadAll(data, 7), Bytes(300, 0x55));
}

TEST(ArchiveFrames, TheFirstOfTwoFramesWithOneIdentifierWins) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  WriteArchive(path, {{Id(1), Of("first")}, {Id(2), Of("other")}, {Id(1), Of("second")}});
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    EXPECT_EQ(ReadAll(data, 64), Of("first"));
  }
}

TEST(ArchiveFrames, MissingFrameLeavesNoFrameOpen) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  WriteArchive(path, {{Id(1), Of("payload")}});
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  char buffer[8];
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(3)); }), RSErrorFrameNotFound);
  EXPECT_EQ(ErrorOf([&] { data.ReadCurFrame(buffer, 1); }), RSErrorNoFrame);
  EXPECT_EQ(ErrorOf([&] { data.GetFrameSize(); }), RSErrorNoFrame);
  // Still usable after the throws.
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  EXPECT_EQ(ReadAll(data, 64), Of("payload"));
}

TEST(ArchiveFrames, ReadingPastTheEndOfAFrameIsNoError) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  const Bytes sixty = Pattern(60, 3);
  WriteArchive(path, {{Id(1), sixty}, {Id(2), Pattern(40, 4)}});
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  Bytes buffer(100, 0xCC);
  EXPECT_EQ(data.ReadCurFrame(buffer.data(), 100), 1);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 60), sixty);
  EXPECT_EQ(Bytes(buffer.begin() + 60, buffer.end()), Bytes(40, 0xCC));  // the next frame is not read
  Bytes again(100, 0xCC);
  EXPECT_EQ(data.ReadCurFrame(again.data(), 100), 1);
  EXPECT_EQ(again, Bytes(100, 0xCC));
  EXPECT_EQ(data.ReadCurFrame(nullptr, 0), 1);
}

TEST(ArchiveFrames, EmptyFramesAndEmptyWrites) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
    ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    EXPECT_EQ(data.WriteCurFrame(nullptr, 0), 1);
    EXPECT_EQ(data.WriteCurFrame(nullptr, 5), 0);
    EXPECT_EQ(data.GetFrameSize(), 0u);
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);  // closes the first
    ASSERT_EQ(data.WriteCurFrame("z", 1), 1);
    ASSERT_EQ(data.CloseFrame(), 1);
    EXPECT_EQ(data.CloseFrame(), 1);  // nothing open: nothing to do
  }
  EXPECT_EQ(Dump(path),
            kHeaderLine + FrameLine(dir, 132, Id(1), {}) + FrameLine(dir, 168, Id(2), Of("z")) + "end size=205\n");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  EXPECT_EQ(data.GetFrameSize(), 0u);
  char c = 'q';
  EXPECT_EQ(data.ReadCurFrame(&c, 1), 1);
  EXPECT_EQ(c, 'q');
}

TEST(ArchiveFrames, PayloadCallsNeedAnOpenFrame) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
  EXPECT_EQ(ErrorOf([&] { data.WriteCurFrame("x", 1); }), RSErrorNoFrame);
  EXPECT_EQ(ErrorOf([&] { data.GetFrameSize(); }), RSErrorNoFrame);
  EXPECT_EQ(data.FlushBuffer(), 1);
  EXPECT_EQ(archivetest::SizeOf(path), 0u);
}

TEST(ArchiveFrames, LargePayloadsRoundTripInAnyPieces) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  const Bytes big = Pattern(3 * CRSData::kBufferSize / 2 + 12345, 5);
  const Bytes after = Pattern(1000, 6);
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
    ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    const size_t pieces[] = {1, 7, 4096, CRSData::kBufferSize - 3, 2, CRSData::kBufferSize, 100};
    size_t at = 0;
    for (int i = 0; at < big.size(); ++i) {
      const size_t n = std::min(pieces[i % 7], big.size() - at);
      ASSERT_EQ(data.WriteCurFrame(big.data() + at, static_cast<unsigned>(n)), 1);
      at += n;
      ASSERT_EQ(data.GetFrameSize(), at);
    }
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    ASSERT_EQ(data.WriteCurFrame(after.data(), static_cast<unsigned>(after.size())), 1);
  }  // the last frame is finished by the destructor
  EXPECT_EQ(Dump(path), kHeaderLine + FrameLine(dir, 132, Id(1), big) + FrameLine(dir, 168 + big.size(), Id(2), after) +
                            "end size=" + std::to_string(168 + big.size() + 36 + after.size()) + "\n");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  for (unsigned step : {1u, 13u, 65536u, static_cast<unsigned>(CRSData::kBufferSize) + 1}) {
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    EXPECT_EQ(ReadAll(data, step), big) << step;
  }
}

TEST(ArchiveFrames, HeaderCallsBetweenPayloadCallsLeaveThePayloadWhole) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
    ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    ASSERT_EQ(data.WriteCurFrame("hello", 5), 1);
    ASSERT_EQ(data.FlushBuffer(), 1);
    ASSERT_EQ(data.SetStatus(static_cast<FileStatus>(2)), 1);
    ASSERT_EQ(data.SetFileDescription("d"), 1);
    FILEHEADER header;
    ASSERT_EQ(data.ReadFileHeader(header), 1);
    ASSERT_EQ(data.WriteCurFrame(" world", 6), 1);
    ASSERT_EQ(data.CloseFrame(), 1);
  }
  EXPECT_EQ(Dump(path), "header sign_ok=1 version=5800 check_ok=1 status=2 desc_length=1 desc=64\n" +
                            FrameLine(dir, 132, Id(1), Of("hello world")) + "end size=179\n");
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  char first[5], rest[6];
  ASSERT_EQ(data.ReadCurFrame(first, 5), 1);
  char text[8];
  EXPECT_EQ(data.GetStatus(), 2u);
  EXPECT_EQ(data.GetFileDescription(text, sizeof text), 1);
  EXPECT_EQ(data.CheckFile(), 1);
  ASSERT_EQ(data.ReadCurFrame(rest, 6), 1);
  EXPECT_EQ(std::string(first, 5) + std::string(rest, 6), "hello world");
}

TEST(ArchiveFrames, WriteModeWithoutCreateAppends) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  WriteArchive(path, {{Id(1), Of("one")}});
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    ASSERT_EQ(data.WriteCurFrame("two", 3), 1);
    ASSERT_EQ(data.EndRS(), 1);  // finishes the frame
  }
  EXPECT_EQ(Dump(path), kHeaderLine + FrameLine(dir, 132, Id(1), Of("one")) + FrameLine(dir, 171, Id(2), Of("two")) +
                            "end size=210\n");
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);  // create: emptied
  EXPECT_EQ(archivetest::SizeOf(path), 0u);
}

TEST(ArchiveFrames, AFrameOpenedBeforeTheHeaderLeavesItsPlace) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    ASSERT_EQ(data.WriteCurFrame("early", 5), 1);
    ASSERT_EQ(data.CloseFrame(), 1);
    FILEHEADER header;
    header.status = FileStatusNormal;
    ASSERT_EQ(data.WriteFileHeader(header), 1);
  }
  EXPECT_EQ(Dump(path), kHeaderLine + FrameLine(dir, 132, Id(1), Of("early")) + "end size=173\n");
}

TEST(ArchiveOpen, PathsThatCannotBeOpened) {
  TempDir dir;
  CRSData reader(RSModeRead);
  EXPECT_EQ(reader.StartRS(nullptr, 0), 0);
  EXPECT_EQ(reader.StartRS("", 0), 0);
  EXPECT_EQ(reader.StartRS((dir / "missing.rsf").c_str(), 0), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.rsf"));
  EXPECT_EQ(reader.CheckFile(), 0);
  FILEHEADER header;
  EXPECT_EQ(reader.ReadFileHeader(header), 0);
  EXPECT_EQ(reader.GetStatus(), 0u);
  EXPECT_EQ(ErrorOf([&] { reader.OpenFrame(Id(1)); }), RSErrorFrameNotFound);

  CRSData writer(RSModeWrite);
  EXPECT_EQ(writer.StartRS((dir / "no-folder" / "a.rsf").c_str(), 1), 0);
  EXPECT_EQ(writer.WriteFileHeader(header), 0);
  EXPECT_EQ(writer.SetStatus(FileStatusNormal), 0);
  EXPECT_EQ(ErrorOf([&] { writer.OpenFrame(Id(1)); }), RSErrorWriteFailed);
  EXPECT_EQ(writer.EndRS(), 1);
}

TEST(ArchiveOpen, ANewFileGetsTheUsersPermissions) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  const mode_t old = umask(022);
  WriteArchive(path, {{Id(1), Of("x")}});
  umask(0);
  {
    CRSData data(RSModeWrite);  // an existing file keeps its mode
    ASSERT_EQ(data.StartRS(path.c_str(), 1), 1);
  }
  EXPECT_EQ(archivetest::Mode(path), "644");
  testsupport::RunCommandOrFail("chmod 600 " + archivetest::Quote(path));
  {
    CRSData data(RSModeRead);
    ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  }
  umask(old);
  EXPECT_EQ(archivetest::Mode(path), "600");
}

}  // namespace
