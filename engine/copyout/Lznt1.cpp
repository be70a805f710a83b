#include "copyout/Lznt1.h"

#include <algorithm>
#include <cstring>

namespace lznt1 {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

size_t DecompressBlock(const uint8_t* source, size_t available, uint8_t* destination, size_t capacity) {
  if (source == nullptr || destination == nullptr || capacity < 1 || available < 2) return 0;
  const uint16_t header = Le16(source);
  const size_t end = std::min<size_t>((header & 0x0FFFu) + 3u, available);
  if ((header & 0x8000u) == 0) {
    const size_t n = std::min({size_t{header & 0x0FFFu} + 1u, end - 2, capacity});
    std::memcpy(destination, source + 2, n);
    return n;
  }
  size_t in = 2;
  size_t produced = 0;
  while (in < end && produced < capacity) {
    const uint8_t flags = source[in++];
    for (int bit = 0; bit < 8 && in < end && produced < capacity; ++bit) {
      if ((flags & (1u << bit)) == 0) {
        destination[produced++] = source[in++];
        continue;
      }
      if (in + 1 >= end) return produced;  // a token cut off by the chunk's end
      const uint16_t token = Le16(source + in);
      in += 2;
      // The split between displacement and length moves with the position:
      // 4 displacement bits up to 16 bytes in, one more bit per doubling.
      unsigned shift = 0;
      for (size_t p = produced > 0 ? produced - 1 : 0; p > 15; p >>= 1) ++shift;
      const size_t length = (token & (0x0FFFu >> shift)) + 3u;
      const size_t displacement = (size_t{token} >> (12u - shift)) + 1u;
      for (size_t k = 0; k < length && produced < capacity; ++k, ++produced) {
        destination[produced] = displacement <= produced ? destination[produced - displacement] : 0;
      }
    }
  }
  return produced;
}

size_t DecompressUnit(const uint8_t* source, size_t available, uint8_t* destination, size_t capacity) {
  if (source == nullptr || destination == nullptr) return 0;
  size_t in = 0;
  size_t slot = 0;
  size_t last = 0;
  while (available >= 3 && in < available - 2 && slot < capacity) {
    const uint16_t header = Le16(source + in);
    if (header == 0) break;
    const size_t produced =
        DecompressBlock(source + in, available - in, destination + slot, std::min(kChunkBytes, capacity - slot));
    last = slot + produced;
    in += (header & 0x0FFFu) + 3u;
    slot += kChunkBytes;
  }
  return last;
}

}  // namespace lznt1
