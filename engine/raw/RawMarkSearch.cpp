#include "raw/RawMarkSearch.h"

#include <algorithm>
#include <cstring>

#include "raw/RawFileBuffer.h"
#include "raw/RawFileInfo.h"

RawMarkFind FindRawEndMark(RawFileBuffer& buffer, uint64_t from, uint64_t limit, const uint8_t* mark, size_t length,
                           size_t before, size_t after, const std::function<bool(const uint8_t*)>& accept) {
  constexpr uint64_t kChunk = 32 * 1024;
  RawMarkFind result;
  if (length == 0 || length > 4096 || before > 4096 || after > 4096) return result;
  const size_t need = std::max(length, after);
  const uint64_t deviceEnd = buffer.BytesToDeviceEnd();
  uint64_t pos = from;
  for (; pos < limit && pos < deviceEnd; pos += kChunk) {
    const uint64_t back = std::min<uint64_t>(pos, before);
    const uint64_t scan = std::min(kChunk, limit - pos);
    const uint8_t* bytes = buffer.Get(pos - back, static_cast<size_t>(back + scan + need));
    if (bytes == nullptr) break;
    const uint8_t* first = bytes + back;
    // Marks may begin anywhere in [pos, pos + scan); the bytes read past that
    // let the last ones be checked whole.
    const uint8_t* end = first + scan;
    for (const uint8_t* p = first; p < end;) {
      p = static_cast<const uint8_t*>(std::memchr(p, mark[0], static_cast<size_t>(end - p)));
      if (p == nullptr) break;
      const uint64_t offset = pos + static_cast<uint64_t>(p - first);
      if (std::memcmp(p, mark, length) == 0 && offset >= before && accept(p)) {
        result.found = true;
        result.offset = offset;
        return result;
      }
      ++p;
    }
  }
  result.reached = std::min({pos, limit, deviceEnd});
  return result;
}

void SizeFromRawEndMark(CRawFileInfo& info, const RawMarkFind& find, uint64_t tail) {
  info.m_size = find.found ? find.offset + tail : find.reached;
  info.m_whole = find.found;
}
