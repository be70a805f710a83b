// What the carver's end searches remember from one search to the next.
//
// Files of one type often follow each other with no end of their own, or a
// signature repeats in every sector of foreign data: the search for each
// one's end would read on over all that the last one read, to the same find
// or to the same limit. Within one carving pass a search that begins among
// the bytes the last search of its kind covered goes on from where that one
// stopped, or takes what it found.
#pragma once

#include <cstdint>
#include <string>

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

// What the last search of one kind saw in a carving pass, in bytes of the
// device: nothing it looks for in [from, reached), or (found) what it looks
// for at `reached`, which told `end`. A caller keeps one memo per thread
// and kind of search and hands it to every search of that kind. `key` tells
// kinds apart where they could meet in one memo (what is searched for, and
// how); `fileStart` is the first file whose searches the memo tells of, for
// searches whose finds hang on where the file starts.
struct RawSearchMemo {
  uint64_t pass = 0;  // the carving pass it belongs to (RawCarvingPass)
  const void* device = nullptr;
  std::string key;
  uint64_t fileStart = 0;
  uint64_t from = 0, reached = 0, end = 0;
  bool found = false;

  // Whether a search of `device` in the current pass that begins at byte
  // `at` of the device begins among what the memo tells; never outside a
  // pass.
  bool Covers(const void* device, uint64_t at) const;
  // Keeps what a search of `device` that began at byte `at` saw: nothing up
  // to `reached`, or (found) its find at `reached`, telling `end`. `covered`
  // is what Covers said of it: a search held back by its own limit short of
  // where the last one got leaves what the last one learnt standing. Nothing
  // is kept outside a pass.
  void Keep(const void* device, bool covered, uint64_t at, uint64_t reached, bool found, uint64_t end = 0);
};
