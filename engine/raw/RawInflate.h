// Raw deflate data followed through a file to the end of their stream: how
// gzip members and ZIP entries show where they end, and whether the bytes
// that should hold them still do.
#pragma once

#include <cstdint>

class RawFileBuffer;
class RawRereadBudget;

struct RawInflated {
  enum Kind {
    kEnded,    // the stream ended itself
    kBroken,   // the data stopped being deflate data: not the stream's bytes
    kStopped,  // no end within reach (the limit, the device's end, an unreadable window, the budget)
  };
  Kind kind = kStopped;
  // kEnded: just past the stream's last byte; kBroken: just past the byte
  // that broke it; kStopped: how far the data were read.
  uint64_t end = 0;
  uint32_t crc = 0;       // CRC-32 of what came out
  uint64_t produced = 0;  // bytes that came out
};

// Inflates the data from `at` (bytes from the file's start), reading no
// byte at or past `stop` and letting out at most 4 GiB; reading again is
// taken from `budget` when one is given.
RawInflated InflateRaw(RawFileBuffer& buffer, uint64_t at, uint64_t stop, RawRereadBudget* budget);
