// The files of a loaded scan result judged against their volumes as they
// are now (AllocationJudge.h): a card used since the scan may have given a
// deleted file's clusters, or a live file's deleted since, to newer files,
// and the saved runs would read those. A file taken so is marked
// content-unsure, which every copy-out honours: it is copied for the user
// to judge but answers incomplete, never recovered. It stays listed.
//
// The load judges every file once its trees are replayed, and says how many
// it marked; each recovery judges the files it copies again, since the card
// may have been written between the load and the copy. Each volume's judge
// is made from the file system of its tree (by the tree's searcher), reads
// the volume's allocation record once per load or recovery, and says
// nothing of a volume it cannot open. Carved files are held against the
// volumes of the result's other trees (LoadedCarvedJudge.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "EngineTypes.h"
#include "app/LoadedCarvedJudge.h"

class CSearchedPartitionInfo;
class IAllocationJudge;
class IDataRecovery;
class IFileNode;
class IFilesystemNode;
class IStorageDevice;
class KVUIDeviceData;
class KVUIScan;

namespace SaveRestoreResult {

class RestoreFileNode;

class LoadedVolumeJudge {
 public:
  // With `ownEntryRequired` (a load that cannot tell its volumes are the
  // ones scanned), a file is kept only while its own entry or record on the
  // volume still describes it, wherever its clusters are free too, and a
  // carved file, which has none, is never kept.
  explicit LoadedVolumeJudge(bool ownEntryRequired = false);
  ~LoadedVolumeJudge();
  LoadedVolumeJudge(const LoadedVolumeJudge&) = delete;
  LoadedVolumeJudge& operator=(const LoadedVolumeJudge&) = delete;

  // Judges `node`, a file of a tree of searcher `type` read through a
  // copy-out object on `device`, and marks it when it is taken. True when it
  // was marked now (not before); the caller holds no tree lock (the mark is
  // set under it).
  bool Judge(RestoreFileNode& node, IStorageDevice* device, _tagSearcherType type);
  // Judges `node` as Judge does, when it is a loaded result's file, on the
  // device `copyOut` reads (a copy about to be made: the card may have been
  // written since the load). Other files are left as they are.
  bool JudgeBeforeCopy(IFileNode* node, IDataRecovery* copyOut, _tagSearcherType type);
  // Judges the files of one tree (put in the order their records lie) as
  // Judge does, a large volume's on several threads; answers how many it
  // found taken (a carved file of a load that cannot be verified is marked,
  // but not counted, when it is not).
  uint64_t JudgeAll(std::vector<RestoreFileNode*>& files, IStorageDevice* device, _tagSearcherType type);
  // The loaded result's trees, which carved files are held against; asked
  // for once, when the first carved file is judged.
  void UseTrees(std::function<std::vector<LoadedTree>()> trees) { m_trees = std::move(trees); }

 private:
  IAllocationJudge* JudgeOf(IStorageDevice* device, const CSearchedPartitionInfo* partition, _tagSearcherType type);
  // Whether the carved `node`, read through `device`, is taken.
  bool CarvedTaken(RestoreFileNode& node, IStorageDevice* device);

  bool m_ownEntryRequired;
  std::function<std::vector<LoadedTree>()> m_trees;
  std::vector<LoadedTree> m_treeList;
  bool m_treesAsked = false;
  std::map<IStorageDevice*, std::unique_ptr<LoadedCarvedJudge>> m_carved;
  // Made on first use; null for a volume that cannot be judged.
  std::map<std::pair<IStorageDevice*, const CSearchedPartitionInfo*>, std::unique_ptr<IAllocationJudge>> m_judges;
};

// The trees `scan` holds, each with the device that the copy-out object
// `copyOutOf` answers for it reads (null: none).
std::vector<LoadedTree> LoadedTreesOf(KVUIScan& scan, const std::function<IDataRecovery*(IFilesystemNode*)>& copyOutOf);

// Judges every file of the trees `scan` replayed from a saved result, with
// `storage` (the device the result was loaded on, of `devices`) held open,
// and keeps the count of files it marked as the latest load's. `verified`:
// the saved identities told that the volumes are the ones scanned.
uint64_t JudgeLoadedResult(KVUIScan& scan, KVUIDeviceData& devices, IStorageDevice* storage, bool verified);

// The files the latest load found taken since the scan (0 until one did,
// and from the start of every load).
uint64_t LastLoadChangedFiles();
void ResetLoadChangedFiles();

}  // namespace SaveRestoreResult
