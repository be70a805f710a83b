// Sectors a failing medium could not give.
//
// A disk or image that answers an I/O error for a few sectors still gives all
// the others: the device reads around the damage (see device/SectorSalvage.h)
// and answers a request that touched unreadable sectors with a failure whose
// error number is result::kErrUnreadableSectors. Such a failure is special:
// the caller's buffer holds every sector the medium gave, and zeros in place
// of each sector it could not. Every other failure still leaves the buffer
// unspecified.
//
// A caller that reads many records at once keeps the records whose sectors
// were read and drops only those that lie on an unreadable sector, which the
// device names through IUnreadableSectors (partition windows, sector-size
// views and the complete scan's cache pass the question on to the device
// they read). After such a failure the device knows every unreadable sector
// of the request: a sector it does not name was read.
//
// A sector found unreadable is remembered by the device object for as long as
// it lives and is not asked of the medium again (a failing disk can take
// seconds over each attempt), so it stays zeros for every later read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "ResultCode.h"
#include "StorageDevice.h"

// Runs of sectors as (first, count), ascending and apart.
using SectorRuns = std::vector<std::pair<int64_t, int64_t>>;

class IUnreadableSectors {
 public:
  // Appends to `out` the runs among sectors [first, first + count) of this
  // device (in its own sectors) that could not be read so far.
  virtual void FindUnreadable(int64_t first, int64_t count, SectorRuns& out) = 0;

 protected:
  ~IUnreadableSectors() = default;
};

namespace unreadable {

// Whether `code` (a device's last error after a failed read) says that only
// some sectors were lost and the buffer holds the rest.
constexpr bool IsSalvaged(ResultCode code) {
  return result::IsFailure(code) && result::Error(code) == result::kErrUnreadableSectors;
}

// The unreadable runs of `device` among [first, first + count); none when the
// device keeps no account of them.
inline SectorRuns Find(IStorageDevice* device, int64_t first, int64_t count) {
  SectorRuns runs;
  if (auto* known = dynamic_cast<IUnreadableSectors*>(device); known != nullptr && count > 0) {
    known->FindUnreadable(first, count, runs);
  }
  return runs;
}

// Whether `sector` lies in one of `runs`.
inline bool Any(const SectorRuns& runs, int64_t sector) {
  for (const auto& [first, count] : runs) {
    if (first <= sector && sector < first + count) return true;
  }
  return false;
}

// Reads as `device->ReadSector` does, and takes what a read around damage
// gave: true when `buffer` holds the sectors, those the medium could not
// give as zeros and appended to `lost` (device sectors, ascending); false
// on any other failure. A device that says it lost sectors but names none
// lost them all, as far as the caller can tell: they read as zeros too.
inline bool ReadAround(IStorageDevice* device, void* buffer, int64_t first, int64_t count, SectorRuns& lost) {
  if (device->ReadSector(buffer, first, count) != 0) return true;
  if (!IsSalvaged(device->GetLastError())) return false;
  const size_t before = lost.size();
  if (auto* known = dynamic_cast<IUnreadableSectors*>(device); known != nullptr) {
    known->FindUnreadable(first, count, lost);
  }
  if (lost.size() == before) {
    std::memset(buffer, 0, static_cast<size_t>(count) * device->GetSectorSize());
    lost.emplace_back(first, count);
  }
  return true;
}

// Calls `visit(first, count)` for each stretch of [first, first + count)
// that none of `lost` (ascending) meets, in order.
template <typename Visit>
void ForEachReadable(int64_t first, int64_t count, const SectorRuns& lost, Visit&& visit) {
  int64_t at = first;
  const int64_t end = first + count;
  for (const auto& [from, length] : lost) {
    if (from + length <= at) continue;
    if (from >= end) break;
    if (from > at) visit(at, from - at);
    at = from + length;
  }
  if (at < end) visit(at, end - at);
}

}  // namespace unreadable
