// The compressed-file content reader and the LZVN decoder on any bytes.
//
// Input: a little-endian u16 attribute length, the decmpfs attribute, then
// the resource fork. The whole content is read in 64 KiB pieces (at most
// 8 MiB of it) and once more from the middle; the input is also decoded as
// a bare LZVN stream into a small and a large buffer.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "hfsplus/Decmpfs.h"
#include "hfsplus/Lzvn.h"

namespace {
volatile uint64_t g_sink;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> out(0x10000);
  hfsplus::LzvnDecode(data, size, out.data(), 7);
  g_sink = g_sink + static_cast<uint64_t>(hfsplus::LzvnDecode(data, size, out.data(), out.size()));
  if (size < 2) return 0;
  const size_t attrLength = std::min<size_t>(data[0] | size_t{data[1]} << 8, size - 2);
  const uint8_t* attr = data + 2;
  const uint8_t* fork = attr + attrLength;
  const uint64_t forkSize = size - 2 - attrLength;
  hfsplus::CDecmpfsContent content;
  auto reader = [fork, forkSize](uint64_t at, uint8_t* to, uint64_t n) {
    if (at >= forkSize) return uint64_t{0};
    n = std::min(n, forkSize - at);
    std::memcpy(to, fork + at, n);
    return n;
  };
  if (!content.Open(attr, attrLength, forkSize, reader)) return 0;
  const uint64_t total = std::min<uint64_t>(content.GetSize(), 8u << 20);
  for (uint64_t at = 0; at < total; at += out.size()) {
    if (content.Read(at, out.data(), out.size()) < 0) break;
  }
  g_sink = g_sink + static_cast<uint64_t>(content.Read(total / 2 + 1, out.data(), 100));
  return 0;
}
