// One analyser on bytes of our own: the file at the start of an in-memory
// device, what its first sector matches and how the analyser sizes it, as
// the carver would ask.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "raw/RawFileAnalyser.h"
#include "support/BytesDevice.h"

namespace rawsizing {

using Bytes = std::vector<uint8_t>;

struct Sized {
  bool matched = false;
  uint32_t answer = 0;  // GetRawFileSize's
  uint64_t size = 0;
  bool whole = false;
  uint64_t proven = 0;  // the bytes from its start its structure proves its own
  bool endUnknown = false;
  uint32_t type = 0;
  std::string prefix;
};

// `file`, then `after` bytes of zeros (or of random bytes when `random`), on
// a device of `sectorSize`-byte sectors (the last one filled up).
inline Bytes Disk(const Bytes& file, size_t after, bool random = false, uint32_t sectorSize = 512) {
  Bytes disk = file;
  std::mt19937 rng(7);
  for (size_t i = 0; i < after; ++i) disk.push_back(random ? static_cast<uint8_t>(rng()) : 0);
  while (disk.size() % sectorSize != 0) disk.push_back(random ? static_cast<uint8_t>(rng()) : 0);
  return disk;
}

inline Sized Size(IRawFileAnalyser& analyser, const Bytes& disk, uint32_t sectorSize = 512) {
  Sized out;
  Bytes sector(disk.begin(), disk.begin() + std::min<size_t>(disk.size(), sectorSize));
  sector.resize(sectorSize + 2048, 0);  // the carver's buffers carry padding
  CRawFileInfo info;
  out.matched = analyser.AnalyseBuffer(sector.data(), info) != 0;
  if (!out.matched) return out;
  if (info.m_size == 0) {
    testsupport::BytesDevice device(disk.data(), disk.size(), sectorSize);
    out.answer = analyser.GetRawFileSize(info, &device);
  }
  out.size = info.m_size;
  out.whole = info.m_whole;
  out.proven = info.ProvenBytes();
  out.endUnknown = info.m_endUnknown;
  out.type = info.m_type;
  out.prefix = info.m_namePrefix;
  return out;
}

// An Ogg page at `at` of `disk` of stream `serial`, its body the bytes that
// stand behind its lacing values, with `flags` (2 opens the stream, 4
// closes it) and, when `summed`, the checksum the format gives it: CRC-32
// of polynomial 04C11DB7, from the top bit, over the page with its
// checksum field zero.
inline void OggPage(Bytes& disk, size_t at, uint8_t flags, const Bytes& lacing, uint32_t serial = 1,
                    bool summed = true) {
  uint8_t* page = disk.data() + at;
  std::copy_n("OggS", 4, page);
  page[4] = 0;
  page[5] = flags;
  std::fill_n(page + 6, 20, uint8_t{0});
  for (int i = 0; i < 4; ++i) page[14 + i] = static_cast<uint8_t>(serial >> (8 * i));
  page[26] = static_cast<uint8_t>(lacing.size());
  std::copy(lacing.begin(), lacing.end(), page + 27);
  size_t length = 27 + lacing.size();
  for (const uint8_t l : lacing) length += l;
  uint32_t crc = 0;
  for (size_t i = 0; summed && i < length; ++i) {
    crc ^= uint32_t{page[i]} << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  for (int i = 0; i < 4; ++i) page[22 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

}  // namespace rawsizing
