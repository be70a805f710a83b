// The search for the mark that ends a file of its own accord (a trailer
// block, an end-of-file record, a copy of the header), looked for at every
// byte from a position onwards rather than only in sectors whose last bytes
// are zero: the file then ends where the mark says also when the free space
// behind it holds other data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "raw/RawSearchMemo.h"

class CRawFileInfo;
class RawFileBuffer;

struct RawMarkFind {
  bool found = false;
  uint64_t offset = 0;   // where the mark begins, when found
  uint64_t reached = 0;  // otherwise: how far the search got (the limit, the device's end or an unreadable window)
};

// The first offset at or after `from` and below `limit` where the `length`
// bytes of `mark` stand and `accept` holds; `accept` gets the mark's first
// byte with `before` bytes readable ahead of it and `after` bytes from it
// (at most 4096 each).
// Sizes `info` from a search: `tail` bytes past the mark when it was found
// (the file then ends itself), else as far as the search got.
void SizeFromRawEndMark(CRawFileInfo& info, const RawMarkFind& find, uint64_t tail);

RawMarkFind FindRawEndMark(RawFileBuffer& buffer, uint64_t from, uint64_t limit, const uint8_t* mark, size_t length,
                           size_t before, size_t after, const std::function<bool(const uint8_t*)>& accept);

// The same, going on within a carving pass from what the last search handed
// the same memo saw (RawSearchMemo.h); finds are remembered with the file
// they were made for, as marks closer than `before` to a file's start are
// not taken. A caller whose `accept` looks only at the bytes around the mark
// keeps one memo per thread and hands it to every search of its kind.
RawMarkFind FindRawEndMark(RawFileBuffer& buffer, uint64_t from, uint64_t limit, const uint8_t* mark, size_t length,
                           size_t before, size_t after, const std::function<bool(const uint8_t*)>& accept,
                           RawSearchMemo& memo);
