// The MP3 analyser on hand-made streams: frame header tables, ID3 sizes and
// text, the ends a walk accepts and refuses, and the memory that keeps the
// frames of one file from becoming files of their own. Then the containers'
// header tests and walks where their sizes are widest or missing.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "RawSizing.h"
#include "raw/AVAnalysers.h"
#include "raw/FileMP3Analyser.h"
#include "raw/RawFileBuffer.h"
#include "support/BytesDevice.h"

namespace {

using Bytes = std::vector<uint8_t>;

// MPEG-1 layer III, 128 kbit/s, 44.1 kHz, no padding: 417-byte frames.
constexpr uint8_t kFrame[4] = {0xFF, 0xFB, 0x90, 0x00};

void Frames(Bytes& out, size_t at, int count) {
  for (int i = 0; i < count; ++i) {
    if (out.size() < at + 417) out.resize(at + 417, 0x11);
    std::fill(out.begin() + at, out.begin() + at + 417, 0x11);
    std::memcpy(out.data() + at, kFrame, 4);
    at += 417;
  }
}

Bytes Id3(uint8_t major, const std::vector<std::pair<const char*, Bytes>>& frames) {
  Bytes body;
  for (const auto& [id, data] : frames) {
    body.insert(body.end(), id, id + 4);
    const uint32_t n = static_cast<uint32_t>(data.size());
    if (major == 4)
      body.insert(body.end(),
                  {uint8_t(n >> 21 & 0x7F), uint8_t(n >> 14 & 0x7F), uint8_t(n >> 7 & 0x7F), uint8_t(n & 0x7F)});
    else
      body.insert(body.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    body.insert(body.end(), {0, 0});
    body.insert(body.end(), data.begin(), data.end());
  }
  const uint32_t n = static_cast<uint32_t>(body.size());
  Bytes tag{'I',
            'D',
            '3',
            major,
            0,
            0,
            uint8_t(n >> 21 & 0x7F),
            uint8_t(n >> 14 & 0x7F),
            uint8_t(n >> 7 & 0x7F),
            uint8_t(n & 0x7F)};
  tag.insert(tag.end(), body.begin(), body.end());
  return tag;
}

Bytes Text(uint8_t encoding, const std::string& s) {
  Bytes out(s.size() + 1, encoding);
  std::copy(s.begin(), s.end(), out.begin() + 1);
  return out;
}

struct Sized {
  uint32_t answer;
  CRawFileInfo info;
};

Sized Size(FileMP3Analyser& mp3, Bytes disk, uint64_t startSector = 0) {
  disk.resize((disk.size() + 511) / 512 * 512 + 4096, 0);
  testsupport::BytesDevice device(disk.data(), disk.size());
  Sized out{};
  out.info.m_startSector = startSector;
  out.answer = mp3.GetRawFileSize(out.info, &device);
  return out;
}

TEST(RawMp3, FrameHeadersFollowTheMpegTables) {
  CMPAHeader h;
  ASSERT_TRUE(h.Init(kFrame));
  EXPECT_EQ(h.CalcFrameSize(), 417u);
  const uint8_t padded[4] = {0xFF, 0xFB, 0x92, 0x00};
  ASSERT_TRUE(h.Init(padded));
  EXPECT_EQ(h.CalcFrameSize(), 418u);
  const uint8_t mpeg2[4] = {0xFF, 0xF3, 0x80, 0xC0};  // layer III, 64 kbit/s, 22.05 kHz: 72 x 64000 / 22050
  ASSERT_TRUE(h.Init(mpeg2));
  EXPECT_EQ(h.m_samplesPerFrame, 576u);
  EXPECT_EQ(h.CalcFrameSize(), 208u);
  const uint8_t layer1[4] = {0xFF, 0xFF, 0x10, 0x00};  // 32 kbit/s, 44.1 kHz: (12 x 32000 / 44100) x 4
  ASSERT_TRUE(h.Init(layer1));
  EXPECT_EQ(h.CalcFrameSize(), 32u);
  const uint8_t monoLayer2High[4] = {0xFF, 0xFD, 0xB0, 0xC0};  // 224 kbit/s mono: not allowed
  EXPECT_FALSE(h.Init(monoLayer2High));
  const uint8_t stereoLayer2Low[4] = {0xFF, 0xFD, 0x10, 0x00};  // 32 kbit/s stereo: not allowed
  EXPECT_FALSE(h.Init(stereoLayer2Low));
  for (const auto& bad : {Bytes{0xFF, 0xEB, 0x90, 0}, Bytes{0xFF, 0xF9, 0x90, 0}, Bytes{0xFF, 0xFB, 0xF0, 0},
                          Bytes{0xFF, 0xFB, 0x00, 0}, Bytes{0xFF, 0xFB, 0x9C, 0}, Bytes{0xFF, 0xFB, 0x90, 2}})
    EXPECT_FALSE(h.Init(bad.data()));
}

TEST(RawMp3, TagTextIsConvertedAndBounded) {
  EXPECT_EQ(SynchsafeSize(Bytes{0, 0, 2, 1}.data()), 257);
  EXPECT_EQ(SynchsafeSize(Bytes{0, 0x80, 0, 0}.data()), -1);
  const Bytes latin = Text(0, "Caf\xE9");
  EXPECT_EQ(GetTagValue(latin.data(), latin.size()), "Caf\xC3\xA9");
  const Bytes utf16{1, 0xFF, 0xFE, 'H', 0, 'i', 0, 0, 0};
  EXPECT_EQ(GetTagValue(utf16.data(), utf16.size()), "Hi");
  const Bytes noMark{1, 'H', 0, 'i', 0};
  EXPECT_EQ(GetTagValue(noMark.data(), noMark.size()), "");
  const Bytes latinOnly = Text(2, "x");
  EXPECT_EQ(GetTagValue(latinOnly.data(), latinOnly.size()), "");
  const Bytes longText = Text(3, std::string(5000, 'a'));
  EXPECT_EQ(GetTagValue(longText.data(), longText.size()).size(), 1023u);
}

TEST(RawMp3, Id3TaggedStreamEndsAtItsId3v1TagAndIsNamed) {
  FileMP3Analyser mp3;
  Bytes file = Id3(4, {{"TIT2", Text(3, "Song")}, {"TPE1", Text(0, "A/B")}, {"TYER", Text(3, "1999")}});
  const size_t audio = file.size();
  Frames(file, audio, 30);
  Bytes tag(128, 0);
  std::memcpy(tag.data(), "TAG", 3);
  file.insert(file.end(), tag.begin(), tag.end());
  unsigned char sector[512] = {};
  std::memcpy(sector, file.data(), 512);
  CRawFileInfo seen;
  EXPECT_EQ(mp3.AnalyseBuffer(sector, seen), 1u);
  const Sized s = Size(mp3, file);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, file.size());  // the rest of the tag's sector is zero
  EXPECT_EQ(s.info.m_namePrefix, "Song_A_B");
  EXPECT_EQ(s.info.m_timeText, "1999");
  EXPECT_EQ(mp3.GetTag(), RAW_FILE_TAG_ARTIST);
}

TEST(RawMp3, TagsAloneAndTagsInsideAudioAreNoEnds) {
  FileMP3Analyser mp3;
  // No audio within reach of the tag: no file.
  Bytes lonely = Id3(3, {{"TIT2", Text(3, "x")}});
  lonely.resize(lonely.size() + 70000, 0x22);
  EXPECT_EQ(Size(mp3, lonely).answer, 0u);
  // "TAG" in the middle of a sector, not straight after a frame, with audio
  // behind it is passed over.
  Bytes file = Id3(3, {});
  Frames(file, file.size(), 5);
  file.insert(file.end(), 7, 0x44);
  const size_t fake = file.size();
  Bytes tag(128, 0x33);
  std::memcpy(tag.data(), "TAG", 3);
  file.insert(file.end(), tag.begin(), tag.end());
  Frames(file, file.size(), 5);
  const Sized s = Size(mp3, file);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_GT(s.info.m_size, fake + 128);
  EXPECT_EQ(s.info.m_size, file.size());
}

TEST(RawMp3, FrameWalkRefusesShortStreamsAndFramesOfTheLastFile) {
  FileMP3Analyser fresh;
  FileMP3Analyser mp3;
  Bytes shortStream;
  Frames(shortStream, 0, 20);  // 8,340 bytes
  EXPECT_EQ(Size(mp3, shortStream).answer, 0u);
  Bytes stream;
  Frames(stream, 0, 100);
  const Sized first = Size(mp3, stream);
  ASSERT_EQ(first.answer, 1u);
  EXPECT_EQ(first.info.m_size, 41700u);
  // Frames at sector 10, inside the accepted file, are not a file of their
  // own; an analyser without that memory takes them.
  Bytes shifted(10 * 512, 0);
  Frames(shifted, shifted.size(), 100);
  EXPECT_EQ(Size(mp3, shifted, 10).answer, 0u);
  EXPECT_EQ(Size(fresh, shifted, 10).answer, 1u);
}

// Frames of a 48 kHz stream: another stream than kFrame's.
void OtherFrames(Bytes& out, size_t at, int count) {
  for (int i = 0; i < count; ++i) {
    if (out.size() < at + 384) out.resize(at + 384, 0x11);
    const uint8_t other[4] = {0xFF, 0xFB, 0x94, 0x00};  // 128 kbit/s at 48 kHz: 384 bytes
    std::memcpy(out.data() + at, other, 4);
    at += 384;
  }
}

TEST(RawMp3, AStreamEndsAtItsLastFrameAmongForeignBytes) {
  FileMP3Analyser mp3;
  Bytes file = Id3(3, {{"TIT2", Text(3, "x")}});
  Frames(file, file.size(), 30);
  const size_t end = file.size();
  // Straight behind it, frames of another stream; then a lone header of
  // this stream that no chain follows.
  OtherFrames(file, end, 6);
  file.resize(end + 6 * 384 + 900, 0x33);
  std::memcpy(file.data() + end + 6 * 384 + 100, kFrame, 4);
  const Sized s = Size(mp3, file);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, end);
  EXPECT_TRUE(s.info.m_whole);
}

TEST(RawMp3, AConfirmedChainCarriesTheStreamAcrossAGapButNotIntoTheNextFile) {
  FileMP3Analyser mp3;
  Bytes file = Id3(3, {});
  Frames(file, file.size(), 10);
  file.resize(file.size() + 7, 0x44);
  Frames(file, file.size(), 10);
  EXPECT_EQ(Size(mp3, file).info.m_size, file.size());
  // A chain that begins a sector of its own is the next file.
  Bytes two = Id3(3, {});
  Frames(two, two.size(), 10);
  const size_t first = two.size();
  two.resize((first + 511) / 512 * 512, 0x44);
  Frames(two, two.size(), 10);
  EXPECT_EQ(Size(mp3, two).info.m_size, first);
  // So is a frame that carries a VBR header, even straight behind.
  Bytes info = Id3(3, {});
  Frames(info, info.size(), 10);
  const size_t before = info.size();
  Frames(info, before, 10);
  std::memcpy(info.data() + before + 36, "Info", 4);
  EXPECT_EQ(Size(mp3, info).info.m_size, before);
}

TEST(RawMp3, OnlyTagsStraightAfterTheLastFrameBelongToTheFile) {
  FileMP3Analyser mp3;
  // An APE tag with its header (32 bytes), 20 bytes of items and its
  // footer, then an ID3v1 tag.
  Bytes file;
  Frames(file, 0, 30);
  Bytes ape(32 + 20 + 32, 0x55);
  for (size_t at : {size_t{0}, size_t{52}}) {
    std::memcpy(ape.data() + at, "APETAGEX", 8);
    const uint8_t fields[16] = {0xD0, 0x07, 0, 0, 52, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, uint8_t(at == 0 ? 0xA0 : 0x80)};
    std::memcpy(ape.data() + at + 8, fields, 16);
  }
  file.insert(file.end(), ape.begin(), ape.end());
  Bytes tag(128, 0x20);
  std::memcpy(tag.data(), "TAG", 3);
  file.insert(file.end(), tag.begin(), tag.end());
  const Sized tagged = Size(mp3, file);
  ASSERT_EQ(tagged.answer, 1u);
  EXPECT_EQ(tagged.info.m_size, file.size());
  // An ID3v1 tag behind a few foreign bytes is someone else's.
  FileMP3Analyser fresh;
  Bytes gap;
  Frames(gap, 0, 30);
  const size_t frames = gap.size();
  gap.resize(frames + 5, 0x44);
  gap.insert(gap.end(), tag.begin(), tag.end());
  EXPECT_EQ(Size(fresh, gap).info.m_size, frames);
}

TEST(RawMp3, XingByteCountSizesTheFileWithItsTag) {
  FileMP3Analyser mp3;
  Bytes file;
  Frames(file, 0, 40);
  file[2] = 0xB0;  // 192 kbit/s: the first frame is the Info frame
  std::memcpy(file.data() + 36, "Info", 4);
  file[43] = 0x0F;
  const uint32_t bytes = 40 * 417 + 100;
  file[48] = 0, file[49] = 0, file[50] = uint8_t(bytes >> 8), file[51] = uint8_t(bytes);
  file.resize(bytes, 0);
  file.insert(file.end(), {'T', 'A', 'G'});
  const Sized s = Size(mp3, file);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, bytes + 128u);
}

// Sector 0 of `disk` through the analyser, then its sizing over `disk`.
Sized Carve(IRawFileAnalyser& analyser, Bytes disk) {
  disk.resize((disk.size() + 511) / 512 * 512 + 1024, 0);
  testsupport::BytesDevice device(disk.data(), disk.size());
  Sized out{};
  out.answer = analyser.AnalyseBuffer(disk.data(), out.info);
  if (out.answer != 0) out.answer = analyser.GetRawFileSize(out.info, &device);
  return out;
}

void Put(Bytes& b, size_t at, const char* text) { std::memcpy(b.data() + at, text, std::strlen(text)); }
void Be32At(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (24 - 8 * i));
}

TEST(RawContainers, RiffIsTypedByFormAndSizedExactly) {
  FileRIFFAnalyser riff;
  Bytes wav(1008, 0);
  Put(wav, 0, "RIFF");
  wav[4] = 0xE0, wav[5] = 0x03;  // 992 + 8 bytes
  Put(wav, 8, "wave");
  Put(wav, 12, "FMT ");
  const Sized s = Carve(riff, wav);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_type, RAW_TYPE_WAV);
  EXPECT_EQ(s.info.m_size, 1000u);
  Bytes huge = wav;
  huge[4] = huge[5] = huge[6] = huge[7] = 0xFF;  // no wrap past 4 GiB
  EXPECT_GT(Carve(riff, huge).info.m_size, 0xFFFFFFFFull);
}

TEST(RawContainers, BrandsPickTheAnalyser) {
  File3GPAnalyser gp;
  FileMP4Analyser mp4;
  FileMOVAnalyser mov;
  Bytes box(512, 0);
  Put(box, 4, "ftyp3gp5");
  CRawFileInfo info;
  EXPECT_EQ(gp.AnalyseBuffer(box.data(), info), 1u);
  EXPECT_EQ(mov.AnalyseBuffer(box.data(), info), 0u);
  Put(box, 4, "ftypM4A ");
  EXPECT_EQ(mp4.AnalyseBuffer(box.data(), info), 1u);
  EXPECT_EQ(info.m_type, RAW_TYPE_M4A);
  EXPECT_EQ(mov.AnalyseBuffer(box.data(), info), 0u);
  Put(box, 4, "ftypqt  ");
  EXPECT_EQ(mov.AnalyseBuffer(box.data(), info), 1u);
  // The MP4 and 3GP brands are taken in any case of ASCII letters, and only
  // those: a box type one letter off is no file-type box.
  Put(box, 4, "FTYPIsoM");
  EXPECT_EQ(mp4.AnalyseBuffer(box.data(), info), 1u);
  EXPECT_EQ(info.m_type, RAW_TYPE_MP4);
  Put(box, 4, "fTyP3GP4");
  EXPECT_EQ(gp.AnalyseBuffer(box.data(), info), 1u);
  for (const char* other : {"ftyqisom", "ftyp3gp6", "etypmp42", "ftyp\xC9som"}) {
    Put(box, 4, other);
    EXPECT_EQ(mp4.AnalyseBuffer(box.data(), info) + gp.AnalyseBuffer(box.data(), info), 0u) << other;
  }
}

TEST(RawContainers, MovWalkStepsOverSixtyFourBitAtoms) {
  FileMOVAnalyser mov;
  Bytes file(4096, 0);
  Be32At(file, 0, 20);
  Put(file, 4, "ftypqt  ");
  Be32At(file, 20, 1);  // size in the 64-bit field behind the type
  Put(file, 24, "mdat");
  file[28 + 6] = 0x02;  // 512 bytes
  Be32At(file, 532, 40);
  Put(file, 536, "moov");
  const Sized s = Carve(mov, file);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, 572u);
  file[28 + 6] = 0;  // an atom shorter than its header ends the walk
  EXPECT_EQ(Carve(mov, file).info.m_size, 20u);
}

TEST(RawContainers, MatroskaSizeFieldsAreDecodedWhole) {
  FileMKVAnalyser mkv;
  Bytes file(512, 0);
  const uint8_t head[] = {0x1A, 0x45, 0xDF, 0xA3, 0x84, 1, 2, 3, 4, 0x18, 0x53, 0x80, 0x67};
  std::memcpy(file.data(), head, sizeof head);
  const uint8_t eight[] = {0x01, 0, 0, 0x01, 0, 0, 0, 0x10};  // 8-byte field, above 4 GiB
  std::memcpy(file.data() + 13, eight, 8);
  Sized s = Carve(mkv, file);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, 21 + 0x100000010ull);
  // Its elements do not meet that size: its end is not vouched for.
  EXPECT_TRUE(s.info.m_endUnknown);
  file[13] = 0x42, file[14] = 0x00;  // a 2-byte field
  s = Carve(mkv, file);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, 15u + 0x200);
  file[13] = 0x01;
  std::memset(file.data() + 14, 0xFF, 7);  // unknown size: the header cannot size it
  CRawFileInfo info;
  EXPECT_EQ(mkv.AnalyseBuffer(file.data(), info), 0u);
}

TEST(RawContainers, OggPagesAndFlvTagsAreWalkedToTheirEnd) {
  using rawsizing::OggPage;
  CFileOggAnalyser ogg;
  // Pages of 28 + 5 bytes: the checksum libogg's ogg_page_checksum_set
  // gives the second page of the stream as first laid out here.
  Bytes pages(512, 0);
  OggPage(pages, 0, 0, {5}, 0);
  OggPage(pages, 33, 0, {5}, 0);
  EXPECT_EQ(std::vector<uint8_t>(pages.begin() + 33 + 22, pages.begin() + 33 + 26),
            (std::vector<uint8_t>{0x8A, 0x4D, 0xDC, 0x1F}));
  // Opened and closed by pages that hold: the stream is whole.
  OggPage(pages, 0, 2, {5});
  OggPage(pages, 33, 4, {5});
  const Sized closed = Carve(ogg, pages);
  EXPECT_EQ(closed.info.m_size, 2u * 33);
  EXPECT_TRUE(closed.info.m_whole);
  EXPECT_FALSE(closed.info.m_endUnknown);
  // Cut inside its last page, which closes it: that page fails its
  // checksum, and the file ends before it, its end not known.
  pages[33 + 27 + 4] = 0x5A;
  const Sized cut = Carve(ogg, pages);
  EXPECT_EQ(cut.info.m_size, 33u);
  EXPECT_TRUE(cut.info.m_endUnknown);
  // A film: pictures and sound in streams of their own, the pictures'
  // closed, the sound's last page cut off. Still open: not whole.
  Bytes film(512, 0);
  OggPage(film, 0, 2, {5}, 1);
  OggPage(film, 33, 2, {5}, 2);
  OggPage(film, 66, 4, {5}, 1);
  OggPage(film, 99, 0, {5}, 2);
  const Sized open = Carve(ogg, film);
  EXPECT_EQ(open.info.m_size, 4u * 33);
  EXPECT_TRUE(open.info.m_endUnknown);
  OggPage(film, 99, 4, {5}, 2);
  EXPECT_FALSE(Carve(ogg, film).info.m_endUnknown);
  // Its first page cut: kept as long as it says, nothing of it proven.
  film[30] = 0x5A;
  const Sized first = Carve(ogg, film);
  EXPECT_EQ(first.info.m_size, 33u);
  EXPECT_FALSE(first.info.m_whole);
  EXPECT_TRUE(first.info.m_endUnknown);
  FileFLVAnalyser flv;
  Bytes tags(512, 0);
  Put(tags, 0, "FLV");
  tags[3] = 1, tags[4] = 1, tags[8] = 9;
  size_t p = 9;
  uint32_t previous = 0;
  for (int i = 0; i < 3; ++i) {
    Be32At(tags, p, previous);
    tags[p + 4] = 9;
    tags[p + 7] = 20;  // 20 data bytes
    previous = 31;
    p += 35;
  }
  Be32At(tags, p, previous);
  const Sized s = Carve(flv, tags);
  ASSERT_EQ(s.answer, 1u);
  EXPECT_EQ(s.info.m_size, p + 4);
  EXPECT_FALSE(s.info.m_endUnknown);
  EXPECT_EQ(s.info.ProvenBytes(), p + 4);
  // A last back-pointer that is not the last tag's length: not vouched for.
  Be32At(tags, p, previous + 1);
  EXPECT_TRUE(Carve(flv, tags).info.m_endUnknown);
}

TEST(RawMp3, AStreamThatFallsShortOfItsXingCountIsNotVouchedFor) {
  // Forty frames, the first carrying a Xing header with the stream's byte
  // count alone (no encoder's extension behind it).
  Bytes file;
  Frames(file, 0, 40);
  std::memcpy(file.data() + 36, "Xing", 4);
  file[43] = 0x02;
  auto count = [&](uint32_t bytes) {
    Bytes f = file;
    for (int i = 0; i < 4; ++i) f[44 + i] = uint8_t(bytes >> (24 - 8 * i));
    FileMP3Analyser mp3;  // one that remembers no file before
    const Sized s = Size(mp3, f);
    EXPECT_EQ(s.answer, 1u);
    return s;
  };
  EXPECT_FALSE(count(40 * 417).info.m_endUnknown);
  EXPECT_TRUE(count(41 * 417).info.m_endUnknown);
  EXPECT_TRUE(count(40 * 417 - 10).info.m_endUnknown);
}

TEST(RawContainers, MidiTracksCloseWithTheirEndEventAtTheirLength) {
  FileMIDAnalyser mid;
  auto file = [](const Bytes& events, uint8_t tracks = 1, uint32_t more = 0) {
    Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, tracks, 0, 96, 'M', 'T', 'r', 'k', 0, 0, 0, 0};
    Be32At(b, 18, static_cast<uint32_t>(events.size()) + more);
    b.insert(b.end(), events.begin(), events.end());
    return b;
  };
  // A note on, its note off by running status, the end of the track.
  const Bytes events = {0x00, 0x90, 0x3C, 0x40, 0x60, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00};
  const Sized whole = Carve(mid, file(events));
  EXPECT_EQ(whole.info.m_size, 22u + events.size());
  EXPECT_FALSE(whole.info.m_endUnknown);
  EXPECT_EQ(whole.info.ProvenBytes(), whole.info.m_size);
  const struct {
    const char* what;
    Bytes file;
  } damaged[] = {
      {"two tracks counted", file(events, 2)},
      {"a length past its events", file(events, 1, 40)},
      {"data bytes with no status before them", file({0x00, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x00})},
      {"a meta event longer than the track", file({0x00, 0xFF, 0x01, 0x8F, 0xFF, 0x7F, 0x00, 0xFF, 0x2F, 0x00})},
      {"a system message", file({0x00, 0xF1, 0x00, 0x00, 0xFF, 0x2F, 0x00})},
      {"no end event", file({0x00, 0x90, 0x3C, 0x40, 0x60, 0x3C, 0x00})},
  };
  for (const auto& d : damaged) {
    const Sized s = Carve(mid, d.file);
    ASSERT_EQ(s.answer, 1u) << d.what;
    EXPECT_TRUE(s.info.m_endUnknown) << d.what;
    EXPECT_EQ(s.info.ProvenBytes(), 0u) << d.what;
  }
}

// An EBML element: its identifier's bytes, a one-byte size, its data.
Bytes Ebml(const Bytes& id, const Bytes& data) {
  Bytes b = id;
  b.push_back(static_cast<uint8_t>(0x80 | data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& part : parts) b.insert(b.end(), part.begin(), part.end());
  return b;
}

// A Matroska file: its header, then a Segment of a seek head that names
// the Info element standing `seek` bytes into the Segment, and the Info
// element (behind a CRC-32 element when `crc` is set).
Bytes Matroska(uint8_t seek, bool crc = false, uint32_t sum = 0) {
  const Bytes scale = Ebml({0x2A, 0xD7, 0xB1}, {0x0F, 0x42, 0x40});
  Bytes info = scale;
  if (crc) info = Cat({Ebml({0xBF}, {uint8_t(sum), uint8_t(sum >> 8), uint8_t(sum >> 16), uint8_t(sum >> 24)}), scale});
  const Bytes entry = Cat({Ebml({0x53, 0xAB}, {0x15, 0x49, 0xA9, 0x66}), Ebml({0x53, 0xAC}, {seek})});
  const Bytes segment =
      Cat({Ebml({0x11, 0x4D, 0x9B, 0x74}, Ebml({0x4D, 0xBB}, entry)), Ebml({0x15, 0x49, 0xA9, 0x66}, info)});
  Bytes file = Cat({Ebml({0x1A, 0x45, 0xDF, 0xA3}, Cat({Ebml({0x42, 0x82}, {'w', 'e', 'b', 'm'})})),
                    {0x18, 0x53, 0x80, 0x67, 0x01, 0, 0, 0, 0, 0, 0, uint8_t(segment.size())},
                    segment});
  return file;
}

TEST(RawContainers, MatroskaElementsMeetTheirSegmentAndWhatNamesThem) {
  FileMKVAnalyser mkv;
  const Sized whole = Carve(mkv, Matroska(19));
  EXPECT_EQ(whole.info.m_size, Matroska(19).size());
  EXPECT_FALSE(whole.info.m_endUnknown);
  // Up to the last element's data, which nothing behind them checks.
  EXPECT_EQ(whole.info.ProvenBytes(), whole.info.m_size - 3);
  // The seek head names a place where no Info element stands.
  EXPECT_TRUE(Carve(mkv, Matroska(18)).info.m_endUnknown);
  // A CRC-32 element over the Info element's other children: zlib's sum
  // holds, another does not.
  const Bytes scale = Ebml({0x2A, 0xD7, 0xB1}, {0x0F, 0x42, 0x40});
  const uint32_t sum = static_cast<uint32_t>(crc32(0, scale.data(), static_cast<uInt>(scale.size())));
  const Sized summed = Carve(mkv, Matroska(19, true, sum));
  EXPECT_FALSE(summed.info.m_endUnknown);
  EXPECT_EQ(summed.info.ProvenBytes(), summed.info.m_size);
  EXPECT_TRUE(Carve(mkv, Matroska(19, true, sum ^ 1)).info.m_endUnknown);
  // Cut inside the Info element: zeros where its last bytes were.
  Bytes cut = Matroska(19);
  std::fill(cut.end() - 4, cut.end(), 0);
  EXPECT_TRUE(Carve(mkv, cut).info.m_endUnknown);
  // A cluster of 2^24 empty Void elements, two bytes each: more elements
  // than any film holds are not walked, and the file is not vouched for.
  constexpr size_t kVoids = size_t{1} << 24;
  Bytes hostile = {0x1A, 0x45, 0xDF, 0xA3, 0x80, 0x18, 0x53, 0x80, 0x67, 0x01, 0, 0, 0, 0, 0, 0, 0};
  Be32At(hostile, 13, static_cast<uint32_t>(12 + 2 * kVoids));
  const uint8_t cluster[] = {0x1F, 0x43, 0xB6, 0x75, 0x01, 0, 0, 0, 0, 0, 0, 0};
  hostile.insert(hostile.end(), cluster, cluster + sizeof cluster);
  Be32At(hostile, hostile.size() - 4, static_cast<uint32_t>(2 * kVoids));
  hostile.resize(hostile.size() + 2 * kVoids, 0x80);
  for (size_t i = hostile.size() - 2 * kVoids; i < hostile.size(); i += 2) hostile[i] = 0xEC;
  const Sized bounded = Carve(mkv, hostile);
  EXPECT_EQ(bounded.info.m_size, hostile.size());
  EXPECT_TRUE(bounded.info.m_endUnknown);
}

void Le32At(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// A RIFF chunk: its identifier, its length, its data.
Bytes Chunk(const char* id, const Bytes& data) {
  Bytes b(8, 0);
  std::memcpy(b.data(), id, 4);
  Le32At(b, 4, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// An AVI whose "movi" list holds video chunks of 10, 20 and 10 bytes (at 4,
// 22 and 50 from the list's type), then, when `outside`, a chunk of 10
// bytes behind the list (at 68), and an old index whose entries name chunks
// of those lengths at `offsets`.
Bytes Avi(const std::vector<uint32_t>& offsets, bool outside = false) {
  const uint32_t lengths[] = {10, 20, 10};
  Bytes movi = {'m', 'o', 'v', 'i'};
  for (const uint32_t length : lengths) {
    const Bytes chunk = Chunk("00dc", Bytes(length, 0x3C));
    movi.insert(movi.end(), chunk.begin(), chunk.end());
  }
  Bytes index;
  for (size_t i = 0; i < offsets.size(); ++i) {
    Bytes entry = {'0', '0', 'd', 'c', 0x10, 0, 0, 0};
    entry.resize(16);
    Le32At(entry, 8, offsets[i]);
    Le32At(entry, 12, lengths[i % 3]);
    index.insert(index.end(), entry.begin(), entry.end());
  }
  return Chunk("RIFF", Cat({{'A', 'V', 'I', ' '},
                            Chunk("LIST", {'h', 'd', 'r', 'l'}),
                            Chunk("LIST", movi),
                            outside ? Chunk("00dc", Bytes(10, 0x3C)) : Bytes(),
                            Chunk("idx1", index)}));
}

TEST(RawContainers, AviIndexEntriesNameTheFilmsChunksInTheirOrder) {
  FileRIFFAnalyser riff;
  const Sized whole = Carve(riff, Avi({4, 22, 50}));
  EXPECT_EQ(whole.info.m_type, RAW_TYPE_AVI);
  EXPECT_EQ(whole.info.m_size, Avi({4, 22, 50}).size());
  EXPECT_FALSE(whole.info.m_endUnknown);
  // The index, last, names its chunks: every byte is the film's.
  EXPECT_EQ(whole.info.ProvenBytes(), whole.info.m_size);
  EXPECT_FALSE(Carve(riff, Avi({4, 22, 50}, true)).info.m_endUnknown);
  // Entries that leap back to a chunk of the same length, or name one
  // behind the "movi" list (where another file's would stand behind a film
  // cut short), are no index of this film.
  EXPECT_TRUE(Carve(riff, Avi({4, 22, 4})).info.m_endUnknown);
  EXPECT_TRUE(Carve(riff, Avi({4, 22, 50, 68}, true)).info.m_endUnknown);
}

// A box: its 32-bit size, its type, its contents.
Bytes Box(const char* type, const Bytes& contents) {
  Bytes b(8, 0);
  Be32At(b, 0, static_cast<uint32_t>(8 + contents.size()));
  std::memcpy(b.data() + 4, type, 4);
  b.insert(b.end(), contents.begin(), contents.end());
  return b;
}

// A film of the ISO family: its type box, 16 bytes of media data, and a
// movie box whose one chunk offset table holds `offsets` (`count` as its
// entry count).
Bytes IsoFilm(const std::vector<uint32_t>& offsets, uint32_t count) {
  Bytes table(8, 0);
  Be32At(table, 4, count);
  for (uint32_t offset : offsets) {
    table.resize(table.size() + 4);
    Be32At(table, table.size() - 4, offset);
  }
  const Bytes type = {'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm'};
  return Cat({Box("ftyp", type), Box("mdat", Bytes(16, 0x55)),
              Box("moov", Box("trak", Box("mdia", Box("minf", Box("stbl", Box("stco", table))))))});
}

TEST(RawContainers, IsoBoxesHoldInsideEachOtherAndPlaceChunksInTheMedia) {
  FileMP4Analyser mp4;
  const Bytes film = IsoFilm({28, 40}, 2);
  const Sized whole = Carve(mp4, film);
  EXPECT_EQ(whole.info.m_size, film.size());
  EXPECT_FALSE(whole.info.m_endUnknown);
  // Its movie box, last, walked to its chunk offsets' last entry.
  EXPECT_EQ(whole.info.ProvenBytes(), film.size());
  EXPECT_TRUE(Carve(mp4, IsoFilm({28, 44}, 2)).info.m_endUnknown);  // a chunk past the media
  EXPECT_TRUE(Carve(mp4, IsoFilm({28, 40}, 9)).info.m_endUnknown);  // more entries than the table holds
  // Media data in two boxes (their data at 28 and 60) with an empty box
  // between them: chunks in either box's data, none in the second one's
  // header (56) or the movie box (76).
  for (const uint32_t second : {60u, 75u, 56u, 76u}) {
    SCOPED_TRACE(second);
    Bytes table(8, 0);
    Be32At(table, 4, 2);
    table.resize(16);
    Be32At(table, 8, 28);
    Be32At(table, 12, second);
    const Bytes split = Cat({Box("ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm'}),
                             Box("mdat", Bytes(16, 0x55)), Box("free", Bytes(0)), Box("mdat", Bytes(16, 0x66)),
                             Box("moov", Box("trak", Box("mdia", Box("minf", Box("stbl", Box("stco", table))))))});
    EXPECT_EQ(Carve(mp4, split).info.m_endUnknown, second == 56 || second == 76);
  }
  // Cut inside the media data: no movie box behind it.
  Bytes cut = film;
  cut.resize(40);
  Be32At(cut, 20, 8 + 16 + 60);
  EXPECT_TRUE(Carve(mp4, cut).info.m_endUnknown);
  EXPECT_EQ(Carve(mp4, cut).info.ProvenBytes(), 28u);  // the media data's header
  // Movie boxes held inside each other far deeper than films nest them.
  Bytes deep = Box("stco", Bytes(8, 0));
  for (int i = 0; i < 300; ++i) deep = Box("moov", deep);
  const Sized nested = Carve(mp4, Cat({Box("ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0}), deep}));
  EXPECT_EQ(nested.answer, 1u);
}

}  // namespace
