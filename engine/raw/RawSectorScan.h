// A file's end looked for sector by sector, where what a sector tells
// (an end mark in it or across its start, a zero tail) hangs on the
// device's bytes alone, and only the search's first sector on where the
// file starts. Heads of one type often follow each other with no end of
// their own (or a signature repeats in every sector of foreign data): each
// search would read on over all that the last one read, to the same end or
// to the same limit. Within one carving pass (RawCarvingPass), a search
// goes on from what the last one of its kind saw.
#pragma once

#include <cstdint>
#include <functional>

#include "raw/RawSearchMemo.h"

class RawFileBuffer;

// What one sector told.
struct RawSectorProbe {
  enum Kind { kNothing, kEnd, kUnreadable };
  Kind kind = kNothing;
  uint64_t end = 0;  // kEnd: where the file ends, from the file's start
  static RawSectorProbe End(uint64_t at) { return {kEnd, at}; }
  static RawSectorProbe Unreadable() { return {kUnreadable, 0}; }
};

struct RawSectorScan {
  bool found = false;
  uint64_t end = 0;         // found: where the file ends
  uint64_t reached = 0;     // otherwise: the first sector not looked at (the limit's, or an unreadable one)
  bool unreadable = false;  // the search stopped at a sector it could not read
};

// Probes the sectors at `first`, `first` + sector size... below `stop`
// (bytes from the file's start) until one tells an end or cannot be read.
// The probe of `first` may hang on where the file starts; those of the
// sectors after it must not, nor may the end they tell lie more than a
// sector before the sector probed.
RawSectorScan ScanRawSectors(RawFileBuffer& buffer, uint64_t first, uint64_t stop,
                             const std::function<RawSectorProbe(uint64_t)>& probe, RawSearchMemo& memo);
