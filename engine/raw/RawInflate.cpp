#include "raw/RawInflate.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "raw/RawFileBuffer.h"
#include "raw/RawRereadBudget.h"

RawInflated InflateRaw(RawFileBuffer& buffer, uint64_t at, uint64_t stop, RawRereadBudget* budget) {
  constexpr size_t kStep = 16 * 1024;
  constexpr uint64_t kOutputLimit = uint64_t{1} << 32;
  RawInflated result;
  result.end = at;
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return result;
  std::vector<uint8_t> out(64 * 1024);
  uLong sum = crc32(0, nullptr, 0);
  uint64_t in = at;
  stop = std::min(stop, buffer.BytesToDeviceEnd());
  while (in < stop && result.produced <= kOutputLimit) {
    const size_t step = static_cast<size_t>(std::min<uint64_t>(kStep, stop - in));
    if (budget != nullptr && !budget->Take(in, in + step)) break;
    const uint8_t* bytes = buffer.Get(in, step);
    if (bytes == nullptr) break;
    zs.next_in = const_cast<Bytef*>(bytes);
    zs.avail_in = static_cast<uInt>(step);
    int status = Z_OK;
    do {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      status = inflate(&zs, Z_NO_FLUSH);
      const size_t made = out.size() - zs.avail_out;
      sum = crc32(sum, out.data(), static_cast<uInt>(made));
      result.produced += made;
    } while (status == Z_OK && (zs.avail_in > 0 || zs.avail_out == 0) && result.produced <= kOutputLimit);
    in += step - zs.avail_in;
    if (status == Z_STREAM_END) {
      result.kind = RawInflated::kEnded;
      break;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) {
      // zlib stops just past the byte it could not take.
      result.kind = RawInflated::kBroken;
      break;
    }
  }
  inflateEnd(&zs);
  result.end = in;
  result.crc = static_cast<uint32_t>(sum);
  return result;
}
