// The document analysers on hand-made bytes, for what the fixture images do
// not hold: each format's own edge cases, the AI subtype, compound
// files of 4096-byte sectors and beyond 4 GiB, hostile tables and chains, ZIP
// records that lie, and the text ends behind which other bytes lie.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "OnDiskBytes.h"
#include "raw/DocumentAnalysers.h"
#include "raw/FileOLEAnalyser.h"
#include "raw/FileZIPAnalyser.h"
#include "raw/RawFileAnalyserList.h"
#include "support/BytesDevice.h"
#include "support/StubDevice.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// What an analyser makes of `file` laid at the start of a device, with
// `tail` bytes of zeros (or of random bytes) behind it.
struct Carve {
  uint32_t matched = 0, answer = 0;
  uint64_t size = 0;
  uint32_t type = 0;
  bool whole = false, endUnknown = false;
  std::string prefix;
};

Carve Sized(IRawFileAnalyser& analyser, Bytes file, bool randomTail = false, uint32_t sectorSize = 512,
            size_t tail = 16384) {
  std::mt19937 random(7);
  const size_t body = file.size();
  file.resize((body + tail + sectorSize - 1) / sectorSize * sectorSize, 0);
  if (randomTail) {
    for (size_t i = body; i < file.size(); ++i) file[i] = static_cast<uint8_t>(random() | 1);
  }
  testsupport::BytesDevice device(file.data(), file.size(), sectorSize);
  Bytes sector(file.begin(), file.begin() + std::max<size_t>(512, sectorSize));
  CRawFileInfo info;
  Carve out;
  out.matched = analyser.AnalyseBuffer(sector.data(), info);
  if (out.matched == 0) return out;
  out.answer = info.m_size != 0 ? 1 : analyser.GetRawFileSize(info, &device);
  out.size = info.m_size;
  out.type = info.m_type;
  out.whole = info.m_whole;
  out.endUnknown = info.m_endUnknown;
  out.prefix = info.m_namePrefix;
  return out;
}

TEST(RawDocuments, TextFilesEndAtTheirMarkWithTheirOwnLineEnd) {
  FileRTFAnalyser rtf;
  EXPECT_EQ(Sized(rtf, Text("{\\rtf1 {a}}")).size, 11u);
  // Escaped braces are text; binary data after \bin is skipped whole.
  const std::string binary = std::string("{\\rtf1 \\{x\\} {\\bin4 }{") + '\0' + "}} b}\r\n";
  const Carve escaped = Sized(rtf, Text(binary), true);
  EXPECT_EQ(escaped.size, binary.size());
  EXPECT_FALSE(escaped.endUnknown);
  // A text's end proves none of its bytes its own: another text's end,
  // behind one cut short, reads the same.
  EXPECT_FALSE(escaped.whole);
  // Cut off by zeros, or by bytes no text holds: what came through, its end
  // not known.
  for (const bool randomTail : {false, true}) {
    const Carve cutShort = Sized(rtf, Text("{\\rtf1 {a}"), randomTail);
    EXPECT_EQ(cutShort.answer, 1u);
    EXPECT_TRUE(cutShort.endUnknown);
    EXPECT_GE(cutShort.size, 10u);
    EXPECT_LE(cutShort.size, randomTail ? 300u : 10u);
  }
  // Another text's head at the start of a sector cuts one off, also inside
  // skipped binary data; elsewhere it is a group like any other.
  std::string cut = "{\\rtf1 {a" + std::string(503, 'x') + "{\\rtf1 b}}}";
  EXPECT_EQ(Sized(rtf, Text(cut)).size, 512u);
  EXPECT_TRUE(Sized(rtf, Text(cut)).endUnknown);
  cut.replace(500, 2, "}}");
  EXPECT_EQ(Sized(rtf, Text(cut)).size, 502u);
  EXPECT_FALSE(Sized(rtf, Text(cut)).endUnknown);
  std::string skipped = "{\\rtf1 \\bin600 " + std::string(600, 'x') + "}";
  skipped.replace(512, 5, "{\\rtf");
  EXPECT_EQ(Sized(rtf, Text(skipped)).size, 512u);
  EXPECT_EQ(Sized(rtf, Text("{\\rtf1 {\\rtf1 x}}")).size, 17u);
  FileHTMAnalyser html;
  EXPECT_EQ(Sized(html, Text("<!doctype html><p>x</p></HTML>\n"), true).size, 31u);
  // A closing tag that a script writes is not the document's end.
  const std::string script = "<html><script>document.write('</html>');</script></html>\n";
  EXPECT_EQ(Sized(html, Text(script), true).size, script.size());
  const Carve open = Sized(html, Text("<html><p>never closed"), false, 512, 0x120000);
  EXPECT_EQ(open.size, 0x100000u);  // the limit, in whole sectors
  EXPECT_FALSE(open.whole);
  FileSVGAnalyser svg;
  const std::string picture = "<?xml version=\"1.0\"?>\n<svg width=\"4\">\n<svg x=\"1\"/>\n</svg>\r\n";
  EXPECT_EQ(Sized(svg, Text(picture), true).size, picture.size());
  EXPECT_EQ(Sized(svg, Text("<?xml version=\"1.0\"?>\n<html/>")).matched, 0u);
  // UTF-16 text that never opens its document is not one.
  FileUnicodeHTMAnalyser wide;
  EXPECT_EQ(Sized(wide, {0xFF, 0xFE, '<', 0, 'p', 0, '>', 0}).answer, 0u);
}

// A PDF of one object: its cross-reference table, and a trailer whose
// "startxref" gives where the table lies, counted from `base` bytes before
// the text (the start of the file it is part of).
std::string Pdf(const std::string& version = "1.4", size_t base = 0, const std::string& table = "xref\n0 1\n",
                const std::string& dictionary = "<<>>") {
  const std::string body = "%PDF-" + version + "\n1 0 obj\n" + dictionary + "\nendobj\n";
  return body + table + "trailer\n<<>>\nstartxref\n" + std::to_string(base + body.size()) + "\n%%EOF\r\n";
}

TEST(RawDocuments, PdfEndsAtTheTrailerWhoseCrossReferenceIsItsOwn) {
  FilePDFAnalyser pdf;
  const std::string body = Pdf();
  const Carve alone = Sized(pdf, Text(body), true);
  EXPECT_EQ(alone.size, body.size());
  EXPECT_TRUE(alone.whole);  // the table lies where its own offset says
  // An incremental update follows the first trailer: the file goes on to
  // the second, whose table lies in the update.
  const std::string update = body + Pdf("1.4", body.size() - 9).substr(9);
  const Carve updated = Sized(pdf, Text(update), true);
  EXPECT_EQ(updated.size, update.size());
  EXPECT_TRUE(updated.whole);
  // Another PDF right behind is another file.
  EXPECT_EQ(Sized(pdf, Text(body + body)).size, body.size());
  // A cross-reference stream at the offset serves as well.
  const std::string streamed = Pdf("1.5", 0, "2 0 obj\n<</Type/XRef/Size 3>>stream\nxx\nendstream\nendobj\n");
  EXPECT_TRUE(Sized(pdf, Text(streamed)).whole);
  // Cut short in front of another PDF: that one's trailer counts from its
  // own start and points at nothing of the first one, so the first runs on
  // to the device's end, its end not known.
  std::string cut = body.substr(0, body.size() / 2);
  cut.resize(512, ' ');
  const std::string other = Pdf("1.4", 0, "xref\n0 1\n", "<</Title (another)>>");
  const Carve runOn = Sized(pdf, Text(cut + other), true);
  EXPECT_GT(runOn.size, cut.size() + other.size());
  EXPECT_TRUE(runOn.endUnknown);
  EXPECT_FALSE(runOn.whole);
  // No trailer: the limit, or the device's end, not a whole file.
  const Carve endless = Sized(pdf, Text("%PDF-1.7\n"), true);
  EXPECT_EQ(endless.answer, 1u);
  EXPECT_FALSE(endless.whole);
  EXPECT_FALSE(FilePDFAnalyser::IsContainPdfKeyWords(nullptr));
  EXPECT_TRUE(FilePDFAnalyser::IsContainPdfKeyWords("x\nstartxref\n"));
  EXPECT_FALSE(FilePDFAnalyser::IsContainPdfKeyWords("trailer\n"));
}

TEST(RawDocuments, AiFilesAreTypedFromTheirCreatorWithinBoundedText) {
  FilePDFAnalyser pdf;
  std::string ai = "%PDF-1.5\n" + std::string(100, ' ') + "%!PS-Adobe-3.0\n%%Creator: Adobe Illustrator(R) 24\n";
  ai += "%%EOF\n";
  EXPECT_EQ(Sized(pdf, Text(ai)).type, RAW_TYPE_AI);
  // The creator's name past a zero byte, or far past the header, is not the
  // header's: the search stops at either.
  std::string cut = "%PDF-1.5\n%!PS-Adobe-3.0\n";
  cut.push_back('\0');
  EXPECT_EQ(Sized(pdf, Text(cut + "Adobe Illustrator\n%%EOF\n")).type, RAW_TYPE_PDF);
  const std::string far = "%PDF-1.5\n%!PS-Adobe-3.0\n" + std::string(8000, 'x') + "Adobe Illustrator\n%%EOF\n";
  EXPECT_EQ(Sized(pdf, Text(far)).type, RAW_TYPE_PDF);
}

TEST(RawDocuments, PostScriptEndsAtItsOutermostTrailerOrItsPrivateData) {
  FileEPSAnalyser eps;
  const std::string nested =
      "%!PS-Adobe-3.0 EPSF-3.0\n%%BeginProlog\n%%BeginResource: x\n%%EOF\n%%EndResource\n%%EndProlog\n"
      "showpage\n%%EOF\n";
  EXPECT_EQ(Sized(eps, Text(nested), true).size, nested.size());
  const std::string ai = "%!PS-Adobe-3.0\n%%EndComments\n%%EOF\n%AI9_PrivateDataBegin\nxyz\n%AI9_PrivateDataEnd\r\n";
  EXPECT_EQ(Sized(eps, Text(ai), true).size, ai.size());
  EXPECT_EQ(Sized(eps, Text("%!PS\n")).matched, 0u);
}

// A DOS EPS header: PostScript at 32 (`ps` bytes), a WMF and a TIFF preview.
Bytes DosEps(uint32_t ps, uint32_t wmfAt, uint32_t wmf, uint32_t tiffAt, uint32_t tiff, uint8_t b30, uint8_t b31) {
  Bytes b(512, 0);
  const uint32_t fields[] = {0xC6D3D0C5, 32, ps, wmfAt, wmf, tiffAt, tiff};
  for (int i = 0; i < 7; ++i) std::memcpy(b.data() + 4 * i, &fields[i], 4);
  b[28] = b[29] = 0xFF;
  b[30] = b30;
  b[31] = b31;
  return b;
}

TEST(RawDocuments, HeaderSizedFormatsCheckWhatTheirHeadersSay) {
  FileEPSAnalyser eps;
  EXPECT_EQ(Sized(eps, DosEps(1000, 0, 0, 1032, 500, 0x25, 0x21)).size, 1532u);
  EXPECT_EQ(Sized(eps, DosEps(1000, 0, 0, 0, 0, 0x25, 0x21)).size, 1032u);            // no preview: the PostScript
  EXPECT_EQ(Sized(eps, DosEps(1000, 1032, 300, 1332, 500, 0x25, 0x21)).size, 1832u);  // both
  EXPECT_EQ(Sized(eps, DosEps(1000, 0, 0, 1032, 500, 0x69, 0x49)).size, 1032u);       // "iI": PostScript alone
  EXPECT_EQ(Sized(eps, DosEps(1000, 0, 0, 1032, 500, 0x41, 0x42)).matched, 0u);
  FileWPDAnalyser wpd;
  Bytes wp = {0xFF, 'W', 'P', 'C', 0, 0, 0, 0, 0x0F, 0x0F, 0x01, 0x00, 0, 0, 0x00, 0x00, 0x03, 0x00, 0, 0, 0x34, 0x12};
  EXPECT_EQ(Sized(wpd, wp).type, RAW_TYPE_SHW);
  EXPECT_EQ(Sized(wpd, wp).size, 0x1234u);
  wp[8] = 0x02;
  EXPECT_EQ(Sized(wpd, wp).matched, 0u);  // fits no row
  FileONEAnalyser one;
  Bytes note(512, 0);
  const uint8_t guid[] = {0xE4, 0x52, 0x5C, 0x7B, 0x8C, 0xD8, 0xA7, 0x4D,
                          0xAE, 0xB1, 0x53, 0x78, 0xD0, 0x29, 0x96, 0xD3};
  std::memcpy(note.data(), guid, 16);
  EXPECT_EQ(Sized(one, note).size, 0x300000u);  // no size in the header
  note[196] = 0x10;
  EXPECT_EQ(Sized(one, note).size, 0x10u);
  FilePSTAnalyser pst;
  Bytes store(512, 0);
  store[10] = 14;
  store[168] = 0x40;
  EXPECT_EQ(Sized(pst, store).size, 0x40u);
  store[10] = 99;
  EXPECT_EQ(Sized(pst, store).size, 0x100000u);
  FileLowDocAnalyser doc;
  Bytes early(512, 0);
  early[292] = 0x10;
  early[296] = 0x01;
  EXPECT_EQ(Sized(doc, early).size, 512u);
  FileHLPAnalyser hlp;
  Bytes help = {0x3F, 0x5F, 0x03, 0x00, 0x00, 0x03, 0, 0, 0, 0, 0, 0, 0x00, 0x02, 0, 0};
  EXPECT_EQ(Sized(hlp, help).matched, 0u);  // its directory lies beyond its claimed size
  help[13] = 0x04;
  EXPECT_EQ(Sized(hlp, help).size, 0x400u);
  // DBX files of the header forms are keyed by their first four bytes.
  CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
  registry->BuildRawFileAnalyserMapByRawFileType(nullptr);
  IRawFileAnalyser* dbx = registry->FindByKey(RawKey(0xCF, 0xAD, 0x12, 0xFE));
  ASSERT_NE(dbx, nullptr);
  Bytes mail = {0xCF, 0xAD, 0x12, 0xFE, 0xC6, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0};
  mail.resize(512, 0);
  mail[125] = 0x20;
  EXPECT_EQ(Sized(*dbx, mail).size, 0x2000u);
}

TEST(RawDocuments, DatabasesEndAtTheirFirstEmptyPage) {
  FileMNYAnalyser mny;
  Bytes db(5 * 4096, 0x01);
  std::memcpy(db.data(), "\0\1\0\0MSISAM Database", 19);
  const Carve walked = Sized(mny, db);
  EXPECT_EQ(walked.size, 5u * 4096);  // beyond a fixed megabyte or short of it, the pages tell
  EXPECT_EQ(walked.type, RAW_TYPE_MNY);
  FileMDBAnalyser mdb;
  std::memcpy(db.data() + 4, "Standard ACE DB\0", 16);
  EXPECT_EQ(Sized(mdb, db).type, RAW_TYPE_ACCDB);
  std::memcpy(db.data() + 4, "Standard Jet DB\0", 16);
  EXPECT_EQ(Sized(mdb, db).type, RAW_TYPE_MDB);
}

// ---- compound files ----

void Store32(uint8_t* p, uint32_t v) {
  ondisk::StoreLe16(p, static_cast<uint16_t>(v));
  ondisk::StoreLe16(p + 2, static_cast<uint16_t>(v >> 16));
}
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;

// A compound file as writers lay it out: header, then sectors 0.. of
// `shift`-sized sectors. Sector 0 is the allocation table, sector 1 the
// directory (entries named `names`: entry 0 the root storage, the others
// empty streams), the `used` - 2 sectors behind them the root's mini
// stream; the rest of the table is free.
Bytes Compound(int shift, const std::vector<std::u16string>& names, uint32_t used, uint32_t data = 4) {
  const size_t s = size_t{1} << shift;
  Bytes b(s * (2 + 2 + data), 0);
  const uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(b.data(), magic, 8);
  b[24] = 0x3E;
  b[26] = shift == 12 ? 4 : 3;
  ondisk::StoreLe16(b.data() + 28, 0xFFFE);
  b[30] = static_cast<uint8_t>(shift);
  b[32] = 6;
  Store32(b.data() + 44, 1);  // one table sector
  b[48] = 1;                  // the directory in sector 1
  Store32(b.data() + 56, 4096);
  Store32(b.data() + 60, kEndOfChain);  // no mini table
  Store32(b.data() + 68, kEndOfChain);  // no DIFAT sector
  std::memset(b.data() + 76, 0xFF, 512 - 76);
  std::memset(b.data() + 76, 0, 4);  // ... sector 0
  uint8_t* table = b.data() + s;
  std::memset(table, 0xFF, s);
  Store32(table, 0xFFFFFFFD);  // the table's own sector
  Store32(table + 4, kEndOfChain);
  for (uint32_t i = 2; i < used; ++i) Store32(table + 4 * i, i + 1 < used ? i + 1 : kEndOfChain);
  uint8_t* dir = b.data() + 2 * s;
  for (size_t k = 0; k < names.size(); ++k) {
    uint8_t* e = dir + 128 * k;
    for (size_t i = 0; i < names[k].size(); ++i) ondisk::StoreLe16(e + 2 * i, names[k][i]);
    ondisk::StoreLe16(e + 64, static_cast<uint16_t>(2 * (names[k].size() + 1)));
    e[66] = k == 0 ? 5 : 2;
    e[67] = 1;
    std::memset(e + 68, 0xFF, 12);  // no siblings, no child
    Store32(e + 116, k == 0 && used > 2 ? 2 : kEndOfChain);
    if (k == 0) Store32(e + 120, static_cast<uint32_t>((used > 2 ? used - 2 : 0) * s));
  }
  return b;
}

TEST(RawOle, SizedInItsOwnSectorsUpToTheLastOneItsTableMarksUsed) {
  FileOLEAnalyser ole;
  const Carve v3 = Sized(ole, Compound(9, {u"Root Entry", u"WordDocument"}, 3), true);
  EXPECT_EQ(v3.size, 512u + 3 * 512);  // the free tail of the table is cut
  EXPECT_EQ(v3.type, RAW_TYPE_DOC);
  EXPECT_FALSE(v3.endUnknown);
  // Version 4: 4096-byte sectors, on 512- and 4096-byte devices alike.
  for (uint32_t sectorSize : {512u, 4096u}) {
    const Carve v4 = Sized(ole,
                           Compound(12,
                                    {u"Root Entry",
                                     u"\x01"
                                     u"CompObj",
                                     u"Workbook"},
                                    5),
                           true, sectorSize);
    EXPECT_EQ(v4.size, 4096u + 5 * 4096);
    EXPECT_EQ(v4.type, RAW_TYPE_XLS);
  }
  // The Visio stream gets nothing added to what the tables give.
  EXPECT_EQ(Sized(ole, Compound(9, {u"Root Entry", u"VisioDocument"}, 2)).size, 3u * 512);
  // No table sector: not a file that can be sized.
  Bytes none = Compound(9, {u"Root Entry"}, 2);
  std::memset(none.data() + 76, 0xFF, 4);
  EXPECT_EQ(Sized(ole, none).answer, 0u);
}

TEST(RawOle, TypedFromItsFirstEntriesOrItsRootStorage) {
  FileOLEAnalyser ole;
  const std::u16string office[] = {u"PerfectOffice_MAIN", u"PerfectOffice_OBJECTS"};
  EXPECT_EQ(Sized(ole, Compound(9, {u"Root Entry", office[0], office[1], u"\x05SummaryInformation"}, 2)).type,
            RAW_TYPE_SHW);
  Bytes drawing = Compound(9, {u"Root Entry", office[0], office[1], u"Other"}, 2);
  EXPECT_EQ(Sized(ole, drawing).type, RAW_TYPE_WPG);  // the root's class is all zero
  drawing[2 * 512 + 80] = 1;
  EXPECT_EQ(Sized(ole, drawing).type, RAW_TYPE_WPD);
  EXPECT_EQ(Sized(ole, Compound(9,
                                {u"Root Entry",
                                 u"\x01"
                                 u"CompObj",
                                 u"   112", u"   212"},
                                2))
                .type,
            RAW_TYPE_MPP);
  // The main stream among the root's children, past the first entries: the
  // root's child is entry 3, whose siblings are entries 1 and 5.
  Bytes deck = Compound(12,
                        {u"Root Entry",
                         u"\x01"
                         u"CompObj",
                         u"\x01"
                         u"Ole",
                         u"Current User", u"Pictures", u"PowerPoint Document"},
                        2);
  uint8_t* dir = deck.data() + 2 * 4096;
  auto link = [dir](int entry, int field, uint32_t to) { std::memcpy(dir + 128 * entry + field, &to, 4); };
  link(0, 76, 3);
  link(3, 68, 1);
  link(3, 72, 5);
  link(5, 68, 3);  // back to where the look began
  const Carve typed = Sized(ole, deck);
  EXPECT_EQ(typed.type, RAW_TYPE_PPT);
  EXPECT_FALSE(typed.endUnknown);
  link(3, 72, 4);
  EXPECT_EQ(Sized(ole, deck).type, RAW_TYPE_MOF);  // "Pictures" counts as the first entry only
  // A link beyond the directory: it does not hold, and tells no kind.
  link(3, 72, 5);
  link(1, 72, 999);
  const Carve broken = Sized(ole, deck);
  EXPECT_EQ(broken.type, RAW_TYPE_MOF);
  EXPECT_FALSE(broken.whole);
  EXPECT_TRUE(broken.endUnknown);
}

// Cut short, a compound file's directory or the end of its table lies in
// what follows the cut: zeros or foreign bytes. It then answers that its end
// is not known, typed from no directory, and proves no more than the
// structures that hold.
TEST(RawOle, StructuresThatDoNotHoldLeaveItsEndUnknown) {
  FileOLEAnalyser ole;
  const Bytes sound = Compound(9, {u"Root Entry", u"WordDocument"}, 4);
  for (const bool randomTail : {false, true}) {
    SCOPED_TRACE(randomTail ? "random bytes" : "zeros");
    // Cut in the directory sector.
    Bytes cut(sound.begin(), sound.begin() + 2 * 512 + 100);
    const Carve lost = Sized(ole, cut, randomTail);
    EXPECT_EQ(lost.type, RAW_TYPE_MOF);
    EXPECT_EQ(lost.size, 512u + 4 * 512);  // as its table claims
    EXPECT_FALSE(lost.whole);
    EXPECT_TRUE(lost.endUnknown);
  }
  // The table marks sectors used that no chain reaches: what a cut in the
  // table's own sector leaves (its free entries read as zeros).
  Bytes orphans = sound;
  std::memset(orphans.data() + 512 + 4 * 6, 0, 8);
  const Carve stray = Sized(ole, orphans);
  EXPECT_EQ(stray.type, RAW_TYPE_DOC);  // its directory holds
  EXPECT_TRUE(stray.endUnknown);
  // A chain that runs on past its stream's size, or shares a sector.
  Bytes longer = sound;
  Store32(longer.data() + 2 * 512 + 120, 512);
  EXPECT_TRUE(Sized(ole, longer).endUnknown);
  // The table's own sector not marked as one.
  Bytes unmarked = sound;
  Store32(unmarked.data() + 512, kEndOfChain);
  EXPECT_TRUE(Sized(ole, unmarked).endUnknown);
  // Unused entries of either form writers leave hold; one with a name does
  // not.
  Bytes unused = sound;
  uint8_t* entry = unused.data() + 2 * 512 + 128 * 2;
  std::memset(entry + 68, 0xFF, 12);
  Store32(entry + 116, kEndOfChain);
  EXPECT_FALSE(Sized(ole, unused).endUnknown);
  entry[0] = 'x';
  EXPECT_TRUE(Sized(ole, unused).endUnknown);
}

TEST(RawOle, HostileChainsAndTablesEndTheWalk) {
  FileOLEAnalyser ole;
  // A DIFAT chain that points backwards is followed no further.
  Bytes back = Compound(9, {u"Root Entry", u"Book"}, 6);
  back[68] = 4;
  std::memset(back.data() + 69, 0, 3);
  uint8_t* difat = back.data() + 5 * 512;
  std::memset(difat, 0xFF, 512);
  std::memset(difat + 508, 0, 4);  // next: sector 0, behind it
  const Carve sized = Sized(ole, back);
  EXPECT_EQ(sized.size, 512u + 6 * 512);
  EXPECT_EQ(sized.type, RAW_TYPE_XLS);
  // The directory lies beyond the device: a small file still comes back.
  Bytes lost = Compound(9, {u"Root Entry"}, 2);
  lost[48] = 200;
  const Carve mof = Sized(ole, lost, false, 512, 0);
  EXPECT_EQ(mof.type, RAW_TYPE_MOF);
  EXPECT_EQ(mof.size, 3u * 512);
  // The table sector itself lies beyond the device.
  Bytes far = Compound(9, {u"Root Entry"}, 2);
  far[76] = 200;
  EXPECT_EQ(Sized(ole, far, false, 512, 0).answer, 0u);
  // A version 4 stream whose 64-bit size lies near its top, with no
  // sectors: rounded up to whole sectors, it would take none.
  Bytes huge = Compound(12, {u"Root Entry", u"Workbook"}, 5);
  ASSERT_FALSE(Sized(ole, huge).endUnknown);
  std::memset(huge.data() + 2 * 4096 + 128 + 120, 0xFF, 8);
  huge[2 * 4096 + 128 + 120] = 0x01;
  EXPECT_TRUE(Sized(ole, huge).endUnknown);
}

// A compound file of more than 4 GiB, made up as it is read: its DIFAT
// chain lists 109 + 600 x 127 table sectors, every table full.
class HugeCompound : public testsupport::StubDevice {
 public:
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    auto* out = static_cast<uint8_t*>(buffer);
    for (int64_t i = 0; i < count; ++i) Fill(out + 512 * i, static_cast<uint64_t>(first + i));
    return 1;
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return int64_t{1} << 24; }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }

 private:
  static void Fill(uint8_t* s, uint64_t sector) {
    std::memset(s, 0, 512);
    auto put = [s](int at, uint32_t v) { std::memcpy(s + at, &v, 4); };
    if (sector == 0) {
      put(0, 0xE011CFD0);
      put(4, 0xE11AB1A1);
      s[30] = 9;
      put(48, 5000);  // a directory of zeros
      put(68, 1000);
      for (int i = 0; i < 109; ++i) put(76 + 4 * i, 2 + i);
    } else if (sector >= 1001 && sector < 1601) {
      for (int j = 0; j < 127; ++j) put(4 * j, 2000 + static_cast<uint32_t>(sector) * 127 + j);
      put(508, sector == 1600 ? 0xFFFFFFFE : static_cast<uint32_t>(sector));
    }
  }
};

// The compound file that starts the device, as the carver sizes it.
CRawFileInfo SizedFromTheStart(IStorageDevice& device) {
  FileOLEAnalyser ole;
  CRawFileInfo info;
  Bytes head(device.GetSectorSize());
  EXPECT_EQ(device.ReadSector(head.data(), 0, 1), 1);
  EXPECT_EQ(ole.AnalyseBuffer(head.data(), info), 1u);
  EXPECT_EQ(ole.GetRawFileSize(info, &device), 1u);
  return info;
}

TEST(RawOle, SizesBeyondFourGibibytesAreNotWrapped) {
  HugeCompound device;
  const CRawFileInfo info = SizedFromTheStart(device);
  const uint64_t tables = 109 + 600 * 127;
  EXPECT_EQ(info.m_size, 512 + tables * 128 * 512);
  EXPECT_EQ(info.m_type, RAW_TYPE_MOF);
}

// A compound file of 4096-byte sectors whose DIFAT chain goes on far past
// the 2^32 sectors a file can have: 65,536 DIFAT sectors of 1,023 table
// sectors each, made up as they are read.
class EndlessDifat : public testsupport::StubDevice {
 public:
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    auto* out = static_cast<uint8_t*>(buffer);
    for (int64_t i = 0; i < count; ++i) {
      const auto sector = static_cast<uint64_t>(first + i);
      uint8_t* s = out + 4096 * i;
      std::memset(s, 0, 4096);
      auto put = [s](int at, uint32_t v) { std::memcpy(s + at, &v, 4); };
      if (sector == 0) {
        put(0, 0xE011CFD0);
        put(4, 0xE11AB1A1);
        s[26] = 4;
        s[30] = 12;
        put(48, 7);  // a directory of zeros
        put(68, 1000);
        for (int j = 0; j < 109; ++j) put(76 + 4 * j, 7);
      } else if (sector > 1000 && sector <= 1000 + 65536) {
        lastDifat = std::max(lastDifat, sector);
        for (int j = 0; j < 1023; ++j) put(4 * j, 7);
        put(4092, static_cast<uint32_t>(sector));  // the next, in the sector behind
      }
    }
    return 1;
  }
  uint32_t GetSectorSize() override { return 4096; }
  int64_t GetTotalSectors() override { return int64_t{1} << 20; }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }
  uint64_t lastDifat = 0;
};

// The table list stops at the most table sectors a file can have: the
// chain's other sectors are not read, nor their entries kept.
TEST(RawOle, TheTableListStopsWhereSectorNumbersEnd) {
  EndlessDifat device;
  const CRawFileInfo info = SizedFromTheStart(device);
  const uint64_t tables = (uint64_t{1} << 32) / 1024;
  EXPECT_EQ(info.m_size, 4096 + tables * 1024 * 4096);
  // 109 in the header, 1,023 in each DIFAT sector; the reads go a window of
  // 129 sectors ahead.
  EXPECT_LE(device.lastDifat, 1000 + (tables - 109) / 1023 + 1 + 129);
}

TEST(RawOle, UnitsOf512BytesAreReadOnDevicesOfLargerSectors) {
  Bytes disk(4 * 4096);
  for (size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<uint8_t>(i / 512);
  testsupport::BytesDevice device(disk.data(), disk.size(), 4096);
  Bytes out(2 * 512);
  ASSERT_EQ(FileOLEAnalyser::Simulate512ReadSector(out.data(), 1, 3, 2, &device), 1);
  EXPECT_EQ(out[0], 11);  // device sector 1 + unit 3
  EXPECT_EQ(out[512], 12);
}

// ---- ZIP ----

struct Entry {
  std::string name;
  std::string data;
  bool streamed = false;  // sizes in a descriptor after the data
  bool signedDescriptor = true;
  bool badSum = false;  // the descriptor's checksum is not the data's
};

void Put16(Bytes& b, uint16_t v) { b.insert(b.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}); }
void Put32(Bytes& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v));
  Put16(b, static_cast<uint16_t>(v >> 16));
}

// An archive of stored entries, its central directory and its end record.
Bytes Zip(const std::vector<Entry>& entries, const std::string& comment = "") {
  Bytes b, central;
  for (const Entry& e : entries) {
    const uint32_t at = static_cast<uint32_t>(b.size());
    const uint32_t size = static_cast<uint32_t>(e.data.size());
    Put32(b, 0x04034B50);
    Put16(b, 20);
    Put16(b, e.streamed ? 8 : 0);
    Put16(b, 0);
    Put32(b, 0);
    const uint32_t sum = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
    Put32(b, sum);
    Put32(b, e.streamed ? 0 : size);
    Put32(b, e.streamed ? 0 : size);
    Put16(b, static_cast<uint16_t>(e.name.size()));
    Put16(b, 0);
    b.insert(b.end(), e.name.begin(), e.name.end());
    b.insert(b.end(), e.data.begin(), e.data.end());
    if (e.streamed) {
      if (e.signedDescriptor) Put32(b, 0x08074B50);
      Put32(b, e.badSum ? sum ^ 1 : sum);
      Put32(b, size);
      Put32(b, size);
    }
    Put32(central, 0x02014B50);
    central.insert(central.end(), 24, 0);
    Put16(central, static_cast<uint16_t>(e.name.size()));
    central.insert(central.end(), 12, 0);
    Put32(central, at);
    central.insert(central.end(), e.name.begin(), e.name.end());
  }
  const uint32_t cd = static_cast<uint32_t>(b.size());
  b.insert(b.end(), central.begin(), central.end());
  Put32(b, 0x06054B50);
  b.insert(b.end(), 8, 0);
  Put32(b, static_cast<uint32_t>(central.size()));
  Put32(b, cd);
  Put16(b, static_cast<uint16_t>(comment.size()));
  b.insert(b.end(), comment.begin(), comment.end());
  return b;
}

TEST(RawZip, WalkedToItsEndRecordThroughDescriptorsAndComments) {
  FileZIPAnalyser zip;
  const std::string data(3000, 'd');
  for (bool randomTail : {false, true}) {
    SCOPED_TRACE(randomTail);
    const Bytes plain = Zip({{"a.txt", data}, {"b.txt", "bb"}}, "an archive comment");
    const Carve carved = Sized(zip, plain, randomTail);
    EXPECT_EQ(carved.size, plain.size());
    EXPECT_TRUE(carved.whole);
    EXPECT_EQ(carved.prefix, "a.txt");
    // Streamed entries, with and without the descriptor's signature, and an
    // entry whose data holds what looks like a header.
    const Bytes streamed = Zip({{"-", data + "PK\x03\x04" + data, true, true}, {"x", "PK\x01\x02 no", true, false}});
    EXPECT_EQ(Sized(zip, streamed, randomTail).size, streamed.size());
    // A descriptor of 64-bit sizes behind an entry that needs none.
    Bytes wide = Zip({{"w", data, true, true}});
    const size_t sizes = 30 + 1 + data.size() + 12;
    wide.insert(wide.begin() + static_cast<std::ptrdiff_t>(sizes), 4, 0);
    wide.insert(wide.begin() + static_cast<std::ptrdiff_t>(sizes + 8), 4, 0);
    EXPECT_EQ(Sized(zip, wide, randomTail).size, wide.size());
  }
  // A descriptor of the right size whose checksum is not the data's (one of
  // another archive, met behind one cut short) is not taken: the walk
  // stops at the entry.
  const Bytes lying = Zip({{"a.txt", data}, {"b", data, true, true, true}});
  const Carve stopped = Sized(zip, lying);
  EXPECT_FALSE(stopped.whole);
  EXPECT_TRUE(stopped.endUnknown);
  EXPECT_EQ(stopped.size, (lying.size() + 511) / 512 * 512);
  // A descriptor that cannot be found: the walk stops at the entry's data,
  // nothing tells where they end, and the archive ends with the first
  // sector that ends in zeros, its end not known.
  const std::string longer(3100, 'd');
  Bytes lost = Zip({{"a", longer, true}});
  std::memset(lost.data() + 31 + longer.size(), 0x77, 16);
  const Carve cut = Sized(zip, lost);
  EXPECT_FALSE(cut.whole);
  EXPECT_TRUE(cut.endUnknown);
  EXPECT_EQ(cut.size, (lost.size() + 511) / 512 * 512);
}

// An archive zip encrypted through a pipe (the fuzz seed): its entries'
// sizes follow their data, which do not inflate before they are decrypted.
// Its descriptors lead to the end record all the same.
TEST(RawZip, EncryptedStreamedEntriesAreWalkedThroughTheirDescriptors) {
  FileZIPAnalyser zip;
  const Bytes locked = testsupport::ReadFile(testsupport::SourceDir() / "tests/engine/raw/fuzz/zip/locked.zip");
  ASSERT_GT(locked.size(), 100u);
  ASSERT_EQ(ondisk::Le16(locked.data() + 6), 9);  // encrypted, sizes after the data
  for (const bool randomTail : {false, true}) {
    SCOPED_TRACE(randomTail);
    const Carve carved = Sized(zip, locked, randomTail);
    EXPECT_EQ(carved.size, locked.size());
    EXPECT_TRUE(carved.whole);
    EXPECT_FALSE(carved.endUnknown);
  }
  // A stored encrypted entry's data are the encryption header's 12 bytes
  // and its plain bytes: a descriptor whose sizes say so is taken, one of
  // another length is not.
  std::string sealed(12, 'k');
  sealed += "plain bytes";
  for (const uint32_t header : {12u, 11u}) {
    SCOPED_TRACE(header);
    Bytes stored = Zip({{"-", sealed, true}});
    stored[6] |= 1;
    const size_t descriptor = 30 + 1 + 12 + 11;
    ASSERT_EQ(ondisk::Le32(stored.data() + descriptor), 0x08074B50u);
    stored[descriptor + 12] = static_cast<uint8_t>(23 - header);  // the plain size
    EXPECT_EQ(Sized(zip, stored).whole, header == 12);
  }
}

TEST(RawZip, TypedFromEntryNamesAndData) {
  FileZIPAnalyser zip;
  EXPECT_EQ(Sized(zip, Zip({{"[Content_Types].xml", "x"}, {"xl/_rels/workbook.xml.rels", "r"}})).type, RAW_TYPE_XLSX);
  // Office packages whose writers put other parts first.
  EXPECT_EQ(
      Sized(zip, Zip({{"_rels/.rels", "x"}, {"ppt/_rels/presentation.xml.rels", "r"}, {"[Content_Types].xml", ""}}))
          .type,
      RAW_TYPE_PPTX);
  EXPECT_EQ(Sized(zip, Zip({{"_rels/.rels", "x"}, {"word/_rels/document.xml.rels", "r"}})).type, RAW_TYPE_ZIP);
  EXPECT_EQ(Sized(zip, Zip({{"docs/readme", "x"}, {"word.txt", "r"}})).type, RAW_TYPE_DOCX);
  EXPECT_EQ(Sized(zip, Zip({{"mimetype", "application/epub+zip"}, {"OEBPS/a.xhtml", "x"}})).type, RAW_TYPE_EPUB);
  const Carve odt = Sized(zip, Zip({{"mimetype", "application/vnd.oasis.opendocument.text"}}));
  EXPECT_EQ(odt.type, RAW_TYPE_ZIP);
  EXPECT_EQ(odt.prefix, "mimetype");
  EXPECT_EQ(Sized(zip, Zip({{"content/riffData.cdr", "RIFF"}})).type, RAW_TYPE_CDR);
  EXPECT_EQ(Sized(zip, Zip({{"Index/Document.iwa", "x"}, {"Index/Slide1.iwa", "y"}})).type, RAW_TYPE_KEY);
  EXPECT_EQ(Sized(zip, Zip({{"buildVersionHistory.plist", "<array><string>pages-trunk"}})).type, RAW_TYPE_PAGES);
  EXPECT_EQ(Sized(zip, Zip({{"Index/DocumentStylesheet.iwa", "..layout-style-1"}})).type, RAW_TYPE_PAGES);
  EXPECT_EQ(Sized(zip, Zip({{"Data/numbers/x", "y"}})).type, RAW_TYPE_NUMBERS);
  EXPECT_EQ(Sized(zip, Zip({{".hidden/a:b", "x"}})).prefix, "hidden_a_b");
}

TEST(RawZip, RecordsThatLieEndTheWalk) {
  FileZIPAnalyser zip;
  Bytes longName = Zip({{"a", "x"}});
  longName[26] = 0x01;
  longName[27] = 0x10;  // 4097 bytes of name
  EXPECT_EQ(Sized(zip, longName).answer, 0u);
  Bytes method = Zip({{"a", "x"}});
  method[8] = 11;
  EXPECT_EQ(Sized(zip, method).answer, 0u);
  // A ZIP64 end record of an impossible length ends the walk there.
  Bytes end64 = Zip({{"a", "x"}});
  const size_t at = 32;
  Bytes record = {0x50, 0x4B, 0x06, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  end64.insert(end64.begin() + at, record.begin(), record.end());
  const Carve stopped = Sized(zip, end64);
  EXPECT_TRUE(stopped.endUnknown);
  EXPECT_GE(stopped.size, at);
  EXPECT_LT(stopped.size, 4096u);
  // A ZIP64 size that added to the entry's offset would wrap round to its
  // own name, where an end record is written: the walk ends at the entry.
  Bytes wrap = Zip({{"a", "x"}});
  wrap.resize(32);
  const std::string end("PK\x05\x06" + std::string(18, '\0'));
  Put32(wrap, 0x04034B50);
  Put16(wrap, 45);
  wrap.insert(wrap.end(), 12, 0);
  Put32(wrap, 0xFFFFFFFF);
  Put32(wrap, 0xFFFFFFFF);
  Put16(wrap, static_cast<uint16_t>(end.size()));
  Put16(wrap, 20);
  wrap.insert(wrap.end(), end.begin(), end.end());
  Put16(wrap, 1);
  Put16(wrap, 16);
  wrap.insert(wrap.end(), 8, 0);
  const uint64_t back = 0 - uint64_t{wrap.size() + 8 - 62};  // from the data's start back to the name
  for (int i = 0; i < 8; ++i) wrap.push_back(static_cast<uint8_t>(back >> (8 * i)));
  const Carve wrapped = Sized(zip, wrap);
  EXPECT_TRUE(wrapped.endUnknown);
  EXPECT_EQ(wrapped.size, 32u);
}

}  // namespace
