// The search for the mark that ends a file of its own accord (a trailer
// block, an end-of-file record, a copy of the header), looked for at every
// byte from a position onwards rather than only in sectors whose last bytes
// are zero: the file then ends where the mark says also when the free space
// behind it holds other data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

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

// Marks a carving pass on the calling thread for as long as it lives:
// memos are kept within one pass only (a device of another pass may sit at
// the same address with other bytes). Outside a pass no memo is used.
class RawCarvingPass {
 public:
  // A number no other pass of this process has.
  static uint64_t NewPass();
  explicit RawCarvingPass(uint64_t pass);
  ~RawCarvingPass();
  RawCarvingPass(const RawCarvingPass&) = delete;
  RawCarvingPass& operator=(const RawCarvingPass&) = delete;
  // The pass on this thread, 0 for none.
  static uint64_t Current();

 private:
  uint64_t m_outer;
};

// What the last search of one caller saw, in bytes of the device: where it
// began, how far it got, and the mark it found. Files of one type often
// follow each other (or a signature repeats in every sector of foreign
// data): the search of each would read all of what the last one read again,
// to the same mark or to the same limit. A caller whose `accept` looks only
// at the bytes around the mark keeps one memo per thread and hands it to
// every search of its kind.
struct RawMarkMemo {
  uint64_t pass = 0;  // the carving pass it belongs to (RawCarvingPass)
  const void* device = nullptr;
  uint8_t mark[16] = {};
  size_t length = 0, before = 0, after = 0;
  uint64_t fileStart = 0;  // the searches it tells of: those of files from here on
  uint64_t from = 0;       // the first byte searched
  uint64_t reached = 0;    // how far the search got without a mark, or the mark's first byte
  bool found = false;
};

RawMarkFind FindRawEndMark(RawFileBuffer& buffer, uint64_t from, uint64_t limit, const uint8_t* mark, size_t length,
                           size_t before, size_t after, const std::function<bool(const uint8_t*)>& accept,
                           RawMarkMemo& memo);
