#include "raw/RawMarkSearch.h"

#include <algorithm>
#include <cstring>
#include <string_view>

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

RawMarkFind FindRawEndMark(RawFileBuffer& buffer, uint64_t from, uint64_t limit, const uint8_t* mark, size_t length,
                           size_t before, size_t after, const std::function<bool(const uint8_t*)>& accept,
                           RawSearchMemo& memo) {
  const uint64_t pass = RawCarvingPass::Current();
  if (pass == 0 || length == 0 || length > 16 || from >= limit) {
    return FindRawEndMark(buffer, from, limit, mark, length, before, after, accept);
  }
  const uint64_t base = buffer.FirstByte();
  // The mark and how it is looked at tell searches of one kind.
  char keyBytes[16 + 2 * sizeof(size_t)];
  std::memcpy(keyBytes, mark, length);
  std::memcpy(keyBytes + length, &before, sizeof before);
  std::memcpy(keyBytes + length + sizeof before, &after, sizeof after);
  const std::string_view key(keyBytes, length + sizeof before + sizeof after);
  // Bytes [memo.from, memo.reached) hold no mark `accept` takes for a file
  // that starts at memo.fileStart or later (marks closer than `before` to
  // a file's start are not taken): a search that begins among them goes on
  // from where the last one stopped, or finds the mark it found (the first
  // one for this search too, when this search would take it).
  const bool inside = memo.key == key && base >= memo.fileStart && memo.Covers(buffer.Device(), base + from);
  uint64_t start = from;
  if (inside) {
    if (memo.found) {
      const uint64_t at = memo.reached - base;
      if (at < limit && at >= before) {
        RawMarkFind result;
        result.found = true;
        result.offset = at;
        return result;
      }
    } else {
      start = std::min(memo.reached - base, limit);
    }
  }
  RawMarkFind result = start < limit ? FindRawEndMark(buffer, start, limit, mark, length, before, after, accept)
                                     : RawMarkFind{false, 0, limit};
  memo.Keep(buffer.Device(), inside, base + from, base + (result.found ? result.offset : result.reached), result.found);
  memo.key.assign(key);
  memo.fileStart = inside ? std::max(memo.fileStart, base) : base;
  return result;
}

void SizeFromRawEndMark(CRawFileInfo& info, const RawMarkFind& find, uint64_t tail) {
  // A mark a search met proves nothing of the bytes before it: behind a
  // file cut short, the next file's mark reads the same.
  info.m_size = find.found ? find.offset + tail : find.reached;
  info.m_endUnknown = !find.found;
}
