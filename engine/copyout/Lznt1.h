// The LZNT1 decoder of NTFS-compressed files. A compression unit is a run of
// chunks; each chunk starts with a 16-bit little-endian header (bits 0-11:
// chunk length - 3, header included; bit 15: compressed) and stands for 4096
// bytes of the file. Both functions treat their input as hostile: they read
// only the bytes given and write only the room given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lznt1 {

// Bytes one chunk stands for.
inline constexpr size_t kChunkBytes = 4096;

// Decodes the chunk at `source` (`available` bytes readable there, header
// included; the chunk's own length is cut to them) into `destination`, at
// most `capacity` bytes, and answers the bytes produced. A stored chunk copies
// its bytes; a compressed one is a run of flag bytes, each announcing eight
// literals or back-references. Back-references that reach before the chunk's
// start produce zeros.
size_t DecompressBlock(const uint8_t* source, size_t available, uint8_t* destination, size_t capacity);

// Decodes a whole compression unit: the chunks from `source` on, each into
// its own 4096-byte slot of `destination`, until a zero header, the end of the
// input or the end of `capacity`. The caller zeroes `destination` first: a
// chunk that decodes to fewer than 4096 bytes leaves the rest of its slot as
// it was. Answers the end of the last byte produced.
size_t DecompressUnit(const uint8_t* source, size_t available, uint8_t* destination, size_t capacity);

}  // namespace lznt1
