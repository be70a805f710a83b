#include "FileHeads.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

#include "Progress.h"
#include "StorageDevice.h"

namespace fileheads {

namespace {

using claims::Head;

enum class Kind { kNone, kJpeg, kMedia, kTiff, kPng, kGif, kBmp, kRiff, kMatroska, kRaf };

struct Type {
  const char* extension;
  Kind kind;
  const char* riffForm;  // kRiff: the form at offset 8
};

constexpr std::array<Type, 28> kTypes{{
    {"jpg", Kind::kJpeg, nullptr},   {"jpeg", Kind::kJpeg, nullptr},    {"jpe", Kind::kJpeg, nullptr},
    {"mov", Kind::kMedia, nullptr},  {"mp4", Kind::kMedia, nullptr},    {"m4v", Kind::kMedia, nullptr},
    {"m4a", Kind::kMedia, nullptr},  {"3gp", Kind::kMedia, nullptr},    {"3g2", Kind::kMedia, nullptr},
    {"heic", Kind::kMedia, nullptr}, {"heif", Kind::kMedia, nullptr},   {"tif", Kind::kTiff, nullptr},
    {"tiff", Kind::kTiff, nullptr},  {"dng", Kind::kTiff, nullptr},     {"nef", Kind::kTiff, nullptr},
    {"nrw", Kind::kTiff, nullptr},   {"cr2", Kind::kTiff, nullptr},     {"arw", Kind::kTiff, nullptr},
    {"pef", Kind::kTiff, nullptr},   {"srw", Kind::kTiff, nullptr},     {"png", Kind::kPng, nullptr},
    {"gif", Kind::kGif, nullptr},    {"bmp", Kind::kBmp, nullptr},      {"avi", Kind::kRiff, "AVI "},
    {"wav", Kind::kRiff, "WAVE"},    {"mkv", Kind::kMatroska, nullptr}, {"webm", Kind::kMatroska, nullptr},
    {"raf", Kind::kRaf, nullptr},
}};

const Type* TypeOf(const char* name) {
  if (name == nullptr) return nullptr;
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr || dot[1] == '\0') return nullptr;
  std::string extension;
  for (const char* c = dot + 1; *c != '\0' && extension.size() <= 4; ++c) {
    extension.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
  }
  for (const Type& type : kTypes) {
    if (extension == type.extension) return &type;
  }
  return nullptr;
}

uint32_t Be32(const uint8_t* b) {
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

Head Both(bool present) { return present ? Head::kPresent : Head::kMissing; }

// A QuickTime or ISO media file is a row of boxes: a 32-bit size (8 or
// more, 1 for a 64-bit size, 0 for "to the end") and a type of four
// printable characters. Its first box is one of a few.
Head MediaHead(const uint8_t* b) {
  for (int i = 4; i < 8; ++i) {
    if (b[i] < 0x20 || b[i] > 0x7E) return Head::kMissing;
  }
  const uint32_t size = Be32(b);
  if (size != 0 && size != 1 && size < 8) return Head::kMissing;
  static constexpr const char* kFirstBoxes[] = {"ftyp", "moov", "mdat", "wide", "free", "skip", "pnot"};
  for (const char* box : kFirstBoxes) {
    if (std::memcmp(b + 4, box, 4) == 0) return Head::kPresent;
  }
  return Head::kUnknown;
}

}  // namespace

bool HasHead(const char* name) { return TypeOf(name) != nullptr; }

Head JudgeHead(const char* name, const uint8_t* b, size_t length) {
  const Type* type = TypeOf(name);
  if (type == nullptr || b == nullptr || length < kHeadBytes) return Head::kUnknown;
  switch (type->kind) {
    case Kind::kJpeg:
      // Start of image, then a marker.
      if (b[0] != 0xFF || b[1] != 0xD8 || b[2] != 0xFF) return Head::kMissing;
      return b[3] >= 0xC0 && b[3] != 0xFF ? Head::kPresent : Head::kUnknown;
    case Kind::kMedia:
      return MediaHead(b);
    case Kind::kTiff:
      return Both(std::memcmp(b, "II*\0", 4) == 0 || std::memcmp(b, "MM\0*", 4) == 0);
    case Kind::kPng:
      return Both(std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0);
    case Kind::kGif:
      return Both(std::memcmp(b, "GIF87a", 6) == 0 || std::memcmp(b, "GIF89a", 6) == 0);
    case Kind::kBmp: {
      if (b[0] != 'B' || b[1] != 'M') return Head::kMissing;
      // Reserved words of 0 and a header of one of the known sizes.
      const bool known = b[14] == 12 || b[14] == 40 || b[14] == 52 || b[14] == 56 || b[14] == 108 || b[14] == 124;
      return std::memcmp(b + 6, "\0\0\0\0", 4) == 0 && known ? Head::kPresent : Head::kUnknown;
    }
    case Kind::kRiff:
      // Large files of the same forms say RF64 or BW64 instead.
      if (std::memcmp(b, "RIFF", 4) != 0 && std::memcmp(b, "RF64", 4) != 0 && std::memcmp(b, "BW64", 4) != 0) {
        return Head::kMissing;
      }
      return std::memcmp(b + 8, type->riffForm, 4) == 0 ? Head::kPresent : Head::kUnknown;
    case Kind::kMatroska:
      return Both(std::memcmp(b, "\x1A\x45\xDF\xA3", 4) == 0);
    case Kind::kRaf:
      return Both(std::memcmp(b, "FUJIFILMCCD-RAW", 15) == 0);
    case Kind::kNone:
      break;
  }
  return Head::kUnknown;
}

namespace {

// The device sector that holds byte `offset` of the cluster at `cluster`
// (from 2), or -1 past what clusters may number.
int64_t SectorOf(const ClusterPlace& place, uint64_t cluster, uint64_t offset, uint32_t sectorSize) {
  if (cluster < 2 || cluster > UINT32_MAX || place.base < 0) return -1;
  return place.base + static_cast<int64_t>((cluster - 2) * place.sectorsPerCluster + offset / sectorSize);
}

// Whether the scan the place is read for was stopped (asked once more
// each time: a stop is for good).
bool Stopped(const ClusterPlace& place) { return place.progress != nullptr && place.progress->Continued() == 0; }

uint32_t SectorSizeOf(const ClusterPlace& place) {
  if (place.device == nullptr || place.sectorsPerCluster == 0 || place.sectorsPerCluster > (1u << 16)) return 0;
  const uint32_t size = place.device->GetSectorSize();
  return size >= 512 && size <= (1u << 16) ? size : 0;
}

}  // namespace

Head ReadHead(const ClusterPlace& place, uint64_t cluster, const char* name) {
  const uint32_t size = SectorSizeOf(place);
  const int64_t sector = SectorOf(place, cluster, 0, size == 0 ? 1 : size);
  if (size == 0 || sector < 0 || !HasHead(name) || Stopped(place)) return Head::kUnknown;
  std::vector<uint8_t> bytes(size, 0);
  if (place.device->ReadSector(bytes.data(), sector, 1) == 0) return Head::kUnknown;
  return JudgeHead(name, bytes.data(), bytes.size());
}

namespace {

// A file's bytes front to back, a window at a time.
class Scanner {
 public:
  Scanner(const FileBytes& read, uint64_t size) : m_read(read), m_size(size) {}
  // The byte at `at` (from the start), or -1 past the end or where it cannot
  // be read.
  int At(uint64_t at) {
    if (at >= m_size) return -1;
    if (at < m_from || at >= m_from + m_window.size()) {
      const uint64_t length = std::min<uint64_t>(kWindow, m_size - at);
      m_window.resize(static_cast<size_t>(length));
      if (!m_read(at, m_window.data(), m_window.size())) {
        m_window.clear();
        return -1;
      }
      m_from = at;
    }
    return m_window[static_cast<size_t>(at - m_from)];
  }

 private:
  static constexpr uint64_t kWindow = 64 * 1024;
  const FileBytes& m_read;
  uint64_t m_size;
  uint64_t m_from = 0;
  std::vector<uint8_t> m_window;
};

// Whether a JPEG holds together from its start of image to its end of
// image in its last two bytes: its segments each where the last one's
// length ends, and in its entropy-coded data no marker that may not stand
// there (any other byte after 0xFF than a stuffed 0, a restart, fill, or
// the start of a table, a scan, a comment or application data between
// scans). Another file's bytes, or random ones, break it within a few
// hundred bytes.
bool JpegHolds(const FileBytes& read, uint64_t size) {
  Scanner s(read, size);
  if (size < 4 || s.At(0) != 0xFF || s.At(1) != 0xD8) return false;
  uint64_t at = 2;
  bool scanned = false;  // past a start of scan: entropy-coded data until the next marker
  while (at + 1 < size) {
    const int b = s.At(at);
    if (b < 0) return false;
    if (scanned && b != 0xFF) {
      ++at;
      continue;
    }
    if (b != 0xFF) return false;
    const int m = s.At(at + 1);
    if (m < 0) return false;
    if (m == 0xFF) {  // fill
      ++at;
      continue;
    }
    if (scanned && (m == 0x00 || (m >= 0xD0 && m <= 0xD7))) {
      at += 2;
      continue;
    }
    if (m == 0xD9) return at + 2 == size;
    // A segment with its length. Frames start only before the first scan.
    const bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
    const bool between = m == 0xC4 || m == 0xCC || (m >= 0xDA && m <= 0xDF) || (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
    if (!(between || (frame && !scanned))) return false;
    const int high = s.At(at + 2);
    const int low = s.At(at + 3);
    if (high < 0 || low < 0) return false;
    const uint64_t length = (uint64_t(high) << 8) | uint64_t(low);
    if (length < 2) return false;
    at += 2 + length;
    scanned = scanned || m == 0xDA;
  }
  return false;
}

}  // namespace

namespace {

// Whether a PNG holds together from its signature to its end chunk in its
// last twelve bytes: each chunk where the last one's length ends, its type
// four letters and its CRC-32 over its type and data as stored. Every byte
// is covered, so another file's bytes anywhere break it.
bool PngHolds(const FileBytes& read, uint64_t size) {
  uint8_t b[8] = {};
  if (size < 20 || !read(0, b, 8) || std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) != 0) return false;
  std::vector<uint8_t> piece;
  for (uint64_t at = 8; at + 12 <= size;) {
    if (!read(at, b, 8)) return false;
    const uint64_t length = Be32(b);
    for (int i = 4; i < 8; ++i) {
      if (!std::isalpha(b[i])) return false;
    }
    if (length > 0x7FFFFFFF || length > size - at - 12) return false;
    uLong sum = crc32(0, b + 4, 4);
    for (uint64_t done = 0; done < length;) {
      piece.resize(static_cast<size_t>(std::min<uint64_t>(length - done, 64 * 1024)));
      if (!read(at + 8 + done, piece.data(), piece.size())) return false;
      sum = crc32(sum, piece.data(), static_cast<uInt>(piece.size()));
      done += piece.size();
    }
    uint8_t stored[4];
    if (!read(at + 8 + length, stored, 4) || Be32(stored) != static_cast<uint32_t>(sum)) return false;
    const bool end = std::memcmp(b + 4, "IEND", 4) == 0;
    at += 12 + length;
    if (end) return at == size;
  }
  return false;
}

// Whether a QuickTime or ISO media file's boxes, walked from its start, each
// of four printable characters, end at its size, whose last byte is there
// (a box "to the end" says nothing of where that is). Only the boxes' heads
// are read: a file whose last box is its media data (written for streaming,
// its index first) says no more of where its data lie than its first
// clusters do, whatever lies past them: kUnknown.
Head BoxesHold(const FileBytes& read, uint64_t size) {
  uint8_t b[16] = {};
  if (size < 16 || !read(size - 1, b, 1)) return Head::kMissing;
  uint64_t at = 0;
  for (int boxes = 0; boxes < 64 && at + 8 <= size; ++boxes) {
    if (!read(at, b, 8)) return Head::kMissing;
    for (int i = 4; i < 8; ++i) {
      if (b[i] < 0x20 || b[i] > 0x7E) return Head::kMissing;
    }
    const bool data = std::memcmp(b + 4, "mdat", 4) == 0;
    uint64_t length = Be32(b);
    if (length == 1) {
      if (at + 16 > size || !read(at + 8, b + 8, 8)) return Head::kMissing;
      length = (uint64_t{Be32(b + 8)} << 32) | Be32(b + 12);
      if (length < 16) return Head::kMissing;
    } else if (length < 8) {
      return Head::kMissing;
    }
    if (length > size - at) return Head::kMissing;
    at += length;
    if (at == size) return data ? Head::kUnknown : Head::kPresent;
  }
  return Head::kMissing;
}

}  // namespace

Head JudgeTail(const char* name, uint64_t size, const FileBytes& read) {
  const Type* type = TypeOf(name);
  if (type == nullptr || !read) return Head::kUnknown;
  switch (type->kind) {
    case Kind::kJpeg:
      return Both(JpegHolds(read, size));
    case Kind::kPng:
      return Both(PngHolds(read, size));
    case Kind::kMedia:
      return BoxesHold(read, size);
    default:
      return Head::kUnknown;
  }
}

Head ReadTail(const ClusterPlace& place, std::span<const claims::Span> runs, uint64_t size, const char* name,
              uint64_t* budget) {
  const uint32_t sectorSize = SectorSizeOf(place);
  if (sectorSize == 0 || TypeOf(name) == nullptr) return Head::kUnknown;
  const uint64_t clusterBytes = uint64_t{place.sectorsPerCluster} * sectorSize;
  std::vector<uint8_t> sectors;
  // The run the last piece came from and the file's cluster it starts at:
  // a file is read front to back, so finding the next piece's run costs
  // nothing, however many runs a walk has.
  size_t at = 0;
  uint64_t atIndex = 0;
  // `count` bytes from `offset` of the file: each piece from the sectors of
  // the run that holds it, read whole.
  auto read = [&](uint64_t offset, uint8_t* out, size_t count) {
    while (count > 0) {
      const uint64_t index = offset / clusterBytes;
      if (index < atIndex) at = 0, atIndex = 0;
      for (; at < runs.size(); ++at) {
        const claims::Span& r = runs[at];
        if (r.end <= r.first) return false;
        if (index - atIndex < r.end - r.first) break;
        atIndex += r.end - r.first;
      }
      if (at == runs.size()) return false;
      const claims::Span* run = &runs[at];
      const uint64_t inRun = index - atIndex;
      const uint64_t within = offset % clusterBytes;
      const uint64_t left = (run->end - run->first - inRun) * clusterBytes - within;
      const size_t piece = static_cast<size_t>(std::min<uint64_t>({count, left, uint64_t{1} << 20}));
      const int64_t first = SectorOf(place, run->first + inRun, within, sectorSize);
      const uint64_t skip = within % sectorSize;
      const uint64_t whole = (skip + piece + sectorSize - 1) / sectorSize;
      if (first < 0 || Stopped(place)) return false;
      if (budget != nullptr) {
        if (*budget < whole * sectorSize) return false;
        *budget -= whole * sectorSize;
      }
      sectors.resize(static_cast<size_t>(whole * sectorSize));
      if (place.device->ReadSector(sectors.data(), first, static_cast<int64_t>(whole)) == 0) return false;
      std::memcpy(out, sectors.data() + skip, piece);
      out += piece;
      offset += piece;
      count -= piece;
    }
    return true;
  };
  return JudgeTail(name, size, read);
}

}  // namespace fileheads
