// Where recycle-bin name restoration plugs into the tree builder.
//
// A file moved to a recycle bin is stored there under a generated name
// ("$R...") beside a small record ("$I...") that holds its former path. The
// builder holds such entries back while a tree fills; when the tree finishes
// it asks the restorer to rename each held-back folder and data file before
// the node enters the tree. Reading a record needs the file-system readers,
// which sit above the builder, so the component that has them registers a
// restorer here instead of being linked into the builder.
#pragma once

#include <vector>

#include "EngineTypes.h"

class CFileNode;
class CSearchedPartitionInfo;
class IStorageDevice;

class IRecycleNameRestorer {
 public:
  virtual ~IRecycleNameRestorer() = default;

  // Gives `node` back the name it had before it was recycled, read from the
  // record among `records` (the tree's recycle records, in the order they
  // arrived) that belongs to it. `partition` and `device` are those given to
  // the builder's SetPartitonDevice; either may be null.
  //
  // Answers the index in `records` of the record it took, whatever came of
  // reading it, or -1 when it took none. The builder then removes that record
  // and releases it: a record serves one node at most. The restorer keeps no
  // pointer to the node or the records and releases neither. It runs on the
  // scan's worker thread.
  virtual int RestoreName(CFileNode* node, _tagSearcherType type, const std::vector<CFileNode*>& records,
                          CSearchedPartitionInfo* partition, IStorageDevice* device) = 0;
};

// The restorer that builders made from now on use; null for none (recycled
// entries then keep their generated names). Not owned: it must outlive every
// builder that uses it. Meant to be set once at start-up.
void SetRecycleNameRestorer(IRecycleNameRestorer* restorer);
IRecycleNameRestorer* GetRecycleNameRestorer();
