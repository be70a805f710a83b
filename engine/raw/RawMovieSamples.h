// Where the samples of an ISO media or QuickTime file lie, as its movie box
// lists them (chunk offsets, samples per chunk, sample sizes): a film whose
// frames are pictures of their own (motion JPEG) holds such pictures at
// sector boundaries, which are its parts, not files of their own.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "raw/RawFileInfo.h"

class RawFileBuffer;

// A box of such a file: where it starts, how long it is with its header (8
// bytes, or 16 with a 64-bit length), and its type.
struct RawBox {
  uint64_t at = 0, size = 0, header = 0;
  uint8_t type[4] = {};
  bool Is(const char* t) const { return std::memcmp(type, t, 4) == 0; }
  uint64_t Body() const { return at + header; }
  uint64_t End() const { return at + size; }
};

// The box at `at`, which must end by `end` (a length of 0 runs to `end`);
// false when there is no room for its header or its length does not fit.
bool ReadRawBox(RawFileBuffer& buffer, uint64_t at, uint64_t end, RawBox& box);

// Adds to `parts` every sample of the movie box at `at` (`size` bytes, from
// the file's start) that begins at a 512-byte boundary, with its length.
// Hostile tables are bounded: a box, table or count that does not hold ends
// the look at that track.
void AddRawMovieSamples(RawFileBuffer& buffer, uint64_t at, uint64_t size, std::vector<CRawFileInfo::Part>& parts);
