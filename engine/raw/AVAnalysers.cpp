#include "raw/AVAnalysers.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <vector>

#include "OnDiskBytes.h"
#include "raw/RawCutCheck.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawMovieSamples.h"

using ondisk::Be16;
using ondisk::Be32;
using ondisk::Be64;
using ondisk::Le32;

namespace {

constexpr uint64_t kWalkLimit = 0x82000000;
constexpr uint64_t kBoxLimit = 0x104000000;

// Whether `n` bytes at `p` spell `text`, A-Z folded to a-z on both sides.
bool SameFolded(const uint8_t* p, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FoldAscii(p[i]) != FoldAscii(static_cast<uint8_t>(text[i]))) return false;
  }
  return true;
}

bool AnyOf(const uint8_t* p, std::initializer_list<const char*> texts) {
  for (const char* t : texts) {
    if (SameFolded(p, t, 8)) return true;
  }
  return false;
}

// Whether bytes 4-7 may spell "ftyp" in any case: | 0x20 folds every letter
// (and turns a few other bytes into letters, which the brand compares then
// turn away). The ISO media analysers are asked for nearly every sector of
// the disk; this one compare sends almost all of them away.
bool MaybeFileTypeBox(const uint8_t* s) {
  constexpr uint32_t kFtyp = uint32_t{'f'} | uint32_t{'t'} << 8 | uint32_t{'y'} << 16 | uint32_t{'p'} << 24;
  return (Le32(s + 4) | 0x20202020u) == kFtyp;
}

// A chunk's identifier: four printable ASCII characters.
bool IsChunkId(const uint8_t* id) {
  for (int i = 0; i < 4; ++i) {
    if (id[i] < 0x20 || id[i] > 0x7E) return false;
  }
  return true;
}

}  // namespace

// ---- sized from the header ----

uint32_t FileAUAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  const uint32_t offset = Be32(s + 4), size = Be32(s + 8);
  if (offset < 24 || size == 0xFFFFFFFFu) return 0;
  // The header's sizes become the file's: its encoding, rate and channels
  // must be sound's too.
  const uint32_t encoding = Be32(s + 12), rate = Be32(s + 16), channels = Be32(s + 20);
  if (encoding < 1 || encoding > 27 || rate < 1 || rate > 1000000 || channels < 1 || channels > 64 ||
      offset > (1u << 20))
    return 0;
  info.m_type = RAW_TYPE_AU;
  info.m_size = uint64_t{offset} + size;
  return 1;
}

uint32_t CFileAIFAnalyzer::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s + 8, "AIF", 3) != 0 || (s[11] != 'F' && s[11] != 'C')) return 0;
  info.m_type = RAW_TYPE_AIFF;
  return 1;
}

uint32_t CFileAIFAnalyzer::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 12);
  if (head == nullptr) return 0;
  info.m_size = uint64_t{Be32(head + 4)} + 8;
  // Its chunks (big-endian lengths, odd ones padded) meet the length the
  // header gives, a common chunk among them: a file cut short has other
  // bytes where the chunks behind the cut were (sound cut inside its sample
  // data cannot tell: any bytes are samples).
  bool common = false;
  uint64_t p = 12, last = 0;
  for (uint32_t n = 0; p + 8 <= info.m_size && n < (1u << 24); ++n) {
    const uint8_t* chunk = buffer.Get(p, 8);
    if (chunk == nullptr || !IsChunkId(chunk) || Be32(chunk + 4) > info.m_size - p - 8) break;
    last = p;
    common = common || std::memcmp(chunk, "COMM", 4) == 0;
    p += 8 + uint64_t{Be32(chunk + 4)} + (Be32(chunk + 4) & 1);
  }
  // Each chunk found where the one before ends shows that one whole; the
  // last one's bytes (the sound data, mostly) are only claimed.
  info.m_provenTo = last + 8;
  if (!common || (p != info.m_size && p != info.m_size + 1)) MarkEndUnknown(info);
  return 1;
}

int EbmlLength(uint8_t first) {
  for (int length = 1; length <= 8; ++length) {
    if ((first & (0x80 >> (length - 1))) != 0) return length;
  }
  return 0;
}

uint64_t EbmlValue(const uint8_t* p, int length) {
  uint64_t value = p[0] & (0xFFu >> length);
  bool allOnes = value == (0xFFu >> length);
  for (int i = 1; i < length; ++i) {
    value = (value << 8) | p[i];
    allOnes = allOnes && p[i] == 0xFF;
  }
  return allOnes ? UINT64_MAX : value;
}

namespace {

// Where the Segment's data begin behind the EBML header of the first sector
// `s`, and how long they are; false when the sector holds no Segment with a
// known size.
bool MatroskaSegment(const uint8_t* s, uint64_t* data, uint64_t* size) {
  const int headLength = EbmlLength(s[4]);
  if (headLength == 0) return false;
  const uint64_t headSize = EbmlValue(s + 4, headLength);
  // The Segment's identifier and its whole size field lie in the sector.
  if (headSize > 512) return false;
  const uint64_t segment = 4 + uint64_t(headLength) + headSize;
  if (segment + 4 + 8 > 512 || std::memcmp(s + segment, "\x18\x53\x80\x67", 4) != 0) return false;
  const int sizeLength = EbmlLength(s[segment + 4]);
  if (sizeLength == 0) return false;
  *size = EbmlValue(s + segment + 4, sizeLength);
  *data = segment + 4 + uint64_t(sizeLength);
  // A stream written live leaves the size unknown: the header cannot size it.
  return *size != UINT64_MAX && *size <= (uint64_t{1} << 48);
}

// Matroska's level-1 elements, and those that hold others.
constexpr uint32_t kMkvSeekHead = 0x114D9B74, kMkvCluster = 0x1F43B675, kMkvCues = 0x1C53BB6B;
constexpr uint32_t kMkvCrc = 0xBF, kMkvSeek = 0x4DBB, kMkvSeekId = 0x53AB, kMkvSeekPosition = 0x53AC;
constexpr uint32_t kMkvCuePoint = 0xBB, kMkvCueTrackPositions = 0xB7, kMkvCueClusterPosition = 0xF1;

struct EbmlElement {
  uint32_t id = 0;
  uint64_t at = 0, data = 0, size = 0;  // where it starts, its data, their length
  uint64_t End() const { return data + size; }
};

// A Matroska file's Segment walked element by element to its size: its
// level-1 elements end exactly where the Segment does, each one's children
// end exactly where it does, those that carry a CRC-32 match it, and the
// seek entries and cue points name elements that stand where they say. A
// file cut short has other bytes behind the cut, where its last elements
// (clusters, the cues, the tags) were.
class MatroskaCheck {
 public:
  explicit MatroskaCheck(RawFileBuffer& buffer) : m_buffer(buffer) {}

  bool Holds(uint64_t data, uint64_t size) {
    m_segment = data;
    std::vector<std::pair<uint64_t, uint32_t>> placed;  // level-1 elements: where, which
    uint64_t p = data;
    const uint64_t end = data + size;
    while (p < end) {
      EbmlElement e;
      if (placed.size() >= kMaxElements || !Read(p, end, e)) return false;
      placed.emplace_back(e.at, e.id);
      // Void and CRC-32 elements hold no elements.
      if (e.id != 0xEC && e.id != kMkvCrc && !Children(e)) return false;
      p = e.End();
    }
    std::sort(placed.begin(), placed.end());
    auto stands = [&](uint64_t at, uint32_t id) {
      const auto found = std::lower_bound(placed.begin(), placed.end(), std::make_pair(at, uint32_t{0}));
      return found != placed.end() && found->first == at && found->second == id;
    };
    for (const auto& [id, at] : m_seeks) {
      if (!stands(at, id)) return false;
    }
    for (const uint64_t at : m_cues) {
      if (!stands(at, kMkvCluster)) return false;
    }
    return true;
  }

  // Once the Segment holds: how far the file is its own, up to the last
  // element header read (each element found where the one before ends
  // shows that one whole), or the end of the last element whose CRC-32
  // holds, whichever lies further; the data of the last element read are
  // only claimed.
  uint64_t Reached() const { return m_reached; }

 private:
  static constexpr size_t kMaxElements = 1 << 20;
  // Elements read at all levels, at most: a film of hours holds a few
  // million blocks, while a hostile cluster of two-byte elements as long as
  // the device would be read two bytes at a time.
  static constexpr uint64_t kMaxReads = uint64_t{1} << 24;

  // The element at `p`, which must end by `end`.
  bool Read(uint64_t p, uint64_t end, EbmlElement& e) {
    if (++m_reads > kMaxReads) return false;
    const uint8_t* h = m_buffer.Get(p, 12);
    if (h == nullptr) return false;
    const int idLength = EbmlLength(h[0]);
    if (idLength == 0 || idLength > 4) return false;
    e.id = 0;
    for (int i = 0; i < idLength; ++i) e.id = (e.id << 8) | h[i];
    const int sizeLength = EbmlLength(h[idLength]);
    if (sizeLength == 0) return false;
    e.size = EbmlValue(h + idLength, sizeLength);
    e.at = p;
    e.data = p + static_cast<uint64_t>(idLength + sizeLength);
    if (e.size == UINT64_MAX || e.data > end || e.size > end - e.data) return false;
    m_reached = std::max(m_reached, e.data);
    return true;
  }

  // An unsigned integer element's value.
  bool Number(const EbmlElement& e, uint64_t* value) {
    if (e.size > 8) return false;
    const uint8_t* bytes = e.size > 0 ? m_buffer.Get(e.data, static_cast<size_t>(e.size)) : nullptr;
    if (e.size > 0 && bytes == nullptr) return false;
    *value = 0;
    for (uint64_t i = 0; i < e.size; ++i) *value = (*value << 8) | bytes[i];
    return true;
  }

  // The children of a level-1 element, up to its end.
  bool Children(const EbmlElement& parent) {
    uint64_t p = parent.data;
    bool first = true;
    while (p < parent.End()) {
      EbmlElement e;
      if (!Read(p, parent.End(), e)) return false;
      if (first && e.id == kMkvCrc) {
        if (!CrcHolds(e, parent.End())) return false;
        m_reached = std::max(m_reached, parent.End());
      }
      first = false;
      if (parent.id == kMkvSeekHead && e.id == kMkvSeek && !Seek(e)) return false;
      if (parent.id == kMkvCues && e.id == kMkvCuePoint && !CuePoint(e)) return false;
      p = e.End();
    }
    return true;
  }

  // The CRC-32 element `crc` over the rest of its parent's data.
  bool CrcHolds(const EbmlElement& crc, uint64_t end) {
    const uint8_t* stored = crc.size == 4 ? m_buffer.Get(crc.data, 4) : nullptr;
    if (stored == nullptr) return false;
    const uint32_t want = Le32(stored);
    uLong sum = crc32(0, nullptr, 0);
    return m_buffer.ForEachPiece(crc.End(), end - crc.End(), [&](const uint8_t* bytes, size_t n) {
      sum = crc32(sum, bytes, static_cast<uInt>(n));
    }) && static_cast<uint32_t>(sum) == want;
  }

  bool Seek(const EbmlElement& seek) {
    uint64_t id = 0, position = UINT64_MAX;
    for (uint64_t p = seek.data; p < seek.End();) {
      EbmlElement e;
      if (!Read(p, seek.End(), e)) return false;
      if (e.id == kMkvSeekId && !Number(e, &id)) return false;
      if (e.id == kMkvSeekPosition && !Number(e, &position)) return false;
      p = e.End();
    }
    if (id == 0 || id > UINT32_MAX || position > (uint64_t{1} << 48)) return false;
    if (m_seeks.size() < kMaxElements) m_seeks.emplace_back(static_cast<uint32_t>(id), m_segment + position);
    return true;
  }

  bool CuePoint(const EbmlElement& point) {
    for (uint64_t p = point.data; p < point.End();) {
      EbmlElement e;
      if (!Read(p, point.End(), e)) return false;
      if (e.id == kMkvCueTrackPositions) {
        for (uint64_t q = e.data; q < e.End();) {
          EbmlElement c;
          if (!Read(q, e.End(), c)) return false;
          uint64_t position = 0;
          if (c.id == kMkvCueClusterPosition) {
            if (!Number(c, &position) || position > (uint64_t{1} << 48)) return false;
            if (m_cues.size() < kMaxElements) m_cues.push_back(m_segment + position);
          }
          q = c.End();
        }
      }
      p = e.End();
    }
    return true;
  }

  RawFileBuffer& m_buffer;
  uint64_t m_segment = 0, m_reached = 0, m_reads = 0;
  std::vector<std::pair<uint32_t, uint64_t>> m_seeks;  // the element named, where it must stand
  std::vector<uint64_t> m_cues;                        // where clusters must stand
};

}  // namespace

uint32_t FileMKVAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  uint64_t data = 0, size = 0;
  if (!MatroskaSegment(s, &data, &size)) return 0;
  info.m_type = RAW_TYPE_MKV;
  return 1;
}

uint32_t FileMKVAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 512);
  uint64_t data = 0, size = 0;
  if (head == nullptr || !MatroskaSegment(head, &data, &size)) return 0;
  info.m_size = data + size;
  MatroskaCheck check(buffer);
  static thread_local RawRereadBudget budget;
  if (!MayReadForCheck(budget, buffer, info.m_size) || !check.Holds(data, size)) {
    MarkEndUnknown(info);
    return 1;
  }
  info.m_provenTo = check.Reached();
  return 1;
}

// ---- sized by reading ----

uint32_t FileRIFFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  const uint8_t* form = s + 8;
  const uint8_t* chunk = s + 12;
  uint32_t type = RAW_TYPE_RIFF;
  if (SameFolded(form, "WAVE", 4) && SameFolded(chunk, "fmt ", 4)) {
    type = RAW_TYPE_WAV;
  } else if (SameFolded(form, "AVI ", 4) && SameFolded(chunk, "LIST", 4)) {
    type = RAW_TYPE_AVI;
  } else if (SameFolded(form, "ACON", 4) && (SameFolded(chunk, "LIST", 4) || SameFolded(chunk, "anih", 4))) {
    type = RAW_TYPE_ANI;
  } else if (std::memcmp(form, "CMX1", 4) == 0 && std::memcmp(s + 20, "{Corel Binary Meta File}", 24) == 0) {
    type = RAW_TYPE_CMX;
  } else if (SameFolded(chunk, "vrsn", 4)) {
    if (SameFolded(form, "CARC", 4))
      type = RAW_TYPE_CLK;
    else if (SameFolded(form, "CSL2", 4))
      type = RAW_TYPE_CSL;
    // The drawing forms are written in these cases only ("CDR7".."CDRC",
    // "cdr8"): other cases are not compared.
    else if (std::memcmp(form, "CDR", 3) == 0 || std::memcmp(form, "cdr8", 4) == 0) {
      if (std::strchr("789ABC", form[3]) != nullptr && form[3] != 0) type = RAW_TYPE_CDR;
    }
  }
  info.m_type = type;
  info.m_size = 0;
  return 1;
}

namespace {

struct RiffChunk {
  uint64_t at = 0, size = 0;  // where its header starts, its data's length
  uint64_t Next() const { return at + 8 + size + (size & 1); }
};

// The chunks from `from` up to `to`, each of a chunk's identifier, inside
// `to` and followed by the next where its length (and the pad byte of an odd
// one) says, the last one ending at `to` (its pad byte may lie past it);
// `each` gets every chunk with its header's bytes. False when they do not
// meet `to`. `found`, when given, gets where the last chunk was found, of an
// identifier and a length inside `to` (left alone when none was).
template <typename Each>
bool WalkRiffChunks(RawFileBuffer& buffer, uint64_t from, uint64_t to, Each&& each, uint64_t* found = nullptr) {
  uint64_t p = from;
  for (uint32_t n = 0; p + 8 <= to && n < (1u << 24); ++n) {
    const uint8_t* h = buffer.Get(p, 12);
    if (h == nullptr || !IsChunkId(h)) return false;
    const RiffChunk chunk{p, Le32(h + 4)};
    if (chunk.size > to - p - 8) return false;
    if (found != nullptr) *found = p;
    if (!each(chunk, h)) return false;
    p = chunk.Next();
  }
  return p == to || p == to + 1;
}

// An AVI's stream data walked chunk by chunk, and its old index held
// against them: each entry names a chunk of its length where its offset
// points (from the "movi" list's type, or from the file's start), inside the
// "movi" list and no earlier than the chunk the entry before names (writers
// list the chunks in the order they lie: a hostile index that leaps back and
// forth would read a window for each entry, and one that names chunks
// behind the list names another file's). `lastChunk` gets where the list's
// last chunk was found.
bool AviHolds(RawFileBuffer& buffer, const RiffChunk& movi, const RiffChunk* index, uint64_t* lastChunk) {
  if (!WalkRiffChunks(
          buffer, movi.at + 12, movi.at + 8 + movi.size, [](const RiffChunk&, const uint8_t*) { return true; },
          lastChunk))
    return false;
  if (index == nullptr) return true;
  const uint64_t entries = index->size / 16;
  const uint64_t moviEnd = movi.at + 8 + movi.size;
  uint64_t base = UINT64_MAX, previous = 0;
  // The entries a stretch at a time: the chunks they name are then read in
  // their order rather than each after a look back at the index.
  constexpr uint64_t kStretch = 2048;
  std::vector<uint8_t> stretch(16 * kStretch);
  for (uint64_t first = 0; first < entries; first += kStretch) {
    const uint64_t n = std::min(kStretch, entries - first);
    const uint8_t* read = buffer.Get(index->at + 8 + 16 * first, static_cast<size_t>(16 * n));
    if (read == nullptr) return false;
    std::memcpy(stretch.data(), read, static_cast<size_t>(16 * n));
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* entry = stretch.data() + 16 * i;
      const uint64_t offset = Le32(entry + 8), length = Le32(entry + 12);
      auto names = [&](uint64_t from) {
        const uint64_t at = from + offset;
        const uint8_t* chunk = at >= previous && at + 8 <= moviEnd ? buffer.Get(at, 8) : nullptr;
        return chunk != nullptr && std::memcmp(chunk, entry, 4) == 0 && Le32(chunk + 4) == length;
      };
      if (base == UINT64_MAX) base = names(movi.at + 8) ? movi.at + 8 : 0;
      if (!names(base)) return false;
      previous = base + offset;
    }
  }
  return true;
}

}  // namespace

uint32_t FileRIFFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 12);
  if (head == nullptr) return 0;
  const bool avi = SameFolded(head + 8, "AVI ", 4);
  // The header gives the exact length: the rest of the last sector is not
  // part of the file.
  info.m_size = uint64_t{Le32(head + 4)} + 8;
  // Its chunks meet the length the header gives; an AVI's stream data and
  // index hold too. A file cut short has other bytes where the chunks behind
  // the cut were (raw sound cut inside its data cannot tell: any bytes are
  // samples).
  RiffChunk movi, index;
  bool hasMovi = false, hasIndex = false;
  uint64_t last = 0;  // the RIFF header itself, when no chunk follows it
  bool holds = WalkRiffChunks(
      buffer, 12, info.m_size,
      [&](const RiffChunk& chunk, const uint8_t* h) {
        if (avi && std::memcmp(h, "LIST", 4) == 0 && std::memcmp(h + 8, "movi", 4) == 0 && !hasMovi) {
          movi = chunk;
          hasMovi = true;
        }
        if (avi && std::memcmp(h, "idx1", 4) == 0 && !hasIndex) {
          index = chunk;
          hasIndex = true;
        }
        return true;
      },
      &last);
  static thread_local RawRereadBudget budget;
  uint64_t lastFrame = 0;
  if (holds && avi) {
    holds = hasMovi && MayReadForCheck(budget, buffer, info.m_size) &&
            AviHolds(buffer, movi, hasIndex ? &index : nullptr, &lastFrame);
  }
  // Each chunk found where the one before ends (four letters and a length
  // inside the file: other data behind a cut seldom read as one) shows that
  // one whole, a film's frames before its index, or before its last frame
  // where it has no index, say; the last one's bytes are only claimed,
  // unless it is a film's index whose every entry names a chunk of the film.
  info.m_provenTo = holds && hasIndex && index.at == last ? info.m_size : std::max(last, holds ? lastFrame : 0) + 8;
  if (!holds) MarkEndUnknown(info);
  return 1;
}

// ---- the ISO base media family: boxes within boxes ----

namespace {

// Whether four bytes can name a box: printable ASCII, or QuickTime's
// metadata items, which begin with a copyright sign.
bool IsBoxType(const uint8_t* type) {
  for (int i = 0; i < 4; ++i) {
    if ((type[i] < 0x20 || type[i] > 0x7E) && !(i == 0 && type[i] == 0xA9)) return false;
  }
  return true;
}

bool TypeIs(const uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

// A film's boxes walked from its start to its size: every box inside the
// one that holds it, the boxes that hold others walked in turn, the sample
// tables as long as their counts say, and every chunk they place inside the
// media data. A film cut short lost its movie box (written last by most
// writers) or has other bytes where the boxes behind the cut were.
class IsoMovieCheck {
 public:
  explicit IsoMovieCheck(RawFileBuffer& buffer) : m_buffer(buffer) {}

  bool Holds(uint64_t size) {
    if (!Boxes(0, size, 0) || !m_movie) return false;
    for (const ChunkTable& table : m_chunks) {
      if (!ChunksInMedia(table)) return false;
    }
    return true;
  }

  // Once the boxes hold: how far the film is its own, up to the header of
  // the last box walked or the end of a chunk offset table whose entries
  // all point into the media (each box found where the one before ends,
  // and every box inside a box that holds others, show those whole; the
  // last one's data, the media data of a film whose movie box comes first
  // among them, are only claimed).
  uint64_t Reached() const { return m_reached; }

 private:
  struct ChunkTable {
    uint64_t at;     // the first entry
    uint64_t count;  // entries
    uint32_t entry;  // 4 or 8 bytes
  };
  static constexpr int kMaxBoxes = 1 << 20;
  static constexpr int kMaxDepth = 16;

  static bool Holder(const uint8_t* type, const uint8_t* parent) {
    static const char* const kHolders[] = {"moov", "trak", "mdia", "minf", "stbl", "dinf", "edts", "mvex",
                                           "moof", "traf", "mfra", "udta", "meta", "ilst", "tref", "gmhd"};
    for (const char* holder : kHolders) {
      if (TypeIs(type, holder)) return true;
    }
    // A metadata item holds its data box.
    return parent != nullptr && TypeIs(parent, "ilst");
  }

  // Bytes a sample table's entries take past its header, when its type has
  // a table of counted entries: the entry count's offset and each entry's
  // length.
  static bool Table(const uint8_t* type, uint32_t* countAt, uint32_t* entry) {
    static const struct {
      const char* type;
      uint32_t countAt, entry;
    } kTables[] = {{"stco", 12, 4}, {"co64", 12, 8}, {"stsc", 12, 12}, {"stts", 12, 8},
                   {"stss", 12, 4}, {"ctts", 12, 8}, {"stsz", 16, 4}};
    for (const auto& table : kTables) {
      if (TypeIs(type, table.type)) {
        *countAt = table.countAt;
        *entry = table.entry;
        return true;
      }
    }
    return false;
  }

  bool Boxes(uint64_t from, uint64_t to, int depth, const uint8_t* parent = nullptr) {
    uint8_t holder[4] = {};
    if (parent != nullptr) std::memcpy(holder, parent, 4);
    uint64_t p = from;
    while (p < to) {
      if (++m_boxes > kMaxBoxes) return false;
      const uint64_t left = to - p;
      const uint8_t* h = m_buffer.Get(p, static_cast<size_t>(std::min<uint64_t>(left, 16)));
      if (h == nullptr) return false;
      // QuickTime closes some holders with a zero word.
      if (left < 8) return depth > 0 && ondisk::AllZero(h, static_cast<size_t>(left));
      // Only the last box of all runs to the end of the file.
      if (depth > 0 && Be32(h) == 0) return false;
      RawBox box;
      if (!ReadRawBox(m_buffer, p, to, box) || !IsBoxType(box.type)) return false;
      const uint64_t size = box.size, header = box.header;
      m_reached = std::max(m_reached, p + header);
      uint8_t type[4];
      std::memcpy(type, box.type, 4);
      if (depth == 0 && TypeIs(type, "mdat")) m_media.emplace_back(p + header, p + size);
      if (depth == 0 && (TypeIs(type, "moov") || TypeIs(type, "moof"))) m_movie = true;
      uint32_t countAt = 0, entry = 0;
      if (depth > 0 && Table(type, &countAt, &entry)) {
        const uint8_t* t = size >= countAt + 4 ? m_buffer.Get(p + countAt, 4) : nullptr;
        if (t == nullptr) return false;
        uint64_t count = Be32(t);
        // Samples of one size are counted without a table.
        if (TypeIs(type, "stsz")) {
          const uint8_t* fixed = m_buffer.Get(p + 12, 4);
          if (fixed == nullptr) return false;
          if (Be32(fixed) != 0) count = 0;
        }
        if (count > (size - countAt - 4) / entry) return false;
        if (TypeIs(type, "stco") || TypeIs(type, "co64")) m_chunks.push_back({p + countAt + 4, count, entry});
      }
      if (Holder(type, depth > 0 ? holder : nullptr) && depth < kMaxDepth) {
        uint64_t inside = p + header;
        // The ISO metadata box is a full box (a version and flags word
        // ahead of its boxes); QuickTime's is not.
        if (TypeIs(type, "meta") && size >= header + 4) {
          const uint8_t* word = m_buffer.Get(inside, 4);
          if (word == nullptr) return false;
          if (Be32(word) == 0) inside += 4;
        }
        if (!Boxes(inside, p + size, depth + 1, type)) return false;
      }
      p += size;
    }
    return true;
  }

  bool ChunksInMedia(const ChunkTable& table) {
    if (m_media.empty()) return true;  // its media lie in other files
    RawByteCursor entries(m_buffer, table.at, table.at + table.count * table.entry);
    for (uint64_t i = 0; i < table.count; ++i) {
      uint64_t offset = 0;
      for (uint32_t b = 0; b < table.entry; ++b) {
        const int byte = entries.Next();
        if (byte < 0) return false;
        offset = (offset << 8) | static_cast<uint64_t>(byte);
      }
      // The media boxes stand one behind the other, in the order walked.
      const auto after = std::upper_bound(m_media.begin(), m_media.end(), std::make_pair(offset, UINT64_MAX));
      if (after == m_media.begin() || offset >= std::prev(after)->second) return false;
    }
    m_reached = std::max(m_reached, entries.Position());
    return true;
  }

  RawFileBuffer& m_buffer;
  std::vector<std::pair<uint64_t, uint64_t>> m_media;  // where the media data lie
  std::vector<ChunkTable> m_chunks;
  bool m_movie = false;
  int m_boxes = 0;
  uint64_t m_reached = 0;
};

// Marks a film sized to `info.m_size` end-unknown when its boxes do not
// hold up to there; where they do, they prove it up to the last box's
// header.
void CheckIsoMovie(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  IsoMovieCheck check(buffer);
  if (!check.Holds(info.m_size)) {
    MarkEndUnknown(info);
    return;
  }
  info.m_provenTo = std::max(info.m_provenTo, check.Reached());
}

uint32_t SizeIsoMovie(CRawFileInfo& info, IStorageDevice* device) {
  const uint32_t answer = CRawBoxFileAnalyser::GetFileSize(info, device);
  if (answer != 0 && info.m_size != 0) CheckIsoMovie(info, device);
  return answer;
}

}  // namespace

uint32_t File3GPAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (!MaybeFileTypeBox(s) || !AnyOf(s + 4, {"ftyp3g2a", "ftyp3gp4", "ftyp3gp5", "ftypmmp4"})) return 0;
  info.m_type = RAW_TYPE_3GP;
  return 1;
}

uint32_t File3GPAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  return SizeIsoMovie(info, device);
}

uint32_t FileMP4Analyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (!MaybeFileTypeBox(s)) return 0;
  if (AnyOf(s + 4, {"ftypisom", "ftypmp41", "ftypmp42"}))
    info.m_type = RAW_TYPE_MP4;
  else if (SameFolded(s + 4, "ftypM4A ", 8))
    info.m_type = RAW_TYPE_M4A;
  else if (SameFolded(s + 4, "ftypM4V ", 8))
    info.m_type = RAW_TYPE_M4V;
  else
    return 0;
  return 1;
}

uint32_t FileMP4Analyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  return SizeIsoMovie(info, device);
}

// "ftyp3gp5" is a 3GP brand (the 3GP analyser's), so it is not taken here.
uint32_t FileMOVAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s + 4, "ftyp", 4) != 0 || AnyOf(s + 4, {"ftypisom", "ftyp3gp4", "ftyp3g2a", "ftypmmp4", "ftypM4A ",
                                                          "ftypM4V ", "ftypmp41", "ftypmp42", "ftyp3gp5"}))
    return 0;
  info.m_type = RAW_TYPE_MOV;
  return 1;
}

uint32_t FileMOVAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  static const char* const kStepped[] = {"ftyp", "free", "mdat", "meta", "moov", "mvex",
                                         "mvhd", "pnot", "trak", "udta", "wide"};
  RawFileBuffer buffer(device, info.m_startSector);
  uint64_t position = 0;
  while (position < kBoxLimit) {
    const uint8_t* atom = buffer.Get(position, 16);
    if (atom == nullptr) break;
    uint64_t size = Be32(atom);
    if (size == 1) size = Be64(atom + 8);  // a 64-bit atom, as large media data carries
    if (size < 8) break;
    bool known = false;
    for (const char* t : kStepped) known = known || std::memcmp(atom + 4, t, 4) == 0;
    if (!known) break;
    if (size > kBoxLimit - position) {
      position = kBoxLimit;
      break;
    }
    // Each atom found where the one before ends shows that one whole; the
    // last one's bytes are only claimed, but for the samples the movie atom
    // places in them.
    info.m_provenTo = position + 8;
    if (std::memcmp(atom + 4, "moov", 4) == 0) AddRawMovieSamples(buffer, position, size, info.m_parts);
    position += size;
  }
  if (position == 0) return 0;
  info.m_size = position;
  CheckIsoMovie(info, device);
  return 1;
}

uint32_t FileMIDAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (Be32(s + 4) != 6 || Be16(s + 8) > 2 || Be16(s + 10) == 0) return 0;
  info.m_type = RAW_TYPE_MID;
  return 1;
}

namespace {

// A variable-length quantity of at most four bytes, or -1.
int64_t MidiNumber(RawByteCursor& events) {
  int64_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const int b = events.Next();
    if (b < 0) return -1;
    value = (value << 7) | (b & 0x7F);
    if ((b & 0x80) == 0) return value;
  }
  return -1;
}

// Whether the events of the track at `at`, `length` bytes long, are events
// and close with the end-of-track event at its last byte: a track cut short
// runs on into other bytes, where its events stop making sense or its
// length ends with no such event.
bool MidiTrackCloses(RawFileBuffer& buffer, uint64_t at, uint64_t length) {
  RawByteCursor events(buffer, at, at + length);
  int running = -1;
  // Every event takes at least two bytes: the walk always ends.
  while (events.Left() > 0) {
    if (MidiNumber(events) < 0) return false;
    int status = events.Next();
    int data = 0;  // data bytes still to read
    if (status < 0) return false;
    if (status < 0x80) {
      // Running status: this is the first data byte of the last status.
      if (running < 0) return false;
      data = -1;
      status = running;
    }
    if (status == 0xFF) {
      const int kind = events.Next();
      const int64_t size = MidiNumber(events);
      if (kind < 0 || kind >= 0x80 || size < 0) return false;
      if (kind == 0x2F) return size == 0 && events.Left() == 0;
      if (!events.Skip(static_cast<uint64_t>(size))) return false;
      continue;
    }
    if (status == 0xF0 || status == 0xF7) {
      const int64_t size = MidiNumber(events);
      if (size < 0 || !events.Skip(static_cast<uint64_t>(size))) return false;
      continue;
    }
    if (status > 0xF0) return false;  // no system common or real-time message stands in a file
    running = status;
    data += (status & 0xE0) == 0xC0 ? 1 : 2;  // program change and channel pressure carry one
    for (; data > 0; --data) {
      const int b = events.Next();
      if (b < 0 || b >= 0x80) return false;
    }
  }
  return false;
}

}  // namespace

uint32_t FileMIDAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 14);
  if (head == nullptr) return 0;
  const uint32_t tracks = Be16(head + 10);
  uint64_t position = 14;
  // Where each track's events lie, for as many as a header can count.
  std::vector<std::pair<uint64_t, uint64_t>> walked;
  uint64_t count = 0;
  while (position < 0xD000001) {
    const uint8_t* chunk = buffer.Get(position, 8);
    if (chunk == nullptr || !SameFolded(chunk, "MTrk", 4)) break;
    if (++count <= tracks) walked.emplace_back(position + 8, Be32(chunk + 4));
    position += 8 + uint64_t{Be32(chunk + 4)};
  }
  info.m_size = position;
  // Every track the header counts, each closed by its end-of-track event.
  static thread_local RawRereadBudget budget;
  bool closed = count == tracks && MayReadForCheck(budget, buffer, position);
  for (size_t i = 0; closed && i < walked.size(); ++i) {
    closed = MidiTrackCloses(buffer, walked[i].first, walked[i].second);
  }
  // Events read to the last byte of every track prove the whole file.
  if (closed) {
    info.m_provenTo = info.m_size;
  } else {
    MarkEndUnknown(info);
  }
  return 1;
}

uint32_t CFileOggAnalyser::AnalyseBuffer(unsigned char*, CRawFileInfo& info) {
  info.m_type = RAW_TYPE_OGG;
  return 1;
}

namespace {

// The checksum of Ogg pages: CRC-32 of polynomial 0x04C11DB7, bits taken
// from the top, starting from 0, not inverted.
constexpr std::array<uint32_t, 256> OggCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04C11DB7u : r << 1;
    table[i] = r;
  }
  return table;
}

// Whether the page at `at`, `length` bytes long, carries the checksum of
// its bytes (taken with its checksum field as zeros).
bool OggPageSums(RawFileBuffer& buffer, uint64_t at, uint64_t length) {
  static constexpr std::array<uint32_t, 256> kTable = OggCrcTable();
  const uint8_t* head = buffer.Get(at, 27);
  if (head == nullptr) return false;
  const uint32_t stored = Le32(head + 22);
  uint32_t crc = 0;
  uint64_t offset = 0;
  return buffer.ForEachPiece(at, length, [&](const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i, ++offset) {
      const uint8_t b = offset >= 22 && offset < 26 ? 0 : bytes[i];
      crc = (crc << 8) ^ kTable[(crc >> 24) ^ b];
    }
  }) && crc == stored;
}

}  // namespace

uint32_t CFileOggAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  // Pages one behind the other, each holding the checksum of its bytes: a
  // page cut short, or one that merely reads as a page in what follows a
  // cut, fails it. The file is whole when every stream its pages opened (a
  // film has one for its pictures and one for its sound, chained streams
  // follow each other) was closed by a page that holds.
  uint64_t position = 0;
  std::vector<uint32_t> open;
  bool opened = false, tooMany = false;
  while (position <= kWalkLimit) {
    const uint8_t* page = buffer.Get(position, 27 + 255);
    if (page == nullptr || std::memcmp(page, "OggS", 4) != 0) break;
    const uint8_t flags = page[5];
    const uint32_t serial = Le32(page + 14);
    uint64_t length = 27 + uint64_t{page[26]};
    for (int i = 0; i < page[26]; ++i) length += page[27 + i];
    if (!OggPageSums(buffer, position, length)) {
      if (position == 0) {
        // Its first page is cut: kept as long as it says, its end not
        // known, nothing of it proven.
        info.m_size = length;
        info.m_endUnknown = true;
        return 1;
      }
      break;
    }
    if ((flags & 0x02) != 0) {
      opened = true;
      if (open.size() < 64) {
        open.push_back(serial);
      } else {
        tooMany = true;
      }
    }
    if ((flags & 0x04) != 0) open.erase(std::remove(open.begin(), open.end(), serial), open.end());
    position += length;
  }
  if (position == 0) return 0;
  info.m_size = position;
  // The pages walked hold; behind the last one that does the file was cut
  // (or other bytes lie in it) unless its streams were all closed.
  info.m_whole = true;
  info.m_endUnknown = !opened || tooMany || !open.empty();
  return 1;
}

uint32_t FileFLVAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[0] != 'F' || s[1] != 'L' || s[2] != 'V') return 0;
  info.m_type = RAW_TYPE_FLV;
  return 1;
}

uint32_t FileFLVAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 13);
  if (head == nullptr || head[3] != 1 || Be32(head + 9) != 0) return 0;
  uint64_t p = 9;
  uint64_t expected = 0;  // 0: none yet
  uint64_t previousData = 1;
  uint64_t end = 0;
  while (true) {
    const uint8_t* tag = buffer.Get(p, 8);
    if (tag == nullptr || p > kWalkLimit) {
      end = p;
      break;
    }
    const uint64_t previous = Be32(tag);
    const int type = tag[4];
    const uint64_t data = (uint64_t{tag[5]} << 16) | (uint64_t{tag[6]} << 8) | tag[7];
    if (previous == previousData || (type != 8 && type != 9 && type != 18)) {
      end = p + 4;
      break;
    }
    if (expected != 0 && previous != expected) {
      end = p + data + 15;
      break;
    }
    expected = data + 11;
    previousData = data;
    p += data + 15;
  }
  info.m_type = RAW_TYPE_FLV;
  info.m_size = std::min<uint64_t>(end, kWalkLimit);
  // Every tag up to the size is one (audio, video or script data of stream
  // 0), and every back-pointer, the last one at the very end too, gives the
  // length of the tag before it: a file cut short has other bytes where its
  // last tags and back-pointers were.
  static thread_local RawRereadBudget budget;
  if (!MayReadForCheck(budget, buffer, info.m_size)) {
    MarkEndUnknown(info);
    return 1;
  }
  uint64_t at = 9, before = 0;
  while (true) {
    const uint8_t* tag = buffer.Get(at, 15);
    if (tag == nullptr || Be32(tag) != before) {
      MarkEndUnknown(info);
      break;
    }
    if (at + 4 == info.m_size) {
      // The last back-pointer, at the very end, shows the last tag whole:
      // every byte is the file's own.
      info.m_provenTo = info.m_size;
      break;
    }
    const uint32_t kind = tag[4] & 0x1F;
    const uint64_t data = (uint64_t{tag[5]} << 16) | (uint64_t{tag[6]} << 8) | tag[7];
    if ((kind != 8 && kind != 9 && kind != 18) || (tag[12] | tag[13] | tag[14]) != 0 ||
        data + 15 > info.m_size - std::min(info.m_size, at + 4)) {
      MarkEndUnknown(info);
      break;
    }
    before = data + 11;
    at += data + 15;
  }
  return 1;
}

// Whether the bytes after the signature can be an SWF header: a version,
// and a length that holds the header and an end tag.
uint32_t FileSWFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[1] != 'W' || s[2] != 'S' || (s[0] != 'F' && s[0] != 'C')) return 0;
  if (s[3] == 0 || s[3] > 64 || (s[0] == 'C' && s[3] < 6) || Le32(s + 4) < 21) return 0;
  info.m_type = RAW_TYPE_SWF;
  return 1;
}

namespace {

// The length of an uncompressed SWF whose tags, from the frame header on,
// end with the end tag exactly where its header says the file ends; 0 when
// they do not.
uint64_t WalkSwfTags(RawFileBuffer& buffer, uint64_t length) {
  const uint8_t* h = buffer.Get(0, 8 + 17 + 4);
  if (h == nullptr) return 0;
  // The frame rectangle: 5 bits of field width, four fields.
  const uint32_t bits = h[8] >> 3;
  uint64_t p = 8 + (5 + 4 * bits + 7) / 8 + 4;
  for (uint32_t tags = 0; tags < (1u << 24) && p < length; ++tags) {
    const uint8_t* t = buffer.Get(p, 6);
    if (t == nullptr) return 0;
    const uint16_t code = ondisk::Le16(t);
    uint64_t size = code & 0x3F;
    p += 2;
    if (size == 0x3F) {
      size = Le32(t + 2);
      p += 4;
    }
    p += size;
    if ((code >> 6) == 0) return p == length ? p : 0;
  }
  return 0;
}

// The length of a compressed SWF: its header and the zlib stream behind it,
// which must inflate to the length the header gives.
uint64_t InflateSwf(RawFileBuffer& buffer, uint64_t length) {
  if (length < 8) return 0;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return 0;
  static thread_local std::vector<uint8_t> out(64 * 1024);
  constexpr size_t kChunk = 32 * 1024;
  uint64_t in = 8, produced = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    const uint8_t* chunk = buffer.Get(in, kChunk);
    if (chunk == nullptr) break;
    z.next_in = const_cast<Bytef*>(chunk);
    z.avail_in = kChunk;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      status = inflate(&z, Z_NO_FLUSH);
      produced += out.size() - z.avail_out;
    } while (status == Z_OK && z.avail_out == 0 && produced <= length - 8);
    in += kChunk - z.avail_in;
    if (produced > length - 8) status = Z_DATA_ERROR;
  }
  inflateEnd(&z);
  return status == Z_STREAM_END && produced == length - 8 ? in : 0;
}

}  // namespace

uint32_t FileSWFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* h = buffer.Get(0, 8);
  if (h == nullptr) return 0;
  const uint64_t length = Le32(h + 4);
  const uint64_t size = h[0] == 'F' ? WalkSwfTags(buffer, length) : InflateSwf(buffer, length);
  if (size == 0) return 0;
  info.m_type = RAW_TYPE_SWF;
  info.m_size = size;
  // Followed to its end tag or the end of its stream: what lies inside
  // (pictures, sound) is its own.
  info.m_whole = true;
  return 1;
}
