#include "raw/RawFileBuffer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "raw/NotifyCenter.h"
#include "raw/RawFileInfo.h"
#include "raw/RawMovieSamples.h"
#include "raw/RawSectorScan.h"

namespace {

// The shared window: whose bytes it holds and which of them.
struct Window {
  std::vector<uint8_t> bytes;
  uint64_t owner = 0;
  uint64_t first = 0;  // offset from the owner's file start
  uint64_t end = 0;
};
thread_local Window t_window;
thread_local uint64_t t_nextToken = 1;

}  // namespace

RawFileBuffer::RawFileBuffer(IStorageDevice* device, uint64_t baseSector)
    : m_device(device), m_baseSector(baseSector), m_token(t_nextToken++) {
  const uint32_t size = device != nullptr ? device->GetSectorSize() : 0;
  m_sectorSize = size == 0 ? 512 : size;
}

uint64_t RawFileBuffer::BytesToDeviceEnd() const {
  if (m_device == nullptr) return 0;
  const int64_t total = m_device->GetTotalSectors();
  if (total <= 0 || static_cast<uint64_t>(total) <= m_baseSector) return 0;
  return (static_cast<uint64_t>(total) - m_baseSector) * m_sectorSize;
}

bool RawFileBuffer::Load(uint64_t offset) {
  const uint64_t windowBytes = uint64_t{kWindowSectors + 1} * m_sectorSize;
  const int64_t total = m_device->GetTotalSectors();
  const uint64_t first = m_baseSector + offset / m_sectorSize;
  if (total <= 0 || first >= static_cast<uint64_t>(total)) return false;
  const uint64_t count = std::min<uint64_t>(kWindowSectors + 1, static_cast<uint64_t>(total) - first);
  Window& w = t_window;
  if (w.bytes.size() < windowBytes) w.bytes.assign(windowBytes, 0);
  w.owner = 0;
  if (m_device->ReadSector(w.bytes.data(), static_cast<int64_t>(first), static_cast<int64_t>(count)) == 0) {
    return false;
  }
  // Past the device's end the window reads as zeros; the rest was read.
  std::memset(w.bytes.data() + count * m_sectorSize, 0, windowBytes - count * m_sectorSize);
  w.owner = m_token;
  w.first = offset - offset % m_sectorSize;
  w.end = w.first + windowBytes;
  return true;
}

const uint8_t* RawFileBuffer::Get(uint64_t offset, size_t length) {
  if (!CNotifyCenter::Instance().isContinue() || m_device == nullptr) return nullptr;
  if (length > uint64_t{kWindowSectors} * m_sectorSize || offset > UINT64_MAX / 2) return nullptr;
  Window& w = t_window;
  if (w.owner != m_token || offset < w.first || offset + length > w.end) {
    // Windows normally sit on multiples of 128 sectors, so a forward walk
    // reads each sector once; a span across such a boundary gets a window
    // of its own.
    const uint64_t step = uint64_t{kWindowSectors} * m_sectorSize;
    const uint64_t aligned = offset - offset % step;
    const uint64_t at = offset + length <= aligned + step + m_sectorSize ? aligned : offset;
    if (!Load(at)) return nullptr;
  }
  return w.bytes.data() + (offset - w.first);
}

uint32_t DWORDBigEndian2LittleEndian(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

const uint8_t* Apimemstr(const uint8_t* haystack, int64_t haystackLength, const uint8_t* pattern,
                         int64_t patternLength) {
  if (haystack == nullptr || pattern == nullptr || haystackLength <= 0 || patternLength <= 0 ||
      patternLength > haystackLength) {
    return nullptr;
  }
  const uint8_t* end = haystack + (haystackLength - patternLength) + 1;
  for (const uint8_t* p = haystack; p < end; ++p) {
    p = static_cast<const uint8_t*>(std::memchr(p, pattern[0], static_cast<size_t>(end - p)));
    if (p == nullptr) return nullptr;
    if (std::memcmp(p, pattern, static_cast<size_t>(patternLength)) == 0) return p;
  }
  return nullptr;
}

namespace {

// Offset from the file's start of the first signature in the `length` bytes
// from `from`, in the requested cases; -1 when none.
int64_t FindSign(RawFileBuffer& buffer, uint64_t from, size_t length, const SearchSignCodeInfo& sign,
                 int caseSensitive) {
  const uint8_t* bytes = buffer.Get(from, length);
  if (bytes == nullptr) return -1;
  uint8_t folded[64];
  const size_t n = std::min<size_t>(sign.length, sizeof folded);
  const int passes = caseSensitive != 0 ? 1 : 2;
  for (int pass = 0; pass < passes; ++pass) {
    for (size_t i = 0; i < n; ++i) {
      const int c = sign.sign[i];
      folded[i] =
          caseSensitive != 0 ? sign.sign[i] : static_cast<uint8_t>(pass == 0 ? std::tolower(c) : std::toupper(c));
    }
    const uint8_t* hit = Apimemstr(bytes, static_cast<int64_t>(length), folded, static_cast<int64_t>(n));
    if (hit != nullptr) return static_cast<int64_t>(from + static_cast<uint64_t>(hit - bytes));
  }
  return -1;
}

}  // namespace

uint32_t SearchSignFileAnalyser::SearchEndSignCode(CRawFileInfo& info, IStorageDevice* device,
                                                   const SearchSignCodeInfo& sign, int caseSensitive) {
  RawSearchMemo unshared;
  return SearchEndSignCode(info, device, sign, caseSensitive, unshared);
}

uint32_t SearchSignFileAnalyser::SearchEndSignCode(CRawFileInfo& info, IStorageDevice* device,
                                                   const SearchSignCodeInfo& sign, int caseSensitive,
                                                   RawSearchMemo& memo) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint64_t s = buffer.SectorSize();
  const uint64_t limit = sign.limit == 0 ? 0xD000000 : sign.limit;
  const auto probe = [&](uint64_t p) {
    const uint8_t* sector = buffer.Get(p, s);
    if (sector == nullptr) return RawSectorProbe::Unreadable();
    if (sector[s - 1] != 0 || sector[s - 2] != 0) return RawSectorProbe();
    const int64_t here = FindSign(buffer, p, s, sign, caseSensitive);
    if (here >= 0) return RawSectorProbe::End(static_cast<uint64_t>(here) + sign.length);
    // Re-read: FindSign may have moved the window.
    sector = buffer.Get(p, s);
    const bool deepTail = sector != nullptr && caseSensitive != 0 && sector[s - 8] == 0 && sector[s - 7] == 0 &&
                          sector[s - 6] == 0 && sector[s - 5] == 0 && sector[s - 4] == 0 && sector[s - 3] == 0;
    const uint64_t from = p == 0 ? 0 : p - s;
    const int64_t straddle = FindSign(buffer, from, static_cast<size_t>(p + s - from), sign, caseSensitive);
    if (straddle >= 0) return RawSectorProbe::End(static_cast<uint64_t>(straddle) + sign.length);
    if (deepTail) return RawSectorProbe::End(p == 0 ? p : p - s);
    return RawSectorProbe();
  };
  // Sectors up to and including the one at the limit.
  const RawSectorScan scan = ScanRawSectors(buffer, 0, limit + 1, probe, memo);
  info.m_size = scan.found ? scan.end : scan.reached;
  info.m_endUnknown = !scan.found;
  return 1;
}

uint32_t CRawBoxFileAnalyser::GetFileSize(CRawFileInfo& info, IStorageDevice* device) {
  static const char* const kTypes[] = {"mdat", "moov", "free", "moof", "mfra", "uuid"};
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 16);
  if (head == nullptr) return 0;
  const uint64_t first = ondisk::Be32(head);
  if (first < 1) return 0;
  uint64_t position = first;
  for (int box = 0; box < 500; ++box) {
    const uint8_t* b = buffer.Get(position, 16);
    if (b == nullptr) break;
    uint64_t size = ondisk::Be32(b);
    if (size < 1) break;
    auto typeIs = [&](const uint8_t* at) {
      for (const char* t : kTypes) {
        if (std::tolower(at[0]) == t[0] && std::tolower(at[1]) == t[1] && std::tolower(at[2]) == t[2] &&
            std::tolower(at[3]) == t[3]) {
          return true;
        }
      }
      return false;
    };
    if (size == 1) {
      if (std::memcmp(b + 4, "mdat", 4) != 0) break;
      size = (uint64_t{b[8]} << 56) | (uint64_t{b[9]} << 48) | (uint64_t{b[10]} << 40) | (uint64_t{b[11]} << 32) |
             (uint64_t{b[12]} << 24) | (uint64_t{b[13]} << 16) | (uint64_t{b[14]} << 8) | b[15];
      if (size < 16) return 0;
    } else if (!typeIs(b + 4) && !typeIs(b + 12)) {
      break;
    }
    if (size > buffer.BytesToDeviceEnd() - std::min(position, buffer.BytesToDeviceEnd())) {
      // A box running past the device: what lies inside it is all we have,
      // and not the whole file.
      position = buffer.BytesToDeviceEnd();
      info.m_endUnknown = true;
      break;
    }
    // Each box found where the one before ends shows that one whole; the
    // last one's bytes are only claimed, but for the samples the movie box
    // places in them.
    info.m_provenTo = position + 8;
    if (std::memcmp(b + 4, "moov", 4) == 0) AddRawMovieSamples(buffer, position, size, info.m_parts);
    position += size;
  }
  if (position == 0) return 0;
  info.m_size = position;
  return 1;
}
