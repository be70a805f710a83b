// Lying frame lengths, full disks and the 4 GiB limit.
#include "archive/RSData.h"

#include <gtest/gtest.h>

#include <functional>

#include "ArchiveTestSupport.h"

namespace {

using namespace archivetest;
using testsupport::TempDir;

constexpr uint64_t k4GiB = uint64_t{1} << 32;

std::string FrameLine(uint64_t offset, const tagGUIDSIGN& id, const Bytes& payload) {
  return "frame offset=" + std::to_string(offset) + " sign_ok=1 id=" + Hex(id) +
         " length=" + std::to_string(payload.size()) + " present=" + std::to_string(payload.size()) +
         " payload=" + Hex(payload) + "\n";
}

TEST(ArchiveHostile, LyingFrameLengthsEndTheSearch) {
  TempDir dir;
  // 36 + 0xFFFFFFDC wraps a 32-bit position back onto the same frame; 0xFFFFFF6C back before it.
  for (const char* length : {"0xFFFFFFDC", "0xFFFFFF6C", "0xFFFFFFFF", "0x80000000", "5000"}) {
    Make(dir / "a",
         "--frame " + Hex(Id(1)) + "::0 --frame " + Hex(Id(2)) + "::" + length + " --frame " + Hex(Id(9)) + ":01");
    CRSData data(RSModeRead);
    ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
    EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(9)); }), RSErrorFrameNotFound) << length;  // jumped over
    EXPECT_EQ(data.OpenFrame(Id(1)), 1);
  }
  // Past 4 GiB nothing belongs to an archive: the frame whose header ends at
  // 4 GiB is found, the one after it is not.
  Make(dir / "a", "--frame " + Hex(Id(1)) + "::" + std::to_string(k4GiB - 36 - 168) + " --cut 168");
  Make(dir / "tail", "--frame " + Hex(Id(2)) + "::0 --frame " + Hex(Id(3)) + "::0");
  Sh("dd status=none conv=notrunc bs=1 skip=132 seek=" + std::to_string(k4GiB - 36) + " if=" + Q(dir / "tail") +
     " of=" + Q(dir / "a"));
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
  EXPECT_EQ(data.OpenFrame(Id(2)), 1);
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(3)); }), RSErrorFrameNotFound);
}

TEST(ArchiveHostile, FrameLongerThanTheFileGivesShortReads) {
  TempDir dir;
  const Bytes payload = Pattern(100, 3);
  Make(dir / "a", "--frame " + Hex(Id(1)) + ":" + Hex(payload) + " --cut " + std::to_string(132 + 36 + 50));
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS((dir / "a").c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(1)), 1);
  EXPECT_EQ(data.GetFrameSize(), 100u);
  Bytes buffer(40);
  EXPECT_EQ(data.ReadCurFrame(buffer.data(), 40), 1);
  EXPECT_EQ(buffer, Bytes(payload.begin(), payload.begin() + 40));
  EXPECT_EQ(ErrorOf([&] { data.ReadCurFrame(buffer.data(), 40); }), RSErrorShortRead);
  EXPECT_EQ(ErrorOf([&] { data.ReadCurFrame(buffer.data(), 40); }), RSErrorShortRead);
  EXPECT_EQ(data.ReadCurFrame(buffer.data(), 40), 1);  // the 100 bytes count as read
}

TEST(ArchiveWriteFailures, NoSpaceAtAll) {
  REQUIRE_OR_SKIP(fs::exists("/dev/full"), "/dev/full is missing");
  CRSData data(RSModeWrite);
  ASSERT_EQ(data.StartRS("/dev/full", 0), 1);
  EXPECT_EQ(data.WriteFileHeader(FILEHEADER()), 0);
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(1)); }), RSErrorWriteFailed);
  EXPECT_EQ(ErrorOf([&] { data.GetFrameSize(); }), RSErrorNoFrame);
}

// Each case runs with a header, frame 1 (100 bytes) and frame 2 open, under a
// cap that leaves 1000 bytes for frame 2's payload; the archive must then
// hold frame 2 with exactly `kept` bytes and nothing torn after it.
TEST(ArchiveWriteFailures, WhatCannotBeWrittenIsAnErrorAndLeavesNoTrace) {
  const uint64_t frame2 = 132 + 36 + 100, cap = frame2 + 36 + 1000;
  const Bytes first = Pattern(100, 1), payload = Pattern(CRSData::kBufferSize + 1000, 2);
  const struct {
    const char* name;
    size_t kept;
    std::function<uint32_t(CRSData&)> run;
  } cases[] = {
      {"buffered, failing at close", 0,
       [&](CRSData& d) {
         for (int i = 0; i < 100; ++i) EXPECT_EQ(d.WriteCurFrame(payload.data() + 50 * i, 50), 1);
         return ErrorOf([&] { d.CloseFrame(); });
       }},
      {"large, written straight", 300,
       [&](CRSData& d) {
         EXPECT_EQ(d.WriteCurFrame(payload.data(), 300), 1);
         return ErrorOf([&] { d.WriteCurFrame(payload.data() + 300, CRSData::kBufferSize); });
       }},
      {"flushed", 600,
       [&](CRSData& d) {
         EXPECT_EQ(d.WriteCurFrame(payload.data(), 600), 1);
         EXPECT_EQ(d.FlushBuffer(), 1);
         EXPECT_EQ(d.WriteCurFrame(payload.data() + 600, 600), 1);
         const uint32_t error = ErrorOf([&] { d.FlushBuffer(); });
         EXPECT_EQ(d.GetFrameSize(), 600u);
         return error;
       }},
  };
  for (const auto& c : cases) {
    TempDir dir;
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS((dir / "a").c_str(), 1), 1);
    ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    ASSERT_EQ(data.WriteCurFrame(first.data(), 100), 1);
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    uint32_t error;
    {
      FileSizeLimit limit(cap);
      error = c.run(data);
    }
    EXPECT_EQ(error, RSErrorWriteFailed) << c.name;
    ASSERT_EQ(data.CloseFrame(), 1);
    const Bytes kept(payload.begin(), payload.begin() + static_cast<long>(c.kept));
    EXPECT_EQ(Dump(dir / "a"), "header sign_ok=1 version=5800 check_ok=1 status=1 desc_length=0 desc=\n" +
                                   FrameLine(132, Id(1), first) + FrameLine(frame2, Id(2), kept) +
                                   "end size=" + std::to_string(frame2 + 36 + c.kept) + "\n")
        << c.name;
    {
      FileSizeLimit limit(frame2 + 36 + c.kept + 20);  // 20 bytes of a frame header fit
      EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(3)); }), RSErrorWriteFailed);
    }
    EXPECT_EQ(fs::file_size(dir / "a"), frame2 + 36 + c.kept) << c.name;
    ASSERT_EQ(data.OpenFrame(Id(3)), 1);  // the archive goes on
  }
}

TEST(ArchiveSizeLimit, AnArchiveNeverGrowsPastFourGibibytes) {
  TempDir dir;
  const auto path = dir / "big";
  // A real archive whose first frame is made to span holes up to 100 bytes
  // below 4 GiB.
  const uint64_t frame2 = k4GiB - 100;
  Make(path, "--frame " + Hex(Id(1)) + "::" + std::to_string(frame2 - 168));
  Sh("truncate -s " + std::to_string(frame2) + " " + Q(path));
  const Bytes tail = Pattern(64, 7);
  {
    CRSData data(RSModeWrite);
    ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    ASSERT_EQ(data.WriteCurFrame(tail.data(), 64), 1);  // ends at 4 GiB exactly
    EXPECT_EQ(ErrorOf([&] { data.WriteCurFrame("x", 1); }), RSErrorWriteFailed);
    ASSERT_EQ(data.CloseFrame(), 1);
    EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(3)); }), RSErrorWriteFailed);
  }
  EXPECT_EQ(fs::file_size(path), k4GiB);
  const std::string dump = Dump(path);
  EXPECT_NE(dump.find(FrameLine(frame2, Id(2), tail) + "end size=4294967296\n"), std::string::npos) << dump;
  CRSData data(RSModeRead);
  ASSERT_EQ(data.StartRS(path.c_str(), 0), 1);
  ASSERT_EQ(data.OpenFrame(Id(2)), 1);
  Bytes back(64);
  ASSERT_EQ(data.ReadCurFrame(back.data(), 64), 1);
  EXPECT_EQ(back, tail);

  // A file whose end leaves no room for a frame header takes no frame.
  Sh("truncate -s " + std::to_string(k4GiB - 35) + " " + Q(path));
  CRSData writer(RSModeWrite);
  ASSERT_EQ(writer.StartRS(path.c_str(), 0), 1);
  EXPECT_EQ(ErrorOf([&] { writer.OpenFrame(Id(4)); }), RSErrorWriteFailed);
  EXPECT_EQ(fs::file_size(path), k4GiB - 35);
}

}  // namespace
