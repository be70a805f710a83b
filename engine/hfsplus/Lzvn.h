// LZVN, the byte-oriented LZ77 variant of HFS+ compressed files: opcodes
// that carry a run of literal bytes, a back reference (a match), or both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hfsplus {

// Decodes `source` into `destination`. Answers the bytes produced when the
// end-of-stream opcode is met or the destination is full (decoding stops
// there, so a destination smaller than the stream gets exactly its
// capacity), and -1 when the source ends first, an undefined opcode comes,
// or a match reaches before the start of the output. Nothing is written
// past `capacity`, whatever it is (1 byte included). `produced`, when given,
// gets the bytes written before the decoding ended, a failure included.
int64_t LzvnDecode(const uint8_t* source, size_t sourceLength, uint8_t* destination, size_t capacity,
                   size_t* produced = nullptr);

}  // namespace hfsplus

// The same with 0 for every failure.
size_t lzvn_decode(void* destination, size_t capacity, const void* source, size_t sourceLength);
