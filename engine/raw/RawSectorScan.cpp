#include "raw/RawSectorScan.h"

#include <algorithm>

#include "raw/RawFileBuffer.h"

namespace {

// Probes from `p` on, one sector at a time, below `stop`.
RawSectorScan Probe(uint64_t p, uint64_t stop, uint64_t sector, const std::function<RawSectorProbe(uint64_t)>& probe) {
  RawSectorScan scan;
  for (; p < stop; p += sector) {
    const RawSectorProbe told = probe(p);
    if (told.kind == RawSectorProbe::kEnd) {
      scan.found = true;
      scan.end = told.end;
      scan.reached = p;
      return scan;
    }
    if (told.kind == RawSectorProbe::kUnreadable) {
      scan.unreadable = true;
      break;
    }
  }
  scan.reached = p;
  return scan;
}

}  // namespace

RawSectorScan ScanRawSectors(RawFileBuffer& buffer, uint64_t first, uint64_t stop,
                             const std::function<RawSectorProbe(uint64_t)>& probe, RawSearchMemo& memo) {
  const uint64_t sector = buffer.SectorSize();
  const uint64_t pass = RawCarvingPass::Current();
  if (first >= stop) return RawSectorScan{false, 0, first, false};
  const RawSectorScan head = Probe(first, first + 1, sector, probe);
  if (pass == 0 || head.found || head.unreadable) {
    return head.found || head.unreadable ? head : Probe(first + sector, stop, sector, probe);
  }
  // The sectors after the first, in bytes of the device.
  const uint64_t base = buffer.FirstByte();
  const uint64_t next = base + first + sector;
  // The first sector at or past `stop`, where a search that finds nothing
  // stops.
  const uint64_t last = first + (stop - first + sector - 1) / sector * sector;
  const bool inside = memo.Covers(buffer.Device(), next);
  uint64_t start = first + sector;
  if (inside) {
    const uint64_t at = memo.reached - base;
    if (at >= stop) return RawSectorScan{false, 0, last, false};
    if (memo.found) return RawSectorScan{true, memo.end - base, at, false};
    start = at;
  }
  const RawSectorScan scan = Probe(start, stop, sector, probe);
  memo.Keep(buffer.Device(), inside, next, base + scan.reached, scan.found, base + scan.end);
  return scan;
}
