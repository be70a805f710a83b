// ASF, APE, MPEG program streams, RealMedia and SWF on hand-made bytes: the
// walks' ends where the files' own lengths lie or wrap, streams laid
// straight behind each other, and header-sized types that random bytes must
// not turn into files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string_view>
#include <vector>

#include "raw/AVAnalysers.h"
#include "raw/AVStreamAnalysers.h"
#include "support/BytesDevice.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Sized {
  uint32_t answer;
  CRawFileInfo info;
};

// Sector `sector` of `disk` through the analyser, then its sizing; the disk
// ends in `tail` zero (or random) bytes.
Sized Carve(IRawFileAnalyser& analyser, Bytes disk, uint64_t sector = 0, bool random = false, size_t tail = 4096) {
  std::mt19937 rng(7);
  const size_t end = (disk.size() + 511) / 512 * 512 + tail;
  while (disk.size() < end) disk.push_back(random ? uint8_t(rng()) : 0);
  testsupport::BytesDevice device(disk.data(), disk.size());
  Sized out{};
  out.info.m_startSector = sector;
  out.answer = analyser.AnalyseBuffer(disk.data() + sector * 512, out.info);
  if (out.answer != 0) out.answer = analyser.GetRawFileSize(out.info, &device);
  return out;
}

void Put(Bytes& b, size_t at, const Bytes& bytes) {
  if (b.size() < at + bytes.size()) b.resize(at + bytes.size(), 0);
  std::copy(bytes.begin(), bytes.end(), b.begin() + at);
}
void Le(Bytes& b, size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) Put(b, at + i, {uint8_t(v >> (8 * i))});
}
void Be(Bytes& b, size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) Put(b, at + i, {uint8_t(v >> (8 * (n - 1 - i)))});
}

// ASF objects' GUIDs, as stored.
const Bytes kHeader{0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Bytes kData{0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Bytes kSimpleIndex{0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                         0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
const Bytes kStreamProperties{0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                              0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const Bytes kVideo{0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11, 0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
const Bytes kAudio{0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11, 0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
const Bytes kCommand{0xC0, 0xCF, 0xDA, 0x59, 0xE6, 0x59, 0xD0, 0x11, 0xA3, 0xAC, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};

Bytes Asf(uint64_t dataSize, const std::vector<Bytes>& streamKinds) {
  Bytes b;
  Put(b, 0, kHeader);
  Le(b, 16, 300, 8);
  Put(b, 28, {0x01, 0x02});
  size_t at = 30;
  for (const Bytes& kind : streamKinds) {
    Put(b, at, kStreamProperties);
    Put(b, at + 24, kind);
    at += 80;
  }
  Put(b, 300, kData);
  Le(b, 316, dataSize, 8);
  return b;
}

TEST(RawStreams, AsfObjectsAreWalkedInSixtyFourBitsAndTypedByTheirStreams) {
  FileASFAnalyser asf;
  // A film: header, data, simple index, then foreign bytes.
  Bytes film = Asf(1000, {kVideo, kAudio});
  Put(film, 1300, kSimpleIndex);
  Le(film, 1316, 100, 8);
  const Sized s = Carve(asf, film, 0, true);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, 1400u);
  EXPECT_EQ(s.info.m_type, RAW_TYPE_WMV);
  // Data beyond 4 GiB; a command stream makes video no film.
  const Sized big = Carve(asf, Asf(0x100000000ull + 7, {kVideo, kCommand, kAudio}));
  EXPECT_EQ(big.info.m_size, 300u + 0x100000000ull + 7);
  EXPECT_EQ(big.info.m_type, RAW_TYPE_WMA);
  // Sizes no film has (beyond 400 GiB, up to wrapping) come from damage:
  // such a stream is carved as 4 GiB.
  for (uint64_t damaged : {0x6400000000ull, 0xFFFFFFFFFFFFFFF0ull}) {
    const Sized cut = Carve(asf, Asf(damaged, {kAudio}));
    ASSERT_EQ(cut.answer, 1u) << damaged;
    EXPECT_EQ(cut.info.m_size, 0x100000000ull) << damaged;
  }
  // No data object behind the header: nothing to carve.
  Bytes headless = Asf(1000, {kAudio});
  headless[300] ^= 0xFF;
  EXPECT_EQ(Carve(asf, headless).answer, 0u);
}

const Bytes kFileProperties{0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                            0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};

// A sound file as ASF lays one out: file and stream properties (stream 1),
// two data packets of 64 bytes, each one payload of stream 1 and ten bytes
// of padding, and a simple index naming them.
Bytes AsfSound() {
  Bytes b;
  Put(b, 0, kHeader);
  Le(b, 16, 212, 8);
  Le(b, 24, 2, 4);
  Put(b, 28, {0x01, 0x02});
  Put(b, 30, kFileProperties);
  Le(b, 30 + 16, 104, 8);
  Le(b, 30 + 56, 2, 8);   // packets
  Le(b, 30 + 92, 64, 4);  // their least
  Le(b, 30 + 96, 64, 4);  // and largest length
  Put(b, 134, kStreamProperties);
  Le(b, 134 + 16, 78, 8);
  Put(b, 134 + 24, kAudio);
  Le(b, 134 + 72, 1, 2);  // stream 1
  Put(b, 212, kData);
  Le(b, 212 + 16, 50 + 2 * 64, 8);
  Le(b, 212 + 40, 2, 8);
  for (size_t packet = 0; packet < 2; ++packet) {
    const size_t at = 262 + 64 * packet;
    // Error correction data, a byte of padding length, the properties of
    // one payload: stream, object, offset, eight bytes replicated.
    Put(b, at, {0x82, 0, 0, 0x08, 0x5D, 10});
    Put(b, at + 12, {0x81, uint8_t(packet), 0, 0, 0, 0, 8});
    Put(b, at + 27, Bytes(27, 0x33));
    Put(b, at + 54, Bytes(10, 0));
  }
  Put(b, 390, kSimpleIndex);
  Le(b, 390 + 16, 56 + 12, 8);
  Le(b, 390 + 52, 2, 4);
  Put(b, 390 + 56, {0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0});
  return b;
}

TEST(RawStreams, AsfPacketsAndIndexesHoldToTheHeader) {
  FileASFAnalyser asf;
  Bytes sound = AsfSound();
  Le(sound, 30 + 40, sound.size(), 8);  // the file's length, in its properties
  EXPECT_FALSE(Carve(asf, sound, 0, true).info.m_endUnknown);
  EXPECT_EQ(Carve(asf, sound).info.m_size, sound.size());
  // Its simple index, last, names its packets.
  EXPECT_EQ(Carve(asf, sound).info.ProvenBytes(), sound.size());
  const struct {
    const char* what;
    size_t at;
    Bytes bytes;
  } damages[] = {
      {"an index entry past the packets", 390 + 56 + 6, {5}},
      {"other bytes in a packet's padding", 262 + 64 + 60, {0x5A}},
      {"a payload of a stream the header has not", 262 + 64 + 12, {0x83}},
      {"a file length other than the walk's", 30 + 40, {0x99}},
      {"more packets than the data object holds", 212 + 44, {1}},
  };
  for (const auto& d : damages) {
    Bytes file = sound;
    Put(file, d.at, d.bytes);
    const Sized s = Carve(asf, file);
    ASSERT_EQ(s.answer, 1u) << d.what;
    EXPECT_TRUE(s.info.m_endUnknown) << d.what;
  }
}

// An MPEG-1 pack with the clock at `clock` (in 256ths of the stream's
// first), then a packet of `payload` bytes.
void Pack(Bytes& b, int clock, size_t payload) {
  const size_t at = b.size();
  Put(b, at, {0, 0, 1, 0xBA, 0x21, 0x00, 0x01, uint8_t(clock), 0x01, 0x80, 0x00, 0x01});
  Put(b, at + 12, {0, 0, 1, 0xE0, uint8_t(payload >> 8), uint8_t(payload)});
  b.resize(at + 18 + payload, 0x55);
}

TEST(RawStreams, MpegStreamsEndWhereTheClockGoesBackAndAreNotCarvedTwice) {
  FileMPGAnalyser mpg;
  Bytes two;
  for (int i = 0; i < 4; ++i) Pack(two, 2 * i, 1006);  // 1,024-byte packs
  const size_t first = two.size();
  for (int i = 0; i < 4; ++i) Pack(two, 2 * i, 1006);
  const Sized s = Carve(mpg, two, 0, true);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, first);
  // A pack inside it that looks like a stream's first is no stream of its
  // own; the one behind it is.
  Bytes inside = two;
  inside[2048 + 7] = 0;
  EXPECT_EQ(Carve(mpg, inside, 4).answer, 0u);
  EXPECT_EQ(Carve(mpg, two, first / 512).info.m_size, first);
  // The program end code ends it; garbage right after a system header is
  // no stream.
  Bytes ended;
  Pack(ended, 0, 100);
  Put(ended, ended.size(), {0, 0, 1, 0xB9});
  const size_t end = ended.size();
  Pack(ended, 1, 100);
  FileMPGAnalyser fresh;
  EXPECT_EQ(Carve(fresh, ended).info.m_size, end);
  Bytes system;
  Pack(system, 0, 100);
  Put(system, 12, {0, 0, 1, 0xBB, 0, 6, 1, 2, 3, 4, 5, 6, 0x77, 0x77});
  FileMPGAnalyser another;
  EXPECT_EQ(Carve(another, system, 0, true).answer, 0u);
}

TEST(RawStreams, RealMediaDataEndsWhereItsPacketsEnd) {
  FileRM_RMVBAnalyser rm;
  Bytes b;
  Put(b, 0, {'.', 'R', 'M', 'F', 0, 0, 0, 18, 0, 0});
  Put(b, 18, {'M', 'D', 'P', 'R'});
  Be(b, 22, 60, 4);
  Put(b, 40, {'V', 'i', 'd', 'e', 'o', ' ', 'S', 't', 'r', 'e', 'a', 'm'});
  Put(b, 78, {'D', 'A', 'T', 'A'});
  // The chunk claims 18 bytes more than its header and three packets hold.
  Be(b, 82, 18 + 300 + 18, 4);
  Be(b, 88, 3, 4);
  for (size_t p = 96; p < 396; p += 100) Be(b, p + 2, 100, 2);
  b.resize(396 + 8, 0);  // the close record of a file without an index
  const Sized s = Carve(rm, b, 0, true);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, 404u);
  EXPECT_EQ(s.info.m_type, RAW_TYPE_RMVB);
  // With the right length and an index behind it, no close record.
  Be(b, 82, 18 + 300, 4);
  Put(b, 396, {'I', 'N', 'D', 'X'});
  Be(b, 400, 20, 4);
  b.resize(416, 0x66);
  EXPECT_EQ(Carve(rm, b, 0, true).info.m_size, 416u);
}

// Published RealMedia files, a film and a song: they close with their data
// and an empty record, with no index chunk to search for at their end, and
// the chunk walk ends them where the files end.
TEST(RawStreams, PublishedRealMediaFilesEndWhereTheirChunksEnd) {
  const std::pair<const char*, uint32_t> samples[] = {{"rm/fixture-realmedia-video.rm", RAW_TYPE_RMVB},
                                                      {"rm/fixture-realmedia-audio.rm", RAW_TYPE_RM}};
  for (const auto& [name, type] : samples) {
    std::ifstream in(testsupport::SharedFixturesDir() / "carve" / name, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), {});
    REQUIRE_OR_SKIP(!file.empty(), "no RealMedia samples in the shared fixtures folder");
    const std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
    EXPECT_EQ(text.find("INDX"), std::string_view::npos) << name;
    FileRM_RMVBAnalyser rm;
    const Sized s = Carve(rm, file, 0, true);
    ASSERT_EQ(s.answer, 1u) << name;
    EXPECT_EQ(s.info.m_size, file.size()) << name;
    EXPECT_EQ(s.info.m_type, type) << name;
  }
}

Bytes ApeTag(uint32_t items) {
  Bytes t(32 + items + 32, 0x41);
  for (size_t at : {size_t{0}, size_t{32 + items}}) {
    Put(t, at, {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0});
    Le(t, at + 12, items + 32, 4);
    Le(t, at + 16, 1, 4);
    Le(t, at + 20, at == 0 ? 0xA0000000u : 0x80000000u, 4);
    Le(t, at + 24, 0, 8);
  }
  return t;
}

TEST(RawStreams, ApeStreamsEndAtTheirTagsAndNeverWrap) {
  CFileAPEAnalyser ape;
  Bytes b(5176, 0x33);
  Put(b, 0, {'M', 'A', 'C', ' ', 0x96, 0x0F});
  for (const auto& [at, v] : {std::pair{8, 52}, {12, 24}, {16, 100}, {20, 0}, {24, 5000}, {28, 0}, {32, 0}})
    Le(b, at, v, 4);
  const Bytes tag = ApeTag(40);
  Put(b, 5176, tag);
  Put(b, b.size(), {'T', 'A', 'G'});
  b.resize(b.size() + 125, 0x20);
  const Sized s = Carve(ape, b, 0, true);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_type, RAW_TYPE_APE);
  EXPECT_EQ(s.info.m_size, 5176u + tag.size() + 128);
  // Frame data of 2^63 bytes: held at the limit, not wrapped round.
  Le(b, 24, 0, 4);
  Le(b, 28, 0x80000000u, 4);
  EXPECT_EQ(Carve(ape, b).info.m_size, 0x104000000ull);
  Le(b, 24, 0xFFFFFFFFu, 4);
  Le(b, 28, 0xFFFFFFFFu, 4);
  EXPECT_EQ(Carve(ape, b).info.m_size, 0x104000000ull);
  // An old stream: its seek table's last entry, then the first zero word;
  // in random bytes no end is looked for further than a frame can be long.
  Bytes old;
  Put(old, 0, {'M', 'A', 'C', ' ', 0x82, 0x0F, 0xD0, 0x07, 0, 0, 2, 0, 0x44, 0xAC, 0, 0});
  Put(old, 40, {'R', 'I', 'F', 'F'});
  for (const auto& [at, v] : {std::pair{84, 100}, {88, 200}, {92, 300}, {96, 400}}) Le(old, at, v, 4);
  old.resize(400, 0x10);
  old.resize(600, 0x11);
  EXPECT_EQ(Carve(ape, old).info.m_size, 600u);
  EXPECT_EQ(Carve(ape, old, 0, true, 2 << 20).info.m_size, 400u);
}

// An uncompressed SWF: its header, a 1-byte frame rectangle, frame rate and
// count, a short tag, a tag with the long length form, the end tag.
Bytes Swf() {
  Bytes b{'F', 'W', 'S', 10, 0, 0, 0, 0, 0x00, 0x00, 0x18, 0x01, 0x00};
  Put(b, b.size(), {0x43, 0x02, 1, 2, 3});     // tag 9, 3 bytes
  Put(b, b.size(), {0xBF, 0x00, 5, 0, 0, 0});  // tag 2, long form, 5 bytes
  b.resize(b.size() + 5, 0x77);
  Put(b, b.size(), {0x00, 0x00});
  Le(b, 4, b.size(), 4);
  return b;
}

TEST(RawStreams, SwfFilesEndWhereTheirTagsOrTheirZlibStreamEnd) {
  FileSWFAnalyser swf;
  const Bytes plain = Swf();
  const Sized s = Carve(swf, plain, 0, true);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, plain.size());
  EXPECT_TRUE(s.info.m_whole);
  Bytes longer = plain;
  Le(longer, 4, plain.size() + 1, 4);  // the end tag is not where the header says
  EXPECT_EQ(Carve(swf, longer).answer, 0u);
  // Compressed: the header keeps the uncompressed length.
  Bytes packed(plain.begin(), plain.begin() + 8);
  packed[0] = 'C';
  uLongf n = compressBound(plain.size());
  Bytes z(n);
  ASSERT_EQ(compress2(z.data(), &n, plain.data() + 8, plain.size() - 8, 9), Z_OK);
  packed.insert(packed.end(), z.begin(), z.begin() + static_cast<long>(n));
  const Sized c = Carve(swf, packed, 0, true);
  ASSERT_EQ(c.answer, 1u);
  EXPECT_EQ(c.info.m_size, packed.size());
  Bytes cut(packed.begin(), packed.end() - 6);  // no stream end, no Adler-32
  EXPECT_EQ(Carve(swf, cut, 0, true).answer, 0u);
}

TEST(RawStreams, HeaderSizedTypesWantMoreThanTheirSignature) {
  // Signatures found in random bytes (their sizes would be taken as they
  // stand): a version no player knows, an AU header of no encoding, an AIFF
  // form of neither kind.
  Bytes swf{'F', 'W', 'S', 0x6D, 0x6E, 0x4F, 0x71, 0xE4};
  swf.resize(512, 0x5A);
  CRawFileInfo info;
  EXPECT_EQ(FileSWFAnalyser().AnalyseBuffer(swf.data(), info), 0u);
  Bytes au{'.', 's', 'n', 'd', 0, 0, 0, 24, 0, 0, 0x10, 0, 0, 0, 0, 3, 0, 0, 0xAC, 0x44, 0, 0, 0, 2};
  au.resize(512, 0);
  FileAUAnalyser sound;
  EXPECT_EQ(sound.AnalyseBuffer(au.data(), info), 1u);
  EXPECT_EQ(info.m_size, 24u + 0x1000);
  au[15] = 0;
  EXPECT_EQ(sound.AnalyseBuffer(au.data(), info), 0u);
  Bytes aiff{'F', 'O', 'R', 'M', 0, 0, 0x10, 0, 'A', 'I', 'F', 'X'};
  aiff.resize(512, 0);
  EXPECT_EQ(CFileAIFAnalyzer().AnalyseBuffer(aiff.data(), info), 0u);
}

}  // namespace
