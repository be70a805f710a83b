// What a found file's runs can hold on the volume that holds them. A size or
// a run read from a damaged record (a few changed bytes make a small file a
// hole of petabytes, or place it past the end of the disk) is judged here,
// the same way by every scanner and by the loader of saved scan results: the
// runs are kept up to the first that the volume cannot hold, and the file's
// size is what the kept runs hold at most.
#pragma once

#include <cstdint>
#include <vector>

#include "DataRunList.h"

struct VolumeExtent {
  // Bytes per cluster of the runs; 0 judges nothing.
  uint64_t clusterBytes = 0;
  // Where cluster 0 of the runs lies, in bytes from the start of the device
  // (or volume) that `endByte` is counted on.
  uint64_t firstDataByte = 0;
  // No stored run may reach past this byte; 0 for no limit.
  uint64_t endByte = 0;
  // No file is longer than its volume, holes included; 0 for no limit.
  uint64_t volumeBytes = 0;
};

struct FittedRuns {
  uint64_t heldBytes = 0;  // what the kept runs hold, holes included
  bool cut = false;        // some run was left out
};

// Keeps the runs of `runs` in order up to the first one that is impossible:
// a negative length, a stored run that begins before cluster 0 or ends past
// `endByte`, or one that takes the file past `volumeBytes`. What follows an
// impossible run is left out too: its place in the file is no longer known.
FittedRuns FitRunsToVolume(std::vector<DataRun>& runs, const VolumeExtent& volume);
