#include "raw/DocumentAnalysers.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "OnDiskBytes.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawMarkSearch.h"
#include "raw/RawRereadBudget.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;

namespace {

constexpr uint64_t kNone = UINT64_MAX;

// Text comparison that ignores ASCII case when `fold` is set.
bool Same(const uint8_t* bytes, std::string_view text, bool fold) {
  for (size_t i = 0; i < text.size(); ++i) {
    const uint8_t a = bytes[i], b = static_cast<uint8_t>(text[i]);
    if (fold ? FoldAscii(a) != FoldAscii(b) : a != b) return false;
  }
  return true;
}

// Bytes read per step of a forward scan: half a window, so that a step and
// what it looks ahead at stay inside one.
uint64_t Step(const RawFileBuffer& buffer) { return uint64_t{RawFileBuffer::kWindowSectors / 2} * buffer.SectorSize(); }
constexpr size_t kLookAhead = 64;

struct Found {
  uint64_t at = kNone;   // the first occurrence, or kNone
  uint64_t reached = 0;  // where the search stopped without one
  bool unreadable = false;
};

// The first `pattern` (at most kLookAhead bytes) starting in [from, limit).
Found SearchForward(RawFileBuffer& buffer, uint64_t from, uint64_t limit, std::string_view pattern, bool fold) {
  const uint64_t step = Step(buffer);
  const uint8_t first = static_cast<uint8_t>(pattern[0]);
  for (uint64_t p = from; p < limit; p += step) {
    const uint8_t* bytes = buffer.Get(p, step + kLookAhead);
    if (bytes == nullptr) return {kNone, p, true};
    const uint64_t starts = std::min(step, limit - p);
    for (uint64_t i = 0; i < starts; ++i) {
      if (!fold) {
        const void* hit = std::memchr(bytes + i, first, starts - i);
        if (hit == nullptr) break;
        i = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - bytes);
      } else if (FoldAscii(bytes[i]) != FoldAscii(first)) {
        continue;
      }
      if (Same(bytes + i, pattern, fold)) return {p + i, 0, false};
    }
  }
  return {kNone, limit, false};
}

// SearchForward, going on from what the last search for `pattern` in this
// carving pass saw where it can. A search that goes on past a find it did
// not take keeps a memo of its own (`further`): it would otherwise put
// the first search's out of use for every file behind.
Found FindForward(RawFileBuffer& buffer, uint64_t from, uint64_t limit, std::string_view pattern, bool fold,
                  bool further = false) {
  // One memo per pattern (and way of comparing) met in this pass, for the
  // few a document type looks for.
  static thread_local RawSearchMemo memos[6];
  const uint64_t pass = RawCarvingPass::Current();
  if (pass == 0 || from >= limit) return SearchForward(buffer, from, limit, pattern, fold);
  std::string key(pattern);
  key.push_back(fold ? '\1' : '\0');
  key.push_back(further ? '\1' : '\0');
  RawSearchMemo* memo = nullptr;
  for (RawSearchMemo& m : memos) {
    if (m.key == key) memo = &m;
  }
  if (memo == nullptr) {
    // The slot of another pass, else the first.
    memo = &memos[0];
    for (RawSearchMemo& m : memos) {
      if (m.pass != pass) memo = &m;
    }
    *memo = RawSearchMemo();
    memo->key = std::move(key);
  }
  const uint64_t base = buffer.FirstByte();
  const bool inside = memo->Covers(buffer.Device(), base + from);
  uint64_t start = from;
  if (inside) {
    const uint64_t at = memo->reached - base;
    if (memo->found) {
      if (at < limit) return {at, 0, false};
    } else {
      start = std::min(at, limit);
    }
  }
  const Found found = start < limit ? SearchForward(buffer, start, limit, pattern, fold) : Found{kNone, limit, false};
  memo->Keep(buffer.Device(), inside, base + from, base + (found.at != kNone ? found.at : found.reached),
             found.at != kNone);
  return found;
}

// The line end that follows `at` in the file: CR LF, CR or LF; 0 for none.
uint64_t LineEnd(RawFileBuffer& buffer, uint64_t at) {
  const uint8_t* b = buffer.Get(at, 2);
  if (b == nullptr) return 0;
  if (b[0] == '\r') return b[1] == '\n' ? 2 : 1;
  return b[0] == '\n' ? 1 : 0;
}

// A search that found no end: a read failure inside the device fails the
// file; the device's end gives what it holds; a limit gives the limit.
// Either way the end is not known.
uint32_t Unended(CRawFileInfo& info, RawFileBuffer& buffer, const Found& found, bool failOnUnreadable) {
  info.m_endUnknown = true;
  if (found.unreadable && found.reached < buffer.BytesToDeviceEnd()) {
    info.m_size = failOnUnreadable ? 0 : found.reached;
    return failOnUnreadable ? 0 : 1;
  }
  info.m_size = std::min(found.reached, buffer.BytesToDeviceEnd());
  return info.m_size != 0 ? 1 : 0;
}

// Ends a text file at `mark` (its offset and length), with its line end.
// A mark found by a search proves nothing of the bytes before it: behind a
// text cut short, the next text's mark reads the same.
uint32_t EndAt(CRawFileInfo& info, RawFileBuffer& buffer, uint64_t mark, uint64_t length) {
  info.m_size = mark + length + LineEnd(buffer, mark + length);
  return 1;
}

}  // namespace

// ---- PDF ----

uint32_t FilePDFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[4] != '-') return 0;
  info.m_type = RAW_TYPE_PDF;
  return 1;
}

bool FilePDFAnalyser::IsContainPdfKeyWords(const char* text) {
  static const char* const kWords[] = {" 0 obj",   "xref\r\n", "xref\r",        "xref\n",      "trailr\r\n",
                                       "trailr\r", "trailr\n", "startxref\r\n", "startxref\r", "startxref\n"};
  if (text == nullptr) return false;
  for (const char* word : kWords) {
    if (std::strstr(text, word) != nullptr) return true;
  }
  return false;
}

namespace {

constexpr uint64_t kPdfLimit = 0xD000001;
// How far the AI test looks: the first KiB for the PostScript header, and
// from there at most this much for the creator's name.
constexpr size_t kAiSpan = 1024 + 4096;

// Whether the file goes on behind an "%%EOF" ending at `end`: an incremental
// update or the rest of a linearized file follows with objects or a
// cross-reference section. Zeros, another PDF or foreign bytes do not.
bool PdfGoesOn(RawFileBuffer& buffer, uint64_t end) {
  const uint8_t* b = buffer.Get(end, 1024);
  if (b == nullptr || b[0] == 0) return false;
  char text[1025];
  std::memcpy(text, b, 1024);
  text[1024] = 0;
  if (std::strstr(text, "%PDF-") != nullptr) return false;
  return FilePDFAnalyser::IsContainPdfKeyWords(text) || std::strstr(text, "endobj") != nullptr;
}

bool IsPdfSpace(uint8_t c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }

// The decimal number at `at` (at most `n` bytes), advancing `at`; false when
// no digit stands there.
bool PdfNumber(const uint8_t* b, size_t n, size_t& at, uint64_t& value) {
  value = 0;
  const size_t first = at;
  while (at < n && at - first < 18 && b[at] >= '0' && b[at] <= '9') value = value * 10 + (b[at++] - '0');
  return at > first;
}

// Whether the "startxref" before the "%%EOF" at `eof` points at this file's
// cross-reference data: an "xref" table, or an object whose dictionary is a
// cross-reference stream's, at that offset from the file's first byte and
// before the mark. Another PDF's end, met behind a file cut short, counts
// from that file's start, so it points at nothing of the sort here (but see
// PdfLinearizedEndHolds). `offset` gets where it points.
bool PdfXrefHolds(RawFileBuffer& buffer, uint64_t eof, uint64_t& offset) {
  // "startxref", its offset and their line ends stand right before the mark.
  constexpr uint64_t kBack = 64;
  const uint64_t from = eof > kBack ? eof - kBack : 0;
  const size_t n = static_cast<size_t>(eof - from);
  const uint8_t* b = buffer.Get(from, n);
  if (b == nullptr) return false;
  size_t at = n;
  for (size_t i = 0; i + 9 <= n; ++i) {
    if (std::memcmp(b + i, "startxref", 9) == 0) at = i + 9;
  }
  if (at == n) return false;
  while (at < n && IsPdfSpace(b[at])) ++at;
  if (!PdfNumber(b, n, at, offset) || offset >= eof) return false;
  constexpr size_t kLook = 1024;
  const uint8_t* x = buffer.Get(offset, kLook);
  if (x == nullptr) return false;
  // Some writers point at the line end before the keyword.
  size_t k = 0;
  while (k < 4 && IsPdfSpace(x[k])) ++k;
  if (std::memcmp(x + k, "xref", 4) == 0) return true;
  uint64_t number = 0;
  if (!PdfNumber(x, kLook, k, number) || x[k++] != ' ' || !PdfNumber(x, kLook, k, number)) return false;
  while (k < 16 && IsPdfSpace(x[k])) ++k;
  if (std::memcmp(x + k, "obj", 3) != 0) return false;
  const uint8_t* type = Apimemstr(x + k, static_cast<int64_t>(kLook - k), reinterpret_cast<const uint8_t*>("/XRef"), 5);
  const uint8_t* stream =
      Apimemstr(x + k, static_cast<int64_t>(kLook - k), reinterpret_cast<const uint8_t*>("stream"), 6);
  return type != nullptr && (stream == nullptr || type < stream);
}

// The file's length a linearized file gives in its first object ("/L" in
// the dictionary that holds "/Linearized"), or 0 for a file that is not
// linearized.
uint64_t PdfLinearizedLength(RawFileBuffer& buffer) {
  constexpr size_t kLook = 1024;
  const uint8_t* b = buffer.Get(0, kLook);
  if (b == nullptr) return 0;
  const uint8_t* mark = Apimemstr(b, kLook, reinterpret_cast<const uint8_t*>("/Linearized"), 11);
  if (mark == nullptr) return 0;
  const uint8_t* close = Apimemstr(mark, b + kLook - mark, reinterpret_cast<const uint8_t*>(">>"), 2);
  if (close == nullptr) return 0;
  for (size_t i = 0; b + i + 2 < close; ++i) {
    if (b[i] != '/' || b[i + 1] != 'L' || !(IsPdfSpace(b[i + 2]) || (b[i + 2] >= '0' && b[i + 2] <= '9'))) continue;
    size_t at = i + 2;
    while (at < kLook && IsPdfSpace(b[at])) ++at;
    uint64_t length = 0;
    return PdfNumber(b, kLook, at, length) ? length : 0;
  }
  return 0;
}

// Whether a linearized file of `length` bytes (0: not linearized) may end
// at the "%%EOF" at `eof` whose line ends at `end`, its "startxref" pointing
// at `offset`. Its last "startxref" points at its first page's
// cross-reference table near its start, where every file a writer
// linearizes has it (the same offset in each): another linearized file's
// end, met behind one cut short, points there too. So such an end is its
// own only at the length it gives; one that points past that length is an
// incremental update's.
bool PdfLinearizedEndHolds(uint64_t length, uint64_t offset, uint64_t eof, uint64_t end) {
  return length == 0 || offset >= length || (length >= eof + 5 && length <= end);
}

}  // namespace

uint32_t FilePDFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, kAiSpan);
  if (head == nullptr) return 0;
  for (size_t p = 0; p < 1024; ++p) {
    if (std::memcmp(head + p, "%!PS-Adobe", 10) != 0) continue;
    // The creator's name stands before the text's terminating zero, and
    // within the span read.
    const void* zero = std::memchr(head + p, 0, kAiSpan - p);
    const int64_t n = zero != nullptr ? static_cast<const uint8_t*>(zero) - (head + p) : int64_t(kAiSpan - p);
    if (Apimemstr(head + p, n, reinterpret_cast<const uint8_t*>("Adobe Illustrator"), 17) != nullptr) {
      info.m_type = RAW_TYPE_AI;
      break;
    }
  }
  // From the first byte: a small file's "%%EOF" lies in its first KiB, and a
  // linearized file's early one is passed over because objects follow it.
  // An end whose "startxref" points at nothing of this file is another
  // file's: this one was cut, and the search goes on.
  const uint64_t linearized = PdfLinearizedLength(buffer);
  uint64_t from = 0;
  while (true) {
    const Found eof = FindForward(buffer, from, kPdfLimit, "%%EOF", false, from != 0);
    if (eof.at == kNone) return Unended(info, buffer, eof, true);
    const uint64_t end = eof.at + 5 + LineEnd(buffer, eof.at + 5);
    uint64_t xref = 0;
    if (!PdfGoesOn(buffer, end) && PdfXrefHolds(buffer, eof.at, xref) &&
        PdfLinearizedEndHolds(linearized, xref, eof.at, end)) {
      EndAt(info, buffer, eof.at, 5);
      // Its cross-reference data lie where its own offset says: the bytes
      // up to its end are its own, the pictures they hold among them.
      info.m_whole = true;
      return 1;
    }
    from = eof.at + 5;
  }
}

// ---- RTF ----

uint32_t FileRTFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[4] != 'f') return 0;
  info.m_type = RAW_TYPE_RTF;
  return 1;
}

namespace {

bool IsRtfHead(const uint8_t* bytes) { return std::memcmp(bytes, "{\\rtf", 5) == 0; }

// Whether a text may hold the byte: control characters other than tab,
// line ends and form feed (zero among them) are held by none.
bool IsText(uint8_t c) { return c >= 0x20 ? c != 0x7F : c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// A text whose groups are still open where it stops being text: it was cut
// there (or, at a sector's start, the next file begins), and what came
// through is kept, its end not known.
uint32_t CutText(CRawFileInfo& info, uint64_t at) {
  info.m_size = at;
  info.m_endUnknown = true;
  return 1;
}

}  // namespace

uint32_t FileRTFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  constexpr uint64_t kLimit = 0xD000000;
  RawFileBuffer buffer(device, info.m_startSector);
  const uint64_t step = Step(buffer);
  const uint64_t s = buffer.SectorSize();
  int64_t depth = 1;
  uint64_t next = 5;
  // Another text's head at the start of a sector cuts this one off, as a
  // zero byte does: no text holds one there, also where binary data are
  // skipped. The count of each of many heads one after the other would
  // otherwise read on over all the heads behind it.
  uint64_t looked = s;  // sector starts below this were looked at
  while (next < kLimit) {
    for (; looked < next; looked += s) {
      const uint8_t* head = buffer.Get(looked, 5);
      if (head == nullptr) {
        looked = next;
        break;
      }
      if (IsRtfHead(head)) return CutText(info, looked);
    }
    const uint8_t* bytes = buffer.Get(next, step + kLookAhead);
    if (bytes == nullptr) return Unended(info, buffer, {kNone, next, true}, true);
    uint64_t stop = step;
    for (looked = std::max(looked, (next + s - 1) / s * s); looked < next + step; looked += s) {
      if (IsRtfHead(bytes + (looked - next))) {
        stop = looked - next;
        break;
      }
    }
    uint64_t i = 0;
    while (i < stop) {
      const uint8_t c = bytes[i];
      if (!IsText(c)) return CutText(info, next + i);
      if (c == '\\') {
        // An escaped brace or backslash is text, and binary data after
        // \binN is skipped whole: neither opens nor closes a group.
        if (std::memcmp(bytes + i + 1, "bin", 3) == 0 && std::isdigit(bytes[i + 4])) {
          uint64_t n = 0;
          uint64_t j = i + 4;
          while (j < i + 14 && std::isdigit(bytes[j])) n = n * 10 + (bytes[j++] - '0');
          if (bytes[j] == ' ') ++j;
          i = j + std::min<uint64_t>(n, kLimit);
        } else {
          i += 2;
        }
        continue;
      }
      if (c == '{') ++depth;
      if (c == '}' && --depth == 0) return EndAt(info, buffer, next + i, 1);
      ++i;
    }
    if (stop < step && i >= stop) return CutText(info, next + stop);
    next += i;
  }
  // Groups still open at the limit.
  info.m_size = next;
  info.m_endUnknown = true;
  return 1;
}

// ---- HTML ----

uint32_t FileHTMAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  // Asked about nearly every sector: the one byte both texts begin with
  // first, before any folded compare.
  if (s[0] != '<' || (!Same(s, "<HTML", true) && !Same(s, "<!DOCTYPE HTML", true))) return 0;
  info.m_type = RAW_TYPE_HTM;
  return 1;
}

namespace {

// Where the text that runs from `from` stops before `limit`: the first byte
// that no text holds (zeros, or foreign bytes), else `limit`.
uint64_t TextEnd(RawFileBuffer& buffer, uint64_t from, uint64_t limit) {
  const uint64_t step = Step(buffer);
  for (uint64_t p = from; p < limit; p += step) {
    const uint8_t* bytes = buffer.Get(p, step);
    if (bytes == nullptr) return p;
    for (uint64_t i = 0; i < step && p + i < limit; ++i) {
      if (!IsText(bytes[i])) return p + i;
    }
  }
  return limit;
}

}  // namespace

uint32_t FileHTMAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  constexpr uint64_t kLimit = 0x100000;
  RawFileBuffer buffer(device, info.m_startSector);
  Found end = FindForward(buffer, 0, kLimit, "</html>", true);
  if (end.at == kNone) {
    // No end within the limit: what was searched, in whole sectors.
    const uint32_t answer = Unended(info, buffer, end, false);
    const uint64_t s = buffer.SectorSize();
    info.m_size = (info.m_size + s - 1) / s * s;
    return answer;
  }
  // A closing tag that only text separates from the next one was written by
  // a script or stands in a comment: the document ends at the next.
  while (true) {
    const Found next = FindForward(buffer, end.at + 7, kLimit, "</html>", true);
    if (next.at == kNone || TextEnd(buffer, end.at + 7, next.at) < next.at) return EndAt(info, buffer, end.at, 7);
    end = next;
  }
}

uint32_t FileUnicodeHTMAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[0] != 0xFF || s[1] != 0xFE || s[2] != '<' || s[3] != 0) return 0;
  info.m_type = RAW_TYPE_HTM;
  return 1;
}

namespace {

// UTF-16LE text compared with ASCII `text`, case ignored.
bool SameUnits(const uint8_t* units, std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (units[2 * i + 1] != 0 || FoldAscii(units[2 * i]) != FoldAscii(static_cast<uint8_t>(text[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

uint32_t FileUnicodeHTMAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  constexpr uint64_t kLimit = 0x100001;
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 512 + kLookAhead);
  if (head == nullptr) return 0;
  bool html = SameUnits(head + 2, "<HTML>");
  if (!html && head[4] == '!' && head[5] == 0) {
    for (uint64_t at = 2; at < 500 && !html; at += 2) html = SameUnits(head + at, "<HTML>");
  }
  if (!html) return 0;
  const uint64_t step = Step(buffer);
  uint64_t at = 14;
  while (at < kLimit) {
    const uint8_t* units = buffer.Get(at, step + kLookAhead);
    if (units == nullptr) return Unended(info, buffer, {kNone, at, true}, false);
    for (uint64_t i = 0; i < step; i += 2) {
      const uint16_t unit = Le16(units + i);
      if (unit == '<' && SameUnits(units + i, "</HTML>")) {
        const uint8_t* after = units + i + 14;
        const uint64_t line = Le16(after) == '\r' ? (Le16(after + 2) == '\n' ? 4 : 2) : Le16(after) == '\n' ? 2 : 0;
        info.m_size = at + i + 14 + line;
        return 1;
      }
      if (unit == 0 || unit == 0xFFFF || unit == 0xFEFF) {
        // It stops being text before its closing tag: cut there (zeros
        // behind a cut, or other bytes), its end not known.
        return CutText(info, at + i);
      }
    }
    at += step;
  }
  info.m_size = at;
  info.m_endUnknown = true;
  return 1;
}

// ---- EPS ----

uint32_t FileEPSAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[0] == '%') {
    if (std::memcmp(s, "%!PS-Adobe", 10) != 0) return 0;
    info.m_type = RAW_TYPE_EPS;
    return 1;
  }
  // The binary header of an EPS with a preview: the PostScript section and
  // a WMF or a TIFF picture, each at its offset and of its length.
  if (s[28] != 0xFF || s[29] != 0xFF) return 0;
  const int c30 = FoldAscii(s[30]), c31 = FoldAscii(s[31]);
  const uint64_t postscript = uint64_t{Le32(s + 4)} + Le32(s + 8);
  if ((c30 == 0x25 && c31 == 0x21) || (c30 == 0 && c31 == 0)) {
    // The file ends with the last of its sections (one preview or none).
    const uint64_t wmf = uint64_t{Le32(s + 12)} + Le32(s + 16);
    const uint64_t tiff = uint64_t{Le32(s + 20)} + Le32(s + 24);
    info.m_size = std::max({postscript, wmf, tiff});
  } else if (c30 == 'i' && c31 == 'i') {
    info.m_size = postscript;
  } else {
    return 0;
  }
  info.m_type = RAW_TYPE_EPS;
  return 1;
}

uint32_t FileEPSAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  constexpr uint64_t kLimit = 0x3400000;
  RawFileBuffer buffer(device, info.m_startSector);
  const uint64_t step = Step(buffer);
  // Prologs, resources and documents embedded between %%Begin... and
  // %%End... comments may carry trailers of their own; the comment section's
  // end (%%EndComments) has no beginning.
  int64_t depth = 0;
  static thread_local RawRereadBudget budget;
  budget.Begin(buffer);
  for (uint64_t p = 0; p < kLimit; p += step) {
    if (!budget.Take(p, p + step)) break;
    const uint8_t* bytes = buffer.Get(p, step + kLookAhead);
    if (bytes == nullptr) return Unended(info, buffer, {kNone, p, true}, false);
    for (uint64_t i = 0; i < step; ++i) {
      const void* hit = std::memchr(bytes + i, '%', step - i);
      if (hit == nullptr) break;
      i = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - bytes);
      const uint8_t* at = bytes + i;
      if (Same(at, "%AI9_PrivateDataEnd", false)) return EndAt(info, buffer, p + i, 19);
      if (Same(at, "%%Begin", false)) ++depth;
      if (Same(at, "%%End", false) && !Same(at, "%%EndComments", false)) --depth;
      if (depth <= 0 && Same(at, "%%EOF", false)) {
        // An AI file's private data follows its PostScript trailer.
        const uint64_t line = at[5] == '\r' ? (at[6] == '\n' ? 2 : 1) : at[5] == '\n' ? 1 : 0;
        if (!Same(at + 5 + line, "%AI", false)) return EndAt(info, buffer, p + i, 5);
      }
    }
  }
  info.m_size = kLimit;
  return 1;
}

// ---- SVG ----

uint32_t FileSVGAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  static const char* const kTags[] = {"<svg ", "<svg\n ", "<svg\r ", "<svg> ", "<svg>\n", "<svg>\r"};
  if (std::memcmp(s, "<?xml version=\"", 15) != 0) return 0;
  for (const char* tag : kTags) {
    const auto* t = reinterpret_cast<const uint8_t*>(tag);
    if (Apimemstr(s, 511, t, static_cast<int64_t>(std::strlen(tag))) != nullptr) {
      info.m_type = RAW_TYPE_SVG;
      return 1;
    }
  }
  return 0;
}

uint32_t FileSVGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  constexpr uint64_t kLimit = 0x100000;
  RawFileBuffer buffer(device, info.m_startSector);
  const Found end = FindForward(buffer, 0, kLimit, "\n</svg>", false);
  if (end.at != kNone) return EndAt(info, buffer, end.at, 7);
  return Unended(info, buffer, end, false);
}

// ---- sized from the header ----

uint32_t FileDBXAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  static const uint8_t kFolders[16] = {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F,
                                       0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0};
  static const uint8_t kMessages[16] = {0xCF, 0xAD, 0x12, 0xFE, 0x30, 0x9D, 0xFE, 0x26,
                                        0x8F, 0x1A, 0xD2, 0x11, 0xAA, 0xBF, 0x00, 0x60};
  static const uint8_t kOld[8] = {'J', 'M', 'F', '6', 0x03, 0x00, 0x01, 0x00};
  bool match = std::memcmp(s, kMessages, 16) == 0 || std::memcmp(s, kOld, 8) == 0;
  if (!match && std::memcmp(s, kFolders, 4) == 0 && std::memcmp(s + 5, kFolders + 5, 11) == 0) {
    match = s[4] == 0xC5 || s[4] == 0xC6 || s[4] == 0xC7;
  }
  if (!match) return 0;
  info.m_type = RAW_TYPE_DBX;
  info.m_size = Le32(s + 124);
  return 1;
}

uint32_t FileHLPAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  const uint32_t size = Le32(s + 12);
  if (size < 512 || size < Le32(s + 4)) return 0;
  info.m_type = RAW_TYPE_HLP;
  info.m_size = size;
  return 1;
}

uint32_t FileCHMAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  static const uint8_t kGuid[16] = {0x10, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11,
                                    0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};
  // The second identifier ends its first part in 11; some writers repeat
  // the first one there.
  if (Le32(s + 8) != 96 || std::memcmp(s + 24, kGuid, 16) != 0 || (s[40] != 0x11 && s[40] != 0x10) ||
      std::memcmp(s + 41, kGuid + 1, 15) != 0 || Le32(s + 96) != 510 || Le32(s + 100) != 0 || Le32(s + 112) != 0 ||
      Le32(s + 116) != 0) {
    return 0;
  }
  info.m_type = RAW_TYPE_CHM;
  info.m_size = Le64(s + 104);
  return 1;
}

uint32_t FileLowDocAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  info.m_type = RAW_TYPE_DOC;
  info.m_size = (uint64_t{Le32(s + 292)} + Le16(s + 296) + 511) / 512 * 512;
  return 1;
}

uint32_t FileONEAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  static const uint8_t kGuid[12] = {0x8C, 0xD8, 0xA7, 0x4D, 0xAE, 0xB1, 0x53, 0x78, 0xD0, 0x29, 0x96, 0xD3};
  if (std::memcmp(s + 4, kGuid, 12) != 0) return 0;
  const uint32_t size = Le32(s + 196);
  info.m_type = RAW_TYPE_ONE;
  info.m_size = size >= 1 && size <= 0x40000000 ? size : 0x300000;
  return 1;
}

uint32_t FilePSTAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  info.m_type = RAW_TYPE_PST;
  info.m_size = s[10] == 23 ? Le32(s + 184) : s[10] == 14 ? Le32(s + 168) : 0x100000;
  return 1;
}

uint32_t FileWPDAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  struct Row {
    uint8_t at8[4], at14[4];
    uint32_t type;
  };
  static const Row kRows[] = {
      {{0x01, 0x0A, 0x02, 0x01}, {0x00, 0x02, 0x05, 0x00}, RAW_TYPE_WPD},
      {{0x01, 0x16, 0x02, 0x00}, {0x00, 0x00, 0x03, 0x00}, RAW_TYPE_WPG},
      {{0x0F, 0x0F, 0x01, 0x00}, {0x00, 0x00, 0x03, 0x00}, RAW_TYPE_SHW},
  };
  uint32_t type = RAW_TYPE_NONE;
  for (const Row& row : kRows) {
    if (std::memcmp(s + 8, row.at8, 4) == 0 && std::memcmp(s + 14, row.at14, 4) == 0) type = row.type;
  }
  if (type == RAW_TYPE_NONE) return 0;
  info.m_type = type;
  info.m_size = Le32(s + 20);
  return 1;
}

// ---- databases ----

namespace {

// Pages of 4096 bytes from the second on, up to the first whose first byte
// is zero (or that cannot be read).
uint32_t WalkPages(CRawFileInfo& info, IStorageDevice* device) {
  constexpr uint64_t kLimit = 0x6400000;
  RawFileBuffer buffer(device, info.m_startSector);
  uint64_t at = 4096;
  while (at < kLimit) {
    const uint8_t* page = buffer.Get(at, 1);
    if (page == nullptr || page[0] == 0) break;
    at += 4096;
  }
  info.m_size = at;
  return 1;
}

}  // namespace

uint32_t FileMDBAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[0] != 0 || s[1] != 1 || s[2] != 0 || s[3] != 0 || s[19] != 0) return 0;
  if (std::memcmp(s + 4, "Standard Jet DB", 15) == 0) {
    info.m_type = RAW_TYPE_MDB;
  } else if (std::memcmp(s + 4, "Standard ACE DB", 15) == 0) {
    info.m_type = RAW_TYPE_ACCDB;
  } else {
    return 0;
  }
  return 1;
}

uint32_t FileMDBAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) { return WalkPages(info, device); }

uint32_t FileMNYAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s + 4, "MSISAM Database", 15) != 0) return 0;
  info.m_type = RAW_TYPE_MNY;
  return 1;
}

// Its pages are laid out as those of MDB files: a fixed megabyte would cut
// larger files short.
uint32_t FileMNYAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) { return WalkPages(info, device); }
