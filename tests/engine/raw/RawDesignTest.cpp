// The drawing, font and database analysers on hand-made bytes: the edge
// cases the real files of the rows (ArchiveRows.cpp) do not reach, and what
// hostile counts and sizes do.
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

TEST(RawFont, HalfTheTagsMustBeKnown) {
  FileTTFAnalyser ttf;
  auto font = [](int tables, int known) {
    Bytes b(1024, 0);
    PutBe32(b, 0, 0x00010000);
    PutBe16(b, 4, static_cast<uint16_t>(tables));
    for (int i = 0; i < tables; ++i) {
      std::memcpy(b.data() + 12 + 16 * i, i < known ? "glyf" : "zzzz", 4);
      PutBe32(b, 12 + 16 * i + 12, 10);
    }
    return b;
  };
  EXPECT_FALSE(Size(ttf, font(12, 5)).matched);
  EXPECT_EQ(Size(ttf, font(12, 6)).size, 12u + 16 * 12 + 12 * 12);  // tables rounded up to 12
  EXPECT_FALSE(Size(ttf, font(32, 31)).matched);
}

// A database of pages of 1024 bytes whose first bytes are `kinds` (the
// header page before them), the header counting `count` pages.
Bytes Database(const std::string& kinds, uint32_t count, uint16_t pageField = 1024) {
  const size_t page = pageField == 1 ? 65536 : pageField;
  Bytes b(page * (kinds.size() + 1), 0);
  std::memcpy(b.data(), "SQLite format 3", 16);
  PutBe16(b, 16, pageField);
  PutBe32(b, 24, 9);
  PutBe32(b, 28, count);
  PutBe32(b, 92, 9);
  for (size_t i = 0; i < kinds.size(); ++i) b[page * (i + 1)] = static_cast<uint8_t>(kinds[i]);
  return b;
}

TEST(RawSqlite, WithoutATrustedCountThePagesAreWalked) {
  FileFCPEVENTAnalyser db;
  EXPECT_EQ(Size(db, Disk(Database("\x0D", 2, 1), 512)).size, 2u * 65536);
  // Six empty pages end the walk and are not counted.
  const std::string kinds = std::string("\x0D\x05\x02", 3) + std::string(2, '\0') + "\x0A";
  const Bytes file = Database(kinds, 0);
  EXPECT_EQ(Size(db, Disk(file, 16 * 1024)).size, file.size());
  EXPECT_FALSE(Size(db, Disk(file, 16 * 1024)).whole);
  Bytes stale = Database(kinds, 99);
  PutBe32(stale, 92, 8);  // the count was written by an older change
  EXPECT_EQ(Size(db, Disk(stale, 16 * 1024)).size, stale.size());
  EXPECT_EQ(Size(db, Disk(Database("\x0D\x03\x0D", 0), 16 * 1024)).size, 2048u);  // a page of no kind
  Bytes odd = Database("\x0D", 2);
  PutBe16(odd, 16, 1000);
  EXPECT_TRUE(Size(db, Disk(odd, 4096)).matched);
  EXPECT_EQ(Size(db, Disk(odd, 4096)).answer, 0u);
}

Bytes Dwg(const char* version, size_t size) {
  Bytes b(size, 0x3C);
  std::memcpy(b.data(), version, 6);
  b[6] = b[7] = 0;
  return b;
}

TEST(RawDwg, ReleasesAndLocatorsItCannotSize) {
  FileDWGAnalyser dwg;
  const auto r11 = Size(dwg, Disk(Dwg("AC1009", 2048), 4096));
  EXPECT_TRUE(r11.matched);
  EXPECT_EQ(r11.answer, 0u);
  EXPECT_FALSE(Size(dwg, Disk(Dwg("AC1032", 2048), 4096)).matched);
  Bytes r15 = Dwg("AC1015", 6000);
  PutLe32(r15, 13, 200);  // picture data at 200 without their mark
  PutLe32(r15, 21, 1);
  EXPECT_EQ(Size(dwg, Disk(r15, 4096)).answer, 0u);
  PutLe32(r15, 21, 101);
  EXPECT_EQ(Size(dwg, Disk(r15, 4096)).answer, 0u);
  // AC1018 without its header bytes at 128; AC1021 whose copy is lost.
  EXPECT_EQ(Size(dwg, Disk(Dwg("AC1018", 5000), 4096)).answer, 0u);
  Bytes r2007 = Dwg("AC1021", 9000);
  for (int i = 0; i < 16; ++i) r2007[128 + i] = static_cast<uint8_t>(0xA0 + i);
  const Bytes lost = Disk(r2007, 8192, true);
  EXPECT_EQ(Size(dwg, lost).size, lost.size());
  EXPECT_FALSE(Size(dwg, lost).whole);
}

TEST(RawText, DxfEndsAtItsEofLineAndFh11AtItsClosingText) {
  FileDXFAnalyser dxf;
  const std::string text = "  0\r\nSECTION\r\n  2\r\nHEADER\r\n  1\r\nEOF\r\n 10\r\nEOF\r\n  0\r\nEOF\r\n";
  const Bytes drawing(text.begin(), text.end());
  EXPECT_EQ(Size(dxf, Disk(drawing, 4096, true)).size, drawing.size());
  const Bytes bare(text.begin(), text.begin() + 37);  // "EOF" and a line end after a value
  EXPECT_EQ(Size(dxf, Disk(bare, 4096)).size, bare.size());
  FileFH11Analyser fh;
  Bytes file(1500, 0x21);
  const uint8_t head[16] = {0x1C, 0x01, 0x00, 0x00, 0x02, 0x00, 0x04, 0x1C,
                            0x01, 0x14, 0x00, 0x02, 0x00, 0x14, 0x1C, 0x01};
  std::memcpy(file.data(), head, sizeof head);
  file[34] = file[35] = '1';
  std::memcpy(file.data() + 1300, "Decode\0\xFF\xFF\xFF\xFF", 11);
  std::memset(file.data() + 1320, 0, 180);
  EXPECT_EQ(Size(fh, Disk(file, 4096)).size, 1300u + 11 + 9);
  file[35] = '0';
  EXPECT_FALSE(Size(fh, Disk(file, 4096)).matched);
}

TEST(RawScene, AnEditorChunkLargerThanTheSceneOrNoSizeIsRefused) {
  File3DSAnalyser scene;
  Bytes b(512, 0);
  b[0] = b[1] = 0x4D;
  PutLe32(b, 2, 5009);
  b[16] = b[17] = 0x3D;
  PutLe32(b, 18, 6000);
  EXPECT_FALSE(Size(scene, b).matched);
  PutLe32(b, 18, 792);
  EXPECT_EQ(Size(scene, b).size, 5009u);
  PutLe32(b, 2, 0);
  EXPECT_FALSE(Size(scene, b).matched);
}

}  // namespace
