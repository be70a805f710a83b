// The carved files of a loaded complete scan held against the volumes they
// lie in, as these are now (AllocationJudge.h). A carved file belongs to no
// entry of any volume, so no record of one says whether its bytes are still
// there: the volume's allocation record does. A piece of it that lies on
// clusters a volume now gives to a file or to its own metadata was written
// over since the scan, unless a file of the result's own trees (live at the
// scan: its clusters were given then, and the carver read its bytes there)
// held those clusters then and still holds them now, its entry or record
// with the times it had then (a file written again in place keeps its
// clusters, not its bytes; a folder's change with every entry written in
// it, so a folder vouches for nothing). New shots written where a deleted picture lay,
// a folder grown into its space, a picture live at the scan, deleted since
// and written over, or a file written again in place: each takes the carved
// copy.
//
// The volumes are those of the result's trees and those the device holds
// now where its partition table (or its first sector) puts them: a file
// system that held no file at the scan has no tree (a card formatted by a
// computer, its pictures in the root folder), and what it gives now was
// written since. Sectors outside every such volume, or on a volume whose
// allocation record no judge reads or believes, say nothing: such a carved
// file keeps the answer of the scan. A complete scan reads one device for
// all its searchers; a carved file is held against the trees read through
// the same device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "EngineTypes.h"

class CFileNode;
class CSearchedPartitionInfo;
class IAllocationJudge;
class IFilesystemNode;
class IStorageDevice;

namespace SaveRestoreResult {

class RestoreFileNode;

// One tree of a loaded result, and the device its copy-out object reads.
struct LoadedTree {
  IFilesystemNode* root = nullptr;
  _tagSearcherType type = SEARCHER_TYPE_NONE;
  IStorageDevice* device = nullptr;
};

class LoadedCarvedJudge {
 public:
  // The judge of a volume's record in a tree of the given searcher; null
  // when none reads it.
  using JudgeOf = std::function<IAllocationJudge*(const CSearchedPartitionInfo*, _tagSearcherType)>;

  // What the volumes of `trees` (those read through `device`, carved ones
  // left out) held at the scan: each live file's clusters.
  // The caller holds no tree lock.
  LoadedCarvedJudge(IStorageDevice* device, const std::vector<LoadedTree>& trees, JudgeOf judgeOf);

  // Whether a piece of `carved` (a file of a carved tree, read through the
  // same device) lies where a volume now gives its clusters to another
  // file or to its metadata, and no file held them at the scan that still
  // holds them.
  bool IsTaken(CFileNode& carved);

 private:
  struct Held {
    uint64_t begin = 0, end = 0;  // bytes of the device
    CFileNode* file = nullptr;
    IAllocationJudge* judge = nullptr;
  };
  struct Volume {
    const CSearchedPartitionInfo* record = nullptr;
    IAllocationJudge* judge = nullptr;
  };

  // Adds what `node` (of a tree of `type`) held at the scan, and its volume.
  void Keep(CFileNode& node, _tagSearcherType type);
  // Adds the file systems the device holds now at its first sector and
  // where its partition table puts them, but those of the trees.
  void AddVolumesNow();
  // Whether [from, to) lies whole on files that held it at the scan and
  // hold it still.
  bool Covered(uint64_t from, uint64_t to);
  // Whether its file still holds what it held (judged once per file).
  bool StillHeld(const Held& held);

  IStorageDevice* m_device;
  JudgeOf m_judgeOf;
  std::vector<Volume> m_volumes;
  // The records of the volumes no tree names.
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> m_recordsNow;
  std::vector<Held> m_held;       // by where they begin
  std::vector<uint64_t> m_reach;  // the furthest end of m_held[0..i]
  std::unordered_map<const CFileNode*, bool> m_stillHeld;
  std::unordered_map<const CSearchedPartitionInfo*, size_t> m_volumeOf;
};

}  // namespace SaveRestoreResult
