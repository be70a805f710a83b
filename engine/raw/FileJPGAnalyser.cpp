#include "raw/FileJPGAnalyser.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "OnDiskBytes.h"
#include "raw/ExifParser.h"
#include "raw/RawFileBuffer.h"

namespace {

bool SameLetters(const uint8_t* at, const char* word) {
  for (int i = 0; i < 4; ++i) {
    if (std::tolower(at[i]) != std::tolower(static_cast<unsigned char>(word[i]))) return false;
  }
  return true;
}

}  // namespace

uint32_t FileJPGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
  const bool plain = sector[0] == 0xFF && sector[1] == 0xD8 && sector[2] == 0xFF && sector[3] == 0xDB;
  if (!SameLetters(sector + 6, "JFIF") && !SameLetters(sector + 6, "Exif") && !plain) return 0;
  info.m_type = RAW_TYPE_JPG;
  return 1;
}

void FileJPGAnalyser::InitMemValue() {
  m_tag = RAW_FILE_TAG_NONE;
  m_name.clear();
  m_time.clear();
  m_tagValue.clear();
  m_sectorSize = 0;
}

int FileJPGAnalyser::GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) {
  tag = static_cast<RAW_FILE_TAG>(m_tag);
  value = m_tagValue;
  return m_tag != RAW_FILE_TAG_NONE ? 1 : 0;
}

void FileJPGAnalyser::ReadExif(RawFileBuffer& buffer, CRawFileInfo& info, Variant variant) {
  // The Exif variant has its APP1 at offset 2; after a JFIF APP0 the APP1
  // is found by walking the leading application segments.
  uint64_t at = 2;
  if (variant == kJFIF) {
    bool found = false;
    for (int step = 0; step < 16 && at < 0x10000; ++step) {
      const uint8_t* m = buffer.Get(at, 10);
      if (m == nullptr || m[0] != 0xFF || m[1] < 0xE0 || m[1] > 0xEF) return;
      if (m[1] == 0xE1 && std::memcmp(m + 4, "Exif", 4) == 0) {
        found = true;
        break;
      }
      at += ondisk::Be16(m + 2) + 2u;
    }
    if (!found) return;
  }
  const uint8_t* head = buffer.Get(at, 4);
  if (head == nullptr) return;
  const uint16_t length = ondisk::Be16(head + 2);
  if (length < 8) return;
  const uint8_t* block = buffer.Get(at + 4, length - 2u);
  if (block == nullptr) return;
  tag_ExifInfo exif;
  std::string error;
  if (!EXIF_process_EXIF(block, length - 2u, exif, error)) return;
  std::string name = exif.CameraModel.find('<') != std::string::npos ? exif.CameraMake : exif.CameraModel;
  m_name = FilterRawFileName(name);
  m_tagValue = m_name;
  m_time = exif.DateTimeOriginal;
  info.SetRawFileName(m_name);
  info.m_timeText = m_time;
  if (!m_tagValue.empty()) m_tag = RAW_FILE_TAG_MODEL;
}

uint32_t FileJPGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  InitMemValue();
  info.m_whole = false;
  RawFileBuffer buffer(device, info.m_startSector);
  m_sectorSize = buffer.SectorSize();
  const uint8_t* head = buffer.Get(0, 16);
  if (head == nullptr) return 0;
  Variant variant;
  if (SameLetters(head + 6, "JFIF")) {
    variant = kJFIF;
  } else if (SameLetters(head + 6, "Exif")) {
    variant = kExif;
  } else if (head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF && head[3] == 0xDB) {
    variant = kPlain;
  } else {
    return 0;
  }
  if (variant != kPlain) ReadExif(buffer, info, variant);
  const uint64_t positionLimit = variant == kJFIF ? 436207615u : 218103807u;
  uint64_t position = 2;
  bool frame = false;
  bool restarts = false;
  uint32_t width = 0, height = 0;
  while (true) {
    if (position > positionLimit) {
      info.m_size = position;
      info.m_endUnknown = true;
      return 1;
    }
    const uint8_t* m = buffer.Get(position, 10);
    if (m == nullptr || m[0] != 0xFF) return 0;
    const uint8_t marker = m[1];
    if (marker == 0xFF) {
      position += 2;
      continue;
    }
    const uint16_t length = ondisk::Be16(m + 2);
    if (marker == 0xDA) {
      if (!frame) return 0;
      if (variant == kPlain && m[4] != 3) return 0;
      position += length + 2u;
      break;
    }
    bool isFrame = false;
    if (variant == kPlain) {
      isFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    } else {
      // Progressive pictures behind an EXIF block are as common as behind a
      // JFIF one, and must be sized alike.
      isFrame = marker == 0xC0 || (marker == 0xC2 && !frame);
    }
    if (isFrame) {
      if (m[4] != 8) return 0;
      if (variant == kPlain && m[9] != 3) return 0;
      height = ondisk::Be16(m + 5);
      width = ondisk::Be16(m + 7);
      frame = true;
    }
    if (marker == 0xDD && length == 4) restarts = ondisk::Be16(m + 4) != 0;
    position += length + 2u;
  }
  // The bound counts the picture's data only: metadata (colour profiles,
  // thumbnails) can outweigh a small picture.
  const uint64_t limit = position + uint64_t{width} * height * 3;
  const JpegScanEnd end = FollowScans(buffer, position, limit, restarts);
  // A picture whose end-of-image marker was not found (cut short, or
  // broken off by foreign data) is carved as far as it surely goes, but that
  // is not the whole picture.
  if (end.kind == JpegScanEnd::kUndecided) {
    bool found = false;
    info.m_size = AddFileSizeByPerSecSize(buffer, position, limit, &found);
    info.m_endUnknown = !found;
  } else {
    info.m_size = end.size;
    info.m_whole = end.kind == JpegScanEnd::kEndOfImage;
    info.m_endUnknown = !info.m_whole;
  }
  return 1;
}

namespace {

// The markers that may stand between two scans, each followed by a length.
bool IsTableOrMiscellany(uint8_t marker) {
  return marker == 0xC4 || marker == 0xCC || marker == 0xDB || marker == 0xDC || marker == 0xDD ||
         (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;
}

// Whether the segment's body (after its length) is a well-formed Huffman or
// quantisation table list; other segments are taken as they come.
bool SegmentBodyIsSound(uint8_t marker, const uint8_t* body, size_t length) {
  size_t at = 0;
  if (marker == 0xC4) {
    while (at < length) {
      if (length - at < 17 || (body[at] >> 4) > 1 || (body[at] & 0x0F) > 3) return false;
      size_t codes = 0;
      for (int i = 1; i <= 16; ++i) codes += body[at + i];
      if (codes > 256 || length - at - 17 < codes) return false;
      at += 17 + codes;
    }
    return true;
  }
  if (marker == 0xDB) {
    while (at < length) {
      const size_t table = (body[at] >> 4) == 0 ? 64 : (body[at] >> 4) == 1 ? 128 : 0;
      if (table == 0 || (body[at] & 0x0F) > 3 || length - at < 1 + table) return false;
      at += 1 + table;
    }
    return true;
  }
  if (marker == 0xDD) return length == 2;
  if (marker == 0xDC) return length == 2;
  return true;
}

}  // namespace

FileJPGAnalyser::JpegScanEnd FileJPGAnalyser::FollowScans(RawFileBuffer& buffer, uint64_t position, uint64_t limit,
                                                          bool restarts) {
  constexpr size_t kChunk = 32768;
  const uint64_t s = buffer.SectorSize();
  // The end of the last stretch known to belong to the picture: scan data
  // shows that it is the picture's only where a byte FF is followed by a
  // stuffed 00 or the next restart marker.
  uint64_t good = position;
  int nextRestart = 0;
  auto brokenAt = [&](uint64_t at) {
    // Foreign data begins at a sector boundary after the last sure stretch
    // (files are laid down in whole sectors): the first such boundary keeps
    // none of it.
    const uint64_t boundary = (good + s - 1) / s * s;
    return JpegScanEnd{JpegScanEnd::kBrokenOff, std::min(boundary, at)};
  };
  while (true) {
    // Entropy-coded data, up to the marker that ends it.
    uint64_t marker = 0;
    while (marker == 0) {
      if (position >= limit) return {JpegScanEnd::kUndecided, position};
      const size_t span = static_cast<size_t>(std::min<uint64_t>(kChunk, limit - position));
      const uint8_t* data = buffer.Get(position, span + 1);
      if (data == nullptr) return {JpegScanEnd::kUndecided, position};
      const auto* ff = static_cast<const uint8_t*>(std::memchr(data, 0xFF, span));
      if (ff == nullptr) {
        position += span;
        continue;
      }
      const uint64_t at = position + static_cast<uint64_t>(ff - data);
      const uint8_t next = ff[1];
      if (next == 0x00) {
        good = position = at + 2;
      } else if (next >= 0xD0 && next <= 0xD7) {
        if (!restarts || (next & 7) != nextRestart) return brokenAt(at);
        nextRestart = (nextRestart + 1) & 7;
        good = position = at + 2;
      } else if (next == 0xFF) {
        position = at + 1;  // a fill byte; the marker follows
      } else {
        marker = at;
      }
    }
    // Markers between scans, up to the next scan or the end of the image.
    position = marker;
    while (true) {
      if (position >= limit) return {JpegScanEnd::kUndecided, position};
      const uint8_t* m = buffer.Get(position, 4);
      if (m == nullptr) return {JpegScanEnd::kUndecided, position};
      if (m[0] != 0xFF) return brokenAt(position);
      if (m[1] == 0xFF) {
        position += 1;
        continue;
      }
      if (m[1] == 0xD9) return {JpegScanEnd::kEndOfImage, position + 2};
      const uint16_t length = ondisk::Be16(m + 2);
      if (length < 2) return brokenAt(position);
      const uint8_t* body = buffer.Get(position + 4, length - 2u);
      if (body == nullptr) return {JpegScanEnd::kUndecided, position};
      if (m[1] == 0xDA) {
        const unsigned components = length > 2 ? body[0] : 0;
        if (components < 1 || components > 4 || length != 6 + 2 * components) return brokenAt(position);
        good = position = position + 2 + length;
        nextRestart = 0;
        break;
      }
      if (!IsTableOrMiscellany(m[1]) || !SegmentBodyIsSound(m[1], body, length - 2u)) return brokenAt(position);
      if (m[1] == 0xDD) restarts = ondisk::Be16(body) != 0;
      position += 2u + length;
    }
  }
}

uint64_t FileJPGAnalyser::AddFileSizeByPerSecSize(RawFileBuffer& buffer, uint64_t position, uint64_t limit,
                                                  bool* found) {
  const uint64_t s = buffer.SectorSize();
  bool unused = false;
  bool& ended = found != nullptr ? *found : unused;
  ended = false;
  while (position < limit) {
    const uint64_t start = position - position % s;
    const uint64_t end = start + s;
    const uint8_t* sector = buffer.Get(start, s);
    // An unreadable sector ends the picture where the search got to: the
    // part before it is kept rather than nothing.
    if (sector == nullptr) return position;
    const uint8_t a = sector[s - 2], b = sector[s - 1];
    if (a == 0xFF && b == 0xD9) {
      ended = true;
      return end;
    }
    if (a == 0 && b == 0) {
      const uint8_t* hit = Apimemstr(sector + (position - start), static_cast<int64_t>(end - position),
                                     reinterpret_cast<const uint8_t*>("\xFF\xD9"), 2);
      if (hit != nullptr) {
        ended = true;
        return start + static_cast<uint64_t>(hit - sector) + 2;
      }
      if (start > 0) {
        const uint8_t* straddle = buffer.Get(start - 1, 2);
        if (straddle != nullptr && straddle[0] == 0xFF && straddle[1] == 0xD9) {
          ended = true;
          return start + 1;
        }
      }
    }
    position = end;
  }
  return position;
}
