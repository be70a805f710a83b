// The heads that every file of a type begins with, for the types whose files
// a card or a disk holds by the thousand (photos, camera raws, clips): what a
// file's first bytes say of whether they are the start of that file.
//
// Only heads the format requires count, and only where they are distinctive
// enough that another file's bytes seldom begin the same way: a JPEG's start
// of image and first marker, a QuickTime or ISO media file's first box, a
// TIFF's byte order and magic number (and the camera raws built on it), PNG,
// GIF, BMP, RIFF (AVI, WAV), Matroska and RAF signatures. A type whose files
// may begin in many ways (text, MP3, PDF) has none here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "ClusterClaims.h"

class IProgress;
class IStorageDevice;

namespace fileheads {

// The bytes JudgeHead looks at, at most.
inline constexpr size_t kHeadBytes = 16;

// Whether files named `name` (by its extension, in any case) have a head.
bool HasHead(const char* name);
// What the `length` bytes at a file's start say of it: kPresent when they
// begin with the head its type requires, kMissing when they cannot be its
// start, kUnknown when its type has no head here (or too few bytes).
claims::Head JudgeHead(const char* name, const uint8_t* bytes, size_t length);
// Where a volume's clusters lie: cluster c (from 2) at sector
// base + (c - 2) * sectorsPerCluster of `device`; `progress`, where given,
// is asked before each read (it holds a paused scan): once it says stop,
// nothing more is read, and what was not read tells nothing.
struct ClusterPlace {
  IStorageDevice* device = nullptr;
  int64_t base = 0;
  uint32_t sectorsPerCluster = 0;
  IProgress* progress = nullptr;
};

// JudgeHead of the first sector of `cluster`, read only where files named
// `name` have a head; kUnknown when it cannot be read.
claims::Head ReadHead(const ClusterPlace& place, uint64_t cluster, const char* name);

// Whether a file of `size` bytes named `name` ends as its type ends, as
// `read(offset, bytes, count)` (false where it cannot) gives its bytes: a
// JPEG that holds together from its start to its end of image in its last
// two bytes (its segments and the markers in its data as its format allows
// them), a PNG's chunks with their checksums up to its end chunk in its
// last twelve bytes, a media file's boxes, walked from its start, ending at
// its size (its last box not its media data, whose clusters no head read
// lies behind). kPresent, kMissing where the type has such an end and the
// bytes do not (or cannot be read so far), or kUnknown for a type without
// one (or a media file that ends in its data).
using FileBytes = std::function<bool(uint64_t offset, uint8_t* bytes, size_t count)>;
claims::Head JudgeTail(const char* name, uint64_t size, const FileBytes& read);
// JudgeTail of the file whose runs (clusters) are `runs`. With `budget`, the
// bytes it may still read, less what it reads: past them its bytes cannot
// be read (kMissing for a type with an end).
claims::Head ReadTail(const ClusterPlace& place, std::span<const claims::Span> runs, uint64_t size, const char* name,
                      uint64_t* budget = nullptr);

}  // namespace fileheads
