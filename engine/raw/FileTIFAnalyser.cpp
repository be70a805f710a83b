#include "raw/FileTIFAnalyser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "OnDiskBytes.h"
#include "raw/ExifParser.h"
#include "raw/RawFileAnalyserList.h"
#include "raw/RawFileBuffer.h"

namespace {

// No structure of these files lies further out: a pointer beyond is damaged.
constexpr uint64_t kTiffLimit = 0x4E000000;
// Directories visited per file, every chain and maker note together.
constexpr int kMaxDirectories = 64;
constexpr uint32_t kMaxEntries = 512;
// Offsets tried as directories per file, those that hold none included,
// and entries read per file: each may cost a read far from the last, so
// that lists of offsets that lead nowhere cost a bounded number of reads.
constexpr int kMaxDirectoryTries = 1024;
constexpr uint32_t kMaxFileEntries = 4096;
// Elements of a strip or tile array read one by one; of a longer array the
// last as well.
constexpr uint64_t kMaxArray = 65536;
// Elements of an offset array read before those of its length array: the
// two may lie far apart.
constexpr uint64_t kArrayBlock = 4096;
// Sub-directories listed by one entry that are walked.
constexpr uint32_t kMaxSubIfds = 512;
// Bytes per value of the TIFF types 1-13 (13: the offset of a directory).
constexpr uint32_t kTypeBytes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
constexpr uint32_t kTypeShort = 3, kTypeLong = 4, kTypeIfd = 13;

constexpr uint32_t kKeyLittle = RawKey('I', 'I', 0x2A, 0), kKeyBig = RawKey('M', 'M', 0, 0x2A),
                   kKeyRw2 = RawKey('I', 'I', 'U', 0), kKeyOrf = RawKey('I', 'I', 'R', 'O'),
                   kKeyOrfS = RawKey('I', 'I', 'R', 'S'), kKeyRaf = RawKey('F', 'U', 'J', 'I');

enum : uint16_t {
  kMake = 271,
  kModel = 272,
  kStripOffsets = 273,
  kStripByteCounts = 279,
  kRawDataOffset = 280,
  kDateTime = 306,
  kTileOffsets = 324,
  kTileByteCounts = 325,
  kSubIfds = 330,
  kJpegOffset = 513,
  kJpegLength = 514,
  kExifIfd = 34665,
  kGpsIfd = 34853,
  kDateTimeOriginal = 36867,
  kMakerNote = 37500,
  kInteropIfd = 40965,
  kDngVersion = 50706,
  kDngPrivateData = 50740,
  kPreviewIfd = 0x0011,  // in a NEF maker note
};

bool IsTiffKey(uint32_t key) {
  return key == kKeyLittle || key == kKeyBig || key == kKeyRw2 || key == kKeyOrf || key == kKeyOrfS;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool Contains(const std::string& text, const char* word) { return text.find(word) != std::string::npos; }

// A directory's entries in the file's byte order.
struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint32_t value;  // the four value bytes as a LONG
  uint64_t bytes;  // count x the type's size
};

// A strip, tile or JPEG array of one directory.
struct Array {
  bool present = false;
  uint64_t at = 0;  // where its first element lies
  uint32_t type = 0;
  uint64_t count = 0;
};

// A file ends in the sector that holds its last byte; when that sector ends
// in zeros, the bytes up to its last non-zero one are taken as the file's
// too (data no directory points at, written behind the structures). In a
// sector that does not end in zeros nothing is added.
uint64_t WithZeroTailedSlack(RawFileBuffer& buffer, uint64_t end) {
  const uint32_t s = buffer.SectorSize();
  if (end % s == 0) return end;
  const uint64_t start = end - end % s;
  const uint8_t* sector = buffer.Get(start, s);
  if (sector == nullptr || !ondisk::AllZero(sector + s - 16, 16)) return end;
  uint32_t used = s - 16;
  while (used > 0 && sector[used - 1] == 0) --used;
  return std::max(end, start + used);
}

}  // namespace

struct FileTIFAnalyser::Reader {
  RawFileBuffer& buffer;
  bool big;
  bool U16(uint64_t at, uint32_t& v) {
    const uint8_t* p = buffer.Get(at, 2);
    if (p == nullptr) return false;
    v = big ? ondisk::Be16(p) : ondisk::Le16(p);
    return true;
  }
  bool U32(uint64_t at, uint32_t& v) {
    const uint8_t* p = buffer.Get(at, 4);
    if (p == nullptr) return false;
    v = big ? ondisk::Be32(p) : ondisk::Le32(p);
    return true;
  }
  uint32_t From(const uint8_t* p, int bytes) const {
    if (bytes == 2) return big ? ondisk::Be16(p) : ondisk::Le16(p);
    return big ? ondisk::Be32(p) : ondisk::Le32(p);
  }
  // Element `i` of an array of SHORT, LONG or directory values.
  bool Element(const Array& a, uint64_t i, uint32_t& v) {
    if (a.type == kTypeShort) return U16(a.at + 2 * i, v);
    if (a.type == kTypeLong || a.type == kTypeIfd) return U32(a.at + 4 * i, v);
    return false;
  }
  // At most 63 bytes of text, up to its first NUL.
  std::string Text(uint64_t at, uint64_t count) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, 63));
    const uint8_t* p = n != 0 ? buffer.Get(at, n) : nullptr;
    if (p == nullptr) return {};
    size_t length = 0;
    while (length < n && p[length] != 0) ++length;
    return std::string(reinterpret_cast<const char*>(p), length);
  }
};

uint32_t FileTIFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  uint32_t key;
  std::memcpy(&key, s, 4);
  if (key == kKeyRaf) {
    if (std::memcmp(s + 4, "FILMCCD-RAW ", 12) != 0) return 0;
  } else if (IsTiffKey(key)) {
    // The first directory, where it lies in this sector, must be one: a
    // count of entries and entries of known types.
    const bool big = s[0] == 'M';
    const uint64_t first = big ? ondisk::Be32(s + 4) : ondisk::Le32(s + 4);
    if (first < 8) return 0;
    if (first + 2 <= 512) {
      const uint32_t count = big ? ondisk::Be16(s + first) : ondisk::Le16(s + first);
      if (count == 0 || count > kMaxEntries) return 0;
      for (uint32_t e = 0; e < count && first + 2 + 12 * (e + 1) <= 512; ++e) {
        const uint8_t* entry = s + first + 2 + 12 * e;
        const uint32_t type = big ? ondisk::Be16(entry + 2) : ondisk::Le16(entry + 2);
        if (type < 1 || type > 13) return 0;
      }
    }
  } else {
    return 0;
  }
  info.m_type = RAW_TYPE_TIF;
  return 1;
}

void FileTIFAnalyser::InitTifAnalyser() {
  m_make.clear();
  m_model.clear();
  m_time.clear();
  m_originalTime.clear();
  m_dng = m_a100 = false;
  m_extent = 0;
  m_thumbStart = m_thumbSize = 0;
  m_pictures.clear();
  m_rawDataOffset = m_lastStripCount = 0;
  m_a100Position = 0;
  m_directories = 0;
  m_tries = 0;
  m_entriesLeft = kMaxFileEntries;
  m_seen.clear();
  m_tag = RAW_FILE_TAG_NONE;
}

int FileTIFAnalyser::GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) {
  tag = static_cast<RAW_FILE_TAG>(m_tag);
  value = m_model;
  return m_tag != RAW_FILE_TAG_NONE ? 1 : 0;
}

void FileTIFAnalyser::GetThumbStartAndSize(uint64_t& start, uint64_t& size) {
  start = m_thumbStart;
  size = m_thumbSize;
}

void FileTIFAnalyser::Reach(uint64_t begin, uint64_t length) {
  if (begin > kTiffLimit || length > kTiffLimit - begin) return;
  m_extent = std::max(m_extent, begin + length);
}

uint32_t FileTIFAnalyser::TypeFromMake(const std::string& make, const std::string& model, bool dng, bool rw2Header) {
  if (dng) return RAW_TYPE_DNG;
  const std::string m = Upper(make);
  if (Contains(m, "NIKON")) return RAW_TYPE_NEF;
  if (Contains(m, "CANON")) return RAW_TYPE_CR2;
  if (Contains(m, "SONY")) return Contains(model, "DSC-R1") ? RAW_TYPE_SR2 : RAW_TYPE_ARW;
  if (Contains(m, "PANASONIC")) return !rw2Header || Contains(model, "DMC-") ? RAW_TYPE_RW2 : RAW_TYPE_RAW;
  if (Contains(m, "LEICA")) return rw2Header ? RAW_TYPE_RAW : RAW_TYPE_TIF;
  if (Contains(m, "KODAK")) return Contains(model, "DCS Pro SLR") ? RAW_TYPE_DCR : RAW_TYPE_KDC;
  if (Contains(m, "EPSON")) return RAW_TYPE_ERF;
  if (Contains(m, "HASSELBLAD")) return RAW_TYPE_3FR;
  if (Contains(m, "MAMIYA")) return RAW_TYPE_MEF;
  if (Contains(m, "PENTAX")) return RAW_TYPE_PEF;
  if (Contains(m, "SAMSUNG")) return RAW_TYPE_SRW;
  if (Contains(m, "OLYMPUS")) return RAW_TYPE_ORF;
  return RAW_TYPE_TIF;
}

bool FileTIFAnalyser::WalkIfd(Reader& r, uint64_t at, uint64_t base, bool main, uint64_t& next) {
  next = 0;
  if (m_directories >= kMaxDirectories || m_tries >= kMaxDirectoryTries || at > kTiffLimit ||
      !m_seen.insert(at).second) {
    return false;
  }
  ++m_tries;
  uint32_t count = 0;
  if (!r.U16(at, count) || count == 0 || count > kMaxEntries || count > m_entriesLeft) return false;
  m_entriesLeft -= count;
  const uint8_t* raw = r.buffer.Get(at + 2, size_t{count} * 12 + 4);
  if (raw == nullptr) return false;
  std::vector<Entry> entries(count);
  for (uint32_t e = 0; e < count; ++e) {
    const uint8_t* p = raw + size_t{e} * 12;
    Entry& entry = entries[e];
    entry.tag = static_cast<uint16_t>(r.From(p, 2));
    entry.type = static_cast<uint16_t>(r.From(p + 2, 2));
    if (entry.type < 1 || entry.type > 13) return false;
    entry.count = r.From(p + 4, 4);
    entry.value = r.From(p + 8, 4);
    entry.bytes = uint64_t{entry.count} * kTypeBytes[entry.type];
  }
  const uint32_t nextOffset = r.From(raw + size_t{count} * 12, 4);
  ++m_directories;
  Reach(at, 2 + uint64_t{count} * 12 + 4);

  Array stripOffsets, stripCounts, tileOffsets, tileCounts, jpegOffset, jpegLength;
  std::vector<uint64_t> subChains;  // directories walked once this one is read
  for (uint32_t e = 0; e < count; ++e) {
    const Entry& entry = entries[e];
    const uint64_t inlineAt = at + 2 + uint64_t{e} * 12 + 8;
    const uint64_t valueAt = entry.bytes <= 4 ? inlineAt : base + entry.value;
    if (entry.bytes > 4) Reach(valueAt, entry.bytes);
    Array array{true, valueAt, entry.type, entry.count};
    uint32_t first = 0;
    const bool scalar = r.Element(array, 0, first) && entry.count >= 1;
    switch (entry.tag) {
      case kMake:
        if (main && m_make.empty()) {
          m_make = r.Text(valueAt, entry.count);
        }
        break;
      case kModel:
        if (main && m_model.empty()) {
          m_model = r.Text(valueAt, entry.count);
          if (m_model.size() >= 41) m_model.clear();
          m_a100 = m_model.rfind("DSLR-A100", 0) == 0;
        }
        break;
      case kDateTime:
        if (main && m_time.empty()) m_time = r.Text(valueAt, entry.count);
        break;
      case kDateTimeOriginal:
        if (m_originalTime.empty()) m_originalTime = r.Text(valueAt, entry.count);
        break;
      case kStripOffsets:
        stripOffsets = array;
        break;
      case kStripByteCounts:
        stripCounts = array;
        break;
      case kTileOffsets:
        tileOffsets = array;
        break;
      case kTileByteCounts:
        tileCounts = array;
        break;
      case kJpegOffset:
        jpegOffset = array;
        break;
      case kJpegLength:
        jpegLength = array;
        break;
      case kRawDataOffset:
        if (main && scalar) m_rawDataOffset = base + first;
        break;
      case kSubIfds:
        if (m_a100) {
          // This model keeps its raw data there, not a directory.
          if (scalar) m_a100Position = base + first;
          break;
        }
        for (uint32_t i = 0; i < std::min(entry.count, kMaxSubIfds); ++i) {
          uint32_t sub = 0;
          if (r.Element(array, i, sub) && sub != 0) subChains.push_back(base + sub);
        }
        break;
      case kExifIfd:
      case kGpsIfd:
      case kInteropIfd:
        if (scalar && first != 0) subChains.push_back(base + first);
        break;
      case kMakerNote:
        WalkMakerNote(r, valueAt, entry.bytes, base);
        break;
      case kDngVersion:
        m_dng = true;
        break;
      case kDngPrivateData:
        if (m_a100 && m_a100Position != 0 && entry.bytes > 4) {
          // The private data's own offset field leads to the raw data's
          // length.
          uint32_t field = 0, length = 0;
          if (r.U32(valueAt, field) && r.U32(base + field, length)) Reach(m_a100Position, length);
        }
        break;
      default:
        // Directories a maker note points at: the offset of a directory,
        // and a NEF maker note's preview.
        if (!main && scalar && first != 0 && entry.count == 1 &&
            (entry.type == kTypeIfd || (entry.tag == kPreviewIfd && entry.type == kTypeLong))) {
          subChains.push_back(base + first);
        }
        break;
    }
  }

  // Strips, tiles and JPEG pictures: each element's offset and length.
  auto pieces = [&](const Array& offsets, const Array& lengths) {
    if (!offsets.present || !lengths.present) return;
    const uint64_t n = std::min(offsets.count, lengths.count);
    auto one = [&](uint64_t i, bool bothRead, uint32_t o, uint32_t l) {
      if (!bothRead) return;
      Reach(base + o, l);
      if (&lengths == &stripCounts && i + 1 == n) m_lastStripCount = l;
      if (n == 1 && l >= 4) {
        const uint8_t* jpeg = r.buffer.Get(base + o, 4);
        if (jpeg != nullptr && jpeg[0] == 0xFF && jpeg[1] == 0xD8 && jpeg[2] == 0xFF &&
            (jpeg[3] == 0xE0 || jpeg[3] == 0xE1 || jpeg[3] == 0xDB)) {
          if (m_thumbStart == 0) {
            m_thumbStart = base + o;
            m_thumbSize = l;
          }
          if (m_pictures.size() < kMaxPictures) m_pictures.push_back({base + o, l});
        }
      }
    };
    // Elements are taken a block at a time from each array in turn, so
    // that the reads stay in one array's window while they can.
    std::vector<uint32_t> o(kArrayBlock), l(kArrayBlock);
    std::vector<uint8_t> read(kArrayBlock);
    auto block = [&](uint64_t first, uint64_t end) {
      for (uint64_t i = first; i < end; ++i) read[i - first] = r.Element(offsets, i, o[i - first]) ? 1 : 0;
      for (uint64_t i = first; i < end; ++i) {
        if (!r.Element(lengths, i, l[i - first])) read[i - first] = 0;
      }
      for (uint64_t i = first; i < end; ++i) one(i, read[i - first] != 0, o[i - first], l[i - first]);
    };
    const uint64_t walked = std::min(n, kMaxArray);
    for (uint64_t i = 0; i < walked; i += kArrayBlock) block(i, std::min(walked, i + kArrayBlock));
    if (n > kMaxArray) block(n - 1, n);
  };
  pieces(stripOffsets, stripCounts);
  pieces(tileOffsets, tileCounts);
  pieces(jpegOffset, jpegLength);

  for (const uint64_t sub : subChains) WalkChain(r, sub, base, false);
  next = nextOffset == 0 ? 0 : base + nextOffset;
  return true;
}

void FileTIFAnalyser::WalkChain(Reader& r, uint64_t first, uint64_t base, bool main) {
  uint64_t at = first;
  while (at != 0) {
    uint64_t next = 0;
    if (!WalkIfd(r, at, base, main, next)) return;
    at = next;
  }
}

void FileTIFAnalyser::WalkMakerNote(Reader& r, uint64_t at, uint64_t bytes, uint64_t base) {
  if (bytes < 18) return;
  const uint8_t* p = r.buffer.Get(at, 18);
  if (p == nullptr) return;
  uint8_t h[18];
  std::memcpy(h, p, sizeof h);
  auto order = [&](const uint8_t* o, bool otherwise) {
    return o[0] == 'M' && o[1] == 'M' ? true : o[0] == 'I' && o[1] == 'I' ? false : otherwise;
  };
  if (std::memcmp(h, "Nikon\0", 6) == 0) {
    // A TIFF header of its own, where its offsets count from.
    Reader inner{r.buffer, order(h + 10, r.big)};
    uint32_t first = 0;
    if (inner.U32(at + 14, first)) WalkChain(inner, at + 10 + first, at + 10, false);
  } else if (std::memcmp(h, "OLYMPUS\0", 8) == 0 || std::memcmp(h, "OM SYSTEM\0", 10) == 0) {
    const uint64_t header = h[0] == 'O' && h[1] == 'L' ? 8 : 12;
    Reader inner{r.buffer, order(h + header, r.big)};
    WalkChain(inner, at + header + 4, at, false);
  } else if (std::memcmp(h, "FUJIFILM", 8) == 0) {
    Reader inner{r.buffer, false};
    WalkChain(inner, at + ondisk::Le32(h + 8), at, false);
  } else if (std::memcmp(h, "SONY DSC \0\0\0", 12) == 0 || std::memcmp(h, "Panasonic\0\0\0", 12) == 0) {
    WalkChain(r, at + 12, base, false);
  } else if (std::memcmp(h, "AOC\0", 4) == 0) {
    Reader inner{r.buffer, order(h + 4, r.big)};
    WalkChain(inner, at + 6, base, false);
  } else if (std::isupper(h[0]) && std::isupper(h[1]) && std::isupper(h[2]) && h[5] == 0 && h[6] <= 3) {
    // A maker's name of five letters (OLYMP, EPSON, ...) and a version.
    WalkChain(r, at + 8, base, false);
  } else {
    // A plain directory.
    WalkChain(r, at, base, false);
  }
}

uint64_t FileTIFAnalyser::GetTiffSize(RawFileBuffer& buffer, uint32_t magic) {
  const uint8_t* head = buffer.Get(0, 8);
  if (head == nullptr) return 0;
  Reader r{buffer, head[0] == 'M'};
  const uint32_t first = r.From(head + 4, 4);
  if (first < 8) return 0;
  m_extent = 8;
  uint64_t next = 0;
  // The first directory decides whether this is a TIFF at all.
  if (!WalkIfd(r, first, 0, true, next)) return 0;
  WalkChain(r, next, 0, true);
  // RW2 files keep their raw data at an offset of their own.
  if (magic == kKeyRw2 && m_rawDataOffset != 0) Reach(m_rawDataOffset, m_lastStripCount);
  return m_extent;
}

// The header's offsets count from the file's first byte, so the largest
// end among them is the file's end as it stands, with nothing added. The
// name comes from the EXIF block of the embedded JPEG wherever the header
// says that picture lies; the TIFF that files usually hold at byte 160 is
// that same block (the picture starting at 148), so walking a TIFF there
// would name the same files and miss those whose picture lies elsewhere.
uint64_t FileTIFAnalyser::GetRafSize(RawFileBuffer& buffer) {
  const uint8_t* head = buffer.Get(0, 136);
  if (head == nullptr) return 0;
  uint8_t h[136];
  std::memcpy(h, head, sizeof h);
  const uint64_t jpeg = ondisk::Be32(h + 84), jpegLength = ondisk::Be32(h + 88);
  if (jpeg > kTiffLimit || jpegLength > kTiffLimit) return 0;
  m_extent = 0;
  Reach(jpeg, jpegLength);
  if (jpeg != 0) m_pictures.push_back({jpeg, jpegLength});
  Reach(ondisk::Be32(h + 92), ondisk::Be32(h + 96));
  Reach(ondisk::Be32(h + 100), ondisk::Be32(h + 104));
  // The second sensor's data follows the first.
  const uint32_t second = ondisk::Be32(h + 132);
  if (second != 0) Reach(m_extent, second);
  if (m_extent < 160) return 0;
  // The embedded JPEG picture's EXIF block names the file.
  const uint8_t* app = buffer.Get(jpeg, 6);
  if (app != nullptr && app[0] == 0xFF && app[1] == 0xD8 && app[2] == 0xFF && app[3] == 0xE1) {
    const uint16_t length = ondisk::Be16(app + 4);
    const uint8_t* block = length >= 8 ? buffer.Get(jpeg + 6, length - 2u) : nullptr;
    tag_ExifInfo exif;
    std::string error;
    if (block != nullptr && EXIF_process_EXIF(block, length - 2u, exif, error)) {
      m_model = exif.CameraModel.find('<') != std::string::npos ? exif.CameraMake : exif.CameraModel;
      m_time = exif.DateTimeOriginal;
    }
  }
  return m_extent;
}

uint32_t FileTIFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  InitTifAnalyser();
  info.m_whole = false;
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 16);
  if (head == nullptr) return 0;
  uint32_t magic;
  std::memcpy(&magic, head, 4);
  uint64_t size = 0;
  uint32_t type = RAW_TYPE_TIF;
  if (std::memcmp(head, "FUJIFILMCCD-RAW ", 16) == 0) {
    size = GetRafSize(buffer);
    type = RAW_TYPE_RAF;
  } else if (IsTiffKey(magic)) {
    size = GetTiffSize(buffer, magic);
    if (size != 0) size = WithZeroTailedSlack(buffer, size);
    type = TypeFromMake(m_make, m_model, m_dng, magic == kKeyRw2);
    if (m_time.empty()) m_time = m_originalTime;
  }
  // A file is carved to the end its structures give, never to a fixed
  // 130 MB when they end early or late (a fax page or an icon is a real
  // TIFF of a few kilobytes), never rounded up to whole sectors, and not
  // stretched to the next sector that ends in zeros: each of those would
  // hand out bytes of whatever lies behind the file as the file's.
  if (size == 0) return 0;
  m_model = FilterRawFileName(m_model);
  if (!m_model.empty()) m_tag = RAW_FILE_TAG_MODEL;
  info.SetRawFileName(m_model);
  info.m_timeText = m_time;
  info.m_type = type;
  info.m_size = size;
  // Its preview pictures lie where its directories say: they are its own.
  info.m_parts = m_pictures;
  return 1;
}
