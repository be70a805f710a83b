// Hostile files, full disks and the 4 GiB limit.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "ArchiveTestSupport.h"
#include "archive/RSData.h"

namespace {

using archivetest::Dump;
using archivetest::ErrorOf;
using archivetest::FileSizeLimit;
using archivetest::Hex;
using archivetest::Id;
using archivetest::Make;
using archivetest::Pattern;
using archivetest::Quote;
using archivetest::Sha256Of;
using archivetest::SizeOf;
using testsupport::RunCommandOrFail;
using testsupport::TempDir;

using Bytes = std::vector<uint8_t>;

constexpr uint64_t k4GiB = uint64_t{1} << 32;

std::string FrameLine(const TempDir& dir, uint64_t offset, const tagGUIDSIGN& id, const Bytes& payload) {
  return "frame offset=" + std::to_string(offset) + " sign_ok=1 id=" + Hex(id) +
         " length=" + std::to_string(payload.size()) + " present=" + std::to_string(payload.size()) +
         " payload_sha256=" + Sha256Of(dir, payload) + "\n";
}

const char* kHeaderLine = "header sign_ok=1 version=5800 check_ok=1 status=1 desc_length=0 desc=\n";

// Writes 36 bytes of frame header at `offset` (the file grows sparse).
void PutFrameHeader(const std::filesystem::path& path, uint64_t offset, const tagGUIDSIGN& id, uint32_t length) {
  uint8_t raw[36];
  std::memcpy(raw, _frSignPub.bytes, 16);
  std::memcpy(raw + 16, id.bytes, 16);
  for (int i = 0; i < 4; ++i) raw[32 + i] = static_cast<uint8_t>(length >> (8 * i));
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(raw), sizeof raw);
  ASSERT_TRUE(f.good());
}

void Truncate(const std::filesystem::path& path, uint64_t size) {
  RunCommandOrFail("truncate -s " + std::to_string(size) + " " + Quote(path));
}

TEST(ArchiveHostile, CraftedFrameLengthsNeverKeepTheSearchGoing) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  const std::string wanted = Hex(Id(9));
  const std::string lengths[] = {
      "0xFFFFFFDC",  // 36 + length wraps a 32-bit position back onto the same frame
      "0xFFFFFF6C",  // ... or back to an earlier one
      "0xFFFFFFFF", "0x80000000", "5000",
  };
  for (const auto& length : lengths) {
    Make(path, "--frame " + Hex(Id(1)) + "::0 --frame " + Hex(Id(2)) + "::" + length + " --frame " + wanted + ":0102");
    CRSData data(RSModeRead);
    ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
    EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(3)); }), RSErrorFrameNotFound) << length;
    EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(9)); }), RSErrorFrameNotFound) << length;  // skipped over
    EXPECT_EQ(data.OpenFrame(Id(1)), 1);
  }
}

TEST(ArchiveHostile, GarbageAfterTheHeaderIsNotAFrame) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  const auto garbage = Pattern(5000, 11);
  Make(path, "");
  {
    std::ofstream f(path, std::ios::app | std::ios::binary);
    f.write(reinterpret_cast<const char*>(garbage.data()), static_cast<std::streamsize>(garbage.size()));
  }
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(1)); }), RSErrorFrameNotFound);
}

TEST(ArchiveHostile, FrameLongerThanTheFileGivesAShortRead) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  // Frame header says 100 bytes; 50 are there.
  Make(path,
       "--frame " + Hex(Id(1)) + ":" + Hex(Pattern(100, 3).data(), 100) + " --cut " + std::to_string(132 + 36 + 50));
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  EXPECT_EQ(data.GetFrameSize(), 100u);
  Bytes buffer(40);
  EXPECT_EQ(data.ReadCurFrame(buffer.data(), 40), 1);
  Bytes expected = Pattern(100, 3);
  expected.resize(40);
  EXPECT_EQ(buffer, expected);
  EXPECT_EQ(ErrorOf([&] { data.ReadCurFrame(buffer.data(), 40); }), RSErrorShortRead);
  EXPECT_EQ(ErrorOf([&] { data.ReadCurFrame(buffer.data(), 40); }), RSErrorShortRead);
  Bytes rest(40, 0xCC);
  EXPECT_EQ(data.ReadCurFrame(rest.data(), 40), 1);  // all 100 counted as read: nothing is left
  EXPECT_EQ(rest, Bytes(40, 0xCC));
  EXPECT_EQ(data.CloseFrame(), 1);
  EXPECT_EQ(data.OpenFrame(Id(1)), 1);
}

TEST(ArchiveHostile, FramesPastFourGibibytesAreNotPartOfTheArchive) {
  TempDir dir;
  const auto path = dir / "a.rsf";
  // A first frame whose payload ends exactly where the last whole frame header
  // still fits below 4 GiB; the one after it lies past the limit.
  const uint64_t lastFits = k4GiB - 36;
  Make(path, "--frame " + Hex(Id(1)) + "::" + std::to_string(lastFits - 168));
  PutFrameHeader(path, lastFits, Id(2), 0);
  PutFrameHeader(path, k4GiB, Id(3), 0);
  ASSERT_EQ(SizeOf(path), k4GiB + 36);
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  EXPECT_EQ(data.OpenFrame(Id(2)), 1);
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(3)); }), RSErrorFrameNotFound);
}

TEST(ArchiveWriteFailures, NoSpaceAtAll) {
  REQUIRE_OR_SKIP(std::filesystem::exists("/dev/full"), "/dev/full is missing");
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS("/dev/full", 0), 1);
  FILEHEADER header;
  EXPECT_EQ(data.WriteFileHeader(header), 0);
  EXPECT_EQ(data.SetStatus(FileStatusNormal), 0);
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(1)); }), RSErrorWriteFailed);
  EXPECT_EQ(ErrorOf([&] { data.GetFrameSize(); }), RSErrorNoFrame);  // the frame was not opened
}

// Header, frame 1 with 100 bytes, frame 2 open: the cap leaves room for
// frame 2's header and `room` payload bytes.
class ArchiveCappedWrite : public ::testing::Test {
 protected:
  static constexpr uint64_t kFrame2 = 132 + 36 + 100;
  static constexpr uint64_t kRoom = 1000;
  static constexpr uint64_t kCap = kFrame2 + 36 + kRoom;

  void SetUp() override {
    path_ = dir_ / "a.rsf";
    ASSERT_EQ(data_.StartRS(path_.c_str(), 1), 1);
    ASSERT_EQ(data_.SetStatus(FileStatusNormal), 1);
    ASSERT_EQ(data_.OpenFrame(Id(1)), 1);
    ASSERT_EQ(data_.WriteCurFrame(first_.data(), 100), 1);
    ASSERT_EQ(data_.OpenFrame(Id(2)), 1);
  }

  // The file must hold the header, frame 1 and frame 2 with exactly `kept`,
  // and nothing after.
  void ExpectArchiveWith(const Bytes& kept) {
    EXPECT_EQ(Dump(path_), kHeaderLine + FrameLine(dir_, 132, Id(1), first_) + FrameLine(dir_, kFrame2, Id(2), kept) +
                               "end size=" + std::to_string(kFrame2 + 36 + kept.size()) + "\n");
  }

  TempDir dir_;
  std::filesystem::path path_;
  CRSData data_{RSModeWrite};
  const Bytes first_ = Pattern(100, 1);
  const Bytes payload_ = Pattern(5000, 2);
};

TEST_F(ArchiveCappedWrite, BufferedPayloadThatCannotBeWrittenIsAnError) {
  uint32_t closeError = 99;
  std::vector<int> results;
  {
    FileSizeLimit limit(kCap);
    ASSERT_TRUE(limit.ok());
    for (size_t at = 0; at < payload_.size(); at += 50)
      results.push_back(data_.WriteCurFrame(payload_.data() + at, 50));
    closeError = ErrorOf([&] { data_.CloseFrame(); });
  }
  EXPECT_EQ(results, std::vector<int>(100, 1));  // buffered: the failure shows when it is written
  EXPECT_EQ(closeError, RSErrorWriteFailed);
  ExpectArchiveWith({});  // nothing torn is left behind
  // The archive goes on: a frame that fits is written.
  ASSERT_EQ(data_.OpenFrame(Id(3)), 1);
  ASSERT_EQ(data_.WriteCurFrame("ok", 2), 1);
  ASSERT_EQ(data_.CloseFrame(), 1);
  EXPECT_EQ(SizeOf(path_), kFrame2 + 36 + 36 + 2);
}

TEST_F(ArchiveCappedWrite, LargePayloadThatCannotBeWrittenIsAnError) {
  const Bytes large = Pattern(CRSData::kBufferSize + 10, 3);
  uint32_t smallError = 99, largeError = 99, closeError = 99;
  {
    FileSizeLimit limit(kCap);
    ASSERT_TRUE(limit.ok());
    smallError = ErrorOf([&] { data_.WriteCurFrame(payload_.data(), 300); });
    largeError = ErrorOf([&] { data_.WriteCurFrame(large.data(), static_cast<unsigned>(large.size())); });
    closeError = ErrorOf([&] { data_.CloseFrame(); });
  }
  EXPECT_EQ(smallError, 0u);
  EXPECT_EQ(largeError, RSErrorWriteFailed);
  EXPECT_EQ(closeError, 0u);
  ExpectArchiveWith(Bytes(payload_.begin(), payload_.begin() + 300));
}

TEST_F(ArchiveCappedWrite, FlushFailureShrinksTheFrame) {
  uint32_t flushError = 99;
  {
    FileSizeLimit limit(kCap);
    ASSERT_TRUE(limit.ok());
    ASSERT_EQ(data_.WriteCurFrame(payload_.data(), 600), 1);
    ASSERT_EQ(data_.FlushBuffer(), 1);
    ASSERT_EQ(data_.WriteCurFrame(payload_.data() + 600, 600), 1);
    flushError = ErrorOf([&] { data_.FlushBuffer(); });
  }
  EXPECT_EQ(flushError, RSErrorWriteFailed);
  EXPECT_EQ(data_.GetFrameSize(), 600u);
  ASSERT_EQ(data_.CloseFrame(), 1);
  ExpectArchiveWith(Bytes(payload_.begin(), payload_.begin() + 600));
}

TEST_F(ArchiveCappedWrite, FrameHeaderThatCannotBeWrittenIsCutOff) {
  ASSERT_EQ(data_.CloseFrame(), 1);
  uint32_t openError = 99;
  {
    FileSizeLimit limit(kFrame2 + 36 + 20);  // room for 20 bytes of a third frame header
    ASSERT_TRUE(limit.ok());
    openError = ErrorOf([&] { data_.OpenFrame(Id(3)); });
  }
  EXPECT_EQ(openError, RSErrorWriteFailed);
  ExpectArchiveWith({});
}

TEST(ArchiveSizeLimit, AnArchiveNeverGrowsPastFourGibibytes) {
  TempDir dir;
  const auto path = dir / "big.rsf";
  // A real archive whose first frame is made to span almost 4 GiB of holes.
  const uint64_t frame2 = k4GiB - 100;
  Make(path, "--frame " + Hex(Id(1)) + "::" + std::to_string(frame2 - 168));
  Truncate(path, frame2);
  const Bytes tail = Pattern(64, 7);
  uint32_t overError = 99;
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    ASSERT_EQ(data.WriteCurFrame(tail.data(), 63), 1);
    ASSERT_EQ(data.WriteCurFrame(tail.data() + 63, 1), 1);  // ends exactly at 4 GiB
    overError = ErrorOf([&] { data.WriteCurFrame("x", 1); });
    EXPECT_EQ(data.GetFrameSize(), 64u);
    ASSERT_EQ(data.CloseFrame(), 1);
    EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(3)); }), RSErrorWriteFailed);
  }
  EXPECT_EQ(overError, RSErrorWriteFailed);
  EXPECT_EQ(SizeOf(path), k4GiB);
  const std::string dump = Dump(path);
  EXPECT_NE(dump.find(FrameLine(dir, frame2, Id(2), tail) + "end size=4294967296\n"), std::string::npos) << dump;

  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(2)), 1);
  Bytes back(64);
  ASSERT_EQ(data.ReadCurFrame(back.data(), 64), 1);
  EXPECT_EQ(back, tail);
}

TEST(ArchiveSizeLimit, TheLastFrameHeaderThatFitsIsTaken) {
  TempDir dir;
  const auto path = dir / "big.rsf";
  Make(path, "");
  Truncate(path, k4GiB - 36);
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  EXPECT_EQ(ErrorOf([&] { data.WriteCurFrame("x", 1); }), RSErrorWriteFailed);
  ASSERT_EQ(data.CloseFrame(), 1);
  EXPECT_EQ(SizeOf(path), k4GiB);
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(2)); }), RSErrorWriteFailed);
  EXPECT_EQ(SizeOf(path), k4GiB);
  // The frame header sits in the last 36 bytes, with its length 0.
  std::string expected;
  for (uint8_t b : Id(1).bytes) expected += " " + Hex(&b, 1);
  expected += "\n 00 00 00 00\n";
  EXPECT_EQ(RunCommandOrFail("od -An -tx1 -v -j " + std::to_string(k4GiB - 20) + " " + Quote(path)), expected);
}

}  // namespace
