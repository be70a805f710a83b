// A found file held against its volume as the volume is now: what a saved
// scan result loaded later (and copied from later still) must ask before a
// copy is called recovered. The card may have been used since the scan: a
// file deleted then, or live then and deleted since, may have lost its
// clusters to newer files, and the saved runs would read their bytes.
//
// A file answers taken when some cluster of its runs is given now, by the
// volume's own allocation record read as a scan reads it, to another file
// or to the volume's metadata: in use, and its own record on the volume
// (reached through the node's metadata sector, parent and IDs as its
// scanner set them) no longer describes it there. A file whose clusters are
// free, or still its own, is not taken: one deleted since the scan and not
// written over is still recovered whole. Where the allocation record cannot
// be read or believed, a judge says no more than a scan would.
//
// One judge serves one volume (one partition record of one device) and
// reads its allocation record once, lazily and within bounds; it is asked
// about the nodes of that volume only, from one thread at a time.
#pragma once

class CFileNode;

class IAllocationJudge {
 public:
  virtual ~IAllocationJudge() = default;

  // Whether the node's content is no longer its own on the volume (see
  // above). Folders and files without runs on the volume are never taken.
  virtual bool IsTaken(CFileNode& node) = 0;
};
