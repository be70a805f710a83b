#include "raw/FileJPGAnalyser.h"

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
  uint32_t width = 0, height = 0;
  while (true) {
    if (position > positionLimit) {
      info.m_size = position;
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
    if (variant == kJFIF) {
      isFrame = marker == 0xC0 || (marker == 0xC2 && !frame);
    } else if (variant == kExif) {
      isFrame = marker == 0xC0;
    } else {
      isFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    }
    if (isFrame) {
      if (m[4] != 8) return 0;
      if (variant == kPlain && m[9] != 3) return 0;
      height = ondisk::Be16(m + 5);
      width = ondisk::Be16(m + 7);
      frame = true;
    }
    position += length + 2u;
  }
  info.m_size = AddFileSizeByPerSecSize(buffer, position, uint64_t{width} * height * 3);
  return 1;
}

uint64_t FileJPGAnalyser::AddFileSizeByPerSecSize(RawFileBuffer& buffer, uint64_t position, uint64_t limit) {
  const uint64_t s = buffer.SectorSize();
  while (position < limit) {
    const uint64_t start = position - position % s;
    const uint64_t end = start + s;
    const uint8_t* sector = buffer.Get(start, s);
    // An unreadable sector ends the picture where the search got to: the
    // part before it is kept rather than nothing.
    if (sector == nullptr) return position;
    const uint8_t a = sector[s - 2], b = sector[s - 1];
    if (a == 0xFF && b == 0xD9) return end;
    if (a == 0 && b == 0) {
      const uint8_t* hit = Apimemstr(sector + (position - start), static_cast<int64_t>(end - position),
                                     reinterpret_cast<const uint8_t*>("\xFF\xD9"), 2);
      if (hit != nullptr) return start + static_cast<uint64_t>(hit - sector) + 2;
      if (start > 0) {
        const uint8_t* straddle = buffer.Get(start - 1, 2);
        if (straddle != nullptr && straddle[0] == 0xFF && straddle[1] == 0xD9) return start + 1;
      }
    }
    position = end;
  }
  return position;
}
