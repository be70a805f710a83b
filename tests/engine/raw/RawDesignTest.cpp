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

// A database of two 512-byte pages as SQLite lays one out: the schema on
// page 1 with one row, table "t" rooted at page 2, a leaf page of no rows.
Bytes TwoPages() {
  Bytes b = Database("\x0D", 2, 512);
  // The schema's row: record header (its length, then text "table", "t",
  // "t", a one-byte integer, text "k x"), its values; a cell of its length
  // and row ID 1, at the page's end.
  const Bytes cell = {17, 1, 6, 23, 15, 15, 1, 19, 't', 'a', 'b', 'l', 'e', 't', 't', 2, 'k', ' ', 'x'};
  std::copy(cell.begin(), cell.end(), b.begin() + 512 - cell.size());
  const uint8_t leaf[] = {13, 0, 0, 0, 1, 0x01, 0xED, 0, 0x01, 0xED};
  std::memcpy(b.data() + 100, leaf, sizeof leaf);
  const uint8_t empty[] = {13, 0, 0, 0, 0, 0x02, 0x00, 0};
  std::memcpy(b.data() + 512, empty, sizeof empty);
  return b;
}

TEST(RawSqlite, PagesThatLoopOrLieOutsideAreNotVouchedFor) {
  FileFCPEVENTAnalyser db;
  const auto whole = Size(db, Disk(TwoPages(), 4096, true));
  EXPECT_EQ(whole.size, 1024u);
  EXPECT_EQ(whole.proven, 1024u);  // both pages walked
  EXPECT_FALSE(whole.endUnknown);
  struct Damage {
    const char* what;
    size_t at;
    Bytes bytes;
  };
  const Damage damages[] = {
      {"an interior page whose last child is itself", 512, {5, 0, 0, 0, 0, 0x02, 0x00, 0, 0, 0, 0, 2}},
      {"a table rooted past the database", 512 - 4, {3}},
      {"a free list whose trunk names itself", 32, {0, 0, 0, 2, 0, 0, 0, 1}},
      {"a free list longer than the header counts", 36, {0, 0, 0, 9}},
      {"the schema's row cut off (zeros)", 512 - 19, Bytes(19, 0)},
      {"page 2 cut off (zeros)", 512, Bytes(512, 0)},
  };
  for (const Damage& d : damages) {
    Bytes file = TwoPages();
    std::copy(d.bytes.begin(), d.bytes.end(), file.begin() + d.at);
    const auto s = Size(db, Disk(file, 4096));
    EXPECT_EQ(s.size, 1024u) << d.what;
    EXPECT_TRUE(s.endUnknown) << d.what;
    EXPECT_EQ(s.proven, 0u) << d.what;
  }
}

TEST(RawFont, TablesOutsideTheFontOrWithoutTheirChecksumsAreNotVouchedFor) {
  FileTTFAnalyser ttf;
  // Two tables (head, whose third word is the whole font's adjustment, and
  // name) behind the directory; checksums summed as the format lays down,
  // the last word of a table padded with zeros.
  Bytes font(120, 0);
  PutBe32(font, 0, 0x00010000);
  PutBe16(font, 4, 2);
  const struct {
    const char* tag;
    uint32_t offset, length;
  } tables[] = {{"head", 44, 54}, {"name", 100, 19}};
  for (uint32_t i = 0; i < 2; ++i) {
    std::memcpy(font.data() + 12 + 16 * i, tables[i].tag, 4);
    PutBe32(font, 12 + 16 * i + 8, tables[i].offset);
    PutBe32(font, 12 + 16 * i + 12, tables[i].length);
    uint32_t sum = 0;
    for (uint32_t k = 0; k < tables[i].length; ++k) font[tables[i].offset + k] = static_cast<uint8_t>(3 * k + i);
    PutBe32(font, 44 + 8, 0xB1B0AFBA);  // the adjustment: left out of head's sum
    for (uint32_t w = 0; w < (tables[i].length + 3) / 4; ++w) {
      if (i == 0 && w == 2) continue;
      uint32_t word = 0;
      for (uint32_t k = 0; k < 4; ++k) {
        const uint32_t at = 4 * w + k;
        word = word << 8 | (at < tables[i].length ? font[tables[i].offset + at] : 0u);
      }
      sum += word;
    }
    PutBe32(font, 12 + 16 * i + 4, sum);
  }
  const auto whole = Size(ttf, Disk(font, 4096, true));
  EXPECT_EQ(whole.size, 120u);
  EXPECT_EQ(whole.proven, 119u);  // to the last table's last byte
  EXPECT_FALSE(whole.endUnknown);
  Bytes cut = font;
  cut[118] ^= 1;
  EXPECT_TRUE(Size(ttf, Disk(cut, 4096)).endUnknown);
  EXPECT_EQ(Size(ttf, Disk(cut, 4096)).proven, 0u);
  Bytes inside = font;
  PutBe32(inside, 12 + 16 + 8, 20);  // name inside the directory
  EXPECT_TRUE(Size(ttf, Disk(inside, 4096)).endUnknown);
  Bytes past = font;
  PutBe32(past, 12 + 16 + 8, 104);  // name running past the font
  EXPECT_TRUE(Size(ttf, Disk(past, 4096)).endUnknown);
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
