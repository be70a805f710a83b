// Where the samples of an ISO media or QuickTime file lie, as its movie box
// lists them (chunk offsets, samples per chunk, sample sizes): a film whose
// frames are pictures of their own (motion JPEG) holds such pictures at
// sector boundaries, which are its parts, not files of their own.
#pragma once

#include <cstdint>
#include <vector>

#include "raw/RawFileInfo.h"

class RawFileBuffer;

// Adds to `parts` every sample of the movie box at `at` (`size` bytes, from
// the file's start) that begins at a 512-byte boundary, with its length.
// Hostile tables are bounded: a box, table or count that does not hold ends
// the look at that track.
void AddRawMovieSamples(RawFileBuffer& buffer, uint64_t at, uint64_t size, std::vector<CRawFileInfo::Part>& parts);
