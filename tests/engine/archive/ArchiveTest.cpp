// The archive container, checked against archive_tool.py: an independent
// reader/writer on Debian's python3 with python3-crcmod. The fuzz replay
// (ArchiveFuzzer.cpp) checks the frame search and payload reads of the
// corpus against a plain frame walk.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "archive/CRC.h"
#include "archive/RSData.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

constexpr uint64_t k4GiB = uint64_t{1} << 32;
const std::string kHeader = "header sign_ok=1 version=5800 check_ok=1 status=1 desc_length=0 desc=\n";

std::string Q(const fs::path& path) { return testsupport::ShellQuote(path.string()); }
std::string Sh(const std::string& command) { return testsupport::RunCommandOrFail(command); }
std::string Tool(const std::string& args) {
  return Sh("/usr/bin/python3 " + Q(testsupport::SourceDir() / "tests/engine/archive/archive_tool.py") + " " + args);
}
void Make(const fs::path& path, const std::string& options) { Tool("make " + Q(path) + " " + options); }

std::string Hex(const void* data, size_t size) {
  std::string out;
  static const char* digits = "0123456789abcdef";
  for (size_t i = 0; i < size; ++i) {
    const uint8_t byte = static_cast<const uint8_t*>(data)[i];
    out += {digits[byte >> 4], digits[byte & 15]};
  }
  return out;
}
std::string Hex(const tagGUIDSIGN& id) { return Hex(id.bytes, 16); }
tagGUIDSIGN Id(uint8_t seed) {
  tagGUIDSIGN id;
  for (int i = 0; i < 16; ++i) id.bytes[i] = static_cast<uint8_t>(seed * 17 + i * 29 + 3);
  return id;
}
Bytes Pattern(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) x ^= x << 13, x ^= x >> 17, x ^= x << 5, b = static_cast<uint8_t>(x);
  return out;
}
std::string Frame(uint64_t offset, const tagGUIDSIGN& id, const Bytes& payload) {
  const std::string length = std::to_string(payload.size());
  return "frame offset=" + std::to_string(offset) + " sign_ok=1 id=" + Hex(id) + " length=" + length +
         " present=" + length + " payload=" + Hex(payload.data(), payload.size()) + "\n";
}

// The code of the CRSException that `action` throws; 0 when none.
uint32_t ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CRSException& e) {
    return e.GetErrorcode();
  }
  return 0;
}

// Runs `action` with the size of files this process may write capped, the
// way a full disk stops a write part-way (SIGXFSZ ignored: writes fail).
uint32_t ErrorUnderFileSizeLimit(rlim_t bytes, const std::function<void()>& action) {
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{}, capped{};
  getrlimit(RLIMIT_FSIZE, &old);
  capped = old;
  capped.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &capped);
  const uint32_t error = ErrorOf(action);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, handler);
  return error;
}

void Start(CRSData& data, const fs::path& path, int create) { ASSERT_EQ(data.StartRS(path.c_str(), create), 1); }

Bytes ReadFrame(CRSData& data, const tagGUIDSIGN& id, unsigned step) {
  EXPECT_EQ(data.OpenFrame(id), 1);
  Bytes out(data.GetFrameSize());
  for (size_t at = 0; at < out.size(); at += step) {
    EXPECT_EQ(data.ReadCurFrame(out.data() + at, static_cast<unsigned>(std::min<size_t>(step, out.size() - at))), 1);
  }
  return out;
}

TEST(Crc16, MatchesCrcmodAndThePublishedCheckValue) {
  EXPECT_EQ(CCRC::RunCRC16("123456789", 9, CCRC::kPolynomial16), 0xFEE8);  // CRC-16/UMTS
  EXPECT_EQ(CCRC::RunCRC16(nullptr, 9, CCRC::kPolynomial16), 0);
  TempDir dir;
  for (size_t size : {1, 2, 31, 132, 1000, 65537}) {
    const Bytes data = Pattern(size, static_cast<uint32_t>(size));
    testsupport::WriteFile(dir / "in", data.data(), data.size());
    EXPECT_EQ(CCRC::RunCRC16(data.data(), size, CCRC::kPolynomial16), std::stoul(Tool("crc " + Q(dir / "in"))));
    EXPECT_EQ(CCRC::RunCRC16(data.data(), size, 0x1021), std::stoul(Tool("crc " + Q(dir / "in") + " 0x11021")));
  }
}

TEST(StdFile, OpenModesCreateUnderTheUmaskAndNeverChmod) {
  TempDir dir;
  const mode_t old = umask(022);
  // Mode -> content after writing "XY" over "abcdef"; read-only refuses writes.
  const char* expected[] = {"abcdef", "XYcdef", "XYcdef", "XY", "XYcdef"};
  for (int mode = 0; mode <= 4; ++mode) {
    SCOPED_TRACE(mode);
    const auto path = dir / std::to_string(mode);
    CStdFile file;
    EXPECT_EQ(file.Open(path.c_str(), static_cast<CStdFile::OpenMode>(mode)), mode != 0);
    EXPECT_EQ(mode != 0 ? Sh("stat -c %a " + Q(path)) : "644\n", "644\n");
    testsupport::WriteFile(path, "abcdef");
    Sh("chmod 600 " + Q(path));
    ASSERT_TRUE(file.Open(path.c_str(), static_cast<CStdFile::OpenMode>(mode)));
    EXPECT_EQ(file.Write("XY", 2), mode != 0 ? 1 : 0);
    EXPECT_FALSE(file.Open(path.c_str(), static_cast<CStdFile::OpenMode>(5)) || file.IsOpen());
    const auto bytes = testsupport::ReadFile(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected[mode]);
    EXPECT_EQ(Sh("stat -c %a " + Q(path)), "600\n");
  }
  umask(old);
}

TEST(StdFile, DescriptorZeroIsAnOpenFile) {
  TempDir dir;
  testsupport::WriteFile(dir / "a", "zero");
  const int saved = dup(0);
  close(0);
  CStdFile file;
  const bool opened = file.Open((dir / "a").c_str(), CStdFile::OpenRead) && fcntl(0, F_GETFD) != -1;
  char text[5] = {};
  const int64_t n = file.Read(text, 4);
  file.Close();
  const bool closed = fcntl(0, F_GETFD) == -1;
  dup2(saved, 0);
  close(saved);
  EXPECT_TRUE(opened && closed);
  EXPECT_EQ(n, 4);
  EXPECT_STREQ(text, "zero");
}

TEST(Archive, WrittenArchivesMatchTheIndependentReaderAndReadBack) {
  TempDir dir;
  const Bytes ten = Pattern(10, 1), big = Pattern(3 * CRSData::kBufferSize / 2 + 12345, 5);
  std::string text;
  for (int i = 0; i < 150; ++i) text += static_cast<char>('A' + i % 26);
  {
    CRSData data(RSModeWrite);
    Start(data, dir / "a", 1);
    EXPECT_EQ(data.SetFileDescription("needs a header"), 0);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);  // before the header: the frame still goes after it
    ASSERT_EQ(data.WriteCurFrame(ten.data(), 4), 1);
    ASSERT_EQ(data.FlushBuffer(), 1);
    ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);  // a fresh header
    ASSERT_EQ(data.WriteCurFrame(ten.data() + 4, 6), 1);
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    const size_t pieces[] = {1, 7, 4096, CRSData::kBufferSize - 3, 2, CRSData::kBufferSize};
    for (size_t at = 0, i = 0; at < big.size(); at += pieces[i++ % 6]) {
      ASSERT_EQ(data.WriteCurFrame(big.data() + at, static_cast<unsigned>(std::min(pieces[i % 6], big.size() - at))),
                1);
    }
    FILEHEADER header;  // version and check value are the archive's own
    header.version = 1, header.checkValue = 0xDEADBEEF, header.status = 3;
    ASSERT_EQ(data.WriteFileHeader(header), 1);
    EXPECT_EQ(data.SetFileDescription(text.c_str()), 1);       // cut to 100 bytes
    EXPECT_EQ(data.SetStatus(static_cast<FileStatus>(2)), 1);  // keeps the description
  }
  {
    CRSData data(RSModeWrite);  // without create: appended
    Start(data, dir / "a", 0);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    ASSERT_EQ(data.WriteCurFrame("second", 6), 1);
    ASSERT_EQ(data.OpenFrame(Id(3)), 1);
  }  // EndRS by the destructor finishes the open frame
  testsupport::WriteFile(dir / "big", big.data(), big.size());
  const uint64_t third = 178 + 36 + big.size();
  EXPECT_EQ(Tool("dump " + Q(dir / "a")),
            "header sign_ok=1 version=5800 check_ok=1 status=2 desc_length=100 desc=" + Hex(text.data(), 100) + "\n" +
                Frame(132, Id(1), ten) + "frame offset=178 sign_ok=1 id=" + Hex(Id(2)) +
                " length=" + std::to_string(big.size()) + " present=" + std::to_string(big.size()) +
                " payload=sha256:" + testsupport::Sha256(dir / "big") + "\n" +
                Frame(third, Id(1), {'s', 'e', 'c', 'o', 'n', 'd'}) + Frame(third + 42, Id(3), {}) +
                "end size=" + std::to_string(third + 78) + "\n");
  CRSData data(RSModeRead);
  Start(data, dir / "a", 0);
  char small[10], whole[200];
  EXPECT_EQ(data.GetFileDescription(small, 10) + data.GetFileDescription(whole, 200), 2);
  EXPECT_EQ(std::string(small, 10), text.substr(0, 9) + '\0');
  EXPECT_EQ(whole, text.substr(0, 100));
  for (unsigned step : {1u, 65536u, static_cast<unsigned>(CRSData::kBufferSize) + 1}) {
    EXPECT_EQ(ReadFrame(data, Id(2), step), big) << step;
  }
  EXPECT_EQ(ReadFrame(data, Id(1), 3), ten);  // the first of two wins
  EXPECT_EQ(ReadFrame(data, Id(3), 1), Bytes());
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(4)); }), RSErrorFrameNotFound);
  EXPECT_EQ(ErrorOf([&] { data.ReadCurFrame(small, 1); }), RSErrorNoFrame);
  EXPECT_EQ(ReadFrame(data, Id(1), 64), ten);  // usable after the throws
  Bytes buffer(20, 0xCC);
  EXPECT_EQ(data.ReadCurFrame(buffer.data(), 20), 1);  // nothing left: 1, and nothing touched
  EXPECT_EQ(buffer, Bytes(20, 0xCC));
}

TEST(Archive, WhatEachCheckOfAnIndependentHeaderLooksAt) {
  TempDir dir;
  const struct {
    const char* options;
    int checkFile, readHeader;
    uint32_t status, error;   // of GetStatus
    const char* description;  // of GetFileDescription; null when it answers 0
  } cases[] = {
      {"--status 2 --desc hello", 1, 1, 2, 0, "hello"},
      {"--status 0", 0, 1, 0, 0, ""},
      {"--status 5", 0, 1, 0, RSErrorBadHeader, ""},
      {"--status 7", 0, 1, 0, RSErrorBadHeader, ""},
      {"--version 5801", 1, 0, 0, 0, nullptr},  // CheckFile looks at neither version
      {"--check 0", 1, 0, 0, 0, nullptr},       // nor check value,
      {"--check-or 0x10000", 1, 0, 0, 0, nullptr},
      {"--sign 00112233445566778899aabbccddeeff", 0, 1, 1, 0, ""},  // ReadFileHeader not at the signature
      {"--cut 131", 0, 0, 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    Make(dir / "a", c.options);
    const std::string sha = testsupport::Sha256(dir / "a");
    CRSData data(RSModeRead);
    Start(data, dir / "a", 0);
    FILEHEADER header;
    EXPECT_EQ(data.CheckFile(), c.checkFile);
    EXPECT_EQ(data.ReadFileHeader(header), c.readHeader);
    uint32_t status = 99;
    EXPECT_EQ(ErrorOf([&] { status = data.GetStatus(); }), c.error);
    EXPECT_EQ(status, c.error ? 99u : c.status);  // nothing returned after a throw
    char text[101] = {};
    EXPECT_EQ(data.GetFileDescription(text, 101), c.description ? 1 : 0);
    EXPECT_STREQ(text, c.description ? c.description : "");
    EXPECT_EQ(testsupport::Sha256(dir / "a"), sha);
  }
  Make(dir / "a", "--desc abc --desc-length 101");
  CRSData data(RSModeRead);
  Start(data, dir / "a", 0);
  char text[200];
  EXPECT_EQ(ErrorOf([&] { data.GetFileDescription(text, 200); }), RSErrorBadHeader);
  // Any changed byte of a valid header spoils it.
  Make(dir / "a", "--status 2 --desc hello");
  const auto original = testsupport::ReadFile(dir / "a");
  for (size_t i = 0; i < original.size(); ++i) {
    auto bytes = original;
    bytes[i] ^= 0x5A;
    testsupport::WriteFile(dir / "a", bytes.data(), bytes.size());
    FILEHEADER header;
    EXPECT_EQ(data.ReadFileHeader(header) + data.GetStatus(), 0u) << i;
  }
}

TEST(Archive, UnopenablePathsAndOperationsOfTheOtherModeAreRefused) {
  TempDir dir;
  CRSData reader(RSModeRead), writer(RSModeWrite);
  EXPECT_EQ(reader.StartRS(nullptr, 0) + reader.StartRS("", 0) + reader.StartRS((dir / "missing").c_str(), 0), 0);
  EXPECT_FALSE(fs::exists(dir / "missing"));
  EXPECT_EQ(ErrorOf([&] { reader.OpenFrame(Id(1)); }), RSErrorFrameNotFound);
  EXPECT_EQ(writer.StartRS((dir / "no" / "a").c_str(), 1) + writer.SetStatus(FileStatusNormal), 0);
  EXPECT_EQ(ErrorOf([&] { writer.OpenFrame(Id(1)); }), RSErrorWriteFailed);
  Make(dir / "a", "--frame " + Hex(Id(1)) + ":01");
  const std::string sha = testsupport::Sha256(dir / "a");
  char buffer[8];
  Start(reader, dir / "a", 0);
  EXPECT_EQ(reader.WriteFileHeader(FILEHEADER()), 0);
  EXPECT_EQ(ErrorOf([&] { reader.SetStatus(FileStatusNormal); }), RSErrorWrongMode);
  EXPECT_EQ(ErrorOf([&] { reader.WriteCurFrame("x", 1); }), RSErrorWrongMode);
  reader.EndRS();
  EXPECT_EQ(testsupport::Sha256(dir / "a"), sha);
  Start(writer, dir / "a", 0);
  EXPECT_EQ(ErrorOf([&] { writer.ReadCurFrame(buffer, 1); }), RSErrorWrongMode);
  EXPECT_EQ(ErrorOf([&] { writer.WriteCurFrame("x", 1); }), RSErrorNoFrame);
}

// Each case runs with a header, frame 1 (100 bytes) and frame 2 open, under a
// cap that leaves 1000 bytes for frame 2's payload; the archive must then
// hold frame 2 with exactly `kept` bytes and nothing torn after it.
TEST(Archive, WhatCannotBeWrittenIsAnErrorAndLeavesNoTrace) {
  const uint64_t frame2 = 132 + 36 + 100;
  const Bytes first = Pattern(100, 1), payload = Pattern(CRSData::kBufferSize + 1000, 2);
  const struct {
    size_t kept;
    std::function<void(CRSData&)> run;
  } cases[] = {
      {0,  // buffered, failing at close
       [&](CRSData& d) {
         for (int i = 0; i < 100; ++i) ASSERT_EQ(d.WriteCurFrame(payload.data() + 50 * i, 50), 1);
         d.CloseFrame();
       }},
      {300,  // large, written straight
       [&](CRSData& d) {
         ASSERT_EQ(d.WriteCurFrame(payload.data(), 300), 1);
         d.WriteCurFrame(payload.data() + 300, CRSData::kBufferSize);
       }},
      {600,  // flushed
       [&](CRSData& d) {
         ASSERT_EQ(d.WriteCurFrame(payload.data(), 600), 1);
         ASSERT_EQ(d.FlushBuffer(), 1);
         ASSERT_EQ(d.WriteCurFrame(payload.data() + 600, 600), 1);
         d.FlushBuffer();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kept);
    TempDir dir;
    CRSData data(RSModeWrite);
    Start(data, dir / "a", 1);
    ASSERT_EQ(data.SetStatus(FileStatusNormal), 1);
    ASSERT_EQ(data.OpenFrame(Id(1)), 1);
    ASSERT_EQ(data.WriteCurFrame(first.data(), 100), 1);
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    EXPECT_EQ(ErrorUnderFileSizeLimit(frame2 + 36 + 1000, [&] { c.run(data); }), RSErrorWriteFailed);
    if (c.kept != 0) {
      EXPECT_EQ(data.GetFrameSize(), c.kept);  // the frame keeps what reached the file
    }
    ASSERT_EQ(data.CloseFrame(), 1);
    const Bytes kept(payload.begin(), payload.begin() + static_cast<long>(c.kept));
    EXPECT_EQ(Tool("dump " + Q(dir / "a")), kHeader + Frame(132, Id(1), first) + Frame(frame2, Id(2), kept) +
                                                "end size=" + std::to_string(frame2 + 36 + c.kept) + "\n");
    // 20 bytes of a frame header fit: none of them stays.
    EXPECT_EQ(ErrorUnderFileSizeLimit(frame2 + 56 + c.kept, [&] { data.OpenFrame(Id(3)); }), RSErrorWriteFailed);
    EXPECT_EQ(fs::file_size(dir / "a"), frame2 + 36 + c.kept);
    ASSERT_EQ(data.OpenFrame(Id(3)), 1);  // the archive goes on
  }
  CRSData full(RSModeWrite);
  Start(full, "/dev/full", 0);
  EXPECT_EQ(full.WriteFileHeader(FILEHEADER()), 0);
  EXPECT_EQ(ErrorOf([&] { full.OpenFrame(Id(1)); }), RSErrorWriteFailed);
  EXPECT_EQ(ErrorOf([&] { full.GetFrameSize(); }), RSErrorNoFrame);
}

TEST(Archive, NothingIsWrittenOrSearchedPastFourGibibytes) {
  TempDir dir;
  const auto path = dir / "big";
  // A real archive whose first frame spans holes up to 100 bytes below 4 GiB.
  const uint64_t frame2 = k4GiB - 100;
  Make(path, "--frame " + Hex(Id(1)) + "::" + std::to_string(frame2 - 168));
  Sh("truncate -s " + std::to_string(frame2) + " " + Q(path));
  const Bytes tail = Pattern(64, 7);
  {
    CRSData data(RSModeWrite);
    Start(data, path, 0);
    ASSERT_EQ(data.OpenFrame(Id(2)), 1);
    ASSERT_EQ(data.WriteCurFrame(tail.data(), 64), 1);  // ends at 4 GiB exactly
    EXPECT_EQ(ErrorOf([&] { data.WriteCurFrame("x", 1); }), RSErrorWriteFailed);
    ASSERT_EQ(data.CloseFrame(), 1);
    EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(3)); }), RSErrorWriteFailed);
  }
  const std::string dump = Tool("dump " + Q(path));
  EXPECT_NE(dump.find(Frame(frame2, Id(2), tail) + "end size=4294967296\n"), std::string::npos) << dump;
  CRSData data(RSModeRead);
  Start(data, path, 0);
  EXPECT_EQ(ReadFrame(data, Id(2), 64), tail);
  // A frame whose header ends at 4 GiB is found, the one after it is not.
  Make(dir / "far", "--frame " + Hex(Id(1)) + "::" + std::to_string(k4GiB - 36 - 168) + " --cut 168");
  Make(dir / "tail", "--frame " + Hex(Id(3)) + "::0 --frame " + Hex(Id(4)) + "::0");
  Sh("dd status=none conv=notrunc bs=1 skip=132 seek=" + std::to_string(k4GiB - 36) + " if=" + Q(dir / "tail") +
     " of=" + Q(dir / "far"));
  Start(data, dir / "far", 0);
  EXPECT_EQ(data.OpenFrame(Id(3)), 1);
  EXPECT_EQ(ErrorOf([&] { data.OpenFrame(Id(4)); }), RSErrorFrameNotFound);
  // A file whose end leaves no room for a frame header takes no frame.
  Sh("truncate -s " + std::to_string(k4GiB - 35) + " " + Q(path));
  CRSData writer(RSModeWrite);
  Start(writer, path, 0);
  EXPECT_EQ(ErrorOf([&] { writer.OpenFrame(Id(5)); }), RSErrorWriteFailed);
  EXPECT_EQ(fs::file_size(path), k4GiB - 35);
}

}  // namespace
