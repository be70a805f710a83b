// The order in which the replay of a saved tree hands its records to the
// tree builder, so that every folder of the loaded tree lists its children
// in the order the file holds them, which is the order the scanned tree
// listed them in.
//
// The builder puts each child it links in front of those linked before, and
// links a folder only when the walk up from a file below it comes through;
// what it links late (what the recycle bin held back, lost files) it takes
// in the order it got it too. Records handed over depth first, every folder
// before what lies below it and its children last-first, each with
// everything below it, are therefore linked last-first below every folder
// and come out first-first: the link that brings a folder in comes from its
// own part of the order, between those of the siblings after it and those
// before it. The scan's own order of linking does not matter.
//
// A file may hold its records in any order (saved results are written
// breadth-first); the order is found from the records' IDs, parent IDs and
// partitions and their places in the file. Folders of several volumes in
// one tree share IDs: a child goes with the folder of its own partition, as
// the builder chooses. Where one ID names several folders of one partition
// (versions of a folder), what lies below follows the last of them, so that
// the builder chooses among all of them as it did for the scan. Records
// whose parent is neither the root nor a saved folder (what the scan left
// among its lost files) follow the tree, last-first with what lies below
// each; anything still left (parent IDs that form a cycle) comes last,
// last-first.
#pragma once

#include <cstdint>
#include <vector>

namespace SaveRestoreResult {

struct SavedRecordKey {
  int64_t id = 0;
  int64_t parentID = 0;
  uint16_t partition = 0xFFFF;
  bool folder = false;
};

// The places in `saved` (its records in file order), each once, in the order
// to hand them over. Throws std::bad_alloc.
std::vector<uint32_t> ReplayOrder(const std::vector<SavedRecordKey>& saved, int64_t rootID);

}  // namespace SaveRestoreResult
