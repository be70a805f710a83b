#include "hfsplus/Lzvn.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

enum class Op : uint8_t {
  kSmallDistance,
  kMediumDistance,
  kLargeDistance,
  kPreviousDistance,
  kSmallMatch,
  kLargeMatch,
  kSmallLiteral,
  kLargeLiteral,
  kNop,
  kEnd,
  kUndefined
};

constexpr std::array<Op, 256> MakeTable() {
  std::array<Op, 256> t{};
  for (int op = 0; op < 256; ++op) {
    Op kind;
    if (op >= 0xF1) {
      kind = Op::kSmallMatch;
    } else if (op == 0xF0) {
      kind = Op::kLargeMatch;
    } else if (op >= 0xE1) {
      kind = Op::kSmallLiteral;
    } else if (op == 0xE0) {
      kind = Op::kLargeLiteral;
    } else if (op >= 0xD0 || (op >= 0x70 && op < 0x80)) {
      kind = Op::kUndefined;
    } else if (op >= 0xA0 && op < 0xC0) {
      kind = Op::kMediumDistance;
    } else if ((op & 7) == 7) {
      kind = Op::kLargeDistance;
    } else if ((op & 7) == 6) {
      // With no literals the "previous distance" slots are the end of stream,
      // two no-ops and undefined codes.
      if (op == 0x06) {
        kind = Op::kEnd;
      } else if (op == 0x0E || op == 0x16) {
        kind = Op::kNop;
      } else if (op < 0x40) {
        kind = Op::kUndefined;
      } else {
        kind = Op::kPreviousDistance;
      }
    } else {
      kind = Op::kSmallDistance;
    }
    t[static_cast<size_t>(op)] = kind;
  }
  return t;
}

constexpr std::array<Op, 256> kOps = MakeTable();

}  // namespace

namespace hfsplus {

int64_t LzvnDecode(const uint8_t* src, size_t srcLength, uint8_t* dst, size_t capacity, size_t* produced) {
  size_t d = 0;
  // Whatever way it ends, the caller may learn how far the output got.
  struct Report {
    size_t* out;
    const size_t& d;
    ~Report() {
      if (out != nullptr) *out = d;
    }
  } report{produced, d};
  if ((src == nullptr && srcLength != 0) || (dst == nullptr && capacity != 0)) return -1;
  size_t s = 0;
  size_t distance = 0;
  while (d < capacity) {
    if (s >= srcLength) return -1;
    const uint8_t op = src[s];
    const size_t left = srcLength - s;
    size_t head = 1;
    size_t literals = 0;
    size_t match = 0;
    switch (kOps[op]) {
      case Op::kEnd:
        return static_cast<int64_t>(d);
      case Op::kNop:
        ++s;
        continue;
      case Op::kUndefined:
        return -1;
      case Op::kSmallLiteral:
        literals = op & 0x0F;
        break;
      case Op::kLargeLiteral:
        if (left < 2) return -1;
        head = 2;
        literals = size_t{src[s + 1]} + 16;
        break;
      case Op::kSmallMatch:
        match = op & 0x0F;
        break;
      case Op::kLargeMatch:
        if (left < 2) return -1;
        head = 2;
        match = size_t{src[s + 1]} + 16;
        break;
      case Op::kPreviousDistance:
        literals = op >> 6;
        match = ((op >> 3) & 7) + 3;
        break;
      case Op::kSmallDistance:
        if (left < 2) return -1;
        head = 2;
        literals = op >> 6;
        match = ((op >> 3) & 7) + 3;
        distance = (size_t{op & 7u} << 8) | src[s + 1];
        break;
      case Op::kMediumDistance:
        if (left < 3) return -1;
        head = 3;
        literals = (op >> 3) & 3;
        match = ((size_t{op & 7u} << 2) | (src[s + 1] & 3u)) + 3;
        distance = (size_t{src[s + 2]} << 6) | (src[s + 1] >> 2);
        break;
      case Op::kLargeDistance:
        if (left < 3) return -1;
        head = 3;
        literals = op >> 6;
        match = ((op >> 3) & 7) + 3;
        distance = size_t{src[s + 1]} | (size_t{src[s + 2]} << 8);
        break;
    }
    if (left - head < literals) return -1;
    s += head;
    const size_t copied = std::min(literals, capacity - d);
    std::memcpy(dst + d, src + s, copied);
    d += copied;
    s += literals;
    if (copied < literals) return static_cast<int64_t>(d);
    if (match == 0) continue;
    if (distance == 0 || distance > d) return -1;
    // Byte by byte: a match may overlap the bytes it produces.
    const size_t n = std::min(match, capacity - d);
    for (size_t i = 0; i < n; ++i, ++d) dst[d] = dst[d - distance];
  }
  return static_cast<int64_t>(d);
}

}  // namespace hfsplus

size_t lzvn_decode(void* destination, size_t capacity, const void* source, size_t sourceLength) {
  const int64_t n = hfsplus::LzvnDecode(static_cast<const uint8_t*>(source), sourceLength,
                                        static_cast<uint8_t*>(destination), capacity);
  return n < 0 ? 0 : static_cast<size_t>(n);
}
