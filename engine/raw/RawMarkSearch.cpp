#include "raw/RawMarkSearch.h"

#include <algorithm>
#include <cstring>

#include "raw/RawFileBuffer.h"
#include "raw/RawFileInfo.h"

RawMarkFind FindRawEndMark(RawFileBuffer& buffer, uint64_t from, uint64_t limit, const uint8_t* mark, size_t length,
                           size_t before, size_t after, const std::function<bool(const uint8_t*)>& accept) {
  RawMarkFind result;
  if (length == 0 || length > 4096 || before > 4096 || after > 4096) return result;
  const uint64_t need = std::max(length, after);
  const uint64_t deviceEnd = buffer.BytesToDeviceEnd();
  const uint64_t sector = buffer.SectorSize();
  const uint64_t window = uint64_t{RawFileBuffer::kWindowSectors} * sector;
  uint64_t pos = from;
  while (pos < limit && pos < deviceEnd) {
    const uint64_t start = pos - std::min<uint64_t>(pos, before);
    // Each read reaches to the end of the buffer's window (and its extra
    // sector), so that the buffer reads every sector about once; marks that
    // begin too near its end for `need` bytes are looked at in the next.
    uint64_t end = std::min(start - start % window + window + sector, start + window);
    if (end < pos + need + sector) end = start + window;
    const uint8_t* bytes = buffer.Get(start, static_cast<size_t>(end - start));
    if (bytes == nullptr) break;
    const uint64_t stop = std::min(end - need + 1, limit);
    const uint8_t* first = bytes + (pos - start);
    const uint8_t* last = bytes + (stop - start);
    for (const uint8_t* p = first; p < last; ++p) {
      p = static_cast<const uint8_t*>(std::memchr(p, mark[0], static_cast<size_t>(last - p)));
      if (p == nullptr) break;
      const uint64_t offset = start + static_cast<uint64_t>(p - bytes);
      if (std::memcmp(p, mark, length) == 0 && offset >= before && accept(p)) {
        result.found = true;
        result.offset = offset;
        return result;
      }
    }
    pos = stop;
  }
  result.reached = std::min({pos, limit, deviceEnd});
  return result;
}

void SizeFromRawEndMark(CRawFileInfo& info, const RawMarkFind& find, uint64_t tail) {
  info.m_size = find.found ? find.offset + tail : find.reached;
  info.m_whole = find.found;
}
