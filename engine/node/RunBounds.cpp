#include "RunBounds.h"

FittedRuns FitRunsToVolume(std::vector<DataRun>& runs, const VolumeExtent& volume) {
  FittedRuns fitted;
  if (volume.clusterBytes == 0) {
    // Nothing to judge against: the runs stand, and what they hold is unknown.
    fitted.heldBytes = UINT64_MAX;
    return fitted;
  }
  size_t kept = 0;
  for (; kept < runs.size(); ++kept) {
    const DataRun& run = runs[kept];
    if (run.length == 0) continue;  // holds nothing, places nothing
    if (run.length < 0) break;
    uint64_t bytes;
    uint64_t held;
    if (__builtin_mul_overflow(static_cast<uint64_t>(run.length), volume.clusterBytes, &bytes) ||
        __builtin_add_overflow(fitted.heldBytes, bytes, &held)) {
      break;
    }
    if (volume.volumeBytes != 0 && held > volume.volumeBytes) break;
    if (!run.IsSparse() && volume.endByte != 0) {
      uint64_t first;
      uint64_t end;
      if (__builtin_mul_overflow(static_cast<uint64_t>(run.start), volume.clusterBytes, &first) ||
          __builtin_add_overflow(first, volume.firstDataByte, &first) || __builtin_add_overflow(first, bytes, &end) ||
          end > volume.endByte) {
        break;
      }
    }
    fitted.heldBytes = held;
  }
  if (kept < runs.size()) {
    fitted.cut = true;
    runs.resize(kept);
  }
  return fitted;
}
