#include "raw/RawMarkSearch.h"

#include <algorithm>
#include <atomic>
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

namespace {

std::atomic<uint64_t> g_lastPass{0};
thread_local uint64_t t_pass = 0;

}  // namespace

uint64_t RawCarvingPass::NewPass() { return ++g_lastPass; }
RawCarvingPass::RawCarvingPass(uint64_t pass) : m_outer(t_pass) { t_pass = pass; }
RawCarvingPass::~RawCarvingPass() { t_pass = m_outer; }
uint64_t RawCarvingPass::Current() { return t_pass; }

RawMarkFind FindRawEndMark(RawFileBuffer& buffer, uint64_t from, uint64_t limit, const uint8_t* mark, size_t length,
                           size_t before, size_t after, const std::function<bool(const uint8_t*)>& accept,
                           RawMarkMemo& memo) {
  const uint64_t pass = RawCarvingPass::Current();
  if (pass == 0 || length == 0 || length > sizeof memo.mark || from >= limit) {
    return FindRawEndMark(buffer, from, limit, mark, length, before, after, accept);
  }
  const uint64_t base = buffer.FirstByte();
  // Bytes [memo.from, memo.reached) hold no mark `accept` takes for a file
  // that starts at memo.fileStart or later (marks closer than `before` to
  // a file's start are not taken): a search that begins among them goes on
  // from where the last one stopped, or finds the mark it found (the first
  // one for this search too, when this search would take it).
  const bool same = memo.pass == pass && memo.device == buffer.Device() && memo.length == length &&
                    memo.before == before && memo.after == after && std::memcmp(memo.mark, mark, length) == 0;
  const bool inside = same && base >= memo.fileStart && base + from >= memo.from && base + from <= memo.reached;
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
  memo.pass = pass;
  memo.device = buffer.Device();
  std::memcpy(memo.mark, mark, length);
  memo.length = length;
  memo.before = before;
  memo.after = after;
  if (!inside) memo.from = base + from;
  memo.fileStart = inside ? std::max(memo.fileStart, base) : base;
  const uint64_t reached = base + (result.found ? result.offset : result.reached);
  // A search held back by its own limit short of where the last one got
  // leaves what the last one learnt standing.
  memo.reached = inside && !memo.found && !result.found ? std::max(memo.reached, reached) : reached;
  memo.found = result.found;
  return result;
}

void SizeFromRawEndMark(CRawFileInfo& info, const RawMarkFind& find, uint64_t tail) {
  info.m_size = find.found ? find.offset + tail : find.reached;
  info.m_whole = find.found;
}
