// The drawing, font and database analysers on hand-made bytes: the tests of
// each signature, where each file's own structure ends it, and what hostile
// counts and sizes do. Files made by the real tools are carved in the rows
// (ArchiveRows.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "RawSizing.h"
#include "raw/DesignAnalysers.h"

namespace {

using rawsizing::Bytes;
using rawsizing::Disk;
using rawsizing::Size;

void PutBe16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
void PutBe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---- TrueType ----

// A table directory of `tables` records, the first `known` of them with
// tags of the font format, each table 10 bytes long.
Bytes Font(int tables, int known) {
  static const char* const kKnown[] = {"cmap", "glyf", "head", "hhea", "hmtx", "loca",
                                       "maxp", "name", "post", "OS/2", "prep", "gasp"};
  Bytes b(512, 0);
  PutBe32(b, 0, 0x00010000);
  PutBe16(b, 4, static_cast<uint16_t>(tables));
  for (int i = 0; i < tables; ++i) {
    std::memcpy(b.data() + 12 + 16 * i, i < known ? kKnown[i] : "zzzz", 4);
    PutBe32(b, 12 + 16 * i + 12, 10);
  }
  return b;
}

TEST(RawFont, HalfTheTagsMustBeKnownAndTheTablesGiveTheSize) {
  FileTTFAnalyser ttf;
  EXPECT_FALSE(Size(ttf, Font(12, 5)).matched);
  const auto sized = Size(ttf, Font(12, 6));
  ASSERT_TRUE(sized.matched);
  EXPECT_EQ(sized.size, 12u + 16 * 12 + 12 * 12);  // each table rounded up to 12
  EXPECT_FALSE(Size(ttf, Font(0, 0)).matched);
  EXPECT_FALSE(Size(ttf, Font(32, 32 > 12 ? 12 : 32)).matched);
}

// ---- SQLite ----

// A database of `pages` pages of 1024 bytes whose first bytes are `kinds`
// (page 1 is the header page), the header counting `count` pages.
Bytes Database(const std::string& kinds, uint32_t count, uint16_t pageField = 1024) {
  const size_t page = pageField == 1 ? 65536 : pageField;
  Bytes b(page * (kinds.size() + 1), 0);
  std::memcpy(b.data(), "SQLite format 3", 16);
  PutBe16(b, 16, pageField);
  PutBe32(b, 24, 9);
  PutBe32(b, 28, count);
  PutBe32(b, 92, 9);
  for (size_t i = 0; i < kinds.size(); ++i) {
    b[page * (i + 1)] = static_cast<uint8_t>(kinds[i]);
    b[page * (i + 1) + 7] = 0x40;  // something besides the first byte
  }
  return b;
}

TEST(RawSqlite, TheHeadersPageCountHoldsOverflowAndFreePages) {
  FileFCPEVENTAnalyser db;
  // A table page, seven overflow pages (first byte 0), a table page.
  const std::string kinds = std::string("\x0D") + std::string(7, '\0') + "\x0D";
  const Bytes file = Database(kinds, 10);
  const auto sized = Size(db, Disk(file, 8192, true));
  EXPECT_EQ(sized.size, file.size());
  EXPECT_TRUE(sized.whole);
  EXPECT_EQ(sized.type, RAW_TYPE_FCPEVENT);
  // Page size field 1 is 65536.
  EXPECT_EQ(Size(db, Disk(Database("\x0D", 2, 1), 512)).size, 2u * 65536);
}

TEST(RawSqlite, WithoutACountThePagesAreWalkedToTheSixthEmptyOne) {
  FileFCPEVENTAnalyser db;
  const std::string kinds = std::string("\x0D\x05\x02") + std::string(2, '\0') + "\x0A";
  const Bytes file = Database(kinds, 0);
  // Behind it, zeros: six empty pages end the walk, and are not counted.
  auto sized = Size(db, Disk(file, 16 * 1024));
  EXPECT_EQ(sized.size, file.size());
  EXPECT_FALSE(sized.whole);
  // Counters that disagree: the count is not trusted either.
  Bytes stale = Database(kinds, 99);
  PutBe32(stale, 92, 8);
  EXPECT_EQ(Size(db, Disk(stale, 16 * 1024)).size, stale.size());
  // A page of another kind ends it.
  Bytes other = Database(std::string("\x0D\x03\x0D"), 0);
  EXPECT_EQ(Size(db, Disk(other, 16 * 1024)).size, 2048u);
}

TEST(RawSqlite, PageSizesThatAreNoMultipleOf512AreRecognisedButNotSized) {
  FileFCPEVENTAnalyser db;
  Bytes odd = Database("\x0D", 2);
  PutBe16(odd, 16, 1000);
  const auto sized = Size(db, Disk(odd, 4096));
  EXPECT_TRUE(sized.matched);
  EXPECT_EQ(sized.answer, 0u);
  PutBe16(odd, 16, 0);
  EXPECT_EQ(Size(db, Disk(odd, 4096)).answer, 0u);
}

// ---- DWG ----

Bytes Dwg(const char* version, size_t size) {
  Bytes b(size, 0x3C);
  std::memcpy(b.data(), version, 6);
  b[6] = b[7] = 0;
  return b;
}

TEST(RawDwg, ReleasesOutsideTheCarvedOnesGiveNothing) {
  FileDWGAnalyser dwg;
  const auto r11 = Size(dwg, Disk(Dwg("AC1009", 2048), 4096));
  EXPECT_TRUE(r11.matched);
  EXPECT_EQ(r11.answer, 0u);
  EXPECT_FALSE(Size(dwg, Disk(Dwg("AC1032", 2048), 4096)).matched);
  Bytes loose = Dwg("AC1018", 2048);
  loose[7] = 1;
  EXPECT_FALSE(Size(dwg, Disk(loose, 4096)).matched);
}

TEST(RawDwg, LocatorsTheirFurthestSectionAndTheSecondHeaderBehindIt) {
  FileDWGAnalyser dwg;
  static const uint8_t kImage[16] = {0x1F, 0x25, 0x6D, 0x07, 0xD4, 0x36, 0x28, 0x28,
                                     0x9D, 0x57, 0xCA, 0x3F, 0x9D, 0x44, 0x10, 0x2B};
  Bytes file = Dwg("AC1015", 6000);
  PutLe32(file, 13, 200);
  PutLe32(file, 21, 3);
  const uint32_t sections[3][2] = {{1000, 500}, {4000, 800}, {2000, 100}};
  for (int i = 0; i < 3; ++i) {
    file[25 + 9 * i] = static_cast<uint8_t>(i);
    PutLe32(file, 25 + 9 * i + 1, sections[i][0]);
    PutLe32(file, 25 + 9 * i + 5, sections[i][1]);
  }
  std::memcpy(file.data() + 200, kImage, 16);
  EXPECT_EQ(Size(dwg, Disk(file, 4096, true)).size, 4800u);
  // A second header at 4800, its length, then its closing mark.
  static const uint8_t kOpen[16] = {0xD4, 0x7B, 0x21, 0xCE, 0x28, 0x93, 0x9F, 0xBF,
                                    0x53, 0x24, 0x40, 0x09, 0x12, 0x3C, 0xAA, 0x01};
  static const uint8_t kClose[16] = {0x2B, 0x84, 0xDE, 0x31, 0xD7, 0x6C, 0x60, 0x40,
                                     0xAC, 0xDB, 0xBF, 0xF6, 0xED, 0xC3, 0x55, 0xFE};
  std::memcpy(file.data() + 4800, kOpen, 16);
  PutLe32(file, 4816, 116);
  std::memcpy(file.data() + 4932, kClose, 16);
  EXPECT_EQ(Size(dwg, Disk(file, 4096, true)).size, 4948u);
  // Picture data without their mark, or more than 100 locators: nothing.
  Bytes noImage = file;
  noImage[200] = 0;
  EXPECT_EQ(Size(dwg, Disk(noImage, 4096)).answer, 0u);
  PutLe32(file, 21, 101);
  EXPECT_EQ(Size(dwg, Disk(file, 4096)).answer, 0u);
}

TEST(RawDwg, LaterReleasesEndWithTheCopyOfTheirHeaderInAnySector) {
  FileDWGAnalyser dwg;
  static const uint8_t kCopy[16] = {0x68, 0x40, 0xF8, 0xF7, 0x92, 0x2A, 0xB5, 0xEF,
                                    0x18, 0xDD, 0x0B, 0xF1, 0xF1, 0xBB, 0xE9, 0xEB};
  Bytes r2004 = Dwg("AC1018", 5000);
  std::memcpy(r2004.data() + 128, kCopy, 16);
  std::memcpy(r2004.data() + 5000 - 108, kCopy, 16);
  auto sized = Size(dwg, Disk(r2004, 8192, true));
  EXPECT_EQ(sized.size, 5000u);
  EXPECT_TRUE(sized.whole);
  Bytes unmarked = Dwg("AC1024", 5000);
  EXPECT_EQ(Size(dwg, Disk(unmarked, 4096)).answer, 0u);
  // AC1021: whatever the file holds at 128, copied 1024 bytes before its end.
  Bytes r2007 = Dwg("AC1021", 9000);
  for (int i = 0; i < 16; ++i) r2007[128 + i] = r2007[9000 - 1024 + i] = static_cast<uint8_t>(0xA0 + i);
  std::memset(r2007.data() + 4096 - 12, 0, 12);  // a sector ending in twelve zeros does not stop it
  sized = Size(dwg, Disk(r2007, 8192));
  EXPECT_EQ(sized.size, 9000u);
  // Without a copy: as far as the search got.
  Bytes uncopied = r2007;
  uncopied[9000 - 1024] = 0;
  const Bytes lost = Disk(uncopied, 8192, true);
  sized = Size(dwg, lost);
  EXPECT_EQ(sized.size, lost.size());
  EXPECT_FALSE(sized.whole);
}

// ---- DXF, FH11 ----

Bytes Dxf(const std::string& body) {
  const std::string text = "  0\r\nSECTION\r\n  2\r\nHEADER\r\n" + body;
  return Bytes(text.begin(), text.end());
}

TEST(RawDxf, TheDrawingEndsAtGroupCodeZeroAndEofWithItsLineEnd) {
  FileDXFAnalyser dxf;
  const Bytes file = Dxf("  9\r\n$ACADVER\r\n  1\r\nEOF\r\n  0\r\nENDSEC\r\n  0\r\nEOF\r\n");
  auto sized = Size(dxf, Disk(file, 4096, true));
  EXPECT_EQ(sized.size, file.size());
  EXPECT_TRUE(sized.whole);
  EXPECT_EQ(Size(dxf, Disk(file, 4096)).size, file.size());
  // Without that line, "EOF" and a line end in a zero-tailed sector.
  const Bytes bare = Dxf("  9\r\n$ACADVER\r\nEOF\r\n");
  EXPECT_EQ(Size(dxf, Disk(bare, 4096)).size, bare.size());
  Bytes lf = Dxf("");
  lf[4] = ' ';
  EXPECT_FALSE(Size(dxf, lf).matched);
}

TEST(RawFh11, SizedFromItsClosingTextPlusNine) {
  FileFH11Analyser fh;
  static const uint8_t kHead[16] = {0x1C, 0x01, 0x00, 0x00, 0x02, 0x00, 0x04, 0x1C,
                                    0x01, 0x14, 0x00, 0x02, 0x00, 0x14, 0x1C, 0x01};
  Bytes file(1500, 0x21);
  std::memcpy(file.data(), kHead, sizeof kHead);
  file[34] = file[35] = '1';
  static const uint8_t kEnd[11] = {'D', 'e', 'c', 'o', 'd', 'e', 0, 0xFF, 0xFF, 0xFF, 0xFF};
  std::memcpy(file.data() + 1300, kEnd, sizeof kEnd);
  std::memset(file.data() + 1320, 0, 180);
  const auto sized = Size(fh, Disk(file, 4096));
  EXPECT_EQ(sized.size, 1300u + 11 + 9);
  file[35] = '0';
  EXPECT_FALSE(Size(fh, Disk(file, 4096)).matched);
}

// ---- 3DS ----

TEST(RawScene, TheMainChunkSizesTheSceneWithOrWithoutAVersionChunk) {
  File3DSAnalyser scene;
  Bytes versioned(512, 0);
  versioned[0] = versioned[1] = 0x4D;
  PutLe32(versioned, 2, 5009);
  versioned[6] = 0x02;
  PutLe32(versioned, 8, 10);
  versioned[16] = versioned[17] = 0x3D;
  PutLe32(versioned, 18, 792);
  EXPECT_EQ(Size(scene, versioned).size, 5009u);
  PutLe32(versioned, 18, 6000);  // an editor chunk larger than the scene
  EXPECT_FALSE(Size(scene, versioned).matched);
  Bytes bare(512, 0);
  bare[0] = bare[1] = 0x4D;
  PutLe32(bare, 2, 543);
  bare[6] = bare[7] = 0x3D;
  PutLe32(bare, 8, 424);
  EXPECT_EQ(Size(scene, bare).size, 543u);
  PutLe32(bare, 2, 0);
  EXPECT_FALSE(Size(scene, bare).matched);
}

}  // namespace
