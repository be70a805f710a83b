// The sizing toolkit the analysers share: a windowed reader that shows a
// file's bytes from its start sector as one array, the end-signature search,
// a byte-pattern search and the walk over length-prefixed boxes.
//
// Most sizing rules take a sector whose last bytes are zero as a candidate
// last sector: files rarely fill their last sector and the space behind one
// is usually zero.
#pragma once

#include <cstddef>
#include <cstdint>

class CRawFileInfo;
class IStorageDevice;
struct RawSearchMemo;

// Reads a file through a window of 128 sectors (plus one, so that a record
// that starts near the window's end can be read whole). Every instance shares
// one window per thread; a pointer stays good until the next read of any
// RawFileBuffer. Bytes past the device's end read as zero; a window that
// would start there cannot be read.
class RawFileBuffer {
 public:
  static constexpr uint32_t kWindowSectors = 128;

  RawFileBuffer(IStorageDevice* device, uint64_t baseSector);

  // The byte at `offset` from the file's start with one whole sector behind
  // it, or null (unreadable, outside the device, or the user stopped).
  const uint8_t* GetRawFileBuffer(uint64_t offset) { return Get(offset, SectorSize()); }
  // `length` readable bytes from `offset` (at most kWindowSectors sectors), or
  // null.
  const uint8_t* Get(uint64_t offset, size_t length);
  // Hands `take` the `length` bytes from `offset` piece by piece (each piece
  // good until the next read); false when a piece cannot be read.
  template <typename Take>
  bool ForEachPiece(uint64_t offset, uint64_t length, Take&& take) {
    const uint64_t step = uint64_t{kWindowSectors / 2} * m_sectorSize;
    while (length > 0) {
      const size_t n = static_cast<size_t>(length < step ? length : step);
      const uint8_t* bytes = Get(offset, n);
      if (bytes == nullptr) return false;
      take(bytes, n);
      offset += n;
      length -= n;
    }
    return true;
  }
  // 512 when the device answers 0.
  uint32_t SectorSize() const { return m_sectorSize; }
  // Bytes from the file's start to the device's end.
  uint64_t BytesToDeviceEnd() const;
  // The device read and the file's first byte on it.
  const IStorageDevice* Device() const { return m_device; }
  uint64_t FirstByte() const { return m_baseSector * m_sectorSize; }

 private:
  bool Load(uint64_t offset);

  IStorageDevice* m_device;
  uint64_t m_baseSector;
  uint32_t m_sectorSize;
  uint64_t m_token;
};

// Reads a 32-bit big-endian box size.
uint32_t DWORDBigEndian2LittleEndian(uint32_t value);

// The first occurrence of `pattern` in the first `haystackLength` bytes of
// `haystack`, or null (null or empty arguments, a pattern longer than the
// haystack).
const uint8_t* Apimemstr(const uint8_t* haystack, int64_t haystackLength, const uint8_t* pattern,
                         int64_t patternLength);

// A-Z to a-z and nothing else: signatures are ASCII, whatever the user's
// locale, and this costs no call per byte.
constexpr uint8_t FoldAscii(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c | 0x20) : c; }

struct SearchSignCodeInfo {
  uint8_t sign[64] = {};
  uint32_t length = 0;  // bytes of `sign` used
  uint64_t limit = 0;   // bytes; 0 means 0xD000000
};

class SearchSignFileAnalyser {
 public:
  // Sizes the file from the first end signature found in a zero-tailed
  // sector (or across the boundary before it); sets the record's size and
  // answers 1.
  static uint32_t SearchEndSignCode(CRawFileInfo& info, IStorageDevice* device, const SearchSignCodeInfo& sign,
                                    int caseSensitive);
  // The same, going on within a carving pass from what the last search
  // handed the same memo saw (RawSearchMemo.h): one memo per signature.
  static uint32_t SearchEndSignCode(CRawFileInfo& info, IStorageDevice* device, const SearchSignCodeInfo& sign,
                                    int caseSensitive, RawSearchMemo& memo);
};

// Files built of length-prefixed boxes (the ISO base media family).
class CRawBoxFileAnalyser {
 public:
  // Walks the boxes from the file's start; 1 when it set a size. Sizes are
  // 64-bit and positions never go back or wrap.
  static uint32_t GetFileSize(CRawFileInfo& info, IStorageDevice* device);
};
