// What files' first and last bytes say, fed with arbitrary bytes: the
// first byte picks the file's name, the next two the runs its clusters lie
// in on a device of the rest (a cluster of 512 bytes each, placed by the
// input, some past the device), whose bytes are the file's. Nothing may
// crash or read outside the input, and a head or an end found in the bytes
// read straight is found through the runs that lay them out straight too.
#include <cstdint>
#include <cstring>
#include <vector>

#include "FileHeads.h"
#include "support/BytesDevice.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr const char* kNames[] = {"a.jpg", "B.JPEG", "c.mov", "d.MP4", "e.m4a", "f.3gp", "g.heic",
                                  "h.tif", "i.CR2",  "j.nef", "k.dng", "l.png", "m.gif", "n.bmp",
                                  "o.avi", "p.WAV",  "q.mkv", "r.raf", "s.txt", "t",     "u."};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const char* name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
  const uint8_t* body = data + 3;
  const size_t length = size - 3;
  const claims::Head head = fileheads::JudgeHead(name, body, length);
  const fileheads::FileBytes straight = [&](uint64_t offset, uint8_t* out, size_t count) {
    if (offset > length || count > length - offset) return false;
    std::memcpy(out, body + offset, count);
    return true;
  };
  const claims::Head tail = fileheads::JudgeTail(name, length, straight);

  // The body as a device of 512-byte sectors, one per cluster; the file's
  // runs from the second and third bytes: straight from cluster 2, or in
  // pieces with a stride, some reaching past the device.
  testsupport::BytesDevice device(body, length);
  const fileheads::ClusterPlace place{&device, 0, 1};
  const uint64_t clusters = (length + 511) / 512;
  std::vector<claims::Span> runs;
  if ((data[1] & 1) == 0) {
    runs.push_back(claims::Span{2, 2 + clusters, 0, 1});
  } else {
    const uint64_t stride = 1 + data[2] % 4;
    for (uint64_t c = 0; c < clusters + data[1] % 3; ++c)
      runs.push_back(claims::Span{2 + c * stride, 3 + c * stride, 0, 1});
  }
  const uint64_t fileSize = (data[1] & 2) != 0 ? length : uint64_t{data[1]} * data[2];
  const claims::Head throughRuns = fileheads::ReadTail(place, runs, fileSize, name);
  Require(throughRuns != claims::Head::kMissing || fileheads::HasHead(name));
  if ((data[1] & 3) == 2 && length % 512 == 0) Require(throughRuns == tail);
  if ((data[1] & 1) == 0 && length >= 512) Require(fileheads::ReadHead(place, 2, name) == head);
  return 0;
}
