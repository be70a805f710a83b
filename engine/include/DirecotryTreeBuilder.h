// The directory-tree builder: searchers hand it every file and folder they
// find, in any order; it links each node under its parent as soon as the
// node's chain of parents reaches the root of its searcher's tree, and passes
// finished nodes to the application's IDrirectoryTree in batches.
//
// One tree per searcher type: AddSearcherInfo opens it, AddNode fills it,
// FlashBuild finishes it (once per type, by the searcher or by the replay of
// a saved scan). Whatever never reaches the root ends under the tree's
// "Other lost files" folder when the tree finishes.
//
// Ownership
// - AddNode answering 1: the builder owns the node from then on. It may link
//   it, hand it to IDrirectoryTree, merge it or release it; the caller never
//   touches it again, but for one thing: until its tree finishes
//   (FlashBuild), the searcher that handed it over may still mark it
//   content-unsure (CFileNode::SetContentUnsure), under NodeTreeLock(), once
//   it has seen the whole volume.
// - AddNode answering 0: the builder kept nothing of it (no pointer, no
//   link); the node stays with its caller, who releases or keeps it. A
//   refused duplicate may have given its data runs to the node it duplicates.
// - Nodes handed to IDrirectoryTree, the roots and the lost-file folders live
//   until the builder is released. Accepted nodes that never reach a tree are
//   released when their tree finishes (FlashBuild).
//
// Threads
// Every call comes from the scan's worker thread. The builder changes nodes
// it has already shown (new children, merged runs, deleted marks) only inside
// these calls and only while it holds NodeTreeLock(), which readers on other
// threads hold too (see FileNode.h); it never calls the receiver while it
// holds that lock.
#pragma once

#include <cstdint>

#include "EngineTypes.h"

class CSearchedPartitionInfo;
class IFileSystemSearchController;
class IDrirectoryTree;
class IFileNode;
class IRecoveryFilter;
class IStorageDevice;

// The order of the virtual operations is part of the interface.
class IDirecotryTreeBuilder {
 public:
  virtual ~IDirecotryTreeBuilder() = default;
  // Names the trees after `description` ("Disk" when empty) and sets where
  // finished nodes go and which nodes are wanted. Any null argument answers 0
  // and changes nothing; otherwise 1.
  virtual int Initialize(const char* description, IDrirectoryTree* tree, IRecoveryFilter* filter) = 0;
  // 1 accepted (the builder owns the node), 0 refused (the caller keeps it).
  virtual int AddNode(IFileNode* node, _tagSearcherType type) = 0;
  // Opens the tree of `type` with a root of the given node ID, or, when it is
  // open already, adds the ID to those that count as its root (each volume a
  // complete scan finds registers its own root). Answers 1, 0 when out of
  // memory.
  virtual int AddSearcherInfo(_tagSearcherType type, int64_t rootNodeID) = 0;
  // Finishes the tree of `type`: recycle-bin entries enter it, everything
  // that can be linked is shown, the rest goes under "Other lost files" or is
  // released.
  virtual void FlashBuild(_tagSearcherType type) = 0;
  // Destroys the builder with every node it owns.
  virtual void Release() = 0;
  // The found partition and the device that recycle records are read from;
  // neither is owned. Either may be null.
  virtual void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) = 0;
  // Where the partitions of the tree of `type` come from when its searcher
  // names none through SetPartitonDevice (a complete scan finds several): a
  // recycled file's record is then read through the found partition whose
  // index is the file's own, asked of `searcher` when the tree finishes.
  // Not owned; it must outlive the tree's FlashBuild. This base keeps none.
  virtual void SetPartitionSource(_tagSearcherType type, IFileSystemSearchController* searcher) {
    static_cast<void>(type);
    static_cast<void>(searcher);
  }
};

// A new builder, or null when it cannot be made. `restoring` is set when it
// serves the replay of a saved scan: duplicates are then kept side by side
// and HFS+ private-data folders are not looked for.
IDirecotryTreeBuilder* CreateTreeBuilder(bool restoring);
